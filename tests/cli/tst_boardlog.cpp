// The board log (--log) when the disk is full, when its last line was cut off, when it is
// moved away during a watch run, and when it names no regular file. A full disk is a file
// size limit (RLIMIT_FSIZE, set with prlimit): a write past it stops part-way with EFBIG.
// iap-flash runs as a child against simulators on pseudo-terminals.
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include "simprocess.h"
#include "testfiles.h"
#include <sys/stat.h>

namespace {

using Sim = SimProcess;

// The lines of earlier runs. Under the size limit the port's lock file (a few dozen bytes)
// must still be written: the earlier lines are longer than that.
const QByteArray Earlier = [] {
    QByteArray lines;
    for (int i = 1; i <= 4; ++i)
        lines += "{\"board\":\"earlier-" + QByteArray::number(i) + "\",\"note\":\"" +
                 QByteArray(100, 'x') + "\"}\n";
    return lines;
}();

// Every line of the log parses as a JSON object: its lines, or an empty list.
QList<QJsonObject> logLines(const QByteArray &text)
{
    QList<QJsonObject> lines;
    if (!text.endsWith('\n'))
        return {};
    for (const QByteArray &line : text.chopped(1).split('\n')) {
        const QJsonDocument doc = QJsonDocument::fromJson(line);
        if (!doc.isObject())
            return {};
        lines << doc.object();
    }
    return lines;
}

// iap-flash, under a file size limit when `fsize` >= 0 (raised later with raiseLimit()).
class Flasher
{
public:
    Flasher(const QStringList &args, qint64 fsize)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("LC_ALL"),
                   QStringLiteral("C")); // the system's reasons in English
        m_proc.setProcessEnvironment(env);
        if (fsize < 0)
            m_proc.start(QStringLiteral(IAP_FLASH_PATH), args);
        else
            m_proc.start(QStringLiteral("prlimit"),
                         QStringList{QStringLiteral("--fsize=%1:unlimited").arg(fsize), "--",
                                     QStringLiteral(IAP_FLASH_PATH)} +
                             args);
        m_proc.waitForStarted(5000);
    }
    ~Flasher()
    {
        if (m_proc.state() != QProcess::NotRunning) {
            m_proc.kill();
            m_proc.waitForFinished(5000);
        }
    }
    // The JSON event with this name and port has come.
    bool waitFor(const QString &event, const QString &port)
    {
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < 20000) {
            m_out += m_proc.readAllStandardOutput();
            for (const QByteArray &line : m_out.split('\n')) {
                const QJsonObject o = QJsonDocument::fromJson(line).object();
                if (o.value("event").toString() == event && o.value("port").toString() == port)
                    return true;
            }
            if (m_proc.state() == QProcess::NotRunning)
                return false;
            m_proc.waitForReadyRead(100);
        }
        return false;
    }
    bool raiseLimit()
    {
        return QProcess::execute(QStringLiteral("prlimit"),
                                 {QStringLiteral("--pid"), QString::number(m_proc.processId()),
                                  QStringLiteral("--fsize=unlimited:unlimited")}) == 0;
    }
    int exitCode()
    {
        if (!m_proc.waitForFinished(30000) || m_proc.exitStatus() != QProcess::NormalExit)
            return -1;
        m_out += m_proc.readAllStandardOutput();
        return m_proc.exitCode();
    }
    QByteArray out() const { return m_out; }
    QString err() { return QString::fromUtf8(m_proc.readAllStandardError()); }
    QList<QJsonObject> events(const QString &name) const
    {
        QList<QJsonObject> found;
        for (const QByteArray &line : m_out.split('\n')) {
            const QJsonObject o = QJsonDocument::fromJson(line).object();
            if (o.value("event").toString() == name)
                found << o;
        }
        return found;
    }

private:
    QProcess m_proc;
    QByteArray m_out;
};

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
    void watchOnFullDisk_data();
    void watchOnFullDisk();
    void movedDuringWatch_data();
    void movedDuringWatch();

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
    QProcess p;
    p.start(QStringLiteral(IAP_FLASH_PATH),
            {"--lang", lang, "--port", path("no-such-port"), "--log", log, m_image});
    QVERIFY(p.waitForFinished(10000));
    QCOMPARE(p.exitCode(), 1);
    QCOMPARE(QString::fromUtf8(p.readAllStandardError()), error.arg(log) + QLatin1Char('\n'));
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
    Flasher flasher(args << "--log" << m_log << m_image, Earlier.size() + room);
    QCOMPARE(flasher.exitCode(), 8);
    QCOMPARE(readFile(m_log), Earlier);
    QVERIFY(sim.process().waitForFinished(5000));
    QCOMPARE(readFile(path("received.bin")), m_bytes);

    const QStringList err = flasher.err().split(QLatin1Char('\n'));
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
        const QList<QJsonObject> warnings = flasher.events(QStringLiteral("warning"));
        QCOMPARE(warnings.size(), 2);
        QCOMPARE(warnings.at(0).value("port").toString(), sim.path());
        QVERIFY(warnings.at(1).value("port").isNull());
        QCOMPARE("iap-flash: " + warnings.at(1).value("error").toString(),
                 err.filter(lost).first());
        QCOMPARE(flasher.events(QStringLiteral("finished")).size(), 1);
    }
}

// A log whose last line an older run left cut off: the new record starts on a line of its
// own; the cut line is left as it was.
void TestBoardLog::cutLineBefore()
{
    const QByteArray cut = Earlier + "{\"board\":\"cut";
    QVERIFY(!writeFile(*m_dir, QStringLiteral("boards.jsonl"), cut).isEmpty());
    Sim sim({"--once"});
    Flasher flasher({"--fast", "--port", sim.path(), "--log", m_log, m_image}, -1);
    QCOMPARE(flasher.exitCode(), 0);
    const QByteArray text = readFile(m_log);
    QVERIFY2(text.startsWith(cut + '\n'), text.constData());
    const QList<QJsonObject> record = logLines(text.mid(cut.size() + 1));
    QCOMPARE(record.size(), 1);
    QCOMPARE(record.first().value("port").toString(), sim.path());
    QCOMPARE(record.first().value("result").toString(), QStringLiteral("ok"));
}

void TestBoardLog::watchOnFullDisk_data()
{
    QTest::addColumn<bool>("spaceBack");
    QTest::newRow("space comes back") << true;
    QTest::newRow("space never comes back") << false;
}

// A watch run on a full disk keeps the first board's record; when there is room again it is
// written before the second board's, in order, and the run ends well; when there never is,
// every board is flashed all the same and the run ends with 8.
void TestBoardLog::watchOnFullDisk()
{
    QFETCH(bool, spaceBack);
    const QString a = path(QStringLiteral("board-a"));
    const QString b = path(QStringLiteral("board-b"));
    Sim simA({"--link", a});
    Flasher flasher({"--json", "--fast", "--watch", path(QStringLiteral("board-*")), "--count", "2",
                     "--log", m_log, m_image},
                    Earlier.size() + 40);
    QVERIFY(flasher.waitFor(QStringLiteral("warning"), a));
    QCOMPARE(readFile(m_log), Earlier);
    if (spaceBack)
        QVERIFY(flasher.raiseLimit());
    Sim simB({"--link", b});
    QCOMPARE(flasher.exitCode(), spaceBack ? 0 : 8);
    const QList<QJsonObject> summary = flasher.events(QStringLiteral("summary"));
    QCOMPARE(summary.size(), 1);
    QCOMPARE(summary.first().value("ok").toInt(), 2);
    QCOMPARE(summary.first().value("exit").toInt(), spaceBack ? 0 : 8);

    const QByteArray text = readFile(m_log);
    QVERIFY(text.startsWith(Earlier));
    const QList<QJsonObject> records = logLines(text.mid(Earlier.size()));
    const QList<QJsonObject> warnings = flasher.events(QStringLiteral("warning"));
    if (spaceBack) {
        QCOMPARE(records.size(), 2);
        QCOMPARE(records.at(0).value("port").toString(), a);
        QCOMPARE(records.at(1).value("port").toString(), b);
        QCOMPARE(warnings.size(), 1);
    } else {
        QCOMPARE(text, Earlier);
        QCOMPARE(warnings.size(), 3); // a, b, and the run's end
        QCOMPARE(warnings.at(1).value("port").toString(), b);
        QVERIFY(warnings.at(2).value("port").isNull());
        QVERIFY(warnings.at(2).value("error").toString().contains(a + ", " + b));
    }
}

void TestBoardLog::movedDuringWatch_data()
{
    QTest::addColumn<bool>("deleted");
    QTest::newRow("moved away") << false;
    QTest::newRow("deleted") << true;
}

// The log moved away or deleted between two boards: the next record goes into a new log at
// the path, not into the old file.
void TestBoardLog::movedDuringWatch()
{
    QFETCH(bool, deleted);
    const QString a = path(QStringLiteral("board-a"));
    const QString b = path(QStringLiteral("board-b"));
    const QString moved = path(QStringLiteral("boards.jsonl.1"));
    Sim simA({"--link", a});
    Flasher flasher({"--json", "--fast", "--watch", path(QStringLiteral("board-*")), "--count", "2",
                     "--log", m_log, m_image},
                    -1);
    const int earlier = Earlier.count('\n');
    QTRY_COMPARE_WITH_TIMEOUT(logLines(readFile(m_log)).size(), earlier + 1, 20000);
    QVERIFY(deleted ? QFile::remove(m_log) : QFile::rename(m_log, moved));
    Sim simB({"--link", b});
    QCOMPARE(flasher.exitCode(), 0);
    const QList<QJsonObject> now = logLines(readFile(m_log));
    QCOMPARE(now.size(), 1);
    QCOMPARE(now.first().value("port").toString(), b);
    if (!deleted) {
        const QList<QJsonObject> old = logLines(readFile(moved));
        QCOMPARE(old.size(), earlier + 1);
        QCOMPARE(old.last().value("port").toString(), a);
    }
}

QTEST_GUILESS_MAIN(TestBoardLog)
#include "tst_boardlog.moc"
