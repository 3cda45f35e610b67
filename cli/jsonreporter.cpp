#include "jsonreporter.h"

#include "boardlog.h"
#include "clitext.h"
#include "flashjob.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <cstdio>

namespace flash {

using iap::Action;

JsonReporter::JsonReporter(const Settings &settings) : Reporter(settings) {}

void JsonReporter::emitEvent(const QString &event, const QString &port, QJsonObject fields)
{
    // "event" and "port" lead every line, for people reading the stream; the rest follows in
    // key order.
    fields.insert(QStringLiteral("time"), flash::timestamp());
    QByteArray bytes =
        QJsonDocument(QJsonObject{{QStringLiteral("event"), event}}).toJson(QJsonDocument::Compact);
    bytes.chop(1);
    const QJsonObject portField{
        {QStringLiteral("port"), port.isNull() ? QJsonValue() : QJsonValue(port)}};
    bytes += ',' + QJsonDocument(portField).toJson(QJsonDocument::Compact).mid(1).chopped(1);
    bytes += ',' + QJsonDocument(fields).toJson(QJsonDocument::Compact).mid(1);
    bytes += '\n';
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fflush(stdout);
}

void JsonReporter::errorLine(const QString &text)
{
    std::fputs((errorPrefix() + text + QLatin1Char('\n')).toUtf8().constData(), stderr);
    std::fflush(stderr);
}

QJsonObject JsonReporter::progressFields(const FlashJob *job, int package) const
{
    return {{QStringLiteral("package"), package},
            {QStringLiteral("total"), job->run().packetTotal()},
            {QStringLiteral("done"), job->run().packagesDone()},
            {QStringLiteral("bytes"), job->run().bytesDone()},
            {QStringLiteral("rate"), qRound64(rateOf(job))}};
}

void JsonReporter::summary(const QString &) {}

void JsonReporter::earlyFailure(int exitCode, const QString &reason, const QString &text)
{
    emitEvent(QStringLiteral("failed"), QString(),
              {{QStringLiteral("exit"), exitCode},
               {QStringLiteral("reason"), reason},
               {QStringLiteral("error"), text},
               {QStringLiteral("seconds"), 0.0}});
    // The reason is on stderr too, for whoever reads the terminal.
    errorLine(text);
}

void JsonReporter::warning(const QString &port, const QString &text)
{
    emitEvent(QStringLiteral("warning"), port, {{QStringLiteral("error"), text}});
    errorLine(text);
}

void JsonReporter::results(const QList<FlashJob *> &) {}

void JsonReporter::watching(const QStringList &patterns)
{
    emitEvent(QStringLiteral("watching"), QString(),
              {{QStringLiteral("patterns"), QJsonArray::fromStringList(patterns)},
               {QStringLiteral("file"), m_s.file},
               {QStringLiteral("sha256"), m_s.sha256},
               {QStringLiteral("crc32"), m_s.crc32}});
}

void JsonReporter::plugged(const QString &port)
{
    emitEvent(QStringLiteral("plugged"), port);
}

void JsonReporter::unplugged(const QString &port)
{
    emitEvent(QStringLiteral("unplugged"), port);
}

void JsonReporter::runSummary(const RunTotals &totals)
{
    QJsonObject reasons;
    for (auto it = totals.failed.constBegin(); it != totals.failed.constEnd(); ++it)
        reasons.insert(it.key(), it.value());
    emitEvent(QStringLiteral("summary"), QString(),
              {{QStringLiteral("ok"), totals.ok},
               {QStringLiteral("failed"), totals.failedCount()},
               {QStringLiteral("reasons"), reasons},
               {QStringLiteral("seconds"), qRound64(totals.seconds * 1000) / 1000.0},
               {QStringLiteral("exit"), totals.exitCode}});
}

void JsonReporter::started(FlashJob *job)
{
    emitEvent(QStringLiteral("started"), job->options().port,
              {{QStringLiteral("file"), m_s.file},
               {QStringLiteral("format"), m_s.format},
               {QStringLiteral("base"), m_s.base},
               {QStringLiteral("end"), m_s.end},
               {QStringLiteral("bytes"), job->run().imageBytes()},
               {QStringLiteral("packages"), job->run().packetTotal()},
               {QStringLiteral("baud"), job->options().baud},
               {QStringLiteral("fast"), job->options().fast},
               {QStringLiteral("sha256"), m_s.sha256},
               {QStringLiteral("crc32"), m_s.crc32}});
}

void JsonReporter::acted(FlashJob *job, const Action &a)
{
    const QString port = job->options().port;
    if (a.kind == Action::Kind::Message && m_s.verbose)
        emitEvent(QStringLiteral("message"), port,
                  {{QStringLiteral("text"), a.render(m_s.language)}});
    switch (a.event) {
    case Action::Event::RequestSent:
        if (a.kind == Action::Kind::Send && !m_requested.value(job)) {
            m_requested.insert(job, true);
            emitEvent(QStringLiteral("requesting"), port);
        }
        break;
    case Action::Event::Accepted:
        emitEvent(QStringLiteral("accepted"), port,
                  {{QStringLiteral("requests"), job->run().requestsSent()},
                   {QStringLiteral("seconds"), job->seconds()},
                   {QStringLiteral("baud"), job->baudInUse()},
                   {QStringLiteral("window"), job->windowInUse()}});
        break;
    case Action::Event::Progress:
        emitEvent(QStringLiteral("progress"), port, progressFields(job, a.packageNumber));
        break;
    case Action::Event::DataErrorResend:
    case Action::Event::TimeoutResend:
        emitEvent(QStringLiteral("resend"), port,
                  {{QStringLiteral("index"), a.packetIndex},
                   {QStringLiteral("package"), a.packetIndex + 1},
                   {QStringLiteral("reason"), a.event == Action::Event::DataErrorResend
                                                  ? QStringLiteral("data-error")
                                                  : QStringLiteral("timeout")},
                   {QStringLiteral("count"), job->run().consecutiveResends()}});
        break;
    case Action::Event::Completed:
        if (a.text == iap::Text::UpdateCompleted)
            emitEvent(QStringLiteral("progress"), port,
                      progressFields(job, job->run().packetTotal()));
        break;
    case Action::Event::None:
    case Action::Event::PackageSent:
    case Action::Event::Resent:
        break;
    }
}

void JsonReporter::replied(FlashJob *job, const QByteArray &frame)
{
    if (m_s.verbose)
        emitEvent(QStringLiteral("reply"), job->options().port,
                  {{QStringLiteral("hex"), flash::replyHex(frame)}});
}

void JsonReporter::verified(FlashJob *job)
{
    const iap::Verification *v = job->verification();
    emitEvent(QStringLiteral("verified"), job->options().port,
              {{QStringLiteral("ok"), v->result() == iap::Verification::Result::Verified},
               {QStringLiteral("bytes"), v->imageLength()},
               {QStringLiteral("crc32"), flash::crcText(v->imageCrc())},
               {QStringLiteral("device_bytes"), v->deviceLength()},
               {QStringLiteral("device_crc32"), flash::crcText(v->deviceCrc())}});
}

void JsonReporter::ended(FlashJob *job)
{
    QJsonObject o{{QStringLiteral("exit"), int(job->exitCode())},
                  {QStringLiteral("bytes"), job->run().bytesDone()},
                  {QStringLiteral("seconds"), job->seconds()},
                  {QStringLiteral("requests"), job->run().requestsSent()},
                  {QStringLiteral("resends"), job->run().resendsTotal()},
                  {QStringLiteral("sent"), job->bytesWritten()},
                  {QStringLiteral("received"), job->bytesRead()},
                  {QStringLiteral("baud"), job->baudInUse()},
                  {QStringLiteral("window"), job->windowInUse()}};
    if (job->failure() == FlashJob::Failure::None) {
        const double secs = job->seconds();
        o.insert(QStringLiteral("rate"), secs > 0 ? qRound64(job->run().imageBytes() / secs) : 0);
        emitEvent(QStringLiteral("finished"), job->options().port, o);
        return;
    }
    o.insert(QStringLiteral("reason"), flash::failureReason(*job));
    o.insert(QStringLiteral("error"), flash::failureText(*job, m_s.language));
    emitEvent(QStringLiteral("failed"), job->options().port, o);
}

} // namespace flash
