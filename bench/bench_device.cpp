// CPU cost per byte of the device core (device/iap_device.c) on the line it may meet:
// random noise, noise made of nothing but start bytes and data codes (F1 02 F1 02 ..., every
// 0xF1 could start a package), and a clean transfer of a 64 KiB image (one request, 64
// packages). The core follows at most IAP_DEV_CANDIDATES frames at once, so the start-byte
// noise costs a bounded multiple of random noise instead of a search of up to a package per
// byte.
#include "iap_device.h"

#include <QByteArray>
#include <QVector>
#include <benchmark/benchmark.h>

namespace {

constexpr int LineBytes = 64 * 1024;

void sendNothing(void *, const uint8_t *, uint8_t) {}
iap_dev_result acceptAll(void *, uint32_t)
{
    return IAP_DEV_OK;
}
iap_dev_result writeNowhere(void *, uint32_t, const uint8_t *, uint16_t)
{
    return IAP_DEV_OK;
}

QByteArray withCrc(QByteArray body)
{
    const uint32_t c =
        iap_dev_crc32(reinterpret_cast<const uint8_t *>(body.constData()), size_t(body.size()));
    body.append(char(c >> 24)).append(char(c >> 16)).append(char(c >> 8)).append(char(c));
    return body;
}

QByteArray line(int kind)
{
    QByteArray bytes;
    if (kind == 0) { // random bytes
        bytes.resize(LineBytes);
        quint32 x = 12345;
        for (char &b : bytes) {
            x = x * 1103515245u + 12345u;
            b = char(x >> 24);
        }
    } else if (kind == 1) { // start bytes and data codes
        for (int i = 0; i < LineBytes / 2; ++i)
            bytes.append(char(0xF1)).append(char(0x02));
    } else { // a clean transfer: request, then 64 full packages of random payload
        const int packages = LineBytes / 1024;
        QByteArray request("\xF1\x01", 2);
        request.append(char(0)).append(char(LineBytes >> 16)).append(char(LineBytes >> 8));
        request.append(char(0)).append(char(0)).append(char(packages));
        bytes = withCrc(request);
        quint32 x = 99;
        for (int i = 0; i < packages; ++i) {
            QByteArray p("\xF1\x02", 2);
            p.append(char(i >> 8)).append(char(i));
            for (int j = 0; j < 1024; ++j) {
                x = x * 1103515245u + 12345u;
                p.append(char(x >> 24));
            }
            bytes += withCrc(p);
        }
    }
    return bytes;
}

void BM_DeviceCore(benchmark::State &state)
{
    const QByteArray bytes = line(int(state.range(0)));
    const iap_dev_port port = {nullptr,
                               uint32_t(LineBytes),
                               sendNothing,
                               acceptAll,
                               writeNowhere,
                               nullptr,
                               nullptr,
                               0,
                               0,
                               nullptr,
                               0,
                               1,
                               nullptr};
    iap_dev dev;
    for (auto _ : state) {
        iap_dev_init(&dev, &port);
        iap_dev_feed_bytes(&dev, reinterpret_cast<const uint8_t *>(bytes.constData()),
                           size_t(bytes.size()));
        benchmark::DoNotOptimize(dev.rx_len);
    }
    state.SetBytesProcessed(state.iterations() * bytes.size());
    state.counters["ns_per_byte"] =
        benchmark::Counter(double(bytes.size()), benchmark::Counter::kIsIterationInvariantRate |
                                                     benchmark::Counter::kInvert);
}

} // namespace

// Argument: the line (0 random noise, 1 F1 02 F1 02 ..., 2 a clean 64 KiB transfer).
BENCHMARK(BM_DeviceCore)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
