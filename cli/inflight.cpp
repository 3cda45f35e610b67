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

bool InFlight::take(const QByteArray &frame, qint64 firstByte, int current)
{
    const std::optional<iap::codec::Acknowledgement> ack = iap::codec::readAcknowledgement(frame);
    if (!ack || int(ack->index) <= current || !m_ahead.contains(ack->index))
        return false;
    if (firstByte < m_ahead.value(ack->index))
        return true; // it began before its package went out
    if (ack->status == iap::wire::StatusWritten) {
        m_early.insert(ack->index, frame);
    } else if (ack->status == iap::wire::StatusDataError ||
               ack->status == iap::wire::StatusWriteFailed) {
        // Rejected (behind a package that failed, or itself): the run sends it in its turn.
        m_ahead.remove(ack->index);
        m_early.remove(ack->index);
    }
    return true;
}

QByteArray InFlight::early(int index)
{
    m_ahead.remove(index);
    return m_early.take(index);
}

} // namespace flash
