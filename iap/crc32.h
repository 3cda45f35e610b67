#pragma once

#include "iap_wire.h"

#include <QByteArray>
#include <QtGlobal>
#include <array>

// The CRC-32 every frame ends with: CRC-32/ISO-HDLC (IEEE 802.3), polynomial 0x04C11DB7
// processed bit-reflected, register preset to 0xFFFFFFFF, final value inverted. The trailer
// carries the value most significant byte first. QtCore only, so that the framers need
// nothing else of the protocol.
namespace iap::crc {

constexpr quint32 Preset = 0xFFFFFFFFu;

constexpr std::array<quint32, 256> makeTable()
{
    std::array<quint32, 256> table{};
    for (quint32 i = 0; i < 256; ++i) {
        quint32 r = i;
        for (int bit = 0; bit < 8; ++bit)
            r = (r & 1u) ? (r >> 1) ^ quint32(IAP_WIRE_CRC32_POLY) : (r >> 1);
        table[i] = r;
    }
    return table;
}

// Entry i: the register obtained from i by eight reflected shift steps.
inline constexpr std::array<quint32, 256> Table = makeTable();
static_assert(Table[1] == 0x77073096u, "reflected CRC-32 table");
static_assert(Table[255] == 0x2D02EF8Du, "reflected CRC-32 table");

// One byte into a running register (preset with Preset; the value is the register ^ Preset).
constexpr quint32 step(quint32 reg, quint8 byte)
{
    return (reg >> 8) ^ Table[(reg ^ byte) & 0xFFu];
}

// The CRC-32 of the first count bytes; 0 when count is 0 or less.
quint32 of(const char *data, qsizetype count);
inline quint32 of(const QByteArray &bytes)
{
    return of(bytes.constData(), bytes.size());
}

// True when the last four bytes of frame are the CRC-32 of all before them.
bool trailerMatches(const char *frame, qsizetype size);

} // namespace iap::crc
