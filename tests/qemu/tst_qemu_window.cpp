// The window, through its buttons, flashes the reference boot loader on QEMU's emulated
// Cortex-M3 board; the image read back from the board equals the file.
#include "e2etest.h"

using namespace e2e;

class TestQemuWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { quietDebugOutput(); }
    void windowFlashesTheBoard();
};

void TestQemuWindow::windowFlashesTheBoard()
{
    const QByteArray image = randomImage(5000, 11);
    Rig rig;
    rig.start({QStringLiteral("--elf"), QStringLiteral(IAP_BOARD_ELF)});
    rig.openPort();
    rig.startUpgrade(image);
    if (QTest::currentTestFailed())
        return;
    rig.finishUpgrade(image);
    if (QTest::currentTestFailed())
        return;
    const QStringList lines = logLines(rig.window.get());
    QCOMPARE(lines.mid(lines.size() - 2), (QStringList{QStringLiteral("Flash write success!"),
                                                       QStringLiteral("update completed")}));
    QVERIFY(lines.contains(QStringLiteral("F1 81 00 00 FF 69 DF 69")));
    for (int k = 0; k < 5; ++k)
        QVERIFY2(lines.contains(ackHex(k, 1)), qPrintable(ackHex(k, 1)));
}

QTEST_MAIN(TestQemuWindow)
#include "tst_qemu_window.moc"
