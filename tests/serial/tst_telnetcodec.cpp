// The telnet and RFC 2217 bytes of a network serial port, exactly: what the client sends,
// how the server's stream splits into line data and commands, and the negotiation answers.
#include "telnetcodec.h"

#include <QtTest>

using telnet::TelnetClient;

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
    void stream_data();
    void stream();
    void negotiation_data();
    void negotiation();
};

// What goes out: 0xFF doubled, a CR followed by NUL unless binary was agreed, and a 0xFF inside
// a sub-negotiation doubled too. (The greeting, the line settings and the modem-line commands
// are shown as a server receives them, in tst_resetlines.)
void TestTelnetCodec::encode_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QByteArray>("wire");
    using telnet::escape;
    QTest::newRow("plain") << escape(hex("f1010203"), true) << hex("f1010203");
    QTest::newRow("one 0xFF") << escape(hex("00ff00"), true) << hex("00ffff00");
    QTest::newRow("erased flash") << escape(hex("ffffff"), true) << hex("ffffffffffff");
    QTest::newRow("CR in binary mode") << escape(hex("0d0a0d"), true) << hex("0d0a0d");
    QTest::newRow("CR in NVT mode") << escape(hex("0d0a0d"), false) << hex("0d000a0d00");
    QTest::newRow("CR and 0xFF in NVT mode") << escape(hex("ff0d"), false) << hex("ffff0d00");
    QTest::newRow("nothing") << escape(QByteArray(), true) << QByteArray();
    // SET-BAUDRATE 0x0001C2FF.
    QTest::newRow("baud rate with a 0xFF byte")
        << telnet::lineSettings(0x0001C2FF).left(11) << hex("fffa2c010001c2ffff fff0");
}

void TestTelnetCodec::encode()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QByteArray, wire);
    QCOMPARE(bytes.toHex(' '), wire.toHex(' '));
}

// The data of the line, whatever the server puts between its bytes and however the reads
// cut the stream.
void TestTelnetCodec::stream_data()
{
    QTest::addColumn<QByteArray>("opening");
    QTest::addColumn<QList<QByteArray>>("reads");
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<QStringList>("replies"); // "command:value" in hex

    const QByteArray bin = hex(Ser2NetOpening);
    const QByteArray nvt = hex(NvtOpening);
    using L = QList<QByteArray>;
    QTest::newRow("doubled 0xFF") << bin << L{hex("f1ffff82")} << hex("f1ff82") << QByteArray()
                                  << QStringList();
    QTest::newRow("doubled 0xFF across two reads")
        << bin << L{hex("f1ff"), hex("ff82")} << hex("f1ff82") << QByteArray() << QStringList();
    QTest::newRow("no-op between data")
        << bin << L{hex("01fff102")} << hex("0102") << QByteArray() << QStringList();
    QTest::newRow("modem state with an escaped 0xFF inside")
        << bin << L{hex("01 fffa2c6bffff fff0 02")} << hex("0102") << QByteArray()
        << QStringList{"6b:ff"};
    QTest::newRow("baud answer split everywhere")
        << bin << L{hex("ff"), hex("fa"), hex("2c65"), hex("0001c2"), hex("00ff"), hex("f0aa")}
        << hex("aa") << QByteArray() << QStringList{"65:0001c200"};
    QTest::newRow("a sub-negotiation that ends with another command")
        << bin << L{hex("fffa2c6b10 fffb03 05")} << hex("05") << QByteArray()
        << QStringList{"6b:10"};
    QTest::newRow("an offer in the middle of data")
        << bin << L{hex("01 fffb18 02")} << hex("0102") << hex("fffe18") << QStringList();
    QTest::newRow("a request in the middle of data")
        << bin << L{hex("01 fffd18 02")} << hex("0102") << hex("fffc18") << QStringList();
    QTest::newRow("an option repeated once agreed")
        << bin << L{hex("01 fffd00 fffb00 02")} << hex("0102") << QByteArray() << QStringList();
    QTest::newRow("CR NUL in binary mode is data")
        << bin << L{hex("0d000d0a")} << hex("0d000d0a") << QByteArray() << QStringList();
    QTest::newRow("CR NUL in NVT mode is CR")
        << nvt << L{hex("0d00410d0a0d"), hex("0042")} << hex("0d410d0a0d42") << QByteArray()
        << QStringList();
    QTest::newRow("CR then doubled 0xFF in NVT mode")
        << nvt << L{hex("0dffff")} << hex("0dff") << QByteArray() << QStringList();
}

void TestTelnetCodec::stream()
{
    QFETCH(QByteArray, opening);
    QFETCH(QList<QByteArray>, reads);
    QFETCH(QByteArray, data);
    QFETCH(QByteArray, answer);
    QFETCH(QStringList, replies);
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
    for (const telnet::ComPortReply &r : qAsConst(in.replies))
        got << QStringLiteral("%1:%2")
                   .arg(r.command, 2, 16, QLatin1Char('0'))
                   .arg(QString::fromLatin1(r.value.toHex()));
    QCOMPARE(got, replies);
}

// From our greeting on: the server's answers and requests, and what we say back. The server's
// opening crosses our greeting: its answers to what we asked need no answer; its offer to
// echo is refused. What we send follows the mode agreed.
void TestTelnetCodec::negotiation_data()
{
    QTest::addColumn<QByteArray>("server");
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<int>("comPort"); // TelnetClient::Answer
    QTest::addColumn<bool>("sendsBinary");
    QTest::addColumn<bool>("receivesBinary");

    const int pending = int(TelnetClient::Answer::Pending);
    const int accepted = int(TelnetClient::Answer::Accepted);
    const int refused = int(TelnetClient::Answer::Refused);
    QTest::newRow("ser2net's opening")
        << hex(Ser2NetOpening) << hex("fffe01") << accepted << true << true;
    QTest::newRow("an NVT server's opening")
        << hex(NvtOpening) << QByteArray() << accepted << false << false;
    QTest::newRow("nothing yet") << QByteArray() << QByteArray() << pending << false << false;
    QTest::newRow("COM-PORT refused") << hex("fffe2c") << QByteArray() << refused << false << false;
    QTest::newRow("COM-PORT agreed, binary both ways")
        << hex("fffd2c fffd00 fffb00") << QByteArray() << accepted << true << true;
    QTest::newRow("binary agreed, then withdrawn by the server")
        << hex("fffd00 fffb00 fffe00 fffc00") << hex("fffc00 fffe00") << pending << false << false;
    QTest::newRow("binary offered and asked for twice")
        << hex("fffd00 fffd00 fffb00 fffb00") << QByteArray() << pending << true << true;
    QTest::newRow("echo offered: refused, once per offer")
        << hex("fffb01 fffb01") << hex("fffe01 fffe01") << pending << false << false;
    QTest::newRow("an unknown option asked for: refused")
        << hex("fffd1f") << hex("fffc1f") << pending << false << false;
    QTest::newRow("a refusal of what we never had: no answer")
        << hex("fffc18 fffe18") << QByteArray() << pending << false << false;
}

void TestTelnetCodec::negotiation()
{
    QFETCH(QByteArray, server);
    QFETCH(QByteArray, answer);
    QFETCH(int, comPort);
    QFETCH(bool, sendsBinary);
    QFETCH(bool, receivesBinary);
    TelnetClient client(true);
    client.greeting();
    TelnetClient::Input in;
    client.receive(server, &in);
    QCOMPARE(in.answer.toHex(' '), answer.toHex(' '));
    QCOMPARE(in.data, QByteArray());
    QCOMPARE(int(client.comPort()), comPort);
    QCOMPARE(client.sendsBinary(), sendsBinary);
    QCOMPARE(client.receivesBinary(), receivesBinary);
    QCOMPARE(client.encode(hex("0dff")).toHex(' '),
             (sendsBinary ? hex("0dffff") : hex("0d00ffff")).toHex(' '));
}

QTEST_GUILESS_MAIN(TestTelnetCodec)
#include "tst_telnetcodec.moc"
