// Loading speed and peak memory of the largest image as an Intel HEX file: an image of the
// package limit written as objcopy writes it (16-byte records, CR LF, an extended linear
// address record every 64 KiB; about 180 MB of text), then loaded through the firmware
// loader as the window and iap-flash load it. The file is freshly written, so it is read
// from the page cache: the figure is the parser's, not the disk's.
//
//   bench_formats [RUNS]    (default 3; prints the median and the peak resident memory)
#include "firmwarefile.h"
#include "iapcontext.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <sys/resource.h>
#include <vector>
#include <zlib.h>

namespace {

qint64 peakRssBytes()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return qint64(usage.ru_maxrss) * 1024; // kilobytes on Linux
}

const char digits[] = "0123456789ABCDEF";

void appendRecord(QByteArray &out, int type, quint16 address, const quint8 *data, int n)
{
    quint8 sum = quint8(n + (address >> 8) + address + type);
    auto byte = [&out](quint8 b) {
        out.append(digits[b >> 4]);
        out.append(digits[b & 15]);
    };
    out.append(':');
    byte(quint8(n));
    byte(quint8(address >> 8));
    byte(quint8(address));
    byte(quint8(type));
    for (int i = 0; i < n; ++i) {
        byte(data[i]);
        sum = quint8(sum + data[i]);
    }
    byte(quint8(-sum));
    out.append("\r\n");
}

// Writes the HEX file piece by piece (the image is never held whole) and returns the CRC-32
// (zlib) of the image it describes.
quint32 writeHex(const QString &path, qint64 imageBytes, quint32 startAddress)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        return 0;
    quint32 state = 0x12345678u;
    quint32 crc = 0;
    QByteArray piece;
    QByteArray imagePiece;
    for (qint64 at = 0; at < imageBytes; at += 16) {
        const quint32 address = startAddress + quint32(at);
        if (at == 0 || (address & 0xFFFF) == 0) {
            const quint8 upper[2] = {quint8(address >> 24), quint8(address >> 16)};
            appendRecord(piece, 4, 0, upper, 2);
        }
        quint8 data[16];
        const int n = int(qMin<qint64>(16, imageBytes - at));
        for (int i = 0; i < n; ++i) {
            state ^= state << 13;
            state ^= state >> 17;
            state ^= state << 5;
            data[i] = quint8(state >> 24);
        }
        appendRecord(piece, 0, quint16(address), data, n);
        imagePiece.append(reinterpret_cast<const char *>(data), n);
        if (piece.size() > (1 << 20)) {
            f.write(piece);
            piece.clear();
        }
        if (imagePiece.size() >= (1 << 20)) {
            crc = quint32(crc32(crc, reinterpret_cast<const Bytef *>(imagePiece.constData()),
                                uInt(imagePiece.size())));
            imagePiece.clear();
        }
    }
    appendRecord(piece, 1, 0, nullptr, 0);
    f.write(piece);
    crc = quint32(crc32(crc, reinterpret_cast<const Bytef *>(imagePiece.constData()),
                        uInt(imagePiece.size())));
    return crc;
}

} // namespace

int main(int argc, char **argv)
{
    const int runs = argc > 1 ? qMax(1, atoi(argv[1])) : 3;
    const qint64 imageBytes = IapContext::MaxImageBytes;
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("image.hex"));
    const quint32 expectedCrc = writeHex(path, imageBytes, 0x08000000u);
    const qint64 textBytes = QFileInfo(path).size();
    std::printf("HEX file: %.1f MB of text for an image of %lld bytes (%.1f MiB)\n",
                textBytes / 1e6, static_cast<long long>(imageBytes), imageBytes / 1048576.0);

    const qint64 rssBefore = peakRssBytes();
    std::vector<double> seconds;
    for (int run = 0; run < runs; ++run) {
        QElapsedTimer clock;
        clock.start();
        const iap::FirmwareFile file = iap::loadFirmwareFile(path);
        seconds.push_back(clock.nsecsElapsed() / 1e9);
        const quint32 crc = quint32(crc32(
            0, reinterpret_cast<const Bytef *>(file.image.constData()), uInt(file.image.size())));
        if (file.error != iap::IapError::None || file.image.size() != imageBytes ||
            crc != expectedCrc || file.base != 0x08000000u) {
            std::fprintf(stderr, "the loaded image is not the one written (error %d, %d bytes)\n",
                         int(file.error), int(file.image.size()));
            return 1;
        }
        std::printf("run %d: %.3f s, %.0f MB/s of text\n", run + 1, seconds.back(),
                    textBytes / 1e6 / seconds.back());
    }
    std::sort(seconds.begin(), seconds.end());
    const double median = seconds[seconds.size() / 2];
    const qint64 peak = peakRssBytes();
    std::printf("median %.3f s: %.0f MB/s of text (target > 100)\n", median,
                textBytes / 1e6 / median);
    std::printf("peak resident memory %.1f MiB (%.1f MiB before loading): %.2f x the image "
                "(target <= 2)\n",
                peak / 1048576.0, rssBefore / 1048576.0, double(peak) / imageBytes);
    return 0;
}
