#pragma once

#include <QVector>
#include <QtGlobal>

// The device's receive buffer. While the device is idle the core takes each byte as it comes;
// while it works on a frame (writes a package, erases), what arrives waits in the port's
// buffer until the work is done, and a byte that arrives when the buffer is full is lost, as
// with a UART's receive ring. When the work ends the core takes what waits at once, so the
// buffer then holds only the bytes after the next frame it starts to work on.
class ReceiveBuffer
{
public:
    // The buffer of a device that takes `window` packages in flight: the packages behind the
    // one it writes (window − 1 of 1032 bytes) and a question after them (8 bytes).
    static qint64 capacityFor(int window);

    explicit ReceiveBuffer(qint64 capacity) : m_capacity(capacity) {}

    // The frame the core has just taken in full (its last byte arrived at `frameEndNs`) gives
    // the device `workNs` of work, which starts once the work before it is done.
    void work(qint64 frameEndNs, qint64 workNs);
    // The next byte of the line arrives at `arrivalNs`: kept (true), or lost.
    bool take(qint64 arrivalNs);
    // Bytes lost so far.
    qint64 lost() const { return m_lost; }

private:
    struct Work
    {
        qint64 fromNs;
        qint64 untilNs;
        qint64 keptBefore; // bytes kept up to the end of the frame worked on
    };

    qint64 m_capacity;
    QVector<Work> m_work; // not done yet, in order
    qint64 m_kept = 0;
    qint64 m_lost = 0;
    qint64 m_freeNs = 0; // when the last work is done
};
