#pragma once

#include "portlink.h"

#include <QObject>
#include <QString>
#include <QTimer>
#include <QVector>
#include <chrono>

namespace links {

// How a board is put into (or out of) its boot loader through the modem lines: lines set on
// or off, with waits between, e.g. "dtr=1,rts=1,wait=100,dtr=0,wait=50,rts=0" (hold the boot
// pin on DTR, pulse reset on RTS... whatever the board wires). 1 is on (asserted), 0 off.
struct ResetStep
{
    enum class Kind
    {
        Line,
        Wait
    };
    Kind kind = Kind::Wait;
    ModemLine line = ModemLine::Dtr;
    bool on = false;
    std::chrono::milliseconds wait{0};

    bool operator==(const ResetStep &o) const
    {
        return kind == o.kind &&
               (kind == Kind::Wait ? wait == o.wait : line == o.line && on == o.on);
    }
};
using ResetSequence = QVector<ResetStep>;

enum class ResetSequenceError
{
    None,
    Empty,
    BadStep, // not line=0|1 or wait=MS
    BadWait, // not a whole number of milliseconds up to MaxWait
    TooLong, // more than MaxSteps steps
    NoLine   // only waits
};

namespace reset {
constexpr int MaxSteps = 32;
constexpr std::chrono::milliseconds MaxWait{10000};
constexpr std::chrono::milliseconds DefaultPulse{100};
} // namespace reset

// Parses "step,step,...": dtr=1, dtr=0, rts=1, rts=0, wait=MS (case and blanks around the
// steps do not matter). On an error *badStep is the step at fault.
ResetSequenceError parseResetSequence(const QString &text, ResetSequence *sequence,
                                      QString *badStep);
// On for the time, then off: what --reset LINE does.
ResetSequence resetPulse(ModemLine line, std::chrono::milliseconds on);

// Plays a sequence on a link: each line set is confirmed by the link before the next step,
// each wait is a timer. A line the link cannot set ends the sequence there (a port without
// modem lines has neither): finished() says which.
class ResetPlayer : public QObject
{
    Q_OBJECT
public:
    explicit ResetPlayer(PortLink *link, QObject *parent = nullptr);

    void play(const ResetSequence &sequence);
    // Stops where it is; finished() does not follow.
    void stop();
    bool isPlaying() const { return m_playing; }

signals:
    // ok false: `line` could not be set, and the steps after it were not played.
    void finished(bool ok, links::ModemLine line);

private:
    void next();
    void onLineSet(ModemLine line, bool on, bool ok);

    PortLink *m_link;
    ResetSequence m_steps;
    int m_next = 0;
    bool m_playing = false;
    bool m_awaitingLine = false;
    QTimer m_timer;
};

} // namespace links
