#include "writequeue.h"

#include <algorithm>

namespace flash {

QVector<int> WriteQueue::done(qint64 out)
{
    QVector<int> owners;
    while (!m_writes.isEmpty() && m_writes.constFirst().end <= out) {
        const int owner = m_writes.takeFirst().owner;
        if (!pending(owner))
            owners << owner;
    }
    return owners;
}

bool WriteQueue::pending(int owner) const
{
    return std::any_of(m_writes.cbegin(), m_writes.cend(),
                       [owner](const Write &w) { return w.owner == owner; });
}

} // namespace flash
