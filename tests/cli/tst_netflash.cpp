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

// The whole upgrade through ser2net, RFC 2217 and raw TCP at once beside a local line: each
// device holds the image byte for byte, and exactly the bytes of a clean run went each way
// (nothing un-escaped twice, nothing lost).
void TestNetFlash::throughSer2Net_data()
{
    QTest::addColumn<QStringList>("extra");
    QTest::newRow("fast") << QStringList{"--fast"};
    QTest::newRow("window timing") << QStringList();
}

void TestNetFlash::throughSer2Net()
{
    QFETCH(QStringList, extra);
    QStringList outs;
    for (const char *name : {"rfc2217.out", "raw.out", "local.out"}) {
        outs << m_dir.filePath(QLatin1String(name));
        QFile::remove(outs.last());
    }
    SimProcess a({"--out", outs[0], "--once"});
    SimProcess b({"--out", outs[1], "--once"});
    SimProcess c({"--out", outs[2], "--once"});
    Ser2NetProcess server({{"telnet(rfc2217)", a.path()}, {"tcp", b.path()}});
    QVERIFY2(server.isListening(), server.log().constData());
    const QStringList ports{server.url(QStringLiteral("rfc2217"), 0),
                            server.url(QStringLiteral("socket"), 1), c.path()};
    const Run run = flash(
        QStringList{"--json", "--port", ports[0], "--port", ports[1], "--port", ports[2]} + extra
        << m_imagePath);
    QCOMPARE(run.exitCode, 0);
    QVERIFY(events(run, QStringLiteral("warning")).isEmpty());
    QStringList finished;
    for (const QJsonObject &f : events(run, QStringLiteral("finished"))) {
        finished << f.value("port").toString();
        QCOMPARE(readFile(outs.value(int(ports.indexOf(finished.last())))), m_image);
        // The capability question (8 bytes, answered with 20), 12 bytes a request, five full
        // packages (1032), the sixth 880 + 8; 9 bytes an answer.
        QCOMPARE(f.value("sent").toInt(), 8 + 12 * f.value("requests").toInt() + 5 * 1032 + 888);
        QCOMPARE(f.value("received").toInt(), 20 + 8 + 6 * 9);
    }
    QStringList expected = ports;
    expected.sort();
    finished.sort();
    QCOMPARE(finished, expected);
}

// A server that cannot be reached or used: exit 3 before anything started, its reason in
// words, quickly. One that closes the connection after the line was open (the device goes
// away behind it mid-transfer, or a raw TCP server, open once connected, cannot open its
// device): the upgrade is reported incomplete with the bytes written and the server's words.
void TestNetFlash::cannotReach_data()
{
    QTest::addColumn<QString>("setup"); // the accepter, the scheme, the device behind it
    QTest::addColumn<QStringList>("extra");
    QTest::addColumn<QString>("error"); // %1: the port, %raw: it as a raw TCP port; %bytes
    const QString lost = QStringLiteral(
        "Serial port %1 was lost: the upgrade is incomplete (%bytes of 6000 bytes written) and "
        "must be run again. The port has been closed. (the server closed the connection");
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
        << "telnet rfc2217 silent" << QStringList()
        << "Cannot use %1: the server does not offer RFC 2217 (the COM-PORT option); if it is a "
           "raw TCP port, use %raw.";
    QTest::newRow("device missing behind the server")
        << "telnet(rfc2217) rfc2217 none" << QStringList()
        << "Cannot use %1: the server closed the connection (Device open failure: Value or file "
           "not found).";
    QTest::newRow("RFC 2217, device gone mid-transfer")
        << "telnet(rfc2217) rfc2217 hangup" << QStringList() << lost + ")";
    QTest::newRow("raw TCP, device gone mid-transfer")
        << "tcp socket hangup" << QStringList() << lost + ")";
    QTest::newRow("raw TCP, device missing behind the server")
        << "tcp socket none" << QStringList()
        << lost + ": Device open failure: Value or file not found)";
}

void TestNetFlash::cannotReach()
{
    QFETCH(QString, setup);
    QFETCH(QStringList, extra);
    QFETCH(QString, error);
    const QStringList parts = setup.split(QLatin1Char(' '));
    std::unique_ptr<SimProcess> sim;
    std::unique_ptr<Ser2NetProcess> server;
    QString url = QStringLiteral("rfc2217://no-such-host.invalid:2217");
    if (setup == QLatin1String("nothing")) {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        url = QStringLiteral("rfc2217://127.0.0.1:%1").arg(probe.serverPort());
    } else if (parts.size() == 3) {
        sim = std::make_unique<SimProcess>(parts[2] == QLatin1String("silent")
                                               ? QStringList{"--silent"}
                                               : QStringList{"--hangup-after", "3"});
        server = std::make_unique<Ser2NetProcess>(QVector<Ser2NetProcess::Entry>{
            {parts[0], parts[2] == QLatin1String("none")
                           ? m_dir.filePath(QStringLiteral("no-such-tty"))
                           : sim->path()}});
        QVERIFY2(server->isListening(), server->log().constData());
        url = server->url(parts[1], 0);
    }
    const Run run = flash(QStringList{"--json", "--port", url} + extra << m_imagePath, 20000);
    QCOMPARE(run.exitCode, 3);
    const QJsonObject last = run.json.last();
    QCOMPARE(last.value("event").toString(), QStringLiteral("failed"));
    const bool wasOpen = error.contains(QLatin1String("%bytes"));
    QCOMPARE(last.value("reason").toString(), wasOpen ? "port-lost" : "open-failed");
    QCOMPARE(eventNames(run).contains(QStringLiteral("started")), wasOpen);
    const int bytes = last.value("bytes").toInt();
    QVERIFY2(setup.endsWith(QLatin1String("hangup")) ? bytes == 2048 || bytes == 3072 : bytes == 0,
             qPrintable(QString::number(bytes)));
    QString raw = url;
    raw.replace(QStringLiteral("rfc2217://"), QStringLiteral("socket://"));
    error.replace(QLatin1String("%raw"), raw)
        .replace(QLatin1String("%bytes"), QString::number(bytes));
    QCOMPARE(last.value("error").toString(), error.replace(QLatin1String("%1"), url));
}

// A port name or a reset option that cannot be meant is a usage error before anything is
// opened, in the language of the run.
void TestNetFlash::badPortNames_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("error");
    const QString forms = QStringLiteral(
        "; give a device path, rfc2217://HOST:PORT or socket://HOST:PORT (an IPv6 address in "
        "brackets, e.g. rfc2217://[::1]:4000). Try --help.");
    const QString steps = QStringLiteral("; steps separated by commas: dtr=1, dtr=0, rts=1, rts=0, "
                                         "wait=MS, e.g. dtr=1,wait=100,dtr=0. Try --help.");
    QTest::newRow("no name") << QStringList{"--port", ""} << "--port needs a name. Try --help.";
    QTest::newRow("unknown scheme")
        << QStringList{"--port", "tcp://lab:4000"}
        << "port \"tcp://lab:4000\" is not valid: unknown scheme" + forms;
    QTest::newRow("no port number")
        << QStringList{"--port", "rfc2217://lab"}
        << "port \"rfc2217://lab\" is not valid: no :PORT after the host" + forms;
    QTest::newRow("IPv6 without brackets")
        << QStringList{"--port", "socket://::1:4000"}
        << "port \"socket://::1:4000\" is not valid: not a host name or address" + forms;
    QTest::newRow("port number too high, chinese")
        << QStringList{"--lang", "zh", "--port", "socket://h:99999"}
        << QString::fromUtf8("端口 \"socket://h:99999\" 无效：端口必须是 1 到 65535 的数字；"
                             "请写成设备路径、rfc2217://主机:端口 或 socket://主机:端口"
                             "（IPv6 地址加方括号，如 rfc2217://[::1]:4000）。 参见 --help。");
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
        << "--reset-sequence is not valid: \"wait\" is not a step" + steps;
    QTest::newRow("reset sequence, a wait in seconds")
        << QStringList{"--port", "/dev/null", "--after-sequence", "dtr=1,wait=1s"}
        << "--after-sequence is not valid: \"wait=1s\": a wait is a whole number of "
           "milliseconds from 0 to 10000" +
               steps;
    QTest::newRow("reset sequence, chinese")
        << QStringList{"--lang", "zh", "--port", "/dev/null", "--reset-sequence", "dtr=1,cts=1"}
        << QString::fromUtf8("--reset-sequence 无效：无法识别步骤 \"cts=1\"；步骤用逗号分隔："
                             "dtr=1、dtr=0、rts=1、rts=0、wait=毫秒，例如 dtr=1,wait=100,"
                             "dtr=0。 参见 --help。");
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
