#include "helptext.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QStringList>

namespace flash {

// The language asked for before the command line is parsed (for --help and for a command
// line that does not parse): --lang, else the locale.
QString localeLanguage()
{
    for (const char *name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const QString value = qEnvironmentVariable(name);
        if (!value.isEmpty())
            return value.startsWith(QLatin1String("zh")) ? QStringLiteral("zh")
                                                         : QStringLiteral("en");
    }
    return QStringLiteral("en");
}

QString languageAsked(const QStringList &arguments)
{
    for (int i = 1; i < arguments.size(); ++i) {
        const QString &arg = arguments.at(i);
        if (arg == QLatin1String("--"))
            break;
        if (arg == QLatin1String("--lang") && i + 1 < arguments.size())
            return arguments.at(i + 1);
        if (arg.startsWith(QLatin1String("--lang=")))
            return arg.mid(7);
    }
    return localeLanguage();
}

QString chineseDescription()
{
    return QStringLiteral(
        "把 FIRMWARE 烧写到每个 --port 上设备的引导程序中，升级过程与 Upgrade Assistant 窗口\n"
        "相同（1024 字节一包，CRC-32，逐包确认）。给出多个端口时，镜像同时发往所有端口。\n"
        "\n"
        "端口可以是本机串口，也可以是网络上的串口：rfc2217://主机:端口（RFC 2217 telnet，如\n"
        "ser2net）或 socket://主机:端口（原始 TCP）。不给 --port 时，使用唯一连接的 USB 串口。\n"
        "--reset（或 --reset-sequence）先通过调制解调器信号线让板子进入引导程序，例如\n"
        "  iap-flash --reset-sequence dtr=1,rts=1,wait=100,dtr=0,wait=50,rts=0 app.bin\n"
        "\n"
        "FIRMWARE 按内容读取：Intel HEX、Motorola S-record 和 ELF 文件从最低地址到最高地址合成\n"
        "一个镜像（空隙以 0xFF 发送）；二进制文件按字节原样发送；这些格式中无法读取的文件，以及\n"
        "不属于任何格式的文本（README、夹有杂行的 HEX 文件），以退出码 2 结束（--format bin\n"
        "会把任何文件原样发送）。\n"
        "\n"
        "退出码：0 成功；1 用法错误；2 固件文件（不存在、无法读取、不是普通文件、为空、超过\n"
        "65535 包 = 67107840 字节）；3 端口（无法打开、被占用、传输中断开）；4 设备未及时应答\n"
        "更新请求；5 重发次数过多；6 --verify：设备未应答校验请求；7 --verify：设备中是另一个\n"
        "镜像；8 --log：无法保存某块板的记录；130 被中断（SIGINT、SIGTERM），129 SIGHUP，131\n"
        "SIGQUIT。多个端口时，取所有端口中最大的退出码。\n"
        "\n"
        "使用 --watch 时，在匹配路径上出现的每块板都烧写一次，插上几块就同时烧写几块，直到\n"
        "--count 块板成功（退出码 0）或收到信号为止。");
}

// The same options described in Chinese, by their long name.
void describeInChinese(const QList<QCommandLineOption *> &options)
{
    static const struct
    {
        const char *name;
        const char *text;
    } zh[] = {
        {"help", "显示此帮助并退出。"},
        {"version", "显示版本并退出。"},
        {"port", "要烧写的端口（可重复，多块板同时烧写）：本机串口如 /dev/ttyUSB0、"
                 "rfc2217://主机:端口（网络上的串口，RFC 2217 telnet，如 ser2net）或 "
                 "socket://主机:端口（原始 TCP）；主机为名称、IPv4 地址或 [IPv6 地址]。不给 --port "
                 "和 --watch 时：使用唯一连接的 USB 串口。"},
        {"watch", "烧写出现在与 PATTERN 匹配的路径上的每块板；PATTERN 是 shell 风格的模式，如 "
                  "'/dev/ttyUSB*' 或 '/dev/serial/by-id/usb-*'（请加引号；可重复）。不能与 --port "
                  "同用。"},
        {"count", "与 --watch 一起：成功烧写 N 块板后停止。"},
        {"log", "每尝试一块板就向 FILE 追加一行 JSON（不存在则创建，从不改写），板子结束时立即"
                "写入磁盘。"},
        {"list", "列出本机的串口（名称、描述、厂商、USB VID:PID；当前用户无法打开的串口标为"
                 "“无权限”，并在 stderr 上给出提示；终端上带表头，否则以制表符分隔，--json 时每个"
                 "端口一个 JSON 对象）并退出。"},
        {"baud", "波特率（默认 115200）。"},
        {"lang", "消息和 --help 的语言：en 或 zh（默认取区域设置 LC_ALL、LC_MESSAGES 或 LANG；"
                 "zh* 为中文，其他为英文）。"},
        {"reset", "第一次请求之前，对该调制解调器信号线发一个脉冲：置位 --reset-ms 毫秒后复位，"
                  "用于复位（或启动引脚）接在该线上的板子。rfc2217:// 端口经由服务器。没有调制"
                  "解调器信号线的端口给出一条警告，请求照常进行（请按板上的按钮）。"},
        {"reset-ms", "--reset 置位信号线的时长（默认 100）。"},
        {"reset-sequence", "代替 --reset，用于接了两条线的板子：按顺序置位（1）或复位（0）信号线"
                           "并等待（毫秒），如 dtr=1,rts=1,wait=100,dtr=0,wait=50,rts=0（RTS 上的"
                           "启动引脚保持时，对 DTR 上的复位发脉冲）。"},
        {"after", "升级成功之后：reset 再次对 --reset 的信号线发脉冲（用于要复位才进入新应用的"
                  "引导程序）；none（默认）不动板子。"},
        {"after-sequence", "升级成功之后执行 SEQ（格式同 --reset-sequence），如释放启动引脚后的 "
                           "dtr=1,wait=100,dtr=0。"},
        {"max-resends", "某一包连续重发 N 次后放弃（默认 10；0 = 从不放弃）。"},
        {"request-timeout", "设备在此时间内没有应答更新请求则放弃（默认 30；0 = 一直等待）。"},
        {"ack-timeout", "某包的确认在此时间（实际时间）内未到则重发（默认 5，即窗口的 100 个 "
                        "50 ms 节拍；至少 0.05）。"},
        {"fast", "设备对请求的应答、对最后所发包的确认一到就立即处理，而不是 30 ms 后在下一个 "
                 "50 ms 节拍处理。线路上的其他内容仍等节拍。线路上的字节不变。"},
        {"boost",
         "隐含 --fast。设备接受请求之后，把线路切换到设备（其能力应答）提供且 --boost-baud "
         "允许的最高波特率，并在第一包之前以新速率提问确认；若新速率下无应答，两端都回到"
         "起始速率（设备 1 秒后自行回退），升级在起始速率下继续。不提供此功能的设备收到"
         "的字节与不加此选项时相同。"},
        {"boost-baud", "与 --boost 一起使用：不超过 N 波特（适配器的上限：CP2102 921600，CH340 "
                       "2000000，FT232R 3000000）。"},
        {"verify", "最后一包之后，询问设备现在所存镜像（从其 flash 读回）的长度和 CRC-32，与镜像"
                   "相符才算成功。不应答的引导程序无法校验（退出码 6）；镜像不同时退出码 7。"},
        {"no-capability-check", "第一次请求之前不询问设备能容纳什么：请求立即发出，与窗口相同。"},
        {"json", "在 stdout 上每行输出一个 JSON 对象而不是文本（事件 started、requesting、"
                 "accepted、progress、resend、verified、finished、failed；--watch 时还有 "
                 "watching、plugged、unplugged、summary）。每个对象带时间和端口（整个运行为 "
                 "null）。"},
        {"format", "按此格式读取 FIRMWARE，而不是按内容判断：bin（原始镜像）、hex（Intel HEX）、"
                   "srec（Motorola S-record）或 elf。"},
        {"base", "镜像从 ADDR（0x... 或十进制）开始，而不是从其最低地址开始；到第一个数据之前以 "
                 "0xFF 发送。"},
        {"quiet", "只输出错误。"},
        {"verbose", "输出每个应答的十六进制、升级日志的每一行以及 Qt 的调试输出（各行注明含义）。"},
    };
    for (QCommandLineOption *option : options) {
        for (const auto &t : zh) {
            if (option->names().constLast() == QLatin1String(t.name))
                option->setDescription(QString::fromUtf8(t.text));
        }
    }
}

QString helpText(const QCommandLineParser &parser, iap::Language language)
{
    QString text = parser.helpText();
    if (language != iap::Language::Chinese)
        return text;
    text.replace(QStringLiteral("Usage: "), QStringLiteral("用法："));
    text.replace(QStringLiteral("\nOptions:\n"), QStringLiteral("\n选项：\n"));
    text.replace(QStringLiteral("\nArguments:\n"), QStringLiteral("\n参数：\n"));
    text.replace(QStringLiteral("[options]"), QStringLiteral("[选项]"));
    return text;
}

} // namespace flash
