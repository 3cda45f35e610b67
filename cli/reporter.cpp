#include "reporter.h"

#include "boardlog.h"
#include "clitext.h"
#include "flashjob.h"
#include "progressline.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSocketNotifier>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

using iap::Action;

namespace {
constexpr qint64 BarRedrawMs = 100;

double rateOf(const FlashJob *job)
{
    const double secs = job->transferSeconds();
    return secs > 0 ? job->bytesDone() / secs : 0;
}

int percentOf(const FlashJob *job)
{
    return job->imageBytes() > 0 ? int(job->bytesDone() * 100 / job->imageBytes()) : 0;
}

QString timeLeft(const FlashJob *job, bool chinese)
{
    const double rate = rateOf(job);
    if (rate <= 0)
        return QStringLiteral("--");
    const qint64 left = qRound64((job->imageBytes() - job->bytesDone()) / rate);
    if (left >= 60)
        return QStringLiteral("%1:%2").arg(left / 60).arg(left % 60, 2, 10, QLatin1Char('0'));
    return chinese ? QStringLiteral("%1 秒").arg(left) : QStringLiteral("%1 s").arg(left);
}

flash::ProgressFigures figuresOf(const FlashJob *job, bool chinese)
{
    flash::ProgressFigures f;
    f.port = job->options().port;
    f.done = job->bytesDone();
    f.total = job->imageBytes();
    f.rate = rateOf(job);
    f.chinese = chinese;
    return f;
}

// SIGWINCH only writes a byte; the event loop redraws.
int g_resizeFds[2] = {-1, -1};

extern "C" void onResize(int)
{
    const int saved = errno;
    const char byte = 1;
    if (::write(g_resizeFds[0], &byte, 1) < 0) {
        // Full: a redraw is pending anyway.
    }
    errno = saved;
}

int terminalColumns()
{
    winsize size = {};
    if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        return size.ws_col;
    return 80;
}
} // namespace

Reporter::Reporter(const Settings &settings, QObject *parent) : QObject(parent), m_s(settings)
{
    if (!m_s.terminal || m_s.mode != Mode::Human)
        return;
    m_columns = terminalColumns();
    if (g_resizeFds[0] >= 0 ||
        ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, g_resizeFds) != 0)
        return;
    m_resizeNotifier = new QSocketNotifier(g_resizeFds[1], QSocketNotifier::Read, this);
    connect(m_resizeNotifier, &QSocketNotifier::activated, this, [this] {
        char bytes[16];
        while (::read(g_resizeFds[1], bytes, sizeof bytes) > 0) {
        }
        resized();
    });
    struct sigaction sa = {};
    sa.sa_handler = onResize;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    ::sigaction(SIGWINCH, &sa, nullptr);
}

Reporter::~Reporter()
{
    if (!m_resizeNotifier)
        return;
    ::signal(SIGWINCH, SIG_DFL);
    m_resizeNotifier->setEnabled(false);
    ::close(g_resizeFds[0]);
    ::close(g_resizeFds[1]);
    g_resizeFds[0] = g_resizeFds[1] = -1;
}

int Reporter::columns() const
{
    return m_columns;
}

void Reporter::resized()
{
    m_columns = terminalColumns();
    if (m_liveLines > 0)
        drawLive(true);
}

void Reporter::line(FILE *stream, const QString &text)
{
    // A line goes above the live progress, which is then drawn again below it.
    const bool redraw = m_liveLines > 0;
    clearLive();
    std::fputs(text.toUtf8().constData(), stream);
    std::fputc('\n', stream);
    std::fflush(stream);
    if (redraw)
        drawLive(true);
}

QString Reporter::errorPrefix() const
{
    return m_s.colour ? QStringLiteral("\033[1;31miap-flash:\033[0m ")
                      : QStringLiteral("iap-flash: ");
}

QString Reporter::errorLine(const FlashJob &job) const
{
    // Every error line starts the same way; the exit code is the shell's to tell, and is
    // repeated here only with --verbose.
    QString text = errorPrefix() + flash::failureText(job, m_s.chinese);
    if (m_s.verbose)
        text += QStringLiteral(" (exit %1)").arg(int(job.exitCode()));
    return text;
}

void Reporter::json(QJsonObject object, const FlashJob *job)
{
    json(std::move(object), job ? job->options().port : QString());
}

void Reporter::json(QJsonObject object, const QString &port)
{
    // "event" and "port" lead every line, for people reading the stream; the rest follows in
    // key order.
    const QString event = object.take(QStringLiteral("event")).toString();
    object.insert(QStringLiteral("time"), flash::timestamp());
    QJsonObject head{{QStringLiteral("event"), event}};
    QByteArray bytes = QJsonDocument(head).toJson(QJsonDocument::Compact);
    bytes.chop(1);
    const QJsonObject portField{
        {QStringLiteral("port"), port.isNull() ? QJsonValue() : QJsonValue(port)}};
    bytes += ',' + QJsonDocument(portField).toJson(QJsonDocument::Compact).mid(1).chopped(1);
    bytes += ',' + QJsonDocument(object).toJson(QJsonDocument::Compact).mid(1);
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void Reporter::setImage(const QString &format, const QString &base, const QString &end)
{
    m_format = format;
    m_base = base;
    m_end = end;
}

void Reporter::summary(const QString &text)
{
    if (m_s.mode == Mode::Json || m_s.quiet)
        return;
    QString t = text;
    t.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    line(stderr, t);
    if (!m_s.sha256.isEmpty())
        line(stderr, flash::digestText(m_s.sha256, m_s.crc32, m_s.chinese));
}

void Reporter::earlyFailure(int exitCode, const QString &reason, const QString &text)
{
    if (m_s.mode == Mode::Json) {
        json({{QStringLiteral("event"), QStringLiteral("failed")},
              {QStringLiteral("exit"), exitCode},
              {QStringLiteral("reason"), reason},
              {QStringLiteral("error"), text},
              {QStringLiteral("seconds"), 0.0}},
             QString());
    }
    line(stderr, errorPrefix() + text);
}

void Reporter::watch(FlashJob *job)
{
    m_jobs.append(job);
    m_state.insert(job, JobState());
    connect(job, &FlashJob::started, this, [this, job] { onStarted(job); });
    connect(job, &FlashJob::action, this, [this, job](const Action &a) { onAction(job, a); });
    connect(job, &FlashJob::replyReceived, this,
            [this, job](const QByteArray &frame) { onReply(job, frame); });
    connect(job, &FlashJob::finished, this, [this, job] { onFinished(job); });
}

void Reporter::forget(FlashJob *job)
{
    disconnect(job, nullptr, this, nullptr);
    m_jobs.removeAll(job);
    m_state.remove(job);
}

void Reporter::onStarted(FlashJob *job)
{
    m_state[job].inFlight = true;
    if (m_s.mode == Mode::Json) {
        json({{QStringLiteral("event"), QStringLiteral("started")},
              {QStringLiteral("file"), m_s.file},
              {QStringLiteral("format"), m_format},
              {QStringLiteral("base"), m_base},
              {QStringLiteral("end"), m_end},
              {QStringLiteral("bytes"), job->imageBytes()},
              {QStringLiteral("packages"), job->packetTotal()},
              {QStringLiteral("baud"), job->options().baud},
              {QStringLiteral("fast"), job->options().fast},
              {QStringLiteral("sha256"), m_s.sha256},
              {QStringLiteral("crc32"), m_s.crc32}},
             job);
        return;
    }
    if (!m_s.quiet)
        line(stderr, flash::openedText(job->options().port, job->options().baud, m_s.chinese));
}

void Reporter::onAction(FlashJob *job, const Action &a)
{
    JobState &st = m_state[job];
    const bool resend =
        a.event == Action::Event::DataErrorResend || a.event == Action::Event::TimeoutResend;

    if (m_s.mode == Mode::Json) {
        if (a.kind == Action::Kind::Message && m_s.verbose)
            json({{QStringLiteral("event"), QStringLiteral("message")},
                  {QStringLiteral("text"), a.render(m_s.chinese)}},
                 job);
        if (a.event == Action::Event::RequestSent && a.kind == Action::Kind::Send &&
            !st.requested) {
            st.requested = true;
            json({{QStringLiteral("event"), QStringLiteral("requesting")}}, job);
        } else if (a.event == Action::Event::Accepted) {
            json({{QStringLiteral("event"), QStringLiteral("accepted")},
                  {QStringLiteral("requests"), job->requestsSent()},
                  {QStringLiteral("seconds"), job->seconds()}},
                 job);
        } else if (a.event == Action::Event::Progress) {
            json({{QStringLiteral("event"), QStringLiteral("progress")},
                  {QStringLiteral("package"), a.arg1},
                  {QStringLiteral("total"), a.arg2},
                  {QStringLiteral("done"), job->packagesDone()},
                  {QStringLiteral("bytes"), job->bytesDone()},
                  {QStringLiteral("rate"), qRound64(rateOf(job))}},
                 job);
        } else if (resend) {
            json({{QStringLiteral("event"), QStringLiteral("resend")},
                  {QStringLiteral("index"), a.packetIndex},
                  {QStringLiteral("package"), a.packetIndex + 1},
                  {QStringLiteral("reason"), a.event == Action::Event::DataErrorResend
                                                 ? QStringLiteral("data-error")
                                                 : QStringLiteral("timeout")},
                  {QStringLiteral("count"), job->consecutiveResends()}},
                 job);
        } else if (a.event == Action::Event::Completed && a.text == iap::Text::UpdateCompleted) {
            json({{QStringLiteral("event"), QStringLiteral("progress")},
                  {QStringLiteral("package"), job->packetTotal()},
                  {QStringLiteral("total"), job->packetTotal()},
                  {QStringLiteral("done"), job->packagesDone()},
                  {QStringLiteral("bytes"), job->bytesDone()},
                  {QStringLiteral("rate"), qRound64(rateOf(job))}},
                 job);
        }
        return;
    }

    if (a.kind != Action::Kind::Message)
        return;
    // The bar reaches 100 % before the two completion lines, and stays above them.
    if (a.event == Action::Event::Completed && a.text == iap::Text::FlashWriteSuccess) {
        progress(job, true);
        if (m_s.terminal && !m_s.watch && m_jobs.size() == 1 && m_liveLines > 0) {
            std::fputc('\n', stderr);
            std::fflush(stderr);
            m_liveLines = 0;
            st.inFlight = false;
        }
    }
    const QString prefix = job->options().port + QStringLiteral(": ");
    if (m_s.verbose) {
        // Every line of the window's log.
        line(stderr, prefix + a.render(m_s.chinese));
    } else if (!m_s.quiet) {
        if (a.event == Action::Event::RequestSent && !st.requested)
            line(stderr, prefix + a.render(m_s.chinese));
        else if (a.event == Action::Event::Accepted || a.event == Action::Event::Completed)
            line(stderr, prefix + a.render(m_s.chinese));
        else if (resend)
            line(stderr, prefix + a.render(m_s.chinese) + QLatin1Char(' ') +
                             flash::resendCountText(a.packetIndex + 1, job->consecutiveResends(),
                                                    m_s.chinese));
    }
    if (a.event == Action::Event::RequestSent)
        st.requested = true;
    if (a.event == Action::Event::Progress)
        progress(job, false);
}

void Reporter::onReply(FlashJob *job, const QByteArray &frame)
{
    if (!m_s.verbose)
        return;
    const QString hex = IapContext::hexText(frame);
    if (m_s.mode == Mode::Json)
        json({{QStringLiteral("event"), QStringLiteral("reply")}, {QStringLiteral("hex"), hex}},
             job);
    else
        line(stderr, job->options().port + QStringLiteral(": ") + hex);
}

void Reporter::onFinished(FlashJob *job)
{
    JobState &st = m_state[job];
    st.inFlight = false;
    if (m_s.mode == Mode::Json) {
        QJsonObject o{{QStringLiteral("exit"), int(job->exitCode())},
                      {QStringLiteral("bytes"), job->bytesDone()},
                      {QStringLiteral("seconds"), job->seconds()},
                      {QStringLiteral("requests"), job->requestsSent()},
                      {QStringLiteral("resends"), job->resendsTotal()},
                      {QStringLiteral("sent"), job->bytesWritten()},
                      {QStringLiteral("received"), job->bytesRead()}};
        if (job->failure() == FlashJob::Failure::None) {
            o.insert(QStringLiteral("event"), QStringLiteral("finished"));
            const double secs = job->seconds();
            o.insert(QStringLiteral("rate"), secs > 0 ? qRound64(job->imageBytes() / secs) : 0);
        } else {
            o.insert(QStringLiteral("event"), QStringLiteral("failed"));
            o.insert(QStringLiteral("reason"), flash::failureReason(*job));
            o.insert(QStringLiteral("error"), flash::failureText(*job, m_s.chinese));
        }
        json(o, job);
        return;
    }
    // Boards that come and go get their result line the moment they end; with several
    // ports a failure is told at once and the rest at the end. Either way each port's
    // result is told once.
    if (m_s.watch || (m_jobs.size() > 1 && job->failure() != FlashJob::Failure::None))
        resultLine(job);
    else
        drawLive(true);
}

void Reporter::resultLine(FlashJob *job)
{
    JobState &st = m_state[job];
    if (st.told)
        return;
    st.told = true;
    if (job->failure() == FlashJob::Failure::None) {
        if (!m_s.quiet)
            line(stdout, flash::successText(*job, m_s.chinese));
    } else {
        line(stderr, errorLine(*job));
    }
}

void Reporter::progress(FlashJob *job, bool force)
{
    if (m_s.quiet)
        return;
    if (m_s.terminal) {
        drawLive(force);
        return;
    }
    // Plain lines for logs and pipes: one at every tenth of the image.
    JobState &st = m_state[job];
    const int tenth = percentOf(job) / 10;
    if (tenth == st.lastTenth)
        return;
    st.lastTenth = tenth;
    line(stderr, flash::plainProgressText(job->options().port, percentOf(job), job->bytesDone(),
                                          job->imageBytes(), flash::rateText(rateOf(job)),
                                          timeLeft(job, m_s.chinese), m_s.chinese));
}

void Reporter::drawLive(bool force)
{
    if (!m_s.terminal || m_s.quiet || m_s.mode == Mode::Json)
        return;
    if (!force && m_liveClock.isValid() && m_liveClock.elapsed() < BarRedrawMs)
        return;
    m_liveClock.start();
    QStringList lines;
    if (!m_s.watch && m_jobs.size() == 1) {
        // One port: a bar with the byte counts and the time left.
        if (m_state.value(m_jobs.first()).inFlight)
            lines << flash::barLine(figuresOf(m_jobs.first(), m_s.chinese), m_columns);
    } else {
        // One line per board in flight.
        for (FlashJob *job : qAsConst(m_jobs)) {
            if (m_state.value(job).inFlight)
                lines << flash::boardLine(figuresOf(job, m_s.chinese), m_columns);
        }
    }
    clearLive();
    if (lines.isEmpty())
        return;
    std::fputs(lines.join(QLatin1Char('\n')).toUtf8().constData(), stderr);
    std::fflush(stderr);
    m_liveLines = lines.size();
}

void Reporter::clearLive()
{
    if (m_liveLines == 0)
        return;
    // Back to the start of the first live line, and clear from there down.
    QByteArray bytes("\r");
    for (int i = 1; i < m_liveLines; ++i)
        bytes += "\033[A";
    bytes += "\033[J";
    std::fputs(bytes.constData(), stderr);
    std::fflush(stderr);
    m_liveLines = 0;
}

void Reporter::results(const QList<FlashJob *> &jobs)
{
    if (m_s.mode == Mode::Json)
        return;
    if (m_liveLines > 0) {
        // The last state of the live progress stays on the screen.
        std::fputc('\n', stderr);
        m_liveLines = 0;
    }
    for (FlashJob *job : jobs)
        resultLine(job);
}

void Reporter::watching(const QStringList &patterns)
{
    if (m_s.mode == Mode::Json) {
        json({{QStringLiteral("event"), QStringLiteral("watching")},
              {QStringLiteral("patterns"), QJsonArray::fromStringList(patterns)},
              {QStringLiteral("file"), m_s.file},
              {QStringLiteral("sha256"), m_s.sha256},
              {QStringLiteral("crc32"), m_s.crc32}},
             QString());
        return;
    }
    if (!m_s.quiet)
        line(stderr, flash::watchingText(patterns, m_s.chinese));
}

void Reporter::plugged(const QString &port)
{
    if (m_s.mode == Mode::Json)
        json({{QStringLiteral("event"), QStringLiteral("plugged")}}, port);
    else if (!m_s.quiet)
        line(stderr, flash::pluggedText(port, true, m_s.chinese));
}

void Reporter::unplugged(const QString &port)
{
    if (m_s.mode == Mode::Json)
        json({{QStringLiteral("event"), QStringLiteral("unplugged")}}, port);
    else if (!m_s.quiet)
        line(stderr, flash::pluggedText(port, false, m_s.chinese));
}

void Reporter::runSummary(const RunTotals &totals)
{
    int failed = 0;
    QJsonObject reasons;
    for (auto it = totals.failed.constBegin(); it != totals.failed.constEnd(); ++it) {
        failed += it.value();
        reasons.insert(it.key(), it.value());
    }
    if (m_s.mode == Mode::Json) {
        json({{QStringLiteral("event"), QStringLiteral("summary")},
              {QStringLiteral("ok"), totals.ok},
              {QStringLiteral("failed"), failed},
              {QStringLiteral("reasons"), reasons},
              {QStringLiteral("seconds"), qRound64(totals.seconds * 1000) / 1000.0},
              {QStringLiteral("exit"), totals.exitCode}},
             QString());
        return;
    }
    clearLive();
    // With --quiet only a run with failures is summed up.
    if (m_s.quiet && failed == 0)
        return;
    line(stdout, flash::runSummaryText(totals.ok, totals.failed, totals.seconds, m_s.chinese));
}

void Reporter::warning(const QString &port, const QString &text)
{
    if (m_s.mode == Mode::Json)
        json(
            {{QStringLiteral("event"), QStringLiteral("warning")}, {QStringLiteral("error"), text}},
            port);
    line(stderr, errorPrefix() + text);
}
