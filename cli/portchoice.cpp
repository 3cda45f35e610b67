#include "portchoice.h"

#include <QSerialPortInfo>
#include <QStringList>
#include <algorithm>

namespace flash {

namespace {

QString ids(const PortCandidate &p)
{
    if (!p.isUsb())
        return QString();
    return QStringLiteral("%1:%2")
        .arg(p.vid, 4, 16, QLatin1Char('0'))
        .arg(p.pid, 4, 16, QLatin1Char('0'));
}

QString what(const PortCandidate &p)
{
    return p.description.isEmpty() ? p.manufacturer : p.description;
}

// One aligned line per port: location, description, VID:PID.
QString table(const QVector<PortCandidate> &ports)
{
    int width[2] = {0, 0};
    for (const PortCandidate &p : ports) {
        width[0] = qMax(width[0], int(p.location.size()));
        width[1] = qMax(width[1], int(what(p).size()));
    }
    QStringList lines;
    for (const PortCandidate &p : ports) {
        const QString line =
            p.location.leftJustified(width[0] + 2) + what(p).leftJustified(width[1] + 2) + ids(p);
        lines << QStringLiteral("  ") + line.trimmed();
    }
    return lines.join(QLatin1Char('\n'));
}

} // namespace

QVector<PortCandidate> presentPorts()
{
    QVector<PortCandidate> ports;
    for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts()) {
        PortCandidate p;
        p.location = info.systemLocation();
        p.description = info.description();
        p.manufacturer = info.manufacturer();
        if (info.hasVendorIdentifier() && info.hasProductIdentifier()) {
            p.vid = info.vendorIdentifier();
            p.pid = info.productIdentifier();
        }
        ports << p;
    }
    return ports;
}

PortChoice choosePort(QVector<PortCandidate> ports, iap::Language language)
{
    std::sort(ports.begin(), ports.end(), [](const PortCandidate &a, const PortCandidate &b) {
        return a.location < b.location;
    });
    QVector<PortCandidate> usb;
    QVector<PortCandidate> others;
    for (const PortCandidate &p : qAsConst(ports))
        (p.isUsb() ? usb : others) << p;

    PortChoice choice;
    if (usb.size() == 1) {
        const PortCandidate &p = usb.constFirst();
        const QString comma =
            language == iap::Language::Chinese ? QStringLiteral("，") : QStringLiteral(", ");
        const QString about = what(p).isEmpty() ? ids(p) : what(p) + comma + ids(p);
        choice.port = p.location;
        choice.note = language == iap::Language::Chinese
                          ? QStringLiteral("使用 %1（%2），这是唯一的 USB 串口；用 -p 名称 "
                                           "可选择其他端口。")
                                .arg(p.location, about)
                          : QStringLiteral("Using %1 (%2), the only USB serial port; -p NAME "
                                           "names another.")
                                .arg(p.location, about);
        return choice;
    }
    if (usb.isEmpty()) {
        choice.error = language == iap::Language::Chinese
                           ? QStringLiteral("没有指定端口，也没有连接 USB 串口：请接上设备，"
                                            "或用 -p 名称 指定端口（如 -p /dev/ttyS0、"
                                            "-p rfc2217://主机:端口）。")
                           : QStringLiteral("no port given, and no USB serial port is "
                                            "connected: plug in the board, or name its port "
                                            "with -p NAME (e.g. -p /dev/ttyS0, -p "
                                            "rfc2217://HOST:PORT).");
        if (!others.isEmpty())
            choice.error +=
                (language == iap::Language::Chinese ? QStringLiteral("\n其他串口：\n")
                                                    : QStringLiteral("\nOther serial ports:\n")) +
                table(others);
        return choice;
    }
    choice.error = language == iap::Language::Chinese
                       ? QStringLiteral("没有指定端口，而连接了 %1 个 USB 串口：请用 -p 选择"
                                        "其一，如 -p %2：\n")
                             .arg(usb.size())
                             .arg(usb.constFirst().location)
                       : QStringLiteral("no port given, and %1 USB serial ports are "
                                        "connected: choose one with -p, e.g. -p %2:\n")
                             .arg(usb.size())
                             .arg(usb.constFirst().location);
    choice.error += table(usb);
    return choice;
}

} // namespace flash
