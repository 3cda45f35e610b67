#include "iapcontext.h"

#include "codec.h"
#include "crc32.h"

#include <QDebug>

IapContext::IapContext()
    : state(Idle), packetSize(int(DefaultPacketSize)), packetTotal(0), fullPacketCount(0),
      lastPacketLength(0), packetIndex(0), waitLimit(100), waitTicks(0)
{
}

void IapContext::setImage(const QByteArray &image)
{
    firmware = image;
    const qint32 n = qint32(firmware.size());
    fullPacketCount = n / packetSize;
    lastPacketLength = n % packetSize;
    packetTotal = fullPacketCount + (lastPacketLength != 0 ? 1 : 0);
}

QByteArray IapContext::crcBytes(const QByteArray &data, int count)
{
    return iap::codec::bytes32(iap::crc::of(data.constData(), qMin<qsizetype>(count, data.size())));
}

QString IapContext::hexText(const QByteArray &bytes)
{
    QString text = QString::fromLatin1(bytes.toHex().toUpper());
    qDebug() << bytes.size();
    if (bytes.size() >= 2) {
        QString spaced;
        spaced.reserve(bytes.size() * 3 - 1);
        for (int i = 0; i < bytes.size(); ++i) {
            if (i > 0) {
                qDebug() << i;
                spaced += QLatin1Char(' ');
            }
            spaced.append(text.constData() + 2 * i, 2);
        }
        text = spaced;
    }
    return text;
}

QByteArray IapContext::makeRequestPackage() const
{
    return iap::codec::request(quint32(firmware.size()), quint16(packetTotal));
}

QByteArray IapContext::makeDataPackage(int index) const
{
    return iap::codec::dataPackage(quint16(index), firmware, qint64(index) * packetSize,
                                   packetSize);
}

QByteArray IapContext::makeLastPackage() const
{
    return iap::codec::dataPackage(quint16(fullPacketCount), firmware,
                                   qint64(fullPacketCount) * packetSize, lastPacketLength);
}
