// The window against iap-device-sim on a real pseudo-terminal, driven through its buttons:
// whole upgrades of images of every shape arriving byte for byte, the information window's
// lines in order, closing and reopening the port, the Chinese texts, and a device that
// hangs up in the middle of a transfer.
#include "e2etest.h"

#include <QAction>
#include <ctime>

using namespace e2e;

class TestE2eUpgrade : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void imageArrivesIntact_data();
    void imageArrivesIntact();
    void closeAndReopen();
    void chineseRun();
    void hangUpMidTransfer();
    void hangUpRightAfterLastPackage();

private:
    // Starts an upgrade against a simulator that hangs up after `packages` packages, and
    // waits until the window has seen the line go.
    void runUntilHangUp(const QByteArray &image, int packages);

    Rig rig;
};

namespace {

// The log of a clean run: at least one request, the accept frame right before the accept
// line, then exactly the expected transfer lines.
void checkCleanLog(const QStringList &lines, int total, bool chinese)
{
    const SplitLog log = splitLog(lines, chinese);
    QVERIFY2(log.requests >= 1, qPrintable(lines.join(QLatin1Char('\n'))));
    QVERIFY2(log.leading.isEmpty(), qPrintable(log.leading.join(QLatin1Char('\n'))));
    QVERIFY(log.acceptBeforeAcceptLine);
    QVERIFY(log.accepts <= log.requests);
    QCOMPARE(lines.constFirst(), texts(chinese).request);
    QCOMPARE(log.transfer, expectedTransfer(total, {}, chinese));
}

double cpuSeconds()
{
    timespec ts{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

} // namespace

void TestE2eUpgrade::initTestCase()
{
    quietDebugOutput();
}

void TestE2eUpgrade::cleanup()
{
    rig.stop();
}

void TestE2eUpgrade::imageArrivesIntact_data()
{
    QTest::addColumn<int>("size");
    // One byte; just under, exactly and just over one package; a short final package; the
    // largest image here (64 full packages and a final package of 17 bytes).
    QTest::newRow("1") << 1;
    QTest::newRow("1023") << 1023;
    QTest::newRow("1024") << 1024;
    QTest::newRow("1025") << 1025;
    QTest::newRow("5000") << 5000;
    QTest::newRow("65553") << 65553;
}

void TestE2eUpgrade::imageArrivesIntact()
{
    QFETCH(int, size);
    const QByteArray image = randomImage(size, quint32(size));
    const int total = packageCount(size);
    rig.start({});
    rig.openPort();
    rig.startUpgrade(image);
    if (QTest::currentTestFailed())
        return;
    rig.finishUpgrade(image);
    if (QTest::currentTestFailed())
        return;

    const QStringList lines = logLines(rig.window.get());
    checkCleanLog(lines, total, false);
    // The last two lines close the run.
    QCOMPARE(lines.mid(lines.size() - 2), (QStringList{QStringLiteral("Flash write success!"),
                                                       QStringLiteral("update completed")}));
    QVERIFY(lines.contains(QStringLiteral("F1 81 00 00 FF 69 DF 69")));
    QCOMPARE(rig.window->context()->state, 3);
    QCOMPARE(rig.report.value(QStringLiteral("packages")).toInt(), total);
    QCOMPARE(rig.report.value(QStringLiteral("resends")).toInt(), 0);
    // The port stays open after the run.
    QVERIFY(rig.window->serialLink()->isOpen());
    QCOMPARE(rig.ui->openPortButton->text(), QStringLiteral("Close"));
}

void TestE2eUpgrade::closeAndReopen()
{
    const QByteArray first = randomImage(2100, 1);
    const QByteArray second = randomImage(3000, 2);
    rig.start({});
    rig.openPort();
    rig.startUpgrade(first, QStringLiteral("first.bin"));
    rig.finishUpgrade(first, 1);
    if (QTest::currentTestFailed())
        return;

    rig.closePort();
    rig.openPort();
    rig.closePort();
    rig.openPort();
    if (QTest::currentTestFailed())
        return;

    // Every reply is seen once after two reopens: no doubled hex line, no doubled step.
    rig.startUpgrade(second, QStringLiteral("second.bin"));
    rig.finishUpgrade(second, 2);
    if (QTest::currentTestFailed())
        return;
    checkCleanLog(logLines(rig.window.get()), packageCount(second.size()), false);
    QCOMPARE(rig.report.value(QStringLiteral("resends")).toInt(), 0);
}

void TestE2eUpgrade::chineseRun()
{
    const QByteArray image = randomImage(2500, 3);
    rig.start({});
    rig.ui->actionchinese->trigger();
    QVERIFY(rig.window->chinese());
    rig.openPort();
    QCOMPARE(rig.ui->openPortButton->text(), QString::fromUtf8("关闭"));
    rig.startUpgrade(image);
    QCOMPARE(rig.ui->iapDownLoadButton->text(), QString::fromUtf8("取消"));
    rig.finishUpgrade(image);
    if (QTest::currentTestFailed())
        return;

    const QStringList lines = logLines(rig.window.get());
    checkCleanLog(lines, 3, true);
    QVERIFY(lines.contains(QString::fromUtf8("收到响应，进入刷固件流程!")));
    QVERIFY(lines.contains(QString::fromUtf8("已发送第1包,共3包")));
    QCOMPARE(lines.mid(lines.size() - 2),
             (QStringList{QString::fromUtf8("Flash写入成功!"), QString::fromUtf8("更新完成!")}));
    QCOMPARE(rig.ui->iapDownLoadButton->text(), QString::fromUtf8("下载固件"));
}

void TestE2eUpgrade::runUntilHangUp(const QByteArray &image, int packages)
{
    rig.start({QStringLiteral("--hangup-after"), QString::number(packages)});
    rig.openPort();
    rig.startUpgrade(image);
    if (QTest::currentTestFailed())
        return;
    QTRY_COMPARE_WITH_TIMEOUT(rig.sim->events(QStringLiteral("hangup")).size(), 1, 20000);
    QTRY_VERIFY_WITH_TIMEOUT(!rig.window->serialLink()->isOpen(), 5000);
}

void TestE2eUpgrade::hangUpMidTransfer()
{
    runUntilHangUp(randomImage(5000, 4), 2);
    if (QTest::currentTestFailed())
        return;
    QTRY_VERIFY(rig.ui->comboBox->isEnabled());
    QVERIFY(rig.ui->refreshButton->isEnabled());
    QCOMPARE(rig.ui->openPortButton->text(), QStringLiteral("Open"));
    // The upgrade stopped with the line.
    QCOMPARE(rig.ui->iapDownLoadButton->text(), QStringLiteral("Download"));
    QCOMPARE(rig.window->context()->state, 0);
    QVERIFY(!MainWindowProbe::iapTimer(rig.window.get())->isActive());
    QVERIFY(rig.sim->events(QStringLiteral("complete")).isEmpty());

    // No spinning on the dead line: the process is idle, and nothing more is written. (A
    // reply read just before the hang-up may still be in the framer's quiet gap.)
    QTRY_VERIFY(!MainWindowProbe::frameTimer(rig.window.get())->isActive());
    const int linesBefore = logLines(rig.window.get()).size();
    const double cpuBefore = cpuSeconds();
    QTest::qWait(300);
    const double cpuUsed = cpuSeconds() - cpuBefore;
    QVERIFY2(cpuUsed < 0.050, qPrintable(QStringLiteral("%1 s of CPU").arg(cpuUsed)));

    // Exactly one line that is not part of a normal run, naming the port; after it at most
    // the hex of a reply that was already on its way.
    const QStringList lines = logLines(rig.window.get());
    QCOMPARE(lines.size(), linesBefore);
    const Texts t = texts(false);
    const QRegularExpression progress(QStringLiteral("^Packet \\d+ has been sent, for a total "
                                                     "of 5 packets$"));
    QStringList other;
    for (const QString &l : lines) {
        if (l != t.request && l != t.accepted && !progress.match(l).hasMatch() && !isHexLine(l))
            other << l;
    }
    QCOMPARE(other.size(), 1);
    // What arrived before the line went is shown before the error, which is the last line.
    QCOMPARE(lines.constLast(), other.constFirst());
    QVERIFY2(other.constFirst().startsWith(
                 QStringLiteral("Serial port %1 was lost: ").arg(rig.sim->path())),
             qPrintable(other.constFirst()));
    // The two packages the device wrote were acknowledged before the line went.
    QVERIFY(lines.contains(ackHex(0, 1)));
    QVERIFY(lines.contains(ackHex(1, 1)));
}

void TestE2eUpgrade::hangUpRightAfterLastPackage()
{
    // A device that leaves its boot loader (and drops the line) as soon as it has
    // acknowledged the last package has been upgraded: the window says so, then says the
    // port was lost.
    const QByteArray image = randomImage(3000, 5);
    runUntilHangUp(image, 3);
    if (QTest::currentTestFailed())
        return;
    QCOMPARE(rig.window->context()->state, 3);
    QCOMPARE(rig.ui->iapDownLoadButton->text(), QStringLiteral("Download"));
    QVERIFY(!MainWindowProbe::iapTimer(rig.window.get())->isActive());
    QCOMPARE(rig.ui->openPortButton->text(), QStringLiteral("Open"));
    QVERIFY(readFile(rig.outPath) == image);

    const QStringList lines = logLines(rig.window.get());
    QVERIFY(lines.size() >= 4);
    QCOMPARE(lines.at(lines.size() - 4), ackHex(2, 1));
    QCOMPARE(lines.at(lines.size() - 3), QStringLiteral("Flash write success!"));
    QCOMPARE(lines.at(lines.size() - 2), QStringLiteral("update completed"));
    QVERIFY2(lines.constLast().startsWith(
                 QStringLiteral("Serial port %1 was lost: ").arg(rig.sim->path())),
             qPrintable(lines.constLast()));
}

QTEST_MAIN(TestE2eUpgrade)
#include "tst_e2e_upgrade.moc"
