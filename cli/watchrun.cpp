#include "watchrun.h"

#include "clitext.h"
#include "portwatcher.h"
#include "serial.h"

namespace flash {

WatchRun::WatchRun(const Settings &settings, const QByteArray &image, Reporter *reporter,
                   BoardLog *log, QObject *parent)
    : BoardRun(parent), m_s(settings), m_image(image), m_reporter(reporter), m_log(log),
      m_watcher(new PortWatcher(settings.patterns, this))
{
    connect(m_watcher, &PortWatcher::appeared, this, &WatchRun::onAppeared);
    connect(m_watcher, &PortWatcher::vanished, this, &WatchRun::onVanished);
}

WatchRun::~WatchRun()
{
    for (const Board &board : qAsConst(m_inFlight)) {
        m_reporter->forget(board.job);
        delete board.job;
    }
}

void WatchRun::start()
{
    m_clock.start();
    m_reporter->watching(m_s.patterns);
    m_watcher->start();
}

void WatchRun::interrupt(flash::ExitCode code)
{
    if (m_interrupted)
        return;
    m_interrupted = true;
    m_stopping = true;
    m_totals.exitCode = code;
    m_watcher->stop();
    for (const Board &board : qAsConst(m_inFlight))
        board.job->interrupt(code);
    // The log is not waited for any more, at the end or now.
    m_log->stopWaiting();
    finishWhenIdle();
}

void WatchRun::onAppeared(const QString &path)
{
    if (m_stopping)
        return;
    if (m_inFlight.contains(path)) {
        // Pulled out and plugged back in faster than its old board noticed: the new board
        // goes once the old one is over.
        m_reporter->plugged(path);
        m_replugged.insert(path);
        return;
    }
    // One board seen under two names (two patterns, a by-id link and its ttyUSB): it is
    // flashed under the first, and only that name is reported, so that every board plugged
    // in is one that ends as finished or failed.
    if (lineInFlight(canonicalPortName(path)))
        return;
    m_reporter->plugged(path);
    startBoard(path);
}

bool WatchRun::lineInFlight(const QString &line) const
{
    for (const Board &board : m_inFlight) {
        if (board.line == line)
            return true;
    }
    return false;
}

void WatchRun::onVanished(const QString &path)
{
    m_replugged.remove(path);
    if (!m_stopping)
        m_reporter->unplugged(path);
    // A board in flight finds out from its own line that the device is gone.
}

void WatchRun::startBoard(const QString &path)
{
    FlashJob::Options options = m_s.job;
    options.port = path;
    Board board;
    board.identity = flash::lookUpPort(path);
    board.line = canonicalPortName(path);
    board.job = new FlashJob(options, m_image, this);
    m_inFlight.insert(path, board);
    m_reporter->track(board.job);
    connect(board.job, &FlashJob::finished, this, [this, path] { onBoardFinished(path); });
    board.job->start();
}

void WatchRun::onBoardFinished(const QString &path)
{
    const Board board = m_inFlight.take(path);
    FlashJob *job = board.job;
    m_totals.count(*job);

    QString error;
    if (!m_log->append(BoardLog::record(*job, m_s.firmware, m_s.digest, board.identity), &error) &&
        !error.isEmpty())
        m_reporter->warning(path, error);
    m_reporter->forget(job);
    job->deleteLater();

    if (!m_stopping && m_s.count > 0 && m_totals.ok >= m_s.count) {
        // Enough boards: no new ones; those in flight are let finish.
        m_stopping = true;
        m_totals.exitCode = flash::Success;
        m_watcher->stop();
    }
    if (m_replugged.remove(path) && !m_stopping)
        startBoard(path);
    finishWhenIdle();
}

void WatchRun::finishWhenIdle()
{
    if (!m_stopping || !m_inFlight.isEmpty() || m_done)
        return;
    m_done = true;
    m_log->finish([this](int code, const QString &error) {
        if (code != flash::Success) {
            m_reporter->warning(QString(), error);
            m_totals.exitCode = qMax(m_totals.exitCode, code);
        }
        m_totals.seconds = m_clock.elapsed() / 1000.0;
        m_reporter->runSummary(m_totals);
        emit done(m_totals.exitCode);
    });
}

} // namespace flash
