#include "resetsequence.h"

#include <QStringList>

namespace links {

ResetSequenceError parseResetSequence(const QString &text, ResetSequence *sequence,
                                      QString *badStep)
{
    // Nothing half-parsed is left behind on an error.
    sequence->clear();
    badStep->clear();
    ResetSequence parsed;
    if (text.trimmed().isEmpty())
        return ResetSequenceError::Empty;
    const QStringList steps = text.split(QLatin1Char(','));
    if (steps.size() > reset::MaxSteps)
        return ResetSequenceError::TooLong;
    bool anyLine = false;
    for (const QString &raw : steps) {
        const QString step = raw.trimmed().toLower();
        *badStep = raw.trimmed();
        const int eq = step.indexOf(QLatin1Char('='));
        const QString key = step.left(eq).trimmed();
        const QString value = eq < 0 ? QString() : step.mid(eq + 1).trimmed();
        ResetStep s;
        if (eq > 0 && key == QLatin1String("wait")) {
            bool ok = false;
            const qlonglong ms = value.toLongLong(&ok);
            if (!ok || ms < 0 || ms > reset::MaxWait.count() || value.startsWith(QLatin1Char('+')))
                return ResetSequenceError::BadWait;
            s.kind = ResetStep::Kind::Wait;
            s.wait = std::chrono::milliseconds(ms);
        } else if (eq > 0 && (key == QLatin1String("dtr") || key == QLatin1String("rts")) &&
                   (value == QLatin1String("1") || value == QLatin1String("0"))) {
            s.kind = ResetStep::Kind::Line;
            s.line = key == QLatin1String("dtr") ? ModemLine::Dtr : ModemLine::Rts;
            s.on = value == QLatin1String("1");
            anyLine = true;
        } else {
            return ResetSequenceError::BadStep;
        }
        parsed.append(s);
    }
    badStep->clear();
    if (!anyLine)
        return ResetSequenceError::NoLine;
    *sequence = parsed;
    return ResetSequenceError::None;
}

ResetSequence resetPulse(ModemLine line, std::chrono::milliseconds on)
{
    ResetStep set;
    set.kind = ResetStep::Kind::Line;
    set.line = line;
    set.on = true;
    ResetStep wait;
    wait.wait = on;
    ResetStep release = set;
    release.on = false;
    return {set, wait, release};
}

ResetPlayer::ResetPlayer(PortLink *link, QObject *parent) : QObject(parent), m_link(link)
{
    m_timer.setSingleShot(true);
    // A wait holds a pin for the board: never shorter than asked.
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, &ResetPlayer::next);
    connect(m_link, &PortLink::modemLineSet, this, &ResetPlayer::onLineSet);
}

void ResetPlayer::play(const ResetSequence &sequence)
{
    stop();
    m_steps = sequence;
    m_next = 0;
    m_playing = true;
    // Every step, the first included, from the event loop: finished() never comes from within
    // play().
    m_timer.start(0);
}

void ResetPlayer::stop()
{
    m_playing = false;
    m_awaitingLine = false;
    m_timer.stop();
}

void ResetPlayer::next()
{
    if (!m_playing)
        return;
    if (m_next >= m_steps.size()) {
        m_playing = false;
        emit finished(true, ModemLine::Dtr);
        return;
    }
    const ResetStep step = m_steps.at(m_next++);
    if (step.kind == ResetStep::Kind::Wait) {
        m_timer.start(step.wait);
        return;
    }
    m_awaitingLine = true;
    m_link->setModemLine(step.line, step.on);
}

void ResetPlayer::onLineSet(ModemLine line, bool on, bool ok)
{
    Q_UNUSED(on);
    if (!m_playing || !m_awaitingLine)
        return;
    m_awaitingLine = false;
    if (!ok) {
        m_playing = false;
        emit finished(false, line);
        return;
    }
    next();
}

} // namespace links
