// iap-flash and the modem lines, as a process: the commands as a recording RFC 2217 server
// receives them (in order, each wait kept, all before the first request; the --after ones
// after the last package), and ports without modem lines (ser2net in front of a
// pseudo-terminal, raw TCP, a pseudo-terminal itself), which get one warning and are flashed.
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

#include "flashrun.h"
#include "rfc2217server.h"
#include "ser2netprocess.h"
#include "simprocess.h"
#include "testfiles.h"
#include <memory>

using namespace flashrun;

class TestResetLines : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void modemLinesAsTheServerSeesThem_data();
    void modemLinesAsTheServerSeesThem();
    void portWithoutModemLines_data();
    void portWithoutModemLines();
    void watchModeResetsEachBoard();

private:
    QTemporaryDir m_dir;
    QByteArray m_image;
    QString m_imagePath;
};

void TestResetLines::initTestCase()
{
    qRegisterMetaType<QProcess::ExitStatus>();
    QVERIFY2(Ser2NetProcess::available(), "ser2net and setpriv are needed (scripts/deps.sh)");
    QVERIFY(m_dir.isValid());
    // Random bytes with a run of erased flash.
    m_image = randomImage(6000, 7);
    m_image.replace(1000, 1500, QByteArray(1500, '\xff'));
    m_imagePath = writeFile(m_dir, QStringLiteral("image.bin"), m_image);
    QVERIFY(!m_imagePath.isEmpty());
}

// The modem-line commands as an RFC 2217 server with lines receives them: in order, each
// wait kept, all of them before the first request; after a successful upgrade the --after
// ones, after the last package. The server passes the data on to the simulator.
void TestResetLines::modemLinesAsTheServerSeesThem_data()
{
    QTest::addColumn<QStringList>("options");
    QTest::addColumn<QStringList>("before"); // SET-CONTROL values before the first request
    QTest::addColumn<QList<int>>("gaps");    // least ms between them
    QTest::addColumn<QStringList>("after");  // after the last package
    QTest::addColumn<bool>("commandsInData");

    QTest::newRow("--reset rts --reset-ms 120 --after reset")
        << QStringList{"--reset", "rts", "--reset-ms", "120", "--after", "reset"}
        << QStringList{"control 11", "control 12"} << QList<int>{120}
        << QStringList{"control 11", "control 12"} << false;
    QTest::newRow("--reset-sequence, two lines")
        << QStringList{"--reset-sequence", "dtr=1,rts=1,wait=100,dtr=0,wait=50,rts=0"}
        << QStringList{"control 8", "control 11", "control 9", "control 12"}
        << QList<int>{0, 100, 50} << QStringList() << false;
    QTest::newRow("--reset dtr, --after-sequence, telnet commands among the data")
        << QStringList{"--reset", "dtr", "--after-sequence", "rts=1,wait=30,rts=0"}
        << QStringList{"control 8", "control 9"} << QList<int>{100}
        << QStringList{"control 11", "control 12"} << true;
}

void TestResetLines::modemLinesAsTheServerSeesThem()
{
    QFETCH(QStringList, options);
    QFETCH(QStringList, before);
    QFETCH(QList<int>, gaps);
    QFETCH(QStringList, after);
    QFETCH(bool, commandsInData);
    const QString out = m_dir.filePath(QStringLiteral("lines.out"));
    QFile::remove(out);
    SimProcess sim({"--out", out});
    QVERIFY(!sim.path().isEmpty());
    Rfc2217Server::Settings settings;
    settings.device = sim.path();
    settings.commandsInData = commandsInData;
    Rfc2217Server server(settings);
    QVERIFY(server.isListening());

    const Run run =
        flash(QStringList{"--json", "--fast", "--port", server.url()} + options << m_imagePath);
    QCOMPARE(run.exitCode, 0);
    QVERIFY(events(run, QStringLiteral("warning")).isEmpty());
    QTRY_COMPARE(readFile(out), m_image);
    QTRY_VERIFY(server.what().contains(QStringLiteral("closed")));

    // The settings first, then the lines, then data only; after the data the --after lines.
    const QStringList what = server.what();
    QVERIFY2(what.contains(QStringLiteral("baud 115200")), qPrintable(what.join(", ")));
    QVERIFY(what.contains(QStringLiteral("datasize 8")));
    QVERIFY(what.contains(QStringLiteral("parity 1")));
    QVERIFY(what.contains(QStringLiteral("stopsize 1")));
    QVERIFY(what.contains(QStringLiteral("dont 1"))); // the server's offer to echo, refused
    const int firstData = int(what.indexOf(QStringLiteral("data")));
    QVERIFY(firstData > 0);
    QStringList controls;
    QList<qint64> times;
    for (int i = 0; i < firstData; ++i) {
        if (what.at(i).startsWith(QLatin1String("control ")) &&
            what.at(i) != QLatin1String("control 1")) {
            controls << what.at(i);
            times << server.records.at(i).ms;
        }
    }
    QCOMPARE(controls, before);
    for (int i = 0; i < gaps.size(); ++i)
        QVERIFY2(times.at(i + 1) - times.at(i) >= gaps.at(i),
                 qPrintable(QStringLiteral("%1 ms").arg(times.at(i + 1) - times.at(i))));
    QStringList rest = what.mid(firstData);
    rest.removeAll(QStringLiteral("data"));
    rest.removeAll(QStringLiteral("closed"));
    QCOMPARE(rest, after);
}

// A port without modem lines: one warning, in its language and as a JSON event, never a hang;
// the requests go on and the board (already in its boot loader) is flashed.
void TestResetLines::portWithoutModemLines_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QStringList>("extra");
    QTest::addColumn<QString>("warning"); // %1: the port
    const QString network = QStringLiteral(
        "%1: cannot set DTR (the port has no modem lines, or the server did not confirm it "
        "within 0.5 s), so the board was not reset. The requests go on; press the board's "
        "reset button if it is not in its boot loader.");
    QTest::newRow("ser2net on a pseudo-terminal, --reset and --after")
        << "rfc2217" << QStringList{"--reset", "dtr", "--after", "reset"} << network;
    QTest::newRow("raw TCP") << "socket" << QStringList{"--reset-sequence", "dtr=1,wait=10,dtr=0"}
                             << "%1: cannot set DTR (the port has no modem lines), so the board "
                                "was not reset. The requests go on; press the board's reset "
                                "button if it is not in its boot loader.";
    QTest::newRow("local pseudo-terminal, chinese")
        << "pty" << QStringList{"--reset", "rts", "--lang", "zh"}
        << QString::fromUtf8("%1：无法设置 RTS（该端口没有调制解调器控制线），未能复位设备。继续"
                             "发送请求；如果设备不在引导程序中，请按它的复位键。");
}

void TestResetLines::portWithoutModemLines()
{
    QFETCH(QString, kind);
    QFETCH(QStringList, extra);
    QFETCH(QString, warning);
    const QString out = m_dir.filePath(QStringLiteral("nolines.out"));
    QFile::remove(out);
    SimProcess sim({"--out", out, "--once"});
    std::unique_ptr<Ser2NetProcess> server;
    QString port = sim.path();
    if (kind != QLatin1String("pty")) {
        server = std::make_unique<Ser2NetProcess>(QVector<Ser2NetProcess::Entry>{
            {kind == QLatin1String("socket") ? QStringLiteral("tcp")
                                             : QStringLiteral("telnet(rfc2217)"),
             sim.path()}});
        QVERIFY2(server->isListening(), server->log().constData());
        port = server->url(kind, 0);
    }
    const Run run = flash(QStringList{"--json", "--port", port} + extra << m_imagePath);
    QCOMPARE(run.exitCode, 0);
    const QList<QJsonObject> warnings = events(run, QStringLiteral("warning"));
    QCOMPARE(warnings.size(), 1);
    QCOMPARE(warnings.first().value("port").toString(), port);
    QCOMPARE(warnings.first().value("error").toString(), warning.arg(port));
    const QStringList names = eventNames(run);
    QVERIFY(names.indexOf(QStringLiteral("started")) < names.indexOf(QStringLiteral("warning")));
    QVERIFY(names.indexOf(QStringLiteral("warning")) < names.indexOf(QStringLiteral("requesting")));
    QCOMPARE(names.last(), QStringLiteral("finished"));
    QCOMPARE(readFile(out), m_image);
    // The same warning, once, for people too.
    QVERIFY2(QString::fromUtf8(run.err).count(warning.arg(port)) == 1, run.err.constData());
}

// With --watch every board that appears is reset (here: warned about, as a pseudo-terminal
// has no modem lines) before it is flashed.
void TestResetLines::watchModeResetsEachBoard()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString a = dir.filePath(QStringLiteral("board-a"));
    const QString b = dir.filePath(QStringLiteral("board-b"));
    SimProcess simA({"--link", a});
    SimProcess simB({"--link", b});
    QVERIFY(!simA.path().isEmpty() && !simB.path().isEmpty());
    const Run run = flash({"--json", "--fast", "--reset", "dtr", "--watch",
                           dir.filePath(QStringLiteral("board-*")), "--count", "2", m_imagePath});
    QCOMPARE(run.exitCode, 0);
    QStringList warned;
    for (const QJsonObject &o : events(run, QStringLiteral("warning")))
        warned << o.value("port").toString();
    warned.sort();
    QCOMPARE(warned, (QStringList{a, b}));
}

QTEST_GUILESS_MAIN(TestResetLines)
#include "tst_resetlines.moc"
