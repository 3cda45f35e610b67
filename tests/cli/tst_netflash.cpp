// iap-flash over the network, as a process: through Debian's ser2net (RFC 2217 and raw TCP) in
// front of the simulator's pseudo-terminal. Images arrive intact, 0xFF included; every failure
// has its code and its words; a port name that cannot be meant is a usage error.
#include <QJsonObject>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include "flashrun.h"
#include "ser2netprocess.h"
#include "simprocess.h"
#include "testfiles.h"
#include <memory>

using namespace flashrun;

namespace {

// An image a telnet link must carry as data: runs of 0xFF (erased flash), IAC commands and
// CR NUL spelt out in it, and random bytes.
QByteArray awkwardImage(int size)
{
    QByteArray image = randomImage(size, 2217);
    const QByteArray traps = QByteArray::fromHex("fffa2cfff0 fffb00 fffd2c 0d00 0d0a ffff");
    for (int at = 0; at + 600 < size; at += 1500) {
        image.replace(at, 400, QByteArray(400, '\xff'));
        image.replace(at + 450, traps.size(), traps);
    }
    return image;
}

} // namespace

class TestNetFlash : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void throughSer2Net_data();
    void throughSer2Net();
    void networkAndLocalPortsAtOnce();
    void serverClosesMidTransfer();
    void cannotReach_data();
    void cannotReach();
    void badPortNames_data();
    void badPortNames();

private:
    QTemporaryDir m_dir;
    QByteArray m_image;
    QString m_imagePath;
};

void TestNetFlash::initTestCase()
{
    qRegisterMetaType<QProcess::ExitStatus>();
    QVERIFY2(Ser2NetProcess::available(), "ser2net and setpriv are needed (scripts/deps.sh)");
    QVERIFY(m_dir.isValid());
    m_image = awkwardImage(6000);
    m_imagePath = writeFile(m_dir, QStringLiteral("awkward.bin"), m_image);
    QVERIFY(!m_imagePath.isEmpty());
}

// The whole upgrade through ser2net: the device holds the image byte for byte, and exactly
// the bytes of a clean run went each way (nothing un-escaped twice, nothing lost).
void TestNetFlash::throughSer2Net_data()
{
    QTest::addColumn<QString>("accepter");
    QTest::addColumn<QString>("scheme");
    QTest::addColumn<QStringList>("extra");
    QTest::newRow("RFC 2217, fast") << "telnet(rfc2217)"
                                    << "rfc2217" << QStringList{"--fast"};
    QTest::newRow("RFC 2217, window timing") << "telnet(rfc2217)"
                                             << "rfc2217" << QStringList();
    QTest::newRow("raw TCP, fast") << "tcp"
                                   << "socket" << QStringList{"--fast"};
}

void TestNetFlash::throughSer2Net()
{
    QFETCH(QString, accepter);
    QFETCH(QString, scheme);
    QFETCH(QStringList, extra);
    const QString out = m_dir.filePath(QStringLiteral("net.out"));
    QFile::remove(out);
    SimProcess sim({"--out", out, "--once"});
    QVERIFY(!sim.path().isEmpty());
    Ser2NetProcess server({{accepter, sim.path()}});
    QVERIFY2(server.isListening(), server.log().constData());
    const QString url = server.url(scheme, 0);

    const Run run = flash(QStringList{"--json", "--port", url} + extra << m_imagePath);
    QCOMPARE(run.exitCode, 0);
    const QJsonObject last = run.json.last();
    QCOMPARE(last.value("event").toString(), QStringLiteral("finished"));
    QCOMPARE(last.value("port").toString(), url);
    QVERIFY(events(run, QStringLiteral("warning")).isEmpty());
    QCOMPARE(readFile(out), m_image);
    // 12 bytes a request, five full packages (1032), the sixth 880 + 8; 14 bytes an answer.
    const int requests = last.value("requests").toInt();
    QCOMPARE(last.value("sent").toInt(), 12 * requests + 5 * 1032 + 888);
    QCOMPARE(last.value("received").toInt(), 8 + 6 * 9);
}

// Two boards behind one ser2net (one of each kind) and one on a local line, all at once.
void TestNetFlash::networkAndLocalPortsAtOnce()
{
    const QString outs[3] = {m_dir.filePath(QStringLiteral("a.out")),
                             m_dir.filePath(QStringLiteral("b.out")),
                             m_dir.filePath(QStringLiteral("c.out"))};
    for (const QString &o : outs)
        QFile::remove(o);
    SimProcess a({"--out", outs[0], "--once"});
    SimProcess b({"--out", outs[1], "--once"});
    SimProcess c({"--out", outs[2], "--once"});
    Ser2NetProcess server({{"telnet(rfc2217)", a.path()}, {"tcp", b.path()}});
    QVERIFY2(server.isListening(), server.log().constData());
    const QStringList ports{server.url(QStringLiteral("rfc2217"), 0),
                            server.url(QStringLiteral("socket"), 1), c.path()};
    const Run run =
        flash({"--fast", "--port", ports[0], "--port", ports[1], "--port", ports[2], m_imagePath});
    QCOMPARE(run.exitCode, 0);
    for (int i = 0; i < 3; ++i) {
        QVERIFY2(run.out.contains(ports[i].toUtf8() + ": done, 6000 bytes"), run.out.constData());
        QCOMPARE(readFile(outs[i]), m_image);
    }
}

// The device goes away behind the server in the middle of the upgrade: the server closes the
// connection, and the upgrade is reported incomplete with the bytes written, as for a lost
// line.
void TestNetFlash::serverClosesMidTransfer()
{
    SimProcess sim({"--hangup-after", "3"});
    Ser2NetProcess server({{"telnet(rfc2217)", sim.path()}});
    QVERIFY2(server.isListening(), server.log().constData());
    const QString url = server.url(QStringLiteral("rfc2217"), 0);
    const Run run = flash({"--json", "--port", url, m_imagePath});
    QCOMPARE(run.exitCode, 3);
    const QJsonObject last = run.json.last();
    QCOMPARE(last.value("reason").toString(), QStringLiteral("port-lost"));
    const int bytes = last.value("bytes").toInt();
    QVERIFY2(bytes == 2 * 1024 || bytes == 3 * 1024, qPrintable(QString::number(bytes)));
    QCOMPARE(last.value("error").toString(),
             QStringLiteral("Serial port %1 was lost: the upgrade is incomplete (%2 of 6000 bytes "
                            "written) and must be run again. The port has been closed. (the "
                            "server closed the connection)")
                 .arg(url)
                 .arg(bytes));
}

// A server that cannot be reached or used: exit 3, its reason in words, quickly.
void TestNetFlash::cannotReach_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QStringList>("extra");
    QTest::addColumn<QString>("error"); // %1: the port
    QTest::newRow("nobody listening")
        << "nothing" << QStringList()
        << "Cannot reach %1: nothing listens at that port (is the server running?) (Connection "
           "refused).";
    QTest::newRow("nobody listening, chinese")
        << "nothing" << QStringList{"--lang", "zh"}
        << QString::fromUtf8("无法连接 %1：该端口上没有服务在监听（服务器是否已启动？） "
                             "(Connection refused)。");
    QTest::newRow("host name that does not resolve")
        << "no host" << QStringList()
        << "Cannot reach %1: the host name does not resolve (Host not found).";
    QTest::newRow("telnet server without RFC 2217")
        << "telnet" << QStringList()
        << "Cannot use %1: the server does not offer RFC 2217 (the COM-PORT option); if it is a "
           "raw TCP port, use %2.";
    QTest::newRow("device missing behind the server")
        << "no device" << QStringList()
        << "Cannot use %1: the server closed the connection (Device open failure: Value or file "
           "not found).";
}

void TestNetFlash::cannotReach()
{
    QFETCH(QString, setup);
    QFETCH(QStringList, extra);
    QFETCH(QString, error);
    std::unique_ptr<SimProcess> sim;
    std::unique_ptr<Ser2NetProcess> server;
    QString url;
    if (setup == QLatin1String("nothing")) {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        url = QStringLiteral("rfc2217://127.0.0.1:%1").arg(probe.serverPort());
        probe.close();
    } else if (setup == QLatin1String("no host")) {
        url = QStringLiteral("rfc2217://no-such-host.invalid:2217");
    } else {
        const bool device = setup == QLatin1String("telnet");
        if (device)
            sim = std::make_unique<SimProcess>(QStringList{"--silent"});
        server = std::make_unique<Ser2NetProcess>(QVector<Ser2NetProcess::Entry>{
            {device ? QStringLiteral("telnet") : QStringLiteral("telnet(rfc2217)"),
             device ? sim->path() : m_dir.filePath(QStringLiteral("no-such-tty"))}});
        QVERIFY2(server->isListening(), server->log().constData());
        url = server->url(QStringLiteral("rfc2217"), 0);
    }
    const Run run = flash(QStringList{"--json", "--port", url} + extra << m_imagePath, 20000);
    QCOMPARE(run.exitCode, 3);
    const QJsonObject last = run.json.last();
    QCOMPARE(last.value("event").toString(), QStringLiteral("failed"));
    QCOMPARE(last.value("reason").toString(), QStringLiteral("open-failed"));
    QString raw = url;
    raw.replace(QStringLiteral("rfc2217://"), QStringLiteral("socket://"));
    QCOMPARE(last.value("error").toString(),
             error.contains(QLatin1String("%2")) ? error.arg(url, raw) : error.arg(url));
    QVERIFY(!eventNames(run).contains(QStringLiteral("started")));
}

// A port name that cannot be meant is a usage error before anything is opened.
void TestNetFlash::badPortNames_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("error");
    QTest::newRow("unknown scheme")
        << QStringList{"--port", "tcp://lab:4000"}
        << "port \"tcp://lab:4000\" is not valid: unknown scheme; give a device path, "
           "rfc2217://HOST:PORT or socket://HOST:PORT (an IPv6 address in brackets, e.g. "
           "rfc2217://[::1]:4000). Try --help.";
    QTest::newRow("no port number")
        << QStringList{"--port", "rfc2217://lab"}
        << "port \"rfc2217://lab\" is not valid: no :PORT after the host; give a device path, "
           "rfc2217://HOST:PORT or socket://HOST:PORT (an IPv6 address in brackets, e.g. "
           "rfc2217://[::1]:4000). Try --help.";
    QTest::newRow("IPv6 without brackets")
        << QStringList{"--port", "socket://::1:4000"}
        << "port \"socket://::1:4000\" is not valid: not a host name or address; give a device "
           "path, rfc2217://HOST:PORT or socket://HOST:PORT (an IPv6 address in brackets, e.g. "
           "rfc2217://[::1]:4000). Try --help.";
    QTest::newRow("one server named twice")
        << QStringList{"--port", "rfc2217://Lab:4000", "--port", "socket://lab:4000"}
        << "port lab:4000 is given twice (as rfc2217://Lab:4000 and socket://lab:4000). Try "
           "--help.";
    QTest::newRow("watch stays local") << QStringList{"--watch", "rfc2217://lab:4000"}
                                       << "--watch needs an absolute path pattern, not "
                                          "\"rfc2217://lab:4000\". Try --help.";
    QTest::newRow("reset line") << QStringList{"--port", "/dev/null", "--reset", "cts"}
                                << "--reset must be dtr or rts, not \"cts\". Try --help.";
    QTest::newRow("reset and a sequence")
        << QStringList{"--port", "/dev/null", "--reset", "dtr", "--reset-sequence", "rts=1"}
        << "--reset and --reset-sequence exclude each other. Try --help.";
    QTest::newRow("reset sequence")
        << QStringList{"--port", "/dev/null", "--reset-sequence", "dtr=1,wait"}
        << "--reset-sequence is not valid: \"wait\" is not a step; steps separated by commas: "
           "dtr=1, dtr=0, rts=1, rts=0, wait=MS, e.g. dtr=1,wait=100,dtr=0. Try --help.";
    QTest::newRow("after reset without a line")
        << QStringList{"--port", "/dev/null", "--after", "reset"}
        << "--after reset pulses the line of --reset: name it with --reset dtr|rts (or give "
           "--after-sequence). Try --help.";
    QTest::newRow("reset time") << QStringList{"--port", "/dev/null",  "--reset",
                                               "rts",    "--reset-ms", "0"}
                                << "--reset-ms needs milliseconds from 1 to 10000, not \"0\". Try "
                                   "--help.";
}

void TestNetFlash::badPortNames()
{
    QFETCH(QStringList, args);
    QFETCH(QString, error);
    const Run run = flash(QStringList{"--json"} + args << m_imagePath, 20000);
    QCOMPARE(run.exitCode, 1);
    QCOMPARE(run.json.size(), 1);
    QCOMPARE(run.json.last().value("reason").toString(), QStringLiteral("usage"));
    QCOMPARE(run.json.last().value("error").toString(), error);
}

QTEST_GUILESS_MAIN(TestNetFlash)
#include "tst_netflash.moc"
