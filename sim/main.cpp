// iap-device-sim: a virtual boot loader on a pseudo-terminal, for trying the upgrade tools
// without hardware. Prints the path of the port to open as its first line.
#include "ptyrunner.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

namespace {

int signalPipe[2] = {-1, -1};

void onSignal(int)
{
    const char byte = 1;
    const ssize_t ignored = ::write(signalPipe[1], &byte, 1);
    (void)ignored;
}

int usageError(const QString &message)
{
    std::fprintf(stderr, "iap-device-sim: %s\n", qPrintable(message));
    return 2;
}

} // namespace

int main(int argc, char *argv[])
{
#ifdef __linux__
    // Never outlive the program that started us (a test that crashes, a closed terminal).
    const pid_t parent = ::getppid();
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (parent == 1 || ::getppid() != parent)
        return 0;
#endif

    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("iap-device-sim"));
    QCoreApplication::setApplicationVersion(QStringLiteral(PROJECT_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "A virtual IAP boot loader on a pseudo-terminal. The first line on stdout is the path "
        "of the port to open. Each complete image is reported as one JSON line.\n"
        "LIST is a comma-separated list of package indices (a fault hits only the first answer "
        "to a listed package) or \"all\" (every package, every time)."));
    parser.addHelpOption();
    // -V as in iap-flash and the window.
    const QCommandLineOption versionOpt({QStringLiteral("V"), QStringLiteral("version")},
                                        QStringLiteral("Displays version information."));
    parser.addOption(versionOpt);
    const QCommandLineOption outOpt(QStringLiteral("out"),
                                    QStringLiteral("Save each complete image to FILE."),
                                    QStringLiteral("FILE"));
    const QCommandLineOption onceOpt(QStringLiteral("once"),
                                     QStringLiteral("Exit after the first complete image."));
    const QCommandLineOption baudOpt(
        QStringLiteral("baud"),
        QStringLiteral("Pace replies like a line at N baud, 10 bits a byte (0 = no pacing)."),
        QStringLiteral("N"), QStringLiteral("0"));
    const QCommandLineOption loseOpt(QStringLiteral("lose-ack"),
                                     QStringLiteral("Do not answer the packages in LIST."),
                                     QStringLiteral("LIST"));
    const QCommandLineOption statusOpt(QStringLiteral("error-status"),
                                       QStringLiteral("Answer the packages in LIST with status 2 "
                                                      "(not written)."),
                                       QStringLiteral("LIST"));
    const QCommandLineOption corruptOpt(
        QStringLiteral("corrupt-ack"),
        QStringLiteral("Answer the packages in LIST with a wrong CRC trailer."),
        QStringLiteral("LIST"));
    const QCommandLineOption noiseOpt(
        QStringLiteral("noise"),
        QStringLiteral(
            "Send one noise byte (0x00) just before the answer to the packages in LIST."),
        QStringLiteral("LIST"));
    const QCommandLineOption splitOpt(
        QStringLiteral("split"),
        QStringLiteral("Send the answer to the packages in LIST in two pieces."),
        QStringLiteral("LIST"));
    const QCommandLineOption gapOpt(QStringLiteral("split-gap-ms"),
                                    QStringLiteral("Gap between the two pieces of a split answer."),
                                    QStringLiteral("MS"), QStringLiteral("5"));
    const QCommandLineOption padOpt(
        QStringLiteral("pad"),
        QStringLiteral("Add N bytes (0x00) after the status byte of every acknowledgement."),
        QStringLiteral("N"), QStringLiteral("0"));
    const QCommandLineOption ignoreOpt(QStringLiteral("ignore-requests"),
                                       QStringLiteral("Ignore the first N update requests."),
                                       QStringLiteral("N"), QStringLiteral("0"));
    const QCommandLineOption silentOpt(QStringLiteral("silent"),
                                       QStringLiteral("Never answer anything."));
    const QCommandLineOption hangupOpt(
        QStringLiteral("hangup-after"),
        QStringLiteral("Close the line once N packages have been written and answered (0: at the "
                       "first bytes received), print a hangup JSON line and exit 0."),
        QStringLiteral("N"));
    const QCommandLineOption faultsOpt(
        QStringLiteral("faults"),
        QStringLiteral("Random faults: each package's first answer is lost, corrupted, refused, "
                       "preceded by noise or split with probability RATE (0 to 1)."),
        QStringLiteral("RATE"), QStringLiteral("0"));
    const QCommandLineOption seedOpt(QStringLiteral("seed"),
                                     QStringLiteral("Seed of the random faults."),
                                     QStringLiteral("S"), QStringLiteral("1"));
    const QCommandLineOption echoOpt(
        QStringLiteral("echo"),
        QStringLiteral("Echo every byte received straight back, before any answer (a line "
                       "that echoes)."));
    const QCommandLineOption writeOpt(
        QStringLiteral("write-ms"),
        QStringLiteral("Take MS to write each package: its answer comes that much later."),
        QStringLiteral("MS"), QStringLiteral("0"));
    const QCommandLineOption eraseOpt(
        QStringLiteral("erase-ms"),
        QStringLiteral("Take MS to erase each KiB of the image's area: at the request (its answer "
                       "comes that much later), or with --erase-pages page by page."),
        QStringLiteral("MS"), QStringLiteral("0"));
    const QCommandLineOption erasePagesOpt(
        QStringLiteral("erase-pages"),
        QStringLiteral("Erase each KiB just before its first write (as the reference boot loader "
                       "does) instead of the whole area at the request."));
    const QCommandLineOption maxBaudOpt(
        QStringLiteral("max-baud"),
        QStringLiteral("Offer to switch the line to any rate up to N baud after the request "
                       "(the capability answer says so)."),
        QStringLiteral("N"));
    const QCommandLineOption windowOpt(
        QStringLiteral("window"),
        QStringLiteral("Take up to N packages in flight while writing (the capability answer "
                       "says so; default 1). While the device writes a package or erases, what "
                       "arrives waits in a receive buffer of (N - 1) x 1032 + 8 bytes (the "
                       "packages behind the one written, and a question); bytes that come while "
                       "it is full are lost, and --log counts them."),
        QStringLiteral("N"), QStringLiteral("1"));
    const QCommandLineOption rateFailsOpt(
        QStringLiteral("rate-fails"),
        QStringLiteral("The line carries nothing at a switched rate (an adapter or cable that "
                       "cannot): every byte either way is lost until the device is back at the "
                       "starting rate."));
    const QCommandLineOption keepAliveOpt(
        QStringLiteral("keep-alive"),
        QStringLiteral("While a package is written (--write-ms), send a valid keep-alive frame "
                       "(F1 80 00 00 and its CRC) every MS."),
        QStringLiteral("MS"));
    const QCommandLineOption shortAckOpt(
        QStringLiteral("short-ack"),
        QStringLiteral("Device fault: do not write the packages in LIST and answer each with an "
                       "8-byte acknowledgement that has no status byte (F1 82 index CRC)."),
        QStringLiteral("LIST"));
    const QCommandLineOption trustTotalOpt(
        QStringLiteral("trust-total"),
        QStringLiteral("Device fault: take the package total of the request at its word (an "
                       "image is complete after that many packages, at once when it is 0) "
                       "instead of counting the packages from the image length."));
    const QCommandLineOption corruptStoredOpt(
        QStringLiteral("corrupt-stored"),
        QStringLiteral("Device fault: flip the first byte of the packages in LIST in the stored "
                       "image once written; they are acknowledged as written all the same (the "
                       "answer to the verification question shows it)."),
        QStringLiteral("LIST"));
    const QCommandLineOption earlyAcksOpt(
        QStringLiteral("early-acks"),
        QStringLiteral(
            "Device fault: right after accepting the request, acknowledge every "
            "package of the image as written (F1 82 index 01), then write nothing "
            "and answer nothing more. MODE: now (all at once), burst (all of them "
            "200 ms later), trickle (the first with the acceptance, then one every 10 ms) or "
            "spaced (the acceptance 40 ms late, then one every 50 ms from 45 ms after it). "
            "Or ahead: write and acknowledge only the even packages, each acknowledgement "
            "followed 0.2 ms later by one for the next package unless it has begun to "
            "arrive; the odd packages are neither written nor answered."),
        QStringLiteral("MODE"));
    const QCommandLineOption verifyAheadOpt(
        QStringLiteral("verify-ahead"),
        QStringLiteral("Device fault: 0.2 ms after the capability answer, and before the "
                       "verification question has begun to arrive, answer it unasked with the "
                       "length and CRC-32 of the image as it came over the line (not as stored)."));
    const QCommandLineOption capacityOpt(
        QStringLiteral("capacity"),
        QStringLiteral("The application area takes BYTES (default: the largest image, 67107840); "
                       "a request for more is refused."),
        QStringLiteral("BYTES"));
    const QCommandLineOption areaBaseOpt(
        QStringLiteral("base"),
        QStringLiteral("The capability answer names ADDRESS (0x... or decimal) as the "
                       "application area's first address."),
        QStringLiteral("ADDRESS"));
    const QCommandLineOption logOpt(QStringLiteral("log"),
                                    QStringLiteral("Write one line per event to stderr."));
    const QCommandLineOption linkOpt(
        QStringLiteral("link"),
        QStringLiteral("Make a symbolic link to the port at PATH (replacing one already there) and "
                       "remove it when the line closes or the simulator exits, as a board that is "
                       "plugged in and pulled out."),
        QStringLiteral("PATH"));
    parser.addOptions({linkOpt,       outOpt,           onceOpt,      baudOpt,        loseOpt,
                       statusOpt,     corruptOpt,       noiseOpt,     splitOpt,       gapOpt,
                       padOpt,        ignoreOpt,        silentOpt,    hangupOpt,      faultsOpt,
                       seedOpt,       echoOpt,          writeOpt,     keepAliveOpt,   shortAckOpt,
                       trustTotalOpt, corruptStoredOpt, earlyAcksOpt, verifyAheadOpt, logOpt,
                       capacityOpt,   areaBaseOpt,      eraseOpt,     erasePagesOpt,  maxBaudOpt,
                       windowOpt,     rateFailsOpt});
    parser.process(app);
    if (parser.isSet(versionOpt)) {
        std::printf("iap-device-sim %s\n", PROJECT_VERSION);
        return 0;
    }
    if (!parser.positionalArguments().isEmpty())
        return usageError(QStringLiteral("unexpected argument %1")
                              .arg(parser.positionalArguments().constFirst()));

    RunnerOptions options;
    options.outPath = parser.value(outOpt);
    options.linkPath = parser.value(linkOpt);
    if (parser.isSet(linkOpt) && options.linkPath.isEmpty())
        return usageError(QStringLiteral("--link needs a path"));
    options.once = parser.isSet(onceOpt);
    options.log = parser.isSet(logOpt);
    options.device.silent = parser.isSet(silentOpt);
    options.device.echo = parser.isSet(echoOpt);
    options.device.trustTotal = parser.isSet(trustTotalOpt);

    const auto number = [&](const QCommandLineOption &opt, int min, int *out) {
        bool ok = false;
        const int value = parser.value(opt).toInt(&ok);
        if (!ok || value < min)
            return false;
        *out = value;
        return true;
    };
    if (!number(baudOpt, 0, &options.baud))
        return usageError(QStringLiteral("--baud needs a number of 0 or more"));
    if (!number(gapOpt, 0, &options.splitGapMs))
        return usageError(QStringLiteral("--split-gap-ms needs a number of 0 or more"));
    if (!number(padOpt, 0, &options.device.pad) || options.device.pad > iap::wire::PackageSize)
        return usageError(
            QStringLiteral("--pad needs a number from 0 to %1").arg(iap::wire::PackageSize));
    if (!number(ignoreOpt, 0, &options.device.ignoreRequests))
        return usageError(QStringLiteral("--ignore-requests needs a number of 0 or more"));
    if (!number(writeOpt, 0, &options.device.writeMs) || options.device.writeMs > 60000)
        return usageError(QStringLiteral("--write-ms needs a number from 0 to 60000"));
    if (!number(eraseOpt, 0, &options.device.eraseMs) || options.device.eraseMs > 60000)
        return usageError(QStringLiteral("--erase-ms needs a number from 0 to 60000"));
    options.device.erasePages = parser.isSet(erasePagesOpt);
    options.device.rateFails = parser.isSet(rateFailsOpt);
    int maxBaud = 0;
    if (parser.isSet(maxBaudOpt) && !number(maxBaudOpt, 1, &maxBaud))
        return usageError(QStringLiteral("--max-baud needs a number of 1 or more"));
    options.device.maxBaud = quint32(maxBaud);
    if (!number(windowOpt, 1, &options.device.window) || options.device.window > 255)
        return usageError(QStringLiteral("--window needs a number from 1 to 255"));
    if (parser.isSet(keepAliveOpt) &&
        (!number(keepAliveOpt, 1, &options.device.keepAliveMs) || options.device.writeMs == 0))
        return usageError(
            QStringLiteral("--keep-alive needs a number of 1 or more, and --write-ms"));
    const auto address = [&](const QCommandLineOption &opt, quint32 *out) {
        const QString text = parser.value(opt);
        const bool hex = text.startsWith(QLatin1String("0x"), Qt::CaseInsensitive);
        bool ok = false;
        const qulonglong value = (hex ? text.mid(2) : text).toULongLong(&ok, hex ? 16 : 10);
        *out = quint32(value);
        return ok && value <= 0xFFFFFFFFu;
    };
    if (parser.isSet(capacityOpt) &&
        (!address(capacityOpt, &options.device.capacity) || options.device.capacity == 0))
        return usageError(QStringLiteral("--capacity needs a number of bytes from 1"));
    options.device.hasBase = parser.isSet(areaBaseOpt);
    if (options.device.hasBase && !address(areaBaseOpt, &options.device.base))
        return usageError(QStringLiteral("--base needs an address of 32 bits"));
    if (parser.isSet(hangupOpt) && !number(hangupOpt, 0, &options.hangupAfter))
        return usageError(QStringLiteral("--hangup-after needs a number of 0 or more"));

    const struct
    {
        const QCommandLineOption *opt;
        FaultSet *set;
    } lists[] = {{&loseOpt, &options.device.loseAck},
                 {&statusOpt, &options.device.errorStatus},
                 {&corruptOpt, &options.device.corruptAck},
                 {&noiseOpt, &options.device.noise},
                 {&splitOpt, &options.device.split},
                 {&shortAckOpt, &options.device.shortAck},
                 {&corruptStoredOpt, &options.device.corruptStored}};
    for (const auto &list : lists) {
        if (parser.isSet(*list.opt) && !FaultSet::parse(parser.value(*list.opt), list.set))
            return usageError(QStringLiteral("--%1 needs a list of package indices or \"all\"")
                                  .arg(list.opt->names().constFirst()));
    }
    if (parser.isSet(earlyAcksOpt)) {
        const QString mode = parser.value(earlyAcksOpt);
        using Early = DeviceOptions::EarlyAcks;
        if (mode == QLatin1String("now"))
            options.device.earlyAcks = Early::Now;
        else if (mode == QLatin1String("burst"))
            options.device.earlyAcks = Early::Burst;
        else if (mode == QLatin1String("trickle"))
            options.device.earlyAcks = Early::Trickle;
        else if (mode == QLatin1String("spaced"))
            options.device.earlyAcks = Early::Spaced;
        else if (mode == QLatin1String("ahead"))
            options.device.earlyAcks = Early::Ahead;
        else
            return usageError(
                QStringLiteral("--early-acks needs now, burst, trickle, spaced or ahead"));
    }
    options.device.verifyAhead = parser.isSet(verifyAheadOpt);
    bool ok = false;
    options.device.faultRate = parser.value(faultsOpt).toDouble(&ok);
    if (!ok || !(options.device.faultRate >= 0.0 && options.device.faultRate <= 1.0)) // nan too
        return usageError(QStringLiteral("--faults needs a rate from 0 to 1"));
    options.device.seed = parser.value(seedOpt).toULongLong(&ok);
    if (!ok)
        return usageError(QStringLiteral("--seed needs a whole number"));

    // SIGTERM and SIGINT end the event loop, so the pty is closed in order.
    if (::pipe(signalPipe) != 0)
        return usageError(QStringLiteral("cannot create a pipe"));
    ::fcntl(signalPipe[0], F_SETFD, FD_CLOEXEC);
    ::fcntl(signalPipe[1], F_SETFD, FD_CLOEXEC);
    ::fcntl(signalPipe[1], F_SETFL, O_NONBLOCK);
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
    QSocketNotifier signalNotifier(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&signalNotifier, &QSocketNotifier::activated, &app,
                     [] { QCoreApplication::exit(0); });

    PtyRunner runner(options);
    QString error;
    if (!runner.open(&error)) {
        std::fprintf(stderr, "iap-device-sim: %s\n", qPrintable(error));
        return 1;
    }
    QObject::connect(
        &runner, &PtyRunner::finished, &app, [](int code) { QCoreApplication::exit(code); },
        Qt::QueuedConnection);
    printJsonLine(runner.slavePath()); // the first line: the port to open
    return app.exec();
}
