// The watcher of device paths, on symbolic links in a temporary folder to character devices
// every system has (/dev/null, /dev/zero): a path is reported once it has existed for one
// poll, once per appearance; a dangling link or a plain file is no device; a name that comes
// back, or leads to another device, is a new device.
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include "portwatcher.h"

namespace {
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
} // namespace

class TestPortWatcher : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void reportedAfterOnePoll_data();
    void reportedAfterOnePoll();
    void danglingLinkIsAbsent();
    void goneAndBack();
    void linkToAnotherDevice();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QString path(const QString &name) const { return m_dir->filePath(name); }
};

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

void TestPortWatcher::reportedAfterOnePoll_data()
{
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("folderWatched");

    QTest::newRow("file, folder watched") << "dev-*"
                                          << "dev-1" << true;
    QTest::newRow("link, folder watched") << "link-*"
                                          << "link-1" << true;
    // A pattern in the folder part leaves polling alone.
    QTest::newRow("polling only") << "s*/tty?"
                                  << "sub/ttyA" << false;
}

void TestPortWatcher::reportedAfterOnePoll()
{
    QFETCH(QString, pattern);
    QFETCH(QString, name);
    QFETCH(bool, folderWatched);

    PortWatcher watcher({path(pattern)});
    QCOMPARE(!watcher.watchedFolders().isEmpty(), folderWatched);
    QSignalSpy appeared(&watcher, &PortWatcher::appeared);
    watcher.start();
    QElapsedTimer clock;
    clock.start();
    if (name.startsWith(QLatin1String("link")))
        QVERIFY(QFile::link(path(QStringLiteral("dev-0")), path(name)));
    else
        QVERIFY(plug(path(name)));
    QVERIFY(appeared.wait(2000));
    QVERIFY2(clock.elapsed() >= 180, qPrintable(QString::number(clock.elapsed())));
    // What was there at the start is reported after one poll too, and nothing twice.
    QTest::qWait(600);
    QStringList reported;
    for (const QList<QVariant> &args : appeared)
        reported << args.at(0).toString();
    reported.sort();
    QStringList expected{path(name)};
    if (pattern == QLatin1String("dev-*"))
        expected << path(QStringLiteral("dev-0"));
    if (pattern == QLatin1String("link-*"))
        expected << path(QStringLiteral("link-0"));
    expected.sort();
    QCOMPARE(reported, expected);
    QVERIFY(watcher.isPresent(path(name)));
}

void TestPortWatcher::danglingLinkIsAbsent()
{
    QVERIFY(QFile::link(path(QStringLiteral("nothing")), path(QStringLiteral("ttyX"))));
    PortWatcher watcher({path(QStringLiteral("tty*"))});
    QSignalSpy appeared(&watcher, &PortWatcher::appeared);
    watcher.start();
    QTest::qWait(600);
    QCOMPARE(appeared.count(), 0);
    // The device behind it comes: now it is there.
    QVERIFY(plug(path(QStringLiteral("nothing"))));
    QVERIFY(appeared.wait(2000));
    QCOMPARE(appeared.takeFirst().at(0).toString(), path(QStringLiteral("ttyX")));
}

void TestPortWatcher::goneAndBack()
{
    PortWatcher watcher({path(QStringLiteral("link-*"))});
    QSignalSpy appeared(&watcher, &PortWatcher::appeared);
    QSignalSpy vanished(&watcher, &PortWatcher::vanished);
    watcher.start();
    QVERIFY(appeared.wait(2000));
    // Still there after many polls: reported once.
    QTest::qWait(800);
    QCOMPARE(appeared.count(), 1);
    QVERIFY(QFile::remove(path(QStringLiteral("link-0"))));
    QVERIFY(vanished.wait(2000));
    QCOMPARE(vanished.takeFirst().at(0).toString(), path(QStringLiteral("link-0")));
    QVERIFY(!watcher.isPresent(path(QStringLiteral("link-0"))));
    QVERIFY(QFile::link(path(QStringLiteral("dev-0")), path(QStringLiteral("link-0"))));
    QVERIFY(appeared.wait(2000));
    QCOMPARE(appeared.count(), 2);
}

// A link made again to another device between two polls: the old device went, a new one came.
void TestPortWatcher::linkToAnotherDevice()
{
    QVERIFY(plug(path(QStringLiteral("dev-1")), "/dev/zero"));
    PortWatcher watcher({path(QStringLiteral("link-*"))});
    QSignalSpy appeared(&watcher, &PortWatcher::appeared);
    QSignalSpy vanished(&watcher, &PortWatcher::vanished);
    watcher.start();
    QVERIFY(appeared.wait(2000));
    const QByteArray temp = QFile::encodeName(path(QStringLiteral("new-link")));
    QVERIFY(QFile::link(path(QStringLiteral("dev-1")), QString::fromLocal8Bit(temp)));
    QVERIFY(::rename(temp.constData(), QFile::encodeName(path(QStringLiteral("link-0")))) == 0);
    QVERIFY(appeared.wait(2000) || appeared.count() >= 2);
    QTRY_COMPARE_WITH_TIMEOUT(appeared.count(), 2, 2000);
    QCOMPARE(vanished.count(), 1);
}

QTEST_GUILESS_MAIN(TestPortWatcher)
#include "tst_portwatcher.moc"
