// The firmware loader on arbitrary file contents and sizes. The file is written to a
// temporary folder and loaded; a file that loads must come back byte for byte and give
// package arithmetic that covers it exactly with 16-bit indices; a file that does not load
// must be refused for the right reason with nothing kept.
//
// Whatever the file holds, the loader reports the size the file system gives.
//
// Input: one mode byte, then the file contents. Mode 0xE5: the file is extended (a
// sparse file, zeros after the contents) to a size picked by the next byte: 1 below, at
// and 1 above the largest image, 2 or 4 GiB + n to catch 32-bit truncation of the size,
// further over the limit, or some packages of zeros after the contents.
#include "firmwarefile.h"
#include "fuzzcheck.h"
#include "iapcontext.h"

#include <QFile>
#include <QTemporaryDir>

#include <cstddef>
#include <cstdint>
#include <unistd.h>

using iap::IapError;

namespace {

constexpr qint64 Limit = qint64(65535) * 1024; // 65535 packages of 1024 bytes

const QString &filePath()
{
    static QTemporaryDir dir;
    static const QString path = dir.filePath(QStringLiteral("image.bin"));
    FUZZ_CHECK(dir.isValid());
    return path;
}

qint64 extendedSize(uint8_t pick, qint64 contents)
{
    // The two sizes that make the loader read 64 MiB sit on single values. Under libFuzzer
    // (sanitizers make a 64 MiB read take a third of a second) they stand for 1 MiB instead,
    // so the run spends its time on contents; the corpus replay checks the real boundary.
    switch (pick) {
    case 0:
#ifdef IAP_FUZZ_SKIP_FULL_SIZE
        return contents + (qint64(1) << 20);
#endif
        return Limit - 1;
    case 1:
#ifdef IAP_FUZZ_SKIP_FULL_SIZE
        return contents + (qint64(1) << 20) + 1;
#endif
        return Limit;
    case 2:
        return Limit + 1;
    default:
        break;
    }
    switch (pick % 4) {
    case 0:
        return (qint64(1) << 32) + contents; // 4 GiB + contents: 32-bit wrap to a small size
    case 1:
        return (qint64(1) << 31) + contents; // negative as a signed 32-bit size
    case 2:
        return Limit + 1 + (qint64(pick) << 20); // somewhat over the limit
    default:
        return contents + (qint64(pick) << 10); // a few packages of zeros after the data
    }
}

void checkArithmetic(const QByteArray &image)
{
    IapContext ctx;
    ctx.setImage(image);
    const qint64 n = image.size();
    FUZZ_CHECK(ctx.packetSize == 1024);
    FUZZ_CHECK(ctx.fullPacketCount >= 0 && ctx.lastPacketLength >= 0);
    FUZZ_CHECK(ctx.lastPacketLength < 1024);
    FUZZ_CHECK(qint64(ctx.fullPacketCount) * 1024 + ctx.lastPacketLength == n);
    FUZZ_CHECK(ctx.packetTotal == ctx.fullPacketCount + (ctx.lastPacketLength ? 1 : 0));
    FUZZ_CHECK(ctx.packetTotal >= 1 && ctx.packetTotal <= 65535);
    // Every package index, the last one included, fits the 16-bit field.
    FUZZ_CHECK(ctx.packetTotal - 1 <= 0xFFFF);

    // The request announces the length and the low 16 bits of the total.
    const QByteArray req = ctx.makeRequestPackage();
    FUZZ_CHECK(req.size() == 12);
    const quint32 len = quint32(quint8(req.at(2))) << 24 | quint32(quint8(req.at(3))) << 16 |
                        quint32(quint8(req.at(4))) << 8 | quint32(quint8(req.at(5)));
    FUZZ_CHECK(qint64(len) == n);
    FUZZ_CHECK((quint8(req.at(6)) << 8 | quint8(req.at(7))) == (ctx.packetTotal & 0xFFFF));
    FUZZ_CHECK(fuzz::isValidReply(req)); // same framing as a reply: F1, CRC trailer

    // The package that carries the end of the image, in both forms.
    const int k = ctx.packetTotal - 1;
    const QByteArray full = ctx.makeDataPackage(k);
    FUZZ_CHECK(full.size() == 1032);
    FUZZ_CHECK((quint8(full.at(2)) << 8 | quint8(full.at(3))) == k);
    const QByteArray tail = image.mid(qint64(k) * 1024);
    FUZZ_CHECK(full.mid(4, tail.size()) == tail);
    FUZZ_CHECK(full.mid(4 + tail.size(), 1024 - tail.size()) ==
               QByteArray(1024 - tail.size(), '\0'));
    FUZZ_CHECK(fuzz::isValidReply(full));
    if (ctx.lastPacketLength > 0) {
        const QByteArray last = ctx.makeLastPackage();
        FUZZ_CHECK(last.size() == ctx.lastPacketLength + 8);
        FUZZ_CHECK(last.mid(4, ctx.lastPacketLength) == tail);
        FUZZ_CHECK(last.left(4) == full.left(4));
        FUZZ_CHECK(fuzz::isValidReply(last));
    }
    FUZZ_CHECK(iap::checkImage(image) == IapError::None);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::silenceQt();
    fuzz::Input in(data, size);
    const uint8_t mode = in.byte();
    const bool extend = mode == 0xE5; // one value, so most inputs are plain files
    const uint8_t pick = extend ? in.byte() : 0;
    const QByteArray contents = in.bytes(in.left());
    const qint64 fileSize = extend ? extendedSize(pick, contents.size()) : contents.size();

    const QString &path = filePath();
    {
        QFile f(path);
        FUZZ_CHECK(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        FUZZ_CHECK(f.write(contents) == contents.size());
        f.close();
        if (extend)
            FUZZ_CHECK(::truncate(QFile::encodeName(path).constData(), fileSize) == 0);
    }

    // Raw images here: fuzz_formats covers the HEX, S-record and ELF readers.
    iap::ImageOptions raw;
    raw.format = iap::ImageFormat::Binary;
    const iap::FirmwareFile r = iap::loadFirmwareFile(path, raw);
    if (fileSize == 0) {
        FUZZ_CHECK(r.error == IapError::FileEmpty);
        FUZZ_CHECK(r.image.isEmpty());
    } else if (fileSize > Limit) {
        FUZZ_CHECK(r.error == IapError::FileTooLarge);
        FUZZ_CHECK(r.image.isEmpty());
        FUZZ_CHECK(r.size == fileSize);
        FUZZ_CHECK(r.detail == QString::number(fileSize));
    } else {
        FUZZ_CHECK(r.error == IapError::None);
        FUZZ_CHECK(r.size == fileSize);
        FUZZ_CHECK(r.image.size() == fileSize);
        FUZZ_CHECK(r.image.left(contents.size()) == contents);
        if (fileSize > contents.size()) {
            // Spot-check the zeros of a sparse extension rather than compare 64 MiB.
            FUZZ_CHECK(r.image.at(int(fileSize - 1)) == '\0');
            FUZZ_CHECK(r.image.at(contents.size()) == '\0');
        }
        checkArithmetic(r.image);
    }
    // Read by its content (small files only: HEX, S-record and ELF are fuzz_formats' job), the
    // file is either raw and the same, or something else; the size is the file's in any case.
    if (!extend) {
        const iap::FirmwareFile byContent = iap::loadFirmwareFile(path);
        FUZZ_CHECK(byContent.size == fileSize);
        if (byContent.format == iap::ImageFormat::Binary) {
            FUZZ_CHECK(byContent.error == r.error);
            FUZZ_CHECK(byContent.image == r.image);
        }
    }
    // The checks on an image in memory agree with the loader.
    if (r.error == IapError::None)
        FUZZ_CHECK(iap::checkImage(r.image) == IapError::None);
    else
        FUZZ_CHECK(iap::checkImage(r.image) == IapError::EmptyImage);

    // The folder holds one file at a time; drop the big ones at once.
    if (extend)
        FUZZ_CHECK(::truncate(QFile::encodeName(path).constData(), 0) == 0);
    return 0;
}
