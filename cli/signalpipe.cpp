#include "signalpipe.h"

#include <QSocketNotifier>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace flash {

namespace {

int g_signalFd = -1;

// Nothing but a byte into the pipe: the event loop does the work.
extern "C" void onSignal(int number)
{
    const int saved = errno;
    const char byte = char(number);
    if (::write(g_signalFd, &byte, 1) < 0) {
        // The pipe is full: a stop is already pending.
    }
    errno = saved;
}

} // namespace

SignalPipe::SignalPipe(QObject *parent) : QObject(parent)
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, m_fds) != 0) {
        m_fds[0] = m_fds[1] = -1;
        return;
    }
    ::fcntl(m_fds[0], F_SETFL, O_NONBLOCK);
    ::fcntl(m_fds[1], F_SETFL, O_NONBLOCK);
    g_signalFd = m_fds[0];
    struct sigaction sa = {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    // A closed terminal (SIGHUP) or Ctrl-\ (SIGQUIT) must not leave a half-flashed board
    // without a word either.
    for (const int number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
        ::sigaction(number, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    m_notifier = new QSocketNotifier(m_fds[1], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, [this] {
        char bytes[16];
        int first = 0;
        ssize_t n;
        while ((n = ::read(m_fds[1], bytes, sizeof bytes)) > 0) {
            if (first == 0)
                first = bytes[0];
        }
        // SIGINT and SIGTERM have always ended with 130; the others with 128 + their number.
        emit stopped(first == SIGHUP || first == SIGQUIT ? flash::ExitCode(128 + first)
                                                         : flash::Interrupted);
    });
}

SignalPipe::~SignalPipe()
{
    if (m_notifier)
        m_notifier->setEnabled(false);
    for (const int number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
        std::signal(number, SIG_DFL);
    g_signalFd = -1;
    for (int &fd : m_fds) {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
}

} // namespace flash
