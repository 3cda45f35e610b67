#pragma once

#include "exitcodes.h"

#include <QObject>

class QSocketNotifier;

namespace flash {

// SIGINT, SIGTERM, SIGHUP and SIGQUIT, delivered on the event loop: the handler only writes a
// byte into a socket pair, and stopped() follows from the loop with the exit code the signal
// stands for (130 for SIGINT and SIGTERM, as always; 128 + the number for the others).
// SIGPIPE is ignored. One per process.
class SignalPipe : public QObject
{
    Q_OBJECT
public:
    explicit SignalPipe(QObject *parent = nullptr);
    ~SignalPipe() override;
    bool isValid() const { return m_fds[0] >= 0; }

signals:
    void stopped(flash::ExitCode code);

private:
    int m_fds[2] = {-1, -1};
    QSocketNotifier *m_notifier = nullptr;
};

} // namespace flash
