#pragma once

#include "wire.h"

#include <QByteArray>
#include <QString>
#include <QtGlobal>

// Everything one upgrade needs: the image, its package arithmetic, the state of the
// upgrade engine with its counters, and the last valid reply frame from the device.
// Every multi-byte field on the wire is big-endian, the CRC-32 trailer included.
class IapContext
{
public:
    enum State : qint32
    {
        Idle = 0,
        Requesting = 1,
        Transferring = 2,
        Finished = 3
    };

    // The request announces the package total in 16 bits: 65535 packages of 1024 bytes at
    // most. An image of 65536 packages would announce 0, and a device that takes the total at
    // its word would stop after the first package.
    static constexpr qint64 MaxPackets = iap::wire::MaxPackages;
    static constexpr qint64 DefaultPacketSize = iap::wire::PackageSize;
    static constexpr qint64 MaxImageBytes = iap::wire::MaxImageBytes;

    IapContext();

    qint32 state;
    QString firmwarePath;
    qint32 packetSize;
    qint32 packetTotal;
    qint32 fullPacketCount;
    qint32 lastPacketLength;
    qint32 packetIndex;
    QByteArray response;
    QByteArray firmware;
    qint32 waitLimit;
    qint32 waitTicks;

    // Replaces the image and recomputes fullPacketCount, lastPacketLength and packetTotal.
    // The caller has checked the size with imageFits() first.
    void setImage(const QByteArray &image);
    // True when the request can announce the package total of an image of this many bytes.
    static bool imageFits(qint64 bytes) { return bytes <= MaxImageBytes; }

    // CRC-32/ISO-HDLC of the first count bytes of data, most significant byte first;
    // 00 00 00 00 when count is 0 or less.
    static QByteArray crcBytes(const QByteArray &data, int count);
    // "F1 81 00 0A": upper-case digit pairs separated by single blanks.
    static QString hexText(const QByteArray &bytes);

    QByteArray makeRequestPackage() const;
    QByteArray makeDataPackage(int index) const;
    QByteArray makeLastPackage() const;
};
