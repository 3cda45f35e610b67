// CPU cost of the upgrade engine alone: a whole upgrade of 1, 8 and 64 MiB driven tick by
// tick against an in-process device that acknowledges every package at once. No port, no
// timers, no wire pacing: what is left is building packages (with their CRC) and the
// engine's bookkeeping. The time per package should not depend on the image size.
#include "iapcontext.h"
#include "upgradeengine.h"

#include <benchmark/benchmark.h>

namespace {

QByteArray replyFrame(char code, int index)
{
    QByteArray frame(9, '\0');
    frame[0] = char(0xF1);
    frame[1] = code;
    frame[2] = char(index >> 8);
    frame[3] = char(index);
    frame[4] = 1; // written
    const QByteArray crc = IapContext::crcBytes(frame, 5);
    frame.replace(5, 4, crc);
    return frame;
}

void BM_EngineUpgrade(benchmark::State &state)
{
    const qint64 bytes = state.range(0) * 1024 * 1024;
    QByteArray image(int(bytes), Qt::Uninitialized);
    for (qint64 i = 0; i < bytes; ++i)
        image[int(i)] = char(i * 131 + (i >> 10));
    IapContext ctx;
    ctx.setImage(image);
    const QByteArray accepted = replyFrame(char(0x81), 0);

    qint64 packages = 0;
    for (auto _ : state) {
        iap::UpgradeEngine engine(&ctx);
        engine.start();
        while (engine.running()) {
            const iap::Step step = engine.tick();
            for (const iap::Action &a : step.actions) {
                if (a.kind != iap::Action::Kind::Send)
                    continue;
                benchmark::DoNotOptimize(a.bytes.constData());
                // The device: accept the request, acknowledge each package as written.
                ctx.response =
                    a.bytes.at(1) == 0x01 ? accepted : replyFrame(char(0x82), a.packetIndex);
            }
        }
        if (ctx.state != IapContext::Finished) {
            state.SkipWithError("the upgrade did not finish");
            return;
        }
        packages += engine.packagesDone();
    }
    state.SetItemsProcessed(packages);
    state.SetBytesProcessed(int64_t(state.iterations()) * bytes);
    state.counters["packages"] = double(ctx.packetTotal);
    // CPU time per package (invert of the rate).
    state.counters["per_package"] =
        benchmark::Counter(double(ctx.packetTotal), benchmark::Counter::kIsIterationInvariantRate |
                                                        benchmark::Counter::kInvert);
}

} // namespace

BENCHMARK(BM_EngineUpgrade)->Arg(1)->Arg(8)->Arg(64)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
