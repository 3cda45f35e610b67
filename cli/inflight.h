#pragma once

#include <QByteArray>
#include <QMap>
#include <QVector>

namespace flash {

// --boost with a device that takes packages in flight: the packages after the one the run is
// waiting for go out ahead of it, up to the device's window. Every package is still
// acknowledged on its own: an acknowledgement counts only for a package already written to
// the line in full (its position is kept per package), one that arrives before the run has
// come to its package waits here, and a package the device rejected (it was in flight behind
// one that failed) is sent again by the run when its turn comes. The run policy itself is the
// window's, unchanged: it sends one package at a time and never learns of the others.
class InFlight
{
public:
    // What becomes of a reply frame offered while the run waits for a package.
    enum class Take
    {
        Run,    // not an answer to a package sent ahead: the run judges it
        Wait,   // it answers a package still going out: offer it again once that is written
        Taken,  // an acknowledgement of a package ahead, kept or dropped here
        RunNow, // an answer to the package the run has come to, which went out ahead before
                // the frame began: the run takes it as if it arrived now
    };

    explicit InFlight(int window) : m_window(window) {}
    int window() const { return m_window; }

    // The run is about to send `index` for the first time: already on the line ahead?
    bool sentAhead(int index) const { return m_ahead.contains(index); }
    // The packages to send ahead now: the run waits for `current`, the image has `total`.
    QVector<int> due(int current, int total) const;
    // `index` goes out ahead; written() says when it is out in full.
    void sending(int index) { m_ahead.insert(index, Unwritten); }
    // `index` (sent ahead) is out in full: replies beginning at `position` or later may answer
    // it.
    void written(int index, qint64 position);
    // The run has come to `index`, which went out ahead: its good acknowledgement that came
    // before (empty: none), taken. Until the run sends a package itself, what answers `index`
    // is judged against the position it went out at.
    QByteArray reach(int index);
    // The run sent a package itself.
    void runSent() { m_reached = -1; }
    // A reply frame while the run waits for `current`.
    Take take(const QByteArray &frame, qint64 firstByte, int current);

private:
    static constexpr qint64 Unwritten = -1;

    int m_window;
    QMap<int, qint64> m_ahead;     // packages sent ahead, and where their answers may begin
    QMap<int, QByteArray> m_early; // status-1 acknowledgements of packages ahead
    int m_reached = -1;            // the package the run came to that went out ahead
    qint64 m_reachedAt = Unwritten;
};

} // namespace flash
