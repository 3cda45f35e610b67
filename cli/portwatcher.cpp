#include "portwatcher.h"

#include <QFile>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QSet>
#include <glob.h>
#include <sys/stat.h>

namespace {

// Timers may fire a little early; a path seen this much short of a full poll still counts.
constexpr std::chrono::milliseconds PollSlack{10};

bool hasGlobCharacters(const QString &text)
{
    return text.contains(QLatin1Char('*')) || text.contains(QLatin1Char('?')) ||
           text.contains(QLatin1Char('['));
}

} // namespace

PortWatcher::PortWatcher(const QStringList &patterns, QObject *parent)
    : QObject(parent), m_patterns(patterns)
{
    m_poll.setInterval(PollInterval);
    m_poll.setTimerType(Qt::PreciseTimer);
    connect(&m_poll, &QTimer::timeout, this, &PortWatcher::scan);

    // The folder of each pattern, when the folder itself is a plain name that exists now.
    QStringList folders;
    for (const QString &pattern : m_patterns) {
        const QString folder = QFileInfo(pattern).path();
        if (!hasGlobCharacters(folder) && QFileInfo(folder).isDir() && !folders.contains(folder))
            folders << folder;
    }
    if (!folders.isEmpty()) {
        m_fsWatcher = new QFileSystemWatcher(this);
        const QStringList failed = m_fsWatcher->addPaths(folders);
        if (failed.size() == folders.size()) {
            delete m_fsWatcher;
            m_fsWatcher = nullptr;
        } else {
            // A change is looked at now, and the next poll comes one interval after it, so
            // a new path is opened one poll after it was first seen.
            connect(m_fsWatcher, &QFileSystemWatcher::directoryChanged, this, [this] {
                if (!m_poll.isActive())
                    return;
                scan();
                m_poll.start();
            });
        }
    }
}

QStringList PortWatcher::watchedFolders() const
{
    return m_fsWatcher ? m_fsWatcher->directories() : QStringList();
}

void PortWatcher::start()
{
    m_clock.start();
    m_poll.start();
    scan();
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

QStringList PortWatcher::match() const
{
    QStringList paths;
    for (const QString &pattern : m_patterns) {
        glob_t found = {};
        const QByteArray encoded = QFile::encodeName(pattern);
        if (::glob(encoded.constData(), 0, nullptr, &found) == 0) {
            for (size_t i = 0; i < found.gl_pathc; ++i) {
                const QString path = QFile::decodeName(found.gl_pathv[i]);
                if (!paths.contains(path))
                    paths << path;
            }
        }
        ::globfree(&found);
    }
    return paths;
}

void PortWatcher::scan()
{
    const qint64 now = m_clock.elapsed();
    QSet<QString> seen;
    for (const QString &path : match()) {
        const QByteArray encoded = QFile::encodeName(path);
        struct stat name = {};
        struct stat target = {};
        // A dangling link is no device, nor is a file that happens to match (a log beside
        // the links, say).
        if (::lstat(encoded.constData(), &name) != 0 || ::stat(encoded.constData(), &target) != 0 ||
            !S_ISCHR(target.st_mode))
            continue;
        Identity id;
        id.nameDev = quint64(name.st_dev);
        id.nameIno = quint64(name.st_ino);
        id.dev = quint64(target.st_dev);
        id.ino = quint64(target.st_ino);
        id.rdev = quint64(target.st_rdev);
        seen.insert(path);

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
            continue;
        }
        if (!it->reported && now - it->firstSeenMs >= (PollInterval - PollSlack).count()) {
            it->reported = true;
            emit appeared(path);
        }
    }
    for (auto it = m_entries.begin(); it != m_entries.end();) {
        if (seen.contains(it.key())) {
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
