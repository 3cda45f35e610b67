#pragma once

#include "imagetypes.h"
#include "messages.h"

#include <QByteArray>
#include <QString>
#include <functional>

class QFile;

// Firmware as build tools write it: Intel HEX, Motorola S-record and ELF files become one flat
// image from the lowest address to the highest, the gaps filled with 0xFF (erased flash).
// Anything else is a raw image, byte for byte.
namespace iap {

// More than this much empty space between two pieces of data is almost always two images in
// one file (a boot loader and an application), not one. The same holds between a start
// address given by --base and the data.
constexpr qint64 MaxGapBytes = qint64(1) << 20;
// The most separate pieces of data a file may hold (a real image has a few). Records that
// follow one another in the file and in address, upwards or (records of one length)
// downwards, are one piece; each piece costs 16 bytes until the image is laid out.
constexpr int MaxBlocks = 1 << 20;
// How much of the start of a file decides its format (the text reader's first piece).
constexpr qint64 DetectBytes = qint64(64) << 10;

struct ImageOptions
{
    ImageFormat format = ImageFormat::Auto; // Auto: decided from the content
    bool hasBase = false;                   // the image starts at base instead of its lowest
    quint64 base = 0;                       // address (the gap up to the data is 0xFF)
    // Auto only: text that is no record file is refused (ImageText) instead of being sent
    // byte for byte as a raw image.
    bool refuseText = false;
};

struct ConvertedImage
{
    IapError error = IapError::None;
    ImageFault fault;
    ImageFormat format = ImageFormat::Binary;
    QByteArray image; // empty unless error is None
    quint64 base = 0; // address of the first byte of the image
    quint64 last = 0; // address of the last byte
};

// The format of a file that starts with these bytes (only the first DetectBytes are looked
// at). ELF by its magic number; HEX or S-record when the bytes are text (printable ASCII or
// UTF-8, tabs, CR and LF; a stray control byte at most once per KiB) whose first non-blank
// line starts with ':', or with 'S' or 's' and a digit; also UTF-16 text of that kind, which
// the text reader then refuses. Text most of whose lines are records counts too, whatever its
// first line. Anything else is raw, a binary that starts with ':' included.
ImageFormat detectFormat(const char *data, qint64 size);
// True when the first DetectBytes are text as above (whatever its lines hold), with a line end
// and at least 16 bytes: no image a compiler makes, but a README or a record file gone wrong.
bool isText(const char *data, qint64 size);

// Reads up to max bytes into buffer: the count, 0 at the end, -1 on a read error.
using ReadFunction = std::function<qint64(char *buffer, qint64 max)>;

// HEX or S-record text, read piece by piece (the text is not kept in memory). Lines end with
// LF, CR LF or CR alone. A read error gives FileUnreadable.
ConvertedImage convertText(ImageFormat format, const ReadFunction &read,
                           const ImageOptions &options);
// An ELF file held in memory (or mapped); the loaded segments are copied out of it.
ConvertedImage convertElf(const char *data, qint64 size, const ImageOptions &options);
// A whole file in memory, in the given or detected format.
ConvertedImage convertImage(const QByteArray &content, const ImageOptions &options);
// An open file, from its start: text streamed, ELF mapped. A raw image is not read here.
ConvertedImage convertFile(QFile &file, ImageFormat format, const ImageOptions &options);

// The addresses of a raw image of size bytes: from the start address given (0 without one).
// False when the image would run past the end of the address space.
bool placeRaw(qint64 size, const ImageOptions &options, quint64 *base, quint64 *last);

// "bin", "hex", "srec", "elf" (the names of --format).
QString formatName(ImageFormat format);
bool parseFormatName(const QString &name, ImageFormat *format);

} // namespace iap
