// The board log (--log) when the disk is full, when its last line was cut off, when it is
// moved away during a watch run, and when it names no regular file. A full disk is a file
// size limit (RLIMIT_FSIZE, set with prlimit): a write past it stops part-way with EFBIG.
// iap-flash runs as a child against simulators on pseudo-terminals.
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include "flashrun.h"
#include "simprocess.h"
#include "testfiles.h"
#include <csignal>
#include <sys/file.h>
#include <sys/stat.h>

using namespace flashrun;
using Sim = SimProcess;

namespace {

// The lines of earlier runs. Under the size limit the port's lock file (a few dozen bytes)
// must still be written: the earlier lines are longer than that.
const QByteArray Earlier = [] {
    QByteArray lines;
    for (int i = 1; i <= 4; ++i)
        lines += "{\"board\":\"earlier-" + QByteArray::number(i) + "\",\"note\":\"" +
                 QByteArray(100, 'x') + "\"}\n";
    return lines;
}();

// iap-flash under a file size limit of `bytes`.
QStringList limit(qint64 bytes)
{
    return {"prlimit", QStringLiteral("--fsize=%1:unlimited").arg(bytes), "--"};
}

QString keptLine(const QString &log, const QString &port)
{
    return QStringLiteral("iap-flash: cannot write the log %1 (File too large): the record of %2 "
                          "is kept and written again before the next record and at the end")
        .arg(log, port);
}

} // namespace

class TestBoardLog : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void notARegularFile_data();
    void notARegularFile();
    void fullDisk_data();
    void fullDisk();
    void cutLineBefore();
    void lockHeld_data();
    void lockHeld();
    void watch_data();
    void watch();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_image;
    QByteArray m_bytes;
    QString m_log;
    QString path(const QString &name) const { return m_dir->filePath(name); }
};

void TestBoardLog::init()
{
    if (QStandardPaths::findExecutable(QStringLiteral("prlimit")).isEmpty())
        QSKIP("prlimit (util-linux) sets the file size limit that stands for a full disk");
    m_dir.reset(new QTemporaryDir);
    QVERIFY(m_dir->isValid());
    m_bytes = randomImage(5000, 9);
    m_image = writeFile(*m_dir, QStringLiteral("image.bin"), m_bytes);
    m_log = writeFile(*m_dir, QStringLiteral("boards.jsonl"), Earlier);
    QVERIFY(!m_image.isEmpty() && !m_log.isEmpty());
}

void TestBoardLog::notARegularFile_data()
{
    QTest::addColumn<QString>("log");
    QTest::addColumn<QString>("lang");
    QTest::addColumn<QString>("error");

    const QString en = QStringLiteral("iap-flash: cannot open the log %1: not a regular file (a "
                                      "device, a pipe, a socket or a folder cannot hold the log)");
    const QString zh = QStringLiteral(
        "iap-flash: 无法打开日志 %1：不是普通文件（设备、管道、套接字和文件夹不能作为日志）");
    QTest::newRow("full device") << "/dev/full"
                                 << "en" << en;
    QTest::newRow("full device, chinese") << "/dev/full"
                                          << "zh" << zh;
    // Opening a pipe with no reader would wait for one.
    QTest::newRow("pipe without a reader") << "fifo"
                                           << "en" << en;
    QTest::newRow("folder") << "folder"
                            << "zh" << zh;
}

// Refused at once, exit 1, before any port is opened (the port does not exist: that would be
// exit 3).
void TestBoardLog::notARegularFile()
{
    QFETCH(QString, log);
    QFETCH(QString, lang);
    QFETCH(QString, error);
    if (log == QLatin1String("fifo")) {
        log = path(log);
        QCOMPARE(::mkfifo(QFile::encodeName(log).constData(), 0644), 0);
    } else if (log == QLatin1String("folder")) {
        log = m_dir->path();
    }
    const Run run = flash({"--lang", lang, "--port", path("no-such-port"), "--log", log, m_image});
    QCOMPARE(run.exitCode, 1);
    QCOMPARE(QString::fromUtf8(run.err), error.arg(log) + QLatin1Char('\n'));
}

void TestBoardLog::fullDisk_data()
{
    QTest::addColumn<int>("room");    // bytes the limit leaves behind the earlier lines
    QTest::addColumn<bool>("second"); // a second port that cannot be opened (exit 3)
    QTest::addColumn<bool>("json");

    QTest::newRow("no room") << 0 << false << false;
    QTest::newRow("room for part of the record") << 40 << false << false;
    QTest::newRow("two ports, one failed") << 100 << true << false;
    QTest::newRow("json") << 40 << false << true;
}

// Every board is flashed, no record fits: the log is exactly what it was, the run says so on
// stderr (and in JSON) and exits 8, the highest code of the run.
void TestBoardLog::fullDisk()
{
    QFETCH(int, room);
    QFETCH(bool, second);
    QFETCH(bool, json);
    Sim sim({"--once", "--out", path("received.bin")});
    QStringList args{"--fast", "--port", sim.path()};
    const QString missing = path(QStringLiteral("no-such-port"));
    if (second)
        args << "--port" << missing;
    if (json)
        args << "--json";
    const Run run =
        Flasher(args << "--log" << m_log << m_image, limit(Earlier.size() + room)).finish();
    QCOMPARE(run.exitCode, 8);
    QCOMPARE(readFile(m_log), Earlier);
    QVERIFY(sim.exitedCleanly(30000));
    QCOMPARE(readFile(path("received.bin")), m_bytes);

    const QStringList err = QString::fromUtf8(run.err).split(QLatin1Char('\n'));
    QVERIFY2(err.contains(keptLine(m_log, sim.path())), qPrintable(err.join('\n')));
    const QString lost =
        QStringLiteral("iap-flash: the board log %1 could not be kept: the records of %2 "
                       "board(s) are not written (File too large): ")
            .arg(m_log)
            .arg(second ? 2 : 1);
    QCOMPARE(err.filter(lost).size(), 1);
    QVERIFY(err.filter(lost).first().contains(sim.path()));
    if (second) {
        QVERIFY(err.contains(keptLine(m_log, missing)));
        QVERIFY(err.filter(lost).first().contains(missing));
    }
    if (json) {
        const QList<QJsonObject> warnings = events(run, QStringLiteral("warning"));
        QCOMPARE(warnings.size(), 2);
        QCOMPARE(warnings.at(0).value("port").toString(), sim.path());
        QVERIFY(warnings.at(1).value("port").isNull());
        QCOMPARE("iap-flash: " + warnings.at(1).value("error").toString(),
                 err.filter(lost).first());
        QCOMPARE(events(run, QStringLiteral("finished")).size(), 1);
    }
}

// A log whose last line an older run left cut off: the new record starts on a line of its
// own; the cut line is left as it was.
void TestBoardLog::cutLineBefore()
{
    const QByteArray cut = Earlier + "{\"board\":\"cut";
    QVERIFY(!writeFile(*m_dir, QStringLiteral("boards.jsonl"), cut).isEmpty());
    Sim sim({"--once"});
    QCOMPARE(flash({"--fast", "--port", sim.path(), "--log", m_log, m_image}).exitCode, 0);
    const QByteArray text = readFile(m_log);
    QVERIFY2(text.startsWith(cut + '\n'), text.constData());
    const QList<QJsonObject> record = logRecords(text.mid(cut.size() + 1));
    QCOMPARE(record.size(), 1);
    QCOMPARE(record.first().value("port").toString(), sim.path());
    QCOMPARE(record.first().value("result").toString(), QStringLiteral("ok"));
}

void TestBoardLog::lockHeld_data()
{
    QTest::addColumn<bool>("signal"); // SIGINT while the slow board is in flight
    QTest::newRow("released after the boards") << false;
    QTest::newRow("SIGINT while locked") << true;
}

// Another program holds the log's lock (an operator's flock, a log shipper): the quick board's
// record waits, and neither the slow board in flight nor a signal does. Released, every
// record is written; never released, none is written in part and the run says so.
void TestBoardLog::lockHeld()
{
    QFETCH(bool, signal);
    QFile held(m_log);
    QVERIFY(held.open(QIODevice::ReadOnly));
    QCOMPARE(::flock(held.handle(), LOCK_EX | LOCK_NB), 0);
    Sim quick({});
    Sim slow({"--write-ms", "300"});
    Flasher flasher({"--json", "--fast", "--log", m_log, "--port", quick.path(), "--port",
                     slow.path(), m_image});
    const auto finishedOn = [](const QString &port) {
        return [port](const QJsonObject &o) { return o.value("port").toString() == port; };
    };
    QVERIFY(flasher.waitFor(QStringLiteral("finished"), finishedOn(quick.path())));
    if (signal) {
        QVERIFY(flasher.waitFor(QStringLiteral("progress"), finishedOn(slow.path())));
        ::kill(pid_t(flasher.pid()), SIGINT);
        const Run run = flasher.finish(5000);
        QCOMPARE(run.exitCode, 130);
        QCOMPARE(readFile(m_log), Earlier);
        const QString err = QString::fromUtf8(run.err);
        QVERIFY2(err.contains(QStringLiteral("the records of 2 board(s) are not written "
                                             "(locked by another program)")),
                 qPrintable(err));
        return;
    }
    QVERIFY(flasher.waitFor(QStringLiteral("finished"), finishedOn(slow.path())));
    held.close(); // the lock goes with it
    const Run run = flasher.finish();
    QCOMPARE(run.exitCode, 0);
    QVERIFY(readFile(m_log).startsWith(Earlier));
    QCOMPARE(logRecords(readFile(m_log).mid(Earlier.size())).size(), 2);
    const QString locked =
        QStringLiteral("iap-flash: the log %1 is locked by another program: the record of %2 is "
                       "kept and written as soon as the lock is released (at the end, after at "
                       "most 10 s of waiting)")
            .arg(m_log, quick.path());
    QCOMPARE(QString::fromUtf8(run.err).split(QLatin1Char('\n')).filter("locked").size(), 1);
    QVERIFY2(QString::fromUtf8(run.err).contains(locked), run.err.constData());
}

void TestBoardLog::watch_data()
{
    QTest::addColumn<QString>("between"); // what happens to the log between the two boards
    QTest::newRow("full disk, space comes back") << "space back";
    QTest::newRow("full disk, space never comes back") << "full";
    QTest::newRow("moved away") << "moved";
    QTest::newRow("deleted") << "deleted";
}

// A watch run with two boards. On a full disk the first board's record is kept; when there is
// room again it is written before the second board's, in order, and the run ends well; when
// there never is, every board is flashed all the same and the run ends with 8. A log moved
// away or deleted between the boards: the next record goes into a new log at the path, not
// into the old file.
void TestBoardLog::watch()
{
    QFETCH(QString, between);
    const bool full = between == QLatin1String("space back") || between == QLatin1String("full");
    const QString a = path(QStringLiteral("board-a"));
    const QString b = path(QStringLiteral("board-b"));
    const QString moved = path(QStringLiteral("boards.jsonl.1"));
    Sim simA({"--link", a});
    Flasher flasher({"--json", "--fast", "--watch", path(QStringLiteral("board-*")), "--count", "2",
                     "--log", m_log, m_image},
                    full ? limit(Earlier.size() + 40) : QStringList());
    if (full) {
        QVERIFY(flasher.waitFor(QStringLiteral("warning"),
                                [&a](const QJsonObject &o) { return o.value("port") == a; }));
        QCOMPARE(readFile(m_log), Earlier);
    } else {
        QTRY_COMPARE_WITH_TIMEOUT(logRecords(readFile(m_log)).size(), Earlier.count('\n') + 1,
                                  20000);
        QVERIFY(between == QLatin1String("deleted") ? QFile::remove(m_log)
                                                    : QFile::rename(m_log, moved));
    }
    if (between == QLatin1String("space back"))
        QCOMPARE(QProcess::execute("prlimit", {"--pid", QString::number(flasher.pid()),
                                               "--fsize=unlimited:unlimited"}),
                 0);
    Sim simB({"--link", b});
    const Run run = flasher.finish();
    QCOMPARE(run.exitCode, between == QLatin1String("full") ? 8 : 0);
    const QList<QJsonObject> summary = events(run, QStringLiteral("summary"));
    QCOMPARE(summary.size(), 1);
    QCOMPARE(summary.first().value("ok").toInt(), 2);
    QCOMPARE(summary.first().value("exit").toInt(), run.exitCode);

    const QByteArray text = readFile(m_log);
    const QList<QJsonObject> warnings = events(run, QStringLiteral("warning"));
    if (between == QLatin1String("full")) {
        QCOMPARE(text, Earlier);
        QCOMPARE(warnings.size(), 3); // a, b, and the run's end
        QCOMPARE(warnings.at(1).value("port").toString(), b);
        QVERIFY(warnings.at(2).value("port").isNull());
        QVERIFY(warnings.at(2).value("error").toString().contains(a + ", " + b));
        return;
    }
    QCOMPARE(warnings.size(), full ? 1 : 0);
    // After the earlier lines both boards' records, or in a new log the second board's alone.
    QVERIFY(!full || text.startsWith(Earlier));
    const QList<QJsonObject> records = logRecords(full ? text.mid(Earlier.size()) : text);
    QCOMPARE(records.size(), full ? 2 : 1);
    QCOMPARE(records.first().value("port").toString(), full ? a : b);
    QCOMPARE(records.last().value("port").toString(), b);
    if (between == QLatin1String("moved")) {
        const QList<QJsonObject> old = logRecords(readFile(moved));
        QCOMPARE(old.size(), Earlier.count('\n') + 1);
        QCOMPARE(old.last().value("port").toString(), a);
    }
}

QTEST_GUILESS_MAIN(TestBoardLog)
#include "tst_boardlog.moc"
