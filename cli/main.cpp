// iap-flash: flashes a firmware image into one or more devices from the command line, with
// the same upgrade run as the window. This file only wires the parts together.
#include "boardlog.h"
#include "clitext.h"
#include "exitcodes.h"
#include "helptext.h"
#include "options.h"
#include "portchoice.h"
#include "portlist.h"
#include "portsrun.h"
#include "reporter.h"
#include "signalpipe.h"
#include "watchrun.h"

#include "filenames.h"
#include "firmwarefile.h"
#include "messages.h"
#include "upgraderun.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <cstdio>
#include <memory>
#include <unistd.h>

namespace {

bool g_verbose = false;

// The counters the shared code writes are terse (they are the window's diagnostics): each
// line says what it counts.
QString described(const QString &message)
{
    if (message.startsWith(QLatin1String("time out:")))
        return QStringLiteral("diagnostic: %1 (quiet gaps after which the bytes received were "
                              "checked for a reply)")
            .arg(message);
    return QStringLiteral("diagnostic: ") + message;
}

// Qt's debug output (the framer's counters) only with --verbose.
void messageHandler(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    const bool debug = type == QtDebugMsg || type == QtInfoMsg;
    if (!g_verbose && debug)
        return;
    std::fprintf(stderr, "%s\n", (debug ? described(message) : message).toLocal8Bit().constData());
    std::fflush(stderr);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("iap-flash"));
    QCoreApplication::setApplicationVersion(QStringLiteral(IAP_VERSION));
    qInstallMessageHandler(messageHandler);

    QCommandLineParser parser;
    flash::Settings s;
    // The arguments as the system passed them: a firmware file whose name is not valid in the
    // locale's encoding must still be found.
    const flash::ParseResult parsed =
        flash::parseCommandLine(parser, iap::argumentsFromNative(argc, argv), &s);
    if (parsed.kind == flash::ParseResult::Version) {
        std::printf("iap-flash %s\n", IAP_VERSION);
        return flash::Success;
    }
    if (parsed.kind == flash::ParseResult::Help) {
        std::fputs(flash::helpText(parser, s.report.language).toUtf8().constData(), stdout);
        return flash::Success;
    }
    g_verbose = s.report.verbose;
    s.report.terminal = ::isatty(STDERR_FILENO) == 1;
    // Colour only on a terminal, and never when NO_COLOR is set (https://no-color.org).
    s.report.colour = s.report.terminal && qEnvironmentVariableIsEmpty("NO_COLOR");
    const std::unique_ptr<flash::Reporter> reporter = flash::Reporter::create(s.report);
    if (parsed.kind == flash::ParseResult::Error) {
        reporter->earlyFailure(flash::Usage, QStringLiteral("usage"), parsed.error);
        return flash::Usage;
    }
    if (s.list)
        return flash::listPorts(s.report.json, s.report.language);

    // No port named: the one USB serial port present, said which; none or several is a
    // usage error that lists them.
    if (s.ports.isEmpty() && s.watch.isEmpty()) {
        const flash::PortChoice choice =
            flash::choosePort(flash::presentPorts(), s.report.language);
        if (choice.port.isEmpty()) {
            reporter->earlyFailure(flash::Usage, QStringLiteral("usage"), choice.error);
            return flash::Usage;
        }
        if (!s.report.quiet)
            std::fprintf(stderr, "%s\n", choice.note.toUtf8().constData());
        s.ports << choice.port;
    }

    // A log that cannot be opened stops the run before any port is touched.
    flash::BoardLog log;
    if (!s.logPath.isEmpty()) {
        QString error;
        if (!log.open(s.logPath, s.report.language, &error)) {
            reporter->earlyFailure(flash::Usage, QStringLiteral("usage"), error);
            return flash::Usage;
        }
    }

    // The image is checked before any port is opened. Text that is no record file (a README,
    // a HEX file's comment only) is refused; --format bin still sends anything as it is.
    s.image.refuseText = true;
    const iap::FirmwareFile file = iap::loadFirmwareFile(s.firmware, s.image);
    if (file.error != iap::IapError::None) {
        reporter->earlyFailure(
            flash::FirmwareFile, QStringLiteral("firmware-file"),
            iap::errorText(file.error, s.report.language, s.firmware, file.detail, file.fault));
        return flash::FirmwareFile;
    }
    const flash::ImageDigest digest = flash::digestOf(file.image);
    flash::Reporter::Settings &rs = reporter->settings();
    rs.sha256 = digest.sha256;
    rs.crc32 = digest.crc32;
    rs.format = iap::formatName(file.format);
    rs.base = iap::addressText(file.base);
    rs.end = iap::addressText(file.last);

    flash::SignalPipe stopSignals;
    if (!stopSignals.isValid()) {
        reporter->earlyFailure(flash::Usage, QStringLiteral("usage"),
                               flash::usageText(flash::UsageError::NoSignals, s.report.language));
        return flash::Usage;
    }
    reporter->summary(iap::UpgradeRun::summaryText(file, s.report.language));

    // Where the image goes, for the device's capability answer: a HEX, S-record or ELF file
    // places it, unless --base moved it; a raw image is judged by its size.
    s.job.span.bytes = file.image.size();
    s.job.span.placed = file.format != iap::ImageFormat::Binary && !s.image.hasBase;
    s.job.span.first = file.base;
    s.job.span.last = file.last;
    const flash::BoardRunSettings common{s.job, s.firmware, digest};
    std::unique_ptr<flash::BoardRun> run;
    if (!s.watch.isEmpty())
        run = std::make_unique<flash::WatchRun>(flash::WatchRun::Settings{common, s.watch, s.count},
                                                file.image, reporter.get(), &log);
    else
        run = std::make_unique<flash::PortsRun>(flash::PortsRun::Settings{common, s.ports},
                                                file.image, reporter.get(), &log);
    QObject::connect(run.get(), &flash::BoardRun::done, &app,
                     [](int code) { QCoreApplication::exit(code); });
    QObject::connect(&stopSignals, &flash::SignalPipe::stopped, run.get(),
                     &flash::BoardRun::interrupt);
    run->start();
    const int code = app.exec();
    // The run goes first (closing any port still open), while the reporter is still there.
    run.reset();
    return code;
}
