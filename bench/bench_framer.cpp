// CPU cost per byte of finding replies in 64 KiB of noise that trickles in a few bytes at a
// time: the flasher's stream framer (running CRCs, at most 64 open candidates) against the
// old way of the fast mode (the burst gathered and its CRC tested whole on every read, so
// the cost grows with the square of the burst). The noise starts with 0xF1, as a line
// that picks up a start byte and then garbage does; a second kind is nothing but 0xF1, the
// worst case for the stream framer.
#include "replyframer.h"
#include "streamframer.h"

#include <QVector>
#include <benchmark/benchmark.h>

namespace {

constexpr int NoiseBytes = 64 * 1024;

QByteArray noise(bool allStartBytes)
{
    QByteArray bytes(NoiseBytes, char(0xF1));
    if (allStartBytes)
        return bytes;
    quint32 x = 12345;
    for (int i = 1; i < bytes.size(); ++i) {
        x = x * 1103515245u + 12345u;
        bytes[i] = char(x >> 24);
    }
    return bytes;
}

void BM_StreamFramer(benchmark::State &state)
{
    const QByteArray bytes = noise(state.range(1) != 0);
    const int read = int(state.range(0));
    for (auto _ : state) {
        links::StreamFramer framer;
        QVector<links::StreamFramer::Frame> frames;
        for (int i = 0; i < bytes.size(); i += read)
            frames += framer.append(bytes.constData() + i, qMin(read, bytes.size() - i));
        benchmark::DoNotOptimize(frames);
    }
    state.SetBytesProcessed(state.iterations() * bytes.size());
    state.counters["ns_per_byte"] =
        benchmark::Counter(double(bytes.size()), benchmark::Counter::kIsIterationInvariantRate |
                                                     benchmark::Counter::kInvert);
}

void BM_WholeBurstRetested(benchmark::State &state)
{
    const QByteArray bytes = noise(state.range(1) != 0);
    const int read = int(state.range(0));
    for (auto _ : state) {
        QByteArray burst;
        links::ReplyFramer framer(&burst);
        QByteArray frame;
        for (int i = 0; i < bytes.size(); i += read) {
            framer.append(bytes.mid(i, read));
            benchmark::DoNotOptimize(framer.takeIfComplete(&frame));
        }
    }
    state.SetBytesProcessed(state.iterations() * bytes.size());
    state.counters["ns_per_byte"] =
        benchmark::Counter(double(bytes.size()), benchmark::Counter::kIsIterationInvariantRate |
                                                     benchmark::Counter::kInvert);
}

} // namespace

// Arguments: bytes per read, noise kind (0 random after one 0xF1, 1 all 0xF1).
BENCHMARK(BM_StreamFramer)
    ->Args({3, 0})
    ->Args({3, 1})
    ->Args({64, 0})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WholeBurstRetested)
    ->Args({3, 0})
    ->Args({3, 1})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);

BENCHMARK_MAIN();
