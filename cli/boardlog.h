#pragma once

#include "language.h"
#include <QByteArray>
#include <QElapsedTimer>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <chrono>
#include <functional>

namespace flash {

class FlashJob;

// What the system knows about the device behind a port (USB serial number, vendor and
// product ids); empty or -1 where it does not know.
struct PortIdentity
{
    QString serial;
    int vid = -1;
    int pid = -1;
};
// Looked up while the device is there; a symbolic link is followed to the device it names.
PortIdentity lookUpPort(const QString &path);

// The image as every board receives it, for tracing a board to the exact image.
struct ImageDigest
{
    QString sha256; // lower-case hex
    QString crc32;  // 8 lower-case hex digits
};
ImageDigest digestOf(const QByteArray &image);

// "2026-01-31T12:34:56.789Z"
QString timestamp();

// A record of every board attempted: one JSON object per line, appended and flushed to the
// disk the moment a board ends, so a crash or a power cut loses at most the boards in
// flight. An existing log is never truncated or rewritten.
//
// A record is written whole or not at all. When the file system takes only part of it (a full
// disk, a size limit), the file is cut back to the end it had before the record, and the
// record is kept: it is written again before the next record and once more at finish(), in the
// order the boards ended. "The end it had before" is the offset the record's first byte
// landed at (O_APPEND puts every write at the end of that moment). iap-flash processes sharing
// one log take an exclusive flock() around each record, so no other record can come between
// a record's bytes and the cut; bytes that a writer which does not lock appended behind a cut
// record are left alone (the cut is skipped rather than their data destroyed).
//
// A log that does not end with a line end (an older version or a crash cut its last line)
// gets one before the next record, so every record starts on a line of its own. A log moved
// away or deleted while the run goes on is noticed before the next record (the open file is
// no longer the one at the path) and created again at the path.
//
// The lock is never waited for: while another program holds it (a log shipper, an operator's
// `flock`), records are kept as on a full disk, tried again every LockRetry, and the boards
// and signals go on. At the end of the run the log waits at most LockWait for the lock.
class BoardLog
{
public:
    static constexpr std::chrono::milliseconds LockRetry{200};
    static constexpr std::chrono::milliseconds LockWait{10000};
    // The code the program exits with (flash::Success or flash::LogLost) and, for LogLost, the
    // line that says which records are missing.
    using Finished = std::function<void(int code, const QString &error)>;

    BoardLog() = default;
    ~BoardLog();
    BoardLog(const BoardLog &) = delete;
    BoardLog &operator=(const BoardLog &) = delete;

    // Opens (creating) the log for appending; false with *error set when it cannot. Only a
    // regular file (after links) or a name not taken yet is a log: a device, a pipe, a socket
    // or a folder is refused at once, never waited on. Texts in Chinese when `language`.
    bool open(const QString &path, iap::Language language, QString *error);
    bool isOpen() const { return !m_path.isEmpty(); }

    // The record of one board that has ended.
    static QJsonObject record(const FlashJob &job, const QString &firmware,
                              const flash::ImageDigest &digest, const flash::PortIdentity &port);
    // Appends the record as one line (after those kept back earlier) and waits until it is on
    // the disk. False when it could not be written: it is kept; the boards go on. *error says
    // why, or is empty when a lock held by another program has been told of already.
    bool append(const QJsonObject &record, QString *error);
    // At the end of the run the records kept back are tried once more (while the lock is held
    // by another program, again until LockWait has passed), then `done` is called, from
    // within this call when nothing is waited for.
    void finish(const Finished &done);
    // A signal came: no more waiting for the lock, now or at the end.
    void stopWaiting();

private:
    int openFile(const QString &path, QString *reason) const;
    bool reopenIfReplaced(QString *reason);
    bool writeLine(const QByteArray &record, int *errorNumber);
    bool flushKept();
    void retry();

    int m_fd = -1;
    QString m_path;
    iap::Language m_language = iap::Language::English;
    // Lines not written yet, oldest first, and the ports they belong to.
    QList<QByteArray> m_kept;
    QStringList m_keptPorts;
    QString m_lastReason;    // why the last write failed
    bool m_locked = false;   // the last write found the lock held by another program
    bool m_lockTold = false; // ... and that has been said
    bool m_hurry = false;    // a signal came: the lock is not waited for any more
    QTimer m_retry;
    QElapsedTimer m_finishing;
    Finished m_done;
};

} // namespace flash
