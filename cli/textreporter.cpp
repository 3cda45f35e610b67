#include "textreporter.h"

#include "clitext.h"
#include "flashjob.h"
#include "progressline.h"

namespace flash {

using iap::Action;

namespace {

QString timeLeft(double rate, qint64 left, iap::Language language)
{
    if (rate <= 0)
        return QStringLiteral("--");
    const qint64 secs = qRound64(left / rate);
    if (secs >= 60)
        return QStringLiteral("%1:%2").arg(secs / 60).arg(secs % 60, 2, 10, QLatin1Char('0'));
    return language == iap::Language::Chinese ? QStringLiteral("%1 秒").arg(secs)
                                              : QStringLiteral("%1 s").arg(secs);
}

} // namespace

TextReporter::TextReporter(const Settings &settings)
    : Reporter(settings), m_terminal(settings.terminal && !settings.quiet)
{
    connect(&m_terminal, &LiveTerminal::resized, this, [this] {
        if (m_terminal.showing())
            drawLive(true);
    });
}

bool TextReporter::singleBar() const
{
    return !m_s.watch && m_jobs.size() == 1;
}

QString TextReporter::errorLine(const FlashJob &job) const
{
    // Every error line starts the same way; the exit code is the shell's to tell, and is
    // repeated here only with --verbose.
    QString text = errorPrefix() + flash::failureText(job, m_s.language);
    if (m_s.verbose)
        text += QStringLiteral(" (exit %1)").arg(int(job.exitCode()));
    return text;
}

void TextReporter::summary(const QString &text)
{
    if (m_s.quiet)
        return;
    QString t = text;
    t.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    m_terminal.line(stderr, t);
    if (!m_s.sha256.isEmpty())
        m_terminal.line(stderr, flash::digestText(m_s.sha256, m_s.crc32, m_s.language));
}

void TextReporter::earlyFailure(int, const QString &, const QString &text)
{
    m_terminal.line(stderr, errorPrefix() + text);
}

void TextReporter::warning(const QString &, const QString &text)
{
    m_terminal.line(stderr, errorPrefix() + text);
}

void TextReporter::started(FlashJob *job)
{
    m_state[job].inFlight = true;
    if (!m_s.quiet)
        m_terminal.line(stderr,
                        flash::openedText(job->options().port, job->options().baud, m_s.language));
}

void TextReporter::acted(FlashJob *job, const Action &a)
{
    JobState &st = m_state[job];
    if (a.kind != Action::Kind::Message)
        return;
    // The bar reaches 100 % before the two completion lines, and stays above them.
    if (a.event == Action::Event::Completed && a.text == iap::Text::FlashWriteSuccess) {
        progress(job, true);
        if (singleBar() && m_terminal.showing()) {
            m_terminal.keep();
            st.inFlight = false;
        }
    }
    const bool resend =
        a.event == Action::Event::DataErrorResend || a.event == Action::Event::TimeoutResend;
    const QString prefix = job->options().port + QStringLiteral(": ");
    if (m_s.verbose) {
        // Every line of the window's log.
        m_terminal.line(stderr, prefix + a.render(m_s.language));
    } else if (!m_s.quiet) {
        if ((a.event == Action::Event::RequestSent && !st.requested) ||
            a.event == Action::Event::Accepted || a.event == Action::Event::Completed)
            m_terminal.line(stderr, prefix + a.render(m_s.language));
        else if (resend)
            m_terminal.line(stderr, prefix + a.render(m_s.language) + QLatin1Char(' ') +
                                        flash::resendCountText(a.packetIndex + 1,
                                                               job->run().consecutiveResends(),
                                                               m_s.language));
    }
    if (a.event == Action::Event::RequestSent) {
        st.requested = true;
        drawLive(false); // the waiting line counts on
    }
    if (a.event == Action::Event::Accepted)
        st.accepted = true;
    if (a.event == Action::Event::Progress)
        progress(job, false);
}

void TextReporter::replied(FlashJob *job, const QByteArray &frame)
{
    if (m_s.verbose)
        m_terminal.line(stderr,
                        job->options().port + QStringLiteral(": ") + flash::replyHex(frame));
}

void TextReporter::verified(FlashJob *job)
{
    if (!m_s.quiet && job->verification()->result() == iap::Verification::Result::Verified)
        m_terminal.line(stderr, flash::verifiedText(*job, m_s.language));
}

void TextReporter::ended(FlashJob *job)
{
    m_state[job].inFlight = false;
    // Boards that come and go get their result line the moment they end; a run of ports
    // tells every result at the end, in the order of the ports.
    if (m_s.watch)
        resultLine(job);
    else
        drawLive(true);
}

void TextReporter::resultLine(FlashJob *job)
{
    JobState &st = m_state[job];
    if (st.told)
        return;
    st.told = true;
    if (job->failure() == FlashJob::Failure::None) {
        if (!m_s.quiet)
            m_terminal.line(stdout, flash::successText(*job, m_s.language));
    } else {
        m_terminal.line(stderr, errorLine(*job));
    }
}

void TextReporter::progress(FlashJob *job, bool force)
{
    if (m_s.quiet)
        return;
    if (m_terminal.active()) {
        drawLive(force);
        return;
    }
    // Plain lines for logs and pipes: one at every tenth of the image.
    JobState &st = m_state[job];
    const int tenth = percentOf(job) / 10;
    if (tenth == st.lastTenth)
        return;
    st.lastTenth = tenth;
    const double rate = rateOf(job);
    m_terminal.line(
        stderr, flash::plainProgressText(
                    job->options().port, percentOf(job), job->run().bytesDone(),
                    job->run().imageBytes(), flash::rateText(rate),
                    timeLeft(rate, job->run().imageBytes() - job->run().bytesDone(), m_s.language),
                    m_s.language));
}

void TextReporter::drawLive(bool force)
{
    if (!m_terminal.active())
        return;
    QStringList lines;
    for (FlashJob *job : qAsConst(m_jobs)) {
        const JobState st = m_state.value(job);
        if (!st.inFlight)
            continue;
        if (!st.accepted) {
            // Not a transfer at 0 %: what is happening, and with one port what to try.
            lines << flash::waitingLine(job->options().port, job->run().requestsSent(),
                                        int(job->seconds()), job->options().baud, m_s.language,
                                        m_terminal.columns(), singleBar());
            continue;
        }
        flash::ProgressFigures f;
        f.port = job->options().port;
        f.done = job->run().bytesDone();
        f.total = job->run().imageBytes();
        f.rate = rateOf(job);
        f.language = m_s.language;
        // One port: a bar with the byte counts and the time left; else one line per board.
        lines << (singleBar() ? flash::barLine(f, m_terminal.columns())
                              : flash::boardLine(f, m_terminal.columns()));
    }
    m_terminal.draw(lines, force);
}

void TextReporter::results(const QList<FlashJob *> &jobs)
{
    // The last state of the live progress stays on the screen.
    m_terminal.keep();
    for (FlashJob *job : jobs)
        resultLine(job);
}

void TextReporter::watching(const QStringList &patterns)
{
    if (!m_s.quiet)
        m_terminal.line(stderr, flash::watchingText(patterns, m_s.language));
}

void TextReporter::plugged(const QString &port)
{
    if (!m_s.quiet)
        m_terminal.line(stderr, flash::pluggedText(port, true, m_s.language));
}

void TextReporter::unplugged(const QString &port)
{
    if (!m_s.quiet)
        m_terminal.line(stderr, flash::pluggedText(port, false, m_s.language));
}

void TextReporter::runSummary(const RunTotals &totals)
{
    m_terminal.clear();
    // With --quiet only a run with failures is summed up.
    if (m_s.quiet && totals.failedCount() == 0)
        return;
    m_terminal.line(stdout,
                    flash::runSummaryText(totals.ok, totals.failed, totals.seconds, m_s.language));
}

} // namespace flash
