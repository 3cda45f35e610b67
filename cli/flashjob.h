#pragma once

#include "capabilitycheck.h"
#include "exitcodes.h"
#include "inflight.h"
#include "rateswitch.h"
#include "writequeue.h"

#include "iapcontext.h"
#include "portlink.h"
#include "resetsequence.h"
#include "streamframer.h"
#include "upgraderun.h"
#include "verification.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <chrono>
#include <memory>

namespace flash {

// One upgrade of one device on one port: the port, the reply framer and the timers around
// the run policy (iap::UpgradeRun), which decides everything else. Several jobs can run side
// by side on the one event loop. A job never writes a line for the user: it reports what
// happens through its signals, and the caller words it.
class FlashJob : public QObject
{
    Q_OBJECT
public:
    struct Options
    {
        QString port;
        qint32 baud = 115200;
        // Act on a reply the moment it completes, instead of 30 ms later at the next 50 ms
        // tick: only a reply the run acts on (the acceptance of the request, the
        // acknowledgement of the package last sent) steps at once; everything else waits for
        // the tick. Wire bytes stay the same.
        bool fast = false;
        // Give up when one package has been resent this many times in a row (0: never).
        int maxResends = 10;
        // Give up when the device has not accepted the request in this time (0: never).
        std::chrono::milliseconds requestTimeout{30000};
        // 50 ms ticks' worth of real time without an acknowledgement before a package is
        // resent (100: 5 s).
        int waitLimit = 100;
        // After the last acknowledgement, ask the device for the CRC-32 of what it holds.
        bool verify = false;
        // Played on the modem lines once the port is open, before the first request (the
        // board put into its boot loader), and after a successful upgrade (the board reset
        // into its new application). Empty: nothing.
        links::ResetSequence reset;
        links::ResetSequence after;
        // Ask the device what fits it before the first request (capabilitycheck.h), and
        // refuse an image that does not fit; `span` says where the image goes.
        bool askCapabilities = true;
        iap::ImageSpan span;
        // --boost: once the request is accepted, switch the line to the highest rate both
        // the device (its capability answer) and `boostBaud` (0: no cap) allow.
        bool boost = false;
        qint32 boostBaud = 0;
    };

    // --boost, at a switched rate: 50 ms ticks without an acknowledgement before a resend
    // (0.5 s, within the device's 1 s fall-back).
    static constexpr int BoostWaitLimit = 10;

    enum class Failure
    {
        None,
        OpenFailed,     // linkError() says why
        PortLost,       // linkError() says why
        NoAnswer,       // no reply to the request within requestTimeout
        TooManyResends, // failedPackage() was resent maxResends times in a row
        Interrupted,
        CannotVerify,   // --verify: the device did not answer, or cannot read its image back
        VerifyMismatch, // --verify: the device holds something else (verification() says what)
        DoesNotFit,     // the device's capability answer: the image does not fit
                        // (capabilityCheck() says how); nothing was requested
        Refused,        // the device refused the request (refusal() says why)
    };

    FlashJob(const Options &options, const QByteArray &image, QObject *parent = nullptr);
    // On a link of the caller's instead of the one options.port names.
    FlashJob(const Options &options, const QByteArray &image, std::unique_ptr<links::PortLink> link,
             QObject *parent = nullptr);
    ~FlashJob() override;

    // Opens the port and starts the upgrade. Every outcome, a failed open included, is
    // reported by finished(), never from within start() itself.
    void start();
    // Stops the upgrade and closes the port; finished() follows with Interrupted, and the job
    // exits with code (130, or 128 + the signal that stopped it).
    void interrupt(flash::ExitCode code = flash::Interrupted);

    const Options &options() const { return m_options; }
    bool isFinished() const { return m_finished; }
    flash::ExitCode exitCode() const;
    Failure failure() const { return m_failure; }
    links::LinkError linkError() const { return m_linkError; }
    QString serialReason() const { return m_serialReason; }
    // The run's policy and counters: image size and package total, packages and bytes
    // acknowledged, requests, resends (in all and of the current package), the package given
    // up on.
    const iap::UpgradeRun &run() const { return m_run; }
    // After --verify: what the device said (nullptr without --verify or before the upgrade
    // completed).
    const iap::Verification *verification() const { return m_verification.get(); }
    // The capability question before the first request (nullptr when it was not asked).
    const flash::CapabilityCheck *capabilityCheck() const { return m_check.get(); }
    // Failure::Refused: the device's refusal.
    const iap::Refusal &refusal() const { return m_refusal; }
    // --boost: the rate switch (nullptr when none was proposed).
    const flash::RateSwitch *rateSwitch() const { return m_switch.get(); }
    // The line's rate and the packages kept in flight now.
    qint32 baudInUse() const;
    int windowInUse() const;

    // Bytes put on the line and taken from it, for the wire-time figure.
    qint64 bytesWritten() const { return m_bytesWritten; }
    qint64 bytesRead() const { return m_framer.received(); }
    // How long a network port is given to confirm a modem line (0 for a local port, which
    // answers at once).
    std::chrono::milliseconds modemLineWait() const;
    // Seconds since start() (frozen when the job finishes).
    double seconds() const;
    // Seconds since the device accepted the request (0 before).
    double transferSeconds() const;

signals:
    // The port is open; the first request follows (after the reset sequence, if any).
    void started();
    // A line of a reset sequence could not be set (no modem lines on the port, or no
    // confirmation within modemLineWait()): the rest of the sequence was skipped and the run
    // goes on. Once per job at most.
    void modemLineMissing(links::ModemLine line);
    // Each action of the engine, after it was carried out (bytes sent, line to report).
    void action(const iap::Action &action);
    // A reply frame was found on the line.
    void replyReceived(const QByteArray &frame);
    // --verify: the questions went out; verified() follows with the answer, or finished()
    // with CannotVerify.
    void verifying();
    void verified();
    void finished();

private:
    using Frame = links::StreamFramer::Frame; // the bytes and the position of the first one

    void onOpened();
    void onOpenFailed(links::LinkError error, const QString &reason);
    void onResetPlayed(bool ok, links::ModemLine line);
    void beginRun();
    // The capability question answered (or not): the requests start, or the image is refused.
    void onCapabilitiesKnown();
    void beginRequests();
    // --boost, the request accepted: propose a faster rate (true) when both ends allow one.
    bool beginSwitch();
    void onSwitched();
    // --boost, packages in flight: the packages after the current one, up to the window;
    // `early`: the acknowledgement of the package the run just came to, which went out ahead
    // and was answered before (empty: none).
    void sendAhead(const QByteArray &early);
    void replayEarly(const QByteArray &ack);
    // A refusal of the request, while the run is requesting: the job fails at once.
    bool takeRefusal(const QByteArray &frame, qint64 firstByte);
    // The upgrade (and its verification) ended well: the after-sequence, then success.
    void succeed();
    void onBytes();
    void takeSlice();
    void onQuiet();
    void onTick();
    void onRequestTimeout();
    void onLost(links::LinkError error, const QString &reason);
    void handOver(const QVector<Frame> &frames);
    // Bytes for what the run (or the question) waits on.
    void send(const QByteArray &bytes);
    // Bytes whose answers `owner` waits for (a WriteQueue owner).
    void write(const QByteArray &bytes, int owner);
    void onWritten();
    // Every write the operating system has taken in full by now gets `position` as its mark;
    // true when there was one.
    bool settle(qint64 position);
    // Bytes of the line that reached this machine so far: read (framed or not), and with
    // `unread` also those the operating system holds for reading.
    qint64 arrived(bool unread) const;
    // The last write of `owner` is out: replies that began before `position` do not answer it.
    void markWritten(int owner, qint64 position);
    void startVerification();
    void onVerifyTimeout();
    void verificationStep(const QByteArray &question);
    void finish(Failure failure);

    Options m_options;
    IapContext m_context;
    iap::UpgradeRun m_run;
    std::unique_ptr<links::PortLink> m_link;
    std::unique_ptr<links::ResetPlayer> m_player; // plays on m_link
    enum class Phase
    {
        Opening,
        Resetting, // the sequence before the first request
        Asking,    // the capability question before the first request
        Running,
        Switching, // --boost: the rate switch, between the acceptance and the first package
        After      // the sequence after success
    } m_phase = Phase::Opening;
    bool m_lineMissingTold = false;
    links::StreamFramer m_framer;
    std::unique_ptr<iap::Verification> m_verification;
    std::unique_ptr<flash::CapabilityCheck> m_check;
    std::unique_ptr<flash::RateSwitch> m_switch;
    std::unique_ptr<flash::InFlight> m_inflight;
    iap::Refusal m_refusal;
    qint64 m_requestsFrom = 0; // stream position when the first request went out
    // Frames found but not yet handed to the run (default mode: they wait one quiet gap).
    QVector<Frame> m_pending;
    // Bytes received and not framed yet: a peer that floods the line is framed a slice at a
    // time, so that the timers keep their time.
    QByteArray m_inbox;
    bool m_sliceQueued = false;
    static constexpr int Current = flash::WriteQueue::Current;
    // The writes not taken in full by the operating system yet. A frame found while what it
    // may answer is among them waits in m_held, with the frames after it, until that is out.
    flash::WriteQueue m_writes;
    QVector<Frame> m_held;
    int m_handOvers = 0;
    // Since the package last sent went out: the acknowledgement wait, in real time.
    QElapsedTimer m_ackClock;
    QTimer m_tickTimer;
    QTimer m_frameTimer;
    QTimer m_requestTimer;
    QTimer m_verifyTimer;
    QElapsedTimer m_clock;
    qint64 m_endMs = -1;
    qint64 m_acceptedMs = -1;

    bool m_finished = false;
    Failure m_failure = Failure::None;
    links::LinkError m_linkError;
    QString m_serialReason;
    flash::ExitCode m_interruptCode = flash::Interrupted;
    qint64 m_bytesWritten = 0;
};

} // namespace flash
