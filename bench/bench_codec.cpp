// CRC-32 throughput beside zlib's, and the cost of building one full data package.
#include "crc32.h"
#include "iapcontext.h"

#include <benchmark/benchmark.h>
#include <zlib.h>

namespace {

QByteArray randomBuffer(int n)
{
    QByteArray b(n, '\0');
    quint32 x = 2463534242u;
    for (char &c : b) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = char(x);
    }
    return b;
}

void BM_Crc32(benchmark::State &state)
{
    const QByteArray buf = randomBuffer(int(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(iap::crc::of(buf));
    state.SetBytesProcessed(state.iterations() * buf.size());
}

void BM_Crc32Zlib(benchmark::State &state)
{
    const QByteArray buf = randomBuffer(int(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(
            crc32(0L, reinterpret_cast<const Bytef *>(buf.constData()), uInt(buf.size())));
    state.SetBytesProcessed(state.iterations() * buf.size());
}

void BM_MakeDataPackage(benchmark::State &state)
{
    IapContext ctx;
    ctx.setImage(randomBuffer(64 * 1024));
    int index = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(ctx.makeDataPackage(index));
        index = (index + 1) % ctx.packetTotal;
    }
}

} // namespace

BENCHMARK(BM_Crc32)->Arg(1028)->Arg(1 << 20);
BENCHMARK(BM_Crc32Zlib)->Arg(1028)->Arg(1 << 20);
BENCHMARK(BM_MakeDataPackage);
BENCHMARK_MAIN();
