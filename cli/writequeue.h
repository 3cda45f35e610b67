#pragma once

#include <QVector>

namespace flash {

// The writes handed to the line that the operating system has not taken in full yet, in the
// order they went: where each ends among the bytes written, and whose answer it waits for. A
// reply counts only for a write already taken in full, so each write gets its own mark the
// moment its last byte is seen gone, however many others still wait behind it.
class WriteQueue
{
public:
    // The owner of the run's request or package, or of a question: what the run waits on.
    // Packages sent ahead of the run are owned by their index.
    static constexpr int Current = -1;

    // A write of `owner` ends at byte `end` of the stream written.
    void add(qint64 end, int owner) { m_writes.append({end, owner}); }
    // `out` bytes of the stream have been taken: the owners whose last write is now done,
    // oldest first. A write followed by another of the same owner is passed over (nothing
    // waits on it any more).
    QVector<int> done(qint64 out);
    // A write of `owner` has not been taken in full yet.
    bool pending(int owner) const;

private:
    struct Write
    {
        qint64 end;
        int owner;
    };
    QVector<Write> m_writes;
};

} // namespace flash
