#include "simframes.h"

#include "codec.h"
#include "devicemodel.h"

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
    return iap::codec::accepted();
}

QByteArray DeviceModel::ackFrame(int index, int status, int pad)
{
    return iap::codec::acknowledgement(quint16(index), quint8(status), pad);
}

QByteArray DeviceModel::shortAckFrame(int index)
{
    return iap::codec::shortAcknowledgement(quint16(index));
}

QByteArray DeviceModel::keepAliveFrame()
{
    return iap::codec::frame(KeepAliveCode, QByteArray(2, '\0'));
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
