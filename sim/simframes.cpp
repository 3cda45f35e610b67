#include "simframes.h"

#include "devicemodel.h"
#include "wire.h"

namespace {

quint64 splitMix(quint64 &state)
{
    quint64 z = (state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

} // namespace

namespace simframe {

quint32 be32(const QByteArray &b, int at)
{
    return quint32(quint8(b.at(at))) << 24 | quint32(quint8(b.at(at + 1))) << 16 |
           quint32(quint8(b.at(at + 2))) << 8 | quint32(quint8(b.at(at + 3)));
}

int be16(const QByteArray &b, int at)
{
    return int(quint8(b.at(at))) << 8 | int(quint8(b.at(at + 1)));
}

quint32 crcOf(const QByteArray &b)
{
    return iap_dev_crc32(reinterpret_cast<const uint8_t *>(b.constData()), size_t(b.size()));
}

QByteArray be32Bytes(quint32 v)
{
    QByteArray b;
    b.append(char(v >> 24)).append(char(v >> 16)).append(char(v >> 8)).append(char(v));
    return b;
}

QByteArray frame(quint8 code, const QByteArray &body)
{
    QByteArray f;
    f.append(char(iap::wire::Start));
    f.append(char(code));
    f.append(body);
    return f + be32Bytes(crcOf(f));
}

QByteArray indexBytes(int index)
{
    QByteArray bytes;
    bytes.append(char(index >> 8));
    bytes.append(char(index));
    return bytes;
}

QString faultNames(int faults)
{
    QStringList names;
    if (faults & int(DeviceModel::Fault::Lose))
        names << QStringLiteral("lost");
    if (faults & int(DeviceModel::Fault::ErrorStatus))
        names << QStringLiteral("status 2");
    if (faults & int(DeviceModel::Fault::Corrupt))
        names << QStringLiteral("corrupt CRC");
    if (faults & int(DeviceModel::Fault::Noise))
        names << QStringLiteral("noise byte");
    if (faults & int(DeviceModel::Fault::Split))
        names << QStringLiteral("split");
    if (faults & int(DeviceModel::Fault::ShortAck))
        names << QStringLiteral("short acknowledgement");
    return names.join(QStringLiteral(", "));
}

} // namespace simframe

using namespace simframe;

bool FaultSet::parse(const QString &text, FaultSet *out)
{
    FaultSet set;
    const QString trimmed = text.trimmed();
    if (trimmed.compare(QLatin1String("all"), Qt::CaseInsensitive) == 0) {
        set.all = true;
        *out = set;
        return true;
    }
    const auto parts = trimmed.split(QLatin1Char(','));
    for (const QString &part : parts) {
        bool ok = false;
        const int index = part.trimmed().toInt(&ok);
        if (!ok || index < 0 || index > 0xFFFF)
            return false;
        set.indices.insert(index);
    }
    *out = set;
    return true;
}

QByteArray DeviceModel::acceptedFrame()
{
    return frame(iap::wire::Accepted, QByteArray(2, '\0'));
}

QByteArray DeviceModel::ackFrame(int index, int status, int pad)
{
    return frame(iap::wire::Acknowledgement,
                 indexBytes(index) + char(status) + QByteArray(qMax(0, pad), '\0'));
}

QByteArray DeviceModel::shortAckFrame(int index)
{
    return frame(iap::wire::Acknowledgement, indexBytes(index));
}

QByteArray DeviceModel::keepAliveFrame()
{
    return frame(KeepAliveCode, QByteArray(2, '\0'));
}

int DeviceModel::randomFault(int index) const
{
    if (m_options.faultRate <= 0.0)
        return 0;
    quint64 state = m_options.seed ^ (quint64(index + 1) * 0xD1B54A32D192ED03ULL);
    const double draw = double(splitMix(state) >> 11) * (1.0 / 9007199254740992.0);
    if (draw >= m_options.faultRate)
        return 0;
    static constexpr Fault kinds[] = {Fault::Lose, Fault::Corrupt, Fault::ErrorStatus, Fault::Noise,
                                      Fault::Split};
    return int(kinds[splitMix(state) % 5]);
}
