#include "capabilities.h"

#include "wire.h"

#include <QtEndian>

namespace iap {
namespace {

const uchar *bytesOf(const QByteArray &frame)
{
    return reinterpret_cast<const uchar *>(frame.constData());
}

} // namespace

bool Capabilities::canVerify() const
{
    return flags & wire::CanVerify;
}

bool Capabilities::hasBase() const
{
    return hasArea && (flags & wire::HasBase);
}

quint32 Capabilities::boostBaud(quint32 current, quint32 cap) const
{
    const quint32 rate = cap != 0 && cap < maxBaud ? cap : maxBaud;
    return hasBoost && rate > current ? rate : 0;
}

bool Capabilities::decode(const QByteArray &frame, Capabilities *out)
{
    if (frame.size() < wire::CapabilityAnswerBytes ||
        wire::codeOf(frame.constData(), frame.size()) != wire::CapabilityAnswer)
        return false;
    const uchar *b = bytesOf(frame);
    Capabilities c;
    c.flags = qFromBigEndian<quint16>(b + 2);
    c.hasArea = frame.size() >= wire::CapabilityAreaBytes;
    if (c.hasArea) {
        c.base = qFromBigEndian<quint32>(b + wire::CapabilityBaseAt);
        c.capacity = qFromBigEndian<quint32>(b + wire::CapabilityCapacityAt);
        c.version = qFromBigEndian<quint32>(b + wire::CapabilityVersionAt);
    }
    c.hasBoost = frame.size() >= wire::CapabilityBoostBytes && (c.flags & wire::HasBoost);
    if (c.hasBoost) {
        c.maxBaud = qFromBigEndian<quint32>(b + wire::CapabilityMaxBaudAt);
        c.window = qFromBigEndian<quint16>(b + wire::CapabilityWindowAt);
    }
    *out = c;
    return true;
}

bool Refusal::decode(const QByteArray &frame, Refusal *out)
{
    if (frame.size() < wire::RefusedBytes ||
        wire::codeOf(frame.constData(), frame.size()) != wire::Refused)
        return false;
    const uchar *b = bytesOf(frame);
    out->reason = b[2];
    out->capacity = qFromBigEndian<quint32>(b + 3);
    return true;
}

Fit judgeImage(const Capabilities &device, const ImageSpan &image)
{
    if (!device.hasArea)
        return Fit::Fits;
    if (device.hasBase() && image.placed) {
        const quint64 end = quint64(device.base) + device.capacity; // one past the area
        if (image.first < device.base || image.last >= end)
            return Fit::Outside;
    }
    return image.bytes > qint64(device.capacity) ? Fit::TooLarge : Fit::Fits;
}

} // namespace iap
