#include "portwatcher.h"

#include <QFile>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QSet>
#include <algorithm>
#include <dirent.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <time.h>

namespace flash {

namespace {

bool hasGlobCharacters(const QByteArray &text)
{
    return text.contains('*') || text.contains('?') || text.contains('[') || text.contains('\\');
}

bool isDotOrDotDot(const char *name)
{
    return name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0));
}

} // namespace

PortWatcher::PortWatcher(const QStringList &patterns, QObject *parent)
    : PortWatcher(patterns, Timing{PollInterval, FullLookEvery, Settled}, parent)
{
}

PortWatcher::PortWatcher(const QStringList &patterns, const Timing &timing, QObject *parent)
    : QObject(parent), m_timing(timing)
{
    m_poll.setInterval(m_timing.poll);
    m_poll.setTimerType(Qt::PreciseTimer);
    connect(&m_poll, &QTimer::timeout, this, [this] {
        ++m_polls;
        const bool readAll = m_polls % (qint64(m_timing.fullLookEvery) * ReadAgainEvery) == 0;
        poll(readAll || m_polls % m_timing.fullLookEvery == 0, readAll);
    });

    // The folder of each pattern, when the folder itself is a plain name that exists now.
    QStringList folders;
    for (const QString &text : patterns) {
        Pattern pattern;
        for (const QByteArray &part : QFile::encodeName(text).split('/')) {
            if (!part.isEmpty())
                pattern.parts << part;
        }
        if (pattern.parts.isEmpty())
            continue;
        const QString folder = QFileInfo(text).path();
        if (!hasGlobCharacters(QFile::encodeName(folder)) && QFileInfo(folder).isDir()) {
            pattern.folder = folder;
            if (!folders.contains(folder))
                folders << folder;
        }
        m_patterns << pattern;
    }
    if (folders.isEmpty())
        return;
    m_fsWatcher = new QFileSystemWatcher(this);
    m_fsWatcher->addPaths(folders);
    const auto markWatched = [this] {
        const QStringList watched = m_fsWatcher->directories();
        for (Pattern &pattern : m_patterns)
            pattern.watched = !pattern.folder.isEmpty() && watched.contains(pattern.folder);
    };
    markWatched();
    // A change is looked at now, and the next poll comes one interval after it, so a new path
    // is opened one poll after it was first seen.
    connect(m_fsWatcher, &QFileSystemWatcher::directoryChanged, this,
            [this, markWatched](const QString &folder) {
                // A folder deleted is no longer watched: from now on it is polled.
                markWatched();
                if (!m_poll.isActive())
                    return;
                poll(false, false, folder);
                m_poll.start();
            });
}

QStringList PortWatcher::watchedFolders() const
{
    return m_fsWatcher ? m_fsWatcher->directories() : QStringList();
}

void PortWatcher::start()
{
    m_clock.start();
    m_polls = 0;
    m_poll.start();
    poll(true, true);
}

void PortWatcher::stop()
{
    m_poll.stop();
}

bool PortWatcher::isPresent(const QString &path) const
{
    const auto it = m_entries.constFind(path);
    return it != m_entries.constEnd() && it->reported;
}

// The entries below base that match parts[i..], in the order glob(3) gives them: folders
// whose names match are entered; of the last part only entries that may be character
// devices are kept.
void PortWatcher::expand(Pattern &pattern, const QByteArray &base, int i, bool reread,
                         QVector<Candidate> *out)
{
    const QByteArray &part = pattern.parts.at(i);
    const bool last = i + 1 == pattern.parts.size();
    if (!hasGlobCharacters(part)) {
        const QByteArray path = base + '/' + part;
        if (last)
            out->append({path, 0, true});
        else
            expand(pattern, path, i + 1, reread, out);
        return;
    }
    // A copy: entering a folder below may add listings.
    const QVector<Candidate> here = listing(pattern, base.isEmpty() ? "/" : base, i, reread);
    for (const Candidate &candidate : here) {
        if (last)
            out->append(candidate);
        else
            expand(pattern, candidate.path, i + 1, reread, out);
    }
}

// The entries of a folder matching part i of the pattern. The type comes from the folder, so
// a folder of many files costs one reading of it and no stat() at all; and the reading is
// kept while the folder's status change time stays what it was. A change made in the same
// tick of the file system's clock as the reading would leave that time as it was, so a
// reading is trusted only once the folder had been unchanged for a while before it (Settled).
const QVector<PortWatcher::Candidate> &
PortWatcher::listing(Pattern &pattern, const QByteArray &folder, int i, bool reread)
{
    static const QVector<Candidate> none;
    constexpr qint64 Second = 1000000000;
    timespec now = {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    struct stat st = {};
    if (::stat(folder.constData(), &st) != 0) {
        pattern.listings.remove(folder);
        return none;
    }
    const qint64 changed = qint64(st.st_ctim.tv_sec) * Second + st.st_ctim.tv_nsec;
    Listing &l = pattern.listings[folder];
    if (!reread && l.dev == quint64(st.st_dev) && l.ino == quint64(st.st_ino) &&
        l.changedNs == changed &&
        changed < l.readNs - std::chrono::nanoseconds(m_timing.settled).count())
        return l.entries;
    l = Listing();
    l.dev = quint64(st.st_dev);
    l.ino = quint64(st.st_ino);
    l.changedNs = changed;
    l.readNs = qint64(now.tv_sec) * Second + now.tv_nsec;
    DIR *dir = ::opendir(folder.constData());
    if (!dir)
        return l.entries;
    const QByteArray &part = pattern.parts.at(i);
    const bool last = i + 1 == pattern.parts.size();
    const QByteArray prefix = folder == "/" ? QByteArray() : folder;
    while (const dirent *entry = ::readdir(dir)) {
        const unsigned char type = entry->d_type;
        const bool maybe = type == DT_LNK || type == DT_UNKNOWN || type == (last ? DT_CHR : DT_DIR);
        if (!maybe || isDotOrDotDot(entry->d_name) ||
            ::fnmatch(part.constData(), entry->d_name, FNM_PERIOD) != 0)
            continue;
        l.entries.append({prefix + '/' + entry->d_name, quint64(entry->d_ino), type == DT_UNKNOWN});
    }
    ::closedir(dir);
    std::sort(l.entries.begin(), l.entries.end(),
              [](const Candidate &a, const Candidate &b) { return a.path < b.path; });
    return l.entries;
}

void PortWatcher::lookAt(Pattern &pattern, bool reread)
{
    if (reread)
        pattern.listings.clear(); // folders no longer reached are forgotten
    QVector<Candidate> found;
    expand(pattern, QByteArray(), 0, reread, &found);
    QHash<QByteArray, quint64> noDevice;
    pattern.candidates.clear();
    for (const Candidate &candidate : qAsConst(found)) {
        if (candidate.typeUnknown) {
            // The folder did not tell: asked once, remembered while the inode stays the same.
            const quint64 known = pattern.noDevice.value(candidate.path);
            if (known != 0 && known == candidate.inode) {
                noDevice.insert(candidate.path, known);
                continue;
            }
            struct stat name = {};
            if (::lstat(candidate.path.constData(), &name) == 0 && !S_ISLNK(name.st_mode) &&
                !S_ISCHR(name.st_mode)) {
                if (candidate.inode != 0)
                    noDevice.insert(candidate.path, candidate.inode);
                continue;
            }
        }
        pattern.candidates.append(candidate);
    }
    pattern.noDevice = noDevice;
}

void PortWatcher::poll(bool all, bool readAll, const QString &changed)
{
    const qint64 now = m_clock.elapsed();
    QSet<QString> present;
    for (Pattern &pattern : m_patterns) {
        const bool reread = readAll || (pattern.watched && pattern.folder == changed);
        if (reread || all || !pattern.watched)
            lookAt(pattern, reread);
        for (const Candidate &candidate : qAsConst(pattern.candidates)) {
            const QString path = QFile::decodeName(candidate.path);
            if (present.contains(path))
                continue;
            struct stat name = {};
            struct stat target = {};
            // A dangling link is no device, nor is a link to a file (a log beside the links).
            if (::lstat(candidate.path.constData(), &name) != 0 ||
                ::stat(candidate.path.constData(), &target) != 0 || !S_ISCHR(target.st_mode))
                continue;
            Identity id;
            id.nameDev = quint64(name.st_dev);
            id.nameIno = quint64(name.st_ino);
            id.dev = quint64(target.st_dev);
            id.ino = quint64(target.st_ino);
            id.rdev = quint64(target.st_rdev);
            present.insert(path);
            seen(path, id, now);
        }
    }
    for (auto it = m_entries.begin(); it != m_entries.end();) {
        if (present.contains(it.key())) {
            ++it;
            continue;
        }
        const QString path = it.key();
        const bool wasReported = it->reported;
        it = m_entries.erase(it);
        if (wasReported)
            emit vanished(path);
    }
}

void PortWatcher::seen(const QString &path, const Identity &id, qint64 now)
{
    auto it = m_entries.find(path);
    if (it != m_entries.end() && !(it->identity == id)) {
        // Another device behind the same name: the old one went first.
        const bool wasReported = it->reported;
        m_entries.erase(it);
        if (wasReported)
            emit vanished(path);
        it = m_entries.end();
    }
    if (it == m_entries.end()) {
        Entry entry;
        entry.identity = id;
        entry.firstSeenMs = now;
        m_entries.insert(path, entry);
        return;
    }
    // Timers may fire a little early; a path seen this much short of a full poll still counts.
    const qint64 slack = qMin<qint64>(10, m_timing.poll.count() / 5);
    if (!it->reported && now - it->firstSeenMs >= m_timing.poll.count() - slack) {
        it->reported = true;
        emit appeared(path);
    }
}

} // namespace flash
