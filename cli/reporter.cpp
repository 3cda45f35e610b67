#include "reporter.h"

#include "clitext.h"
#include "flashjob.h"
#include "jsonreporter.h"
#include "linktext.h"
#include "textreporter.h"

namespace flash {

void RunTotals::count(const FlashJob &job)
{
    if (job.failure() == FlashJob::Failure::None)
        ++ok;
    else
        ++failed[flash::failureReason(job)];
}

int RunTotals::failedCount() const
{
    int n = 0;
    for (const int count : failed)
        n += count;
    return n;
}

std::unique_ptr<Reporter> Reporter::create(const Settings &settings)
{
    if (settings.json)
        return std::make_unique<JsonReporter>(settings);
    return std::make_unique<TextReporter>(settings);
}

Reporter::Reporter(const Settings &settings) : m_s(settings) {}

Reporter::~Reporter() = default;

void Reporter::track(FlashJob *job)
{
    m_jobs.append(job);
    connect(job, &FlashJob::started, this, [this, job] { started(job); });
    connect(job, &FlashJob::action, this, [this, job](const iap::Action &a) { acted(job, a); });
    connect(job, &FlashJob::replyReceived, this,
            [this, job](const QByteArray &frame) { replied(job, frame); });
    connect(job, &FlashJob::verified, this, [this, job] { verified(job); });
    connect(job, &FlashJob::modemLineMissing, this, [this, job](links::ModemLine line) {
        warning(job->options().port, links::modemLineWarningText(m_s.language, job->options().port,
                                                                 line, job->modemLineWait()));
    });
    connect(job, &FlashJob::finished, this, [this, job] { ended(job); });
}

void Reporter::forget(FlashJob *job)
{
    disconnect(job, nullptr, this, nullptr);
    m_jobs.removeAll(job);
}

double Reporter::rateOf(const FlashJob *job)
{
    const double secs = job->transferSeconds();
    return secs > 0 ? job->run().bytesDone() / secs : 0;
}

int Reporter::percentOf(const FlashJob *job)
{
    return job->run().imageBytes() > 0 ? int(job->run().bytesDone() * 100 / job->run().imageBytes())
                                       : 0;
}

QString Reporter::errorPrefix() const
{
    return m_s.colour ? QStringLiteral("\033[1;31miap-flash:\033[0m ")
                      : QStringLiteral("iap-flash: ");
}

} // namespace flash
