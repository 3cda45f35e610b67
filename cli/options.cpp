#include "options.h"

#include "clitext.h"
#include "helptext.h"
#include "linktext.h"
#include "portname.h"
#include "resetsequence.h"
#include "timing.h"

#include <QCommandLineParser>
#include <QFile>
#include <cmath>
#include <sys/stat.h>

namespace flash {

using flash::UsageError;

namespace {

QString description()
{
    return QStringLiteral(
        "Flashes FIRMWARE into the boot loader of the device on each --port, with the same\n"
        "upgrade as the Upgrade Assistant window (1024-byte packages, CRC-32, acknowledged one\n"
        "by one). With several ports the image goes to all of them at once.\n"
        "\n"
        "A port is a serial port of this machine or one on the network: rfc2217://HOST:PORT\n"
        "(telnet with RFC 2217, e.g. ser2net) or socket://HOST:PORT (raw TCP). Without --port,\n"
        "the one USB serial port present is used. --reset (or --reset-sequence) first puts the\n"
        "board into its boot loader through its modem lines, e.g.\n"
        "  iap-flash --reset-sequence dtr=1,rts=1,wait=100,dtr=0,wait=50,rts=0 app.bin\n"
        "\n"
        "FIRMWARE is read by its content: Intel HEX, Motorola S-record and ELF files become one\n"
        "image from their lowest address to their highest (gaps sent as 0xFF); a binary is sent\n"
        "byte for byte; a file of those formats that cannot be read, and text that is none of\n"
        "them (a README, a HEX file with a stray line), end with code 2 (--format bin sends any\n"
        "file as it is).\n"
        "\n"
        "Exit codes: 0 success; 1 usage; 2 firmware file (missing, unreadable, not a regular\n"
        "file, empty, over 65535 packages = 67107840 bytes); 3 port (cannot open, in use, lost\n"
        "during the transfer); 4 the device did not answer the update request in time; 5 too many\n"
        "resends; 6 --verify: the device did not answer the verification question; 7 --verify:\n"
        "the device holds another image; 8 --log: a board's record could not be kept; 9 the\n"
        "device refused the request (its reason is shown); 130 interrupted (SIGINT, SIGTERM),\n"
        "129 SIGHUP, 131 SIGQUIT. With several ports, the highest code of any port.\n"
        "\n"
        "Before its first request iap-flash asks the device what fits it (for at most 300 ms;\n"
        "a device that does not answer gets the requests then): an image outside the device's\n"
        "application area, or larger than it, ends with code 2 before anything is erased.\n"
        "\n"
        "With --watch, every board that appears at a matching path is flashed once, as many at\n"
        "once as are plugged in, until --count boards succeeded (exit 0) or until a signal.");
}

struct Declared
{
    QCommandLineOption help{{QStringLiteral("h"), QStringLiteral("help")},
                            QStringLiteral("Show this help and exit.")};
    QCommandLineOption version{{QStringLiteral("V"), QStringLiteral("version")},
                               QStringLiteral("Show the version and exit.")};
    QCommandLineOption port{
        {QStringLiteral("p"), QStringLiteral("port")},
        QStringLiteral("Port to flash (repeat for several boards flashed at once): a serial port "
                       "such as /dev/ttyUSB0, rfc2217://HOST:PORT (a serial port on the network, "
                       "telnet with RFC 2217, e.g. ser2net) or socket://HOST:PORT (raw TCP); HOST "
                       "is a name, an IPv4 address or [an IPv6 address]. Without --port and "
                       "--watch: the one USB serial port present."),
        QStringLiteral("NAME")};
    QCommandLineOption reset{
        QStringLiteral("reset"),
        QStringLiteral("Before the first request, pulse this modem line: on for --reset-ms, then "
                       "off, for a board whose reset (or boot pin) is wired to it. On rfc2217:// "
                       "through the server. A port without modem lines gets one warning and the "
                       "requests go on (press the board's button)."),
        QStringLiteral("dtr|rts")};
    QCommandLineOption resetMs{QStringLiteral("reset-ms"),
                               QStringLiteral("How long --reset holds its line on (default 100)."),
                               QStringLiteral("MS"), QStringLiteral("100")};
    QCommandLineOption resetSequence{
        QStringLiteral("reset-sequence"),
        QStringLiteral("Instead of --reset, for a board with two lines wired: set lines on (1) "
                       "or off (0) and wait (milliseconds), in order, e.g. "
                       "dtr=1,rts=1,wait=100,dtr=0,wait=50,rts=0 (boot pin on RTS held while "
                       "reset on DTR is pulsed)."),
        QStringLiteral("SEQ")};
    QCommandLineOption after{
        QStringLiteral("after"),
        QStringLiteral("After a successful upgrade: reset pulses the --reset line again (for a "
                       "boot loader that waits to be reset into the new application); none, the "
                       "default, leaves the board as it is."),
        QStringLiteral("reset|none"), QStringLiteral("none")};
    QCommandLineOption afterSequence{
        QStringLiteral("after-sequence"),
        QStringLiteral("After a successful upgrade, play SEQ (as --reset-sequence), e.g. "
                       "dtr=1,wait=100,dtr=0 with the boot pin released."),
        QStringLiteral("SEQ")};
    QCommandLineOption list{
        {QStringLiteral("l"), QStringLiteral("list")},
        QStringLiteral("List the serial ports of this machine (name, description, manufacturer, "
                       "USB VID:PID; \"no access\" after one this user may not open, with a hint "
                       "on stderr; with a header on a terminal, tab-separated otherwise, one JSON "
                       "object per port with --json) and exit.")};
    QCommandLineOption baud{{QStringLiteral("b"), QStringLiteral("baud")},
                            QStringLiteral("Baud rate (default 115200)."),
                            QStringLiteral("N"),
                            QStringLiteral("115200")};
    QCommandLineOption lang{
        QStringLiteral("lang"),
        QStringLiteral(
            "iap::Language of the messages and of --help: en or zh (default: the locale's, "
            "from LC_ALL, LC_MESSAGES or LANG; zh* is Chinese, anything else English)."),
        QStringLiteral("en|zh")};
    QCommandLineOption maxResends{
        QStringLiteral("max-resends"),
        QStringLiteral("Give up when one package has been resent N times in a row (default 10; 0 "
                       "= never)."),
        QStringLiteral("N"), QStringLiteral("10")};
    QCommandLineOption requestTimeout{
        QStringLiteral("request-timeout"),
        QStringLiteral("Give up when the device has not answered the update request in this time "
                       "(default 30; 0 = wait forever)."),
        QStringLiteral("SECONDS"), QStringLiteral("30")};
    QCommandLineOption ackTimeout{
        QStringLiteral("ack-timeout"),
        QStringLiteral("Resend a package whose acknowledgement has not come in this time, "
                       "measured in real time (default 5, the window's 100 ticks of 50 ms; at "
                       "least 0.05)."),
        QStringLiteral("SECONDS"), QStringLiteral("5")};
    QCommandLineOption fast{
        QStringLiteral("fast"),
        QStringLiteral("Act on the device's answer to the request and on the acknowledgement of "
                       "the package last sent the moment they arrive, instead of 30 ms later at "
                       "the next 50 ms tick. Anything else on the line waits for the tick. The "
                       "bytes on the line are the same.")};
    QCommandLineOption boost{
        QStringLiteral("boost"),
        QStringLiteral("Implies --fast. Once the device has accepted the request, switch the line "
                       "to the highest rate the device offers (its capability answer) and "
                       "--boost-baud allows, confirmed by a question at the new rate before the "
                       "first package; without that answer both ends go back to the starting "
                       "rate (the device by itself after 1 s) and the upgrade goes on there. A "
                       "device that offers nothing gets the same bytes as without it.")};
    QCommandLineOption boostBaud{
        QStringLiteral("boost-baud"),
        QStringLiteral("With --boost, never above N baud (your adapter's limit: CP2102 921600, "
                       "CH340 2000000, FT232R 3000000)."),
        QStringLiteral("N")};
    QCommandLineOption verify{
        QStringLiteral("verify"),
        QStringLiteral("After the last package, ask the device for the length and CRC-32 of the "
                       "image it now holds (read back from its flash) and succeed only when they "
                       "are the image's. A boot loader that does not answer cannot be verified "
                       "(exit 6); another image ends with exit 7.")};
    QCommandLineOption noCapabilities{
        QStringLiteral("no-capability-check"),
        QStringLiteral("Never ask the device what fits it before the first request: the requests "
                       "go out at once, as the window sends them.")};
    QCommandLineOption json{
        QStringLiteral("json"),
        QStringLiteral("Write one JSON object per line on stdout instead of text (events started, "
                       "requesting, accepted, progress, resend, verified, finished, failed; with "
                       "--watch also watching, plugged, unplugged, summary). Each carries its "
                       "time and its port (null for the whole run).")};
    QCommandLineOption format{
        QStringLiteral("format"),
        QStringLiteral("Read FIRMWARE as this format instead of deciding from its content: bin "
                       "(raw image), hex (Intel HEX), srec (Motorola S-record) or elf."),
        QStringLiteral("bin|hex|srec|elf")};
    QCommandLineOption base{
        QStringLiteral("base"),
        QStringLiteral("Start the image at ADDR (0x... or decimal) instead of its lowest address; "
                       "the space up to the first data is sent as 0xFF."),
        QStringLiteral("ADDR")};
    QCommandLineOption quiet{{QStringLiteral("q"), QStringLiteral("quiet")},
                             QStringLiteral("Print errors only.")};
    QCommandLineOption verbose{
        {QStringLiteral("v"), QStringLiteral("verbose")},
        QStringLiteral("Print every reply as hex, every line of the upgrade log and Qt's debug "
                       "output.")};
    QCommandLineOption watch{
        QStringLiteral("watch"),
        QStringLiteral("Flash every board that appears at a path matching PATTERN, a shell-style "
                       "pattern such as '/dev/ttyUSB*' or '/dev/serial/by-id/usb-*' (quote it; "
                       "repeat for several). Not with --port."),
        QStringLiteral("PATTERN")};
    QCommandLineOption count{
        QStringLiteral("count"),
        QStringLiteral("With --watch: stop once N boards have been flashed successfully."),
        QStringLiteral("N")};
    QCommandLineOption log{
        QStringLiteral("log"),
        QStringLiteral("Append one JSON line per board attempted to FILE (created if absent, "
                       "never rewritten), on the disk the moment the board ends."),
        QStringLiteral("FILE")};
};

QString tryHelp(iap::Language language)
{
    return language == iap::Language::Chinese ? QStringLiteral(" 参见 --help。")
                                              : QStringLiteral(" Try --help.");
}

// --reset, --reset-ms, --reset-sequence, --after and --after-sequence into the job's two
// sequences.
ParseResult parseReset(const QCommandLineParser &parser, const Declared &o, Settings *s)
{
    const iap::Language language = s->report.language;
    const auto error = [language](UsageError usage, const QString &a = QString()) {
        return ParseResult{ParseResult::Error, flash::usageText(usage, language, a)};
    };
    const auto sequence = [language](const QString &option, const QString &text,
                                     links::ResetSequence *steps) {
        QString bad;
        const links::ResetSequenceError e = links::parseResetSequence(text, steps, &bad);
        if (e == links::ResetSequenceError::None)
            return ParseResult{};
        return ParseResult{ParseResult::Error,
                           links::resetSequenceErrorText(e, language, option, bad) +
                               tryHelp(language)};
    };

    bool ok = false;
    const int ms = parser.value(o.resetMs).toInt(&ok);
    if (!ok || ms < 1 || ms > int(links::reset::MaxWait.count()))
        return error(UsageError::BadResetMs, parser.value(o.resetMs));
    if (parser.isSet(o.resetMs) && !parser.isSet(o.reset))
        return error(UsageError::ResetMsWithoutReset);
    if (parser.isSet(o.reset) && parser.isSet(o.resetSequence))
        return error(UsageError::ResetAndSequence);
    links::ModemLine line = links::ModemLine::Dtr;
    if (parser.isSet(o.reset)) {
        const QString name = parser.value(o.reset).toLower();
        if (name != QLatin1String("dtr") && name != QLatin1String("rts"))
            return error(UsageError::BadReset, parser.value(o.reset));
        line = name == QLatin1String("dtr") ? links::ModemLine::Dtr : links::ModemLine::Rts;
        s->job.reset = links::resetPulse(line, std::chrono::milliseconds(ms));
    } else if (parser.isSet(o.resetSequence)) {
        const ParseResult r = sequence(QStringLiteral("--reset-sequence"),
                                       parser.value(o.resetSequence), &s->job.reset);
        if (r.kind == ParseResult::Error)
            return r;
    }

    const QString after = parser.value(o.after).toLower();
    if (after != QLatin1String("reset") && after != QLatin1String("none"))
        return error(UsageError::BadAfter, parser.value(o.after));
    if (parser.isSet(o.after) && parser.isSet(o.afterSequence))
        return error(UsageError::AfterAndSequence);
    if (after == QLatin1String("reset")) {
        if (!parser.isSet(o.reset))
            return error(UsageError::AfterWithoutReset);
        s->job.after = links::resetPulse(line, std::chrono::milliseconds(ms));
    } else if (parser.isSet(o.afterSequence)) {
        return sequence(QStringLiteral("--after-sequence"), parser.value(o.afterSequence),
                        &s->job.after);
    }
    return ParseResult{};
}

// A name given where the firmware belongs that is a port: a network port, or a character
// device (a serial port, a pseudo-terminal).
bool looksLikePort(const QString &name)
{
    links::PortName port;
    if (links::parsePortName(name, &port) == links::PortNameError::None && port.isNetwork())
        return true;
    struct stat st = {};
    return ::stat(QFile::encodeName(name).constData(), &st) == 0 && S_ISCHR(st.st_mode);
}

// "nan" and "inf" parse as numbers: only a finite number in range is a time.
bool inRange(double v, double low, double high)
{
    return std::isfinite(v) && v >= low && v <= high;
}

} // namespace

ParseResult parseCommandLine(QCommandLineParser &parser, const QStringList &arguments, Settings *s)
{
    Declared o;
    iap::Language &language = s->report.language;
    // --help, and a command line that does not parse, in the language asked for.
    language = flash::languageAsked(arguments) == QLatin1String("zh") ? iap::Language::Chinese
                                                                      : iap::Language::English;
    const QList<QCommandLineOption *> all{
        &o.help,           &o.version,       &o.port,       &o.watch,
        &o.count,          &o.log,           &o.list,       &o.baud,
        &o.lang,           &o.reset,         &o.resetMs,    &o.resetSequence,
        &o.after,          &o.afterSequence, &o.maxResends, &o.requestTimeout,
        &o.ackTimeout,     &o.fast,          &o.verify,     &o.json,
        &o.format,         &o.base,          &o.quiet,      &o.verbose,
        &o.noCapabilities, &o.boost,         &o.boostBaud};
    if (language == iap::Language::Chinese)
        flash::describeInChinese(all);
    parser.setApplicationDescription(
        language == iap::Language::Chinese ? flash::chineseDescription() : description());
    for (const QCommandLineOption *option : all)
        parser.addOption(*option);
    parser.addPositionalArgument(
        QStringLiteral("FIRMWARE"),
        language == iap::Language::Chinese
            ? QStringLiteral("固件：原始镜像（*.bin）、Intel HEX、Motorola S-record 或 ELF。")
            : QStringLiteral("The firmware: a raw image (*.bin), Intel HEX, Motorola "
                             "S-record or ELF."));

    const auto error = [&language](UsageError usage, const QString &a = QString(),
                                   const QString &b = QString(), const QString &c = QString()) {
        return ParseResult{ParseResult::Error, flash::usageText(usage, language, a, b, c)};
    };
    if (!parser.parse(arguments)) {
        // Even a command line that does not parse answers in JSON, and in Chinese, when asked.
        s->report.json = arguments.contains(QStringLiteral("--json"));
        return error(UsageError::Unparsable, parser.errorText());
    }
    if (parser.isSet(o.help))
        return ParseResult{ParseResult::Help, QString()};
    if (parser.isSet(o.version))
        return ParseResult{ParseResult::Version, QString()};

    s->report.json = parser.isSet(o.json);
    const QString asked = parser.isSet(o.lang) ? parser.value(o.lang) : flash::localeLanguage();
    if (asked != QLatin1String("en") && asked != QLatin1String("zh"))
        return error(UsageError::BadLanguage, asked);
    language = asked == QLatin1String("zh") ? iap::Language::Chinese : iap::Language::English;
    s->report.quiet = parser.isSet(o.quiet);
    s->report.verbose = parser.isSet(o.verbose);
    if (s->report.quiet && s->report.verbose)
        return error(UsageError::QuietAndVerbose);

    s->list = parser.isSet(o.list);
    if (s->list)
        return ParseResult{};

    bool ok = false;
    s->job.baud = parser.value(o.baud).toInt(&ok);
    if (!ok || s->job.baud <= 0)
        return error(UsageError::BadBaud, parser.value(o.baud));
    s->job.maxResends = parser.value(o.maxResends).toInt(&ok);
    if (!ok || s->job.maxResends < 0)
        return error(UsageError::BadMaxResends, parser.value(o.maxResends));
    const double request = parser.value(o.requestTimeout).toDouble(&ok);
    if (!ok || !inRange(request, 0, 1e6))
        return error(UsageError::BadRequestTimeout, parser.value(o.requestTimeout));
    // Any time at all is at least a millisecond: 0 alone means no limit.
    s->job.requestTimeout =
        std::chrono::milliseconds(request > 0 ? qMax<qint64>(1, qRound64(request * 1000)) : 0);
    const double ack = parser.value(o.ackTimeout).toDouble(&ok);
    if (!ok || !inRange(ack, 0.05, 1e6))
        return error(UsageError::BadAckTimeout, parser.value(o.ackTimeout));
    // A package is resent on the tick after waitLimit ticks without its acknowledgement.
    s->job.waitLimit = qMax(1, int(qRound64(ack * 1000 / iap::TickInterval.count())));
    s->job.boost = parser.isSet(o.boost);
    s->job.fast = parser.isSet(o.fast) || s->job.boost;
    if (parser.isSet(o.boostBaud)) {
        const int cap = parser.value(o.boostBaud).toInt(&ok);
        if (!ok || cap < 1200)
            return error(UsageError::BadBoostBaud, parser.value(o.boostBaud));
        s->job.boostBaud = cap;
    }
    s->job.verify = parser.isSet(o.verify);
    s->job.askCapabilities = !parser.isSet(o.noCapabilities);
    if (parser.isSet(o.format) && !iap::parseFormatName(parser.value(o.format), &s->image.format))
        return error(UsageError::BadFormat, parser.value(o.format));
    if (parser.isSet(o.base)) {
        const QString text = parser.value(o.base);
        const bool hex = text.startsWith(QLatin1String("0x"), Qt::CaseInsensitive);
        s->image.base = (hex ? text.mid(2) : text).toULongLong(&ok, hex ? 16 : 10);
        if (!ok || text.size() == (hex ? 2 : 0))
            return error(UsageError::BadBase, text);
        s->image.hasBase = true;
    }

    const ParseResult reset = parseReset(parser, o, s);
    if (reset.kind == ParseResult::Error)
        return reset;

    s->ports = parser.values(o.port);
    s->watch = parser.values(o.watch);
    s->report.watch = !s->watch.isEmpty();
    if (!s->watch.isEmpty() && !s->ports.isEmpty())
        return error(UsageError::WatchAndPort);
    for (const QString &pattern : qAsConst(s->watch)) {
        if (!pattern.startsWith(QLatin1Char('/')))
            return error(UsageError::RelativePattern, pattern);
    }
    if (parser.isSet(o.count)) {
        s->count = parser.value(o.count).toInt(&ok);
        if (!ok || s->count <= 0)
            return error(UsageError::BadCount, parser.value(o.count));
        if (s->watch.isEmpty())
            return error(UsageError::CountWithoutWatch);
    }
    if (parser.isSet(o.log)) {
        s->logPath = parser.value(o.log);
        if (s->logPath.isEmpty())
            return error(UsageError::EmptyLogName);
    }
    // Without a port and a pattern, the one USB serial port present is used (main.cpp).
    // One line under two spellings (/dev/pts//0, a link; a server under two names) would get
    // two upgrades at once.
    QStringList lines;
    for (int i = 0; i < s->ports.size(); ++i) {
        if (s->ports.at(i).isEmpty())
            return error(UsageError::EmptyPortName);
        links::PortName name;
        const links::PortNameError bad = links::parsePortName(s->ports.at(i), &name);
        if (bad != links::PortNameError::None)
            return ParseResult{ParseResult::Error,
                               links::portNameErrorText(bad, language, s->ports.at(i)) +
                                   tryHelp(language)};
        const QString line = name.line();
        const int first = int(lines.indexOf(line));
        if (first >= 0)
            return s->ports.at(first) == s->ports.at(i)
                       ? error(UsageError::PortTwice, s->ports.at(i))
                       : error(UsageError::PortTwiceAs, line, s->ports.at(first), s->ports.at(i));
        lines << line;
    }
    const QStringList positional = parser.positionalArguments();
    if (positional.size() == 2 && s->ports.isEmpty()) {
        // iap-flash /dev/ttyUSB0 app.bin: the -p was forgotten.
        for (int i = 0; i < 2; ++i) {
            if (looksLikePort(positional.at(i)))
                return error(UsageError::PortAsFirmware, positional.at(i), positional.at(1 - i));
        }
    }
    if (positional.size() != 1)
        return positional.isEmpty()
                   ? error(UsageError::NoFirmware)
                   : error(UsageError::SeveralFirmware, QString::number(positional.size()));
    s->firmware = positional.first();
    s->report.file = s->firmware;
    return ParseResult{};
}

} // namespace flash
