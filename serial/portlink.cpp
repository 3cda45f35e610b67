#include "portlink.h"

#include <utility>

QString modemLineName(ModemLine line)
{
    return line == ModemLine::Dtr ? QStringLiteral("DTR") : QStringLiteral("RTS");
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
