#include "formatdetect.h"

#include "imageformats.h"

#include <QByteArray>
#include <cstring>

namespace iap {
namespace {

constexpr char Utf8Bom[] = "\xEF\xBB\xBF";
constexpr char ElfMagic[] = {0x7F, 'E', 'L', 'F'};
// Below this a file is never called text: a random image of 16 bytes is all printable once in
// five million.
constexpr qint64 MinTextBytes = 16;

// The length of the UTF-8 sequence that lead and next begin, or 0 when they begin none
// (overlong forms and surrogates included).
int sequenceLength(uchar lead, uchar next)
{
    if (lead >= 0xC2 && lead <= 0xDF)
        return 2;
    if (lead >= 0xE0 && lead <= 0xEF)
        return (lead == 0xE0 && next < 0xA0) || (lead == 0xED && next > 0x9F) ? 0 : 3;
    if (lead >= 0xF0 && lead <= 0xF4)
        return (lead == 0xF0 && next < 0x90) || (lead == 0xF4 && next > 0x8F) ? 0 : 4;
    return 0;
}

// How many bytes of p[0, n) lie outside text: printable ASCII, tab, CR, LF and well-formed
// UTF-8. A sequence cut by the end of what is looked at counts as text.
qint64 strayBytes(const uchar *p, qint64 n)
{
    qint64 stray = 0;
    qint64 i = 0;
    while (i < n) {
        const uchar c = p[i];
        if ((c >= 0x20 && c < 0x7F) || c == '\t' || c == '\n' || c == '\r') {
            ++i;
            continue;
        }
        if (c >= 0x80 && i + 1 == n) {
            stray += c < 0xC2 || c > 0xF4;
            break;
        }
        const int length = c >= 0x80 ? sequenceLength(c, p[i + 1]) : 0;
        int k = 1;
        while (k < length && i + k < n && (p[i + k] & 0xC0) == 0x80)
            ++k;
        if (length > 0 && (k == length || i + k == n)) {
            i += k;
            continue;
        }
        ++stray;
        ++i;
    }
    return stray;
}

// The record format that the first non-blank line of this text begins.
ImageFormat recordStart(const uchar *p, qint64 n)
{
    qint64 i = 0;
    while (i < n && (p[i] == ' ' || p[i] == '\t' || p[i] == '\r' || p[i] == '\n'))
        ++i;
    if (i < n && p[i] == ':')
        return ImageFormat::IntelHex;
    if (i + 1 < n && (p[i] == 'S' || p[i] == 's') && p[i + 1] >= '0' && p[i + 1] <= '9')
        return ImageFormat::SRecord;
    return ImageFormat::Binary;
}

// The record format most non-blank lines of this text begin: a HEX file with a comment or a
// banner at its top is still a HEX file, and its reader names the line that is no record.
ImageFormat mostLines(const uchar *p, qint64 n)
{
    qint64 hex = 0;
    qint64 srec = 0;
    qint64 other = 0;
    qint64 i = 0;
    while (i < n) {
        while (i < n && (p[i] == ' ' || p[i] == '\t' || p[i] == '\r' || p[i] == '\n'))
            ++i;
        if (i == n)
            break;
        const ImageFormat line = recordStart(p + i, n - i);
        ++(line == ImageFormat::IntelHex ? hex : line == ImageFormat::SRecord ? srec : other);
        while (i < n && p[i] != '\r' && p[i] != '\n')
            ++i;
    }
    if (hex > other && hex >= srec)
        return ImageFormat::IntelHex;
    return srec > other ? ImageFormat::SRecord : ImageFormat::Binary;
}

// A stray control byte (a NUL, a Ctrl-Z at the end) does not make text binary: the record
// reader refuses it with its line. A binary has them everywhere.
bool fewStrayBytes(const uchar *p, qint64 n)
{
    return strayBytes(p, n) <= qMax<qint64>(1, n / 1024);
}

// HEX or S-record text, or Binary.
ImageFormat recordText(const uchar *p, qint64 n)
{
    ImageFormat format = recordStart(p, n);
    if (format == ImageFormat::Binary)
        format = mostLines(p, n);
    if (format == ImageFormat::Binary)
        return format;
    return fewStrayBytes(p, n) ? format : ImageFormat::Binary;
}

// UTF-16 text, known by its byte order mark or by the NUL beside each of its first two ASCII
// characters: its characters into *text, 8 bits each ('x' for any beyond ASCII). False when
// the bytes are not UTF-16.
bool utf16Text(const uchar *p, qint64 n, QByteArray *text)
{
    bool little = true;
    qint64 at = 0;
    if (n >= 2 && ((p[0] == 0xFF && p[1] == 0xFE) || (p[0] == 0xFE && p[1] == 0xFF))) {
        little = p[0] == 0xFF;
        at = 2;
    } else if (n >= 4 && p[0] && !p[1] && p[2] && !p[3]) {
        little = true;
    } else if (n >= 4 && !p[0] && p[1] && !p[2] && p[3]) {
        little = false;
    } else {
        return false;
    }
    text->reserve(int((n - at) / 2));
    for (; at + 1 < n; at += 2) {
        const uint unit =
            little ? uint(p[at]) | uint(p[at + 1]) << 8 : uint(p[at]) << 8 | uint(p[at + 1]);
        text->append(unit < 0x80 ? char(unit) : 'x');
    }
    return true;
}

} // namespace

TextSniff sniffRecordText(const char *data, qint64 size)
{
    TextSniff r;
    const qint64 n = qMin(size, DetectBytes);
    const uchar *p = reinterpret_cast<const uchar *>(data);
    QByteArray wide;
    if (utf16Text(p, n, &wide)) {
        r.format = recordText(reinterpret_cast<const uchar *>(wide.constData()), wide.size());
        if (r.format != ImageFormat::Binary) {
            r.utf16 = true;
            return r;
        }
    }
    const qint64 bom = n >= 3 && std::memcmp(p, Utf8Bom, 3) == 0 ? 3 : 0;
    r.format = recordText(p + bom, n - bom);
    return r;
}

bool isText(const char *data, qint64 size)
{
    // Text has lines; a tiny image whose few bytes all happen to be printable is no text.
    const qint64 n = qMin(size, DetectBytes);
    const uchar *p = reinterpret_cast<const uchar *>(data);
    const bool lines = std::memchr(p, '\n', size_t(n)) || std::memchr(p, '\r', size_t(n));
    return n >= MinTextBytes && lines && std::memcmp(data, ElfMagic, 4) != 0 && fewStrayBytes(p, n);
}

ImageFormat detectFormat(const char *data, qint64 size)
{
    if (size >= 4 && std::memcmp(data, ElfMagic, 4) == 0)
        return ImageFormat::Elf;
    return sniffRecordText(data, size).format;
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
