#pragma once

#include <QByteArray>
#include <QMap>
#include <QVector>

namespace flash {

// --boost with a device that takes packages in flight: the packages after the one the run is
// waiting for go out ahead of it, up to the device's window. Every package is still
// acknowledged on its own: an acknowledgement counts only for a package already written to
// the line (its position is kept per package), one that arrives before the run has come to
// its package waits here, and a package the device rejected (it was in flight behind one that
// failed) is sent again by the run when its turn comes. The run policy itself is the window's,
// unchanged: it sends one package at a time and never learns of the others.
class InFlight
{
public:
    explicit InFlight(int window) : m_window(window) {}
    int window() const { return m_window; }

    // The run is about to send `index` for the first time: already on the line ahead?
    bool sentAhead(int index) const { return m_ahead.contains(index); }
    // The packages to send ahead now: the run waits for `current`, the image has `total`.
    QVector<int> due(int current, int total) const;
    // `index` went out ahead; replies beginning at `position` or later may answer it.
    void wentOut(int index, qint64 position) { m_ahead.insert(index, position); }
    // A reply frame while the run waits for `current`: true when it was an acknowledgement of
    // a package ahead (kept or dropped here; the run never sees it).
    bool take(const QByteArray &frame, qint64 firstByte, int current);
    // The good acknowledgement of `index` that came before the run reached it (empty: none).
    QByteArray early(int index);

private:
    int m_window;
    QMap<int, qint64> m_ahead;     // packages sent ahead, and where their answers may begin
    QMap<int, QByteArray> m_early; // status-1 acknowledgements of packages ahead
};

} // namespace flash
