#include "messages.h"

#include "iapcontext.h"

namespace iap {
namespace {

struct Pair
{
    Text id;
    const char *english;
    const char *chinese;
};

// Kept in the order of the enum; text() checks the id.
constexpr Pair texts[] = {
    {Text::Summary, "Firmware Length: %1\r\n Package size: %2\r\n Package total: %3",
     "固件长度：%1\r\n包大小：%2\r\n包总数：%3"},
    {Text::RequestUpdate, "Request firmware update!", "请求更新固件!"},
    {Text::ResponseAccepted, "Receive the response, enter the firmware brush process!",
     "收到响应，进入刷固件流程!"},
    {Text::Progress, "Packet %1 has been sent, for a total of %2 packets", "已发送第%1包,共%2包"},
    {Text::FlashWriteSuccess, "Flash write success!", "Flash写入成功!"},
    {Text::UpdateCompleted, "update completed", "更新完成!"},
    {Text::DataErrorResend, "Data error, resend!", "数据错误，重新发送!"},
    {Text::WaitTimeoutResend, "Wait timeout, resend!", "等待超时,重发!"},
    {Text::ReceiveTimeout, "接收信息超时!", "接收信息超时!"},
    {Text::DownloadLabel, "Download", "下载固件"},
    {Text::CancelLabel, "Cancel", "取消"},
    {Text::OpenLabel, "Open", "打开"},
    {Text::CloseLabel, "Close", "关闭"},
    {Text::AboutTitle, "About", "关于"},
    {Text::AboutText, "Dranvel Upgrade Assistant V1.0", "Dranvel Upgrade Assistant V1.0"},
};

} // namespace

QString text(Text t, bool chinese)
{
    const Pair &p = texts[static_cast<int>(t)];
    Q_ASSERT(p.id == t);
    return QString::fromUtf8(chinese ? p.chinese : p.english);
}

QString errorText(IapError error, bool chinese, const QString &path, const QString &detail)
{
    const QString limit = QString::number(IapContext::MaxImageBytes);
    const QString packets = QString::number(IapContext::MaxPackets);
    switch (error) {
    case IapError::None:
        return QString();
    case IapError::FileNotFound:
        return chinese ? QStringLiteral("无法打开固件文件“%1”：文件不存在").arg(path)
                       : QStringLiteral("Cannot open firmware file \"%1\": no such file").arg(path);
    case IapError::FileUnreadable:
        return chinese ? QStringLiteral("无法读取固件文件“%1”：%2").arg(path, detail)
                       : QStringLiteral("Cannot read firmware file \"%1\": %2").arg(path, detail);
    case IapError::FileLinkLoop:
        return chinese
                   ? QStringLiteral("无法打开固件文件“%1”：符号链接构成循环").arg(path)
                   : QStringLiteral("Cannot open firmware file \"%1\": its symbolic links form a "
                                    "loop")
                         .arg(path);
    case IapError::FileNotRegular:
        return chinese ? QStringLiteral("无法读取固件文件“%1”：不是普通文件（管道、设备或套接字）")
                             .arg(path)
                       : QStringLiteral("Cannot read firmware file \"%1\": not a regular file (a "
                                        "pipe, a device or a socket)")
                             .arg(path);
    case IapError::FileEmpty:
        return chinese ? QStringLiteral("固件文件“%1”为空，没有可发送的数据").arg(path)
                       : QStringLiteral("Firmware file \"%1\" is empty: nothing to send").arg(path);
    case IapError::FileTooLarge:
        return chinese ? QStringLiteral("固件文件“%1”过大：%2 字节，最多 %3 字节（%4 包）")
                             .arg(path, detail, limit, packets)
                       : QStringLiteral("Firmware file \"%1\" is too large: %2 bytes, at most %3 "
                                        "bytes (%4 packages) can be sent")
                             .arg(path, detail, limit, packets);
    case IapError::EmptyImage:
        return chinese ? QStringLiteral("未加载可用的固件：请先选择一个非空的固件文件")
                       : QStringLiteral(
                             "No usable firmware loaded: choose a non-empty firmware file first");
    }
    return QString();
}

} // namespace iap
