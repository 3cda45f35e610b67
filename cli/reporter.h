#pragma once

#include "upgradeengine.h"

#include <QElapsedTimer>
#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QObject>

class FlashJob;

// Turns what the jobs report into output: human lines with a progress bar on stderr (plain
// progress lines when stderr is not a terminal) and the final lines on stdout, or one JSON
// object per line on stdout.
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
        bool terminal = false; // stderr is a terminal: draw a progress bar
        QString file;          // the firmware file, for the JSON "started" event
    };

    explicit Reporter(const Settings &settings, QObject *parent = nullptr);

    // What the file turned out to be, for the "started" event: bin/hex/srec/elf and the
    // addresses of the image's first and last byte.
    void setImage(const QString &format, const QString &base, const QString &end);
    // The image summary, once before the ports are opened.
    void summary(const QString &text);
    // A failure before any port was opened (usage, firmware file).
    void earlyFailure(int exitCode, const QString &reason, const QString &text);
    void watch(FlashJob *job);
    // After every job finished: the result line of each, in the order of the ports.
    void results(const QList<FlashJob *> &jobs);

private:
    struct JobState
    {
        bool requested = false;
        int lastTenth = -1; // the last tenth of the image reported by a plain progress line
    };

    void onStarted(FlashJob *job);
    void onAction(FlashJob *job, const iap::Action &action);
    void onReply(FlashJob *job, const QByteArray &frame);
    void onFinished(FlashJob *job);
    void progress(FlashJob *job, bool force);
    void drawBar(bool force);
    void clearBar();
    void line(FILE *stream, const QString &text);
    void json(QJsonObject object, FlashJob *job);

    Settings m_s;
    QString m_format;
    QString m_base;
    QString m_end;
    QList<FlashJob *> m_jobs;
    QHash<FlashJob *, JobState> m_state;
    bool m_barShown = false;
    QElapsedTimer m_barClock;
};
