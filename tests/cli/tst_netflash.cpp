// iap-flash over the network and with the modem lines, as a process: through Debian's ser2net
// (RFC 2217 and raw TCP) in front of the simulator, through a recording RFC 2217 server that
// shows the modem-line commands in order with the first request, and on pseudo-terminals,
// which have no modem lines. Images arrive intact, 0xFF included; every failure has its
// code and its words.
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include "rfc2217server.h"
#include "ser2netprocess.h"
#include "simprocess.h"
#include "testfiles.h"
#include <memory>

namespace {

struct Run
{
    int exitCode = -1;
    QByteArray out;
    QByteArray err;
    QList<QJsonObject> json;
};

// iap-flash to its end, with the event loop running (the test's own server answers from it).
Run flash(const QStringList &args, int timeoutMs = 60000)
{
    QProcess p;
    QSignalSpy finished(&p, qOverload<int, QProcess::ExitStatus>(&QProcess::finished));
    p.start(QStringLiteral(IAP_FLASH_PATH), args);
    Run run;
    if (!finished.wait(timeoutMs)) {
        p.kill();
        p.waitForFinished(5000);
        return run;
    }
    run.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    run.out = p.readAllStandardOutput();
    run.err = p.readAllStandardError();
    for (const QByteArray &line : run.out.split('\n')) {
        if (!line.isEmpty())
            run.json << QJsonDocument::fromJson(line).object();
    }
    return run;
}

QList<QJsonObject> events(const Run &run, const QString &name)
{
    QList<QJsonObject> list;
    for (const QJsonObject &o : run.json)
        if (o.value(QStringLiteral("event")).toString() == name)
            list << o;
    return list;
}

QStringList eventNames(const Run &run)
{
    QStringList names;
    for (const QJsonObject &o : run.json)
        names << o.value(QStringLiteral("event")).toString();
    return names;
}

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

// The modem-line commands as an RFC 2217 server with lines receives them: in order, each
// wait kept, all of them before the first request; after a successful upgrade the --after
// ones, after the last package. The server passes the data on to the simulator.
void TestNetFlash::modemLinesAsTheServerSeesThem_data()
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

void TestNetFlash::modemLinesAsTheServerSeesThem()
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
void TestNetFlash::portWithoutModemLines_data()
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

void TestNetFlash::portWithoutModemLines()
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
void TestNetFlash::watchModeResetsEachBoard()
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

QTEST_GUILESS_MAIN(TestNetFlash)
#include "tst_netflash.moc"
