#pragma once

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QStringList>
#include <QTimer>
#include <chrono>

class QFileSystemWatcher;

// Follows the device paths that match shell-style patterns ("/dev/ttyUSB*",
// "/dev/serial/by-id/usb-*"). Paths are matched on the filesystem and symbolic links are
// followed; only character devices count, so a dangling link is absent. A path is reported once it
// has existed for one poll (a device that is still being set up is not caught half-made), and
// reported again only after it has vanished and come back, or come back as another device behind
// the same name. The folders of the patterns are watched for changes where the system allows; a
// poll every PollInterval catches everything else.
class PortWatcher : public QObject
{
    Q_OBJECT
public:
    static constexpr std::chrono::milliseconds PollInterval{200};

    explicit PortWatcher(const QStringList &patterns, QObject *parent = nullptr);

    // The first look happens at once; paths already there are reported one poll later.
    void start();
    void stop();
    // The path is there now and has been reported.
    bool isPresent(const QString &path) const;
    // Folders watched for changes (empty: polling alone).
    QStringList watchedFolders() const;

signals:
    void appeared(const QString &path);
    void vanished(const QString &path);

private:
    struct Identity
    {
        // The name itself (a link is a new link when made again) and what it leads to.
        quint64 nameDev = 0, nameIno = 0;
        quint64 dev = 0, ino = 0, rdev = 0;
        bool operator==(const Identity &o) const
        {
            return nameDev == o.nameDev && nameIno == o.nameIno && dev == o.dev && ino == o.ino &&
                   rdev == o.rdev;
        }
    };
    struct Entry
    {
        Identity identity;
        qint64 firstSeenMs = 0;
        bool reported = false;
    };

    void scan();
    QStringList match() const;

    QStringList m_patterns;
    QHash<QString, Entry> m_entries;
    QTimer m_poll;
    QElapsedTimer m_clock;
    QFileSystemWatcher *m_fsWatcher = nullptr;
};
