#include "crc32.h"

#include "wire.h"

#include <QtEndian>

namespace iap::crc {

quint32 of(const char *data, qsizetype count)
{
    if (count <= 0)
        return 0;
    quint32 r = Preset;
    for (qsizetype i = 0; i < count; ++i)
        r = step(r, quint8(data[i]));
    return r ^ Preset;
}

bool trailerMatches(const char *frame, qsizetype size)
{
    const qsizetype body = size - wire::TrailerBytes;
    if (body < 0)
        return false;
    return of(frame, body) == qFromBigEndian<quint32>(frame + body);
}

} // namespace iap::crc
