#include "linktext.h"

namespace links {

QString portNameErrorText(PortNameError error, iap::Language language, const QString &text)
{
    const QString forms = language == iap::Language::Chinese
                              ? QStringLiteral("请写成设备路径、rfc2217://主机:端口 或 "
                                               "socket://主机:端口（IPv6 地址加方括号，如 "
                                               "rfc2217://[::1]:4000）")
                              : QStringLiteral("give a device path, rfc2217://HOST:PORT or "
                                               "socket://HOST:PORT (an IPv6 address in brackets, "
                                               "e.g. rfc2217://[::1]:4000)");
    QString what;
    switch (error) {
    case PortNameError::None:
        return QString();
    case PortNameError::Empty:
        return language == iap::Language::Chinese ? QStringLiteral("--port 需要一个名称。")
                                                  : QStringLiteral("--port needs a name.");
    case PortNameError::UnknownScheme:
        what = language == iap::Language::Chinese ? QStringLiteral("不认识的协议")
                                                  : QStringLiteral("unknown scheme");
        break;
    case PortNameError::NoHost:
        what = language == iap::Language::Chinese ? QStringLiteral("缺少主机")
                                                  : QStringLiteral("no host");
        break;
    case PortNameError::BadHost:
        what = language == iap::Language::Chinese ? QStringLiteral("主机名或地址无效")
                                                  : QStringLiteral("not a host name or address");
        break;
    case PortNameError::NoPort:
        what = language == iap::Language::Chinese ? QStringLiteral("缺少 :端口")
                                                  : QStringLiteral("no :PORT after the host");
        break;
    case PortNameError::BadPort:
        what = language == iap::Language::Chinese
                   ? QStringLiteral("端口必须是 1 到 65535 的数字")
                   : QStringLiteral("the port must be a number from 1 to 65535");
        break;
    case PortNameError::ExtraText:
        what = language == iap::Language::Chinese
                   ? QStringLiteral("端口号后面不能再有内容")
                   : QStringLiteral("nothing may follow the port number");
        break;
    }
    return language == iap::Language::Chinese
               ? QStringLiteral("端口 \"%1\" 无效：%2；%3。").arg(text, what, forms)
               : QStringLiteral("port \"%1\" is not valid: %2; %3.").arg(text, what, forms);
}

QString resetSequenceErrorText(ResetSequenceError error, iap::Language language,
                               const QString &option, const QString &badStep)
{
    const QString forms = language == iap::Language::Chinese
                              ? QStringLiteral("步骤用逗号分隔：dtr=1、dtr=0、rts=1、rts=0、"
                                               "wait=毫秒，例如 dtr=1,wait=100,dtr=0")
                              : QStringLiteral("steps separated by commas: dtr=1, dtr=0, "
                                               "rts=1, rts=0, wait=MS, e.g. "
                                               "dtr=1,wait=100,dtr=0");
    QString what;
    switch (error) {
    case ResetSequenceError::None:
        return QString();
    case ResetSequenceError::Empty:
        what = language == iap::Language::Chinese ? QStringLiteral("序列为空")
                                                  : QStringLiteral("the sequence is empty");
        break;
    case ResetSequenceError::BadStep:
        what = language == iap::Language::Chinese
                   ? QStringLiteral("无法识别步骤 \"%1\"").arg(badStep)
                   : QStringLiteral("\"%1\" is not a step").arg(badStep);
        break;
    case ResetSequenceError::BadWait:
        what = language == iap::Language::Chinese
                   ? QStringLiteral("\"%1\"：等待时间必须是 0 到 %2 的整数毫秒")
                         .arg(badStep)
                         .arg(reset::MaxWait.count())
                   : QStringLiteral("\"%1\": a wait is a whole number of milliseconds from 0 "
                                    "to %2")
                         .arg(badStep)
                         .arg(reset::MaxWait.count());
        break;
    case ResetSequenceError::TooLong:
        what = language == iap::Language::Chinese
                   ? QStringLiteral("最多 %1 个步骤").arg(reset::MaxSteps)
                   : QStringLiteral("at most %1 steps").arg(reset::MaxSteps);
        break;
    case ResetSequenceError::NoLine:
        what = language == iap::Language::Chinese ? QStringLiteral("序列中没有设置任何信号线")
                                                  : QStringLiteral("the sequence sets no line");
        break;
    }
    return language == iap::Language::Chinese
               ? QStringLiteral("%1 无效：%2；%3。").arg(option, what, forms)
               : QStringLiteral("%1 is not valid: %2; %3.").arg(option, what, forms);
}

QString modemLineWarningText(iap::Language language, const QString &port, ModemLine line,
                             std::chrono::milliseconds wait)
{
    const QString name = modemLineName(line);
    const QString secs = QString::number(wait.count() / 1000.0);
    QString why;
    if (language == iap::Language::Chinese)
        why = wait.count() > 0
                  ? QStringLiteral("该端口没有调制解调器控制线，或服务器未在 %1 秒内确认").arg(secs)
                  : QStringLiteral("该端口没有调制解调器控制线");
    else
        why = wait.count() > 0
                  ? QStringLiteral("the port has no modem lines, or the server did not confirm "
                                   "it within %1 s")
                        .arg(secs)
                  : QStringLiteral("the port has no modem lines");
    return language == iap::Language::Chinese
               ? QStringLiteral("%1：无法设置 %2（%3），未能复位设备。继续发送请求；如果设备"
                                "不在引导程序中，请按它的复位键。")
                     .arg(port, name, why)
               : QStringLiteral("%1: cannot set %2 (%3), so the board was not reset. The "
                                "requests go on; press the board's reset button if it is "
                                "not in its boot loader.")
                     .arg(port, name, why);
}

} // namespace links
