// iap-flash run as a process against iap-device-sim on pseudo-terminals: exit codes from
// real failures, images that arrive intact, the JSON stream, the human output, signals.
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QSerialPortInfo>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include "simprocess.h"
#include "testfiles.h"
#include <fcntl.h>
#include <memory>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using Sim = SimProcess;

struct Run
{
    int exitCode = -1;
    bool normalExit = false;
    QByteArray out;
    QByteArray err;
    QList<QJsonObject> json; // stdout parsed line by line, with --json
    bool jsonValid = true;   // every stdout line was one JSON object
};

void parseJson(Run &run)
{
    for (const QByteArray &line : run.out.split('\n')) {
        if (line.isEmpty())
            continue;
        QJsonParseError error;
        const QJsonDocument doc = QJsonDocument::fromJson(line, &error);
        if (error.error != QJsonParseError::NoError || !doc.isObject()) {
            run.jsonValid = false;
            continue;
        }
        run.json << doc.object();
    }
}

// In English unless env names a locale (iap-flash follows LC_ALL, LC_MESSAGES and LANG).
// prefix: a program that runs iap-flash (setpriv ...).
Run flash(const QStringList &args, int timeoutMs = 60000, const QStringList &env = {},
          const QStringList &prefix = {})
{
    QProcess p;
    QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"LC_ALL", "LC_MESSAGES", "LANG"})
        e.remove(QLatin1String(name));
    if (env.isEmpty())
        e.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
    for (const QString &kv : env)
        e.insert(kv.section(QLatin1Char('='), 0, 0), kv.section(QLatin1Char('='), 1));
    p.setProcessEnvironment(e);
    if (prefix.isEmpty())
        p.start(QStringLiteral(IAP_FLASH_PATH), args);
    else
        p.start(prefix.first(), prefix.mid(1) + QStringList{QStringLiteral(IAP_FLASH_PATH)} + args);
    Run run;
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished(5000);
        return run;
    }
    run.normalExit = p.exitStatus() == QProcess::NormalExit;
    run.exitCode = p.exitCode();
    run.out = p.readAllStandardOutput();
    run.err = p.readAllStandardError();
    parseJson(run);
    return run;
}

// A port that does not exist. Named per test process: Qt's serial port takes a lock file named
// after the port before it opens it, and suites running side by side must not meet there.
QString missingPort()
{
    return QStringLiteral("/nonexistent/ttyIAP%1").arg(QCoreApplication::applicationPid());
}

// Without a port iap-flash takes the one USB serial port present: a machine with one cannot
// run the rows that name no port without flashing a real board.
int usbSerialPorts()
{
    int n = 0;
    for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts())
        n += info.hasVendorIdentifier() && info.hasProductIdentifier();
    return n;
}

// Before its first request iap-flash asks the capability question (F1 03 00 00 crc, 8 bytes)
// every 100 ms until it is answered, three times at most: the simulator answers the first.
constexpr int Question = 8;

QStringList eventNames(const QList<QJsonObject> &events)
{
    QStringList names;
    for (const QJsonObject &o : events)
        names << o.value(QStringLiteral("event")).toString();
    return names;
}

} // namespace

class TestFlash : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void earlyFailures_data();
    void earlyFailures();
    void deviceFailures_data();
    void deviceFailures();
    void hangUpMidTransfer();
    void deviceResetsAfterLastAcknowledgement();
    void interrupted_data();
    void interrupted();
    void twoPortsAtOnce();
    void fastMode_data();
    void fastMode();
    void noisyLine_data();
    void noisyLine();
    void echoingLineGetsRequestsAtTheTickRate_data();
    void echoingLineGetsRequestsAtTheTickRate();
    void jsonStream();
    void humanOutput_data();
    void humanOutput();
    void verboseShowsRepliesAndDiagnostics();
    void errorLines_data();
    void errorLines();
    void colourOnlyOnATerminal_data();
    void colourOnlyOnATerminal();
    void versionAndVerboseOptions_data();
    void versionAndVerboseOptions();
    void listPorts();
    void listPortsJson();
    void listPortsOnATerminal();
    void structuredFiles_data();
    void structuredFiles();
    void convertedSummary_data();
    void convertedSummary();
    void shortAcknowledgement_data();
    void shortAcknowledgement();
    void packageLimit_data();
    void packageLimit();
    void portHeldByAnotherProgram();
    void firmwareNameNotUtf8();
    void newUserMistakes_data();
    void newUserMistakes();

private:
    QTemporaryDir m_dir;
    QString m_image5000;
};

void TestFlash::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_image5000 = writeFile(m_dir, QStringLiteral("image5000.bin"), randomImage(5000, 5000));
    QVERIFY(!m_image5000.isEmpty());
}

// Failures found before any port is opened. The port named does not exist, so a code other
// than 3 also shows that nothing tried to open it first.
void TestFlash::earlyFailures_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QStringList>("extra");
    QTest::addColumn<int>("expected");
    QTest::addColumn<QString>("errorPart");

    QTest::newRow("missing file") << "missing" << QStringList() << 2 << "no such file";
    QTest::newRow("empty file") << "empty" << QStringList() << 2 << "is empty";
    QTest::newRow("65535 packages and 1 byte")
        << "oversize" << QStringList() << 2
        << "67107841 bytes, at most 67107840 bytes (65535 packages)";
    QTest::newRow("65536 packages (announced as 0)")
        << "65536" << QStringList() << 2
        << "67108864 bytes, at most 67107840 bytes (65535 packages)";
    QTest::newRow("fifo") << "fifo" << QStringList() << 2 << "not a regular file";
    QTest::newRow("link to a fifo") << "link-fifo" << QStringList() << 2 << "not a regular file";
    QTest::newRow("/dev/zero") << "zero" << QStringList() << 2 << "not a regular file";
    QTest::newRow("symbolic link loop") << "loop" << QStringList() << 2 << "form a loop";
    QTest::newRow("request timeout nan")
        << "good" << QStringList{"--request-timeout", "nan"} << 1 << "--request-timeout";
    QTest::newRow("request timeout -nan")
        << "good" << QStringList{"--request-timeout", "-nan"} << 1 << "--request-timeout";
    QTest::newRow("request timeout inf")
        << "good" << QStringList{"--request-timeout", "inf"} << 1 << "--request-timeout";
    QTest::newRow("ack timeout nan")
        << "good" << QStringList{"--ack-timeout", "nan"} << 1 << "--ack-timeout";
    QTest::newRow("ack timeout infinity")
        << "good" << QStringList{"--ack-timeout", "infinity"} << 1 << "--ack-timeout";
    QTest::newRow("ack timeout just below 0.05")
        << "good" << QStringList{"--ack-timeout", "0.0499"} << 1 << "--ack-timeout";
    QTest::newRow("directory") << "directory" << QStringList() << 2 << "Cannot read";
    QTest::newRow("port missing") << "good" << QStringList{"--port", missingPort()} << 3
                                  << "does not exist";
    // No port named, and no USB serial port (or several) to take.
    QTest::newRow("no port") << "noport" << QStringList() << 1 << "no port given, and";
    QTest::newRow("bad language") << "good" << QStringList{"--lang", "fr"} << 1 << "--lang";
    QTest::newRow("unknown option") << "good" << QStringList{"--frobnicate"} << 1 << "frobnicate";
    QTest::newRow("bad baud") << "good" << QStringList{"--baud", "fast"} << 1 << "--baud";
    QTest::newRow("two files") << "two" << QStringList() << 1 << "one firmware file";
    QTest::newRow("unknown format") << "good" << QStringList{"--format", "ihex"} << 1
                                    << "--format must be bin, hex, srec or elf";
    QTest::newRow("bad base") << "good" << QStringList{"--base", "0x8G"} << 1 << "--base needs";
    QTest::newRow("hex checksum error")
        << "hexsum" << QStringList() << 2 << "checksum error on line 2";
    QTest::newRow("hex with two images")
        << "hexgap" << QStringList() << 2
        << "holds two images more than 1 MiB apart: 0x08000000-0x08000000 and "
           "0x08200000-0x08200000";
    QTest::newRow("base above the data") << "hexone" << QStringList{"--base", "0x08000001"} << 2
                                         << "data at 0x08000000 lies below the start address "
                                            "0x08000001";
    QTest::newRow("same port twice")
        << "good" << QStringList{"--port", missingPort(), "--port", missingPort()} << 1 << "twice";
    QTest::newRow("same port, two spellings")
        << "good"
        << QStringList{"--port", missingPort(), "--port",
                       QString(missingPort()).replace("/ttyIAP", "//ttyIAP")}
        << 1 << "twice";
    QTest::newRow("same port, by a link")
        << "good" << QStringList{"--port", "/dev/null", "--port", "@LINK@"} << 1 << "twice";
    // Usage errors follow --lang like every other line.
    QTest::newRow("zh: --watch with --port")
        << "good" << QStringList{"--lang", "zh", "--watch", "/dev/ttyIAP*"} << 1
        << "--watch 与 --port 不能同时使用。 参见 --help。";
    QTest::newRow("zh: --count 0")
        << "noport" << QStringList{"--lang", "zh", "--watch", "/dev/ttyIAP*", "--count", "0"} << 1
        << "--count 需要一个正数，而不是“0”。";
    QTest::newRow("zh: unknown option")
        << "good" << QStringList{"--lang=zh", "--frobnicate"} << 1 << "命令行无法解析：";
}

void TestFlash::earlyFailures()
{
    QFETCH(QString, kind);
    QFETCH(QStringList, extra);
    QFETCH(int, expected);
    QFETCH(QString, errorPart);

    QStringList args{"--json"};
    if (kind != QLatin1String("noport") && !extra.contains(QStringLiteral("--port")))
        args << "--port" << missingPort();
    if (kind == QLatin1String("noport") && extra.isEmpty() && usbSerialPorts() == 1)
        QSKIP("one USB serial port is present: iap-flash would flash it");
    const QString link = m_dir.filePath(QStringLiteral("null-link"));
    if (extra.contains(QStringLiteral("@LINK@"))) {
        QFile::remove(link);
        QVERIFY(QFile::link(QStringLiteral("/dev/null"), link));
        extra.replaceInStrings(QStringLiteral("@LINK@"), link);
    }
    args << extra;
    if (kind == QLatin1String("missing")) {
        args << m_dir.filePath(QStringLiteral("no-such.bin"));
    } else if (kind == QLatin1String("empty")) {
        args << writeFile(m_dir, QStringLiteral("empty.bin"), QByteArray());
    } else if (kind == QLatin1String("oversize")) {
        // One byte over 65536 packages of 1024 bytes; sparse, so it costs no disk.
        const QString path = m_dir.filePath(QStringLiteral("oversize.bin"));
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        QVERIFY(f.resize(65535LL * 1024 + 1));
        f.close();
        args << path;
    } else if (kind == QLatin1String("65536")) {
        const QString path = m_dir.filePath(QStringLiteral("65536.bin"));
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        QVERIFY(f.resize(65536LL * 1024));
        f.close();
        args << path;
    } else if (kind == QLatin1String("fifo") || kind == QLatin1String("link-fifo")) {
        // Nobody writes to it: a plain open would wait for ever.
        const QString fifo = m_dir.filePath(QStringLiteral("fifo-%1").arg(QTest::currentDataTag()));
        QFile::remove(fifo);
        QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        QString path = fifo;
        if (kind == QLatin1String("link-fifo")) {
            path = m_dir.filePath(QStringLiteral("to-fifo.bin"));
            QFile::remove(path);
            QVERIFY(QFile::link(fifo, path));
        }
        args << path;
    } else if (kind == QLatin1String("zero")) {
        args << QStringLiteral("/dev/zero");
    } else if (kind == QLatin1String("loop")) {
        const QString a = m_dir.filePath(QStringLiteral("loop-a.bin"));
        const QString b = m_dir.filePath(QStringLiteral("loop-b.bin"));
        QFile::remove(a);
        QFile::remove(b);
        QVERIFY(QFile::link(b, a));
        QVERIFY(QFile::link(a, b));
        args << a;
    } else if (kind == QLatin1String("directory")) {
        args << m_dir.path();
    } else if (kind == QLatin1String("hexsum")) {
        // Two data records at 0 and 1; the second one's checksum is off by one.
        args << writeFile(m_dir, QStringLiteral("sum.hex"),
                          ":0100000011EE\n:0100010022DB\n:00000001FF\n");
    } else if (kind == QLatin1String("hexone")) {
        args << writeFile(m_dir, QStringLiteral("one.hex"),
                          ":020000040800F2\n:0100000011EE\n:00000001FF\n");
    } else if (kind == QLatin1String("hexgap")) {
        // One byte at 0x08000000 and one at 0x08200000 (extended linear address records).
        args << writeFile(m_dir, QStringLiteral("gap.hex"),
                          ":020000040800F2\n:0100000011EE\n:020000040820D2\n:0100000022DD\n"
                          ":00000001FF\n");
    } else if (kind == QLatin1String("two")) {
        args << m_image5000 << m_image5000;
    } else {
        args << m_image5000;
    }

    const Run run = flash(args, 20000); // a loader that waits on a fifo never ends
    QVERIFY(run.normalExit);
    QCOMPARE(run.exitCode, expected);
    QVERIFY2(run.jsonValid, run.out.constData());
    QVERIFY(!run.json.isEmpty());
    const QJsonObject last = run.json.last();
    QCOMPARE(last.value("event").toString(), QStringLiteral("failed"));
    QCOMPARE(last.value("exit").toInt(), expected);
    QVERIFY2(last.value("error").toString().contains(errorPart),
             qPrintable(last.value("error").toString()));
    // Nothing was started on any port.
    QVERIFY(!eventNames(run.json).contains(QStringLiteral("started")));
}

// The device side goes wrong: each gives its own code and reason.
void TestFlash::deviceFailures_data()
{
    QTest::addColumn<QStringList>("simArgs");
    QTest::addColumn<QStringList>("flashArgs");
    QTest::addColumn<int>("expected");
    QTest::addColumn<QString>("reason");
    QTest::addColumn<QString>("resendReason");

    QTest::newRow("silent device, request timeout")
        << QStringList{"--silent"} << QStringList{"--request-timeout", "0.5"} << 4 << "no-answer"
        << QString();
    QTest::newRow("every acknowledgement lost")
        << QStringList{"--lose-ack", "all"}
        << QStringList{"--max-resends", "2", "--ack-timeout", "0.3"} << 5 << "too-many-resends"
        << "timeout";
    QTest::newRow("every package rejected")
        << QStringList{"--error-status", "all"} << QStringList{"--max-resends", "2"} << 5
        << "too-many-resends"
        << "data-error";
}

void TestFlash::deviceFailures()
{
    QFETCH(QStringList, simArgs);
    QFETCH(QStringList, flashArgs);
    QFETCH(int, expected);
    QFETCH(QString, reason);
    QFETCH(QString, resendReason);

    Sim sim(simArgs);
    QVERIFY(!sim.path().isEmpty());
    const Run run = flash(QStringList{"--json", "--port", sim.path()} + flashArgs << m_image5000);
    QVERIFY(run.normalExit);
    QCOMPARE(run.exitCode, expected);
    QVERIFY(run.jsonValid);
    const QJsonObject last = run.json.last();
    QCOMPARE(last.value("event").toString(), QStringLiteral("failed"));
    QCOMPARE(last.value("exit").toInt(), expected);
    QCOMPARE(last.value("reason").toString(), reason);

    QList<QJsonObject> resends;
    for (const QJsonObject &o : run.json)
        if (o.value("event").toString() == QLatin1String("resend"))
            resends << o;
    if (resendReason.isEmpty()) {
        QVERIFY(resends.isEmpty());
        QVERIFY(!eventNames(run.json).contains(QStringLiteral("accepted")));
        QVERIFY(last.value("requests").toInt() > 1);
    } else {
        // Exactly --max-resends resends of the first package, then it gives up.
        QCOMPARE(resends.size(), 2);
        for (int i = 0; i < resends.size(); ++i) {
            QCOMPARE(resends[i].value("reason").toString(), resendReason);
            QCOMPARE(resends[i].value("index").toInt(), 0);
            QCOMPARE(resends[i].value("count").toInt(), i + 1);
        }
        QVERIFY(last.value("error").toString().contains(QStringLiteral("package 1")));
    }
    QCOMPARE(sim.process().state(), QProcess::Running);
}

void TestFlash::hangUpMidTransfer()
{
    const QString image = writeFile(m_dir, QStringLiteral("image8k.bin"), randomImage(8192, 8));
    Sim sim({"--hangup-after", "3"});
    QVERIFY(!sim.path().isEmpty());
    const Run run = flash({"--json", "--port", sim.path(), image});
    QVERIFY(run.normalExit);
    QCOMPARE(run.exitCode, 3);
    const QJsonObject last = run.json.last();
    QCOMPARE(last.value("event").toString(), QStringLiteral("failed"));
    QCOMPARE(last.value("reason").toString(), QStringLiteral("port-lost"));
    QCOMPARE(last.value("exit").toInt(), 3);
    // Three packages were written before the line went away; the third acknowledgement may
    // or may not get through before the hang-up.
    const int bytes = last.value("bytes").toInt();
    QVERIFY2(bytes == 2 * 1024 || bytes == 3 * 1024, qPrintable(QString::number(bytes)));
    // The incomplete upgrade first, the system's reason after it.
    const QString error = last.value("error").toString();
    const QString expected = QStringLiteral("Serial port %1 was lost: the upgrade is incomplete "
                                            "(%2 of 8192 bytes written) and must be run again. "
                                            "The port has been closed. (")
                                 .arg(sim.path())
                                 .arg(bytes);
    QVERIFY2(error.startsWith(expected) && error.endsWith(QLatin1Char(')')), qPrintable(error));
}

// A device that leaves its boot loader (and so drops the line) the moment it has
// acknowledged the last package has been flashed: the acknowledgement that already arrived
// counts, even before the quiet gap and the next tick.
void TestFlash::deviceResetsAfterLastAcknowledgement()
{
    const QString out = m_dir.filePath(QStringLiteral("reset.out"));
    Sim sim({"--hangup-after", "5", "--out", out});
    QVERIFY(!sim.path().isEmpty());
    const Run run = flash({"--json", "--port", sim.path(), m_image5000});
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(run.json.last().value("event").toString(), QStringLiteral("finished"));
    QCOMPARE(run.json.last().value("bytes").toInt(), 5000);
    QCOMPARE(readFile(out), readFile(m_image5000));
}

void TestFlash::interrupted_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::addColumn<int>("exitCode");
    QTest::newRow("SIGINT") << int(SIGINT) << 130;
    QTest::newRow("SIGTERM") << int(SIGTERM) << 130;
    // A closed terminal: the same clean stop, 128 + the signal number.
    QTest::newRow("SIGHUP") << int(SIGHUP) << 129;
    QTest::newRow("SIGQUIT") << int(SIGQUIT) << 131;
}

// A signal stops the upgrade cleanly: exit 130, the port is given back (a second run on
// the same simulator then succeeds), the simulator keeps running.
void TestFlash::interrupted()
{
    QFETCH(int, signalNumber);
    QFETCH(int, exitCode);
    const QString out = m_dir.filePath(QStringLiteral("interrupted.out"));
    QFile::remove(out);
    // The first 20 requests (1 s) go unanswered, so the signal comes while it is requesting;
    // the run after it has the rest of them to wait out.
    Sim sim({"--ignore-requests", "20", "--out", out});
    QVERIFY(!sim.path().isEmpty());

    QProcess p;
    p.start(QStringLiteral(IAP_FLASH_PATH),
            {"--json", "--port", sim.path(), "--request-timeout", "0", m_image5000});
    QVERIFY(p.waitForStarted());
    QByteArray seen;
    while (!seen.contains("\"requesting\"") && p.state() == QProcess::Running) {
        p.waitForReadyRead(5000);
        seen += p.readAllStandardOutput();
    }
    QVERIFY2(seen.contains("\"requesting\""), seen.constData());
    ::kill(pid_t(p.processId()), signalNumber);
    QVERIFY(p.waitForFinished(10000));
    QCOMPARE(p.exitStatus(), QProcess::NormalExit);
    QCOMPARE(p.exitCode(), exitCode);
    Run run;
    run.out = seen + p.readAllStandardOutput();
    parseJson(run);
    QVERIFY(run.jsonValid);
    QCOMPARE(run.json.last().value("event").toString(), QStringLiteral("failed"));
    QCOMPARE(run.json.last().value("reason").toString(), QStringLiteral("interrupted"));
    QCOMPARE(run.json.last().value("exit").toInt(), exitCode);
    QVERIFY2(run.json.last().value("error").toString().contains(
                 QStringLiteral("the upgrade is incomplete (0 of 5000 bytes written) and must be "
                                "run again")),
             qPrintable(run.json.last().value("error").toString()));
    QCOMPARE(sim.process().state(), QProcess::Running);

    const Run again = flash({"--json", "--port", sim.path(), m_image5000});
    QCOMPARE(again.exitCode, 0);
    QCOMPARE(readFile(out), readFile(m_image5000));
}

void TestFlash::twoPortsAtOnce()
{
    const QByteArray bytes = randomImage(20000, 2);
    const QString image = writeFile(m_dir, QStringLiteral("image20000.bin"), bytes);
    const QString outA = m_dir.filePath(QStringLiteral("a.out"));
    const QString outB = m_dir.filePath(QStringLiteral("b.out"));
    // One clean device, one that loses and rejects a few acknowledgements: both finish.
    Sim a({"--out", outA, "--once"});
    Sim b({"--out", outB, "--once", "--error-status", "3,7", "--corrupt-ack", "12"});
    QVERIFY(!a.path().isEmpty() && !b.path().isEmpty());

    // The corrupted acknowledgement is dropped and the package resent after the (short) wait.
    const Run run =
        flash({"--json", "--ack-timeout", "0.5", "--port", a.path(), "--port", b.path(), image});
    QCOMPARE(run.exitCode, 0);
    QVERIFY(run.jsonValid);
    QStringList finishedPorts;
    for (const QJsonObject &o : run.json) {
        if (o.value("event").toString() == QLatin1String("finished")) {
            finishedPorts << o.value("port").toString();
            QCOMPARE(o.value("exit").toInt(), 0);
            QCOMPARE(o.value("bytes").toInt(), 20000);
        }
        QVERIFY(o.value("event").toString() != QLatin1String("failed"));
    }
    finishedPorts.sort();
    QStringList expected{a.path(), b.path()};
    expected.sort();
    QCOMPARE(finishedPorts, expected);
    QCOMPARE(readFile(outA), bytes);
    QCOMPARE(readFile(outB), bytes);
    // The second device's rejections were resent as data errors.
    int dataErrors = 0;
    for (const QJsonObject &o : run.json)
        if (o.value("event").toString() == QLatin1String("resend") &&
            o.value("port").toString() == b.path())
            dataErrors += o.value("reason").toString() == QLatin1String("data-error");
    QCOMPARE(dataErrors, 2);
    // The run ends with its tally, as a watch run does.
    QCOMPARE(eventNames(run.json).last(), QStringLiteral("summary"));
    QCOMPARE(run.json.last().value("ok").toInt(), 2);
    QCOMPARE(run.json.last().value("failed").toInt(), 0);

    // A mixed outcome exits with the highest code: one device answers, one port is missing.
    // Every result is told at the end, in the order of the ports, then the tally.
    Sim c({"--once"});
    const Run mixed = flash({"--port", missingPort(), "--port", c.path(), m_image5000});
    QCOMPARE(mixed.exitCode, 3);
    const QList<QByteArray> out = mixed.out.trimmed().split('\n');
    QCOMPARE(out.size(), 2);
    QVERIFY2(out.at(0).startsWith(c.path().toUtf8() + ": done, 5000 bytes"), mixed.out);
    QVERIFY2(out.at(1).startsWith("Boards: 1 ok, 1 failed (open-failed 1); "), mixed.out);
    const int failure =
        mixed.err.indexOf("iap-flash: Cannot open serial port " + missingPort().toUtf8());
    QVERIFY2(failure > mixed.err.indexOf(c.path().toUtf8() + ": update completed"),
             mixed.err.constData());
}

// --fast takes a reply as soon as it forms a valid frame; replies that arrive in two pieces
// with bytes the tool does not interpret are still taken whole, and a burst that never
// forms a frame falls back to the quiet-gap test (and is dropped, so the package is resent).
void TestFlash::fastMode_data()
{
    QTest::addColumn<QStringList>("simArgs");
    QTest::addColumn<QStringList>("flashArgs");
    QTest::addColumn<int>("timeoutResends");

    QTest::newRow("split and padded")
        << QStringList{"--split", "all", "--pad", "13"} << QStringList() << 0;
    QTest::newRow("padded only") << QStringList{"--pad", "200"} << QStringList() << 0;
    QTest::newRow("noise before one reply")
        << QStringList{"--noise", "2"} << QStringList{"--ack-timeout", "0.3"} << 0;
    QTest::newRow("paced line") << QStringList{"--baud", "115200", "--split", "1,3"}
                                << QStringList() << 0;
}

void TestFlash::fastMode()
{
    QFETCH(QStringList, simArgs);
    QFETCH(QStringList, flashArgs);
    QFETCH(int, timeoutResends);

    const QString out = m_dir.filePath(QStringLiteral("fast.out"));
    QFile::remove(out);
    Sim sim(QStringList{"--out", out, "--once"} + simArgs);
    QVERIFY(!sim.path().isEmpty());
    const Run run =
        flash(QStringList{"--fast", "--json", "--port", sim.path()} + flashArgs << m_image5000);
    QCOMPARE(run.exitCode, 0);
    QVERIFY(run.jsonValid);
    const QJsonObject last = run.json.last();
    QCOMPARE(last.value("event").toString(), QStringLiteral("finished"));
    QCOMPARE(readFile(out), readFile(m_image5000));

    int timeouts = 0;
    for (const QJsonObject &o : run.json)
        timeouts += o.value("reason").toString() == QLatin1String("timeout");
    QCOMPARE(timeouts, timeoutResends);
    // The same bytes on the line as without --fast: 12 per request, packages 0-3 full size
    // (1032), the final one short (904 + 8), plus any resend of a full-size package.
    const int requests = last.value("requests").toInt();
    QCOMPARE(last.value("sent").toInt(),
             Question + 12 * requests + 4 * 1032 + 912 + timeoutResends * 1032);
}

// Replies found through what else the line carries, in both modes: a stray byte before an
// acknowledgement costs nothing; an echo of every byte sent is skipped; keep-alive frames
// while the device writes its flash neither step the engine nor shorten the wait for the
// acknowledgement (measured in real time), so a lost acknowledgement is resent once, after
// --ack-timeout, and nothing else is.
void TestFlash::noisyLine_data()
{
    QTest::addColumn<QStringList>("simArgs");
    QTest::addColumn<QStringList>("flashArgs");
    QTest::addColumn<int>("timeoutResends");
    QTest::addColumn<double>("atLeastSeconds");

    for (const QString &mode : {QStringLiteral("default"), QStringLiteral("fast")}) {
        const QStringList fast =
            mode == QLatin1String("fast") ? QStringList{"--fast"} : QStringList();
        const auto row = [&](const char *name) -> QTestData & {
            return QTest::newRow(
                qPrintable(QStringLiteral("%1, %2").arg(QLatin1String(name), mode)));
        };
        row("stray byte before every acknowledgement")
            << QStringList{"--noise", "all"} << fast + QStringList{"--ack-timeout", "1"} << 0
            << 0.0;
        row("echoing line") << QStringList{"--echo"} << fast + QStringList{"--ack-timeout", "1"}
                            << 0 << 0.0;
        row("echo and stray bytes") << QStringList{"--echo", "--noise", "1,3", "--split", "2"}
                                    << fast + QStringList{"--ack-timeout", "1"} << 0 << 0.0;
        // Five packages of 200 ms each, a keep-alive every 5 ms, the wait 0.6 s.
        row("keep-alive while writing") << QStringList{"--write-ms", "200", "--keep-alive", "5"}
                                        << fast + QStringList{"--ack-timeout", "0.6"} << 0 << 1.0;
        // The acknowledgement of package 1 is lost: one resend, 0.5 s after the package.
        row("keep-alive and a lost acknowledgement")
            << QStringList{"--write-ms", "50", "--keep-alive", "5", "--lose-ack", "1"}
            << fast + QStringList{"--ack-timeout", "0.5"} << 1 << 0.5 + 5 * 0.05;
    }
}

void TestFlash::noisyLine()
{
    QFETCH(QStringList, simArgs);
    QFETCH(QStringList, flashArgs);
    QFETCH(int, timeoutResends);
    QFETCH(double, atLeastSeconds);

    const QString out = m_dir.filePath(QStringLiteral("noisy.out"));
    QFile::remove(out);
    Sim sim(QStringList{"--out", out, "--once"} + simArgs);
    QVERIFY(!sim.path().isEmpty());
    const Run run = flash(QStringList{"--json", "--port", sim.path()} + flashArgs << m_image5000);
    QCOMPARE(run.exitCode, 0);
    QVERIFY(run.jsonValid);
    const QJsonObject last = run.json.last();
    QCOMPARE(last.value("event").toString(), QStringLiteral("finished"));
    QCOMPARE(readFile(out), readFile(m_image5000));
    int timeouts = 0;
    for (const QJsonObject &o : run.json)
        timeouts += o.value("reason").toString() == QLatin1String("timeout");
    QCOMPARE(timeouts, timeoutResends);
    QCOMPARE(last.value("resends").toInt(), timeoutResends);
    QVERIFY2(last.value("seconds").toDouble() >= atLeastSeconds,
             qPrintable(QString::number(last.value("seconds").toDouble())));
    // Exactly the bytes of a clean run: 12 per request, four full packages, the short fifth,
    // and a full-size resend of package 1 when its acknowledgement was lost.
    const int requests = last.value("requests").toInt();
    QCOMPARE(last.value("sent").toInt(),
             Question + 12 * requests + 4 * 1032 + 912 + timeoutResends * 1032);
}

// A line that echoes every byte and a device that never answers: each echoed request is a
// valid frame, but not an answer, so requests go out at the 50 ms rate in both modes.
void TestFlash::echoingLineGetsRequestsAtTheTickRate_data()
{
    QTest::addColumn<bool>("fast");
    QTest::newRow("default") << false;
    QTest::newRow("fast") << true;
}

void TestFlash::echoingLineGetsRequestsAtTheTickRate()
{
    QFETCH(bool, fast);
    Sim sim({"--echo", "--silent"});
    QVERIFY(!sim.path().isEmpty());
    QStringList args{"--json", "--verbose", "--request-timeout", "0.6",
                     "--port", sim.path(),  m_image5000};
    if (fast)
        args.prepend(QStringLiteral("--fast"));
    const Run run = flash(args);
    QCOMPARE(run.exitCode, 4);
    const QJsonObject last = run.json.last();
    QCOMPARE(last.value("reason").toString(), QStringLiteral("no-answer"));
    const int requests = last.value("requests").toInt();
    QCOMPARE(last.value("sent").toInt(), 3 * Question + 12 * requests);
    // The time of each request (its line, written as it goes out): never less than one tick
    // of 50 ms apart, whatever the echo brings back, and mostly one tick apart (a slower tick
    // would leave more).
    QVector<qint64> at;
    for (const QJsonObject &o : run.json)
        if (o.value("event").toString() == QLatin1String("message") &&
            o.value("text").toString() == QLatin1String("Request firmware update!"))
            at << QDateTime::fromString(o.value("time").toString(), Qt::ISODateWithMs)
                      .toMSecsSinceEpoch();
    QCOMPARE(at.size(), requests);
    QVERIFY2(requests >= 5, qPrintable(QString::number(requests)));
    QVector<qint64> gaps;
    for (int i = 1; i < at.size(); ++i)
        gaps << at.at(i) - at.at(i - 1);
    std::sort(gaps.begin(), gaps.end());
    QVERIFY2(gaps.first() >= 49, qPrintable(QString::number(gaps.first())));
    QVERIFY2(gaps.at(gaps.size() / 2) < 80, qPrintable(QString::number(gaps.at(gaps.size() / 2))));
    // Every byte came back, but for the echo of the last request, which may still have been on
    // its way when the wait ended.
    const int received = last.value("received").toInt();
    QVERIFY2(received <= 3 * Question + 12 * requests &&
                 received >= 3 * Question + 12 * (requests - 1),
             qPrintable(QString::number(received)));
}

// The stream parses line by line and tells the whole story in order.
void TestFlash::jsonStream()
{
    const QString out = m_dir.filePath(QStringLiteral("json.out"));
    Sim sim({"--out", out, "--once", "--error-status", "2", "--ignore-requests", "2"});
    const Run run = flash({"--json", "--port", sim.path(), m_image5000});
    QCOMPARE(run.exitCode, 0);
    QVERIFY(run.jsonValid);
    for (const QJsonObject &o : run.json)
        QCOMPARE(o.value("port").toString(), sim.path());

    const QStringList names = eventNames(run.json);
    QCOMPARE(names.first(), QStringLiteral("started"));
    QCOMPARE(names.count(QStringLiteral("started")), 1);
    QCOMPARE(names.count(QStringLiteral("requesting")), 1);
    QCOMPARE(names.count(QStringLiteral("accepted")), 1);
    QVERIFY(names.indexOf(QStringLiteral("requesting")) <
            names.indexOf(QStringLiteral("accepted")));
    QCOMPARE(names.last(), QStringLiteral("finished"));
    QCOMPARE(names.count(QStringLiteral("finished")), 1);

    const QJsonObject started = run.json.first();
    QCOMPARE(started.value("bytes").toInt(), 5000);
    QCOMPARE(started.value("packages").toInt(), 5);
    QCOMPARE(started.value("baud").toInt(), 115200);
    QCOMPARE(started.value("fast").toBool(), false);

    // Two ignored requests, then the answer to the third. On a loaded machine a request or
    // two more may go out before that answer is read: each is counted, and is on the wire.
    const QJsonObject accepted = run.json.at(names.indexOf(QStringLiteral("accepted")));
    const int requests = accepted.value("requests").toInt();
    QVERIFY2(requests >= 3, qPrintable(QString::number(requests)));

    // Progress: packages 1..5 in order, then the completion at 5 of 5 with every byte.
    QList<int> packages;
    qint64 lastBytes = -1;
    for (const QJsonObject &o : run.json) {
        if (o.value("event").toString() != QLatin1String("progress"))
            continue;
        packages << o.value("package").toInt();
        QCOMPARE(o.value("total").toInt(), 5);
        QVERIFY(o.value("bytes").toInt() >= lastBytes);
        lastBytes = o.value("bytes").toInt();
    }
    QCOMPARE(packages, (QList<int>{1, 2, 3, 4, 5, 5}));
    QCOMPARE(lastBytes, qint64(5000));

    // The rejected package 2 (the third) was resent once as a data error.
    const QJsonObject resend = run.json.at(names.indexOf(QStringLiteral("resend")));
    QCOMPARE(names.count(QStringLiteral("resend")), 1);
    QCOMPARE(resend.value("index").toInt(), 2);
    QCOMPARE(resend.value("reason").toString(), QStringLiteral("data-error"));

    const QJsonObject finished = run.json.last();
    QCOMPARE(finished.value("exit").toInt(), 0);
    QCOMPARE(finished.value("bytes").toInt(), 5000);
    QCOMPARE(finished.value("resends").toInt(), 1);
    QCOMPARE(finished.value("requests").toInt(), requests);
    // 12 bytes a request, four full packages, the short fifth and the resent third.
    QCOMPARE(finished.value("sent").toInt(), Question + 12 * requests + 4 * 1032 + 912 + 1032);
    QVERIFY(finished.value("seconds").toDouble() > 0);
    QCOMPARE(readFile(out), readFile(m_image5000));
}

void TestFlash::humanOutput_data()
{
    QTest::addColumn<QStringList>("flashArgs");
    QTest::addColumn<QString>("finalLine");
    QTest::addColumn<QStringList>("inErr");

    QTest::newRow("english") << QStringList() << ": done, 5000 bytes in "
                             << QStringList{"Request firmware update!",
                                            "Receive the response, enter the firmware brush "
                                            "process!",
                                            "100% 5000/5000 bytes",
                                            "Flash write success!",
                                            "update completed",
                                            "Package total: 5"};
    QTest::newRow("chinese") << QStringList{"--lang", "zh"} << "：完成，5000 字节，用时 "
                             << QStringList{"请求更新固件!", "收到响应，进入刷固件流程!",
                                            "Flash写入成功!", "更新完成!", "包总数：5"};
    QTest::newRow("quiet") << QStringList{"--quiet"} << QString() << QStringList();
}

// Without a terminal: plain lines on stderr, the final line on stdout; --quiet says nothing
// on success.
void TestFlash::humanOutput()
{
    QFETCH(QStringList, flashArgs);
    QFETCH(QString, finalLine);
    QFETCH(QStringList, inErr);

    Sim sim({"--once"});
    const Run run = flash(QStringList{"--port", sim.path()} + flashArgs << m_image5000);
    QCOMPARE(run.exitCode, 0);
    const QString out = QString::fromUtf8(run.out);
    const QString err = QString::fromUtf8(run.err);
    if (finalLine.isEmpty()) {
        QCOMPARE(out, QString());
        QCOMPARE(err, QString());
        return;
    }
    QCOMPARE(out.count(QLatin1Char('\n')), 1);
    QVERIFY2(out.startsWith(sim.path() + finalLine), qPrintable(out));
    for (const QString &part : inErr)
        QVERIFY2(err.contains(part), qPrintable(part + QStringLiteral(" not in:\n") + err));
    // No terminal control codes in a log.
    QVERIFY(!err.contains(QLatin1Char('\r')));
    // Qt's debug output (the framer's counters) is hidden.
    QVERIFY(!err.contains(QStringLiteral("time out:")));
}

void TestFlash::verboseShowsRepliesAndDiagnostics()
{
    Sim sim({"--once"});
    const Run run = flash({"--verbose", "--port", sim.path(), m_image5000});
    QCOMPARE(run.exitCode, 0);
    const QString err = QString::fromUtf8(run.err);
    // The hex of the acknowledgement of package 4 with status 1, as the window shows it.
    QVERIFY2(err.contains(sim.path() + QStringLiteral(": F1 82 00 04 01 ")), qPrintable(err));
    QVERIFY(err.contains(QStringLiteral("Packet 5 has been sent, for a total of 5 packets")));
    QVERIFY(err.contains(QStringLiteral("diagnostic: time out:")));
    // Every diagnostic says what it is: no line is a lone number.
    QVERIFY(
        !QRegularExpression(QStringLiteral("(^|\n)(diagnostic: )?\\d+\n")).match(err).hasMatch());
}

// Every error line starts with "iap-flash: "; the exit code is left to the shell and named
// only with --verbose.
void TestFlash::errorLines_data()
{
    QTest::addColumn<QStringList>("ports");
    QTest::addColumn<QStringList>("extra");
    QTest::addColumn<int>("expected");
    QTest::addColumn<QStringList>("errorLines"); // "%1": the simulator's port

    const QString missing = missingPort();
    const QString cannotOpen =
        QStringLiteral("iap-flash: Cannot open serial port %1: the port does not exist (No such "
                       "file or directory). Looked for %1. @ANY@") // then the ports present
            .arg(missing);
    const QString noAnswer = QStringLiteral(
        "iap-flash: %1: the device did not answer the update request within 0.3 s (%2 requests "
        "sent). Check the cable and the baud rate, and that the device is in its boot loader.");
    QTest::newRow("port cannot be opened")
        << QStringList{missing} << QStringList() << 3 << QStringList{cannotOpen};
    QTest::newRow("port cannot be opened, verbose")
        << QStringList{missing} << QStringList{"--verbose"} << 3
        << QStringList{cannotOpen + QStringLiteral(" (exit 3)")};
    QTest::newRow("no answer") << QStringList{"sim"} << QStringList{"--request-timeout", "0.3"} << 4
                               << QStringList{noAnswer};
    // Any time at all is a limit, at least a millisecond: only 0 waits for ever.
    QTest::newRow("no answer within 0.1 ms")
        << QStringList{"sim"} << QStringList{"--request-timeout", "0.0001"} << 4
        << QStringList{
               QString(noAnswer).replace(QStringLiteral("0.3 s"), QStringLiteral("0.001 s"))};
    QTest::newRow("usage") << QStringList() << QStringList() << 1
                           << QStringList{"iap-flash: no port given, and no USB serial port is "
                                          "connected: plug in the board, or name its port with "
                                          "-p NAME (e.g. -p /dev/ttyS0, -p rfc2217://HOST:PORT)."};
    QTest::newRow("firmware file") << QStringList{missing} << QStringList{"--lang", "zh", "MISSING"}
                                   << 2 << QStringList{"iap-flash: "};
}

void TestFlash::errorLines()
{
    QFETCH(QStringList, ports);
    QFETCH(QStringList, extra);
    QFETCH(int, expected);
    QFETCH(QStringList, errorLines);

    if (ports.isEmpty() && usbSerialPorts() > 0)
        QSKIP("USB serial ports are present: iap-flash would take or list them");
    std::unique_ptr<Sim> sim;
    QStringList args;
    for (const QString &port : ports) {
        if (port == QLatin1String("sim")) {
            sim = std::make_unique<Sim>(QStringList{"--silent"});
            args << "--port" << sim->path();
        } else {
            args << "--port" << port;
        }
    }
    const bool missingFile = extra.contains(QStringLiteral("MISSING"));
    extra.removeAll(QStringLiteral("MISSING"));
    args << extra << (missingFile ? m_dir.filePath(QStringLiteral("none.bin")) : m_image5000);
    const Run run = flash(args);
    QCOMPARE(run.exitCode, expected);
    const QString err = QString::fromUtf8(run.err);
    QStringList lines;
    for (const QString &line : err.split(QLatin1Char('\n'))) {
        if (line.startsWith(QLatin1String("iap-flash")))
            lines << line;
    }
    QCOMPARE(lines.size(), errorLines.size());
    for (int i = 0; i < lines.size(); ++i) {
        QString want = errorLines.at(i);
        if (sim)
            want = want.arg(sim->path(), QRegularExpression(QStringLiteral("\\((\\d+) requests"))
                                             .match(lines.at(i))
                                             .captured(1));
        if (want == QLatin1String("iap-flash: "))
            QVERIFY2(lines.at(i).startsWith(want), qPrintable(lines.at(i)));
        else if (want.contains(QLatin1String("@ANY@")))
            QVERIFY2(lines.at(i).startsWith(want.section(QLatin1String("@ANY@"), 0, 0)) &&
                         lines.at(i).endsWith(want.section(QLatin1String("@ANY@"), 1)),
                     qPrintable(lines.at(i)));
        else
            QCOMPARE(lines.at(i), want);
    }
    if (!extra.contains(QStringLiteral("--verbose")))
        QVERIFY2(!err.contains(QStringLiteral("(exit")), qPrintable(err));
    // No colour when stderr is not a terminal.
    QVERIFY(!err.contains(QLatin1Char('\033')));
}

// On a terminal (a pseudo-terminal made by script(1)) the error prefix is red, unless
// NO_COLOR is set; the text is the same either way.
void TestFlash::colourOnlyOnATerminal_data()
{
    QTest::addColumn<bool>("noColor");
    QTest::newRow("terminal") << false;
    QTest::newRow("terminal, NO_COLOR") << true;
}

void TestFlash::colourOnlyOnATerminal()
{
    QFETCH(bool, noColor);
    const QString script = QStandardPaths::findExecutable(QStringLiteral("script"));
    if (script.isEmpty())
        QSKIP("script(1) is not installed");
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("NO_COLOR"));
    if (noColor)
        env.insert(QStringLiteral("NO_COLOR"), QStringLiteral("1"));
    p.setProcessEnvironment(env);
    const QString command = QStringLiteral("%1 --quiet --port %2 %3")
                                .arg(QStringLiteral(IAP_FLASH_PATH), missingPort(), m_image5000);
    p.start(script, {"-qec", command, "/dev/null"});
    QVERIFY(p.waitForFinished(30000));
    const QByteArray out = p.readAllStandardOutput();
    QVERIFY2(out.contains("iap-flash:"), out.constData());
    QCOMPARE(out.contains("\033[1;31miap-flash:\033[0m "), !noColor);
    QCOMPARE(out.contains('\033'), !noColor);
}

// -V and --version print the version in every program; -v is iap-flash's --verbose and is
// no version option anywhere.
void TestFlash::versionAndVerboseOptions_data()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("out");

    const QString flash = QStringLiteral(IAP_FLASH_PATH);
    const QString sim = QStringLiteral(IAP_SIM_PATH);
    QTest::newRow("iap-flash -V") << flash << QStringList{"-V"} << 0 << "iap-flash 1.0.0\n";
    QTest::newRow("iap-flash --version")
        << flash << QStringList{"--version"} << 0 << "iap-flash 1.0.0\n";
    // -v alone is --verbose: the command line then lacks the firmware.
    QTest::newRow("iap-flash -v") << flash << QStringList{"-v"} << 1 << "";
    QTest::newRow("iap-device-sim -V") << sim << QStringList{"-V"} << 0 << "iap-device-sim 1.0.0\n";
    QTest::newRow("iap-device-sim --version")
        << sim << QStringList{"--version"} << 0 << "iap-device-sim 1.0.0\n";
    QTest::newRow("iap-device-sim -v") << sim << QStringList{"-v"} << 1 << "";
}

void TestFlash::versionAndVerboseOptions()
{
    QFETCH(QString, program);
    QFETCH(QStringList, args);
    QFETCH(int, exitCode);
    QFETCH(QString, out);
    QProcess p;
    p.start(program, args);
    QVERIFY(p.waitForFinished(30000));
    QCOMPARE(p.exitStatus(), QProcess::NormalExit);
    QCOMPARE(p.exitCode(), exitCode);
    QCOMPARE(QString::fromUtf8(p.readAllStandardOutput()), out);
    const QString err = QString::fromUtf8(p.readAllStandardError());
    if (exitCode == 0)
        QCOMPARE(err, QString());
    else if (program.endsWith(QLatin1String("iap-flash")))
        QVERIFY2(err.startsWith(QLatin1String("iap-flash: no firmware file given")),
                 qPrintable(err));
    else
        QVERIFY2(err.contains(QLatin1String("Unknown option 'v'")), qPrintable(err));
}

// One line per serial port: name, description, manufacturer, VID:PID, with
// no empty fields at the end; no header when stdout is not a terminal. With no port at all,
// a note on stderr and exit 0.
void TestFlash::listPorts()
{
    const Run run = flash({"--list"});
    QCOMPARE(run.exitCode, 0);
    if (run.out.isEmpty()) {
        QCOMPARE(run.err, QByteArray("no serial ports found\n"));
        return;
    }
    QCOMPARE(run.err, QByteArray());
    for (const QByteArray &line : run.out.split('\n')) {
        if (line.isEmpty())
            continue;
        const QList<QByteArray> fields = line.split('\t');
        QVERIFY(fields.size() >= 1 && fields.size() <= 4);
        QVERIFY2(fields.size() == 1 || !fields.last().isEmpty(), line.constData());
        QVERIFY(fields.at(0).startsWith('/'));
        if (fields.size() == 4)
            QVERIFY(QRegularExpression(QStringLiteral("^[0-9a-f]{4}:[0-9a-f]{4}$"))
                        .match(QString::fromLatin1(fields.at(3)))
                        .hasMatch());
    }
}

// With --json, one object per port with the same facts, null where the system knows none.
void TestFlash::listPortsJson()
{
    // Which ports open can change between two listings while another program probes one
    // (Qt's lock file): list again until both saw the same set.
    Run plain, run;
    for (int attempt = 0; attempt < 5; ++attempt) {
        plain = flash({"--list"});
        run = flash({"--list", "--json"});
        if (run.json.size() == plain.out.count('\n'))
            break;
    }
    QCOMPARE(run.exitCode, 0);
    QVERIFY(run.jsonValid);
    QCOMPARE(run.err, plain.err);
    const QList<QByteArray> lines = plain.out.split('\n');
    QCOMPARE(run.json.size(), plain.out.count('\n'));
    for (int i = 0; i < run.json.size(); ++i) {
        const QJsonObject o = run.json.at(i);
        const QStringList keys{"access", "description", "manufacturer", "pid",
                               "port",   "serial",      "vid"};
        QCOMPARE(o.keys(), keys);
        QCOMPARE(o.value("port").toString().toUtf8(), lines.at(i).split('\t').first());
        const QJsonValue vid = o.value("vid");
        QVERIFY(
            vid.isNull() ||
            QRegularExpression(QStringLiteral("^[0-9a-f]{4}$")).match(vid.toString()).hasMatch());
    }
}

// On a terminal (made by script(1)): a header line, then aligned columns with no blanks at
// the end of a line.
void TestFlash::listPortsOnATerminal()
{
    const QString script = QStandardPaths::findExecutable(QStringLiteral("script"));
    if (script.isEmpty())
        QSKIP("script(1) is not installed");
    // As above: list again until the plain and the terminal listing saw the same ports.
    Run plain;
    QList<QByteArray> lines;
    for (int attempt = 0; attempt < 5; ++attempt) {
        plain = flash({"--list"});
        QProcess p;
        p.start(script,
                {"-qec", QStringLiteral(IAP_FLASH_PATH) + QStringLiteral(" --list"), "/dev/null"});
        QVERIFY(p.waitForFinished(30000));
        lines = p.readAllStandardOutput().split('\n');
        const int ports = plain.out.count('\n');
        if (ports == 0 ? lines.first().startsWith("no serial ports found")
                       : lines.size() == 1 + ports + 1)
            break;
    }
    if (plain.out.isEmpty()) {
        QCOMPARE(lines.first(), QByteArray("no serial ports found\r"));
        return;
    }
    QVERIFY2(lines.first().startsWith("PORT"), lines.first().constData());
    QCOMPARE(lines.size(), 1 + plain.out.count('\n') + 1); // header, ports, nothing after
    for (int i = 1; i + 1 < lines.size(); ++i) {
        QVERIFY(lines.at(i).endsWith('\r'));
        const QByteArray line = lines.at(i).chopped(1);
        QVERIFY2(!line.endsWith(' '), line.constData());
        QVERIFY(!line.contains('\t'));
        QVERIFY(line.startsWith(plain.out.split('\n').at(i - 1).split('\t').first()));
    }
}

// HEX, S-record and ELF files made by binutils arrive in the device as the image they hold;
// the "started" event says what was found.
void TestFlash::structuredFiles_data()
{
    QTest::addColumn<QString>("made");      // how the file is made from the 5000-byte image
    QTest::addColumn<QStringList>("extra"); // iap-flash options
    QTest::addColumn<int>("filler");        // 0xFF bytes the device receives before the image
    QTest::addColumn<QString>("format");
    QTest::addColumn<QString>("base");
    QTest::addColumn<QString>("end");

    QTest::newRow("hex") << "ihex" << QStringList() << 0 << "hex"
                         << "0x08000000"
                         << "0x08001387";
    QTest::newRow("srec with --base below it")
        << "srec" << QStringList{"--base", "0x07FFFFF0"} << 16 << "srec"
        << "0x07FFFFF0"
        << "0x08001387";
    QTest::newRow("elf") << "elf" << QStringList() << 0 << "elf"
                         << "0x08000000"
                         << "0x08001387";
    QTest::newRow("raw that starts like ELF, --format bin")
        << "elf-magic" << QStringList{"--format", "bin"} << 0 << "bin"
        << "0x00000000"
        << "0x00001387";
    QTest::newRow("hex sent as text, --format bin")
        << "ihex" << QStringList{"--format", "bin"} << -1 << "bin"
        << "0x00000000" << QString();
}

void TestFlash::structuredFiles()
{
    QFETCH(QString, made);
    QFETCH(QStringList, extra);
    QFETCH(int, filler);
    QFETCH(QString, format);
    QFETCH(QString, base);
    QFETCH(QString, end);

    const QString objcopy = QStandardPaths::findExecutable(QStringLiteral("objcopy"));
    const QString ld = QStandardPaths::findExecutable(QStringLiteral("ld"));
    QVERIFY2(!objcopy.isEmpty() && !ld.isEmpty(), "binutils (objcopy, ld) is needed");
    const QByteArray image = readFile(m_image5000);
    const QString file = m_dir.filePath(QStringLiteral("structured.bin"));
    QFile::remove(file);
    QProcess tool;
    if (made == QLatin1String("elf")) {
        tool.start(ld, {"-N", "-e", "0", "--section-start=.data=0x08000000", "--oformat",
                        "elf32-little", "-o", file, "-b", "binary", m_image5000});
    } else if (made == QLatin1String("elf-magic")) {
        QByteArray raw = image;
        raw.replace(0, 4,
                    QByteArray("\x7F"
                               "ELF"));
        QVERIFY(!writeFile(m_dir, QStringLiteral("structured.bin"), raw).isEmpty());
    } else {
        tool.start(objcopy, {"-I", "binary", "-O", made, "--change-addresses", "0x08000000",
                             m_image5000, file});
    }
    if (tool.state() != QProcess::NotRunning || tool.exitCode() != 0) {
        QVERIFY(tool.waitForFinished(30000));
        QCOMPARE(tool.exitCode(), 0);
    }
    QByteArray expected = QByteArray(qMax(filler, 0), '\xFF') + image;
    if (made == QLatin1String("elf-magic"))
        expected = readFile(file);
    if (filler < 0) { // the file itself
        expected = readFile(file);
        end = QStringLiteral("0x%1").arg(
            QString::number(expected.size() - 1, 16).toUpper().rightJustified(8, '0'));
    }

    const QString out = m_dir.filePath(QStringLiteral("structured.out"));
    QFile::remove(out);
    Sim sim({"--out", out, "--once"});
    const Run run = flash(QStringList{"--fast", "--json", "--port", sim.path()} + extra << file);
    QCOMPARE(run.exitCode, 0);
    QVERIFY(run.jsonValid);
    const QJsonObject started = run.json.first();
    QCOMPARE(started.value("event").toString(), QStringLiteral("started"));
    QCOMPARE(started.value("format").toString(), format);
    QCOMPARE(started.value("base").toString(), base);
    QCOMPARE(started.value("end").toString(), end);
    QCOMPARE(started.value("bytes").toInt(), expected.size());
    QCOMPARE(started.value("packages").toInt(), (expected.size() + 1023) / 1024);
    QVERIFY(readFile(out) == expected);
}

// Without --json the summary says what was converted, in the language asked for; a raw
// image keeps the three lines alone.
void TestFlash::convertedSummary_data()
{
    QTest::addColumn<QStringList>("extra");
    QTest::addColumn<QString>("firstLine");
    QTest::newRow("english") << QStringList()
                             << "Intel HEX file: addresses 0x08000000-0x08000003; the image starts "
                                "at 0x08000000 (the device receives it from its first byte)";
    QTest::newRow("chinese") << QStringList{"--lang", "zh"}
                             << QString::fromUtf8(
                                    "Intel HEX 文件：地址 0x08000000-0x08000003；镜像从 "
                                    "0x08000000 开始（设备从镜像的第一个字节开始接收）");
}

void TestFlash::convertedSummary()
{
    QFETCH(QStringList, extra);
    QFETCH(QString, firstLine);
    const QString hex = writeFile(m_dir, QStringLiteral("four.hex"),
                                  ":020000040800F2\n:0400000001020304F2\n:00000001FF\n");
    Sim sim({"--once"});
    const Run run = flash(QStringList{"--fast", "--port", sim.path()} + extra << hex);
    QCOMPARE(run.exitCode, 0);
    const QStringList lines = QString::fromUtf8(run.err).split(QLatin1Char('\n'));
    const int at = lines.indexOf(firstLine);
    QVERIFY2(at >= 0, run.err.constData());
    // The summary follows: length 4, one package.
    QVERIFY(lines.value(at + 1).endsWith(QLatin1String("4")));
    QVERIFY(lines.value(at + 3).endsWith(QLatin1String("1")));
}

// A device that answers with an 8-byte 0x82 frame (no status byte) has not acknowledged
// anything, whatever the first CRC byte says. For package 91 that byte is 0x01.
void TestFlash::shortAcknowledgement_data()
{
    QTest::addColumn<QString>("list");
    QTest::addColumn<int>("expected");
    QTest::newRow("last package, once") << "91" << 0;
    QTest::newRow("every package, every time") << "all" << 5;
}

void TestFlash::shortAcknowledgement()
{
    QFETCH(QString, list);
    QFETCH(int, expected);
    const QByteArray bytes = randomImage(92 * 1024 - 100, 92); // package 91 is the last
    const QString image = writeFile(m_dir, QStringLiteral("image92.bin"), bytes);
    const QString out = m_dir.filePath(QStringLiteral("short.out"));
    QFile::remove(out);
    Sim sim({"--short-ack", list, "--out", out});
    QVERIFY(!sim.path().isEmpty());
    const Run run = flash({"--fast", "--json", "--ack-timeout", "0.3", "--max-resends", "2",
                           "--port", sim.path(), image});
    QCOMPARE(run.exitCode, expected);
    const QJsonObject last = run.json.last();
    QList<QJsonObject> resends;
    for (const QJsonObject &o : run.json)
        if (o.value("event").toString() == QLatin1String("resend"))
            resends << o;
    if (expected == 0) {
        QCOMPARE(last.value("event").toString(), QStringLiteral("finished"));
        // The short frame was not taken as "written": the package went again after the wait.
        QCOMPARE(resends.size(), 1);
        QCOMPARE(resends.first().value("index").toInt(), 91);
        QCOMPARE(resends.first().value("reason").toString(), QStringLiteral("timeout"));
        QTRY_COMPARE(sim.events(QStringLiteral("complete")).size(), 1);
        QCOMPARE(readFile(out), bytes);
    } else {
        QCOMPARE(last.value("reason").toString(), QStringLiteral("too-many-resends"));
        QVERIFY(!eventNames(run.json).contains(QStringLiteral("finished")));
        QVERIFY(sim.events(QStringLiteral("complete")).isEmpty());
    }
}

// The request announces the package total in 16 bits. 65535 packages is the largest image:
// it reaches a device that takes the total at its word with FF FF. One byte more is refused
// before anything is sent.
void TestFlash::packageLimit_data()
{
    QTest::addColumn<qint64>("bytes");
    QTest::addColumn<int>("expected");
    QTest::newRow("65535 packages") << qint64(65535) * 1024 << 3;
    QTest::newRow("65535 packages and 1 byte") << qint64(65535) * 1024 + 1 << 2;
}

void TestFlash::packageLimit()
{
    QFETCH(qint64, bytes);
    QFETCH(int, expected);
    const QString image = m_dir.filePath(QStringLiteral("limit.bin"));
    {
        QFile f(image);
        QVERIFY(f.open(QIODevice::WriteOnly));
        QVERIFY(f.resize(bytes)); // sparse
    }
    // The device hangs up once the first package is written.
    Sim sim({"--trust-total", "--log", "--hangup-after", "1"});
    QVERIFY(!sim.path().isEmpty());
    const Run run = flash({"--fast", "--json", "--port", sim.path(), image}, 120000);
    QFile::remove(image);
    QCOMPARE(run.exitCode, expected);
    const QJsonObject last = run.json.last();
    QCOMPARE(last.value("event").toString(), QStringLiteral("failed"));
    // A device that hung up has exited, its log written whole; otherwise nothing reached it.
    if (expected != 2)
        QVERIFY(sim.exitedCleanly(10000));
    const QString log = QString::fromLocal8Bit(sim.stderrText());
    if (expected == 2) {
        QVERIFY2(last.value("error").toString().contains(QStringLiteral("65535 packages")),
                 qPrintable(last.value("error").toString()));
        QVERIFY2(!log.contains(QStringLiteral("request")), qPrintable(log)); // nothing sent
        QCOMPARE(sim.process().state(), QProcess::Running);
    } else {
        QCOMPARE(last.value("reason").toString(), QStringLiteral("port-lost"));
        QVERIFY2(log.contains(QStringLiteral("request: 67107840 bytes in 65535 package(s)")),
                 qPrintable(log));
        QVERIFY2(!log.contains(QStringLiteral("announced total")), qPrintable(log));
    }
}

// A line in use, under any spelling, is refused with the reason, and is not written to.
void TestFlash::portHeldByAnotherProgram()
{
    Sim sim({"--ignore-requests", "1000"});
    QVERIFY(sim.path().startsWith(QLatin1String("/dev/pts/")));
    QProcess holder;
    holder.start(QStringLiteral(IAP_FLASH_PATH),
                 {"--json", "--request-timeout", "0", "--port", sim.path(), m_image5000});
    QVERIFY(holder.waitForStarted());
    QByteArray seen;
    while (!seen.contains("\"requesting\"") && holder.state() == QProcess::Running) {
        holder.waitForReadyRead(5000);
        seen += holder.readAllStandardOutput();
    }
    QVERIFY2(seen.contains("\"requesting\""), seen.constData());

    const QString otherSpelling = QString(sim.path()).replace("/pts/", "/pts//");
    const Run second = flash({"--json", "--port", otherSpelling, m_image5000});
    QCOMPARE(second.exitCode, 3);
    const QString error = second.json.last().value("error").toString();
    QVERIFY2(error.contains(QStringLiteral("in use by another program")), qPrintable(error));

    ::kill(pid_t(holder.processId()), SIGINT);
    QVERIFY(holder.waitForFinished(10000));
    QCOMPARE(holder.exitCode(), 130);
}

// A firmware file whose name is not valid UTF-8 is found: the name is given to the program as
// raw bytes through the shell, and the run gets past the file to the (missing) port.
void TestFlash::firmwareNameNotUtf8()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QByteArray native = QFile::encodeName(dir.path()) + "/fw-\xff\xfe.bin";
    const RemovedAtEnd removed{native};
    {
        const int fd = ::open(native.constData(), O_WRONLY | O_CREAT | O_EXCL, 0600);
        QVERIFY(fd >= 0);
        QFile f;
        QVERIFY(f.open(fd, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle));
        QCOMPARE(f.write(randomImage(3000, 3)), qint64(3000));
    }
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DIR"), dir.path());
    p.setProcessEnvironment(env);
    // printf turns the octal escapes into the bytes 0xFF 0xFE.
    p.start(QStringLiteral("/bin/sh"),
            {"-c", "exec \"$0\" \"$@\" \"$(printf '%s/fw-\\377\\376.bin' \"$DIR\")\"",
             QStringLiteral(IAP_FLASH_PATH), "--json", "--port", missingPort()});
    QVERIFY(p.waitForFinished(20000));
    Run run;
    run.exitCode = p.exitCode();
    run.out = p.readAllStandardOutput();
    parseJson(run);
    QCOMPARE(run.exitCode, 3);
    QCOMPARE(run.json.last().value("reason").toString(), QStringLiteral("open-failed"));
}

// What a new user runs into: text that is no firmware, ports hidden from a user outside their
// group, a port named wrongly or given where the firmware goes, and the language of the
// locale. @SIM@ is a simulated board's port, @README@ a text file, @HEX@ a HEX file whose
// first line is a comment, @IMAGE@ a binary image, @TINY@ one too short to call text.
void TestFlash::newUserMistakes_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QStringList>("env");
    QTest::addColumn<bool>("unprivileged");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QStringList>("inErr");
    const QString text = QStringLiteral("is text, not a firmware image");
    QTest::newRow("README") << QStringList{"-p", "@SIM@", "@README@"} << QStringList() << false << 2
                            << QStringList{"\"@README@\" " + text, "--format bin"};
    QTest::newRow("README, --format bin")
        << QStringList{"-p", "@SIM@", "--format", "bin", "@README@"} << QStringList() << false << 0
        << QStringList();
    QTest::newRow("printable image of 15 bytes")
        << QStringList{"-p", "@SIM@", "@TINY@"} << QStringList() << false << 0 << QStringList();
    QTest::newRow("HEX with a comment first")
        << QStringList{"-p", "@SIM@", "@HEX@"} << QStringList() << false << 2
        << QStringList{"malformed record on line 1: the line does not start with ':'"};
    QTest::newRow("-l as a user outside the port's group")
        << QStringList{"-l"} << QStringList() << true << 0
        << QStringList{"Ports marked \"no access\" cannot be opened by this user: "};
    QTest::newRow("bare port name")
        << QStringList{"-p", "sample.bin", "@IMAGE@"} << QStringList() << false << 3
        << QStringList{"does not exist (No such file or directory). Looked for /dev/sample.bin. "};
    QTest::newRow("port given as the firmware")
        << QStringList{"@SIM@", "@README@"} << QStringList() << false << 1
        << QStringList{"@SIM@ is a port, not a firmware file: name it with -p (iap-flash -p @SIM@ "
                       "@README@)."};
    QTest::newRow("LANG=zh_CN") << QStringList{"-p", "@SIM@"} << QStringList{"LANG=zh_CN.UTF-8"}
                                << false << 1 << QStringList{"没有指定固件文件。"};
    QTest::newRow("LC_ALL over LANG")
        << QStringList{"-p", "@SIM@"} << QStringList{"LANG=zh_CN.UTF-8", "LC_ALL=en_US.UTF-8"}
        << false << 1 << QStringList{"no firmware file given."};
    QTest::newRow("--lang zh --help")
        << QStringList{"--lang", "zh", "--help"} << QStringList() << false << 0 << QStringList();
}

void TestFlash::newUserMistakes()
{
    QFETCH(QStringList, args);
    QFETCH(QStringList, env);
    QFETCH(bool, unprivileged);
    QFETCH(int, exitCode);
    QFETCH(QStringList, inErr);
    QStringList prefix;
    if (unprivileged) {
        const QString setpriv = QStandardPaths::findExecutable(QStringLiteral("setpriv"));
        if (setpriv.isEmpty() || ::geteuid() != 0)
            QSKIP("needs setpriv (util-linux) and root, to run as nobody");
        prefix = QStringList{setpriv, "--reuid=65534", "--regid=65534", "--clear-groups"};
    }
    Sim sim({"--once"});
    const QString readme =
        writeFile(m_dir, QStringLiteral("README.txt"), "Build with make, then flash app.bin.\n");
    const QString hex = writeFile(m_dir, QStringLiteral("commented.hex"),
                                  "; generated by build 42\n:0400000001020304F2\n:00000001FF\n");
    const auto filled = [&](QString t) {
        return t.replace(QLatin1String("@SIM@"), sim.path())
            .replace(QLatin1String("@README@"), readme)
            .replace(QLatin1String("@HEX@"), hex)
            .replace(QLatin1String("@IMAGE@"), m_image5000)
            .replace(QLatin1String("@TINY@"), writeFile(m_dir, "tiny.bin", "A\nB\nCDEFGHIJKLM"));
    };
    for (QString &a : args)
        a = filled(a);
    const Run run = flash(args, 60000, env, prefix);
    const QString err = QString::fromUtf8(run.err);
    QCOMPARE(run.exitCode, exitCode);
    for (const QString &part : qAsConst(inErr))
        QVERIFY2(err.contains(filled(part)), qPrintable(err));
    if (unprivileged) {
        // Every port root lists, the ones this user may not open marked; the hint once.
        const Run asRoot = flash({"-l"});
        QCOMPARE(run.out.count('\n'), asRoot.out.count('\n'));
        QVERIFY2(run.out.contains("\tno access\n"), run.out.constData());
        QCOMPARE(int(err.count(QStringLiteral("Ports marked"))), 1);
    }
    if (args.contains(QStringLiteral("--help"))) {
        const QString out = QString::fromUtf8(run.out);
        QVERIFY2(out.startsWith(QString::fromUtf8("用法：")), qPrintable(out));
        QVERIFY(out.contains(QString::fromUtf8("显示此帮助并退出。")));
    }
}

QTEST_GUILESS_MAIN(TestFlash)
#include "tst_flash.moc"
