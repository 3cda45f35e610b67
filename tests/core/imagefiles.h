#pragma once
// Intel HEX records, S-records and little-endian ELF32 files written from the formats' own
// tables, for the suites of the firmware-file readers.
#include <QByteArray>
#include <QList>

// One Intel HEX record, checksum included (two's complement of the byte sum).
inline QByteArray hexRecord(int type, quint16 address, const QByteArray &data)
{
    QByteArray bytes;
    bytes.append(char(data.size())).append(char(address >> 8)).append(char(address));
    bytes.append(char(type)).append(data);
    quint8 sum = 0;
    for (char c : bytes)
        sum = quint8(sum + quint8(c));
    bytes.append(char(quint8(0x100 - sum)));
    return ':' + bytes.toHex().toUpper() + '\n';
}

inline QByteArray hexEnd()
{
    return ":00000001FF\n";
}

// An extended linear address record: the upper 16 bits of the following addresses.
inline QByteArray hexUpper(quint16 upper)
{
    return hexRecord(4, 0,
                     QByteArray::fromHex(QByteArray::number(upper, 16).rightJustified(4, '0')));
}

// One S-record: count, address (2, 3 or 4 bytes by type), data, ones' complement checksum.
inline QByteArray sRecord(int type, quint32 address, const QByteArray &data)
{
    static const int widths[10] = {2, 2, 3, 4, 2, 2, 3, 4, 3, 2};
    QByteArray bytes;
    bytes.append(char(widths[type] + data.size() + 1));
    for (int i = widths[type] - 1; i >= 0; --i)
        bytes.append(char(address >> (8 * i)));
    bytes.append(data);
    quint8 sum = 0;
    for (char c : bytes)
        sum = quint8(sum + quint8(c));
    bytes.append(char(quint8(~sum)));
    return 'S' + QByteArray::number(type) + bytes.toHex().toUpper() + '\n';
}

inline void put32(QByteArray &b, int at, quint32 v)
{
    for (int i = 0; i < 4; ++i)
        b[at + i] = char(v >> (8 * i));
}

inline void put16(QByteArray &b, int at, quint16 v)
{
    b[at] = char(v);
    b[at + 1] = char(v >> 8);
}

// A little-endian 32-bit ELF written from the format's tables: header (52 bytes), program
// headers (32 bytes each), then the data. Each segment: type, physical address, file offset,
// size in the file (and in memory).
struct Segment
{
    quint32 type;
    quint32 paddr;
    quint32 offset;
    quint32 filesz;
    qint64 memsz = -1; // -1: the same as filesz
};

inline QByteArray elf32(const QList<Segment> &segments, const QByteArray &payload,
                        int phentsize = 32)
{
    QByteArray b(52 + phentsize * segments.size(), '\0');
    b[0] = 0x7F;
    b[1] = 'E';
    b[2] = 'L';
    b[3] = 'F';
    b[4] = 1; // 32-bit
    b[5] = 1; // little-endian
    b[6] = 1;
    put16(b, 16, 2);  // executable
    put16(b, 18, 40); // ARM
    put32(b, 20, 1);
    put32(b, 28, 52); // program headers right after the header
    put16(b, 40, 52);
    put16(b, 42, quint16(phentsize));
    put16(b, 44, quint16(segments.size()));
    for (int i = 0; i < segments.size(); ++i) {
        const int at = 52 + i * phentsize;
        put32(b, at, segments.at(i).type);
        put32(b, at + 4, segments.at(i).offset);
        put32(b, at + 8, segments.at(i).paddr + 0x10000000); // virtual address: not used
        put32(b, at + 12, segments.at(i).paddr);
        put32(b, at + 16, segments.at(i).filesz);
        put32(b, at + 20,
              segments.at(i).memsz < 0 ? segments.at(i).filesz : quint32(segments.at(i).memsz));
    }
    return b + payload;
}

constexpr int ElfData = 52 + 2 * 32; // where the payload of a two-segment elf32() starts
