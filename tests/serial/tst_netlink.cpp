// The links to a board at their boundaries: through ser2net (RFC 2217 and raw TCP) to the
// simulator's pseudo-terminal, against a recording RFC 2217 server, and on the pseudo-terminal
// itself. Every byte sent comes back as it was, 0xFF included; every failure is reported
// once, from the event loop, with its reason.
#include "locallink.h"
#include "netlink.h"
#include "portname.h"
#include "resetsequence.h"

#include "rfc2217server.h"
#include "ser2netprocess.h"
#include "simprocess.h"

#include <QSignalSpy>
#include <QtTest>
#include <memory>

Q_DECLARE_METATYPE(SerialError)
Q_DECLARE_METATYPE(ModemLine)

using namespace std::chrono_literals;

namespace {

std::unique_ptr<PortLink> linkFor(const QString &url)
{
    PortName name;
    if (parsePortName(url, &name) != PortNameError::None)
        return nullptr;
    return makePortLink(name);
}

// Bytes a telnet link must not mistake for commands: doubled and lone 0xFF, IAC SB, IAC SE,
// IAC WILL, CR NUL, CR LF, the erased flash of an image.
QByteArray awkwardBytes()
{
    QByteArray bytes = QByteArray::fromHex("ff fffa fff0 fffb01 0d00 0d0a 00ff0d ff");
    bytes += QByteArray(600, '\xff');
    for (int i = 0; i < 1024; ++i)
        bytes += char(i * 7);
    return bytes;
}

// Everything the link receives until `size` bytes came, or the time is up.
QByteArray receive(PortLink *link, int size, int ms = 10000)
{
    QByteArray bytes;
    QSignalSpy spy(link, &PortLink::received);
    QElapsedTimer clock;
    clock.start();
    while (bytes.size() < size && clock.elapsed() < ms) {
        if (spy.isEmpty() && !spy.wait(ms - int(clock.elapsed())))
            break;
        spy.clear();
        bytes += link->takeReceived();
    }
    return bytes;
}

bool openLink(PortLink *link)
{
    QSignalSpy opened(link, &PortLink::opened);
    QSignalSpy failed(link, &PortLink::openFailed);
    link->open(115200);
    // Never from within open().
    if (!opened.isEmpty() || !failed.isEmpty())
        return false;
    return opened.wait(10000) && failed.isEmpty();
}

} // namespace

class TestNetLink : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void bytesBothWays_data();
    void bytesBothWays();
    void openFailures_data();
    void openFailures();
    void serverClosesTheConnection_data();
    void serverClosesTheConnection();
    void rawServerWithoutItsDevice();
    void modemLines_data();
    void modemLines();
    void resetSequenceStopsAtAMissingLine();
    void localPortLost();
};

void TestNetLink::initTestCase()
{
    qRegisterMetaType<SerialError>();
    qRegisterMetaType<ModemLine>();
    QVERIFY2(Ser2NetProcess::available(), "ser2net and setpriv are needed (scripts/deps.sh)");
}

// The simulator echoes every byte: what went out through ser2net comes back byte for byte.
void TestNetLink::bytesBothWays_data()
{
    QTest::addColumn<QString>("accepter");
    QTest::addColumn<QString>("scheme");
    QTest::newRow("RFC 2217") << "telnet(rfc2217)"
                              << "rfc2217";
    QTest::newRow("raw TCP") << "tcp"
                             << "socket";
}

void TestNetLink::bytesBothWays()
{
    QFETCH(QString, accepter);
    QFETCH(QString, scheme);
    SimProcess sim({"--echo", "--silent"});
    QVERIFY(!sim.path().isEmpty());
    Ser2NetProcess server({{accepter, sim.path()}});
    QVERIFY2(server.isListening(), server.log().constData());

    const auto link = linkFor(server.url(scheme, 0));
    QVERIFY(link);
    QVERIFY(openLink(link.get()));
    QVERIFY(link->isOpen());
    QSignalSpy lost(link.get(), &PortLink::lost);
    const QByteArray bytes = awkwardBytes();
    link->send(bytes.left(100));
    link->send(bytes.mid(100));
    const QByteArray back = receive(link.get(), bytes.size());
    QCOMPARE(back.toHex(), bytes.toHex());
    QCOMPARE(lost.size(), 0);
    link->close();
    QVERIFY(!link->isOpen());
}

void TestNetLink::openFailures_data()
{
    QTest::addColumn<QString>("setup"); // what is at the other end
    QTest::addColumn<QString>("scheme");
    QTest::addColumn<SerialError>("error");
    QTest::addColumn<QString>("reason"); // a part of it

    // (What iap-flash shows of the other failures, with their texts, is in tst_netflash.)
    QTest::newRow("nobody listening, raw")
        << "nothing"
        << "socket" << SerialError::ConnectionRefused << "refused";
    QTest::newRow("raw TCP port named as RFC 2217")
        << "ser2net tcp"
        << "rfc2217" << SerialError::Rfc2217Timeout << "0.3";
    QTest::newRow("server that never speaks") << "silent"
                                              << "rfc2217" << SerialError::Rfc2217Timeout << "0.3";
    QTest::newRow("baud rate not taken") << "9600 only"
                                         << "rfc2217" << SerialError::BaudRateRefused << "9600";
}

void TestNetLink::openFailures()
{
    QFETCH(QString, setup);
    QFETCH(QString, scheme);
    QFETCH(SerialError, error);
    QFETCH(QString, reason);

    std::unique_ptr<SimProcess> sim;
    std::unique_ptr<Ser2NetProcess> ser2net;
    std::unique_ptr<Rfc2217Server> own;
    QString url;
    if (setup == QLatin1String("nothing")) {
        QTcpServer probe; // a port that was free a moment ago, and is closed again
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        url = QStringLiteral("%1://127.0.0.1:%2").arg(scheme).arg(probe.serverPort());
        probe.close();
    } else if (setup == QLatin1String("ser2net tcp")) {
        // Our telnet greeting reaches the device as data; nothing comes back.
        sim = std::make_unique<SimProcess>(QStringList{"--silent"});
        QVERIFY(!sim->path().isEmpty());
        ser2net = std::make_unique<Ser2NetProcess>(
            QVector<Ser2NetProcess::Entry>{{QStringLiteral("tcp"), sim->path()}});
        QVERIFY2(ser2net->isListening(), ser2net->log().constData());
        url = ser2net->url(scheme, 0);
    } else {
        Rfc2217Server::Settings settings;
        settings.silent = setup == QLatin1String("silent");
        settings.baudAnswer = setup == QLatin1String("9600 only") ? 9600 : 0;
        own = std::make_unique<Rfc2217Server>(settings);
        QVERIFY(own->isListening());
        url = own->url();
    }

    const auto link = linkFor(url);
    QVERIFY(link);
    if (auto *net = qobject_cast<NetLink *>(link.get()))
        net->setWaits(5s, 300ms, 300ms);
    QSignalSpy opened(link.get(), &PortLink::opened);
    QSignalSpy failed(link.get(), &PortLink::openFailed);
    link->open(115200);
    QCOMPARE(failed.size(), 0); // from the event loop
    QVERIFY(failed.wait(10000));
    QCOMPARE(failed.size(), 1);
    QCOMPARE(failed.first().at(0).value<SerialError>(), error);
    const QString got = failed.first().at(1).toString();
    QVERIFY2(got.contains(reason, Qt::CaseInsensitive), qPrintable(got));
    QCOMPARE(opened.size(), 0);
    QVERIFY(!link->isOpen());
    // Once only.
    QTest::qWait(50);
    QCOMPARE(failed.size(), 1);
}

// The device goes away behind the server: the server closes the connection, the link says
// the line is lost, after the bytes that came before it.
void TestNetLink::serverClosesTheConnection_data()
{
    bytesBothWays_data();
}

void TestNetLink::serverClosesTheConnection()
{
    QFETCH(QString, accepter);
    QFETCH(QString, scheme);
    SimProcess sim({"--echo", "--silent"});
    Ser2NetProcess server({{accepter, sim.path()}});
    QVERIFY2(server.isListening(), server.log().constData());
    const auto link = linkFor(server.url(scheme, 0));
    QVERIFY(openLink(link.get()));
    QSignalSpy lost(link.get(), &PortLink::lost);
    link->send("abc\xff");
    QCOMPARE(receive(link.get(), 4), QByteArray("abc\xff"));
    sim.process().kill();
    QVERIFY(lost.wait(10000));
    QCOMPARE(lost.size(), 1);
    QCOMPARE(lost.first().at(0).value<SerialError>(), SerialError::ServerClosed);
    QVERIFY(!link->isOpen());
    // Sending to a lost line does nothing.
    link->send("x");
    QTest::qWait(50);
    QCOMPARE(lost.size(), 1);
}

// A raw TCP port is open once connected; a server that cannot open its device then says so
// and closes: the line is lost, with the server's words as the reason.
void TestNetLink::rawServerWithoutItsDevice()
{
    const QTemporaryDir dir;
    Ser2NetProcess server({{"tcp", dir.filePath(QStringLiteral("no-such-tty"))}});
    QVERIFY2(server.isListening(), server.log().constData());
    const auto link = linkFor(server.url(QStringLiteral("socket"), 0));
    QSignalSpy lost(link.get(), &PortLink::lost);
    QVERIFY(openLink(link.get()));
    QVERIFY(lost.wait(10000));
    QCOMPARE(lost.first().at(0).value<SerialError>(), SerialError::ServerClosed);
    QCOMPARE(lost.first().at(1).toString(),
             QStringLiteral("Device open failure: Value or file not found"));
}

// Whether a modem line was set, as each kind of port answers it.
void TestNetLink::modemLines_data()
{
    QTest::addColumn<QString>("port");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<int>("atLeastMs"); // the wait for a confirmation that never comes
    QTest::newRow("RFC 2217, lines confirmed") << "own" << true << 0;
    QTest::newRow("RFC 2217, no modem lines") << "own, no lines" << false << 200;
    // (ser2net in front of a pseudo-terminal, raw TCP and a local pseudo-terminal: the one
    // warning iap-flash gives for them is in tst_resetlines.)
    QTest::newRow("local pseudo-terminal") << "pty" << false << 0;
}

void TestNetLink::modemLines()
{
    QFETCH(QString, port);
    QFETCH(bool, ok);
    QFETCH(int, atLeastMs);
    SimProcess sim({"--silent"});
    QVERIFY(!sim.path().isEmpty());
    std::unique_ptr<Rfc2217Server> own;
    QString url = sim.path();
    if (port.startsWith(QLatin1String("own"))) {
        Rfc2217Server::Settings settings;
        settings.ackLines = !port.endsWith(QLatin1String("no lines"));
        own = std::make_unique<Rfc2217Server>(settings);
        url = own->url();
    }
    const auto link = linkFor(url);
    if (auto *net = qobject_cast<NetLink *>(link.get()))
        net->setWaits(5s, 5s, 200ms);
    QVERIFY(openLink(link.get()));
    QSignalSpy set(link.get(), &PortLink::modemLineSet);
    QElapsedTimer clock;
    clock.start();
    link->setModemLine(ModemLine::Rts, true);
    QCOMPARE(set.size(), 0);
    QVERIFY(set.wait(5000));
    const qint64 ms = clock.elapsed();
    QCOMPARE(set.size(), 1);
    QCOMPARE(set.first().at(0).value<ModemLine>(), ModemLine::Rts);
    QCOMPARE(set.first().at(1).toBool(), true);
    QCOMPARE(set.first().at(2).toBool(), ok);
    QVERIFY2(ms >= atLeastMs, qPrintable(QString::number(ms)));
    if (own)
        QVERIFY(own->what().contains(QStringLiteral("control 11")));
    QVERIFY(link->isOpen()); // a missing line is no lost line
}

// A server that never confirms a line: the sequence ends at its first line, after the short
// wait, and says which; the steps after it are not sent.
void TestNetLink::resetSequenceStopsAtAMissingLine()
{
    Rfc2217Server::Settings settings;
    settings.ackLines = false;
    Rfc2217Server own(settings);
    const auto link = linkFor(own.url());
    qobject_cast<NetLink *>(link.get())->setWaits(5s, 5s, 150ms);
    QVERIFY(openLink(link.get()));
    ResetPlayer player(link.get());
    QSignalSpy finished(&player, &ResetPlayer::finished);
    const int before = own.records.size();
    player.play(resetPulse(ModemLine::Dtr, 100ms));
    QVERIFY(finished.wait(5000));
    QCOMPARE(finished.first().at(0).toBool(), false);
    QCOMPARE(finished.first().at(1).value<ModemLine>(), ModemLine::Dtr);
    QTest::qWait(200);
    QCOMPARE(own.records.size(), before + 1);
    QCOMPARE(own.records.constLast().what, QStringLiteral("control 8"));
    QVERIFY(!player.isPlaying());
}

// The local link: a failed open is reported from the event loop, a lost line once.
void TestNetLink::localPortLost()
{
    const QTemporaryDir dir;
    LocalLink missing(dir.filePath(QStringLiteral("ttyNone")));
    QSignalSpy failed(&missing, &PortLink::openFailed);
    missing.open(115200);
    QCOMPARE(failed.size(), 0);
    QVERIFY(failed.wait(5000));
    QCOMPARE(failed.first().at(0).value<SerialError>(), SerialError::NotFound);

    SimProcess sim({"--echo", "--silent"});
    LocalLink link(sim.path());
    QVERIFY(openLink(&link));
    link.send(QByteArray::fromHex("ff00ff"));
    QCOMPARE(receive(&link, 3), QByteArray::fromHex("ff00ff"));
    QSignalSpy lost(&link, &PortLink::lost);
    sim.process().kill();
    QVERIFY(lost.wait(5000));
    QCOMPARE(lost.size(), 1);
    QCOMPARE(lost.first().at(0).value<SerialError>(), SerialError::DeviceLost);
    QVERIFY(!link.isOpen());
}

QTEST_GUILESS_MAIN(TestNetLink)
#include "tst_netlink.moc"
