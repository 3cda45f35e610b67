// ELF: the PT_LOAD segments with bytes in the file, placed at their physical address.
#include "imageformats.h"
#include "imagelayout.h"

#include <QVector>

#include <cstring>

namespace iap {
namespace {

constexpr char ElfMagic[] = {0x7F, 'E', 'L', 'F'};
constexpr quint64 PtLoad = 1;

quint64 readUnsigned(const uchar *p, int bytes, bool bigEndian)
{
    quint64 v = 0;
    for (int i = 0; i < bytes; ++i)
        v |= quint64(p[bigEndian ? i : bytes - 1 - i]) << (8 * (bytes - 1 - i));
    return v;
}

struct Segment
{
    quint64 paddr;
    quint64 offset;
    quint64 filesz;
};

} // namespace

ConvertedImage convertElf(const char *data, qint64 size, const ImageOptions &options)
{
    const ImageFormat format = ImageFormat::Elf;
    const uchar *u = reinterpret_cast<const uchar *>(data);
    if (size < 16 || std::memcmp(data, ElfMagic, 4) != 0 || (u[4] != 1 && u[4] != 2) ||
        (u[5] != 1 && u[5] != 2))
        return imageFailure(IapError::ImageMalformed, format, RecordFault::ElfHeader);
    const bool wide = u[4] == 2;
    const bool big = u[5] == 2;
    const qint64 headerSize = wide ? 64 : 52;
    if (size < headerSize)
        return imageFailure(IapError::ImageMalformed, format, RecordFault::ElfHeader);
    const int word = wide ? 8 : 4;
    const quint64 phoff = readUnsigned(u + (wide ? 32 : 28), word, big);
    const quint64 phentsize = readUnsigned(u + (wide ? 54 : 42), 2, big);
    const quint64 phnum = readUnsigned(u + (wide ? 56 : 44), 2, big);
    if (phnum == 0)
        return imageFailure(IapError::ImageNoData, format);
    const quint64 minEntry = wide ? 56 : 32;
    if (phentsize < minEntry || phoff > quint64(size) || phnum * phentsize > quint64(size) - phoff)
        return imageFailure(IapError::ImageMalformed, format, RecordFault::ElfProgramHeaders);

    // Every program header is checked before any data is taken.
    const quint64 top = wide ? Top64 : Top32;
    QVector<Segment> segments;
    for (quint64 i = 0; i < phnum; ++i) {
        const uchar *ph = u + phoff + i * phentsize;
        if (readUnsigned(ph, 4, big) != PtLoad)
            continue;
        const quint64 offset = readUnsigned(ph + (wide ? 8 : 4), word, big);
        const quint64 paddr = readUnsigned(ph + (wide ? 24 : 12), word, big);
        const quint64 filesz = readUnsigned(ph + (wide ? 32 : 16), word, big);
        const quint64 memsz = readUnsigned(ph + (wide ? 40 : 20), word, big);
        if (filesz == 0)
            continue;
        if (offset > quint64(size) || filesz > quint64(size) - offset)
            return imageFailure(IapError::ImageMalformed, format, RecordFault::ElfSegmentOutside);
        if (filesz > memsz)
            return imageFailure(IapError::ImageMalformed, format, RecordFault::ElfSegmentSize);
        if (paddr > top || filesz - 1 > top - paddr)
            return imageFailure(IapError::ImageMalformed, format, RecordFault::AddressOverflow);
        segments.append(Segment{paddr, offset, filesz});
    }
    ImageLayout layout(format, top);
    for (const Segment &s : qAsConst(segments)) {
        if (!layout.add(s.paddr, data + s.offset, qint64(s.filesz))) // within the file
            return layout.failure();
    }
    return layout.finish(options);
}

} // namespace iap
