#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>

class FlashJob;

namespace flash {

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

} // namespace flash

// A record of every board attempted: one JSON object per line, appended and flushed to the
// disk the moment a board ends, so a crash or a power cut loses at most the boards in
// flight. An existing log is never truncated or rewritten.
class BoardLog
{
public:
    BoardLog() = default;
    ~BoardLog();
    BoardLog(const BoardLog &) = delete;
    BoardLog &operator=(const BoardLog &) = delete;

    // Opens (creating) the log for appending; false with *error set when it cannot.
    bool open(const QString &path, QString *error);
    bool isOpen() const { return m_fd >= 0; }

    // The record of one board that has ended.
    static QJsonObject record(const FlashJob &job, const QString &firmware,
                              const flash::ImageDigest &digest, const flash::PortIdentity &port);
    // Appends the record as one line and waits until it is on the disk. False (and
    // *error) when the write failed; the caller says so, the boards go on.
    bool append(const QJsonObject &record, QString *error);

private:
    int m_fd = -1;
    QString m_path;
};
