#include "streamframer.h"

#include "crc32.h"
#include "wire.h"

#include <QtEndian>

namespace links {

namespace {
constexpr quint8 StartByte = iap::wire::Start;
constexpr quint32 CrcPreset = iap::crc::Preset;
// The bytes before the oldest open candidate are moved out once they are this many.
constexpr int CompactAt = 4096;
} // namespace

void StreamFramer::clear()
{
    m_bytes.clear();
    m_head = 0;
    m_candidates.clear();
    m_first = 0;
}

void StreamFramer::dropOldest()
{
    ++m_first;
    if (m_first == m_candidates.size()) {
        m_skipped += m_bytes.size() - m_head;
        clear();
        return;
    }
    const int next = m_candidates.at(m_first).start;
    m_skipped += next - m_head;
    m_head = next;
    compact();
}

void StreamFramer::compact()
{
    if (m_head < CompactAt || m_head < m_bytes.size() / 2)
        return;
    m_bytes.remove(0, m_head);
    m_candidates.remove(0, m_first);
    for (Candidate &c : m_candidates)
        c.start -= m_head;
    m_head = 0;
    m_first = 0;
}

QVector<StreamFramer::Frame> StreamFramer::append(const char *data, int size)
{
    QVector<Frame> frames;
    const qint64 before = m_received;
    m_received += size;
    for (int i = 0; i < size; ++i) {
        const char byte = data[i];

        // Candidates that the new byte would make longer than any reply are given up.
        while (openCandidates() > 0 &&
               m_bytes.size() + 1 - m_candidates.at(m_first).start > MaxFrame)
            dropOldest();

        if (openCandidates() > 0) {
            m_bytes.append(byte);
            const int p = m_bytes.size() - 1;
            const auto *b = reinterpret_cast<const quint8 *>(m_bytes.constData());
            // The last four bytes, as a trailer; the byte before them joins the CRC of every
            // candidate it belongs to (the candidates' CRCs run four bytes behind the line).
            const quint32 trailer = p >= 3 ? qFromBigEndian<quint32>(b + p - 3) : 0;
            const quint8 joining = p >= 4 ? b[p - 4] : 0;
            int found = -1;
            for (int c = m_first; c < m_candidates.size(); ++c) {
                Candidate &cand = m_candidates[c];
                const int length = p - cand.start + 1;
                if (length < 5)
                    break; // this one and all later ones hold no byte before a trailer yet
                cand.crc = iap::crc::step(cand.crc, joining);
                if (length >= MinFrame && (cand.crc ^ CrcPreset) == trailer) {
                    found = c;
                    break;
                }
            }
            if (found >= 0) {
                const int start = m_candidates.at(found).start;
                m_skipped += start - m_head;
                frames.append({QByteArray(m_bytes.constData() + start, p - start + 1),
                               before + i - (p - start)});
                clear();
                continue;
            }
        }

        if (quint8(byte) != StartByte) {
            if (openCandidates() == 0)
                ++m_skipped;
            continue;
        }
        // A start byte opens a candidate.
        if (openCandidates() == 0) {
            clear();
            m_bytes.append(byte);
        } else if (openCandidates() == MaxCandidates) {
            dropOldest();
        }
        m_candidates.append({int(m_bytes.size()) - 1, CrcPreset});
    }
    return frames;
}

} // namespace links
