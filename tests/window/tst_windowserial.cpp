// The window's serial slots against a real pseudo-terminal: a failed open, open and close
// with the labels across language switches, reply frames gathered by silence, the request
// going out on the line, and a line that goes away in the middle of an upgrade.
#include "iapcontext.h"
#include "mainwindow.h"
#include "mainwindowui.h"
#include "serial.h"
#include "windowtest.h"

#include <QComboBox>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QtTest>

#include <fcntl.h>
#include <pty.h>
#include <unistd.h>
#include <zlib.h>

namespace {

// Named per process: parallel suites must not meet on the same port name (Qt's lock file).
QString missingPort()
{
    return QStringLiteral("/dev/iap-no-such-port-%1").arg(QCoreApplication::applicationPid());
}

// The CRC-32 trailer, big-endian, computed with zlib as an independent oracle.
QByteArray withCrc(QByteArray bytes)
{
    const uLong crc = crc32(0L, reinterpret_cast<const Bytef *>(bytes.constData()), bytes.size());
    bytes.append(char(crc >> 24)).append(char(crc >> 16)).append(char(crc >> 8)).append(char(crc));
    return bytes;
}

QString hex(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex(' ').toUpper());
}

} // namespace

class TestWindowSerial : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void failedOpen_data();
    void failedOpen();
    void openCloseAndLabels();
    void replyFrames();
    void requestOnTheLine();
    void lineLostDuringUpgrade_data();
    void lineLostDuringUpgrade();
    void runEnds_data();
    void runEnds();

private:
    void openPty();

    QTemporaryDir work;
    PtyLine *pty = nullptr;
    MainWindow *w = nullptr;
    MainWindowUi *ui = nullptr;
};

void TestWindowSerial::init()
{
    pty = new PtyLine;
    QVERIFY(pty->ok());
    w = new MainWindow(QStringList{pty->name()});
    ui = w->form();
}

void TestWindowSerial::cleanup()
{
    delete w;
    delete pty;
    w = nullptr;
    pty = nullptr;
}

void TestWindowSerial::openPty()
{
    QCOMPARE(ui->comboBox->itemText(0), pty->name());
    ui->comboBox->setCurrentIndex(0);
    ui->openPortButton->click();
    QVERIFY(w->serialLink()->isOpen());
    QCOMPARE(ui->openPortButton->text(),
             w->chinese() ? QString::fromUtf8("关闭") : QStringLiteral("Close"));
    QVERIFY(!ui->comboBox->isEnabled());
    QVERIFY(!ui->refreshButton->isEnabled());
}

void TestWindowSerial::failedOpen_data()
{
    QTest::addColumn<bool>("chinese");
    QTest::addColumn<QString>("prefix");
    QTest::newRow("en") << false << QStringLiteral("Cannot open serial port @PORT@: ");
    QTest::newRow("zh") << true << QString::fromUtf8("无法打开串口 @PORT@：");
}

void TestWindowSerial::failedOpen()
{
    QFETCH(bool, chinese);
    QFETCH(QString, prefix);
    delete w;
    prefix.replace(QLatin1String("@PORT@"), missingPort());
    w = new MainWindow(QStringList{missingPort()});
    ui = w->form();
    if (chinese)
        ui->actionchinese->trigger();
    ui->comboBox->setCurrentIndex(0);
    ui->openPortButton->click();
    QVERIFY(!w->serialLink()->isOpen());
    QCOMPARE(ui->tb_IAPMsg->document()->blockCount(), 1);
    const QString line = ui->tb_IAPMsg->toPlainText();
    QVERIFY2(line.startsWith(prefix), qPrintable(line));
    QCOMPARE(line,
             links::serialErrorText(w->serialLink()->lastError(),
                                    (chinese ? iap::Language::Chinese : iap::Language::English),
                                    missingPort(), w->serialLink()->lastErrorString()));
    QCOMPARE(ui->openPortButton->text(),
             chinese ? QString::fromUtf8("打开") : QStringLiteral("Open"));
    QVERIFY(ui->comboBox->isEnabled());
    QVERIFY(ui->refreshButton->isEnabled());
}

void TestWindowSerial::openCloseAndLabels()
{
    openPty();
    // A language switch keeps the label of the open port, and the next click closes it.
    ui->actionchinese->trigger();
    QCOMPARE(ui->openPortButton->text(), QString::fromUtf8("关闭"));
    ui->actionenglish->trigger();
    QCOMPARE(ui->openPortButton->text(), QStringLiteral("Close"));
    QVERIFY(!ui->comboBox->isEnabled());
    ui->openPortButton->click();
    QVERIFY(!w->serialLink()->isOpen());
    QCOMPARE(ui->openPortButton->text(), QStringLiteral("Open"));
    QVERIFY(ui->comboBox->isEnabled());
    QVERIFY(ui->refreshButton->isEnabled());
    QVERIFY(ui->tb_IAPMsg->toPlainText().isEmpty());
    // And it opens again.
    ui->openPortButton->click();
    QVERIFY(w->serialLink()->isOpen());
}

void TestWindowSerial::replyFrames()
{
    openPty();
    const QByteArray ack = withCrc(QByteArray::fromHex("F182000501"));
    DebugCapture debug;

    // A frame in two pieces less than 30 ms apart is one burst, accepted. Each arrival
    // starts the 30 ms quiet-line timer.
    QSignalSpy arrivals(w->serialLink(), &Serial::readSignal);
    QSignalSpy quiet(MainWindowProbe::frameTimer(w), &QTimer::timeout);
    QVERIFY(pty->write(ack.left(3)));
    QVERIFY(arrivals.wait(5000));
    QVERIFY(MainWindowProbe::frameTimer(w)->isActive());
    QCOMPARE(MainWindowProbe::frameTimer(w)->interval(), 30);
    QVERIFY(pty->write(ack.mid(3)));
    QTRY_COMPARE(w->context()->response, ack);
    QCOMPARE(ui->tb_IAPMsg->document()->lastBlock().text(), hex(ack));
    QCOMPARE(ui->tb_IAPMsg->document()->blockCount(), 1);
    QTRY_VERIFY(!MainWindowProbe::frameTimer(w)->isActive());

    // A burst with a wrong trailer is dropped without a line; the stored reply stays.
    QByteArray bad = withCrc(QByteArray::fromHex("F182000601"));
    bad[bad.size() - 1] = char(bad.at(bad.size() - 1) ^ 0x01);
    quiet.clear();
    QVERIFY(pty->write(bad));
    QVERIFY(quiet.wait(5000)); // the burst was tested
    QCOMPARE(w->context()->response, ack);
    QCOMPARE(ui->tb_IAPMsg->document()->blockCount(), 1);

    // The smallest frame: 0xF1, three bytes and the CRC.
    const QByteArray eight = withCrc(QByteArray::fromHex("F1810000"));
    QVERIFY(pty->write(eight));
    QTRY_COMPARE(w->context()->response, eight);
    QCOMPARE(ui->tb_IAPMsg->document()->lastBlock().text(),
             QStringLiteral("F1 81 00 00 ") + hex(eight.right(4)));
    QStringList timeouts;
    for (const QString &l : debug.captured()) {
        if (l.startsWith(QLatin1String("time out:")))
            timeouts.append(l);
    }
    QCOMPARE(timeouts.size(), 3);
    QVERIFY(MainWindowProbe::framer(w)->quietCount() >= 3);
}

void TestWindowSerial::requestOnTheLine()
{
    const QString path = writeFile(QDir(work.path()), QStringLiteral("fw.bin"), patternImage(5000));
    w->loadFirmware(path);
    openPty();
    pty->drain();
    ui->iapDownLoadButton->click();
    // Nothing at the press; the request 50 ms later: F1 01, length 5000, 5 packages, CRC.
    QCOMPARE(pty->drain(), QByteArray());
    const QByteArray request = withCrc(QByteArray::fromHex("F10100001388"
                                                           "0005"));
    QByteArray got;
    QTRY_VERIFY((got += pty->drain()).size() >= 12);
    QCOMPARE(got.left(12), request);
    QCOMPARE(ui->tb_IAPMsg->document()->firstBlock().text(),
             QStringLiteral("Request firmware update!"));

    // The device accepts: package 0 follows, full size, with its progress line.
    QVERIFY(pty->write(withCrc(QByteArray::fromHex("F1810000"))));
    QTRY_VERIFY(ui->tb_IAPMsg->toPlainText().contains(
        QStringLiteral("Packet 1 has been sent, for a total of 5 packets")));
    QCOMPARE(w->context()->state, 2);
    ui->iapDownLoadButton->click();
    QCOMPARE(w->context()->state, 0);
}

// The device holds part of an image: the line says the upgrade is incomplete and must be run
// again, with the bytes written so far, and that the other end went (not the system's words
// for the failed read, which say nothing).
void TestWindowSerial::lineLostDuringUpgrade_data()
{
    QTest::addColumn<bool>("chinese");
    QTest::addColumn<QString>("expected"); // %1 the port
    QTest::newRow("en") << false
                        << QStringLiteral("Serial port %1 was lost: the upgrade is incomplete (0 "
                                          "of 3000 bytes written) and must be run again. The "
                                          "port has been closed. (the other end closed the line "
                                          "or the device disappeared)");
    QTest::newRow("zh") << true
                        << QString::fromUtf8("串口 %1 已断开：升级未完成（已写入 0 / 3000 字节），"
                                             "设备需要重新升级。串口已关闭。（对端关闭了线路，"
                                             "或设备已断开）");
}

void TestWindowSerial::lineLostDuringUpgrade()
{
    QFETCH(bool, chinese);
    QFETCH(QString, expected);
    if (chinese)
        ui->actionchinese->trigger();
    const QString path = writeFile(QDir(work.path()), QStringLiteral("fw.bin"), patternImage(3000));
    w->loadFirmware(path);
    openPty();
    ui->iapDownLoadButton->click();
    QByteArray sent;
    QTRY_VERIFY2((sent += pty->drain()).size() >= 24,
                 qPrintable(ui->tb_IAPMsg->toPlainText())); // requests go out
    QVERIFY(MainWindowProbe::iapTimer(w)->isActive());

    pty->closeMaster(); // the device goes away
    QTRY_VERIFY(!w->serialLink()->isOpen());
    QTRY_VERIFY(ui->comboBox->isEnabled());
    QVERIFY(ui->refreshButton->isEnabled());
    QCOMPARE(ui->openPortButton->text(),
             chinese ? QString::fromUtf8("打开") : QStringLiteral("Open"));
    QCOMPARE(ui->iapDownLoadButton->text(),
             chinese ? QString::fromUtf8("下载固件") : QStringLiteral("Download"));
    QVERIFY(!MainWindowProbe::iapTimer(w)->isActive());
    QCOMPARE(w->context()->state, 0);
    QVERIFY(ui->iapLoadFileButton->isEnabled());
    QCOMPARE(ui->tb_IAPMsg->document()->lastBlock().text(), expected.arg(pty->name()));
    // One line only, and the next press starts a fresh run.
    const int lines = ui->tb_IAPMsg->document()->blockCount();
    QTest::qWait(150);
    QCOMPARE(ui->tb_IAPMsg->document()->blockCount(), lines);
}

// What happens to a run between choosing the file and its end: a file rebuilt after it was
// chosen is loaded again (its request names the new length), one that is gone is refused; a
// port closed mid-run stops the run; a line lost after a complete run (one lost mid-upgrade
// before it) does not call the device incomplete.
void TestWindowSerial::runEnds_data()
{
    QTest::addColumn<QString>("event");
    QTest::addColumn<bool>("chinese");
    QTest::addColumn<QString>("lastLine"); // %1 the file, or the port
    QTest::newRow("file rewritten")
        << "rewrite" << false << "\"%1\" changed after it was loaded: loaded again.";
    QTest::newRow("file rewritten, zh")
        << "rewrite" << true << "“%1”在加载后已被修改：已重新加载。";
    QTest::newRow("file removed") << "remove" << false
                                  << "Cannot open firmware file \"%1\": no such file";
    QTest::newRow("port closed")
        << "close" << false
        << "The port was closed during the upgrade: the upgrade stopped (0 of 3000 bytes "
           "written). Open the port and press Download to run it again.";
    QTest::newRow("port closed, zh")
        << "close" << true
        << QString::fromUtf8("升级过程中串口被关闭：升级已停止（已写入 0 / 3000 字节）。请打开串口"
                             "并点击“下载固件”重新升级。");
    QTest::newRow("lost after a complete run")
        << "complete" << false
        << "Serial port %1 was lost: the other end closed the line or the device disappeared. "
           "The port has been closed.";
}

void TestWindowSerial::runEnds()
{
    QFETCH(QString, event);
    QFETCH(bool, chinese);
    QFETCH(QString, lastLine);
    PtyLine second; // the line of the complete run
    delete w;
    w = new MainWindow(QStringList{pty->name(), second.name()});
    ui = w->form();
    if (chinese)
        ui->actionchinese->trigger();
    const QString path = writeFile(QDir(work.path()), QStringLiteral("fw.bin"), patternImage(3000));
    w->loadFirmware(path);
    QVERIFY(ui->b_FirmwarePath->isReadOnly());
    openPty();
    if (event == QLatin1String("rewrite") || event == QLatin1String("remove")) {
        if (event == QLatin1String("rewrite"))
            QVERIFY(!writeFile(QDir(work.path()), QStringLiteral("fw.bin"), patternImage(5000))
                         .isEmpty());
        else
            QVERIFY(QFile::remove(path));
        ui->iapDownLoadButton->click();
        QCOMPARE(ui->tb_IAPMsg->document()->lastBlock().text(), lastLine.arg(path));
        if (event == QLatin1String("remove")) {
            QVERIFY(!MainWindowProbe::iapTimer(w)->isActive());
            return;
        }
        // Above the line the new summary; on the wire the request for the new length: F1 01,
        // 5000 bytes, 5 packages.
        QVERIFY(ui->tb_IAPMsg->toPlainText().contains(QStringLiteral("5000")));
        QByteArray got;
        QTRY_VERIFY((got += pty->drain()).size() >= 12);
        QCOMPARE(got.left(12), withCrc(QByteArray::fromHex("F101000013880005")));
        return;
    }
    ui->iapDownLoadButton->click();
    QByteArray sent;
    QTRY_VERIFY((sent += pty->drain()).size() >= 24); // requests go out
    if (event == QLatin1String("close")) {
        ui->openPortButton->click();
        QVERIFY(!MainWindowProbe::iapTimer(w)->isActive());
        QCOMPARE(ui->iapDownLoadButton->text(),
                 chinese ? QString::fromUtf8("下载固件") : QStringLiteral("Download"));
        QCOMPARE(ui->tb_IAPMsg->document()->lastBlock().text(), lastLine);
        return;
    }
    // Lost mid-upgrade, then a complete run on the second line, then that line goes too.
    pty->closeMaster();
    QTRY_VERIFY(!w->serialLink()->isOpen());
    QVERIFY(ui->tb_IAPMsg->toPlainText().contains(
        chinese ? QString::fromUtf8("升级未完成") : QStringLiteral("the upgrade is incomplete")));
    ui->comboBox->setCurrentIndex(1);
    ui->openPortButton->click();
    QVERIFY(w->serialLink()->isOpen());
    ui->iapDownLoadButton->click();
    QByteArray requests;
    QTRY_VERIFY((requests += second.drain()).size() >= 12);
    QVERIFY(second.write(withCrc(QByteArray::fromHex("F1810000"))));
    for (int k = 0; k < 3; ++k) {
        QTRY_VERIFY(ui->tb_IAPMsg->toPlainText().contains(
            QStringLiteral("Packet %1 has been sent").arg(k + 1)));
        QVERIFY(second.write(withCrc(QByteArray::fromHex(
            QByteArray("F18200") + QByteArray::number(k).rightJustified(2, '0') + "01"))));
    }
    QTRY_COMPARE(ui->tb_IAPMsg->document()->lastBlock().text(), QStringLiteral("update completed"));
    second.closeMaster();
    QTRY_VERIFY(!w->serialLink()->isOpen());
    QCOMPARE(ui->tb_IAPMsg->document()->lastBlock().text(), lastLine.arg(second.name()));
}

QTEST_MAIN(TestWindowSerial)
#include "tst_windowserial.moc"
