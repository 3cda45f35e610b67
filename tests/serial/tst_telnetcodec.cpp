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
    void escape_data();
    void escape();
    void commands_data();
    void commands();
    void greeting();
    void opening_data();
    void opening();
    void stream_data();
    void stream();
    void negotiation_data();
    void negotiation();
};

void TestTelnetCodec::escape_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<bool>("binary");
    QTest::addColumn<QByteArray>("wire");
    QTest::newRow("plain") << hex("f1010203") << true << hex("f1010203");
    QTest::newRow("one 0xFF") << hex("00ff00") << true << hex("00ffff00");
    QTest::newRow("erased flash") << hex("ffffff") << true << hex("ffffffffffff");
    QTest::newRow("CR in binary mode") << hex("0d0a0d") << true << hex("0d0a0d");
    QTest::newRow("CR in NVT mode") << hex("0d0a0d") << false << hex("0d000a0d00");
    QTest::newRow("CR and 0xFF in NVT mode") << hex("ff0d") << false << hex("ffff0d00");
    QTest::newRow("nothing") << QByteArray() << true << QByteArray();
}

void TestTelnetCodec::escape()
{
    QFETCH(QByteArray, data);
    QFETCH(bool, binary);
    QFETCH(QByteArray, wire);
    QCOMPARE(telnet::escape(data, binary).toHex(' '), wire.toHex(' '));
}

void TestTelnetCodec::commands_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QByteArray>("wire");
    // SET-BAUDRATE 115200, SET-DATASIZE 8, SET-PARITY NONE, SET-STOPSIZE 1, SET-CONTROL no
    // flow control.
    QTest::newRow("line settings, 115200")
        << telnet::lineSettings(115200)
        << hex("fffa2c010001c200fff0 fffa2c0208fff0 fffa2c0301fff0 fffa2c0401fff0 "
               "fffa2c0501fff0");
    // A baud rate with a 0xFF byte: doubled inside the sub-negotiation.
    QTest::newRow("baud 0x0001C2FF")
        << telnet::lineSettings(0x0001C2FF).left(11) << hex("fffa2c010001c2ffff fff0");
    QTest::newRow("DTR on") << telnet::comPortCommand(5, QByteArray(1, 8)) << hex("fffa2c0508fff0");
    QTest::newRow("DTR off") << telnet::comPortCommand(5, QByteArray(1, 9))
                             << hex("fffa2c0509fff0");
    QTest::newRow("RTS on") << telnet::comPortCommand(5, QByteArray(1, 11))
                            << hex("fffa2c050bfff0");
    QTest::newRow("RTS off") << telnet::comPortCommand(5, QByteArray(1, 12))
                             << hex("fffa2c050cfff0");
}

void TestTelnetCodec::commands()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QByteArray, wire);
    QCOMPARE(bytes.toHex(' '), wire.toHex(' '));
}

void TestTelnetCodec::greeting()
{
    // WILL BINARY, DO BINARY, WILL SGA, DO SGA, and for RFC 2217 WILL COM-PORT.
    TelnetClient rfc2217(true);
    QCOMPARE(rfc2217.greeting().toHex(' '), hex("fffb00 fffd00 fffb03 fffd03 fffb2c").toHex(' '));
    QCOMPARE(rfc2217.comPort(), TelnetClient::Answer::Pending);
    TelnetClient plain(false);
    QCOMPARE(plain.greeting().toHex(' '), hex("fffb00 fffd00 fffb03 fffd03").toHex(' '));
}

// The server's opening crosses our greeting: its answers to what we asked need no answer; its
// offer to echo is refused.
void TestTelnetCodec::opening_data()
{
    QTest::addColumn<QByteArray>("opening");
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<bool>("binary");
    QTest::newRow("ser2net") << hex(Ser2NetOpening) << hex("fffe01") << true;
    QTest::newRow("NVT server") << hex(NvtOpening) << QByteArray() << false;
}

void TestTelnetCodec::opening()
{
    QFETCH(QByteArray, opening);
    QFETCH(QByteArray, answer);
    QFETCH(bool, binary);
    TelnetClient client(true);
    client.greeting();
    TelnetClient::Input in;
    client.receive(opening, &in);
    QCOMPARE(in.answer.toHex(' '), answer.toHex(' '));
    QCOMPARE(in.data, QByteArray());
    QCOMPARE(client.comPort(), TelnetClient::Answer::Accepted);
    QCOMPARE(client.sendsBinary(), binary);
    QCOMPARE(client.receivesBinary(), binary);
    // What we send follows the mode: a CR goes as CR NUL to an NVT server.
    QCOMPARE(client.encode(hex("0dff")).toHex(' '),
             (binary ? hex("0dffff") : hex("0d00ffff")).toHex(' '));
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

// From our greeting on: the server's answers and requests, and what we say back.
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
}

QTEST_GUILESS_MAIN(TestTelnetCodec)
#include "tst_telnetcodec.moc"
