#pragma once

#include "boardrun.h"
#include "reporter.h"

#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QObject>

namespace flash {

// The boards named with --port, all at once: one FlashJob each on the one event loop. When
// the last one has ended, each port's result is told in the order of the ports and, with
// several ports, the tally of the run, as watch mode ends. The run exits with the highest
// code of any port.
class PortsRun : public BoardRun
{
    Q_OBJECT
public:
    struct Settings : BoardRunSettings
    {
        QStringList ports;
    };

    PortsRun(const Settings &settings, const QByteArray &image, Reporter *reporter, BoardLog *log,
             QObject *parent = nullptr);
    ~PortsRun() override;

    void start() override;
    void interrupt(flash::ExitCode code) override;

private:
    void onJobFinished(FlashJob *job);

    Settings m_s;
    Reporter *m_reporter;
    BoardLog *m_log;
    QList<FlashJob *> m_jobs;
    QHash<FlashJob *, flash::PortIdentity> m_identities;
    int m_remaining = 0;
    QElapsedTimer m_clock;
};

} // namespace flash
