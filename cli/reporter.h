#pragma once

#include "upgradeengine.h"

#include <QElapsedTimer>
#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QObject>

class FlashJob;
class QSocketNotifier;

// Turns what the jobs report into output: human lines with live progress on stderr (plain
// progress lines when stderr is not a terminal) and the final lines on stdout, or one JSON
// object per line on stdout. Every JSON object carries "event", "port" (null for what
// concerns the whole run) and "time".
class Reporter : public QObject
{
    Q_OBJECT
public:
    enum class Mode
    {
        Human,
        Json
    };
    struct Settings
    {
        Mode mode = Mode::Human;
        bool quiet = false;
        bool verbose = false;
        bool chinese = false;
        bool terminal = false; // stderr is a terminal: draw live progress
        bool watch = false;    // boards come and go: a result line as each one ends
        bool colour = false;   // and NO_COLOR is not set: the error prefix in red
        QString file;          // the firmware file, for the JSON "started" event
        QString sha256;        // of the image, for the "started" event and the first lines
        QString crc32;
    };

    explicit Reporter(const Settings &settings, QObject *parent = nullptr);
    ~Reporter() override;

    // The image's fingerprints, once it has been read.
    void setDigest(const QString &sha256, const QString &crc32)
    {
        m_s.sha256 = sha256;
        m_s.crc32 = crc32;
    }
    // What the file turned out to be, for the "started" event: bin/hex/srec/elf and the
    // addresses of the image's first and last byte.
    void setImage(const QString &format, const QString &base, const QString &end);
    // The image summary, once before the ports are opened.
    void summary(const QString &text);
    // A failure before any port was opened (usage, firmware file).
    void earlyFailure(int exitCode, const QString &reason, const QString &text);
    void watch(FlashJob *job);
    // The job is about to go away.
    void forget(FlashJob *job);
    // After every job finished: the result line of each not told yet, in the order of the
    // ports.
    void results(const QList<FlashJob *> &jobs);

    // Watch mode.
    void watching(const QStringList &patterns);
    void plugged(const QString &port);
    void unplugged(const QString &port);
    struct RunTotals
    {
        int ok = 0;
        QMap<QString, int> failed; // by reason
        double seconds = 0;
        int exitCode = 0;
    };
    void runSummary(const RunTotals &totals);
    // Something went wrong that stops nothing (a log line that could not be written).
    void warning(const QString &port, const QString &text);

    // The terminal's width changed: draw the live lines again.
    void resized();

private:
    struct JobState
    {
        bool requested = false;
        bool inFlight = false; // the port is open and the job has not finished
        bool told = false;     // its result line has been written
        int lastTenth = -1;    // the last tenth of the image reported by a plain progress line
    };

    void onStarted(FlashJob *job);
    void onAction(FlashJob *job, const iap::Action &action);
    void onReply(FlashJob *job, const QByteArray &frame);
    void onFinished(FlashJob *job);
    void progress(FlashJob *job, bool force);
    void drawLive(bool force);
    void clearLive();
    void line(FILE *stream, const QString &text);
    QString errorPrefix() const;
    QString errorLine(const FlashJob &job) const;
    void resultLine(FlashJob *job);
    void json(QJsonObject object, const FlashJob *job);
    void json(QJsonObject object, const QString &port);
    int columns() const;

    Settings m_s;
    QString m_format;
    QString m_base;
    QString m_end;
    QList<FlashJob *> m_jobs;
    QHash<FlashJob *, JobState> m_state;
    int m_liveLines = 0; // lines of live progress on the screen below the last text line
    QElapsedTimer m_liveClock;
    int m_columns = 80;
    QSocketNotifier *m_resizeNotifier = nullptr;
};
