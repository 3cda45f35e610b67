#pragma once

#include "iapcontext.h"
#include "language.h"
#include "messages.h"

#include <QByteArray>
#include <QString>
#include <QVector>
#include <chrono>

namespace iap {

// One thing the engine asks its driver to do, in order: put bytes on the line, or write a
// line for the user.
struct Action
{
    enum class Kind
    {
        Send,
        Message
    };
    // What happened, for drivers that report events rather than texts (the flasher's JSON).
    enum class Event
    {
        None,
        RequestSent,     // Send: the update request
        Accepted,        // Message: the device answered the request
        PackageSent,     // Send: a package, first time
        Progress,        // Message: packageNumber (1-based) of packageTotal
        DataErrorResend, // Message, then Send: the device rejected the package
        TimeoutResend,   // Message, then Send: no acknowledgement in time
        Resent,          // Send: a package again
        Completed,       // Message: the last package was written (two lines)
    };

    Kind kind = Kind::Message;
    Event event = Event::None;
    QByteArray bytes;                // Send
    Text text = Text::RequestUpdate; // Message
    int packageNumber = 0;           // Progress: the package sent, 1-based
    int packageTotal = 0;            // Progress: the packages of the image
    int packetIndex = 0; // index of the package concerned (Send of a package, resend messages)

    // The message in the given language, with its arguments filled in.
    QString render(Language language) const;
};

struct Step
{
    QVector<Action> actions;
    bool running = false; // the driver restarts its 50 ms tick only when true
};

// The upgrade as a pure object: it reads and writes the context it is given, and turns a
// button press or one tick into an ordered list of actions. It never touches a port, a
// widget or a timer, so a test can drive it tick by tick.
//
// The device answers the request with a 0x81 frame and every package with a 0x82 frame
// (echoed index, status 1 written / 2 or 3 data error). Each stored acknowledgement is
// acted on once, and a package whose acknowledgement does not come is resent after
// waitLimit ticks.
class UpgradeEngine
{
public:
    explicit UpgradeEngine(IapContext *context);

    // Download pressed: state Requesting, stored reply cleared. Refuses an image that
    // cannot be sent (empty, or over 65535 packages); the context is then left unchanged.
    IapError start();
    // Cancel pressed: state Idle. Nothing is sent to the device.
    void cancel();
    // One step of the machine (every 50 ms while running).
    Step tick();
    // The line has gone. A device may leave its boot loader the moment it has acknowledged
    // the last package: when the stored reply is that acknowledgement, this finishes the run
    // with it (the two completion messages). A stored acknowledgement of an earlier package is
    // counted as written; the driver then stops the run.
    Step completeFromStoredReply();

    // True when the engine would act on this reply at its next tick: the acceptance of the
    // request while requesting, or an acknowledgement of the package last sent with status 1,
    // 2 or 3 while transferring. Any other frame (an echo, a keep-alive, a stale
    // acknowledgement) changes nothing but the wait.
    bool actsOn(const QByteArray &reply) const;
    // For drivers whose ticks are not evenly 50 ms apart: how long the package last sent has
    // waited for its acknowledgement, in real time. The next tick counts the wait from there,
    // so the resend comes once waitLimit ticks' worth of time has passed, however many ticks
    // that took.
    void setAckWait(std::chrono::milliseconds waited);

    bool running() const;
    // Resends of the current package since it was first sent (0 after a good acknowledgement).
    int consecutiveResends() const { return m_resends; }
    // Requests sent in the current run before the device answered.
    int requestsSent() const { return m_requests; }
    // Packages acknowledged as written in the current run.
    int packagesDone() const { return m_done; }
    // Image bytes acknowledged as written in the current run.
    qint64 bytesDone() const;

private:
    void send(Step &step, QByteArray bytes, Action::Event event);
    void message(Step &step, Text text, Action::Event event, int packageNumber = 0,
                 int packageTotal = 0);
    QByteArray currentPackageForTimeout() const;
    void tickRequesting(Step &step);
    void tickTransferring(Step &step);

    IapContext *m_ctx;
    int m_resends = 0;
    int m_requests = 0;
    int m_done = 0;
};

} // namespace iap
