#include "flashjob.h"

#include "timing.h"

#include <utility>

FlashJob::FlashJob(const Options &options, const QByteArray &image, QObject *parent)
    : QObject(parent), m_options(options), m_run(&m_context, options.maxResends)
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
    connect(&m_serial, &Serial::readSignal, this, &FlashJob::onBytes);
    m_serial.setLostHandler(
        [this](SerialError error, const QString &reason) { onLost(error, reason); });
}

FlashJob::~FlashJob()
{
    m_serial.setLostHandler(nullptr);
    if (m_serial.isOpen())
        m_serial.closePort();
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
    if (!m_serial.openPort(m_options.port, m_options.baud)) {
        m_serialError = m_serial.lastError();
        m_serialReason = m_serial.lastErrorString();
        finish(Failure::OpenFailed);
        return;
    }
    // The caller has checked the image; the run refuses nothing here.
    m_run.start();
    emit started();
    if (m_options.requestTimeout.count() > 0)
        m_requestTimer.start(m_options.requestTimeout);
    // The window sends the first request one tick after Download; the fast mode at once.
    m_tickTimer.start(m_options.fast ? std::chrono::milliseconds(0) : iap::TickInterval);
}

void FlashJob::interrupt(flash::ExitCode code)
{
    if (!m_finished)
        m_interruptCode = code;
    finish(Failure::Interrupted);
}

void FlashJob::onBytes()
{
    const QByteArray bytes = m_serial.getBuffer();
    m_serial.clearBuffer();
    if (m_finished)
        return;
    QVector<QByteArray> found;
    QVector<qint64> starts;
    m_framer.append(bytes, &found, &starts);
    if (found.isEmpty())
        return;
    QVector<Frame> frames;
    for (int i = 0; i < found.size(); ++i)
        frames.append({found.at(i), starts.at(i)});
    if (m_options.fast || m_verification) {
        handOver(frames);
        return;
    }
    // As in the window, a reply reaches the run 30 ms after its last byte and is acted on at
    // the next tick. Bytes that keep coming do not hold it back any longer.
    m_pending += frames;
    if (!m_frameTimer.isActive())
        m_frameTimer.start();
}

void FlashJob::onQuiet()
{
    if (m_pending.isEmpty())
        return;
    qDebug("time out:%d", ++m_handOvers);
    handOver(std::exchange(m_pending, {}));
}

void FlashJob::handOver(const QVector<Frame> &frames)
{
    for (const Frame &frame : frames) {
        if (m_finished)
            return;
        emit replyReceived(frame.bytes);
        if (m_verification) {
            verificationStep(m_verification->offer(frame.bytes, frame.start, m_framer.received()));
            continue;
        }
        const iap::UpgradeRun::Offer offer = m_run.offer(frame.bytes, frame.start);
        // Only a reply the run acts on steps at once; anything else waits for the 50 ms tick.
        if (m_options.fast && offer == iap::UpgradeRun::Offer::ActNow && m_run.running())
            onTick();
    }
}

void FlashJob::send(const QByteArray &bytes)
{
    m_serial.sendData(bytes);
    m_bytesWritten += bytes.size();
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
    for (const iap::Action &a : step.actions) {
        if (a.kind == iap::Action::Kind::Send) {
            send(a.bytes);
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
            finish(Failure::None);
        return;
    }
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
        finish(Failure::None);
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

void FlashJob::onLost(SerialError error, const QString &reason)
{
    if (m_finished)
        return;
    m_serialError = error;
    m_serialReason = reason;
    if (m_verification) {
        // The device may start its application (and drop the line) instead of answering.
        finish(Failure::CannotVerify);
        return;
    }
    // A device may reset the moment it has acknowledged the last package, before the quiet
    // gap or the next tick: what already arrived is offered before the line counts as lost.
    m_frameTimer.stop();
    for (const Frame &frame : std::exchange(m_pending, {})) {
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
    if (m_run.running())
        m_run.cancel();
    if (m_serial.isOpen())
        m_serial.closePort();
    // Reported from the event loop, so that callers never see finished() inside start().
    QMetaObject::invokeMethod(
        this, [this] { emit finished(); }, Qt::QueuedConnection);
}
