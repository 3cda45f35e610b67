#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <chrono>
#include <functional>
#include <limits>

namespace flash {

// --boost: after the device has accepted the request, the line is switched to a faster rate,
// as the ROM loaders of the best-known flashers do after their sync: the host proposes the
// rate (F1 05 baud), the device agrees at the old rate (F1 85 baud) and both switch; then the
// host asks the capability question at the new rate, and only its answer there confirms it.
// Nothing strands the line: without that answer the host goes back to the starting rate and
// waits until the device has gone back by itself (1 s after the last valid frame it heard,
// and a margin), and the upgrade goes on at the starting rate.
class RateSwitch : public QObject
{
    Q_OBJECT
public:
    static constexpr std::chrono::milliseconds AnswerWait{200}; // for F1 85, twice
    static constexpr int Proposals = 2;
    static constexpr std::chrono::milliseconds CheckWait{100}; // for F1 83 at the new rate
    static constexpr int Checks = 3;
    // Beyond the device's own fall-back time, before the host speaks at the old rate again.
    static constexpr std::chrono::milliseconds FallbackMargin{200};

    // `setBaud` changes the host's side of the line.
    RateSwitch(qint32 from, qint32 to, std::function<bool(qint32)> setBaud,
               QObject *parent = nullptr);

    void start();
    // What was sent last has gone out, `received` bytes having arrived by then.
    void written(qint64 received);
    // A valid frame found on the line, its first byte at `firstByte` of the stream.
    void offer(const QByteArray &frame, qint64 firstByte);
    void stop() { m_timer.stop(); }

    // The rate the line is at once finished() came: the new one, or the starting one.
    qint32 baud() const { return m_state == State::Switched ? m_to : m_from; }
    bool switched() const { return m_state == State::Switched; }
    // The device did not confirm the new rate (or did not answer the proposal).
    bool fellBack() const { return m_fellBack; }

signals:
    void send(const QByteArray &bytes);
    void finished();

private:
    enum class State
    {
        Idle,
        Proposing,
        Checking,
        Waiting, // back at the starting rate, until the device surely is too
        Switched,
        Stayed,
    };
    void say(const QByteArray &bytes, std::chrono::milliseconds wait);
    void onTimeout();
    void fallBack();
    void done(State state);

    qint32 m_from;
    qint32 m_to;
    std::function<bool(qint32)> m_setBaud;
    State m_state = State::Idle;
    int m_tries = 0;
    bool m_fellBack = false;
    bool m_markOpen = false;
    qint64 m_answersFrom = std::numeric_limits<qint64>::max();
    QElapsedTimer m_sinceSent;
    QTimer m_timer;
};

} // namespace flash
