// The upgrade engine for a small image, fed arbitrary stored replies, ticks, Download and
// Cancel presses. Whatever the device says:
//   - every package sent is a correctly built package of this image: the request, a
//     full-size data package k < packetTotal, or the short final package;
//   - at most one package goes out per tick, nothing while no run is active;
//   - package k > 0 goes out only after the device acknowledged package k - 1 as written;
//   - completion is reported only on the acknowledgement of the last package, after every
//     package was sent;
//   - the engine does not stall: while requesting, every tick sends; while transferring, a
//     tick that finds no acknowledgement of the current package resends once more than
//     waitLimit ticks have passed since the last package went out.
//
// Input: 4 header bytes (image size high/low modulo 4200, waitLimit modulo 8, pattern
// seed), then commands, each one byte c with the kind c % 8:
//   0, 1: one tick            2: (next byte + 1) ticks
//   3: store an 0x81 reply with (next % 4) extra bytes
//   4: store an acknowledgement: mode byte (mode < 192: index = last sent + mode % 3 - 1;
//      else the next two bytes), status byte, (next % 4) padding bytes; the CRC is wrong
//      when the mode byte is odd and >= 192 (the engine trusts the framer; it must still
//      only send correct packages)
//   5: store up to 15 arbitrary bytes, with a CRC appended when c & 0x80
//   6: Download pressed (start)  7: Cancel pressed
#include "fuzzcheck.h"
#include "iapcontext.h"
#include "upgradeengine.h"

#include <QVector>

#include <cstddef>
#include <cstdint>

using iap::Action;
using iap::IapError;
using iap::Step;
using iap::UpgradeEngine;

namespace {

constexpr int PacketSize = 1024;

QByteArray patternImage(int size, uint8_t seed)
{
    QByteArray b(size, '\0');
    for (int i = 0; i < size; ++i)
        b[i] = char((i * 131 + (i / PacketSize) * 29 + seed) & 0xFF);
    return b;
}

QByteArray requestPackage(const QByteArray &image, int total)
{
    QByteArray b;
    const quint32 n = quint32(image.size());
    b.append(char(0xF1)).append(char(0x01));
    b.append(char(n >> 24)).append(char(n >> 16)).append(char(n >> 8)).append(char(n));
    b.append(char(total >> 8)).append(char(total));
    return fuzz::withCrc(b);
}

QByteArray dataPackage(const QByteArray &image, int k, bool shortForm)
{
    QByteArray b;
    b.append(char(0xF1)).append(char(0x02)).append(char(k >> 8)).append(char(k));
    QByteArray payload = image.mid(k * PacketSize, PacketSize);
    if (!shortForm)
        payload.append(QByteArray(PacketSize - payload.size(), '\0'));
    return fuzz::withCrc(b + payload);
}

bool isAck(const QByteArray &r)
{
    return r.size() >= 9 && quint8(r.at(1)) == 0x82; // the status lies before the trailer
}
int ackIndex(const QByteArray &r)
{
    return quint8(r.at(2)) * 256 + quint8(r.at(3));
}
int ackStatus(const QByteArray &r)
{
    return quint8(r.at(4));
}

struct Harness
{
    IapContext ctx;
    UpgradeEngine engine{&ctx};
    QByteArray image;
    int total = 0;
    int fullCount = 0;
    int lastLength = 0;

    // What the wire has shown in the current run.
    QVector<bool> sent;
    QVector<bool> acked;
    int lastSent = -1;
    int ticksSinceSend = 0;

    void resetRun()
    {
        sent.fill(false, total);
        acked.fill(false, total);
        lastSent = -1;
        ticksSinceSend = 0;
    }

    void start()
    {
        const int stateBefore = ctx.state;
        const IapError e = engine.start();
        if (image.isEmpty()) {
            FUZZ_CHECK(e == IapError::EmptyImage);
            FUZZ_CHECK(ctx.state == stateBefore);
            return;
        }
        FUZZ_CHECK(e == IapError::None);
        FUZZ_CHECK(ctx.state == IapContext::Requesting);
        FUZZ_CHECK(ctx.response.isEmpty());
        FUZZ_CHECK(engine.running());
        resetRun();
    }

    void tick()
    {
        const int stateBefore = ctx.state;
        const QByteArray stored = ctx.response;
        const Step step = engine.tick();
        const int stateAfter = ctx.state;

        FUZZ_CHECK(step.running == (stateAfter == IapContext::Requesting ||
                                    stateAfter == IapContext::Transferring));
        FUZZ_CHECK(step.running == engine.running());
        if (stateBefore != IapContext::Requesting && stateBefore != IapContext::Transferring) {
            FUZZ_CHECK(step.actions.isEmpty());
            FUZZ_CHECK(stateAfter == stateBefore);
            return;
        }

        // A package counts as written once the device acknowledged it with status 1.
        if (stateBefore == IapContext::Transferring && isAck(stored) && ackStatus(stored) == 1 &&
            ackIndex(stored) < total && sent[ackIndex(stored)])
            acked[ackIndex(stored)] = true;
        const bool answered = stored.size() > 1 && quint8(stored.at(1)) == 0x81;

        int sends = 0;
        bool completed = false;
        for (const Action &a : step.actions) {
            if (a.kind == Action::Kind::Message) {
                if (a.event == Action::Event::Completed)
                    completed = true;
                continue;
            }
            ++sends;
            const QByteArray &p = a.bytes;
            FUZZ_CHECK(p.size() >= 9);
            FUZZ_CHECK(quint8(p.at(0)) == 0xF1);
            if (quint8(p.at(1)) == 0x01) {
                FUZZ_CHECK(stateBefore == IapContext::Requesting);
                FUZZ_CHECK(stateAfter == IapContext::Requesting);
                FUZZ_CHECK(a.event == Action::Event::RequestSent);
                FUZZ_CHECK(!answered);
                FUZZ_CHECK(p == requestPackage(image, total));
                continue;
            }
            FUZZ_CHECK(quint8(p.at(1)) == 0x02);
            const int k = quint8(p.at(2)) * 256 + quint8(p.at(3));
            FUZZ_CHECK(k < total);
            const bool shortForm = p.size() != PacketSize + 8;
            if (shortForm) {
                FUZZ_CHECK(lastLength > 0 && k == fullCount);
                FUZZ_CHECK(p.size() == lastLength + 8);
            }
            FUZZ_CHECK(p == dataPackage(image, k, shortForm));
            FUZZ_CHECK(a.packetIndex == k);
            if (stateBefore == IapContext::Requesting) {
                // Package 0 follows the device's acceptance of the request.
                FUZZ_CHECK(answered);
                FUZZ_CHECK(k == 0);
                FUZZ_CHECK(stateAfter == IapContext::Transferring);
                resetRun();
            }
            FUZZ_CHECK(k == 0 || acked[k - 1]);
            FUZZ_CHECK((a.event == Action::Event::Resent) == sent[k]);
            sent[k] = true;
            lastSent = k;
        }
        FUZZ_CHECK(sends <= 1);

        if (stateBefore == IapContext::Requesting) {
            // Asking goes on until the device answers.
            FUZZ_CHECK(sends == 1);
            FUZZ_CHECK(!completed);
            return;
        }

        // Transferring: what the stored reply told the engine.
        const bool ackOfCurrent = isAck(stored) && ackIndex(stored) == lastSent;

        if (completed || stateAfter == IapContext::Finished) {
            FUZZ_CHECK(completed && stateAfter == IapContext::Finished);
            FUZZ_CHECK(sends == 0);
            FUZZ_CHECK(isAck(stored) && ackStatus(stored) == 1);
            FUZZ_CHECK(ackIndex(stored) == total - 1 && lastSent == total - 1);
            for (int k = 0; k < total; ++k)
                FUZZ_CHECK(sent[k] && (k == total - 1 || acked[k]));
            FUZZ_CHECK(engine.packagesDone() == total);
            FUZZ_CHECK(engine.bytesDone() == image.size());
            return;
        }
        FUZZ_CHECK(stateAfter == IapContext::Transferring);

        if (sends == 0) {
            ++ticksSinceSend;
            if (!ackOfCurrent)
                FUZZ_CHECK(ticksSinceSend <= ctx.waitLimit);
        } else {
            ticksSinceSend = 0;
        }
        FUZZ_CHECK(engine.bytesDone() <= image.size());
    }

    void store(QByteArray reply) { ctx.response = std::move(reply); }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::silenceQt();
    fuzz::Input in(data, size);

    Harness h;
    const int hi = in.byte();
    const int lo = in.byte();
    const int imageSize = (hi * 256 + lo) % 4200;
    h.ctx.waitLimit = in.byte() % 8;
    h.image = patternImage(imageSize, in.byte());
    h.ctx.setImage(h.image);
    h.fullCount = imageSize / PacketSize;
    h.lastLength = imageSize % PacketSize;
    h.total = h.fullCount + (h.lastLength ? 1 : 0);
    FUZZ_CHECK(h.ctx.packetTotal == h.total);
    h.start();

    while (!in.atEnd()) {
        const uint8_t c = in.byte();
        switch (c % 8) {
        case 0:
        case 1:
            h.tick();
            break;
        case 2:
            for (int n = in.byte() + 1; n > 0; --n)
                h.tick();
            break;
        case 3: {
            QByteArray b = QByteArray::fromHex("F181") + in.bytes(in.byte() % 4);
            h.store(fuzz::withCrc(b));
            break;
        }
        case 4: {
            const int mode = in.byte();
            int index;
            if (mode < 192) {
                index = h.lastSent + mode % 3 - 1;
            } else {
                const int ih = in.byte();
                index = ih * 256 + in.byte();
            }
            QByteArray b = QByteArray::fromHex("F182");
            b.append(char(index >> 8)).append(char(index)).append(char(in.byte()));
            b += in.bytes(in.byte() % 4);
            b = fuzz::withCrc(b);
            if (mode >= 192 && (mode & 1))
                b[b.size() - 1] = char(b.at(b.size() - 1) ^ 0x5A);
            h.store(b);
            break;
        }
        case 5: {
            QByteArray b = in.bytes(in.byte() % 16);
            h.store((c & 0x80) ? fuzz::withCrc(b) : b);
            break;
        }
        case 6:
            h.start();
            break;
        case 7:
            h.engine.cancel();
            FUZZ_CHECK(h.ctx.state == IapContext::Idle);
            FUZZ_CHECK(!h.engine.running());
            break;
        }
    }
#ifdef FUZZ_TRACE // for writing seeds: where did the scenario end?
    std::fprintf(stderr, "state %d, packages written %d of %d, requests %d\n", h.ctx.state,
                 h.engine.packagesDone(), h.total, h.engine.requestsSent());
#endif
    return 0;
}
