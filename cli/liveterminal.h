#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QStringList>
#include <cstdio>

class QSocketNotifier;

namespace flash {

// The bottom of a terminal's stderr as a live area: lines of progress drawn below the last
// line of text, cleared before the next line of text and drawn again after it, and redrawn
// when the terminal changes its width (SIGWINCH).
class LiveTerminal : public QObject
{
    Q_OBJECT
public:
    // active: stderr is a terminal and live lines are wanted; otherwise lines pass through.
    explicit LiveTerminal(bool active, QObject *parent = nullptr);
    ~LiveTerminal() override;

    bool active() const { return m_active; }
    int columns() const { return m_columns; }
    bool showing() const { return m_shown > 0; }

    // One line of text above the live area.
    void line(FILE *stream, const QString &text);
    // Draws these lines as the live area. Without force, at most every 100 ms.
    void draw(const QStringList &lines, bool force);
    void clear();
    // The live area stays on the screen as it is; text continues below it.
    void keep();

signals:
    // The terminal's width changed: the owner draws again.
    void resized();

private:
    bool m_active;
    int m_columns = 80;
    int m_shown = 0; // lines of live progress on the screen below the last text line
    QStringList m_lines;
    QElapsedTimer m_clock;
    QSocketNotifier *m_notifier = nullptr;
};

} // namespace flash
