// The watcher of device paths, on symbolic links in a temporary folder to character devices
// every system has (/dev/null, /dev/zero): a path is reported once it has existed for one
// poll, once per appearance; a dangling link or a plain file is no device; a name that comes
// back, or leads to another device, is a new device. The watcher polls every 25 ms here.
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include "portwatcher.h"
#include <sys/stat.h>
#include <time.h>

namespace {
constexpr std::chrono::milliseconds Poll{25};
// No safety net: what a test finds, it finds by the looks that keep the idle cost down. A
// folder's reading is trusted once it had been unchanged for 300 ms (tmpfs and ext4 keep
// their times to the nanosecond, or at worst to a tick of the kernel's clock).
constexpr flash::PortWatcher::Timing Fast{Poll, 1000000, std::chrono::milliseconds(300)};

bool touch(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly);
}
// A device at the path, as a link to one.
bool plug(const QString &path, const char *device = "/dev/null")
{
    return QFile::link(QString::fromLatin1(device), path);
}
QStringList reportedPaths(const QSignalSpy &spy)
{
    QStringList paths;
    for (const QList<QVariant> &args : spy)
        paths << args.at(0).toString();
    paths.sort();
    return paths;
}
} // namespace

class TestPortWatcher : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void reportedAfterOnePoll_data();
    void reportedAfterOnePoll();
    void danglingLinkIsAbsent_data();
    void danglingLinkIsAbsent();
    void goneAndBack();
    void linkToAnotherDevice();
    void busyFolder();
    void watchedFolderRemade();
    void polledFolderUnchangedLong();

private:
    // Lets the watcher look at least twice more: a marker device plugged now is reported only
    // after it was seen and then seen again one poll later. The marker is gone again after.
    void settle(const flash::PortWatcher &watcher, QSignalSpy &appeared, const QString &markerBase);

    QTemporaryDir m_old; // made at the start, left alone until the last test
    std::unique_ptr<QTemporaryDir> m_dir;
    QString path(const QString &name) const { return m_dir->filePath(name); }
};

void TestPortWatcher::initTestCase()
{
    QVERIFY(m_old.isValid());
    QVERIFY(QDir(m_old.path()).mkpath(QStringLiteral("ports")));
}

void TestPortWatcher::init()
{
    m_dir.reset(new QTemporaryDir);
    QVERIFY(m_dir->isValid());
    QVERIFY(QDir(m_dir->path()).mkpath(QStringLiteral("sub")));
    QVERIFY(plug(path(QStringLiteral("dev-0"))));
    QVERIFY(QFile::link(path(QStringLiteral("dev-0")), path(QStringLiteral("link-0"))));
    // Plain files are never reported.
    QVERIFY(touch(path(QStringLiteral("dev-file"))));
    QVERIFY(touch(path(QStringLiteral("link-file"))));
}

void TestPortWatcher::settle(const flash::PortWatcher &watcher, QSignalSpy &appeared,
                             const QString &markerBase)
{
    // A new name each time: a link made again at once may get the same inode back.
    static int markers = 0;
    const QString marker = markerBase + QString::number(++markers);
    const int before = appeared.count();
    QVERIFY(plug(marker, "/dev/zero"));
    QTRY_VERIFY_WITH_TIMEOUT(reportedPaths(appeared).contains(marker), 5000);
    QCOMPARE(appeared.count(), before + 1);
    appeared.removeLast();
    QVERIFY(QFile::remove(marker));
    QTRY_VERIFY_WITH_TIMEOUT(!watcher.isPresent(marker), 5000);
}

void TestPortWatcher::reportedAfterOnePoll_data()
{
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("marker");
    QTest::addColumn<bool>("folderWatched");

    QTest::newRow("file, folder watched") << "dev-*"
                                          << "dev-1"
                                          << "dev-m" << true;
    QTest::newRow("link, folder watched") << "link-*"
                                          << "link-1"
                                          << "link-m" << true;
    // A pattern in the folder part leaves polling alone.
    QTest::newRow("polling only") << "s*/tty*"
                                  << "sub/ttyA"
                                  << "sub/ttyM" << false;
}

void TestPortWatcher::reportedAfterOnePoll()
{
    QFETCH(QString, pattern);
    QFETCH(QString, name);
    QFETCH(QString, marker);
    QFETCH(bool, folderWatched);

    flash::PortWatcher watcher({path(pattern)}, Fast);
    QCOMPARE(!watcher.watchedFolders().isEmpty(), folderWatched);
    QSignalSpy appeared(&watcher, &flash::PortWatcher::appeared);
    watcher.start();
    QElapsedTimer clock;
    clock.start();
    if (name.startsWith(QLatin1String("link")))
        QVERIFY(QFile::link(path(QStringLiteral("dev-0")), path(name)));
    else
        QVERIFY(plug(path(name)));
    QTRY_VERIFY_WITH_TIMEOUT(reportedPaths(appeared).contains(path(name)), 5000);
    // Not before it existed for one poll (timers may fire up to 10 ms early).
    QVERIFY2(clock.elapsed() >= Poll.count() - 10, qPrintable(QString::number(clock.elapsed())));
    // What was there at the start is reported after one poll too, and nothing twice.
    settle(watcher, appeared, path(marker));
    settle(watcher, appeared, path(marker));
    QStringList expected{path(name)};
    if (pattern == QLatin1String("dev-*"))
        expected << path(QStringLiteral("dev-0"));
    if (pattern == QLatin1String("link-*"))
        expected << path(QStringLiteral("link-0"));
    expected.sort();
    QCOMPARE(reportedPaths(appeared), expected);
    QVERIFY(watcher.isPresent(path(name)));
}

void TestPortWatcher::danglingLinkIsAbsent_data()
{
    QTest::addColumn<QString>("target");
    QTest::newRow("target in the watched folder") << "nothing";
    // Nothing changes in the watched folder when it comes: the link itself is looked at.
    QTest::newRow("target in another folder") << "sub/nothing";
}

void TestPortWatcher::danglingLinkIsAbsent()
{
    QFETCH(QString, target);
    QVERIFY(QFile::link(path(target), path(QStringLiteral("ttyX"))));
    flash::PortWatcher watcher({path(QStringLiteral("tty*"))}, Fast);
    QSignalSpy appeared(&watcher, &flash::PortWatcher::appeared);
    watcher.start();
    settle(watcher, appeared, path(QStringLiteral("ttyM")));
    QCOMPARE(appeared.count(), 0);
    // The device behind it comes: now it is there.
    QVERIFY(plug(path(target)));
    QVERIFY(appeared.wait(5000));
    QCOMPARE(appeared.takeFirst().at(0).toString(), path(QStringLiteral("ttyX")));
}

void TestPortWatcher::goneAndBack()
{
    flash::PortWatcher watcher({path(QStringLiteral("link-*"))}, Fast);
    QSignalSpy appeared(&watcher, &flash::PortWatcher::appeared);
    QSignalSpy vanished(&watcher, &flash::PortWatcher::vanished);
    watcher.start();
    QVERIFY(appeared.wait(5000));
    // Still there after many polls: reported once.
    for (int i = 0; i < 3; ++i)
        settle(watcher, appeared, path(QStringLiteral("link-m")));
    QCOMPARE(appeared.count(), 1);
    vanished.clear();
    QVERIFY(QFile::remove(path(QStringLiteral("link-0"))));
    QTRY_COMPARE_WITH_TIMEOUT(vanished.count(), 1, 5000);
    QCOMPARE(vanished.takeFirst().at(0).toString(), path(QStringLiteral("link-0")));
    QVERIFY(!watcher.isPresent(path(QStringLiteral("link-0"))));
    QVERIFY(QFile::link(path(QStringLiteral("dev-0")), path(QStringLiteral("link-0"))));
    QVERIFY(appeared.wait(5000));
    QCOMPARE(appeared.count(), 2);
}

// A link made again to another device between two polls: the old device went, a new one came.
void TestPortWatcher::linkToAnotherDevice()
{
    QVERIFY(plug(path(QStringLiteral("dev-1")), "/dev/zero"));
    flash::PortWatcher watcher({path(QStringLiteral("link-*"))}, Fast);
    QSignalSpy appeared(&watcher, &flash::PortWatcher::appeared);
    QSignalSpy vanished(&watcher, &flash::PortWatcher::vanished);
    watcher.start();
    QVERIFY(appeared.wait(5000));
    const QByteArray temp = QFile::encodeName(path(QStringLiteral("new-link")));
    QVERIFY(QFile::link(path(QStringLiteral("dev-1")), QString::fromLocal8Bit(temp)));
    QVERIFY(::rename(temp.constData(), QFile::encodeName(path(QStringLiteral("link-0")))) == 0);
    QTRY_COMPARE_WITH_TIMEOUT(appeared.count(), 2, 5000);
    QCOMPARE(vanished.count(), 1);
}

// A folder full of files that match: none is reported, a device among them is, and so is a
// file's name when a device takes its place.
void TestPortWatcher::busyFolder()
{
    for (int i = 0; i < 300; ++i)
        QVERIFY(touch(path(QStringLiteral("sub/tty%1").arg(i))));
    QVERIFY(QDir(m_dir->path()).mkpath(QStringLiteral("sub/ttyDir")));
    flash::PortWatcher watcher({path(QStringLiteral("sub/tty*"))}, Fast);
    QSignalSpy appeared(&watcher, &flash::PortWatcher::appeared);
    watcher.start();
    QVERIFY(plug(path(QStringLiteral("sub/ttyUSB0"))));
    QVERIFY(appeared.wait(5000));
    QCOMPARE(reportedPaths(appeared), QStringList{path(QStringLiteral("sub/ttyUSB0"))});
    const QByteArray temp = QFile::encodeName(path(QStringLiteral("sub/new-link")));
    QVERIFY(QFile::link(QStringLiteral("/dev/null"), QString::fromLocal8Bit(temp)));
    QVERIFY(::rename(temp.constData(), QFile::encodeName(path(QStringLiteral("sub/tty7")))) == 0);
    QVERIFY(appeared.wait(5000));
    QCOMPARE(reportedPaths(appeared),
             (QStringList{path(QStringLiteral("sub/tty7")), path(QStringLiteral("sub/ttyUSB0"))}));
}

// The watched folder is deleted and made again: what comes into the new one is still found.
void TestPortWatcher::watchedFolderRemade()
{
    flash::PortWatcher watcher({path(QStringLiteral("sub/tty*"))}, Fast);
    QCOMPARE(watcher.watchedFolders(), QStringList{path(QStringLiteral("sub"))});
    QSignalSpy appeared(&watcher, &flash::PortWatcher::appeared);
    QSignalSpy vanished(&watcher, &flash::PortWatcher::vanished);
    watcher.start();
    QVERIFY(plug(path(QStringLiteral("sub/ttyA"))));
    QVERIFY(appeared.wait(5000));
    QVERIFY(QDir(path(QStringLiteral("sub"))).removeRecursively());
    QTRY_COMPARE_WITH_TIMEOUT(vanished.count(), 1, 5000);
    QVERIFY(QDir(m_dir->path()).mkpath(QStringLiteral("sub")));
    QVERIFY(plug(path(QStringLiteral("sub/ttyB"))));
    QTRY_COMPARE_WITH_TIMEOUT(appeared.count(), 2, 5000);
    QCOMPARE(appeared.last().at(0).toString(), path(QStringLiteral("sub/ttyB")));
}

// A polled folder that has not changed for a while is not read at every poll; a device that
// comes into it is found all the same.
void TestPortWatcher::polledFolderUnchangedLong()
{
    const QString folder = m_old.filePath(QStringLiteral("ports"));
    const auto unchangedFor = [&folder](qint64 ms) {
        struct stat st = {};
        timespec now = {};
        ::clock_gettime(CLOCK_REALTIME, &now);
        return ::stat(QFile::encodeName(folder).constData(), &st) == 0 &&
               (now.tv_sec - st.st_ctim.tv_sec) * 1000 +
                       (now.tv_nsec - st.st_ctim.tv_nsec) / 1000000 >
                   ms;
    };
    // The folder was made at the start of this test program: the time has gone by.
    QTRY_VERIFY_WITH_TIMEOUT(unchangedFor(Fast.settled.count() + 100), 5000);
    flash::PortWatcher watcher({m_old.filePath(QStringLiteral("p*/tty*"))}, Fast);
    QVERIFY(watcher.watchedFolders().isEmpty());
    QSignalSpy appeared(&watcher, &flash::PortWatcher::appeared);
    watcher.start();
    QVERIFY(plug(m_old.filePath(QStringLiteral("ports/ttyA"))));
    QVERIFY(appeared.wait(5000));
    QCOMPARE(reportedPaths(appeared), QStringList{m_old.filePath(QStringLiteral("ports/ttyA"))});
}

QTEST_GUILESS_MAIN(TestPortWatcher)
#include "tst_portwatcher.moc"
