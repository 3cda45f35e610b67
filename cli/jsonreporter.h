#pragma once

#include "reporter.h"

#include <QHash>
#include <QJsonObject>

namespace flash {

// One JSON object per line on stdout. Every object carries "event", "port" (null for what
// concerns the whole run) and "time", in that order, then the event's fields.
class JsonReporter : public Reporter
{
    Q_OBJECT
public:
    explicit JsonReporter(const Settings &settings);

    void summary(const QString &text) override;
    void earlyFailure(int exitCode, const QString &reason, const QString &text) override;
    void warning(const QString &port, const QString &text) override;
    void results(const QList<FlashJob *> &jobs) override;
    void watching(const QStringList &patterns) override;
    void plugged(const QString &port) override;
    void unplugged(const QString &port) override;
    void runSummary(const RunTotals &totals) override;

protected:
    void started(FlashJob *job) override;
    void acted(FlashJob *job, const iap::Action &action) override;
    void replied(FlashJob *job, const QByteArray &frame) override;
    void verified(FlashJob *job) override;
    void ended(FlashJob *job) override;

private:
    void emitEvent(const QString &event, const QString &port, QJsonObject fields = {});
    QJsonObject progressFields(const FlashJob *job, int package) const;
    void errorLine(const QString &text);

    QHash<const FlashJob *, bool> m_requested;
};

} // namespace flash
