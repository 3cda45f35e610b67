// The port iap-flash takes when none is named: the one USB serial port present, said which;
// with none or several, a usage error listing the candidates and how to choose.
#include "portchoice.h"

#include <QtTest>

using flash::PortCandidate;
using Ports = QVector<PortCandidate>;
Q_DECLARE_METATYPE(Ports)

class TestPortChoice : public QObject
{
    Q_OBJECT
private slots:
    void choose_data();
    void choose();
};

void TestPortChoice::choose_data()
{
    QTest::addColumn<Ports>("ports");
    QTest::addColumn<bool>("chinese");
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("text"); // the note with a port, the error without

    // Location, description, manufacturer, USB vendor and product (none for a built-in port).
    const PortCandidate cp2102{"/dev/ttyUSB0", "CP2102 USB to UART Bridge Controller", "", 0x10c4,
                               0xea60};
    const PortCandidate stlink{"/dev/ttyACM0", "STM32 STLink", "", 0x0483, 0x374b};
    const PortCandidate ttyS0{"/dev/ttyS0", "", "", -1, -1};
    const PortCandidate rfcomm{"/dev/rfcomm0", "Bluetooth", "", -1, -1};

    QTest::newRow("one USB port among built-in ones")
        << Ports{ttyS0, cp2102, rfcomm} << false << "/dev/ttyUSB0"
        << "Using /dev/ttyUSB0 (CP2102 USB to UART Bridge Controller, 10c4:ea60), the only USB "
           "serial port; -p NAME names another.";
    QTest::newRow("one USB port without a description")
        << Ports{{"/dev/ttyACM3", "", "", 0x2e8a, 0x000a}} << false << "/dev/ttyACM3"
        << "Using /dev/ttyACM3 (2e8a:000a), the only USB serial port; -p NAME names another.";
    QTest::newRow("one USB port, chinese")
        << Ports{stlink} << true << "/dev/ttyACM0"
        << QString::fromUtf8("使用 /dev/ttyACM0（STM32 STLink，0483:374b），这是唯一的 USB 串口；"
                             "用 -p 名称 可选择其他端口。");
    QTest::newRow("two USB ports: both listed, sorted, aligned")
        << Ports{cp2102, ttyS0, stlink} << false << ""
        << "no port given, and 2 USB serial ports are connected: choose one with -p, e.g. -p "
           "/dev/ttyACM0:\n"
           "  /dev/ttyACM0  STM32 STLink                          0483:374b\n"
           "  /dev/ttyUSB0  CP2102 USB to UART Bridge Controller  10c4:ea60";
    QTest::newRow("no USB port, built-in ones listed")
        << Ports{rfcomm, ttyS0} << false << ""
        << "no port given, and no USB serial port is connected: plug in the board, or name its "
           "port with -p NAME (e.g. -p /dev/ttyS0, -p rfc2217://HOST:PORT).\n"
           "Other serial ports:\n"
           "  /dev/rfcomm0  Bluetooth\n"
           "  /dev/ttyS0";
    QTest::newRow("no port at all")
        << Ports{} << false << ""
        << "no port given, and no USB serial port is connected: plug in the board, or name its "
           "port with -p NAME (e.g. -p /dev/ttyS0, -p rfc2217://HOST:PORT).";
    QTest::newRow("no port at all, chinese")
        << Ports{} << true << ""
        << QString::fromUtf8("没有指定端口，也没有连接 USB 串口：请接上设备，或用 -p 名称 指定端口"
                             "（如 -p /dev/ttyS0、-p rfc2217://主机:端口）。");
}

void TestPortChoice::choose()
{
    QFETCH(Ports, ports);
    QFETCH(bool, chinese);
    QFETCH(QString, port);
    QFETCH(QString, text);
    const flash::PortChoice choice =
        flash::choosePort(ports, (chinese ? iap::Language::Chinese : iap::Language::English));
    QCOMPARE(choice.port, port);
    if (port.isEmpty()) {
        QCOMPARE(choice.error, text);
        QCOMPARE(choice.note, QString());
    } else {
        QCOMPARE(choice.note, text);
        QCOMPARE(choice.error, QString());
    }
}

QTEST_GUILESS_MAIN(TestPortChoice)
#include "tst_portchoice.moc"
