#include "portlink.h"

#include <sys/ioctl.h>
#include <utility>

namespace links {

QString modemLineName(ModemLine line)
{
    return line == ModemLine::Dtr ? QStringLiteral("DTR") : QStringLiteral("RTS");
}

QString linkErrorText(const LinkError &error, iap::Language language, const QString &port,
                      const QString &reason)
{
    if (error.network != NetError::None)
        return networkErrorText(error.network, language, port, reason);
    return serialErrorText(error.serial, language, port, reason);
}

QByteArray PortLink::takeReceived()
{
    return std::exchange(m_received, {});
}

void PortLink::deliver(const QByteArray &bytes)
{
    if (bytes.isEmpty())
        return;
    m_received += bytes;
    emit received();
}

qint64 PortLink::unreadBytes(bool system) const
{
    return m_received.size() + undeliveredBytes(system);
}

void PortLink::noteBytesWritten()
{
    if (m_writtenQueued)
        return;
    m_writtenQueued = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_writtenQueued = false;
            if (isOpen() && bytesToWrite() == 0)
                emit written();
        },
        Qt::QueuedConnection);
}

qint64 pendingInput(qintptr descriptor)
{
    int count = 0;
    if (descriptor < 0 || ::ioctl(int(descriptor), FIONREAD, &count) != 0)
        return 0;
    return count;
}

} // namespace links
