#pragma once

#include "boardrun.h"
#include "reporter.h"

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QSet>

namespace flash {

class PortWatcher;

// Watch mode: every board that appears at a watched path is flashed once, each with its own
// FlashJob on the one event loop, as many at once as are plugged in. A board is flashed
// again only after it has been pulled out and plugged back in.
class WatchRun : public BoardRun
{
    Q_OBJECT
public:
    struct Settings : BoardRunSettings
    {
        QStringList patterns;
        int count = 0; // stop after this many boards succeeded (0: until a signal)
    };

    WatchRun(const Settings &settings, const QByteArray &image, Reporter *reporter, BoardLog *log,
             QObject *parent = nullptr);
    ~WatchRun() override;

    void start() override;
    void interrupt(flash::ExitCode code) override;

private:
    struct Board
    {
        FlashJob *job = nullptr;
        flash::PortIdentity identity;
        QString line; // the device file behind the path
    };

    void onAppeared(const QString &path);
    bool lineInFlight(const QString &line) const;
    void onVanished(const QString &path);
    void startBoard(const QString &path);
    void onBoardFinished(const QString &path);
    void finishWhenIdle();

    Settings m_s;
    QByteArray m_image;
    Reporter *m_reporter;
    BoardLog *m_log;
    PortWatcher *m_watcher;
    QHash<QString, Board> m_inFlight;
    QSet<QString> m_replugged; // came back while its previous board was still in flight
    QElapsedTimer m_clock;
    RunTotals m_totals;
    bool m_stopping = false; // no new boards
    bool m_interrupted = false;
    bool m_done = false;
};

} // namespace flash
