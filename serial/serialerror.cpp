#include "serialerror.h"

#include <cerrno>

namespace links {

namespace {

// " (reason)" when there is a reason to add.
QString detail(const QString &reason)
{
    return reason.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(reason);
}

QString orUnknown(const QString &reason, iap::Language language)
{
    if (!reason.isEmpty())
        return reason;
    return language == iap::Language::Chinese ? QStringLiteral("原因不明")
                                              : QStringLiteral("unknown reason");
}

// A line that went: its reason, or what an empty reason means.
QString orClosed(const QString &reason, iap::Language language)
{
    if (!reason.isEmpty())
        return reason;
    return language == iap::Language::Chinese
               ? QStringLiteral("对端关闭了线路，或设备已断开")
               : QStringLiteral("the other end closed the line or the device disappeared");
}

} // namespace

QString serialErrorText(SerialError error, iap::Language language, const QString &port,
                        const QString &reason)
{
    switch (error) {
    case SerialError::None:
        return QString();
    case SerialError::NoPortName:
        return language == iap::Language::Chinese
                   ? QStringLiteral("未选择串口：请连接设备后点击刷新，再选择串口。")
                   : QStringLiteral("No serial port chosen: connect the device, press "
                                    "Refresh and pick a port.");
    case SerialError::NotFound:
        return language == iap::Language::Chinese
                   ? QStringLiteral("无法打开串口 %1：串口不存在%2。").arg(port, detail(reason))
                   : QStringLiteral("Cannot open serial port %1: the port does not exist%2.")
                         .arg(port, detail(reason));
    case SerialError::PermissionDenied:
#ifdef Q_OS_LINUX
        return language == iap::Language::Chinese
                   ? QStringLiteral("无法打开串口 %1：没有权限。请把当前用户加入 dialout 组"
                                    "（sudo usermod -aG dialout $USER），然后重新登录。")
                         .arg(port)
                   : QStringLiteral("Cannot open serial port %1: permission denied. Add your "
                                    "user to the dialout group (sudo usermod -aG dialout "
                                    "$USER) and log in again.")
                         .arg(port);
#else
        return language == iap::Language::Chinese
                   ? QStringLiteral("无法打开串口 %1：没有权限%2。").arg(port, detail(reason))
                   : QStringLiteral("Cannot open serial port %1: permission denied%2.")
                         .arg(port, detail(reason));
#endif
    case SerialError::Busy:
        return language == iap::Language::Chinese
                   ? QStringLiteral("无法打开串口 %1：串口已被其他程序占用%2。")
                         .arg(port, detail(reason))
                   : QStringLiteral("Cannot open serial port %1: the port is in use by another "
                                    "program%2.")
                         .arg(port, detail(reason));
    case SerialError::OpenFailed:
        return language == iap::Language::Chinese
                   ? QStringLiteral("无法打开串口 %1：%2。")
                         .arg(port, orUnknown(reason, iap::Language::Chinese))
                   : QStringLiteral("Cannot open serial port %1: %2.")
                         .arg(port, orUnknown(reason, iap::Language::English));
    case SerialError::NotOpen:
        return language == iap::Language::Chinese
                   ? QStringLiteral("串口未打开：请先选择并打开串口，再点击下载。")
                   : QStringLiteral("No serial port is open: choose and open the port first, "
                                    "then press Download.");
    case SerialError::DeviceLost:
        return language == iap::Language::Chinese
                   ? QStringLiteral("串口 %1 已断开：%2。串口已关闭。")
                         .arg(port, orClosed(reason, iap::Language::Chinese))
                   : QStringLiteral("Serial port %1 was lost: %2. The port has been closed.")
                         .arg(port, orClosed(reason, iap::Language::English));
    case SerialError::ReadFailed:
        return language == iap::Language::Chinese
                   ? QStringLiteral("串口 %1 读取失败：%2。串口已关闭。")
                         .arg(port, orUnknown(reason, iap::Language::Chinese))
                   : QStringLiteral("Reading serial port %1 failed: %2. The port has been "
                                    "closed.")
                         .arg(port, orUnknown(reason, iap::Language::English));
    case SerialError::WriteFailed:
        return language == iap::Language::Chinese
                   ? QStringLiteral("串口 %1 写入失败：%2。")
                         .arg(port, orUnknown(reason, iap::Language::Chinese))
                   : QStringLiteral("Writing to serial port %1 failed: %2.")
                         .arg(port, orUnknown(reason, iap::Language::English));
    }
    return QString();
}

QString lostDuringUpgradeText(iap::Language language, const QString &port, qint64 bytesDone,
                              qint64 imageBytes, const QString &reason)
{
    return language == iap::Language::Chinese
               ? QStringLiteral("串口 %1 已断开：升级未完成（已写入 %2 / %3 字节），设备需要"
                                "重新升级。串口已关闭。（%4）")
                     .arg(port, QString::number(bytesDone), QString::number(imageBytes),
                          orClosed(reason, iap::Language::Chinese))
               : QStringLiteral("Serial port %1 was lost: the upgrade is incomplete (%2 of %3 "
                                "bytes written) and must be run again. The port has been "
                                "closed. (%4)")
                     .arg(port, QString::number(bytesDone), QString::number(imageBytes),
                          orClosed(reason, iap::Language::English));
}

QString lineLostText(bool midUpgrade, qint64 bytesDone, qint64 imageBytes, iap::Language language,
                     const QString &port, const QString &reason)
{
    if (midUpgrade)
        return lostDuringUpgradeText(language, port, bytesDone, imageBytes, reason);
    return serialErrorText(SerialError::DeviceLost, language, port, reason);
}

QString usefulLossReason(const QString &systemText)
{
    // What a pseudo-terminal whose other end closed, or an adapter pulled out, reports: the
    // errors of the failed call, not of the line.
    for (const int meaningless : {EAGAIN, ENOTTY, EIO, ENXIO, ENODEV, EBADF}) {
        if (systemText == qt_error_string(meaningless))
            return QString();
    }
    if (systemText.startsWith(QLatin1String("Unknown error")))
        return QString();
    return systemText;
}

} // namespace links
