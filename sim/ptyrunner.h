#pragma once

#include "devicemodel.h"

#include <QElapsedTimer>
#include <QObject>
#include <QQueue>
#include <QString>
#include <QTimer>

class QSocketNotifier;

struct RunnerOptions
{
    DeviceOptions device;
    QString outPath;      // save each complete image here (empty: do not save)
    bool once = false;    // exit after the first complete image
    int baud = 0;         // 0: no pacing
    int splitGapMs = 5;   // gap between the two pieces of a split reply
    int hangupAfter = -1; // close the line after this many packages were written (-1: never)
    bool log = false;     // one line per event on stderr
    QString linkPath;     // a symbolic link to the port, made at open, removed at close
};

// Puts a DeviceModel on a pseudo-terminal: reads what the tool writes to the slave side,
// feeds it to the model and writes the replies back, paced like a real line when a baud
// rate is given. Events go to stdout as one JSON line each.
class PtyRunner : public QObject
{
    Q_OBJECT
public:
    explicit PtyRunner(const RunnerOptions &options, QObject *parent = nullptr);
    ~PtyRunner() override;

    // Creates the pty pair with the slave in raw mode. False (and *error) on failure.
    bool open(QString *error);
    QString slavePath() const { return m_slavePath; }

signals:
    // The simulator is done (--once, --hangup-after); the program exits with this code.
    void finished(int exitCode);

private:
    struct Pending
    {
        QByteArray bytes;
        int written = 0;
        qint64 notBeforeNs = 0;     // earliest time for its first byte
        qint64 gapNs = 0;           // quiet time after the previous piece
        qint32 baudAfter = 0;       // the line changes to this rate once it is out (0: no change)
        bool beforePackage = false; // see DeviceModel::Reply
        bool started = false;
        bool unlessHeard = false; // dropped if the tool's bytes come before it goes
    };

    qint64 nowUs() const;
    qint64 nowNs() const;
    bool paced() const { return m_baud > 0; }
    // What the tool has sent and the line holds; empty at the end of the line too.
    QByteArray readInput();
    void onReadable();
    void onIdle();
    void handle(const DeviceModel::Output &output);
    void enqueue(const DeviceModel::Output &output);
    void saveAndReport(const DeviceModel::Completion &completion);
    void pump();
    void schedulePump(qint64 delayNs);
    void finishWhenDelivered();
    void hangUp();
    void closeLine();
    void removeLink();
    void log(const QString &line) const;
    void onClock();
    // The tool's side of the line is not at the rate the device's side is (the baud rate the
    // tool set on the pty), or a switched rate that carries nothing (--rate-fails): bytes
    // either way are lost. `sending`: for the device's transmitter, else its receiver.
    bool garbled(bool sending);
    qint32 toolBaud() const;

    RunnerOptions m_options;
    DeviceModel m_model;
    QElapsedTimer m_clock;
    int m_master = -1;
    int m_slave = -1; // kept open so the tool may close and reopen its side
    QString m_slavePath;
    bool m_linked = false;
    QSocketNotifier *m_readNotifier = nullptr;
    QTimer m_idleTimer;
    QTimer m_pumpTimer;
    QTimer m_drainTimer;
    QTimer m_clockTimer;
    qint32 m_toolStartBaud = 0; // the tool's rate when the device first switched (0: never)
    quint32 m_sendBaud = 0;     // the rate the device's transmitter is switched to (0: start)
    QQueue<Pending> m_queue;
    qint64 m_lineFreeNs = 0;   // when the line to the tool is free again
    qint64 m_deviceFreeNs = 0; // when the device has done its work (erase, write)
    qint32 m_baud = 0;         // the line's rate now, 10 bits a byte; 0 without pacing
    bool m_exitPending = false;
    bool m_hangupPending = false;
    qint64 m_drainStartUs = 0;
    qint64 m_startUs = 0;
};

// One JSON line on stdout, flushed at once.
void printJsonLine(const QString &line);
// A string as a JSON string literal, quotes included.
QString jsonString(const QString &text);
