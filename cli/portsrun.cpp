#include "portsrun.h"

namespace flash {

PortsRun::PortsRun(const Settings &settings, const QByteArray &image, Reporter *reporter,
                   BoardLog *log, QObject *parent)
    : BoardRun(parent), m_s(settings), m_reporter(reporter), m_log(log)
{
    for (const QString &name : qAsConst(m_s.ports)) {
        FlashJob::Options options = m_s.job;
        options.port = name;
        auto *job = new FlashJob(options, image, this);
        m_jobs.append(job);
        m_reporter->track(job);
        connect(job, &FlashJob::finished, this, [this, job] { onJobFinished(job); });
    }
}

PortsRun::~PortsRun()
{
    for (FlashJob *job : qAsConst(m_jobs))
        m_reporter->forget(job);
    qDeleteAll(m_jobs); // closes any port still open
}

void PortsRun::start()
{
    m_clock.start();
    m_remaining = int(m_jobs.size());
    for (FlashJob *job : qAsConst(m_jobs)) {
        m_identities.insert(job, flash::lookUpPort(job->options().port));
        job->start();
    }
}

void PortsRun::interrupt(flash::ExitCode code)
{
    for (FlashJob *job : qAsConst(m_jobs))
        job->interrupt(code);
    // The log is not waited for any more, at the end or now.
    m_log->stopWaiting();
}

void PortsRun::onJobFinished(FlashJob *job)
{
    QString error;
    if (!m_log->append(BoardLog::record(*job, m_s.firmware, m_s.digest, m_identities.value(job)),
                       &error) &&
        !error.isEmpty())
        m_reporter->warning(job->options().port, error);
    if (--m_remaining > 0)
        return;
    RunTotals totals;
    for (const FlashJob *j : qAsConst(m_jobs)) {
        totals.count(*j);
        totals.exitCode = qMax(totals.exitCode, int(j->exitCode()));
    }
    totals.seconds = m_clock.elapsed() / 1000.0;
    m_reporter->results(m_jobs);
    m_log->finish([this, totals](int code, const QString &error) mutable {
        if (code != flash::Success) {
            m_reporter->warning(QString(), error);
            totals.exitCode = qMax(totals.exitCode, code);
        }
        if (m_jobs.size() > 1)
            m_reporter->runSummary(totals);
        emit done(totals.exitCode);
    });
}

} // namespace flash
