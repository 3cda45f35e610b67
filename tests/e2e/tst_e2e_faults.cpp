// The window against a simulator that misbehaves once: a refused package, a damaged or
// noisy or lost acknowledgement, an acknowledgement in two pieces, ignored requests. The
// image must still arrive intact, and the information window must tell exactly what
// happened, in order.
#include "e2etest.h"

using namespace e2e;

Q_DECLARE_METATYPE(e2e::Fate)

class TestE2eFaults : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void faultOnTheLine_data();
    void faultOnTheLine();

private:
    Rig rig;
};

void TestE2eFaults::initTestCase()
{
    quietDebugOutput();
}

void TestE2eFaults::cleanup()
{
    rig.stop();
}

void TestE2eFaults::faultOnTheLine_data()
{
    QTest::addColumn<QStringList>("simArgs");
    QTest::addColumn<int>("faultyPackage"); // -1: every package goes through at once
    QTest::addColumn<Fate>("fate");
    QTest::addColumn<int>("minRequests");
    QTest::addColumn<int>("resends"); // as the device counts them

    // Three packages: two of 1024 bytes and a final one of 952.
    QTest::newRow("status 2 once")
        << QStringList{QStringLiteral("--error-status"), QStringLiteral("1")} << 1
        << Fate::DataError << 1 << 1;
    QTest::newRow("corrupted acknowledgement")
        << QStringList{QStringLiteral("--corrupt-ack"), QStringLiteral("1")} << 1 << Fate::NoAnswer
        << 1 << 1;
    QTest::newRow("noise before the acknowledgement")
        << QStringList{QStringLiteral("--noise"), QStringLiteral("1")} << 1 << Fate::NoAnswer << 1
        << 1;
    QTest::newRow("acknowledgement in two pieces")
        << QStringList{QStringLiteral("--split"), QStringLiteral("2")} << -1 << Fate::Clean << 1
        << 0;
    QTest::newRow("lost acknowledgement")
        << QStringList{QStringLiteral("--lose-ack"), QStringLiteral("1")} << 1 << Fate::NoAnswer
        << 1 << 1;
    QTest::newRow("first three requests ignored")
        << QStringList{QStringLiteral("--ignore-requests"), QStringLiteral("3")} << -1
        << Fate::Clean << 4 << 0;
}

void TestE2eFaults::faultOnTheLine()
{
    QFETCH(QStringList, simArgs);
    QFETCH(int, faultyPackage);
    QFETCH(Fate, fate);
    QFETCH(int, minRequests);
    QFETCH(int, resends);

    const QByteArray image = randomImage(3000, 7);
    rig.start(simArgs);
    rig.openPort();
    rig.startUpgrade(image);
    if (QTest::currentTestFailed())
        return;
    rig.finishUpgrade(image, 1, 30000);
    if (QTest::currentTestFailed())
        return;

    const QStringList lines = logLines(rig.window.get());
    const QString all = lines.join(QLatin1Char('\n'));
    const SplitLog log = splitLog(lines, false);
    QVERIFY2(log.requests >= minRequests, qPrintable(all));
    QVERIFY2(log.leading.isEmpty(), qPrintable(all));
    QVERIFY(log.acceptBeforeAcceptLine);
    QMap<int, Fate> fates;
    if (faultyPackage >= 0)
        fates.insert(faultyPackage, fate);
    QCOMPARE(log.transfer, expectedTransfer(3, fates, false));

    // Spelled out, though the comparison above already holds them.
    QCOMPARE(lines.count(QStringLiteral("Data error, resend!")), fate == Fate::DataError ? 1 : 0);
    QCOMPARE(lines.count(QStringLiteral("Wait timeout, resend!")), fate == Fate::NoAnswer ? 1 : 0);
    QCOMPARE(lines.mid(lines.size() - 2), (QStringList{QStringLiteral("Flash write success!"),
                                                       QStringLiteral("update completed")}));
    // A frame that failed its check never shows as hex.
    for (const QString &l : lines) {
        if (isHexLine(l))
            QVERIFY2(isValidFrameLine(l), qPrintable(l));
    }

    QCOMPARE(rig.report.value(QStringLiteral("resends")).toInt(), resends);
    QCOMPARE(rig.report.value(QStringLiteral("packages")).toInt(), 3 + resends);
    QVERIFY(rig.report.value(QStringLiteral("requests")).toInt() >= minRequests);
    QCOMPARE(rig.window->context()->state, 3);
    QCOMPARE(rig.ui->iapDownLoadButton->text(), QStringLiteral("Download"));
}

QTEST_MAIN(TestE2eFaults)
#include "tst_e2e_faults.moc"
