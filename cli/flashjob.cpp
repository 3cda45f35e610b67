#include "flashjob.h"

#include "netlink.h"
#include "portname.h"
#include "timing.h"

#include <limits>
#include <utility>

namespace flash {

namespace {

// The options have been checked: a name that does not parse is a local path.
links::PortName portName(const QString &text)
{
    links::PortName name;
    if (links::parsePortName(text, &name) != links::PortNameError::None) {
        name = links::PortName();
        name.text = text;
    }
    return name;
}

} // namespace

FlashJob::FlashJob(const Options &options, const QByteArray &image, QObject *parent)
    : FlashJob(options, image, links::makePortLink(portName(options.port)), parent)
{
}

FlashJob::FlashJob(const Options &options, const QByteArray &image,
                   std::unique_ptr<links::PortLink> link, QObject *parent)
    : QObject(parent), m_options(options), m_run(&m_context, options.maxResends),
      m_link(std::move(link)), m_player(std::make_unique<links::ResetPlayer>(m_link.get()))
{
    m_context.firmwarePath = options.port;
    m_context.setImage(image);
    m_context.waitLimit = options.waitLimit;

    m_tickTimer.setSingleShot(true);
    // Never early: requests go out at most every 50 ms.
    m_tickTimer.setTimerType(Qt::PreciseTimer);
    m_frameTimer.setSingleShot(true);
    m_frameTimer.setInterval(iap::QuietGap);
    m_requestTimer.setSingleShot(true);
    m_verifyTimer.setSingleShot(true);
    connect(&m_tickTimer, &QTimer::timeout, this, &FlashJob::onTick);
    connect(&m_frameTimer, &QTimer::timeout, this, &FlashJob::onQuiet);
    connect(&m_requestTimer, &QTimer::timeout, this, &FlashJob::onRequestTimeout);
    connect(&m_verifyTimer, &QTimer::timeout, this, &FlashJob::onVerifyTimeout);
    connect(m_link.get(), &links::PortLink::opened, this, &FlashJob::onOpened);
    connect(m_link.get(), &links::PortLink::openFailed, this, &FlashJob::onOpenFailed);
    connect(m_link.get(), &links::PortLink::received, this, &FlashJob::onBytes);
    connect(m_link.get(), &links::PortLink::lost, this, &FlashJob::onLost);
    connect(m_link.get(), &links::PortLink::written, this, &FlashJob::onWritten);
    connect(m_player.get(), &links::ResetPlayer::finished, this, &FlashJob::onResetPlayed);
}

FlashJob::~FlashJob()
{
    m_player->stop();
    m_link->close();
}

std::chrono::milliseconds FlashJob::modemLineWait() const
{
    return portName(m_options.port).kind == links::PortName::Kind::Rfc2217
               ? links::NetLink::ModemLineWait
               : std::chrono::milliseconds(0);
}

flash::ExitCode FlashJob::exitCode() const
{
    switch (m_failure) {
    case Failure::None:
        return flash::Success;
    case Failure::OpenFailed:
    case Failure::PortLost:
        return flash::PortFailed;
    case Failure::NoAnswer:
        return flash::NoAnswer;
    case Failure::TooManyResends:
        return flash::TooManyResends;
    case Failure::Interrupted:
        return m_interruptCode;
    case Failure::CannotVerify:
        return flash::CannotVerify;
    case Failure::VerifyMismatch:
        return flash::VerifyMismatch;
    case Failure::DoesNotFit:
        return flash::FirmwareFile;
    case Failure::Refused:
        return flash::Refused;
    }
    return flash::PortFailed;
}

double FlashJob::seconds() const
{
    if (!m_clock.isValid())
        return 0;
    const qint64 end = m_endMs >= 0 ? m_endMs : m_clock.elapsed();
    return end / 1000.0;
}

double FlashJob::transferSeconds() const
{
    if (!m_clock.isValid() || m_acceptedMs < 0)
        return 0;
    const qint64 end = m_endMs >= 0 ? m_endMs : m_clock.elapsed();
    return (end - m_acceptedMs) / 1000.0;
}

void FlashJob::start()
{
    m_clock.start();
    m_phase = Phase::Opening;
    m_link->open(m_options.baud);
}

void FlashJob::onOpenFailed(links::LinkError error, const QString &reason)
{
    m_linkError = error;
    m_serialReason = reason;
    finish(Failure::OpenFailed);
}

void FlashJob::onOpened()
{
    if (m_finished)
        return;
    emit started();
    if (m_finished || m_options.reset.isEmpty()) {
        beginRun();
        return;
    }
    m_phase = Phase::Resetting;
    m_player->play(m_options.reset);
}

void FlashJob::onResetPlayed(bool ok, links::ModemLine line)
{
    if (m_finished)
        return;
    if (!ok && !m_lineMissingTold) {
        // The user may press the button instead: the run goes on.
        m_lineMissingTold = true;
        emit modemLineMissing(line);
    }
    if (m_phase == Phase::Resetting)
        beginRun();
    else if (m_phase == Phase::After)
        finish(Failure::None);
}

void FlashJob::beginRun()
{
    if (m_finished)
        return;
    // The caller has checked the image; the run refuses nothing here. It starts before the
    // capability question, so that a line lost meanwhile is reported as during the upgrade.
    m_run.start();
    if (!m_options.askCapabilities) {
        beginRequests();
        return;
    }
    m_phase = Phase::Asking;
    m_check = std::make_unique<flash::CapabilityCheck>(m_options.span);
    connect(m_check.get(), &flash::CapabilityCheck::send, this, &FlashJob::send);
    connect(m_check.get(), &flash::CapabilityCheck::finished, this, &FlashJob::onCapabilitiesKnown);
    m_check->start(m_framer.received());
}

void FlashJob::onCapabilitiesKnown()
{
    if (m_finished)
        return;
    if (m_check->result() == flash::CapabilityCheck::Result::DoesNotFit)
        finish(Failure::DoesNotFit);
    else
        beginRequests();
}

bool FlashJob::takeRefusal(const QByteArray &frame, qint64 firstByte)
{
    if (m_acceptedMs >= 0 || firstByte < m_requestsFrom || !iap::Refusal::decode(frame, &m_refusal))
        return false;
    finish(Failure::Refused);
    return true;
}

void FlashJob::beginRequests()
{
    if (m_finished)
        return;
    m_requestsFrom = m_framer.received();
    m_phase = Phase::Running;
    if (m_options.requestTimeout.count() > 0)
        m_requestTimer.start(m_options.requestTimeout);
    // The window sends the first request one tick after Download; the fast mode at once.
    m_tickTimer.start(m_options.fast ? std::chrono::milliseconds(0) : iap::TickInterval);
}

void FlashJob::interrupt(flash::ExitCode code)
{
    if (m_phase == Phase::After) {
        // Only the reset into the new application is cut short: the board has been flashed.
        finish(Failure::None);
        return;
    }
    if (!m_finished)
        m_interruptCode = code;
    finish(Failure::Interrupted);
}

void FlashJob::succeed()
{
    if (m_options.after.isEmpty() || !m_link->isOpen()) {
        finish(Failure::None);
        return;
    }
    // Nothing of the upgrade is left to do or wait for.
    m_phase = Phase::After;
    m_tickTimer.stop();
    m_frameTimer.stop();
    m_requestTimer.stop();
    m_verifyTimer.stop();
    m_player->play(m_options.after);
}

void FlashJob::onTick()
{
    m_tickTimer.stop();
    if (m_finished)
        return;
    std::optional<std::chrono::milliseconds> waited;
    if (m_ackClock.isValid())
        waited = std::chrono::milliseconds(m_ackClock.elapsed());
    const iap::Step step = m_run.tick(m_framer.received(), waited);
    if (m_run.outcome() == iap::UpgradeRun::Outcome::GaveUp) {
        finish(Failure::TooManyResends);
        return;
    }
    QByteArray early; // the answer to a package the run sends that went out ahead already
    for (const iap::Action &a : step.actions) {
        if (a.kind == iap::Action::Kind::Send) {
            if (a.event == iap::Action::Event::PackageSent && m_inflight &&
                m_inflight->sentAhead(a.packetIndex)) {
                m_run.written(m_framer.received());
                early = m_inflight->reach(a.packetIndex);
            } else {
                if (m_inflight && a.event != iap::Action::Event::RequestSent)
                    m_inflight->runSent();
                send(a.bytes);
            }
            if (a.event != iap::Action::Event::RequestSent)
                m_ackClock.start(); // a package went out: its acknowledgement wait starts
        } else if (a.event == iap::Action::Event::Accepted) {
            m_requestTimer.stop();
            m_acceptedMs = m_clock.elapsed();
        }
        emit action(a);
        if (m_finished) // a receiver interrupted us, or the port went away
            return;
    }
    if (m_run.outcome() == iap::UpgradeRun::Outcome::Completed) {
        if (m_options.verify)
            startVerification();
        else
            succeed();
        return;
    }
    if (m_inflight && m_run.running())
        sendAhead(early);
    if (step.running)
        m_tickTimer.start(iap::TickInterval);
}

void FlashJob::startVerification()
{
    m_frameTimer.stop();
    m_pending.clear();
    m_verification = std::make_unique<iap::Verification>(m_context.firmware);
    emit verifying();
    verificationStep(m_verification->begin(m_framer.received()));
}

void FlashJob::verificationStep(const QByteArray &question)
{
    if (!question.isEmpty()) {
        send(question);
        m_verifyTimer.start(m_verification->wait());
        return;
    }
    if (!m_verification->finished())
        return; // not an answer: the wait goes on
    m_verifyTimer.stop();
    if (m_verification->answered())
        emit verified();
    switch (m_verification->result()) {
    case iap::Verification::Result::Verified:
        succeed();
        break;
    case iap::Verification::Result::Mismatch:
        finish(Failure::VerifyMismatch);
        break;
    case iap::Verification::Result::CannotVerify:
    case iap::Verification::Result::Pending:
        finish(Failure::CannotVerify);
        break;
    }
}

void FlashJob::onVerifyTimeout()
{
    if (!m_finished && m_verification)
        verificationStep(m_verification->timedOut(m_framer.received()));
}

void FlashJob::onLost(links::LinkError error, const QString &reason)
{
    if (m_finished)
        return;
    if (m_phase == Phase::After) {
        // The board has been flashed (and verified, if asked): it may well reset itself.
        finish(Failure::None);
        return;
    }
    m_linkError = error;
    m_serialReason = reason;
    if (m_verification) {
        // The device may start its application (and drop the line) instead of answering.
        finish(Failure::CannotVerify);
        return;
    }
    // A device may reset the moment it has acknowledged the last package, before the quiet
    // gap or the next tick: what already arrived is offered before the line counts as lost.
    m_frameTimer.stop();
    if (m_writes.pending(Current)) // what went last never left whole: nothing can answer it
        m_run.written(std::numeric_limits<qint64>::max());
    for (const Frame &frame : std::exchange(m_held, {}) + std::exchange(m_pending, {})) {
        emit replyReceived(frame.bytes);
        m_run.offer(frame.bytes, frame.start);
    }
    const iap::Step step = m_run.lineLost();
    if (m_run.outcome() == iap::UpgradeRun::Outcome::Completed) {
        for (const iap::Action &a : step.actions)
            emit action(a);
        if (m_options.verify) {
            finish(Failure::CannotVerify);
            return;
        }
        finish(Failure::None);
        return;
    }
    finish(Failure::PortLost);
}

void FlashJob::onRequestTimeout()
{
    if (m_run.requestTimedOut())
        finish(Failure::NoAnswer);
}

void FlashJob::finish(Failure failure)
{
    if (m_finished)
        return;
    m_finished = true;
    m_failure = failure;
    m_endMs = m_clock.isValid() ? m_clock.elapsed() : 0;
    m_tickTimer.stop();
    m_frameTimer.stop();
    m_requestTimer.stop();
    m_verifyTimer.stop();
    if (m_check)
        m_check->stop();
    if (m_switch)
        m_switch->stop();
    if (m_run.running())
        m_run.cancel();
    m_player->stop();
    m_link->close();
    // Reported from the event loop, so that callers never see finished() inside start().
    QMetaObject::invokeMethod(
        this, [this] { emit finished(); }, Qt::QueuedConnection);
}

} // namespace flash
