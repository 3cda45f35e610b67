// The HEX, S-record and ELF readers on arbitrary contents. Nothing may crash or read past the
// input (the input sits in a buffer of exactly its size, so the sanitizer sees one byte too
// far); an image that comes out must fit the package limit and match the addresses reported;
// a refused file leaves no image; reading the text in pieces of any size must give the same
// result as reading it whole.
//
// A file of printable ASCII text whose first non-blank line starts like a record is never
// taken for a raw image, and an image from a 32-bit format never ends past 4 GiB.
//
// Input: a mode byte (bits 0-1: 0 detect, 1 HEX, 2 S-record, 3 ELF; bit 2: a start address
// follows in the next 4 bytes, big-endian), a byte that sets the size of the pieces the text
// is read in (1..256), then the file.
#include "fuzzcheck.h"
#include "iapcontext.h"
#include "imageformats.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

using iap::ConvertedImage;
using iap::IapError;
using iap::ImageFormat;

namespace {

constexpr qint64 Limit = qint64(65535) * 1024; // the package limit: 65535 packages

// Printable ASCII, tabs and line ends only, the first thing in it ':' or 'S'/'s' and a digit.
bool plainRecordText(const char *p, size_t n)
{
    size_t first = n;
    for (size_t i = 0; i < n; ++i) {
        const unsigned char c = static_cast<unsigned char>(p[i]);
        const bool blank = c == ' ' || c == '\t' || c == '\r' || c == '\n';
        if (!blank && (c < 0x20 || c > 0x7E))
            return false;
        if (!blank && first == n)
            first = i;
    }
    if (first == n)
        return false;
    const char c = p[first];
    return c == ':' ||
           ((c == 'S' || c == 's') && first + 1 < n && p[first + 1] >= '0' && p[first + 1] <= '9');
}

bool sameResult(const ConvertedImage &a, const ConvertedImage &b)
{
    return a.error == b.error && a.image == b.image && a.base == b.base && a.last == b.last &&
           a.fault.line == b.fault.line && a.fault.record == b.fault.record;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::silenceQt();
    fuzz::Input in(data, size);
    const uint8_t mode = in.byte();
    const qint64 piece = qint64(in.byte()) + 1;
    iap::ImageOptions options;
    static const ImageFormat formats[4] = {ImageFormat::Auto, ImageFormat::IntelHex,
                                           ImageFormat::SRecord, ImageFormat::Elf};
    options.format = formats[mode & 3];
    if (mode & 4) {
        options.hasBase = true;
        for (int i = 0; i < 4; ++i)
            options.base = options.base << 8 | in.byte();
    }
    const size_t n = in.left();
    // Exactly n bytes (at least one, so the pointer is valid): a read past the end is caught.
    std::unique_ptr<char[]> file(new char[n ? n : 1]);
    const QByteArray rest = in.bytes(n);
    std::memcpy(file.get(), rest.constData(), n);

    const ImageFormat format = options.format == ImageFormat::Auto
                                   ? iap::detectFormat(file.get(), qint64(n))
                                   : options.format;
    if (options.format == ImageFormat::Auto && n <= size_t(iap::DetectBytes) &&
        plainRecordText(file.get(), n))
        FUZZ_CHECK(format == ImageFormat::IntelHex || format == ImageFormat::SRecord);
    ConvertedImage r;
    if (format == ImageFormat::Elf) {
        r = iap::convertElf(file.get(), qint64(n), options);
    } else if (format != ImageFormat::Binary) {
        qint64 at = 0;
        r = iap::convertText(
            format,
            [&](char *buffer, qint64 max) {
                const qint64 count = qMin(qMin(max, piece), qint64(n) - at);
                std::memcpy(buffer, file.get() + at, size_t(count));
                at += count;
                return count;
            },
            options);
        FUZZ_CHECK(at == qint64(n) || r.error != IapError::None);
    }
    // The whole file at once gives the same answer (for a raw image: the file itself).
    const ConvertedImage whole = iap::convertImage(rest, options);
    if (format == ImageFormat::Binary) {
        r = whole;
        if (r.error == IapError::None)
            FUZZ_CHECK(r.image == rest);
        else
            FUZZ_CHECK(n == 0 && r.error == IapError::FileEmpty);
    } else {
        FUZZ_CHECK(sameResult(r, whole));
        FUZZ_CHECK(r.format == format);
    }

    if (r.error != IapError::None) {
        FUZZ_CHECK(r.image.isEmpty());
        FUZZ_CHECK(!iap::errorText(r.error, iap::Language::English, QStringLiteral("f"), QString(),
                                   r.fault)
                        .isEmpty());
        FUZZ_CHECK(!iap::errorText(r.error, iap::Language::Chinese, QStringLiteral("f"), QString(),
                                   r.fault)
                        .isEmpty());
        return 0;
    }
    FUZZ_CHECK(!r.image.isEmpty());
    FUZZ_CHECK(r.image.size() <= Limit);
    FUZZ_CHECK(IapContext::imageFits(r.image.size()));
    FUZZ_CHECK(r.last >= r.base);
    FUZZ_CHECK(r.last - r.base + 1 == quint64(r.image.size()));
    if (options.hasBase)
        FUZZ_CHECK(r.base == options.base);
    const bool wide = format == ImageFormat::Elf && n > 4 && file[4] == 2;
    if (format != ImageFormat::Binary && !wide)
        FUZZ_CHECK(r.last <= 0xFFFFFFFFu);
    return 0;
}
