#pragma once

#include "firmwarefile.h"
#include "iapcontext.h"
#include "language.h"
#include "upgradeengine.h"

#include <QByteArray>
#include <QString>
#include <chrono>
#include <optional>

namespace iap {

// How far into the stream of bytes received from the device something lies: the number of
// bytes received before it on this line.
using StreamPosition = qint64;

// The policy of one upgrade run, the same for the window and iap-flash: which replies count,
// when a package is resent or given up, how a lost line or an unanswered request ends the
// run, and what is said about the image. It owns the engine and the run's counters and works
// on the context it is given; it never touches a port, a widget or a timer. The driver feeds
// it reply frames and ticks and carries out the actions it returns.
class UpgradeRun
{
public:
    enum class Outcome
    {
        Running,   // requesting or transferring
        Idle,      // not started, or cancelled
        Completed, // the last package was acknowledged as written
        GaveUp,    // one package was resent more than the cap allows
        NoAnswer,  // the request was not answered in time
        LineLost,  // the line went while the run was active
    };

    // What became of a reply frame offered to the run.
    enum class Offer
    {
        Ignored, // not kept: it arrived before what it would answer went out, or a reply the
                 // run will act on is already waiting
        Stored,  // kept as the last reply; it changes nothing but the wait
        ActNow,  // kept, and the run acts on it at its next tick: a driver that steps at once
                 // may tick now
    };

    // maxResends: give up once one package has been resent this many times in a row (0: never,
    // as the window does).
    explicit UpgradeRun(IapContext *context, int maxResends = 0);

    // Download pressed. Refuses an image that cannot be sent; nothing changes then.
    IapError start();
    // Cancel pressed: nothing is sent to the device.
    void cancel();
    bool running() const { return m_engine.running(); }
    Outcome outcome() const { return m_state.outcome; }

    // A valid reply frame whose first byte was the byte at `firstByte` of the stream received.
    // An acknowledgement can only be for a package that has gone out: a frame that began to
    // arrive before the last package (or, while requesting, the first request) was written is
    // never taken. Of the rest, a reply the engine will act on is kept for its tick; anything
    // else (an echo, a keep-alive) replaces the stored reply only when that one is not such a
    // reply.
    Offer offer(const QByteArray &frame, StreamPosition firstByte);

    // One step. `received`: bytes received on the line so far (what arrives after this counts
    // as an answer to what this step sends). `sinceSend`: for drivers whose ticks are not
    // evenly 50 ms apart, the real time since the package last sent went out; without it the
    // wait is counted in ticks, as the window does. A step that would resend a package more
    // often than the cap allows is not carried out: the run ends with GaveUp instead.
    Step tick(StreamPosition received,
              std::optional<std::chrono::milliseconds> sinceSend = std::nullopt);

    // What the last step sent has been taken by the operating system in full, and `received`
    // bytes had reached the host by then (read or not): a frame that began before is no answer
    // to it. A driver whose writes can wait in a buffer calls this once they are done; until
    // then the position given to tick() stands.
    void written(StreamPosition received);

    // The line has gone. What arrived before it went has been offered already. A device may
    // leave its boot loader the moment it has acknowledged the last package: then the run is
    // completed with the two completion lines in the step returned. Otherwise an active run
    // ends with LineLost (the device holds part of an image).
    Step lineLost();
    // The request was not answered in the time the driver allows. True (and the run ends with
    // NoAnswer) when it is still requesting.
    bool requestTimedOut();
    // The last lineLost() found an upgrade in progress that did not complete: the device holds
    // part of an image and must be flashed again.
    bool lostMidUpgrade() const { return m_state.lostMidUpgrade; }

    // The image summary: length, package size and total, and for a converted file where its
    // addresses lie.
    static QString summaryText(const FirmwareFile &file, Language language);

    // Counters of the current run.
    int requestsSent() const { return m_engine.requestsSent(); }
    int resendsTotal() const { return m_state.resendsTotal; }
    int consecutiveResends() const { return m_engine.consecutiveResends(); }
    int packagesDone() const { return m_engine.packagesDone(); }
    qint64 bytesDone() const { return m_engine.bytesDone(); }
    qint64 imageBytes() const { return m_ctx->firmware.size(); }
    int packetTotal() const { return m_ctx->packetTotal; }
    // The package given up on (GaveUp), 0-based.
    int failedPackage() const { return m_state.failedPackage; }

private:
    // Everything one run learns, set back as a whole when the next one starts: a run must
    // not report what an earlier one saw (a line lost mid-upgrade, replies not taken).
    struct RunState
    {
        Outcome outcome = Outcome::Idle;
        StreamPosition sentAt = 0; // received bytes when the package last sent went out
        bool requested = false;    // the first request of the run has gone out
        bool markOpen = false;     // sentAt may still move on to where the write completed
        int resendsTotal = 0;
        int failedPackage = -1;
        bool lostMidUpgrade = false;
    };

    IapContext *m_ctx;
    UpgradeEngine m_engine;
    int m_maxResends;
    RunState m_state;
};

} // namespace iap
