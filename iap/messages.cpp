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
    {Text::ConvertedImage,
     "%1 file: addresses %2-%3; the image starts at %2 (the device receives it from its first "
     "byte)",
     "%1 文件：地址 %2-%3；镜像从 %2 开始（设备从镜像的第一个字节开始接收）"},
    {Text::PortClosedDuringRun,
     "The port was closed during the upgrade: the upgrade stopped (%1 of %2 bytes written). "
     "Open the port and press Download to run it again.",
     "升级过程中串口被关闭：升级已停止（已写入 %1 / %2 "
     "字节）。请打开串口并点击“下载固件”重新升级。"},
    {Text::FileReloaded, "\"%1\" changed after it was loaded: loaded again.",
     "“%1”在加载后已被修改：已重新加载。"},
};

QString recordFaultText(const ImageFault &fault, Language language)
{
    switch (fault.record) {
    case RecordFault::None:
        break;
    case RecordFault::BadCharacter:
        return language == Language::Chinese
                   ? QStringLiteral("含有非十六进制数字的字符")
                   : QStringLiteral("a character that is not a hexadecimal digit");
    case RecordFault::NotText:
        return (language == Language::Chinese ? QStringLiteral("含有非文本字节（%1）")
                                              : QStringLiteral("a byte that is not text (%1)"))
            .arg(QStringLiteral("0x") +
                 QString::number(fault.byte, 16).toUpper().rightJustified(2, QLatin1Char('0')));
    case RecordFault::BadStart:
        if (fault.format == ImageFormat::SRecord)
            return language == Language::Chinese
                       ? QStringLiteral("行首不是 S 和记录类型")
                       : QStringLiteral("the line does not start with S and a record type");
        return language == Language::Chinese ? QStringLiteral("行首不是“:”")
                                             : QStringLiteral("the line does not start with ':'");
    case RecordFault::BadLength:
        return language == Language::Chinese
                   ? QStringLiteral("长度字节与该行不符")
                   : QStringLiteral("the length byte does not match the line");
    case RecordFault::UnknownType:
        return language == Language::Chinese ? QStringLiteral("未知的记录类型")
                                             : QStringLiteral("unknown record type");
    case RecordFault::BadAddressRecord:
        return language == Language::Chinese
                   ? QStringLiteral("地址记录长度错误")
                   : QStringLiteral("an address record of the wrong length");
    case RecordFault::BadEndRecord:
        return language == Language::Chinese ? QStringLiteral("结束记录格式错误")
                                             : QStringLiteral("an end record of the wrong length");
    case RecordFault::DataAfterEnd:
        return language == Language::Chinese ? QStringLiteral("结束记录之后还有记录")
                                             : QStringLiteral("records after the end record");
    case RecordFault::LineTooLong:
        return language == Language::Chinese ? QStringLiteral("比任何记录都长")
                                             : QStringLiteral("longer than any record");
    case RecordFault::TooManyBlocks:
        return language == Language::Chinese
                   ? QStringLiteral("分散的数据块超过 1048576 个")
                   : QStringLiteral("more than 1048576 separate pieces of data");
    case RecordFault::ElfHeader:
        return language == Language::Chinese
                   ? QStringLiteral("文件头不完整，或类别、字节序未知")
                   : QStringLiteral(
                         "the header is cut short or names an unknown class or byte order");
    case RecordFault::ElfProgramHeaders:
        return language == Language::Chinese
                   ? QStringLiteral("程序头超出文件范围或大小错误")
                   : QStringLiteral(
                         "the program headers lie outside the file or have the wrong size");
    case RecordFault::ElfSegmentOutside:
        return language == Language::Chinese
                   ? QStringLiteral("某个段的数据超出文件范围")
                   : QStringLiteral("a segment's bytes lie outside the file");
    case RecordFault::ElfSegmentSize:
        return language == Language::Chinese
                   ? QStringLiteral("某个段在文件中的大小超过其内存大小")
                   : QStringLiteral("a segment is larger in the file than in memory");
    case RecordFault::AddressOverflow:
        return language == Language::Chinese
                   ? QStringLiteral("数据超出地址空间末尾")
                   : QStringLiteral("data beyond the end of the address space");
    case RecordFault::Utf16Text: // errorText words it whole
        break;
    }
    return QString();
}

} // namespace

QString text(Text t, Language language)
{
    const Pair &p = texts[static_cast<int>(t)];
    Q_ASSERT(p.id == t);
    return QString::fromUtf8(language == Language::Chinese ? p.chinese : p.english);
}

QString formatTitle(ImageFormat format)
{
    switch (format) {
    case ImageFormat::IntelHex:
        return QStringLiteral("Intel HEX");
    case ImageFormat::SRecord:
        return QStringLiteral("Motorola S-record");
    case ImageFormat::Elf:
        return QStringLiteral("ELF");
    case ImageFormat::Auto:
    case ImageFormat::Binary:
        break;
    }
    return QStringLiteral("binary");
}

QString addressText(quint64 address)
{
    return QStringLiteral("0x") +
           QString::number(address, 16).toUpper().rightJustified(8, QLatin1Char('0'));
}

QString errorText(IapError error, Language language, const QString &path, const QString &detail,
                  const ImageFault &fault)
{
    const QString limit = QString::number(IapContext::MaxImageBytes);
    const QString packets = QString::number(IapContext::MaxPackets);
    switch (error) {
    case IapError::None:
        return QString();
    case IapError::FileNotFound:
        return language == Language::Chinese
                   ? QStringLiteral("无法打开固件文件“%1”：文件不存在").arg(path)
                   : QStringLiteral("Cannot open firmware file \"%1\": no such file").arg(path);
    case IapError::FileUnreadable:
        return language == Language::Chinese
                   ? QStringLiteral("无法读取固件文件“%1”：%2").arg(path, detail)
                   : QStringLiteral("Cannot read firmware file \"%1\": %2").arg(path, detail);
    case IapError::FileLinkLoop:
        return language == Language::Chinese
                   ? QStringLiteral("无法打开固件文件“%1”：符号链接构成循环").arg(path)
                   : QStringLiteral("Cannot open firmware file \"%1\": its symbolic links form a "
                                    "loop")
                         .arg(path);
    case IapError::FileNotRegular:
        return language == Language::Chinese
                   ? QStringLiteral("无法读取固件文件“%1”：不是普通文件（管道、设备或套接字）")
                         .arg(path)
                   : QStringLiteral("Cannot read firmware file \"%1\": not a regular file (a "
                                    "pipe, a device or a socket)")
                         .arg(path);
    case IapError::FileEmpty:
        return language == Language::Chinese
                   ? QStringLiteral("固件文件“%1”为空，没有可发送的数据").arg(path)
                   : QStringLiteral("Firmware file \"%1\" is empty: nothing to send").arg(path);
    case IapError::FileTooLarge:
        return language == Language::Chinese
                   ? QStringLiteral("固件文件“%1”过大：%2 字节，最多 %3 字节（%4 包）")
                         .arg(path, detail, limit, packets)
                   : QStringLiteral("Firmware file \"%1\" is too large: %2 bytes, at most %3 "
                                    "bytes (%4 packages) can be sent")
                         .arg(path, detail, limit, packets);
    case IapError::EmptyImage:
        return language == Language::Chinese
                   ? QStringLiteral("未加载可用的固件：请先选择一个非空的固件文件")
                   : QStringLiteral(
                         "No usable firmware loaded: choose a non-empty firmware file first");
    case IapError::ImageChecksum:
        return language == Language::Chinese
                   ? QStringLiteral("固件文件“%1”：第 %2 行校验和错误")
                         .arg(path, QString::number(fault.line))
                   : QStringLiteral("Firmware file \"%1\": checksum error on line %2")
                         .arg(path, QString::number(fault.line));
    case IapError::ImageMalformed:
        if (fault.record == RecordFault::Utf16Text)
            return language == Language::Chinese
                       ? QStringLiteral("固件文件“%1”是 UTF-16 编码的 %2 文本：请将其另存为 "
                                        "ASCII 或 UTF-8 后再加载")
                             .arg(path, formatTitle(fault.format))
                       : QStringLiteral("Firmware file \"%1\" is %2 text saved as UTF-16: save "
                                        "it as ASCII or UTF-8 and load it again")
                             .arg(path, formatTitle(fault.format));
        if (fault.line > 0)
            return language == Language::Chinese
                       ? QStringLiteral("固件文件“%1”：第 %2 行记录格式错误：%3")
                             .arg(path, QString::number(fault.line),
                                  recordFaultText(fault, language))
                       : QStringLiteral("Firmware file \"%1\": malformed record on line %2: %3")
                             .arg(path, QString::number(fault.line),
                                  recordFaultText(fault, language));
        return language == Language::Chinese
                   ? QStringLiteral("固件文件“%1”：%2 文件格式错误：%3")
                         .arg(path, formatTitle(fault.format), recordFaultText(fault, language))
                   : QStringLiteral("Firmware file \"%1\": malformed %2 file: %3")
                         .arg(path, formatTitle(fault.format), recordFaultText(fault, language));
    case IapError::ImageNoEnd:
        if (fault.format == ImageFormat::SRecord)
            return language == Language::Chinese
                       ? QStringLiteral("固件文件“%1”：缺少终止记录（S7、S8 或 S9），文件不完整")
                             .arg(path)
                       : QStringLiteral("Firmware file \"%1\": no termination record (S7, S8 "
                                        "or S9): the file is cut short")
                             .arg(path);
        return language == Language::Chinese
                   ? QStringLiteral("固件文件“%1”：缺少文件结束记录（类型 01），文件不完整")
                         .arg(path)
                   : QStringLiteral("Firmware file \"%1\": no end-of-file record (type 01): the "
                                    "file is cut short")
                         .arg(path);
    case IapError::ImageCountMismatch:
        return language == Language::Chinese
                   ? QStringLiteral("固件文件“%1”：第 %2 行的记录计数为 %3 条数据记录，而文件中有 "
                                    "%4 条")
                         .arg(path, QString::number(fault.line), QString::number(fault.expected),
                              QString::number(fault.found))
                   : QStringLiteral("Firmware file \"%1\": the record count on line %2 says %3 "
                                    "data records, the file has %4")
                         .arg(path, QString::number(fault.line), QString::number(fault.expected),
                              QString::number(fault.found));
    case IapError::ImageOverlap:
        return language == Language::Chinese
                   ? QStringLiteral("固件文件“%1”：数据重叠：%2-%3 与 %4-%5")
                         .arg(path, addressText(fault.firstLow), addressText(fault.firstHigh),
                              addressText(fault.secondLow), addressText(fault.secondHigh))
                   : QStringLiteral("Firmware file \"%1\": overlapping data: %2-%3 and %4-%5")
                         .arg(path, addressText(fault.firstLow), addressText(fault.firstHigh),
                              addressText(fault.secondLow), addressText(fault.secondHigh));
    case IapError::ImageNoData:
        return language == Language::Chinese
                   ? QStringLiteral("固件文件“%1”不含任何数据，没有可发送的内容").arg(path)
                   : QStringLiteral("Firmware file \"%1\" holds no data: nothing to send")
                         .arg(path);
    case IapError::ImageGap:
        return language == Language::Chinese
                   ? QStringLiteral("固件文件“%1”包含两个相距超过 1 MiB 的镜像：%2-%3 与 "
                                    "%4-%5；请分别烧写")
                         .arg(path, addressText(fault.firstLow), addressText(fault.firstHigh),
                              addressText(fault.secondLow), addressText(fault.secondHigh))
                   : QStringLiteral("Firmware file \"%1\" holds two images more than 1 MiB "
                                    "apart: %2-%3 and %4-%5; flash them one at a time")
                         .arg(path, addressText(fault.firstLow), addressText(fault.firstHigh),
                              addressText(fault.secondLow), addressText(fault.secondHigh));
    case IapError::ImageTooLarge: {
        const QString packages =
            QString::number(IapContext::MaxImageBytes / IapContext::DefaultPacketSize);
        return language == Language::Chinese
                   ? QStringLiteral("固件文件“%1”：镜像 %2-%3 共 %4 字节，超过包数上限（%5 "
                                    "包）：最多可发送 %6 字节")
                         .arg(path, addressText(fault.firstLow), addressText(fault.firstHigh),
                              QString::number(fault.expected), packages, limit)
                   : QStringLiteral("Firmware file \"%1\": the image %2-%3 is %4 bytes, over "
                                    "the package limit (%5 packages): at most %6 bytes can be "
                                    "sent")
                         .arg(path, addressText(fault.firstLow), addressText(fault.firstHigh),
                              QString::number(fault.expected), packages, limit);
    }
    case IapError::ImageBelowBase:
        return language == Language::Chinese
                   ? QStringLiteral("固件文件“%1”：地址 %2 处的数据低于起始地址 %3")
                         .arg(path, addressText(fault.secondLow), addressText(fault.firstLow))
                   : QStringLiteral("Firmware file \"%1\": data at %2 lies below the start "
                                    "address %3")
                         .arg(path, addressText(fault.secondLow), addressText(fault.firstLow));
    case IapError::ImageBaseGap:
        return language == Language::Chinese
                   ? QStringLiteral("固件文件“%1”：起始地址 %2 比数据（%4-%5）低 1 MiB 以上："
                                    "%2-%3 将全部作为 0xFF 发送；请检查起始地址")
                         .arg(path, addressText(fault.firstLow), addressText(fault.firstHigh),
                              addressText(fault.secondLow), addressText(fault.secondHigh))
                   : QStringLiteral("Firmware file \"%1\": the start address %2 lies more than "
                                    "1 MiB below the data (%4-%5): %2-%3 would be sent as "
                                    "0xFF; check the start address")
                         .arg(path, addressText(fault.firstLow), addressText(fault.firstHigh),
                              addressText(fault.secondLow), addressText(fault.secondHigh));
    case IapError::ImageText:
        return language == Language::Chinese
                   ? QStringLiteral("固件文件“%1”是文本，不是固件镜像（二进制镜像、Intel HEX、"
                                    "Motorola S-record 或 ELF）；如确要原样发送，请用 --format "
                                    "bin")
                         .arg(path)
                   : QStringLiteral("Firmware file \"%1\" is text, not a firmware image (a "
                                    "raw binary, Intel HEX, Motorola S-record or ELF); "
                                    "--format bin sends it as it is")
                         .arg(path);
    }
    return QString();
}

} // namespace iap
