// Intel HEX and Motorola S-record text, read line by line into the image layout.
#include "formatdetect.h"
#include "imageformats.h"
#include "imagelayout.h"

#include <cstring>

namespace iap {
namespace {

// Longest line of each text format: ':' + 2 × (5 + 255) digits, 'S' + type + 2 × 256 digits.
constexpr int MaxHexLine = 1 + 2 * (5 + 255);
constexpr int MaxSRecordLine = 2 + 2 * 256;
// Room for a record plus blanks around it; a longer line is refused, not cut.
constexpr int MaxLine = 1024;
// The text is read in pieces of this size; the first is the one the format was decided from.
constexpr qint64 ReadPiece = DetectBytes;

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

constexpr char Utf8Bom[] = "\xEF\xBB\xBF";

bool isBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r';
}

// The first control byte of a line (NUL, Ctrl-Z, DEL, ...; a tab is a blank), or -1.
int controlByte(const char *p, int n)
{
    for (int i = 0; i < n; ++i) {
        const uchar c = uchar(p[i]);
        if ((c < 0x20 && c != '\t' && c != '\r') || c == 0x7F)
            return c;
    }
    return -1;
}

// The records of a HEX or S-record file, line by line, gathered into the layout.
class TextParser
{
public:
    explicit TextParser(ImageFormat format) : m_format(format), m_layout(format, Top32) {}

    // False once the file has been found faulty (result() says why).
    bool line(const char *p, int n);
    ConvertedImage finish(const ImageOptions &options);
    const ConvertedImage &result() const { return m_result; }
    // The next line is longer than any record: refused without being read.
    ConvertedImage overlong()
    {
        ++m_line;
        fail(IapError::ImageMalformed, RecordFault::LineTooLong);
        return m_result;
    }

private:
    bool record(const char *p, int n);
    bool hexRecord(const quint8 *b, int count);
    bool sRecord(int type, const quint8 *b, int count);
    bool add(quint64 address, const quint8 *p, int n);
    bool fail(IapError error, RecordFault record = RecordFault::None)
    {
        m_result = imageFailure(error, m_format, record, m_line);
        return false;
    }

    ImageFormat m_format;
    ImageLayout m_layout;
    ConvertedImage m_result;
    qint64 m_line = 0;
    bool m_ended = false;
    quint64 m_upper = 0; // HEX: the base set by the last 02 or 04 record
    qint64 m_dataRecords = 0;
};

bool TextParser::line(const char *p, int n)
{
    ++m_line;
    if (m_line == 1 && n >= 3 && std::memcmp(p, Utf8Bom, 3) == 0) { // as some editors save text
        p += 3;
        n -= 3;
    }
    if (record(p, n))
        return true;
    // A byte that does not belong in text says more than whatever it broke.
    const int c = controlByte(p, n);
    if (c >= 0) {
        fail(IapError::ImageMalformed, RecordFault::NotText);
        m_result.fault.byte = c;
    }
    return false;
}

bool TextParser::record(const char *p, int n)
{
    while (n > 0 && isBlank(p[n - 1]))
        --n;
    while (n > 0 && isBlank(*p)) {
        ++p;
        --n;
    }
    if (n == 0)
        return true;
    if (m_ended)
        return fail(IapError::ImageMalformed, RecordFault::DataAfterEnd);
    const bool hex = m_format == ImageFormat::IntelHex;
    if (n > (hex ? MaxHexLine : MaxSRecordLine))
        return fail(IapError::ImageMalformed, RecordFault::LineTooLong);
    int type = 0;
    if (hex) {
        if (p[0] != ':')
            return fail(IapError::ImageMalformed, RecordFault::BadStart);
        ++p;
        --n;
    } else {
        // The record letter in either case, as the hexadecimal digits.
        if (n < 2 || (p[0] != 'S' && p[0] != 's') || p[1] < '0' || p[1] > '9')
            return fail(IapError::ImageMalformed, RecordFault::BadStart);
        type = p[1] - '0';
        p += 2;
        n -= 2;
    }
    quint8 bytes[260];
    const int count = n / 2;
    for (int i = 0; i < count; ++i) {
        const quint8 hi = hexTable.v[quint8(p[2 * i])];
        const quint8 lo = hexTable.v[quint8(p[2 * i + 1])];
        if ((hi | lo) & 0xF0)
            return fail(IapError::ImageMalformed, RecordFault::BadCharacter);
        bytes[i] = quint8(hi << 4 | lo);
    }
    if (n % 2)
        return fail(IapError::ImageMalformed, hexTable.v[quint8(p[n - 1])] == 0xFF
                                                  ? RecordFault::BadCharacter
                                                  : RecordFault::BadLength);
    return hex ? hexRecord(bytes, count) : sRecord(type, bytes, count);
}

bool TextParser::hexRecord(const quint8 *b, int count)
{
    // Length, address (2), type, data, checksum.
    if (count < 5 || b[0] != count - 5)
        return fail(IapError::ImageMalformed, RecordFault::BadLength);
    quint8 sum = 0;
    for (int i = 0; i < count; ++i)
        sum = quint8(sum + b[i]);
    if (sum != 0)
        return fail(IapError::ImageChecksum);
    const int length = b[0];
    const quint8 *d = b + 4;
    switch (b[3]) {
    case 0x00:
        // Segment addressing (02) too: segment × 16 + offset, a record that runs past its
        // 64 KiB offset continuing at the next address, as objcopy reads and writes it.
        return add(m_upper + (quint64(b[1]) << 8 | b[2]), d, length);
    case 0x01:
        if (length != 0)
            return fail(IapError::ImageMalformed, RecordFault::BadEndRecord);
        m_ended = true;
        return true;
    case 0x02:
    case 0x04:
        if (length != 2)
            return fail(IapError::ImageMalformed, RecordFault::BadAddressRecord);
        m_upper = (quint64(d[0]) << 8 | d[1]) << (b[3] == 0x02 ? 4 : 16);
        return true;
    case 0x03:
    case 0x05:
        // Start address: where the program begins, not part of the image.
        if (length != 4)
            return fail(IapError::ImageMalformed, RecordFault::BadAddressRecord);
        return true;
    default:
        return fail(IapError::ImageMalformed, RecordFault::UnknownType);
    }
}

bool TextParser::sRecord(int type, const quint8 *b, int count)
{
    static constexpr int addressBytes[10] = {2, 2, 3, 4, 0, 2, 3, 4, 3, 2};
    if (type == 4)
        return fail(IapError::ImageMalformed, RecordFault::UnknownType);
    // Count (of the bytes after it), address, data, checksum.
    const int width = addressBytes[type];
    if (count < 2 + width || b[0] != count - 1)
        return fail(IapError::ImageMalformed, RecordFault::BadLength);
    quint8 sum = 0;
    for (int i = 0; i < count; ++i)
        sum = quint8(sum + b[i]);
    if (sum != 0xFF)
        return fail(IapError::ImageChecksum);
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
    if (m_layout.add(address, reinterpret_cast<const char *>(p), n))
        return true;
    m_result = m_layout.failure();
    m_result.fault.line = m_line;
    return false;
}

ConvertedImage TextParser::finish(const ImageOptions &options)
{
    if (!m_ended) {
        m_line = 0;
        fail(IapError::ImageNoEnd);
        return m_result;
    }
    return m_layout.finish(options);
}

} // namespace

ConvertedImage convertText(ImageFormat format, const ReadFunction &read,
                           const ImageOptions &options)
{
    TextParser parser(format);
    // Whole lines are handed to the parser from a buffer that keeps the unfinished line of
    // one piece in front of the next.
    QByteArray buffer(int(ReadPiece + MaxLine), Qt::Uninitialized);
    char *base = buffer.data();
    qint64 kept = 0;
    bool first = true;
    for (;;) {
        // A whole piece (a read may give less), so that nothing depends on how it came.
        qint64 got = 0;
        bool atEnd = false;
        while (got < ReadPiece && !atEnd) {
            const qint64 n = read(base + kept + got, ReadPiece - got);
            if (n < 0)
                return imageFailure(IapError::FileUnreadable, format);
            atEnd = n == 0;
            got += n;
        }
        if (first) {
            const TextSniff sniff = sniffRecordText(base, got);
            if (sniff.utf16) {
                ConvertedImage r =
                    imageFailure(IapError::ImageMalformed, format, RecordFault::Utf16Text);
                r.fault.format = sniff.format; // what the text is, whatever it was read as
                return r;
            }
            first = false;
        }
        const qint64 end = kept + got;
        qint64 at = 0;
        while (at < end) {
            // A line ends with LF, CR LF or a CR alone.
            const char *p = base + at;
            const char *nl = static_cast<const char *>(std::memchr(p, '\n', size_t(end - at)));
            const char *cr = static_cast<const char *>(
                std::memchr(p, '\r', size_t((nl ? nl - base : end) - at)));
            const char *stop = cr ? cr : nl;
            qint64 next = stop ? stop - base + 1 : end;
            if (!stop && !atEnd)
                break;
            if (cr) {
                if (next < end && base[next] == '\n')
                    ++next;
                else if (next == end && !atEnd)
                    break; // the LF of a CR LF may be in the next piece
            }
            const qint64 length = (stop ? stop - base : end) - at;
            if (length > MaxLine)
                return parser.overlong();
            if (!parser.line(p, int(length)))
                return parser.result();
            at = next;
        }
        if (atEnd)
            break;
        kept = end - at;
        if (kept > MaxLine)
            return parser.overlong();
        std::memmove(base, base + at, size_t(kept));
    }
    buffer = QByteArray();
    return parser.finish(options);
}

} // namespace iap
