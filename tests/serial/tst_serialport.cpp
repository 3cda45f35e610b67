#include "iapcontext.h"
#include "serial.h"
#include "serialerror.h"

#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

Q_DECLARE_METATYPE(links::SerialError)

namespace {

QByteArray hex(const char *text)
{
    return QByteArray::fromHex(QByteArray(text));
}

qint64 processCpuMicroseconds()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return qint64(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

// The simulator on the other end of a pseudo-terminal; killed when the test ends.
class Simulator
{
public:
    explicit Simulator(const QStringList &args = {})
    {
        process.setProcessChannelMode(QProcess::SeparateChannels);
        process.start(QStringLiteral(IAP_DEVICE_SIM), args);
        if (!process.waitForStarted(5000))
            return;
        while (!process.canReadLine() && process.waitForReadyRead(5000)) {
        }
        path = QString::fromLocal8Bit(process.readLine()).trimmed();
    }
    ~Simulator()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(5000);
        }
    }
    QProcess process;
    QString path;
};

// Collects what each readSignal() delivers, the way the window does.
struct Receiver
{
    explicit Receiver(Serial *serial)
    {
        QObject::connect(serial, &Serial::readSignal, [this, serial] {
            reads << serial->getBuffer();
            serial->clearBuffer();
        });
    }
    QList<QByteArray> reads;
    QByteArray all() const
    {
        QByteArray bytes;
        for (const QByteArray &read : reads)
            bytes += read;
        return bytes;
    }
};

QByteArray requestFor(int imageBytes)
{
    IapContext context;
    context.setImage(QByteArray(imageBytes, 'x'));
    return context.makeRequestPackage();
}

} // namespace

class TestSerialPort : public QObject
{
    Q_OBJECT

private slots:
    void lineSettings_data();
    void lineSettings();
    void requestIsAnswered();
    void reopenedPortDeliversOnce();
    void openFailures_data();
    void openFailures();
    void lostDuringUpgradeTexts_data();
    void lostDuringUpgradeTexts();
    void canonicalNames_data();
    void canonicalNames();
    void openingAnOpenPortFails();
    void permissionDeniedOnUnreadableFile();
    void errorTexts_data();
    void errorTexts();
    void lostLine_data();
    void lostLine();
};

void TestSerialPort::lineSettings_data()
{
    QTest::addColumn<int>("baud");
    QTest::addColumn<int>("speed");
    QTest::newRow("115200") << 115200 << int(B115200);
    QTest::newRow("9600") << 9600 << int(B9600);
}

void TestSerialPort::lineSettings()
{
    QFETCH(int, baud);
    QFETCH(int, speed);
    Simulator sim;
    QVERIFY(!sim.path.isEmpty());
    Serial serial;
    QVERIFY(serial.openPort(sim.path, baud));
    QVERIFY(serial.isOpen());
    QCOMPARE(serial.lastError(), links::SerialError::None);

    const int fd = ::open(sim.path.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    QVERIFY(fd >= 0);
    termios tio{};
    const int got = ::tcgetattr(fd, &tio);
    ::close(fd);
    QCOMPARE(got, 0);
    QCOMPARE(int(cfgetospeed(&tio)), speed);
    QCOMPARE(int(cfgetispeed(&tio)), speed);
    QCOMPARE(int(tio.c_cflag & CSIZE), int(CS8));
    QVERIFY(!(tio.c_cflag & PARENB));
    QVERIFY(!(tio.c_cflag & CSTOPB));
    QVERIFY(!(tio.c_cflag & CRTSCTS));
    serial.closePort();
    QVERIFY(!serial.isOpen());
}

void TestSerialPort::requestIsAnswered()
{
    Simulator sim;
    Serial serial;
    Receiver receiver(&serial);
    QVERIFY(serial.openPort(sim.path, 115200));
    const QByteArray request = requestFor(5000);
    QCOMPARE(request, hex("F1010000138800052D7486CF"));
    serial.sendData(request);
    QTRY_COMPARE_WITH_TIMEOUT(receiver.all(), hex("F1810000FF69DF69"), 5000);
    QVERIFY(serial.getBuffer().isEmpty());
}

void TestSerialPort::reopenedPortDeliversOnce()
{
    Simulator sim;
    Serial serial;
    Receiver receiver(&serial);
    for (int i = 0; i < 3; ++i) {
        QVERIFY(serial.openPort(sim.path, 115200));
        serial.closePort();
    }
    QVERIFY(serial.openPort(sim.path, 115200));
    QSignalSpy spy(&serial, &Serial::readSignal);
    serial.sendData(requestFor(1));
    QVERIFY(spy.wait(5000));
    QTest::qWait(100); // any second delivery of the same arrival would come at once
    QCOMPARE(spy.count(), 1);
    QCOMPARE(receiver.reads, QList<QByteArray>{hex("F1810000FF69DF69")});
}

void TestSerialPort::openFailures_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<links::SerialError>("error");
    QTest::newRow("no such device")
        << QStringLiteral("/nonexistent/ttyIAP0") << links::SerialError::NotFound;
    QTest::newRow("no such short name")
        << QStringLiteral("ttyIAPnope") << links::SerialError::NotFound;
    QTest::newRow("empty name") << QString() << links::SerialError::NoPortName;
    // Not "permission denied ... dialout group": the system's own reason.
    QTest::newRow("name too long for the system")
        << QStringLiteral("/dev/") + QString(300, QLatin1Char('x'))
        << links::SerialError::OpenFailed;
}

void TestSerialPort::openFailures()
{
    QFETCH(QString, name);
    QFETCH(links::SerialError, error);
    Serial serial;
    QVERIFY(!serial.openPort(name, 115200));
    QVERIFY(!serial.isOpen());
    QCOMPARE(serial.lastError(), error);
    if (error != links::SerialError::NoPortName)
        QVERIFY(!serial.lastErrorString().isEmpty());
    const QString text = links::serialErrorText(serial.lastError(), iap::Language::English, name,
                                                serial.lastErrorString());
    QVERIFY2(text.contains(name), qPrintable(text));
    QVERIFY2(!text.contains(QLatin1String("dialout")), qPrintable(text));
    if (name.size() > 255)
        QVERIFY2(text.endsWith(QStringLiteral(": %1.").arg(qt_error_string(ENAMETOOLONG))),
                 qPrintable(text));
    // A later success clears the record.
    Simulator sim;
    QVERIFY(serial.openPort(sim.path, 115200));
    QCOMPARE(serial.lastError(), links::SerialError::None);
}

void TestSerialPort::openingAnOpenPortFails()
{
    Simulator sim;
    Serial serial;
    QVERIFY(serial.openPort(sim.path, 115200));
    QVERIFY(!serial.openPort(sim.path, 115200));
    QCOMPARE(serial.lastError(), links::SerialError::Busy);
    QVERIFY(serial.isOpen());
    // A second user of the same line is turned away as well.
    Serial other;
    QVERIFY(!other.openPort(sim.path, 115200));
    QCOMPARE(int(other.lastError()), int(links::SerialError::Busy));
    QVERIFY(serial.isOpen());
}

void TestSerialPort::permissionDeniedOnUnreadableFile()
{
    if (::geteuid() == 0)
        QSKIP("root may open anything");
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("ttyLocked"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();
    QVERIFY(QFile::setPermissions(path, QFileDevice::Permissions()));
    Serial serial;
    QVERIFY(!serial.openPort(path, 115200));
    QCOMPARE(serial.lastError(), links::SerialError::PermissionDenied);
    const QString text = links::serialErrorText(serial.lastError(), iap::Language::English, path);
    QVERIFY2(text.contains(QLatin1String("dialout")), qPrintable(text));
}

void TestSerialPort::errorTexts_data()
{
    QTest::addColumn<links::SerialError>("error");
    QTest::addColumn<bool>("chinese");
    QTest::addColumn<QString>("reason");
    QTest::addColumn<QString>("text");
    const QString port = QStringLiteral("/dev/ttyUSB0");
    QTest::newRow("permission en")
        << links::SerialError::PermissionDenied << false << QString()
        << QStringLiteral("Cannot open serial port /dev/ttyUSB0: permission denied. Add your user "
                          "to the dialout group (sudo usermod -aG dialout $USER) and log in "
                          "again.");
    QTest::newRow("permission zh")
        << links::SerialError::PermissionDenied << true << QString()
        << QStringLiteral("无法打开串口 /dev/ttyUSB0：没有权限。请把当前用户加入 dialout 组"
                          "（sudo usermod -aG dialout $USER），然后重新登录。");
    QTest::newRow("lost en") << links::SerialError::DeviceLost << false
                             << QStringLiteral("Input/output error")
                             << QStringLiteral("Serial port /dev/ttyUSB0 was lost: Input/output "
                                               "error. The port has been closed.");
    QTest::newRow("lost zh") << links::SerialError::DeviceLost << true
                             << QStringLiteral("Input/output error")
                             << QStringLiteral("串口 /dev/ttyUSB0 已断开：Input/output error。"
                                               "串口已关闭。");
    QTest::newRow("not found en")
        << links::SerialError::NotFound << false << QStringLiteral("No such file or directory")
        << QStringLiteral("Cannot open serial port /dev/ttyUSB0: the port does not exist (No "
                          "such file or directory).");
    QTest::newRow("not found zh") << links::SerialError::NotFound << true << QString()
                                  << QStringLiteral("无法打开串口 /dev/ttyUSB0：串口不存在。");
    QTest::newRow("busy en")
        << links::SerialError::Busy << false << QString()
        << QStringLiteral("Cannot open serial port /dev/ttyUSB0: the port is in use by another "
                          "program.");
    QTest::newRow("busy zh") << links::SerialError::Busy << true << QString()
                             << QStringLiteral("无法打开串口 /dev/ttyUSB0：串口已被其他程序占用。");
    QTest::newRow("no port en")
        << links::SerialError::NoPortName << false << QString()
        << QStringLiteral("No serial port chosen: connect the device, press Refresh and pick a "
                          "port.");
    QTest::newRow("no port zh") << links::SerialError::NoPortName << true << QString()
                                << QStringLiteral("未选择串口：请连接设备后点击刷新，再选择串口。");
    QTest::newRow("other en") << links::SerialError::OpenFailed << false << QStringLiteral("odd")
                              << QStringLiteral("Cannot open serial port /dev/ttyUSB0: odd.");
    QTest::newRow("not open en")
        << links::SerialError::NotOpen << false << QString()
        << QStringLiteral(
               "No serial port is open: choose and open the port first, then press Download.");
    QTest::newRow("not open zh") << links::SerialError::NotOpen << true << QString()
                                 << QStringLiteral("串口未打开：请先选择并打开串口，再点击下载。");
    QTest::newRow("none") << links::SerialError::None << false << QString() << QString();
    Q_UNUSED(port);
}

void TestSerialPort::errorTexts()
{
    QFETCH(links::SerialError, error);
    QFETCH(bool, chinese);
    QFETCH(QString, reason);
    QFETCH(QString, text);
    QCOMPARE(links::serialErrorText(error,
                                    (chinese ? iap::Language::Chinese : iap::Language::English),
                                    QStringLiteral("/dev/ttyUSB0"), reason),
             text);
}

// A line lost in the middle of an upgrade: the incomplete upgrade first, the reason after it
// as detail.
void TestSerialPort::lostDuringUpgradeTexts_data()
{
    QTest::addColumn<bool>("chinese");
    QTest::addColumn<QString>("reason");
    QTest::addColumn<QString>("text");
    QTest::newRow("en") << false << QStringLiteral("Input/output error")
                        << QStringLiteral("Serial port /dev/ttyUSB0 was lost: the upgrade is "
                                          "incomplete (2048 of 5000 bytes written) and must be "
                                          "run again. The port has been closed. (Input/output "
                                          "error)");
    QTest::newRow("zh") << true << QStringLiteral("Input/output error")
                        << QStringLiteral("串口 /dev/ttyUSB0 已断开：升级未完成（已写入 2048 / "
                                          "5000 字节），设备需要重新升级。串口已关闭。"
                                          "（Input/output error）");
    QTest::newRow("no reason en")
        << false << QString()
        << QStringLiteral("Serial port /dev/ttyUSB0 was lost: the upgrade is incomplete (2048 of "
                          "5000 bytes written) and must be run again. The port has been closed. "
                          "(the other end closed the line or the device disappeared)");
    QTest::newRow("no reason zh") << true << QString()
                                  << QStringLiteral("串口 /dev/ttyUSB0 已断开：升级未完成（已写入 "
                                                    "2048 / 5000 字节），设备需要重新升级。串口已"
                                                    "关闭。（对端关闭了线路，或设备已断开）");
}

void TestSerialPort::lostDuringUpgradeTexts()
{
    QFETCH(bool, chinese);
    QFETCH(QString, reason);
    QFETCH(QString, text);
    QCOMPARE(
        links::lostDuringUpgradeText((chinese ? iap::Language::Chinese : iap::Language::English),
                                     QStringLiteral("/dev/ttyUSB0"), 2048, 5000, reason),
        text);
}

// One line under several names is one line.
void TestSerialPort::canonicalNames_data()
{
    QTest::addColumn<QString>("spelling"); // @ = the simulator's port
    QTest::newRow("as printed") << "@";
    QTest::newRow("double slash") << "@//";
    QTest::newRow("dot segment") << "@/.";
    QTest::newRow("symbolic link") << "link";
}

void TestSerialPort::canonicalNames()
{
    QFETCH(QString, spelling);
    Simulator sim;
    QVERIFY(sim.path.startsWith(QLatin1String("/dev/pts/")));
    QTemporaryDir dir;
    QString name = sim.path;
    if (spelling == QLatin1String("@//")) {
        name.replace(QStringLiteral("/pts/"), QStringLiteral("/pts//"));
    } else if (spelling == QLatin1String("@/.")) {
        name.replace(QStringLiteral("/pts/"), QStringLiteral("/pts/./"));
    } else if (spelling == QLatin1String("link")) {
        name = dir.filePath(QStringLiteral("ttyLink"));
        QVERIFY(QFile::link(sim.path, name));
    }
    QCOMPARE(canonicalPortName(name), sim.path);
    QCOMPARE(canonicalPortName(QStringLiteral("ttyIAPnope")), QStringLiteral("/dev/ttyIAPnope"));

    // Whoever holds the line, by any name, a second open under this name is turned away as
    // in use, and the line is the holder's alone (TIOCEXCL) until it is closed.
    Serial holder;
    QVERIFY(holder.openPort(sim.path, 115200));
    Serial second;
    QVERIFY(!second.openPort(name, 115200));
    QCOMPARE(second.lastError(), links::SerialError::Busy);
    int exclusive = 0;
    QCOMPARE(::ioctl(int(holder.port->handle()), TIOCGEXCL, &exclusive), 0);
    QCOMPARE(exclusive, 1);
    holder.closePort();
    QVERIFY(second.openPort(name, 115200));
    second.closePort();
    // Given back at close: a plain open of the line sees no exclusive use.
    const int fd = ::open(QFile::encodeName(sim.path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    QVERIFY(fd >= 0);
    exclusive = -1;
    QCOMPARE(::ioctl(fd, TIOCGEXCL, &exclusive), 0);
    ::close(fd);
    QCOMPARE(exclusive, 0);
}

void TestSerialPort::lostLine_data()
{
    QTest::addColumn<bool>("killSimulator");
    QTest::newRow("simulator hangs up") << false;
    QTest::newRow("simulator killed") << true;
}

void TestSerialPort::lostLine()
{
    QFETCH(bool, killSimulator);
    Simulator sim(killSimulator
                      ? QStringList{}
                      : QStringList{QStringLiteral("--hangup-after"), QStringLiteral("0")});
    Serial serial;
    int lostCalls = 0;
    links::SerialError lostError = links::SerialError::None;
    bool openDuringHandler = true;
    QString lostReason;
    serial.setLostHandler([&](links::SerialError error, const QString &reason) {
        ++lostCalls;
        lostError = error;
        lostReason = reason;
        openDuringHandler = serial.isOpen();
    });
    QVERIFY(serial.openPort(sim.path, 115200));
    if (killSimulator)
        sim.process.kill();
    else
        serial.sendData(requestFor(100));
    QTRY_COMPARE_WITH_TIMEOUT(lostCalls, 1, 5000);
    QVERIFY(!openDuringHandler);
    QVERIFY(!serial.isOpen());
    QCOMPARE(int(lostError), int(links::SerialError::DeviceLost));
    // The system's words for a line whose other end went ("Resource temporarily unavailable",
    // "Inappropriate ioctl for device") say nothing: the text says what happened instead.
    QCOMPARE(lostReason, QString());
    QCOMPARE(links::serialErrorText(lostError, iap::Language::English, sim.path, lostReason),
             QStringLiteral("Serial port %1 was lost: the other end closed the line or the device "
                            "disappeared. The port has been closed.")
                 .arg(sim.path));

    // A closed line costs nothing: no error loop keeps the process busy.
    const qint64 before = processCpuMicroseconds();
    QTest::qWait(300);
    const qint64 used = processCpuMicroseconds() - before;
    QVERIFY2(used < 50000, qPrintable(QStringLiteral("%1 us of CPU in 300 ms").arg(used)));
    QCOMPARE(lostCalls, 1);

    if (!killSimulator) {
        QTRY_COMPARE_WITH_TIMEOUT(sim.process.state(), QProcess::NotRunning, 5000);
        QCOMPARE(sim.process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(sim.process.exitCode(), 0);
        const QByteArray out = sim.process.readAllStandardOutput();
        QVERIFY2(out.startsWith("{\"event\":\"hangup\""), out.constData());
    }
}

QTEST_GUILESS_MAIN(TestSerialPort)
#include "tst_serialport.moc"
