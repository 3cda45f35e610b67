// The capability answer's boost fields (F1 83 flags(2) base(4) capacity(4) version(4)
// max_baud(4) window(2) CRC(4), flag 0x0004), as the host reads them, and the rate it
// proposes from them.
#include "capabilities.h"

#include <QtTest>

#include "wireframes.h"

class TestBoostCaps : public QObject
{
    Q_OBJECT

private slots:
    void decode_data();
    void decode();
};

void TestBoostCaps::decode_data()
{
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<bool>("hasBoost");
    QTest::addColumn<quint32>("maxBaud");
    QTest::addColumn<int>("inFlight");
    QTest::addColumn<quint32>("cap");      // --boost-baud (0: none)
    QTest::addColumn<quint32>("proposed"); // from 115200
    const QByteArray area = hex("00 00 00 00 00 00 20 00 00 01 00 00");
    QTest::newRow("20 bytes: nothing offered")
        << withCrc(hex("F1 83 00 03") + area) << false << 0u << 1 << 0u << 0u;
    QTest::newRow("26 bytes, 2 Mbaud, 4 in flight")
        << withCrc(hex("F1 83 00 07") + area + hex("00 1E 84 80 00 04")) << true << 2000000u << 4
        << 0u << 2000000u;
    QTest::newRow("capped by --boost-baud")
        << withCrc(hex("F1 83 00 07") + area + hex("00 1E 84 80 00 04")) << true << 2000000u << 4
        << 921600u << 921600u;
    QTest::newRow("a cap above the device's")
        << withCrc(hex("F1 83 00 07") + area + hex("00 0E 10 00 00 02")) << true << 921600u << 2
        << 3000000u << 921600u;
    QTest::newRow("no faster than now")
        << withCrc(hex("F1 83 00 07") + area + hex("00 01 C2 00 00 02")) << true << 115200u << 2
        << 0u << 0u;
    QTest::newRow("window 0 counts as 1")
        << withCrc(hex("F1 83 00 07") + area + hex("00 00 00 00 00 00")) << true << 0u << 1 << 0u
        << 0u;
    QTest::newRow("fields without the flag")
        << withCrc(hex("F1 83 00 03") + area + hex("00 1E 84 80 00 04")) << false << 0u << 1 << 0u
        << 0u;
    QTest::newRow("the flag, the fields cut short")
        << withCrc(hex("F1 83 00 07") + area + hex("00 1E")) << false << 0u << 1 << 0u << 0u;
}

void TestBoostCaps::decode()
{
    QFETCH(QByteArray, frame);
    QFETCH(bool, hasBoost);
    QFETCH(quint32, maxBaud);
    QFETCH(int, inFlight);
    QFETCH(quint32, cap);
    QFETCH(quint32, proposed);
    iap::Capabilities c;
    QVERIFY(iap::Capabilities::decode(frame, &c));
    QCOMPARE(c.hasBoost, hasBoost);
    QCOMPARE(c.maxBaud, maxBaud);
    QCOMPARE(c.packagesInFlight(), inFlight);
    QCOMPARE(c.boostBaud(115200, cap), proposed);
    QCOMPARE(c.capacity, 8192u); // the fields before stay where they were
}

QTEST_APPLESS_MAIN(TestBoostCaps)
#include "tst_boostcaps.moc"
