#include "replyframer.h"

#include "crc32.h"
#include "wire.h"

#include <QDebug>

namespace links {

ReplyFramer::ReplyFramer(QByteArray *burst) : m_burst(burst) {}

void ReplyFramer::append(const QByteArray &bytes)
{
    if (m_burst->isEmpty() && !m_overflow)
        m_burstStart = m_received;
    m_received += bytes.size();
    if (m_overflow)
        return; // the rest of an overlong burst: thrown away until the line goes quiet
    if (qint64(m_burst->size()) + bytes.size() > MaxBurst) {
        qDebug("burst longer than %d bytes without a quiet gap: dropped", MaxBurst);
        m_burst->clear();
        m_overflow = true;
        return;
    }
    m_burst->append(bytes);
}

ReplyFramer::Outcome ReplyFramer::quiet(QByteArray *frame, qint64 *start)
{
    ++m_quietCount;
    if (m_burst->isEmpty() && !m_overflow)
        return Outcome::Empty;
    qDebug("time out:%d", m_quietCount);
    if (m_overflow || !isValidFrame(*m_burst)) {
        m_overflow = false;
        m_burst->clear();
        return Outcome::Dropped;
    }
    *frame = *m_burst;
    if (start)
        *start = m_burstStart;
    m_burst->clear();
    return Outcome::Accepted;
}

bool ReplyFramer::takeIfComplete(QByteArray *frame)
{
    if (m_overflow || !isValidFrame(*m_burst))
        return false;
    *frame = *m_burst;
    m_burst->clear();
    return true;
}

bool ReplyFramer::isValidFrame(const QByteArray &bytes)
{
    const int size = bytes.size();
    if (size < iap::wire::MinFrame || quint8(bytes.at(0)) != iap::wire::Start)
        return false;
    return iap::crc::trailerMatches(bytes.constData(), size);
}

} // namespace links
