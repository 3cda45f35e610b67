// FlashJob's line: the bytes read are framed and handed to what they may answer, and every
// write gets its mark (the bytes read by the time it was out) once the operating system has
// taken its last byte.
#include "flashjob.h"

#include <utility>

namespace flash {

namespace {
// The most bytes framed in one turn of the event loop.
constexpr int SliceBytes = 8192;
} // namespace

void FlashJob::onBytes()
{
    if (m_inflight && !m_finished) {
        // With packages in flight one write may be out while the next still waits, and nothing
        // but bytes arriving tells. What was read before these came before it was seen out;
        // an answer to it cannot be among that (the device had to hear it first).
        if (settle(m_framer.received() + m_inbox.size()) && !m_held.isEmpty())
            handOver(std::exchange(m_held, {}));
    }
    m_inbox += m_link->takeReceived();
    if (!m_sliceQueued)
        takeSlice();
}

void FlashJob::takeSlice()
{
    m_sliceQueued = false;
    if (m_finished || m_phase == Phase::After) {
        m_inbox.clear();
        return;
    }
    const QByteArray bytes = m_inbox.left(SliceBytes);
    m_inbox.remove(0, bytes.size());
    if (!m_inbox.isEmpty()) {
        m_sliceQueued = true;
        QMetaObject::invokeMethod(this, &FlashJob::takeSlice, Qt::QueuedConnection);
    }
    const QVector<Frame> frames = m_framer.append(bytes);
    if (m_phase == Phase::Asking) {
        for (int i = 0; i < frames.size() && !m_finished && m_phase == Phase::Asking; ++i)
            m_check->offer(frames.at(i).bytes, frames.at(i).start);
        return;
    }
    if (m_phase == Phase::Switching) {
        for (int i = 0; i < frames.size() && !m_finished && m_phase == Phase::Switching; ++i)
            m_switch->offer(frames.at(i).bytes, frames.at(i).start);
        return;
    }
    // Before the run (while the board is reset) nothing is an answer yet.
    if (frames.isEmpty() || m_phase != Phase::Running)
        return;
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
    using Take = flash::InFlight::Take;
    if (!m_held.isEmpty()) { // they came after those
        m_held += frames;
        return;
    }
    for (int i = 0; i < frames.size(); ++i) {
        if (m_finished)
            return;
        const Frame &frame = frames.at(i);
        Take take = Take::Run;
        if (m_inflight && m_context.state == IapContext::Transferring)
            take = m_inflight->take(frame.bytes, frame.start, m_context.packetIndex);
        if (take == Take::Wait || (take == Take::Run && m_writes.pending(Current))) {
            // What it may answer is still going out: it waits until that is out, and the
            // frames after it wait with it.
            m_held = frames.mid(i);
            return;
        }
        emit replyReceived(frame.bytes);
        if (takeRefusal(frame.bytes, frame.start))
            return;
        if (m_verification) {
            verificationStep(m_verification->offer(frame.bytes, frame.start, m_framer.received()));
            continue;
        }
        if (take == Take::Taken)
            continue; // an acknowledgement of a package sent ahead
        // The package the run came to went out ahead, before this began: it answers that.
        const qint64 at =
            take == Take::RunNow ? qMax(frame.start, m_framer.received()) : frame.start;
        const iap::UpgradeRun::Offer offer = m_run.offer(frame.bytes, at);
        if (offer == iap::UpgradeRun::Offer::ActNow && beginSwitch())
            return; // the acceptance waits for the rate switch
        // Only a reply the run acts on steps at once; anything else waits for the 50 ms tick.
        if (m_options.fast && offer == iap::UpgradeRun::Offer::ActNow && m_run.running())
            onTick();
    }
}

void FlashJob::send(const QByteArray &bytes)
{
    write(bytes, Current);
}

void FlashJob::write(const QByteArray &bytes, int owner)
{
    // Whatever reached this machine before the bytes began to go out answers none of them.
    const qint64 before = arrived(true);
    m_link->send(bytes);
    m_bytesWritten += bytes.size();
    m_writes.add(m_bytesWritten, owner);
    // The rest goes out from the event loop: until it has, nothing read answers it. Earlier
    // writes seen out only now were out before anything still unread came.
    const QVector<int> done = m_writes.done(m_bytesWritten - m_link->bytesToWrite());
    for (const int o : done)
        markWritten(o, o == owner ? before : arrived(false));
    if (!done.isEmpty() && !m_held.isEmpty())
        QMetaObject::invokeMethod(this, &FlashJob::onWritten, Qt::QueuedConnection);
}

void FlashJob::onWritten()
{
    if (m_finished)
        return;
    // Everything read while the bytes went out came before they were all out.
    settle(arrived(false));
    handOver(std::exchange(m_held, {}));
}

bool FlashJob::settle(qint64 position)
{
    const QVector<int> done = m_writes.done(m_bytesWritten - m_link->bytesToWrite());
    for (const int owner : done)
        markWritten(owner, position);
    return !done.isEmpty();
}

qint64 FlashJob::arrived(bool unread) const
{
    return m_framer.received() + m_inbox.size() + m_link->unreadBytes(unread);
}

void FlashJob::markWritten(int owner, qint64 position)
{
    if (owner != Current) {
        if (m_inflight)
            m_inflight->written(owner, position);
    } else if (m_verification) {
        m_verification->written(position);
    } else if (m_phase == Phase::Asking) {
        m_check->written(position);
    } else if (m_phase == Phase::Switching) {
        m_switch->written(position);
    } else {
        m_run.written(position);
    }
}

} // namespace flash
