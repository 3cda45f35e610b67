// iap-flash --boost against iap-device-sim paced at 115200 baud: after the acceptance the line
// is switched (F1 05 baud, answered F1 85 baud at the old rate, confirmed by the capability
// question F1 03 at the new one) and the image arrives whole; a line that carries nothing at
// the new rate falls back to 115200 and completes; faults at the new rate are resent and
// nothing else; a device that offers nothing (a capability answer of 20 bytes) gets the bytes
// of a run without --boost.
#include "flashrun.h"
#include "simprocess.h"
#include "testfiles.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

using namespace flashrun;

class TestBoost : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void boost_data();
    void boost();
    void offersNothing();
    void badBoostBaud();

private:
    QTemporaryDir m_dir;
    QByteArray m_image; // 20 000 bytes: 20 packages
    QString m_path;
};

void TestBoost::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_image = randomImage(20000, 25);
    m_path = writeFile(m_dir, QStringLiteral("image.bin"), m_image);
    QVERIFY(!m_path.isEmpty());
}

void TestBoost::boost_data()
{
    QTest::addColumn<QStringList>("simArgs");
    QTest::addColumn<QStringList>("flashArgs");
    QTest::addColumn<int>("baud");    // in use, in the events
    QTest::addColumn<int>("resends"); // of packages
    QTest::addColumn<QString>("simSays");
    QTest::addColumn<int>("window");
    // Bytes sent besides the 20 packages once each: the capability question (8), the request
    // (12), the proposal (10), the questions at the new rate (8 each), with --verify the two
    // questions after the last package (16), and every package sent again (1032 each).
    QTest::addColumn<int>("overhead");
    QTest::newRow("2 Mbaud, verified")
        << QStringList{"--max-baud", "2000000"} << QStringList{"--verify"} << 2000000 << 0
        << "switching to 2000000 baud" << 1 << 8 + 12 + 10 + 8 + 16;
    QTest::newRow("capped by --boost-baud")
        << QStringList{"--max-baud", "3000000"} << QStringList{"--boost-baud", "921600"} << 921600
        << 0 << "switching to 921600 baud" << 1 << 8 + 12 + 10 + 8;
    QTest::newRow("the device's limit below the cap")
        << QStringList{"--max-baud", "460800"} << QStringList{"--boost-baud", "3000000"} << 460800
        << 0 << "switching to 460800 baud" << 1 << 8 + 12 + 10 + 8;
    QTest::newRow("nothing at the new rate: back at 115200")
        << QStringList{"--max-baud", "921600", "--rate-fails"} << QStringList{"--verify"} << 115200
        << 0 << "back at the starting rate" << 1 << 8 + 12 + 10 + 3 * 8 + 16;
    QTest::newRow("an error and a lost acknowledgement at the new rate")
        << QStringList{"--max-baud", "921600", "--error-status", "3", "--lose-ack", "7"}
        << QStringList{"--verify"} << 921600 << 2 << "package 7: 1024 payload bytes written" << 1
        << 8 + 12 + 10 + 8 + 16 + 2 * 1032;
    QTest::newRow("3 in flight, verified")
        << QStringList{"--max-baud", "2000000", "--window", "3", "--write-ms", "2"}
        << QStringList{"--verify"} << 2000000 << 0 << "switching to 2000000 baud" << 3
        << 8 + 12 + 10 + 8 + 16;
    // Each write takes three packages' time on the line: the device's buffer is full, and
    // one more package in flight would be lost.
    QTest::newRow("3 in flight, writes slower than the line")
        << QStringList{"--max-baud", "2000000", "--window", "3", "--write-ms", "15"}
        << QStringList{} << 2000000 << 0 << "switching to 2000000 baud" << 3 << 8 + 12 + 10 + 8;
    QTest::newRow("3 in flight at 115200: no rate offered")
        << QStringList{"--window", "3"} << QStringList{} << 115200 << 0 << "request" << 3 << 8 + 12;
    // Package 3 is refused: 4 and 5, in flight behind it, are refused too and go again; the
    // acknowledgement of 7 is lost: 7 alone goes again (answered written, not written twice).
    QTest::newRow("an error and a lost acknowledgement in flight")
        << QStringList{"--max-baud",     "2000000", "--window",   "3",
                       "--error-status", "3",       "--lose-ack", "7"}
        << QStringList{"--verify"} << 2000000 << 2 << "package 7: 1024 payload bytes written" << 3
        << 8 + 12 + 10 + 8 + 16 + 4 * 1032;
}

void TestBoost::boost()
{
    QFETCH(QStringList, simArgs);
    QFETCH(QStringList, flashArgs);
    QFETCH(int, baud);
    QFETCH(int, resends);
    QFETCH(QString, simSays);
    QFETCH(int, window);
    QFETCH(int, overhead);
    const QString out = m_dir.filePath(QStringLiteral("received.bin"));
    QFile::remove(out);
    SimProcess sim(QStringList{"--baud", "115200", "--log", "--out", out} + simArgs);
    QVERIFY(!sim.path().isEmpty());
    const Run run =
        flash(QStringList{"--json", "--boost", "--port", sim.path()} + flashArgs << m_path);
    QCOMPARE(run.exitCode, 0);
    const QJsonObject last = run.json.last();
    QCOMPARE(last.value("event").toString(), QStringLiteral("finished"));
    QCOMPARE(last.value("baud").toInt(), baud);
    QCOMPARE(last.value("window").toInt(), window);
    // Every byte on the wire is counted: a package goes again only when its own answer failed
    // or it was in flight behind one that did.
    QCOMPARE(last.value("resends").toInt(), resends);
    QCOMPARE(qint64(last.value("sent").toDouble()), qint64(19 * 1032 + 552 + overhead));
    QCOMPARE(events(run, QStringLiteral("accepted")).constFirst().value("baud").toInt(), baud);
    QFile received(out);
    QVERIFY(received.open(QIODevice::ReadOnly));
    QCOMPARE(received.readAll(), m_image);
    // Each package written once: a resend is of the package that failed, nothing else.
    const QByteArray log = sim.stderrText();
    QVERIFY2(log.contains(simSays.toUtf8()), log.constData());
    // Never more in flight than the device's receive buffer holds.
    QVERIFY2(!log.contains("receive buffer was full"), log.constData());
    for (int i = 0; i < 20; ++i)
        QCOMPARE(log.count(QStringLiteral("package %1: ").arg(i).toUtf8() + "1024 payload"),
                 i == 19 ? 0 : 1);
}

// No rate, no window in the capability answer: --boost sends what a run without it sends.
void TestBoost::offersNothing()
{
    qint64 sent[2] = {};
    for (int boost = 0; boost < 2; ++boost) {
        SimProcess sim({"--baud", "115200", "--log", "--once"});
        QVERIFY(!sim.path().isEmpty());
        QStringList args{"--json", "--fast", "--port", sim.path(), m_path};
        if (boost)
            args.prepend(QStringLiteral("--boost"));
        const Run run = flash(args);
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(run.json.last().value("baud").toInt(), 115200);
        QCOMPARE(run.json.last().value("requests").toInt(), 1);
        sent[boost] = qint64(run.json.last().value("sent").toDouble());
        QVERIFY(!sim.stderrText().contains("switching"));
    }
    // The capability question, one request, 19 full packages and the short final one.
    QCOMPARE(sent[0], qint64(8 + 12 + 19 * 1032 + (20000 - 19 * 1024) + 8));
    QCOMPARE(sent[1], sent[0]);
}

void TestBoost::badBoostBaud()
{
    const Run run = flash({"--json", "--boost", "--boost-baud", "fast", m_path});
    QCOMPARE(run.exitCode, 1);
    QVERIFY(run.json.last().value("error").toString().contains("--boost-baud"));
}

QTEST_GUILESS_MAIN(TestBoost)
#include "tst_boost.moc"
