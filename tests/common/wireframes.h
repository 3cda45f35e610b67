#pragma once
// Wire helpers for the tests, written from the protocol description with zlib as the CRC
// oracle, independent of the code under test.
#include <QByteArray>
#include <zlib.h>

inline QByteArray withCrc(QByteArray body)
{
    const uLong c = crc32(0L, reinterpret_cast<const Bytef *>(body.constData()), uInt(body.size()));
    body.append(char(c >> 24)).append(char(c >> 16)).append(char(c >> 8)).append(char(c));
    return body;
}

inline QByteArray hex(const char *spaced)
{
    return QByteArray::fromHex(QByteArray(spaced));
}

// The device's answer to the update request.
inline QByteArray acceptedFrame()
{
    return withCrc(hex("F1 81 00 00"));
}

// The device's acknowledgement: F1 82 index(2) status.
inline QByteArray ackFrame(int index, int status)
{
    QByteArray b = hex("F1 82");
    b.append(char(index >> 8)).append(char(index)).append(char(status));
    return withCrc(b);
}
