// The telnet and RFC 2217 bytes of a network serial port, exactly: what the client sends,
// how the server's stream splits into line data and commands, and the negotiation answers.
#include "telnetcodec.h"

#include <QtTest>

using links::telnet::TelnetClient;

namespace {

QByteArray hex(const char *text)
{
    return QByteArray::fromHex(QByteArray(text));
}

// What ser2net 4.3 says first on an RFC 2217 port: WILL SGA, DO SGA, WILL ECHO, DONT ECHO,
// DO BINARY, WILL BINARY, DO COM-PORT.
const char *const Ser2NetOpening = "fffb03 fffd03 fffb01 fffe01 fffd00 fffb00 fffd2c";
// A server that keeps to NVT: it refuses binary both ways.
const char *const NvtOpening = "fffc00 fffe00 fffd2c";

} // namespace

class TestTelnetCodec : public QObject
{
    Q_OBJECT
private slots:
    void encode_data();
    void encode();
    void receive_data();
    void receive();
};

// What goes out to a server that keeps to NVT: a CR followed by NUL, 0xFF doubled; and a 0xFF
// inside a sub-negotiation doubled too. (Binary data through ser2net, the greeting, the line
// settings and the modem-line commands are shown as a server receives them, in tst_netflash
// and tst_resetlines.)
void TestTelnetCodec::encode_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QByteArray>("wire");
    using links::telnet::escape;
    QTest::newRow("CR in NVT mode") << escape(hex("0d0a0d"), false) << hex("0d000a0d00");
    QTest::newRow("CR and 0xFF in NVT mode") << escape(hex("ff0d"), false) << hex("ffff0d00");
    // SET-BAUDRATE 0x0001C2FF.
    QTest::newRow("baud rate with a 0xFF byte")
        << links::telnet::lineSettings(0x0001C2FF).left(11) << hex("fffa2c010001c2ffff fff0");
}

void TestTelnetCodec::encode()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QByteArray, wire);
    QCOMPARE(bytes.toHex(' '), wire.toHex(' '));
}

// What comes in, from our greeting on: the data of the line, whatever the server puts between
// its bytes and however the reads cut the stream (a repeated offer among the data is
// tst_resetlines'); the server's answers and requests, and what
// we say back (an answer is never answered, an offer to echo is refused); the modes agreed,
// which what we send follows.
void TestTelnetCodec::receive_data()
{
    QTest::addColumn<QByteArray>("opening"); // the server's first bytes, their answer not kept
    QTest::addColumn<QList<QByteArray>>("reads");
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<QStringList>("replies"); // "command:value" in hex
    QTest::addColumn<int>("comPort");         // TelnetClient::Answer
    QTest::addColumn<bool>("binary");         // both ways
    const int pending = int(TelnetClient::Answer::Pending);
    const int accepted = int(TelnetClient::Answer::Accepted);
    const auto row = [](const char *name, const char *opening, const QList<QByteArray> &reads,
                        const char *data, const char *answer, const QStringList &replies,
                        int comPort, bool binary) {
        QTest::newRow(name) << hex(opening) << reads << hex(data) << hex(answer) << replies
                            << comPort << binary;
    };
    const char *const bin = Ser2NetOpening;
    const char *const nvt = NvtOpening;
    row("ser2net's opening", "", {hex(bin)}, "", "fffe01", {}, accepted, true);
    row("an NVT server's opening", "", {hex(nvt)}, "", "", {}, accepted, false);
    row("doubled 0xFF across two reads", bin, {hex("f1ff"), hex("ff82")}, "f1ff82", "", {},
        accepted, true);
    row("no-op between data", bin, {hex("01fff102")}, "0102", "", {}, accepted, true);
    row("modem state with an escaped 0xFF inside", bin, {hex("01 fffa2c6bffff fff0 02")}, "0102",
        "", {"6b:ff"}, accepted, true);
    row("baud answer split everywhere", bin,
        {hex("ff"), hex("fa"), hex("2c65"), hex("0001c2"), hex("00ff"), hex("f0aa")}, "aa", "",
        {"65:0001c200"}, accepted, true);
    row("a sub-negotiation that ends with another command", bin, {hex("fffa2c6b10 fffb03 05")},
        "05", "", {"6b:10"}, accepted, true);
    row("an offer in the middle of data", bin, {hex("01 fffb18 02")}, "0102", "fffe18", {},
        accepted, true);
    row("a request in the middle of data", bin, {hex("01 fffd18 02")}, "0102", "fffc18", {},
        accepted, true);
    row("CR NUL in binary mode is data", bin, {hex("0d000d0a")}, "0d000d0a", "", {}, accepted,
        true);
    row("CR NUL in NVT mode is CR", nvt, {hex("0d00410d0a0d"), hex("0042")}, "0d410d0a0d42", "", {},
        accepted, false);
    row("CR then doubled 0xFF in NVT mode", nvt, {hex("0dffff")}, "0dff", "", {}, accepted, false);
    row("nothing yet", "", {}, "", "", {}, pending, false);
    row("COM-PORT refused", "", {hex("fffe2c")}, "", "", {}, int(TelnetClient::Answer::Refused),
        false);
    row("binary agreed, then withdrawn by the server", "", {hex("fffd00 fffb00 fffe00 fffc00")}, "",
        "fffc00 fffe00", {}, pending, false);
    row("binary offered and asked for twice", "", {hex("fffd00 fffd00 fffb00 fffb00")}, "", "", {},
        pending, true);
    row("echo offered: refused, once per offer", "", {hex("fffb01 fffb01")}, "", "fffe01 fffe01",
        {}, pending, false);
    row("an unknown option asked for: refused", "", {hex("fffd1f")}, "", "fffc1f", {}, pending,
        false);
    row("a refusal of what we never had: no answer", "", {hex("fffc18 fffe18")}, "", "", {},
        pending, false);
}

void TestTelnetCodec::receive()
{
    QFETCH(QByteArray, opening);
    QFETCH(QList<QByteArray>, reads);
    QFETCH(QByteArray, data);
    QFETCH(QByteArray, answer);
    QFETCH(QStringList, replies);
    QFETCH(int, comPort);
    QFETCH(bool, binary);
    TelnetClient client(true);
    client.greeting();
    TelnetClient::Input first;
    client.receive(opening, &first);
    TelnetClient::Input in;
    for (const QByteArray &read : reads)
        client.receive(read, &in);
    QCOMPARE(in.data.toHex(' '), data.toHex(' '));
    QCOMPARE(in.answer.toHex(' '), answer.toHex(' '));
    QStringList got;
    for (const links::telnet::ComPortReply &r : qAsConst(in.replies))
        got << QStringLiteral("%1:%2")
                   .arg(r.command, 2, 16, QLatin1Char('0'))
                   .arg(QString::fromLatin1(r.value.toHex()));
    QCOMPARE(got, replies);
    QCOMPARE(int(client.comPort()), comPort);
    QCOMPARE(client.sendsBinary(), binary);
    QCOMPARE(client.receivesBinary(), binary);
    QCOMPARE(client.encode(hex("0dff")).toHex(' '),
             (binary ? hex("0dffff") : hex("0d00ffff")).toHex(' '));
}

QTEST_GUILESS_MAIN(TestTelnetCodec)
#include "tst_telnetcodec.moc"
