// iap-flash: flashes a firmware image into one or more devices from the command line, with
// the same upgrade engine and texts as the window.
#include "boardlog.h"
#include "clitext.h"
#include "exitcodes.h"
#include "flashjob.h"
#include "reporter.h"
#include "watchrun.h"

#include "filenames.h"
#include "firmwarefile.h"
#include "messages.h"
#include "serial.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSerialPortInfo>
#include <QSocketNotifier>
#include <QTextStream>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

bool g_verbose = false;
int g_signalFd = -1;

// Qt's debug output (frame counters, hex conversion counts) only with --verbose.
void messageHandler(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (!g_verbose && (type == QtDebugMsg || type == QtInfoMsg))
        return;
    std::fprintf(stderr, "%s\n", message.toLocal8Bit().constData());
    std::fflush(stderr);
}

// Nothing but a byte into the self-pipe: the event loop does the work.
extern "C" void onSignal(int number)
{
    const int saved = errno;
    const char byte = char(number);
    if (::write(g_signalFd, &byte, 1) < 0) {
        // The pipe is full: a stop is already pending.
    }
    errno = saved;
}

bool installSignalPipe(int fds[2])
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
        return false;
    ::fcntl(fds[0], F_SETFL, O_NONBLOCK);
    ::fcntl(fds[1], F_SETFL, O_NONBLOCK);
    g_signalFd = fds[0];
    struct sigaction sa = {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    // A closed terminal (SIGHUP) or Ctrl-\ (SIGQUIT) must not leave a half-flashed board
    // without a word either.
    for (const int number : {SIGINT, SIGTERM, SIGHUP, SIGQUIT})
        ::sigaction(number, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    return true;
}

// The ports that can be opened now, as the window lists them. On a terminal: a header and
// aligned columns; otherwise tab-separated fields for scripts; with --json one object per
// port. Empty columns at the end of a line are left out.
int listPorts(bool json)
{
    Serial serial;
    const QStringList names = serial.availablePortNames();
    QVector<QStringList> rows;
    QList<QJsonObject> objects;
    for (const QSerialPortInfo &info : QSerialPortInfo::availablePorts()) {
        if (!names.contains(info.portName()) && !names.contains(info.systemLocation()))
            continue;
        const auto orNull = [](const QString &text) {
            return text.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(text);
        };
        const auto hex4 = [](quint16 id) {
            return QStringLiteral("%1").arg(id, 4, 16, QLatin1Char('0'));
        };
        const bool ids = info.hasVendorIdentifier() && info.hasProductIdentifier();
        const QString vid = ids ? hex4(info.vendorIdentifier()) : QString();
        const QString pid = ids ? hex4(info.productIdentifier()) : QString();
        rows.append({info.systemLocation(), info.description(), info.manufacturer(),
                     ids ? vid + QLatin1Char(':') + pid : QString()});
        objects.append({{QStringLiteral("port"), info.systemLocation()},
                        {QStringLiteral("description"), orNull(info.description())},
                        {QStringLiteral("manufacturer"), orNull(info.manufacturer())},
                        {QStringLiteral("vid"), orNull(vid)},
                        {QStringLiteral("pid"), orNull(pid)},
                        {QStringLiteral("serial"), orNull(info.serialNumber())}});
    }
    if (rows.isEmpty()) {
        std::fputs("no serial ports found\n", stderr);
        return flash::Success;
    }
    QTextStream out(stdout);
    if (json) {
        for (const QJsonObject &o : qAsConst(objects))
            out << QJsonDocument(o).toJson(QJsonDocument::Compact) << '\n';
        return flash::Success;
    }
    const auto trimmed = [](QStringList fields) {
        while (fields.size() > 1 && fields.constLast().isEmpty())
            fields.removeLast();
        return fields;
    };
    if (::isatty(STDOUT_FILENO) != 1) {
        for (const QStringList &row : qAsConst(rows))
            out << trimmed(row).join(QLatin1Char('\t')) << '\n';
        return flash::Success;
    }
    rows.prepend({QStringLiteral("PORT"), QStringLiteral("DESCRIPTION"),
                  QStringLiteral("MANUFACTURER"), QStringLiteral("VID:PID")});
    int columns = 1;
    QVector<int> widths(rows.constFirst().size(), 0);
    for (int r = 1; r < rows.size(); ++r)
        columns = qMax(columns, int(trimmed(rows.at(r)).size()));
    for (const QStringList &row : qAsConst(rows)) {
        for (int c = 0; c < columns; ++c)
            widths[c] = qMax(widths.at(c), int(row.at(c).size()));
    }
    for (const QStringList &row : qAsConst(rows)) {
        QString text;
        for (int c = 0; c < columns; ++c)
            text += c + 1 < columns ? row.at(c).leftJustified(widths.at(c) + 2) : row.at(c);
        out << text.trimmed() << '\n';
    }
    return flash::Success;
}

QString exitCodeHelp()
{
    return QStringLiteral(
        "Flashes FIRMWARE into the boot loader of the device on each --port, with the same\n"
        "upgrade as the Upgrade Assistant window (1024-byte packages, CRC-32, acknowledged one\n"
        "by one). With several ports the image goes to all of them at once.\n"
        "\n"
        "FIRMWARE is read by its content: Intel HEX, Motorola S-record and ELF files become one\n"
        "image from their lowest address to their highest (gaps sent as 0xFF); anything else\n"
        "is sent byte for byte; a file of those formats that cannot be read ends with code 2.\n"
        "\n"
        "Exit codes: 0 success; 1 usage; 2 firmware file (missing, unreadable, not a regular\n"
        "file, empty, over 65535 packages = 67107840 bytes); 3 port (cannot open, in use, lost\n"
        "during the transfer); 4 the device did not answer the update request in time; 5 too many\n"
        "resends; 8 the board log could not be kept (a --log record is missing); 130\n"
        "interrupted (SIGINT, SIGTERM), 129 SIGHUP, 131 SIGQUIT. With several ports, the highest\n"
        "code of any port.\n"
        "\n"
        "With --watch, every board that appears at a matching path is flashed once, as many at\n"
        "once as are plugged in, until --count boards succeeded (exit 0) or until a signal.");
}

struct Settings
{
    QStringList ports;
    QStringList watch; // patterns of device paths, instead of ports
    int count = 0;
    QString logPath;
    QString firmware;
    FlashJob::Options job;
    iap::ImageOptions image;
    Reporter::Settings report;
    bool list = false;
};

// Returns an error text, or an empty string when the command line is usable.
QString parse(QCommandLineParser &parser, const QStringList &arguments, Settings *s,
              bool *helpOrVersion)
{
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Show this help and exit."));
    const QCommandLineOption version({QStringLiteral("V"), QStringLiteral("version")},
                                     QStringLiteral("Show the version and exit."));
    const QCommandLineOption port({QStringLiteral("p"), QStringLiteral("port")},
                                  QStringLiteral("Serial port to flash (repeat for several ports "
                                                 "flashed at once), e.g. /dev/ttyUSB0."),
                                  QStringLiteral("NAME"));
    const QCommandLineOption list(
        {QStringLiteral("l"), QStringLiteral("list")},
        QStringLiteral("List the ports that can be opened now (name, description, manufacturer, "
                       "USB VID:PID; with a header on a terminal, tab-separated otherwise, one "
                       "JSON object per port with --json) and exit."));
    const QCommandLineOption baud({QStringLiteral("b"), QStringLiteral("baud")},
                                  QStringLiteral("Baud rate (default 115200)."),
                                  QStringLiteral("N"), QStringLiteral("115200"));
    const QCommandLineOption lang(
        QStringLiteral("lang"), QStringLiteral("Language of the messages: en or zh (default en)."),
        QStringLiteral("en|zh"), QStringLiteral("en"));
    const QCommandLineOption maxResends(
        QStringLiteral("max-resends"),
        QStringLiteral("Give up when one package has been resent N times in a row (default 10; 0 "
                       "= never)."),
        QStringLiteral("N"), QStringLiteral("10"));
    const QCommandLineOption requestTimeout(
        QStringLiteral("request-timeout"),
        QStringLiteral("Give up when the device has not answered the update request in this time "
                       "(default 30; 0 = wait forever)."),
        QStringLiteral("SECONDS"), QStringLiteral("30"));
    const QCommandLineOption ackTimeout(
        QStringLiteral("ack-timeout"),
        QStringLiteral("Resend a package whose acknowledgement has not come in this time, "
                       "measured in real time (default 5, the window's 100 ticks of 50 ms; at "
                       "least 0.05)."),
        QStringLiteral("SECONDS"), QStringLiteral("5"));
    const QCommandLineOption fast(
        QStringLiteral("fast"),
        QStringLiteral("Act on the device's answer to the request and on the acknowledgement of "
                       "the package last sent the moment they arrive, instead of 30 ms later at "
                       "the next 50 ms tick. Anything else on the line waits for the tick. The "
                       "bytes on the line are the same."));
    const QCommandLineOption jsonOpt(
        QStringLiteral("json"),
        QStringLiteral("Write one JSON object per line on stdout instead of text (events started, "
                       "requesting, accepted, progress, resend, finished, failed; with --watch "
                       "also watching, plugged, unplugged, summary). Each carries its time and "
                       "its port (null for the whole run)."));
    const QCommandLineOption format(
        QStringLiteral("format"),
        QStringLiteral("Read FIRMWARE as this format instead of deciding from its content: bin "
                       "(raw image), hex (Intel HEX), srec (Motorola S-record) or elf."),
        QStringLiteral("bin|hex|srec|elf"));
    const QCommandLineOption base(
        QStringLiteral("base"),
        QStringLiteral("Start the image at ADDR (0x... or decimal) instead of its lowest address; "
                       "the space up to the first data is sent as 0xFF."),
        QStringLiteral("ADDR"));
    const QCommandLineOption quiet({QStringLiteral("q"), QStringLiteral("quiet")},
                                   QStringLiteral("Print errors only."));
    const QCommandLineOption verbose(
        {QStringLiteral("v"), QStringLiteral("verbose")},
        QStringLiteral("Print every reply as hex, every line of the upgrade log and Qt's debug "
                       "output."));

    const QCommandLineOption watch(
        QStringLiteral("watch"),
        QStringLiteral("Flash every board that appears at a path matching PATTERN, a shell-style "
                       "pattern such as '/dev/ttyUSB*' or '/dev/serial/by-id/usb-*' (quote it; "
                       "repeat for several). Not with --port."),
        QStringLiteral("PATTERN"));
    const QCommandLineOption count(
        QStringLiteral("count"),
        QStringLiteral("With --watch: stop once N boards have been flashed successfully."),
        QStringLiteral("N"));
    const QCommandLineOption log(
        QStringLiteral("log"),
        QStringLiteral("Append one JSON line per board attempted to FILE (created if absent, "
                       "never rewritten), on the disk the moment the board ends."),
        QStringLiteral("FILE"));

    parser.setApplicationDescription(exitCodeHelp());
    parser.addOptions({help, version, port, watch, count, log, list, baud, lang, maxResends,
                       requestTimeout, ackTimeout, fast, jsonOpt, format, base, quiet, verbose});
    parser.addPositionalArgument(QStringLiteral("FIRMWARE"),
                                 QStringLiteral("The firmware: a raw image (*.bin), Intel HEX, "
                                                "Motorola S-record or ELF."));

    *helpOrVersion = false;
    if (!parser.parse(arguments)) {
        // Even a command line that does not parse answers in JSON when asked to.
        if (arguments.contains(QStringLiteral("--json")))
            s->report.mode = Reporter::Mode::Json;
        return parser.errorText();
    }
    if (parser.isSet(help) || parser.isSet(version)) {
        *helpOrVersion = true;
        return QString();
    }
    s->report.mode = parser.isSet(jsonOpt) ? Reporter::Mode::Json : Reporter::Mode::Human;
    s->report.quiet = parser.isSet(quiet);
    s->report.verbose = parser.isSet(verbose);
    if (s->report.quiet && s->report.verbose)
        return QStringLiteral("--quiet and --verbose exclude each other.");

    const QString language = parser.value(lang);
    if (language != QLatin1String("en") && language != QLatin1String("zh"))
        return QStringLiteral("--lang must be en or zh, not \"%1\".").arg(language);
    s->report.chinese = language == QLatin1String("zh");

    s->list = parser.isSet(list);
    if (s->list)
        return QString();

    bool ok = false;
    s->job.baud = parser.value(baud).toInt(&ok);
    if (!ok || s->job.baud <= 0)
        return QStringLiteral("--baud needs a positive number, not \"%1\".")
            .arg(parser.value(baud));
    s->job.maxResends = parser.value(maxResends).toInt(&ok);
    if (!ok || s->job.maxResends < 0)
        return QStringLiteral("--max-resends needs a number of 0 or more, not \"%1\".")
            .arg(parser.value(maxResends));
    // "nan" and "inf" parse as numbers: only a finite number in range is a time.
    const auto inRange = [](double v, double low, double high) {
        return std::isfinite(v) && v >= low && v <= high;
    };
    const double request = parser.value(requestTimeout).toDouble(&ok);
    if (!ok || !inRange(request, 0, 1e6))
        return QStringLiteral("--request-timeout needs seconds (0 or more), not \"%1\".")
            .arg(parser.value(requestTimeout));
    s->job.requestTimeout = std::chrono::milliseconds(qRound64(request * 1000));
    const double ack = parser.value(ackTimeout).toDouble(&ok);
    if (!ok || !inRange(ack, 0.05, 1e6))
        return QStringLiteral("--ack-timeout needs seconds (at least 0.05), not \"%1\".")
            .arg(parser.value(ackTimeout));
    // A package is resent on the tick after waitLimit ticks without its acknowledgement.
    s->job.waitLimit = qMax(1, int(qRound64(ack * 1000 / 50)));
    s->job.fast = parser.isSet(fast);
    if (parser.isSet(format) && !iap::parseFormatName(parser.value(format), &s->image.format))
        return QStringLiteral("--format must be bin, hex, srec or elf, not \"%1\".")
            .arg(parser.value(format));
    if (parser.isSet(base)) {
        const QString text = parser.value(base);
        const bool hex = text.startsWith(QLatin1String("0x"), Qt::CaseInsensitive);
        s->image.base = (hex ? text.mid(2) : text).toULongLong(&ok, hex ? 16 : 10);
        if (!ok || text.size() == (hex ? 2 : 0))
            return QStringLiteral("--base needs an address (0x... or decimal), not \"%1\".")
                .arg(text);
        s->image.hasBase = true;
    }

    s->ports = parser.values(port);
    s->watch = parser.values(watch);
    s->report.watch = !s->watch.isEmpty();
    if (!s->watch.isEmpty() && !s->ports.isEmpty())
        return QStringLiteral("--watch and --port exclude each other.");
    for (const QString &pattern : qAsConst(s->watch)) {
        if (!pattern.startsWith(QLatin1Char('/')))
            return QStringLiteral("--watch needs an absolute path pattern, not \"%1\".")
                .arg(pattern);
    }
    if (parser.isSet(count)) {
        s->count = parser.value(count).toInt(&ok);
        if (!ok || s->count <= 0)
            return QStringLiteral("--count needs a positive number, not \"%1\".")
                .arg(parser.value(count));
        if (s->watch.isEmpty())
            return QStringLiteral("--count goes with --watch.");
    }
    if (parser.isSet(log)) {
        s->logPath = parser.value(log);
        if (s->logPath.isEmpty())
            return QStringLiteral("--log needs a file name.");
    }
    if (s->ports.isEmpty() && s->watch.isEmpty())
        return QStringLiteral("no port given: name one with --port or --watch (see --list).");
    // One line under two spellings (/dev/pts//0, a link) would get two upgrades at once.
    QStringList lines;
    for (int i = 0; i < s->ports.size(); ++i) {
        if (s->ports.at(i).isEmpty())
            return QStringLiteral("--port needs a name.");
        const QString line = canonicalPortName(s->ports.at(i));
        const int first = lines.indexOf(line);
        if (first >= 0)
            return s->ports.at(first) == s->ports.at(i)
                       ? QStringLiteral("port %1 is given twice.").arg(s->ports.at(i))
                       : QStringLiteral("port %1 is given twice (as %2 and %3).")
                             .arg(line, s->ports.at(first), s->ports.at(i));
        lines << line;
    }
    const QStringList positional = parser.positionalArguments();
    if (positional.size() != 1)
        return positional.isEmpty()
                   ? QStringLiteral("no firmware file given.")
                   : QStringLiteral("give one firmware file, not %1.").arg(positional.size());
    s->firmware = positional.first();
    s->report.file = s->firmware;
    return QString();
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("iap-flash"));
    QCoreApplication::setApplicationVersion(QStringLiteral(IAP_VERSION));
    qInstallMessageHandler(messageHandler);

    QCommandLineParser parser;
    Settings s;
    bool helpOrVersion = false;
    // The arguments as the system passed them: a firmware file whose name is not valid in the
    // locale's encoding must still be found.
    const QString usageError =
        parse(parser, iap::argumentsFromNative(argc, argv), &s, &helpOrVersion);
    if (helpOrVersion) {
        if (parser.isSet(QStringLiteral("version")))
            std::printf("iap-flash %s\n", IAP_VERSION);
        else
            std::fputs(parser.helpText().toUtf8().constData(), stdout);
        return flash::Success;
    }
    g_verbose = s.report.verbose;
    s.report.terminal = ::isatty(STDERR_FILENO) == 1;
    // Colour only on a terminal, and never when NO_COLOR is set (https://no-color.org).
    s.report.colour = s.report.terminal && qEnvironmentVariableIsEmpty("NO_COLOR");
    Reporter reporter(s.report);
    if (!usageError.isEmpty()) {
        reporter.earlyFailure(flash::Usage, QStringLiteral("usage"),
                              usageError + QStringLiteral(" Try --help."));
        return flash::Usage;
    }
    if (s.list)
        return listPorts(s.report.mode == Reporter::Mode::Json);

    // A log that cannot be opened stops the run before any port is touched.
    BoardLog log;
    if (!s.logPath.isEmpty()) {
        QString error;
        if (!log.open(s.logPath, s.report.chinese, &error)) {
            reporter.earlyFailure(flash::Usage, QStringLiteral("usage"), error);
            return flash::Usage;
        }
    }

    // The image is checked before any port is opened.
    const iap::FirmwareFile file = iap::loadFirmwareFile(s.firmware, s.image);
    if (file.error != iap::IapError::None) {
        reporter.earlyFailure(
            flash::FirmwareFile, QStringLiteral("firmware-file"),
            iap::errorText(file.error, s.report.chinese, s.firmware, file.detail, file.fault));
        return flash::FirmwareFile;
    }
    const flash::ImageDigest digest = flash::digestOf(file.image);
    reporter.setDigest(digest.sha256, digest.crc32);
    reporter.setImage(iap::formatName(file.format), iap::addressText(file.base),
                      iap::addressText(file.last));

    int signalFds[2] = {-1, -1};
    if (!installSignalPipe(signalFds)) {
        reporter.earlyFailure(flash::Usage, QStringLiteral("usage"),
                              QStringLiteral("cannot set up signal handling."));
        return flash::Usage;
    }

    {
        IapContext summary;
        summary.setImage(file.image);
        QString text = iap::text(iap::Text::Summary, s.report.chinese)
                           .arg(summary.firmware.size())
                           .arg(summary.packetSize)
                           .arg(summary.packetTotal);
        if (file.format != iap::ImageFormat::Binary)
            text.prepend(iap::text(iap::Text::ConvertedImage, s.report.chinese)
                             .arg(iap::formatTitle(file.format), iap::addressText(file.base),
                                  iap::addressText(file.last)) +
                         QStringLiteral("\r\n"));
        reporter.summary(text);
    }

    QList<FlashJob *> jobs;
    WatchRun *watchRun = nullptr;
    if (!s.watch.isEmpty()) {
        WatchRun::Settings ws;
        ws.patterns = s.watch;
        ws.job = s.job;
        ws.count = s.count;
        ws.firmware = s.firmware;
        ws.digest = digest;
        watchRun = new WatchRun(ws, file.image, &reporter, &log, &app);
        QObject::connect(watchRun, &WatchRun::done, &app,
                         [](int code) { QCoreApplication::exit(code); });
    }
    for (const QString &name : qAsConst(s.ports)) {
        FlashJob::Options options = s.job;
        options.port = name;
        jobs.append(new FlashJob(options, file.image, &app));
    }

    QSocketNotifier signalNotifier(signalFds[1], QSocketNotifier::Read);
    QObject::connect(&signalNotifier, &QSocketNotifier::activated, &app, [&] {
        char bytes[16];
        int first = 0;
        ssize_t n;
        while ((n = ::read(signalFds[1], bytes, sizeof bytes)) > 0) {
            if (first == 0)
                first = bytes[0];
        }
        // SIGINT and SIGTERM have always ended with 130; the others with 128 + their number.
        const int code = first == SIGHUP || first == SIGQUIT ? 128 + first : flash::Interrupted;
        if (watchRun)
            watchRun->interrupt(flash::ExitCode(code));
        for (FlashJob *job : qAsConst(jobs))
            job->interrupt(flash::ExitCode(code));
    });

    int remaining = jobs.size();
    QHash<FlashJob *, flash::PortIdentity> identities;
    for (FlashJob *job : qAsConst(jobs)) {
        reporter.watch(job);
        QObject::connect(job, &FlashJob::finished, &app, [&, job] {
            QString error;
            if (!log.append(BoardLog::record(*job, s.firmware, digest, identities.value(job)),
                            &error))
                reporter.warning(job->options().port, error);
            if (--remaining > 0)
                return;
            int code = flash::Success;
            for (const FlashJob *j : qAsConst(jobs))
                code = qMax(code, int(j->exitCode()));
            reporter.results(jobs);
            QString logError;
            if (log.finish(&logError) != flash::Success) {
                reporter.warning(QString(), logError);
                code = qMax(code, int(flash::LogLost));
            }
            QCoreApplication::exit(code);
        });
    }
    for (FlashJob *job : qAsConst(jobs)) {
        identities.insert(job, flash::lookUpPort(job->options().port));
        job->start();
    }
    if (watchRun)
        watchRun->start();

    const int code = app.exec();
    delete watchRun;
    qDeleteAll(jobs); // closes any port still open
    signalNotifier.setEnabled(false);
    ::close(signalFds[0]);
    ::close(signalFds[1]);
    return code;
}
