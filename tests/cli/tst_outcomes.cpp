// iap-flash's outcome must be true: a device that acknowledges in advance is never reported
// flashed, and --verify tells a device that holds the image from one that does not, or cannot
// say. The real program against the simulator on pseudo-terminals, with the board log.
#include "flashrun.h"
#include "ser2netprocess.h"
#include "simprocess.h"
#include "testfiles.h"

#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

using flashrun::events;
using flashrun::logRecords;
using flashrun::Run;

class TestOutcomes : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void earlyAcknowledgements_data();
    void earlyAcknowledgements();
    void verify_data();
    void verify();

private:
    QTemporaryDir m_dir;
    QString m_image;
};

void TestOutcomes::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_image = writeFile(m_dir, QStringLiteral("image.bin"), patternImage(5000));
    QVERIFY(!m_image.isEmpty());
}

// The device accepts the request and acknowledges all five packages with status 1 before any
// of them went out (at once, 200 ms later in one burst, one every 10 ms), then answers
// nothing; or ("ahead") writes only package 0 and acknowledges package 1 0.2 ms after
// package 0, before package 1 has reached it (then never answers package 1): never a success,
// in either mode, on a local line or through a network server.
void TestOutcomes::earlyAcknowledgements_data()
{
    QTest::addColumn<QString>("mode");
    QTest::addColumn<bool>("fast");
    QTest::addColumn<bool>("network");
    for (const char *mode : {"now", "burst", "trickle", "ahead"}) {
        QTest::addRow("%s", mode) << QString::fromLatin1(mode) << false << false;
        QTest::addRow("%s --fast", mode) << QString::fromLatin1(mode) << true << false;
    }
    // Through ser2net the simulator cannot tell whether the tool has written the next package
    // (it may wait in the server): a made-up acknowledgement may then come after the write and
    // count, as the rule allows. The network link's marks are shown with a hand-held link in
    // tst_flashjob; here a clean network run in both timings.
    QTest::addRow("now socket://") << QStringLiteral("now") << false << true;
    QTest::addRow("now socket:// --fast") << QStringLiteral("now") << true << true;
}

void TestOutcomes::earlyAcknowledgements()
{
    QFETCH(QString, mode);
    QFETCH(bool, fast);
    QFETCH(bool, network);
    if (network && !Ser2NetProcess::available())
        QSKIP("ser2net (and setpriv) are needed for the network rows");
    SimProcess sim({QStringLiteral("--early-acks"), mode});
    QVERIFY(!sim.path().isEmpty());
    std::unique_ptr<Ser2NetProcess> server;
    QString port = sim.path();
    if (network) {
        server = std::make_unique<Ser2NetProcess>(QVector<Ser2NetProcess::Entry>{{"tcp", port}});
        QVERIFY(server->isListening());
        port = server->url(QStringLiteral("socket"), 0);
    }
    const QString log = m_dir.filePath(
        QStringLiteral("early-%1.jsonl").arg(qHash(QByteArray(QTest::currentDataTag()))));
    QStringList args{"--json", "--max-resends", "2",  "--ack-timeout", "0.2", "--log",
                     log,      "--port",        port, m_image};
    if (fast)
        args.prepend(QStringLiteral("--fast"));
    const Run run = flashrun::flash(args);
    QCOMPARE(run.exitCode, 5);
    QVERIFY(events(run, QStringLiteral("finished")).isEmpty());
    const QJsonObject failed = run.json.last();
    QCOMPARE(failed.value("reason").toString(), QStringLiteral("too-many-resends"));
    // At most the first package may have been answered after it went out.
    QVERIFY2(failed.value("bytes").toInt() <= 1024,
             qPrintable(QString::number(failed.value("bytes").toInt())));
    const QList<QJsonObject> records = logRecords(readFile(log));
    QCOMPARE(records.size(), 1);
    QCOMPARE(records.first().value("result").toString(), QStringLiteral("too-many-resends"));
    QCOMPARE(records.first().value("exit").toInt(), 5);
}

// After the last acknowledgement the device is asked for the length and CRC-32 of what it
// holds: the simulator reads back what it stored.
void TestOutcomes::verify_data()
{
    QTest::addColumn<QStringList>("simArgs");
    QTest::addColumn<int>("expected");
    QTest::addColumn<QString>("reason");
    QTest::addColumn<QString>("errorPart");
    QTest::newRow("holds the image") << QStringList() << 0 << QString() << QString();
    QTest::newRow("stored package 1 corrupted")
        << QStringList{"--corrupt-stored", "1"} << 7 << "verify-mismatch"
        << "verification failed: the device holds 5000 bytes with CRC-32 ";
    // Before the question went out, the device says it holds the image as sent: that is no
    // answer; asked, it tells what it stored.
    QTest::newRow("answered before asked")
        << QStringList{"--corrupt-stored", "1", "--verify-ahead"} << 7 << "verify-mismatch"
        << "verification failed: the device holds 5000 bytes with CRC-32 ";
    // A boot loader that leaves for its application at the last acknowledgement.
    QTest::newRow("gone after the last acknowledgement")
        << QStringList{"--once"} << 6 << "cannot-verify"
        << "cannot verify";
}

void TestOutcomes::verify()
{
    QFETCH(QStringList, simArgs);
    QFETCH(int, expected);
    QFETCH(QString, reason);
    QFETCH(QString, errorPart);
    SimProcess sim(simArgs);
    QVERIFY(!sim.path().isEmpty());
    const QString log = m_dir.filePath(
        QStringLiteral("verify-%1.jsonl").arg(qHash(QByteArray(QTest::currentDataTag()))));
    const Run run = flashrun::flash(
        {"--json", "--fast", "--verify", "--log", log, "--port", sim.path(), m_image});
    QCOMPARE(run.exitCode, expected);
    const QJsonObject last = run.json.last();
    const QList<QJsonObject> records = logRecords(readFile(log));
    QCOMPARE(records.size(), 1);
    const QJsonObject record = records.first();
    QCOMPARE(record.value("exit").toInt(), expected);
    const QString imageCrc = record.value("crc32").toString();
    const QList<QJsonObject> verified = events(run, QStringLiteral("verified"));
    if (expected == 0) {
        QCOMPARE(last.value("event").toString(), QStringLiteral("finished"));
        QCOMPARE(verified.size(), 1);
        QCOMPARE(verified.first().value("ok").toBool(), true);
        QCOMPARE(verified.first().value("device_bytes").toInt(), 5000);
        QCOMPARE(verified.first().value("device_crc32").toString(), imageCrc);
        QCOMPARE(record.value("verified").toBool(), true);
        QCOMPARE(record.value("device_crc32").toString(), imageCrc);
        return;
    }
    QCOMPARE(last.value("event").toString(), QStringLiteral("failed"));
    QCOMPARE(last.value("reason").toString(), reason);
    QVERIFY2(last.value("error").toString().contains(errorPart),
             qPrintable(last.value("error").toString()));
    QCOMPARE(record.value("result").toString(), reason);
    QCOMPARE(record.value("verified").toBool(true), false);
    if (expected == 7) {
        // Both CRCs are named, and the device's is not the image's.
        QCOMPARE(verified.size(), 1);
        const QString deviceCrc = verified.first().value("device_crc32").toString();
        QVERIFY(deviceCrc != imageCrc);
        QVERIFY(last.value("error").toString().contains(deviceCrc));
        QVERIFY(last.value("error").toString().contains(imageCrc));
        QCOMPARE(record.value("device_crc32").toString(), deviceCrc);
    } else {
        QVERIFY(verified.isEmpty());
        QVERIFY(record.value("device_crc32").isNull());
    }
}

QTEST_GUILESS_MAIN(TestOutcomes)
#include "tst_outcomes.moc"
