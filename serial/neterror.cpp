#include "neterror.h"

namespace links {

namespace {

QString detail(const QString &reason)
{
    return reason.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(reason);
}

// The same server as a raw TCP port: what to try when it does not speak RFC 2217.
QString rawName(const QString &port)
{
    const QString scheme = QStringLiteral("rfc2217://");
    if (!port.startsWith(scheme, Qt::CaseInsensitive))
        return port;
    return QStringLiteral("socket://") + port.mid(scheme.size());
}

} // namespace

QString networkErrorText(NetError error, iap::Language language, const QString &port,
                         const QString &reason)
{
    switch (error) {
    case NetError::HostNotFound:
        return language == iap::Language::Chinese
                   ? QStringLiteral("无法连接 %1：无法解析主机名%2。").arg(port, detail(reason))
                   : QStringLiteral("Cannot reach %1: the host name does not resolve%2.")
                         .arg(port, detail(reason));
    case NetError::ConnectionRefused:
        return language == iap::Language::Chinese
                   ? QStringLiteral("无法连接 %1：该端口上没有服务在监听（服务器是否已启动？）%2。")
                         .arg(port, detail(reason))
                   : QStringLiteral("Cannot reach %1: nothing listens at that port (is the "
                                    "server running?)%2.")
                         .arg(port, detail(reason));
    case NetError::ConnectTimedOut:
        return language == iap::Language::Chinese
                   ? QStringLiteral("无法连接 %1：主机在 %2 秒内没有应答。").arg(port, reason)
                   : QStringLiteral("Cannot reach %1: the host did not answer within %2 s.")
                         .arg(port, reason);
    case NetError::Rfc2217Refused:
        return language == iap::Language::Chinese
                   ? QStringLiteral("无法使用 %1：服务器不支持 RFC 2217（COM-PORT 选项）；"
                                    "如果它是原始 TCP 端口，请使用 %2。")
                         .arg(port, rawName(port))
                   : QStringLiteral("Cannot use %1: the server does not offer RFC 2217 (the "
                                    "COM-PORT option); if it is a raw TCP port, use %2.")
                         .arg(port, rawName(port));
    case NetError::Rfc2217Timeout:
        return language == iap::Language::Chinese
                   ? QStringLiteral("无法使用 %1：服务器在 %2 秒内没有同意 RFC 2217；"
                                    "如果它是原始 TCP 端口，请使用 %3。")
                         .arg(port, reason, rawName(port))
                   : QStringLiteral("Cannot use %1: the server did not agree to RFC 2217 "
                                    "within %2 s; if it is a raw TCP port, use %3.")
                         .arg(port, reason, rawName(port));
    case NetError::BaudRateRefused:
        return language == iap::Language::Chinese
                   ? QStringLiteral("无法使用 %1：服务器把线路设为 %2 波特，而不是所要求的"
                                    "波特率。")
                         .arg(port, reason)
                   : QStringLiteral("Cannot use %1: the server set the line to %2 baud, not "
                                    "the baud rate asked for.")
                         .arg(port, reason);
    case NetError::ServerClosed:
        return language == iap::Language::Chinese
                   ? QStringLiteral("无法使用 %1：服务器关闭了连接%2。").arg(port, detail(reason))
                   : QStringLiteral("Cannot use %1: the server closed the connection%2.")
                         .arg(port, detail(reason));
    case NetError::NetworkFailed:
        return language == iap::Language::Chinese
                   ? QStringLiteral("无法连接 %1：%2。")
                         .arg(port, reason.isEmpty() ? QStringLiteral("网络错误") : reason)
                   : QStringLiteral("Cannot reach %1: %2.")
                         .arg(port, reason.isEmpty() ? QStringLiteral("network error") : reason);
    default:
        return QString();
    }
}

QString lostReasonText(NetError error, iap::Language language, const QString &reason)
{
    if (error != NetError::ServerClosed)
        return reason;
    if (language == iap::Language::Chinese)
        return reason.isEmpty() ? QStringLiteral("服务器关闭了连接")
                                : QStringLiteral("服务器关闭了连接：%1").arg(reason);
    return reason.isEmpty() ? QStringLiteral("the server closed the connection")
                            : QStringLiteral("the server closed the connection: %1").arg(reason);
}

} // namespace links
