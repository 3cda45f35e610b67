#pragma once

#include "language.h"
#include "upgradeengine.h"

#include <QList>
#include <QMap>
#include <QObject>
#include <QString>
#include <QStringList>
#include <memory>

namespace flash {

class FlashJob;

// The tally of a run of several boards: how many ended well, how many failed and why.
struct RunTotals
{
    int ok = 0;
    QMap<QString, int> failed; // by reason (flash::failureReason)
    double seconds = 0;
    int exitCode = 0;

    void count(const FlashJob &job);
    int failedCount() const;
};

// What iap-flash reports, whatever the output: the events of each job (connected by track())
// and of the run as a whole. One reporter per output: lines for people (TextReporter) or one
// JSON object per line (JsonReporter).
class Reporter : public QObject
{
    Q_OBJECT
public:
    struct Settings
    {
        bool json = false;
        bool quiet = false;
        bool verbose = false;
        iap::Language language = iap::Language::English;
        bool terminal = false; // stderr is a terminal: draw live progress
        bool watch = false;    // boards come and go: a result line as each one ends
        bool colour = false;   // and NO_COLOR is not set: the error prefix in red
        QString file;          // the firmware file, for the "started" event
        QString sha256;        // of the image, for the "started" event and the first lines
        QString crc32;
        QString format; // bin/hex/srec/elf and the addresses of the image's first and last byte
        QString base;
        QString end;
    };

    static std::unique_ptr<Reporter> create(const Settings &settings);
    ~Reporter() override;

    Settings &settings() { return m_s; }

    // The job's events reach this reporter until forget().
    void track(FlashJob *job);
    void forget(FlashJob *job);

    // The image summary, once before the ports are opened.
    virtual void summary(const QString &text) = 0;
    // A failure before any port was opened (usage, firmware file, the log).
    virtual void earlyFailure(int exitCode, const QString &reason, const QString &text) = 0;
    // Something that stops nothing, or the run's end only (a log line that could not be
    // written, a port without modem lines). `port` is empty for the run as a whole.
    virtual void warning(const QString &port, const QString &text) = 0;
    // After every job of a --port run ended: each job's result in the order of the ports.
    virtual void results(const QList<FlashJob *> &jobs) = 0;
    // Watch mode.
    virtual void watching(const QStringList &patterns) = 0;
    virtual void plugged(const QString &port) = 0;
    virtual void unplugged(const QString &port) = 0;
    // The tally of a run of several boards.
    virtual void runSummary(const RunTotals &totals) = 0;

protected:
    explicit Reporter(const Settings &settings);

    virtual void started(FlashJob *job) = 0;
    virtual void acted(FlashJob *job, const iap::Action &action) = 0;
    virtual void replied(FlashJob *job, const QByteArray &frame) = 0;
    virtual void verified(FlashJob *job) = 0;
    virtual void ended(FlashJob *job) = 0;

    // "iap-flash: ", in red on a terminal that allows colour.
    QString errorPrefix() const;
    // Figures shared by both outputs.
    static double rateOf(const FlashJob *job);
    static int percentOf(const FlashJob *job);

    Settings m_s;
    QList<FlashJob *> m_jobs;
};

} // namespace flash
