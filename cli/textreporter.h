#pragma once

#include "liveterminal.h"
#include "reporter.h"

#include <QHash>

namespace flash {

// Lines for people: the image summary and the steps worth knowing on stderr, with live
// progress on a terminal (a bar for one port, a line per board otherwise) or a plain
// progress line at every tenth of the image; the result of each port on stdout (success) or
// stderr (failure).
class TextReporter : public Reporter
{
    Q_OBJECT
public:
    explicit TextReporter(const Settings &settings);

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
    struct JobState
    {
        bool requested = false;
        bool accepted = false; // the device answered the request
        bool inFlight = false; // the port is open and the job has not finished
        bool told = false;     // its result line has been written
        int lastTenth = -1;    // the last tenth of the image reported by a plain progress line
    };

    bool singleBar() const;
    void progress(FlashJob *job, bool force);
    void drawLive(bool force);
    void resultLine(FlashJob *job);
    QString errorLine(const FlashJob &job) const;

    LiveTerminal m_terminal;
    QHash<FlashJob *, JobState> m_state;
};

} // namespace flash
