#include "reporter.h"

#include "clitext.h"
#include "flashjob.h"

#include <QJsonDocument>
#include <cstdio>

using iap::Action;

namespace {
constexpr int BarWidth = 30;
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

QString timeLeft(const FlashJob *job)
{
    const double rate = rateOf(job);
    if (rate <= 0)
        return QStringLiteral("--");
    const qint64 left = qRound64((job->imageBytes() - job->bytesDone()) / rate);
    if (left >= 60)
        return QStringLiteral("%1:%2").arg(left / 60).arg(left % 60, 2, 10, QLatin1Char('0'));
    return QStringLiteral("%1 s").arg(left);
}
} // namespace

Reporter::Reporter(const Settings &settings, QObject *parent) : QObject(parent), m_s(settings) {}

void Reporter::line(FILE *stream, const QString &text)
{
    // A line goes above the progress bar, which is then drawn again below it.
    const bool redraw = m_barShown;
    clearBar();
    std::fputs(text.toUtf8().constData(), stream);
    std::fputc('\n', stream);
    std::fflush(stream);
    if (redraw)
        drawBar(true);
}

void Reporter::json(QJsonObject object, FlashJob *job)
{
    // "event" and "port" lead every line, for people reading the stream; the rest follows in
    // key order.
    const QString event = object.take(QStringLiteral("event")).toString();
    QJsonObject head{{QStringLiteral("event"), event}};
    QByteArray bytes = QJsonDocument(head).toJson(QJsonDocument::Compact);
    bytes.chop(1);
    if (job) {
        const QJsonObject port{{QStringLiteral("port"), job->options().port}};
        bytes += ',' + QJsonDocument(port).toJson(QJsonDocument::Compact).mid(1).chopped(1);
    }
    if (!object.isEmpty())
        bytes += ',' + QJsonDocument(object).toJson(QJsonDocument::Compact).mid(1);
    else
        bytes += '}';
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
}

void Reporter::earlyFailure(int exitCode, const QString &reason, const QString &text)
{
    if (m_s.mode == Mode::Json) {
        json({{QStringLiteral("event"), QStringLiteral("failed")},
              {QStringLiteral("exit"), exitCode},
              {QStringLiteral("reason"), reason},
              {QStringLiteral("error"), text},
              {QStringLiteral("seconds"), 0.0}},
             nullptr);
    }
    line(stderr, QStringLiteral("iap-flash: ") + text);
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

void Reporter::onStarted(FlashJob *job)
{
    if (m_s.mode == Mode::Json) {
        json({{QStringLiteral("event"), QStringLiteral("started")},
              {QStringLiteral("file"), m_s.file},
              {QStringLiteral("format"), m_format},
              {QStringLiteral("base"), m_base},
              {QStringLiteral("end"), m_end},
              {QStringLiteral("bytes"), job->imageBytes()},
              {QStringLiteral("packages"), job->packetTotal()},
              {QStringLiteral("baud"), job->options().baud},
              {QStringLiteral("fast"), job->options().fast}},
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
    // The bar reaches 100 % before the two completion lines.
    if (a.event == Action::Event::Completed && a.text == iap::Text::FlashWriteSuccess)
        progress(job, true);
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
    // With several ports a failure is told at once; every port's result follows at the end.
    if (m_jobs.size() > 1 && job->failure() != FlashJob::Failure::None)
        line(stderr, flash::failureText(*job, m_s.chinese));
    else
        drawBar(true);
}

void Reporter::progress(FlashJob *job, bool force)
{
    if (m_s.quiet)
        return;
    if (m_s.terminal) {
        drawBar(force);
        return;
    }
    // Plain lines for logs and pipes: one at every tenth of the image.
    JobState &st = m_state[job];
    const int tenth = percentOf(job) / 10;
    if (tenth == st.lastTenth)
        return;
    st.lastTenth = tenth;
    line(stderr, QStringLiteral("%1: %2% %3/%4 bytes, %5, %6 left")
                     .arg(job->options().port)
                     .arg(percentOf(job))
                     .arg(job->bytesDone())
                     .arg(job->imageBytes())
                     .arg(flash::rateText(rateOf(job)), timeLeft(job)));
}

void Reporter::drawBar(bool force)
{
    if (!m_s.terminal || m_s.quiet || m_s.mode == Mode::Json)
        return;
    if (!force && m_barClock.isValid() && m_barClock.elapsed() < BarRedrawMs)
        return;
    m_barClock.start();
    QString text;
    if (m_jobs.size() == 1) {
        FlashJob *job = m_jobs.first();
        const int pct = percentOf(job);
        const int filled = pct * BarWidth / 100;
        text = QStringLiteral("[%1%2] %3% %4/%5 bytes %6 %7 left")
                   .arg(QString(filled, QLatin1Char('#')),
                        QString(BarWidth - filled, QLatin1Char('-')))
                   .arg(pct, 3)
                   .arg(job->bytesDone())
                   .arg(job->imageBytes())
                   .arg(flash::rateText(rateOf(job)), timeLeft(job));
    } else {
        QStringList parts;
        double rate = 0;
        for (FlashJob *job : qAsConst(m_jobs)) {
            const QString name = job->options().port.section(QLatin1Char('/'), -2);
            parts << QStringLiteral("%1 %2%").arg(name).arg(percentOf(job));
            if (!job->isFinished())
                rate += rateOf(job);
        }
        text = parts.join(QStringLiteral(" | ")) + QStringLiteral("  ") + flash::rateText(rate);
    }
    std::fputs(("\r\033[K" + text).toUtf8().constData(), stderr);
    std::fflush(stderr);
    m_barShown = true;
}

void Reporter::clearBar()
{
    if (!m_barShown)
        return;
    std::fputs("\r\033[K", stderr);
    std::fflush(stderr);
    m_barShown = false;
}

void Reporter::results(const QList<FlashJob *> &jobs)
{
    if (m_s.mode == Mode::Json)
        return;
    if (m_barShown) {
        std::fputc('\n', stderr);
        m_barShown = false;
    }
    for (const FlashJob *job : jobs) {
        if (job->failure() == FlashJob::Failure::None) {
            if (!m_s.quiet)
                line(stdout, flash::successText(*job, m_s.chinese));
        } else {
            line(stderr, QStringLiteral("%1 (exit %2)")
                             .arg(flash::failureText(*job, m_s.chinese))
                             .arg(int(job->exitCode())));
        }
    }
}
