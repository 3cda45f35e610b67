#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QStringList>
#include <QTimer>
#include <QVector>
#include <chrono>

class QFileSystemWatcher;

namespace flash {

// Follows the device paths that match shell-style patterns ("/dev/ttyUSB*",
// "/dev/serial/by-id/usb-*"). Paths are matched on the filesystem and symbolic links are
// followed; only character devices count, so a dangling link is absent. A path is reported once it
// has existed for one poll (a device that is still being set up is not caught half-made), and
// reported again only after it has vanished and come back, or come back as another device behind
// the same name.
//
// What it costs while nothing happens does not grow with the entries that are no devices: an
// entry whose folder says it is a regular file, a folder, a pipe or a socket is never looked
// at (it cannot turn into a device without becoming a new entry), and, on file systems that
// do not say, one found to be none is remembered by its inode. A folder's reading is kept
// while its status change time stays the same. The folder of a pattern is watched for changes
// where the system allows: it is read again when it changes, and every FullLookEvery polls it
// is looked at as a safety net (read again if its change time moved); the polls between look
// only at the devices and links already found. A pattern whose folder cannot be watched (a
// pattern in the folder part, a folder that does not exist yet) is looked at every poll. Every
// folder is read again, whatever its change time, every FullLookEvery * ReadAgainEvery polls.
class PortWatcher : public QObject
{
    Q_OBJECT
public:
    static constexpr std::chrono::milliseconds PollInterval{200};
    static constexpr int FullLookEvery = 10;  // 2 s
    static constexpr int ReadAgainEvery = 15; // full looks: 30 s

    // A folder's reading is trusted once the folder had been unchanged this long before it:
    // at least one tick of the coarsest clock of a file system (FAT's ticks every 2 s).
    static constexpr std::chrono::milliseconds Settled{2000};

    // Tests poll faster, may leave the safety nets out (a large fullLookEvery) and trust a
    // reading sooner.
    struct Timing
    {
        std::chrono::milliseconds poll;
        int fullLookEvery;
        std::chrono::milliseconds settled;
    };
    explicit PortWatcher(const QStringList &patterns, QObject *parent = nullptr);
    PortWatcher(const QStringList &patterns, const Timing &timing, QObject *parent = nullptr);

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
    // An entry a pattern matched that may be a device (a device, a link, or of a type its
    // folder does not tell).
    struct Candidate
    {
        QByteArray path;
        quint64 inode = 0;        // as the folder gives it; 0 when not read from a folder
        bool typeUnknown = false; // the folder did not tell the type
    };
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
    // What a folder held when it was last read: the entries matching one part of a pattern.
    struct Listing
    {
        quint64 dev = 0, ino = 0;
        qint64 changedNs = 0; // the folder's status change time then
        qint64 readNs = 0;    // when it was read (the system's clock)
        QVector<Candidate> entries;
    };
    struct Pattern
    {
        QList<QByteArray> parts; // the path's components
        QString folder;          // where a change is watched for (empty: none)
        bool watched = false;
        QVector<Candidate> candidates;       // from the last look at the folders
        QHash<QByteArray, quint64> noDevice; // path -> inode, where the type had to be asked
        QHash<QByteArray, Listing> listings; // by folder
    };

    // A look at the paths: the devices and links found before, and the folders of the patterns
    // not watched (read again when they may have changed); with `all` every pattern's folders
    // so; with `readAll` every folder read again; `changed` reads those of one folder again.
    void poll(bool all, bool readAll, const QString &changed = QString());
    void lookAt(Pattern &pattern, bool reread);
    void expand(Pattern &pattern, const QByteArray &base, int i, bool reread,
                QVector<Candidate> *out);
    const QVector<Candidate> &listing(Pattern &pattern, const QByteArray &folder, int i,
                                      bool reread);
    void seen(const QString &path, const Identity &id, qint64 now);

    QVector<Pattern> m_patterns;
    QHash<QString, Entry> m_entries;
    QTimer m_poll;
    Timing m_timing;
    qint64 m_polls = 0;
    QElapsedTimer m_clock;
    QFileSystemWatcher *m_fsWatcher = nullptr;
};

} // namespace flash
