#include "flashjob.h"

#include "timing.h"

#include <utility>

FlashJob::FlashJob(const Options &options, const QByteArray &image, QObject *parent)
    : QObject(parent), m_options(options), m_engine(&m_context)
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
    connect(&m_tickTimer, &QTimer::timeout, this, &FlashJob::onTick);
    connect(&m_frameTimer, &QTimer::timeout, this, &FlashJob::onQuiet);
    connect(&m_requestTimer, &QTimer::timeout, this, &FlashJob::onRequestTimeout);
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
    // The caller has checked the image; the engine refuses nothing here.
    m_engine.start();
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
    m_bytesRead += bytes.size();
    QVector<QByteArray> frames;
    m_framer.append(bytes, &frames);
    if (frames.isEmpty())
        return;
    if (m_options.fast) {
        handOver(frames);
        return;
    }
    // As in the window, a reply reaches the engine 30 ms after its last byte and is acted on
    // at the next tick. Bytes that keep coming do not hold it back any longer.
    m_pending += frames;
    if (!m_frameTimer.isActive())
        m_frameTimer.start();
}

void FlashJob::onQuiet()
{
    if (m_pending.isEmpty())
        return;
    qDebug("time out:%d", ++m_handOvers);
    const QVector<QByteArray> frames = std::exchange(m_pending, {});
    handOver(frames);
}

void FlashJob::handOver(const QVector<QByteArray> &frames)
{
    for (const QByteArray &frame : frames) {
        if (m_finished)
            return;
        emit replyReceived(frame);
        // A reply the engine will act on is kept for its tick: a keep-alive or an echo that
        // follows it must not push it out.
        const bool acts = m_engine.actsOn(frame);
        if (acts || !m_engine.actsOn(m_context.response))
            m_context.response = frame;
        // Only such a reply steps at once; anything else waits for the 50 ms tick.
        if (m_options.fast && acts && m_engine.running())
            onTick();
    }
}

void FlashJob::onTick()
{
    m_tickTimer.stop();
    if (m_finished)
        return;
    if (m_context.state == IapContext::Transferring && m_ackClock.isValid())
        m_engine.setAckWait(std::chrono::milliseconds(m_ackClock.elapsed()));
    const iap::Step step = m_engine.tick();
    if (m_options.maxResends > 0 && m_engine.consecutiveResends() > m_options.maxResends) {
        // The step holds one resend too many: give up instead of sending it.
        m_failedPackage = m_context.packetIndex;
        finish(Failure::TooManyResends);
        return;
    }
    for (const iap::Action &a : step.actions) {
        if (a.kind == iap::Action::Kind::Send) {
            m_serial.sendData(a.bytes);
            m_bytesWritten += a.bytes.size();
            if (a.event == iap::Action::Event::RequestSent)
                ++m_requests;
            else if (a.event == iap::Action::Event::Resent)
                ++m_resendsTotal;
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
    if (m_context.state == IapContext::Finished) {
        finish(Failure::None);
        return;
    }
    if (step.running)
        m_tickTimer.start(iap::TickInterval);
}

void FlashJob::onLost(SerialError error, const QString &reason)
{
    if (m_finished)
        return;
    m_serialError = error;
    m_serialReason = reason;
    // A device may reset the moment it has acknowledged the last package, before the quiet
    // gap or the next tick: act on what already arrived before calling the line lost.
    m_frameTimer.stop();
    const QVector<QByteArray> frames = std::exchange(m_pending, {});
    for (const QByteArray &frame : frames) {
        emit replyReceived(frame);
        if (m_engine.actsOn(frame) || !m_engine.actsOn(m_context.response))
            m_context.response = frame;
    }
    const iap::Step step = m_engine.completeFromStoredReply();
    if (m_context.state == IapContext::Finished) {
        for (const iap::Action &a : step.actions)
            emit action(a);
        finish(Failure::None);
        return;
    }
    finish(Failure::PortLost);
}

void FlashJob::onRequestTimeout()
{
    if (m_context.state == IapContext::Requesting)
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
    if (m_engine.running())
        m_engine.cancel();
    if (m_serial.isOpen())
        m_serial.closePort();
    // Reported from the event loop, so that callers never see finished() inside start().
    QMetaObject::invokeMethod(
        this, [this] { emit finished(); }, Qt::QueuedConnection);
}
