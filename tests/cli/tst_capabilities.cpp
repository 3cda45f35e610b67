// iap-flash asks the device what fits it before its first request (F1 03; the answer
// F1 83 flags(2) base(4) capacity(4) version(4)), against iap-device-sim: an image outside the
// device's area or larger than it ends with exit 2 before any request, naming both ranges; a
// request the device refuses (F1 C1 reason capacity(4)) ends with exit 9 at once.
#include "flashrun.h"
#include "simprocess.h"
#include "testfiles.h"

#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

using namespace flashrun;

class TestCapabilities : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void checkBeforeRequest_data();
    void checkBeforeRequest();

private:
    QTemporaryDir m_dir;
    QString m_raw; // 5000 bytes
    QString m_hex; // the same at 0x08000000, Intel HEX
};

void TestCapabilities::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_raw = writeFile(m_dir, QStringLiteral("image.bin"), randomImage(5000, 24));
    QVERIFY(!m_raw.isEmpty());
    m_hex = m_dir.filePath(QStringLiteral("image.hex"));
    QProcess objcopy;
    objcopy.start(QStandardPaths::findExecutable(QStringLiteral("objcopy")),
                  {"-I", "binary", "-O", "ihex", "--change-addresses", "0x08000000", m_raw, m_hex});
    QVERIFY(objcopy.waitForFinished(30000));
    QCOMPARE(objcopy.exitCode(), 0);
}

void TestCapabilities::checkBeforeRequest_data()
{
    QTest::addColumn<QStringList>("simArgs");
    QTest::addColumn<QStringList>("flashArgs");
    QTest::addColumn<bool>("hex");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("reason");
    QTest::addColumn<QStringList>("named"); // in the error line

    QTest::newRow("HEX outside the area")
        << QStringList{"--base", "0x00010000", "--capacity", "8192"} << QStringList() << true << 2
        << "does-not-fit"
        << QStringList{"0x08000000-0x08001387 (5000 bytes)", "0x00010000-0x00011FFF (8192 bytes)"};
    QTest::newRow("HEX just past the area's end")
        << QStringList{"--base", "0x07FFF000", "--capacity", "9000"} << QStringList() << true << 2
        << "does-not-fit" << QStringList{"0x07FFF000-0x08001327 (9000 bytes)"};
    QTest::newRow("raw image larger than the area")
        << QStringList{"--capacity", "4999"} << QStringList() << false << 2 << "does-not-fit"
        << QStringList{"larger", "the image is 5000 bytes, the area 4999 bytes"};
    QTest::newRow("HEX inside the area")
        << QStringList{"--base", "0x08000000", "--capacity", "5000"} << QStringList() << true << 0
        << QString() << QStringList();
    QTest::newRow("--base: judged by size only")
        << QStringList{"--base", "0x00010000", "--capacity", "8192"}
        << QStringList{"--base", "0x08000000"} << true << 0 << QString() << QStringList();
    QTest::newRow("a device that names no area")
        << QStringList() << QStringList() << true << 0 << QString() << QStringList();
    QTest::newRow("not asked: the device refuses the request")
        << QStringList{"--capacity", "4096"} << QStringList{"--no-capability-check"} << false << 9
        << "refused" << QStringList{"refused", "5000 bytes", "takes 4096"};
}

void TestCapabilities::checkBeforeRequest()
{
    QFETCH(QStringList, simArgs);
    QFETCH(QStringList, flashArgs);
    QFETCH(bool, hex);
    QFETCH(int, exitCode);
    QFETCH(QString, reason);
    QFETCH(QStringList, named);

    SimProcess sim(simArgs << QStringLiteral("--once"));
    QVERIFY(!sim.path().isEmpty());
    const Run run =
        flash(QStringList{"--json", "--port", sim.path()} + flashArgs << (hex ? m_hex : m_raw));
    QCOMPARE(run.exitCode, exitCode);
    const QJsonObject last = run.json.last();
    if (exitCode == 0) {
        QCOMPARE(last.value("event").toString(), QStringLiteral("finished"));
        return;
    }
    QCOMPARE(last.value("reason").toString(), reason);
    const QString error = last.value("error").toString();
    for (const QString &text : named)
        QVERIFY2(error.contains(text), qPrintable(error));
    // Refused before any request, or at the first answer: nothing was accepted.
    QCOMPARE(last.value("requests").toInt() > 0, exitCode == 9);
    QVERIFY(!eventNames(run).contains(QStringLiteral("accepted")));
}

QTEST_GUILESS_MAIN(TestCapabilities)
#include "tst_capabilities.moc"
