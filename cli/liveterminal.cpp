#include "liveterminal.h"

#include <QSocketNotifier>
#include <cerrno>
#include <csignal>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace flash {

namespace {
constexpr qint64 RedrawMs = 100;

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

LiveTerminal::LiveTerminal(bool active, QObject *parent) : QObject(parent), m_active(active)
{
    if (!m_active)
        return;
    m_columns = terminalColumns();
    if (g_resizeFds[0] >= 0 ||
        ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, g_resizeFds) != 0)
        return;
    m_notifier = new QSocketNotifier(g_resizeFds[1], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, [this] {
        char bytes[16];
        while (::read(g_resizeFds[1], bytes, sizeof bytes) > 0) {
        }
        m_columns = terminalColumns();
        emit resized();
    });
    struct sigaction sa = {};
    sa.sa_handler = onResize;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    ::sigaction(SIGWINCH, &sa, nullptr);
}

LiveTerminal::~LiveTerminal()
{
    if (!m_notifier)
        return;
    ::signal(SIGWINCH, SIG_DFL);
    m_notifier->setEnabled(false);
    ::close(g_resizeFds[0]);
    ::close(g_resizeFds[1]);
    g_resizeFds[0] = g_resizeFds[1] = -1;
}

void LiveTerminal::line(FILE *stream, const QString &text)
{
    // A line goes above the live area, which is then drawn again below it.
    const bool redraw = m_shown > 0;
    clear();
    std::fputs(text.toUtf8().constData(), stream);
    std::fputc('\n', stream);
    std::fflush(stream);
    if (redraw)
        draw(m_lines, true);
}

void LiveTerminal::draw(const QStringList &lines, bool force)
{
    if (!m_active)
        return;
    if (!force && m_clock.isValid() && m_clock.elapsed() < RedrawMs)
        return;
    m_clock.start();
    m_lines = lines;
    clear();
    if (lines.isEmpty())
        return;
    std::fputs(lines.join(QLatin1Char('\n')).toUtf8().constData(), stderr);
    std::fflush(stderr);
    m_shown = int(lines.size());
}

void LiveTerminal::clear()
{
    if (m_shown == 0)
        return;
    // Back to the start of the first live line, and clear from there down.
    QByteArray bytes("\r");
    for (int i = 1; i < m_shown; ++i)
        bytes += "\033[A";
    bytes += "\033[J";
    std::fputs(bytes.constData(), stderr);
    std::fflush(stderr);
    m_shown = 0;
}

void LiveTerminal::keep()
{
    if (m_shown == 0)
        return;
    std::fputc('\n', stderr);
    std::fflush(stderr);
    m_shown = 0;
    m_lines.clear();
}

} // namespace flash
