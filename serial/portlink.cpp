#include "portlink.h"

#include <utility>

QString modemLineName(ModemLine line)
{
    return line == ModemLine::Dtr ? QStringLiteral("DTR") : QStringLiteral("RTS");
}

QString linkErrorText(const LinkError &error, bool chinese, const QString &port,
                      const QString &reason)
{
    if (error.network != NetError::None)
        return networkErrorText(error.network, chinese, port, reason);
    return serialErrorText(error.serial, chinese, port, reason);
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
