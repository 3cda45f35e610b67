// Loading speed and peak memory of HEX files through the firmware loader, as the window and
// iap-flash load them. Each file is written first, then loaded in a process of its own (so
// that each peak is that load's alone) and checked against the CRC of the image written. The
// files are freshly written, so they are read from the page cache: the speed is the
// parser's, not the disk's.
//
//   objcopy      the largest image (the package limit), 16-byte records as objcopy writes
//                them (CR LF, an extended linear address record every 64 KiB): ~189 MB
//   downwards    the same image with its records from the top address down
//   one-byte     1 048 576 one-byte records from the top address down (a 1 MiB image)
//   shuffled     a 16 MiB image in 16-byte records in random order (1 048 576 pieces)
//   spread       1 048 576 pieces of one byte, one every other address (a 2 MiB image):
//                the most pieces a file may hold, each costing its 16 bytes
//
//   bench_formats [RUNS]    (default 3; the median speed of RUNS loads, the peak of the first)
#include "firmwarefile.h"
#include "iapcontext.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <numeric>
#include <sys/resource.h>
#include <vector>
#include <zlib.h>

namespace {

// The image byte at offset o from the image's first address.
quint8 byteAt(quint32 o)
{
    quint32 x = o * 2654435761u;
    x ^= x >> 15;
    return quint8(x >> 24);
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

struct Case
{
    const char *name;
    quint32 start;     // the image's first address
    qint64 imageBytes; // from the first address to the last
    qint64 records;    // data records
    int length;        // bytes per record
    // The image offset of record k in file order.
    std::function<quint32(qint64 k)> offsetOf;
    bool spread = false; // one byte every other address, 0xFF between
};

// Writes the HEX file piece by piece (the image is never held whole) and returns the CRC-32
// (zlib) of the image it describes.
quint32 writeHex(const QString &path, const Case &c)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        return 0;
    QByteArray piece;
    quint32 upper = 0xFFFFFFFFu;
    for (qint64 k = 0; k < c.records; ++k) {
        const quint32 offset = c.offsetOf(k);
        const quint32 address = c.start + offset;
        if (address >> 16 != upper) {
            upper = address >> 16;
            const quint8 u[2] = {quint8(upper >> 8), quint8(upper)};
            appendRecord(piece, 4, 0, u, 2);
        }
        quint8 data[16];
        const int n = int(qMin<qint64>(c.length, c.imageBytes - offset));
        for (int i = 0; i < n; ++i)
            data[i] = byteAt(offset + quint32(i));
        appendRecord(piece, 0, quint16(address), data, n);
        if (piece.size() > (1 << 20)) {
            f.write(piece);
            piece.clear();
        }
    }
    appendRecord(piece, 1, 0, nullptr, 0);
    f.write(piece);

    quint32 crc = 0;
    QByteArray image;
    for (qint64 o = 0; o < c.imageBytes; ++o) {
        image.append(char(c.spread && (o & 1) ? 0xFF : byteAt(quint32(o))));
        if (image.size() == (1 << 20) || o + 1 == c.imageBytes) {
            crc = quint32(
                crc32(crc, reinterpret_cast<const Bytef *>(image.constData()), uInt(image.size())));
            image.clear();
        }
    }
    return crc;
}

qint64 residentKib()
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : f.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

// In the child: loads path once and prints "seconds rss-before-KiB peak-KiB", or fails.
int loadOnce(const QString &path, quint32 expectedCrc, quint32 start, qint64 imageBytes)
{
    const qint64 before = residentKib();
    QElapsedTimer clock;
    clock.start();
    const iap::FirmwareFile file = iap::loadFirmwareFile(path);
    const double seconds = clock.nsecsElapsed() / 1e9;
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const quint32 crc = quint32(
        crc32(0, reinterpret_cast<const Bytef *>(file.image.constData()), uInt(file.image.size())));
    if (file.error != iap::IapError::None || file.image.size() != imageBytes ||
        crc != expectedCrc || file.base != start) {
        std::fprintf(stderr, "the loaded image is not the one written (error %d, %d bytes)\n",
                     int(file.error), int(file.image.size()));
        return 1;
    }
    std::printf("%.6f %lld %ld\n", seconds, static_cast<long long>(before), usage.ru_maxrss);
    return 0;
}

std::vector<Case> cases()
{
    const qint64 limit = IapContext::MaxImageBytes;
    const qint64 records16 = limit / 16;
    static std::vector<quint32> shuffled;
    shuffled.resize(1 << 20);
    std::iota(shuffled.begin(), shuffled.end(), 0u);
    QRandomGenerator gen(7);
    std::shuffle(shuffled.begin(), shuffled.end(), gen);
    return {
        {"objcopy", 0x08000000u, limit, records16, 16, [](qint64 k) { return quint32(16 * k); }},
        {"downwards", 0x08000000u, limit, records16, 16,
         [records16](qint64 k) { return quint32(16 * (records16 - 1 - k)); }},
        {"one-byte", 0x20000000u, 1 << 20, 1 << 20, 1,
         [](qint64 k) { return quint32((1 << 20) - 1 - k); }},
        {"shuffled", 0x08000000u, 16 << 20, 1 << 20, 16,
         [](qint64 k) { return 16 * shuffled[size_t(k)]; }},
        {"spread", 0u, (2 << 20) - 1, 1 << 20, 1, [](qint64 k) { return quint32(2 * k); }, true},
    };
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 6 && qstrcmp(argv[1], "--load") == 0)
        return loadOnce(QString::fromLocal8Bit(argv[2]), quint32(strtoul(argv[3], nullptr, 10)),
                        quint32(strtoul(argv[4], nullptr, 10)), strtoll(argv[5], nullptr, 10));
    const int runs = argc > 1 ? qMax(1, atoi(argv[1])) : 3;
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("image.hex"));
    std::printf("%-10s %9s %9s %8s %7s %9s %9s %11s %13s\n", "case", "text MB", "image MiB",
                "load s", "MB/s", "RSS0 MiB", "peak MiB", "peak/image", "growth/image");
    for (const Case &c : cases()) {
        const quint32 crc = writeHex(path, c);
        const double text = QFileInfo(path).size() / 1e6;
        std::vector<double> seconds;
        double before = 0;
        double peak = 0;
        for (int run = 0; run < runs; ++run) {
            QProcess child;
            child.start(QStringLiteral("/proc/self/exe"),
                        {QStringLiteral("--load"), path, QString::number(crc),
                         QString::number(c.start), QString::number(c.imageBytes)});
            if (!child.waitForFinished(600000) || child.exitCode() != 0) {
                std::fprintf(stderr, "%s: %s\n", c.name, child.readAllStandardError().constData());
                return 1;
            }
            const QList<QByteArray> f = child.readAllStandardOutput().trimmed().split(' ');
            seconds.push_back(f.value(0).toDouble());
            if (run == 0) {
                before = f.value(1).toDouble() / 1024;
                peak = f.value(2).toDouble() / 1024;
            }
        }
        std::sort(seconds.begin(), seconds.end());
        const double median = seconds[seconds.size() / 2];
        const double image = c.imageBytes / 1048576.0;
        std::printf("%-10s %9.1f %9.2f %8.3f %7.0f %9.1f %9.1f %10.2fx %12.2fx\n", c.name, text,
                    image, median, text / median, before, peak, peak / image,
                    (peak - before) / image);
        std::fflush(stdout);
    }
    std::printf("targets: > 100 MB/s of text; peak <= 2 x the image for records in address "
                "order, up or down\n");
    return 0;
}
