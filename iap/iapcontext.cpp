#include "iapcontext.h"
#include "wire.h"

#include <QDebug>
#include <array>

namespace {

// CRC-32/ISO-HDLC: polynomial 0x04C11DB7 bit-reflected, one byte at a time.
constexpr std::array<quint32, 256> makeCrcTable()
{
    std::array<quint32, 256> table{};
    for (quint32 i = 0; i < 256; ++i) {
        quint32 r = i;
        for (int bit = 0; bit < 8; ++bit)
            r = (r & 1u) ? (r >> 1) ^ 0xEDB88320u : (r >> 1);
        table[i] = r;
    }
    return table;
}

constexpr std::array<quint32, 256> crcTable = makeCrcTable();
static_assert(crcTable[1] == 0x77073096u, "reflected CRC-32 table");
static_assert(crcTable[255] == 0x2D02EF8Du, "reflected CRC-32 table");

void putCrc(QByteArray &package)
{
    const int body = package.size() - 4;
    const quint32 crc = IapContext::crc32(package.constData(), body);
    char *out = package.data() + body;
    out[0] = char(crc >> 24);
    out[1] = char(crc >> 16);
    out[2] = char(crc >> 8);
    out[3] = char(crc);
}

// Payload byte j is image byte base + j; past the end of the image it is 0x00.
void putPayload(QByteArray &package, const QByteArray &image, qint64 base, int length)
{
    char *out = package.data() + 4;
    const qint64 available =
        base < 0 ? 0 : qBound(qint64(0), qint64(image.size()) - base, qint64(length));
    if (available > 0)
        std::copy_n(image.constData() + base, available, out);
    std::fill(out + available, out + length, '\0');
}

} // namespace

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

quint32 IapContext::crc32(const char *data, qsizetype count)
{
    if (count <= 0)
        return 0;
    quint32 r = 0xFFFFFFFFu;
    for (qsizetype i = 0; i < count; ++i)
        r = (r >> 8) ^ crcTable[(r ^ quint8(data[i])) & 0xFFu];
    return r ^ 0xFFFFFFFFu;
}

const quint32 *IapContext::crc32Table()
{
    return crcTable.data();
}

QByteArray IapContext::crcBytes(const QByteArray &data, int count)
{
    const quint32 v = crc32(data.constData(), qMin<qsizetype>(count, data.size()));
    QByteArray out(4, '\0');
    out[0] = char(v >> 24);
    out[1] = char(v >> 16);
    out[2] = char(v >> 8);
    out[3] = char(v);
    return out;
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
    QByteArray p(12, '\0');
    const quint32 length = quint32(firmware.size());
    p[0] = char(iap::wire::Start);
    p[1] = char(iap::wire::Request);
    p[2] = char(length >> 24);
    p[3] = char(length >> 16);
    p[4] = char(length >> 8);
    p[5] = char(length);
    p[6] = char(packetTotal >> 8);
    p[7] = char(packetTotal);
    putCrc(p);
    return p;
}

QByteArray IapContext::makeDataPackage(int index) const
{
    QByteArray p(packetSize + 8, '\0');
    p[0] = char(iap::wire::Start);
    p[1] = char(iap::wire::Data);
    p[2] = char(index >> 8);
    p[3] = char(index);
    putPayload(p, firmware, qint64(index) * packetSize, packetSize);
    putCrc(p);
    return p;
}

QByteArray IapContext::makeLastPackage() const
{
    QByteArray p(lastPacketLength + 8, '\0');
    p[0] = char(iap::wire::Start);
    p[1] = char(iap::wire::Data);
    p[2] = char(fullPacketCount >> 8);
    p[3] = char(fullPacketCount);
    putPayload(p, firmware, qint64(fullPacketCount) * packetSize, lastPacketLength);
    putCrc(p);
    return p;
}
