#include "receivebuffer.h"

#include "wire.h"

qint64 ReceiveBuffer::capacityFor(int window)
{
    const qint64 package =
        iap::wire::HeaderBytes + iap::wire::PackageSize + iap::wire::TrailerBytes;
    return qint64(qMax(window, 1) - 1) * package + iap::wire::QuestionBytes;
}

void ReceiveBuffer::work(qint64 frameEndNs, qint64 workNs)
{
    const qint64 from = qMax(frameEndNs, m_freeNs);
    m_freeNs = from + workNs;
    m_work.append({from, m_freeNs, m_kept});
}

bool ReceiveBuffer::take(qint64 arrivalNs)
{
    while (!m_work.isEmpty() && m_work.constFirst().untilNs <= arrivalNs)
        m_work.removeFirst(); // done: the core has taken what waited
    if (!m_work.isEmpty() && m_work.constFirst().fromNs <= arrivalNs &&
        m_kept - m_work.constFirst().keptBefore >= m_capacity) {
        ++m_lost;
        return false;
    }
    ++m_kept;
    return true;
}
