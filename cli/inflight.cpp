#include "inflight.h"

#include "codec.h"
#include "wire.h"

namespace flash {

QVector<int> InFlight::due(int current, int total) const
{
    QVector<int> indices;
    for (int i = current + 1; i < total && i < current + m_window; ++i) {
        if (!m_ahead.contains(i))
            indices << i;
    }
    return indices;
}

void InFlight::written(int index, qint64 position)
{
    if (index == m_reached)
        m_reachedAt = position;
    else if (m_ahead.contains(index))
        m_ahead.insert(index, position);
}

QByteArray InFlight::reach(int index)
{
    m_reached = index;
    m_reachedAt = m_ahead.take(index);
    return m_early.take(index);
}

InFlight::Take InFlight::take(const QByteArray &frame, qint64 firstByte, int current)
{
    const std::optional<iap::codec::Acknowledgement> ack = iap::codec::readAcknowledgement(frame);
    if (!ack)
        return Take::Run;
    const int index = ack->index;
    if (index == current && index == m_reached) {
        if (m_reachedAt == Unwritten)
            return Take::Wait;
        // One that began before its package went out answers nothing.
        return firstByte < m_reachedAt ? Take::Taken : Take::RunNow;
    }
    if (index <= current || !m_ahead.contains(index))
        return Take::Run;
    const qint64 at = m_ahead.value(index);
    if (at == Unwritten)
        return Take::Wait;
    if (firstByte < at)
        return Take::Taken; // it began before its package went out
    if (ack->status == iap::wire::StatusWritten) {
        m_early.insert(index, frame);
    } else if (ack->status == iap::wire::StatusDataError ||
               ack->status == iap::wire::StatusWriteFailed) {
        // Rejected (behind a package that failed, or itself): the run sends it in its turn.
        m_ahead.remove(index);
        m_early.remove(index);
    }
    return Take::Taken;
}

} // namespace flash
