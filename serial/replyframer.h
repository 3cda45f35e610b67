#pragma once

#include <QByteArray>

namespace links {

// Delimits reply frames by silence on the line. Bytes are appended as they arrive; a quiet
// gap of 30 ms (reported by the owner's timer through quiet()) ends the burst, which is
// then tested as one frame: at least 8 bytes, first byte 0xF1, last four bytes the CRC-32
// of all before them. A burst is never searched for a later 0xF1 or split.
//
// The burst lives with the owner (the window's rxBuffer), the framer works on it.
class ReplyFramer
{
public:
    // No reply is this long: a burst that grows past it without a quiet gap is dropped.
    static constexpr int MaxBurst = 64 * 1024;

    enum class Outcome
    {
        Empty,
        Dropped,
        Accepted
    };

    explicit ReplyFramer(QByteArray *burst);

    void append(const QByteArray &bytes);
    // The line has been quiet: test the burst and empty it. On Accepted, *frame holds an
    // exact copy of the frame and *start (when given) the position of its first byte in the
    // stream (the number of bytes appended before it). Writes the "time out:%d" diagnostic
    // for non-empty bursts.
    Outcome quiet(QByteArray *frame, qint64 *start = nullptr);
    // Bytes appended since construction.
    qint64 received() const { return m_received; }
    // If the bytes gathered so far already form a valid frame, take it (and empty the burst)
    // and return true. The window always waits for the quiet gap; this is kept for
    // bench/bench_framer.cpp (the whole burst retested on every read, against StreamFramer)
    // and fuzz/fuzz_framer.cpp.
    bool takeIfComplete(QByteArray *frame);

    // Expiries counted over the framer's whole life (never reset).
    int quietCount() const { return m_quietCount; }
    static bool isValidFrame(const QByteArray &bytes);

private:
    QByteArray *m_burst;
    int m_quietCount = 0;
    bool m_overflow = false; // the burst outgrew MaxBurst; discard until the next quiet gap
    qint64 m_received = 0;
    qint64 m_burstStart = 0; // position of the burst's first byte
};

} // namespace links
