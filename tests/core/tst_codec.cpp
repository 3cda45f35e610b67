#include "iapcontext.h"
#include "testfiles.h"
#include "wireframes.h"

#include <QRandomGenerator>
#include <QtTest>

class TestCodec : public QObject
{
    Q_OBJECT
private slots:
    void crcCheckValue();
    void crcAgreesWithZlib();
    void crcEmptyCounts_data();
    void crcEmptyCounts();
    void requestPackage_data();
    void requestPackage();
    void dataPackage_data();
    void dataPackage();
    void lastPackage_data();
    void lastPackage();
    void hexText_data();
    void hexText();
};

void TestCodec::crcCheckValue()
{
    const QByteArray check("123456789");
    QCOMPARE(IapContext::crcBytes(check, check.size()), hex("CB F4 39 26"));
    // Only the first count bytes count.
    QCOMPARE(IapContext::crcBytes(check + "trailing", 9), hex("CB F4 39 26"));
}

void TestCodec::crcAgreesWithZlib()
{
    QRandomGenerator rng(20261209);
    for (int len = 0; len <= 4200; len += (len < 70 ? 1 : 97)) {
        QByteArray buf(len, '\0');
        for (char &c : buf)
            c = char(rng.generate());
        for (int count : {len, len / 2, len - 1}) {
            if (count <= 0)
                continue;
            const uLong z =
                crc32(0L, reinterpret_cast<const Bytef *>(buf.constData()), uInt(count));
            QByteArray expected;
            expected.append(char(z >> 24))
                .append(char(z >> 16))
                .append(char(z >> 8))
                .append(char(z));
            QVERIFY2(IapContext::crcBytes(buf, count) == expected,
                     qPrintable(QStringLiteral("length %1 count %2").arg(len).arg(count)));
        }
    }
}

void TestCodec::crcEmptyCounts_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<int>("count");
    QTest::newRow("empty array") << QByteArray() << 0;
    QTest::newRow("count 0") << QByteArray("abc") << 0;
    QTest::newRow("count -1") << QByteArray("abc") << -1;
    QTest::newRow("count -1000") << QByteArray(100, 'x') << -1000;
}

void TestCodec::crcEmptyCounts()
{
    QFETCH(QByteArray, data);
    QFETCH(int, count);
    QCOMPARE(IapContext::crcBytes(data, count), hex("00 00 00 00"));
}

void TestCodec::requestPackage_data()
{
    QTest::addColumn<int>("imageBytes");
    QTest::addColumn<QByteArray>("body");
    QTest::newRow("0") << 0 << hex("F1 01 00 00 00 00 00 00");
    QTest::newRow("1") << 1 << hex("F1 01 00 00 00 01 00 01");
    QTest::newRow("1023") << 1023 << hex("F1 01 00 00 03 FF 00 01");
    QTest::newRow("1024") << 1024 << hex("F1 01 00 00 04 00 00 01");
    QTest::newRow("1025") << 1025 << hex("F1 01 00 00 04 01 00 02");
    QTest::newRow("5000") << 5000 << hex("F1 01 00 00 13 88 00 05");
    QTest::newRow("65553") << 65553 << hex("F1 01 00 01 00 11 00 41");
    QTest::newRow("64 MiB") << 64 * 1024 * 1024 << hex("F1 01 04 00 00 00 00 00");
}

void TestCodec::requestPackage()
{
    QFETCH(int, imageBytes);
    QFETCH(QByteArray, body);
    IapContext ctx;
    ctx.setImage(QByteArray(imageBytes, '\x5A'));
    const QByteArray p = ctx.makeRequestPackage();
    QCOMPARE(p.size(), 12);
    QCOMPARE(p, withCrc(body));
}

void TestCodec::dataPackage_data()
{
    QTest::addColumn<int>("imageBytes");
    QTest::addColumn<int>("index");
    QTest::addColumn<QByteArray>("header");
    QTest::addColumn<int>("imageBytesInPayload");
    QTest::newRow("5000, package 0") << 5000 << 0 << hex("F1 02 00 00") << 1024;
    QTest::newRow("5000, package 3") << 5000 << 3 << hex("F1 02 00 03") << 1024;
    QTest::newRow("5000, package 4 zero-filled") << 5000 << 4 << hex("F1 02 00 04") << 904;
    QTest::newRow("1 byte image") << 1 << 0 << hex("F1 02 00 00") << 1;
    QTest::newRow("1023 byte image") << 1023 << 0 << hex("F1 02 00 00") << 1023;
    QTest::newRow("empty image") << 0 << 0 << hex("F1 02 00 00") << 0;
    QTest::newRow("index past the image") << 2048 << 5 << hex("F1 02 00 05") << 0;
    QTest::newRow("index 300") << 400 * 1024 << 300 << hex("F1 02 01 2C") << 1024;
    QTest::newRow("index 65535") << 65536 * 1024 << 65535 << hex("F1 02 FF FF") << 1024;
    QTest::newRow("index 65536 wraps to 16 bits") << 2048 << 65536 << hex("F1 02 00 00") << 0;
}

void TestCodec::dataPackage()
{
    QFETCH(int, imageBytes);
    QFETCH(int, index);
    QFETCH(QByteArray, header);
    QFETCH(int, imageBytesInPayload);
    IapContext ctx;
    const QByteArray image = patternImage(imageBytes);
    ctx.setImage(image);
    const QByteArray p = ctx.makeDataPackage(index);
    QCOMPARE(p.size(), 1032);
    QByteArray body = header;
    body += image.mid(index * 1024, imageBytesInPayload);
    body += QByteArray(1024 - imageBytesInPayload, '\0');
    QCOMPARE(p, withCrc(body));
}

void TestCodec::lastPackage_data()
{
    QTest::addColumn<int>("imageBytes");
    QTest::addColumn<QByteArray>("header");
    QTest::addColumn<int>("payload");
    QTest::newRow("5000") << 5000 << hex("F1 02 00 04") << 904;
    QTest::newRow("1") << 1 << hex("F1 02 00 00") << 1;
    QTest::newRow("1025") << 1025 << hex("F1 02 00 01") << 1;
    QTest::newRow("1024: exact multiple, 8 bytes") << 1024 << hex("F1 02 00 01") << 0;
    QTest::newRow("2048: exact multiple, 8 bytes") << 2048 << hex("F1 02 00 02") << 0;
    QTest::newRow("empty image") << 0 << hex("F1 02 00 00") << 0;
    QTest::newRow("65553") << 65553 << hex("F1 02 00 40") << 17;
}

void TestCodec::lastPackage()
{
    QFETCH(int, imageBytes);
    QFETCH(QByteArray, header);
    QFETCH(int, payload);
    IapContext ctx;
    const QByteArray image = patternImage(imageBytes);
    ctx.setImage(image);
    const QByteArray p = ctx.makeLastPackage();
    QCOMPARE(p.size(), payload + 8);
    QCOMPARE(p, withCrc(header + image.right(payload)));
}

namespace {
QStringList captured;
void capture(QtMsgType type, const QMessageLogContext &, const QString &msg)
{
    if (type == QtDebugMsg)
        captured << msg;
}
} // namespace

void TestCodec::hexText_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QStringList>("debug");
    QTest::newRow("F1 81 00 0A") << hex("F1 81 00 0A") << "F1 81 00 0A"
                                 << QStringList{"4", "1", "2", "3"};
    QTest::newRow("empty") << QByteArray() << "" << QStringList{"0"};
    QTest::newRow("one byte") << hex("0A") << "0A" << QStringList{"1"};
    QTest::newRow("two bytes, lower-case digits made upper")
        << hex("ab cd") << "AB CD" << QStringList{"2", "1"};
    QTest::newRow("acknowledgement")
        << hex("F1 82 00 05 01 9C 6E 2B 1D") << "F1 82 00 05 01 9C 6E 2B 1D"
        << QStringList{"9", "1", "2", "3", "4", "5", "6", "7", "8"};
}

void TestCodec::hexText()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, text);
    QFETCH(QStringList, debug);
    captured.clear();
    const QtMessageHandler old = qInstallMessageHandler(capture);
    const QString result = IapContext::hexText(bytes);
    qInstallMessageHandler(old);
    QCOMPARE(result, text);
    QCOMPARE(captured, debug);
}

QTEST_APPLESS_MAIN(TestCodec)
#include "tst_codec.moc"
