#include "imageformats.h"

#include "iapcontext.h"

#include <QFile>
#include <QVector>

#include <algorithm>
#include <cstring>
#include <limits>

namespace iap {
namespace {

// Longest line of each text format: ':' + 2 × (5 + 255) digits, 'S' + type + 2 × 256 digits.
constexpr int MaxHexLine = 1 + 2 * (5 + 255);
constexpr int MaxSRecordLine = 2 + 2 * 256;
// Room for a record plus blanks around it; a longer line is refused, not cut.
constexpr int MaxLine = 1024;
constexpr qint64 ReadPiece = qint64(64) << 10;

// 0..15 for a hexadecimal digit (either case), 0xFF for anything else.
struct HexTable
{
    quint8 v[256];
    constexpr HexTable() : v()
    {
        for (int i = 0; i < 256; ++i)
            v[i] = 0xFF;
        for (int i = 0; i < 10; ++i)
            v['0' + i] = quint8(i);
        for (int i = 0; i < 6; ++i) {
            v['a' + i] = quint8(10 + i);
            v['A' + i] = quint8(10 + i);
        }
    }
};
constexpr HexTable hexTable;

constexpr char Bom[] = "\xEF\xBB\xBF";
constexpr char ElfMagic[] = {0x7F, 'E', 'L', 'F'};

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r';
}

// One piece of data: addresses start..start+length-1, its bytes at offset in the source.
struct Block
{
    quint64 start;
    quint64 offset;
    quint64 length;
    quint64 last() const { return start + length - 1; }
};

ConvertedImage failure(IapError error, ImageFormat format, RecordFault record = RecordFault::None,
                       qint64 line = 0)
{
    ConvertedImage r;
    r.error = error;
    r.format = format;
    r.fault.format = format;
    r.fault.record = record;
    r.fault.line = line;
    return r;
}

// Checks the layout of the blocks and lays them out as one image. The blocks of a text
// file come in file order over data (contiguous, offsets ascending); when their addresses
// ascend too, the image is built in place inside data and no second copy is made.
ConvertedImage assemble(QVector<Block> blocks, const char *source, QByteArray *data,
                        ImageFormat format, const ImageOptions &options)
{
    if (blocks.isEmpty())
        return failure(IapError::ImageNoData, format);
    bool ascending = true;
    for (int i = 1; i < blocks.size() && ascending; ++i)
        ascending = blocks.at(i).start > blocks.at(i - 1).start;
    if (!ascending)
        std::stable_sort(blocks.begin(), blocks.end(),
                         [](const Block &a, const Block &b) { return a.start < b.start; });

    for (int i = 1; i < blocks.size(); ++i) {
        const Block &a = blocks.at(i - 1);
        const Block &b = blocks.at(i);
        if (b.start <= a.last()) {
            ConvertedImage r = failure(IapError::ImageOverlap, format);
            r.fault.firstLow = a.start;
            r.fault.firstHigh = a.last();
            r.fault.secondLow = b.start;
            r.fault.secondHigh = b.last();
            return r;
        }
    }
    const quint64 lowest = blocks.first().start;
    const quint64 highest = blocks.last().last();
    for (int i = 1; i < blocks.size(); ++i) {
        const Block &a = blocks.at(i - 1);
        const Block &b = blocks.at(i);
        if (b.start - a.last() - 1 > quint64(MaxGapBytes)) {
            ConvertedImage r = failure(IapError::ImageGap, format);
            r.fault.firstLow = lowest;
            r.fault.firstHigh = a.last();
            r.fault.secondLow = b.start;
            r.fault.secondHigh = highest;
            return r;
        }
    }
    if (options.hasBase && options.base > lowest) {
        ConvertedImage r = failure(IapError::ImageBelowBase, format);
        r.fault.firstLow = options.base;
        r.fault.secondLow = lowest;
        return r;
    }
    const quint64 low = options.hasBase ? options.base : lowest;
    if (highest - low >= quint64(IapContext::MaxImageBytes)) {
        ConvertedImage r = failure(IapError::ImageTooLarge, format);
        r.fault.firstLow = low;
        r.fault.firstHigh = highest;
        r.fault.expected = highest - low >= quint64(std::numeric_limits<qint64>::max())
                               ? std::numeric_limits<qint64>::max()
                               : qint64(highest - low + 1);
        return r;
    }
    const int span = int(highest - low + 1);

    ConvertedImage r;
    r.format = format;
    r.base = low;
    r.last = highest;
    if (ascending && data) {
        // Move each block up to its place, last first (a block only ever moves up), then
        // fill the space between them.
        data->reserve(span); // exactly the image: resize alone would round up to a power of 2
        data->resize(span);
        char *p = data->data();
        for (int i = blocks.size() - 1; i >= 0; --i) {
            const Block &b = blocks.at(i);
            std::memmove(p + (b.start - low), p + b.offset, size_t(b.length));
        }
        quint64 at = low;
        for (const Block &b : qAsConst(blocks)) {
            std::memset(p + (at - low), 0xFF, size_t(b.start - at));
            at = b.start + b.length;
        }
        r.image = std::move(*data);
        *data = QByteArray();
        return r;
    }
    QByteArray image(span, char(0xFF));
    char *p = image.data();
    for (const Block &b : qAsConst(blocks))
        std::memcpy(p + (b.start - low), source + b.offset, size_t(b.length));
    if (data)
        *data = QByteArray();
    r.image = std::move(image);
    return r;
}

// The records of a HEX or S-record file, line by line, gathered into blocks.
class TextParser
{
public:
    explicit TextParser(ImageFormat format) : m_format(format) {}

    // False once the file has been found faulty (m_result says why).
    bool line(const char *p, int n);
    ConvertedImage finish(const ImageOptions &options);
    const ConvertedImage &result() const { return m_result; }
    bool failed() const { return m_result.error != IapError::None; }
    // The next line is longer than any record: refused without being read.
    ConvertedImage overlong()
    {
        ++m_line;
        fail(IapError::ImageMalformed, RecordFault::LineTooLong);
        return m_result;
    }
    void fail(IapError error, RecordFault record = RecordFault::None)
    {
        m_result = failure(error, m_format, record, m_line);
    }

private:
    bool hexRecord(const quint8 *b, int count);
    bool sRecord(int type, const quint8 *b, int count);
    bool add(quint64 address, const quint8 *p, int n);

    ImageFormat m_format;
    ConvertedImage m_result;
    qint64 m_line = 0;
    bool m_ended = false;
    quint64 m_upper = 0; // HEX: the base set by the last 02 or 04 record
    qint64 m_dataRecords = 0;
    QByteArray m_data;
    QVector<Block> m_blocks;
};

bool TextParser::line(const char *p, int n)
{
    ++m_line;
    if (m_line == 1 && n >= 3 && std::memcmp(p, Bom, 3) == 0) { // as some editors save text
        p += 3;
        n -= 3;
    }
    while (n > 0 && isBlank(p[n - 1]))
        --n;
    while (n > 0 && isBlank(*p)) {
        ++p;
        --n;
    }
    if (n == 0)
        return true;
    if (m_ended) {
        fail(IapError::ImageMalformed, RecordFault::DataAfterEnd);
        return false;
    }
    const bool hex = m_format == ImageFormat::IntelHex;
    if (n > (hex ? MaxHexLine : MaxSRecordLine)) {
        fail(IapError::ImageMalformed, RecordFault::LineTooLong);
        return false;
    }
    int type = 0;
    if (hex) {
        if (p[0] != ':') {
            fail(IapError::ImageMalformed, RecordFault::BadStart);
            return false;
        }
        ++p;
        --n;
    } else {
        if (n < 2 || p[0] != 'S' || p[1] < '0' || p[1] > '9') {
            fail(IapError::ImageMalformed, RecordFault::BadStart);
            return false;
        }
        type = p[1] - '0';
        p += 2;
        n -= 2;
    }
    quint8 bytes[260];
    const int count = n / 2;
    for (int i = 0; i < count; ++i) {
        const quint8 hi = hexTable.v[quint8(p[2 * i])];
        const quint8 lo = hexTable.v[quint8(p[2 * i + 1])];
        if ((hi | lo) & 0xF0) {
            fail(IapError::ImageMalformed, RecordFault::BadCharacter);
            return false;
        }
        bytes[i] = quint8(hi << 4 | lo);
    }
    if (n % 2) {
        fail(IapError::ImageMalformed, hexTable.v[quint8(p[n - 1])] == 0xFF
                                           ? RecordFault::BadCharacter
                                           : RecordFault::BadLength);
        return false;
    }
    return hex ? hexRecord(bytes, count) : sRecord(type, bytes, count);
}

bool TextParser::hexRecord(const quint8 *b, int count)
{
    // Length, address (2), type, data, checksum.
    if (count < 5 || b[0] != count - 5) {
        fail(IapError::ImageMalformed, RecordFault::BadLength);
        return false;
    }
    quint8 sum = 0;
    for (int i = 0; i < count; ++i)
        sum = quint8(sum + b[i]);
    if (sum != 0) {
        fail(IapError::ImageChecksum);
        return false;
    }
    const int length = b[0];
    const quint8 *d = b + 4;
    switch (b[3]) {
    case 0x00:
        return add(m_upper + (quint64(b[1]) << 8 | b[2]), d, length);
    case 0x01:
        if (length != 0) {
            fail(IapError::ImageMalformed, RecordFault::BadEndRecord);
            return false;
        }
        m_ended = true;
        return true;
    case 0x02:
    case 0x04:
        if (length != 2) {
            fail(IapError::ImageMalformed, RecordFault::BadAddressRecord);
            return false;
        }
        m_upper = (quint64(d[0]) << 8 | d[1]) << (b[3] == 0x02 ? 4 : 16);
        return true;
    case 0x03:
    case 0x05:
        // Start address: where the program begins, not part of the image.
        if (length != 4) {
            fail(IapError::ImageMalformed, RecordFault::BadAddressRecord);
            return false;
        }
        return true;
    default:
        fail(IapError::ImageMalformed, RecordFault::UnknownType);
        return false;
    }
}

bool TextParser::sRecord(int type, const quint8 *b, int count)
{
    static constexpr int addressBytes[10] = {2, 2, 3, 4, 0, 2, 3, 4, 3, 2};
    if (type == 4) {
        fail(IapError::ImageMalformed, RecordFault::UnknownType);
        return false;
    }
    // Count (of the bytes after it), address, data, checksum.
    const int width = addressBytes[type];
    if (count < 2 + width || b[0] != count - 1) {
        fail(IapError::ImageMalformed, RecordFault::BadLength);
        return false;
    }
    quint8 sum = 0;
    for (int i = 0; i < count; ++i)
        sum = quint8(sum + b[i]);
    if (sum != 0xFF) {
        fail(IapError::ImageChecksum);
        return false;
    }
    quint64 address = 0;
    for (int i = 0; i < width; ++i)
        address = address << 8 | b[1 + i];
    const quint8 *d = b + 1 + width;
    const int length = count - 2 - width;
    switch (type) {
    case 1:
    case 2:
    case 3:
        ++m_dataRecords;
        return add(address, d, length);
    case 5:
    case 6:
        if (qint64(address) != m_dataRecords) {
            fail(IapError::ImageCountMismatch);
            m_result.fault.expected = qint64(address);
            m_result.fault.found = m_dataRecords;
            return false;
        }
        return true;
    case 7:
    case 8:
    case 9:
        m_ended = true;
        return true;
    default: // S0: a header, not part of the image
        return true;
    }
}

bool TextParser::add(quint64 address, const quint8 *p, int n)
{
    if (n == 0)
        return true;
    if (m_data.size() + qint64(n) > IapContext::MaxImageBytes) {
        // More data than any image can hold, whatever its layout.
        fail(IapError::ImageTooLarge);
        quint64 low = address;
        quint64 high = address + quint64(n) - 1;
        for (const Block &b : qAsConst(m_blocks)) {
            low = qMin(low, b.start);
            high = qMax(high, b.last());
        }
        m_result.fault.firstLow = low;
        m_result.fault.firstHigh = high;
        m_result.fault.expected = m_data.size() + qint64(n);
        return false;
    }
    const quint64 offset = quint64(m_data.size());
    if (!m_blocks.isEmpty() && m_blocks.last().start + m_blocks.last().length == address) {
        m_blocks.last().length += quint64(n);
    } else {
        if (m_blocks.size() >= MaxBlocks) {
            fail(IapError::ImageMalformed, RecordFault::TooManyBlocks);
            return false;
        }
        m_blocks.append(Block{address, offset, quint64(n)});
    }
    m_data.append(reinterpret_cast<const char *>(p), n);
    return true;
}

ConvertedImage TextParser::finish(const ImageOptions &options)
{
    if (failed())
        return m_result;
    if (!m_ended) {
        m_line = 0;
        fail(IapError::ImageNoEnd);
        return m_result;
    }
    QVector<Block> blocks;
    blocks.swap(m_blocks);
    return assemble(blocks, m_data.constData(), &m_data, m_format, options);
}

quint64 readUnsigned(const uchar *p, int bytes, bool bigEndian)
{
    quint64 v = 0;
    for (int i = 0; i < bytes; ++i)
        v |= quint64(p[bigEndian ? i : bytes - 1 - i]) << (8 * (bytes - 1 - i));
    return v;
}

} // namespace

ImageFormat detectFormat(const char *data, qint64 size)
{
    if (size >= 4 && std::memcmp(data, ElfMagic, 4) == 0)
        return ImageFormat::Elf;
    // The first line, after a UTF-8 byte order mark, blank lines and blanks: a record start
    // and then only hexadecimal digits up to the line end (or the end of what was looked at).
    qint64 i = size >= 3 && std::memcmp(data, Bom, 3) == 0 ? 3 : 0;
    while (i < size && (isBlank(data[i]) || data[i] == '\n'))
        ++i;
    if (i + 1 >= size)
        return ImageFormat::Binary;
    ImageFormat format;
    int minDigits;
    if (data[i] == ':') {
        format = ImageFormat::IntelHex;
        minDigits = 10;
        i += 1;
    } else if (data[i] == 'S' && data[i + 1] >= '0' && data[i + 1] <= '9') {
        format = ImageFormat::SRecord;
        minDigits = 8;
        i += 2;
    } else {
        return ImageFormat::Binary;
    }
    int digits = 0;
    for (; i < size && hexTable.v[quint8(data[i])] != 0xFF; ++i)
        ++digits;
    while (i < size && (data[i] == ' ' || data[i] == '\t' || data[i] == '\r'))
        ++i;
    const bool lineEnds = i == size || data[i] == '\n';
    return digits >= minDigits && digits % 2 == 0 && lineEnds ? format : ImageFormat::Binary;
}

ConvertedImage convertText(ImageFormat format, const ReadFunction &read,
                           const ImageOptions &options)
{
    TextParser parser(format);
    // Whole lines are handed to the parser from a buffer that keeps the unfinished line of
    // one piece in front of the next.
    QByteArray buffer(int(ReadPiece + MaxLine), Qt::Uninitialized);
    char *base = buffer.data();
    qint64 kept = 0;
    for (;;) {
        const qint64 got = read(base + kept, ReadPiece);
        if (got < 0)
            return failure(IapError::FileUnreadable, format);
        const qint64 end = kept + got;
        const bool last = got == 0;
        qint64 at = 0;
        while (at < end) {
            const char *nl =
                static_cast<const char *>(std::memchr(base + at, '\n', size_t(end - at)));
            if (!nl && !last)
                break;
            const qint64 stop = nl ? nl - base : end;
            if (stop - at > MaxLine)
                return parser.overlong();
            if (!parser.line(base + at, int(stop - at)))
                return parser.result();
            at = stop + 1;
        }
        if (last)
            break;
        kept = end - at;
        if (kept > MaxLine)
            return parser.overlong();
        std::memmove(base, base + at, size_t(kept));
    }
    buffer = QByteArray();
    return parser.finish(options);
}

ConvertedImage convertElf(const char *data, qint64 size, const ImageOptions &options)
{
    const ImageFormat format = ImageFormat::Elf;
    const uchar *u = reinterpret_cast<const uchar *>(data);
    if (size < 16 || std::memcmp(data, ElfMagic, 4) != 0 || (u[4] != 1 && u[4] != 2) ||
        (u[5] != 1 && u[5] != 2))
        return failure(IapError::ImageMalformed, format, RecordFault::ElfHeader);
    const bool wide = u[4] == 2;
    const bool big = u[5] == 2;
    const qint64 headerSize = wide ? 64 : 52;
    if (size < headerSize)
        return failure(IapError::ImageMalformed, format, RecordFault::ElfHeader);
    const int word = wide ? 8 : 4;
    const quint64 phoff = readUnsigned(u + (wide ? 32 : 28), word, big);
    const quint64 phentsize = readUnsigned(u + (wide ? 54 : 42), 2, big);
    const quint64 phnum = readUnsigned(u + (wide ? 56 : 44), 2, big);
    if (phnum == 0)
        return failure(IapError::ImageNoData, format);
    const quint64 minEntry = wide ? 56 : 32;
    if (phentsize < minEntry || phoff > quint64(size) || phnum * phentsize > quint64(size) - phoff)
        return failure(IapError::ImageMalformed, format, RecordFault::ElfProgramHeaders);

    QVector<Block> blocks;
    for (quint64 i = 0; i < phnum; ++i) {
        const uchar *ph = u + phoff + i * phentsize;
        if (readUnsigned(ph, 4, big) != 1) // PT_LOAD
            continue;
        const quint64 offset = readUnsigned(ph + (wide ? 8 : 4), word, big);
        const quint64 paddr = readUnsigned(ph + (wide ? 24 : 12), word, big);
        const quint64 filesz = readUnsigned(ph + (wide ? 32 : 16), word, big);
        if (filesz == 0)
            continue;
        if (offset > quint64(size) || filesz > quint64(size) - offset)
            return failure(IapError::ImageMalformed, format, RecordFault::ElfSegmentOutside);
        if (paddr + (filesz - 1) < paddr)
            return failure(IapError::ImageMalformed, format, RecordFault::AddressOverflow);
        blocks.append(Block{paddr, offset, filesz});
    }
    return assemble(blocks, data, nullptr, format, options);
}

ConvertedImage convertImage(const QByteArray &content, const ImageOptions &options)
{
    const ImageFormat format = options.format == ImageFormat::Auto
                                   ? detectFormat(content.constData(), content.size())
                                   : options.format;
    switch (format) {
    case ImageFormat::Elf:
        return convertElf(content.constData(), content.size(), options);
    case ImageFormat::IntelHex:
    case ImageFormat::SRecord: {
        qint64 at = 0;
        return convertText(
            format,
            [&](char *buffer, qint64 max) {
                const qint64 n = qMin(max, qint64(content.size()) - at);
                std::memcpy(buffer, content.constData() + at, size_t(n));
                at += n;
                return n;
            },
            options);
    }
    case ImageFormat::Auto:
    case ImageFormat::Binary:
        break;
    }
    ConvertedImage r;
    if (content.isEmpty())
        return failure(IapError::FileEmpty, ImageFormat::Binary);
    if (!IapContext::imageFits(content.size()))
        return failure(IapError::FileTooLarge, ImageFormat::Binary);
    if (!placeRaw(content.size(), options, &r.base, &r.last))
        return failure(IapError::ImageMalformed, ImageFormat::Binary, RecordFault::AddressOverflow);
    r.image = content;
    return r;
}

bool placeRaw(qint64 size, const ImageOptions &options, quint64 *base, quint64 *last)
{
    *base = options.hasBase ? options.base : 0;
    if (quint64(size) - 1 > std::numeric_limits<quint64>::max() - *base)
        return false;
    *last = *base + quint64(size) - 1;
    return true;
}

ConvertedImage convertFile(QFile &file, ImageFormat format, const ImageOptions &options)
{
    if (format == ImageFormat::Elf) {
        // Mapped, not read: an ELF file with debug information can be many times its image.
        const qint64 size = file.size();
        if (!file.isSequential() && size > 0) {
            if (const uchar *map = file.map(0, size)) {
                ConvertedImage r = convertElf(reinterpret_cast<const char *>(map), size, options);
                file.unmap(const_cast<uchar *>(map));
                return r;
            }
        }
        const QByteArray content = file.read(4 * IapContext::MaxImageBytes + 1);
        if (file.error() != QFileDevice::NoError)
            return failure(IapError::FileUnreadable, format);
        if (content.size() > 4 * IapContext::MaxImageBytes)
            return failure(IapError::FileTooLarge, format);
        return convertElf(content.constData(), content.size(), options);
    }
    return convertText(
        format, [&file](char *buffer, qint64 max) { return file.read(buffer, max); }, options);
}

QString formatName(ImageFormat format)
{
    switch (format) {
    case ImageFormat::IntelHex:
        return QStringLiteral("hex");
    case ImageFormat::SRecord:
        return QStringLiteral("srec");
    case ImageFormat::Elf:
        return QStringLiteral("elf");
    case ImageFormat::Auto:
    case ImageFormat::Binary:
        break;
    }
    return QStringLiteral("bin");
}

bool parseFormatName(const QString &name, ImageFormat *format)
{
    for (ImageFormat f :
         {ImageFormat::Binary, ImageFormat::IntelHex, ImageFormat::SRecord, ImageFormat::Elf}) {
        if (name == formatName(f)) {
            *format = f;
            return true;
        }
    }
    return false;
}

} // namespace iap
