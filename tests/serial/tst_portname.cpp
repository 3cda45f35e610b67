// What --port and --reset-sequence take: network port names (host names, IPv4, IPv6 in
// brackets) and reset sequences, and which error each bad one is. (The texts, in both
// languages, and the names and sequences they are shown with, are tst_netflash's.)
#include "portname.h"
#include "resetsequence.h"

#include <QtTest>

Q_DECLARE_METATYPE(links::PortNameError)
Q_DECLARE_METATYPE(links::ResetSequenceError)

namespace {

// A parsed sequence written back: "dtr=1,wait=100,dtr=0".
QString resetSequenceText(const links::ResetSequence &sequence)
{
    QStringList steps;
    for (const links::ResetStep &s : sequence) {
        if (s.kind == links::ResetStep::Kind::Wait)
            steps << QStringLiteral("wait=%1").arg(s.wait.count());
        else
            steps << QStringLiteral("%1=%2")
                         .arg(links::modemLineName(s.line).toLower())
                         .arg(s.on ? 1 : 0);
    }
    return steps.join(QLatin1Char(','));
}

} // namespace

class TestPortName : public QObject
{
    Q_OBJECT
private slots:
    void parse_data();
    void parse();
    void sameLine_data();
    void sameLine();
    void sequence_data();
    void sequence();
};

void TestPortName::parse_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<links::PortNameError>("error");
    QTest::addColumn<int>("kind"); // PortName::Kind
    QTest::addColumn<QString>("host");
    QTest::addColumn<int>("port");

    const int local = int(links::PortName::Kind::Local);
    const int rfc = int(links::PortName::Kind::Rfc2217);
    const int raw = int(links::PortName::Kind::Socket);
    const links::PortNameError ok = links::PortNameError::None;
    QTest::newRow("device path") << "/dev/ttyUSB0" << ok << local << "" << 0;
    QTest::newRow("bare device name") << "ttyUSB0" << ok << local << "" << 0;
    QTest::newRow("rfc2217, name")
        << "rfc2217://lab-pi.local:4000" << ok << rfc << "lab-pi.local" << 4000;
    QTest::newRow("rfc2217, IPv4")
        << "rfc2217://192.168.1.20:2217" << ok << rfc << "192.168.1.20" << 2217;
    QTest::newRow("rfc2217, IPv6") << "rfc2217://[::1]:4000" << ok << rfc << "::1" << 4000;
    QTest::newRow("socket, IPv6") << "socket://[fe80::1%eth0]:23" << ok << raw << "fe80::1%eth0"
                                  << 23;
    QTest::newRow("socket, name") << "socket://esp-link:23" << ok << raw << "esp-link" << 23;
    QTest::newRow("scheme in capitals") << "RFC2217://host:1" << ok << rfc << "host" << 1;
    QTest::newRow("highest port") << "socket://h:65535" << ok << raw << "h" << 65535;

    const auto bad = [&](const char *name, const char *text, links::PortNameError error) {
        QTest::newRow(name) << text << error << -1 << "" << 0;
    };
    bad("telnet scheme", "telnet://host:23", links::PortNameError::UnknownScheme);
    bad("no host", "rfc2217://:4000", links::PortNameError::NoHost);
    bad("nothing after the scheme", "socket://", links::PortNameError::NoHost);
    bad("empty brackets", "rfc2217://[]:4000", links::PortNameError::NoHost);
    bad("colon, no port", "rfc2217://host:", links::PortNameError::NoPort);
    bad("IPv6, no port", "rfc2217://[::1]", links::PortNameError::NoPort);
    bad("IPv6 address without brackets", "socket://fe80::1:4000", links::PortNameError::BadHost);
    bad("unclosed bracket", "rfc2217://[::1:4000", links::PortNameError::BadHost);
    bad("IPv4 in brackets", "rfc2217://[10.0.0.1]:4000", links::PortNameError::BadHost);
    bad("user in the host", "rfc2217://me@host:4000", links::PortNameError::BadHost);
    bad("port 0", "rfc2217://host:0", links::PortNameError::BadPort);
    bad("port a name", "rfc2217://host:telnet", links::PortNameError::BadPort);
    bad("negative port", "rfc2217://host:-1", links::PortNameError::BadPort);
    bad("a path after the port", "rfc2217://host:4000/ttyUSB0", links::PortNameError::ExtraText);
    bad("options after the port", "rfc2217://host:4000?logging=debug",
        links::PortNameError::ExtraText);
    bad("text after an IPv6 address", "socket://[::1]x:4000", links::PortNameError::ExtraText);
    bad("a path and no port", "socket://host/x", links::PortNameError::NoPort);
}

void TestPortName::parse()
{
    QFETCH(QString, text);
    QFETCH(links::PortNameError, error);
    QFETCH(int, kind);
    QFETCH(QString, host);
    QFETCH(int, port);
    links::PortName name;
    QCOMPARE(links::parsePortName(text, &name), error);
    QCOMPARE(name.text, text);
    if (error != links::PortNameError::None)
        return;
    QCOMPARE(int(name.kind), kind);
    QCOMPARE(name.host, host);
    QCOMPARE(int(name.port), port);
    QCOMPARE(name.isNetwork(), kind != int(links::PortName::Kind::Local));
}

// Two names of one server are one line, whichever protocol each speaks; another port or host
// is another line.
void TestPortName::sameLine_data()
{
    QTest::addColumn<QString>("a");
    QTest::addColumn<QString>("b");
    QTest::addColumn<bool>("same");
    const auto row = [](const char *name, const char *a, const char *b, bool same) {
        QTest::newRow(name) << a << b << same;
    };
    row("same URL", "rfc2217://h:1", "rfc2217://h:1", true);
    row("host in capitals", "rfc2217://Lab:1", "rfc2217://lab:1", true);
    row("rfc2217 and socket to one server", "rfc2217://h:1", "socket://h:1", true);
    row("IPv6 spelt two ways", "rfc2217://[::1]:7", "socket://[0:0::1]:7", true);
    row("other port", "rfc2217://h:1", "rfc2217://h:2", false);
    row("other host", "rfc2217://h:1", "rfc2217://g:1", false);
    row("path and URL", "/dev/ttyUSB0", "socket://dev:1", false);
    row("one device, two spellings", "/dev/null", "/dev//null", true);
}

void TestPortName::sameLine()
{
    QFETCH(QString, a);
    QFETCH(QString, b);
    QFETCH(bool, same);
    links::PortName x, y;
    QCOMPARE(links::parsePortName(a, &x), links::PortNameError::None);
    QCOMPARE(links::parsePortName(b, &y), links::PortNameError::None);
    QCOMPARE(x.line() == y.line(), same);
}

void TestPortName::sequence_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<links::ResetSequenceError>("error");
    QTest::addColumn<QString>("normal"); // the sequence written back, or the step at fault

    const links::ResetSequenceError ok = links::ResetSequenceError::None;
    QTest::newRow("two lines") << "dtr=1,rts=1,wait=100,dtr=0,wait=50,rts=0" << ok
                               << "dtr=1,rts=1,wait=100,dtr=0,wait=50,rts=0";
    QTest::newRow("blanks and capitals")
        << " DTR=1 , Wait = 20 ,dtr=0 " << ok << "dtr=1,wait=20,dtr=0";
    QTest::newRow("one line, no wait") << "rts=0" << ok << "rts=0";
    QTest::newRow("longest wait") << "dtr=1,wait=10000" << ok << "dtr=1,wait=10000";
    QTest::newRow("empty") << "" << links::ResetSequenceError::Empty << "";
    QTest::newRow("blank") << "  " << links::ResetSequenceError::Empty << "";
    QTest::newRow("level 2") << "dtr=2" << links::ResetSequenceError::BadStep << "dtr=2";
    QTest::newRow("level on") << "dtr=on" << links::ResetSequenceError::BadStep << "dtr=on";
    QTest::newRow("no level") << "dtr" << links::ResetSequenceError::BadStep << "dtr";
    QTest::newRow("empty step") << "dtr=1,,dtr=0" << links::ResetSequenceError::BadStep << "";
    QTest::newRow("wait too long")
        << "dtr=1,wait=10001" << links::ResetSequenceError::BadWait << "wait=10001";
    QTest::newRow("negative wait")
        << "dtr=1,wait=-5" << links::ResetSequenceError::BadWait << "wait=-5";
    QTest::newRow("only waits") << "wait=10,wait=20" << links::ResetSequenceError::NoLine << "";
    QString many = QStringLiteral("dtr=1");
    for (int i = 1; i < 33; ++i)
        many += QStringLiteral(",wait=1");
    QTest::newRow("33 steps") << many << links::ResetSequenceError::TooLong << "";
}

void TestPortName::sequence()
{
    QFETCH(QString, text);
    QFETCH(links::ResetSequenceError, error);
    QFETCH(QString, normal);
    links::ResetSequence steps;
    QString bad;
    QCOMPARE(links::parseResetSequence(text, &steps, &bad), error);
    if (error == links::ResetSequenceError::None) {
        QCOMPARE(resetSequenceText(steps), normal);
        QCOMPARE(bad, QString());
    } else {
        QVERIFY(steps.isEmpty());
        QCOMPARE(bad, normal);
    }
}

QTEST_GUILESS_MAIN(TestPortName)
#include "tst_portname.moc"
