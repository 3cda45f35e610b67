#pragma once

#include "wire.h"

#include <QByteArray>
#include <QVector>

namespace links {

// Finds reply frames in the byte stream of a line that may carry noise, echoes or several
// replies back to back, without waiting for the line to go quiet. Used by iap-flash; the
// window keeps its own rule (a burst tested whole, see ReplyFramer).
//
// A frame starts at a 0xF1 and ends at the first byte where its last four bytes are the
// CRC-32 of all before them, at least 8 bytes in all. So padded acknowledgements (bytes the
// tool does not interpret between the status and the trailer) are taken whole. Bytes before
// a 0xF1 that does not start a valid frame are skipped. When two candidates end at the same
// byte, the one that started first wins. After a frame everything starts afresh: stray bytes
// that follow it cannot spoil the next one.
//
// Every 0xF1 opens a candidate whose CRC is kept running as bytes arrive, so each byte costs
// one CRC step per open candidate, and at most MaxCandidates are open: the work stays linear
// in the bytes received, however the noise is made and however it trickles in.
class StreamFramer
{
public:
    static constexpr int MinFrame = iap::wire::MinFrame;
    // No reply is longer (an acknowledgement padded with a whole package of bytes fits).
    static constexpr int MaxFrame = 2048;
    // Candidates open at once; when a new 0xF1 comes the oldest is given up.
    static constexpr int MaxCandidates = 64;

    struct Frame
    {
        QByteArray bytes;
        qint64 start = 0; // position of its first byte in the stream (bytes given before it)
    };

    // Takes the bytes of one read; returns the frames they complete, in the order they ended
    // on the line.
    QVector<Frame> append(const char *data, int size);
    QVector<Frame> append(const QByteArray &bytes)
    {
        return append(bytes.constData(), bytes.size());
    }
    // Bytes given to the framer since construction.
    qint64 received() const { return m_received; }
    // Forgets everything gathered so far.
    void clear();

    // Bytes held for the open candidates.
    int pendingBytes() const { return m_bytes.size() - m_head; }
    int openCandidates() const { return m_candidates.size() - m_first; }
    // Bytes skipped as noise since construction (not part of any frame).
    qint64 skippedBytes() const { return m_skipped; }

private:
    struct Candidate
    {
        int start;   // offset in m_bytes of its 0xF1
        quint32 crc; // CRC register over its bytes up to four before the newest
    };

    void dropOldest();
    void compact();

    QByteArray m_bytes;              // m_bytes[m_head..] is still needed
    int m_head = 0;                  // first byte of the oldest open candidate
    QVector<Candidate> m_candidates; // in order of their start; [m_first..] are open
    int m_first = 0;
    qint64 m_skipped = 0;
    qint64 m_received = 0;
};

} // namespace links
