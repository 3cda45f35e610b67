#include "startoptions.h"

#include "filenames.h"
#include "mainwindow.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QLoggingCategory>
#include <QMetaObject>
#include <cstdio>

void configureParser(QCommandLineParser &parser)
{
    parser.setApplicationDescription(
        QStringLiteral("Flashes a firmware image into a device's boot loader over a serial line."));
    parser.addHelpOption();
    // -V as in iap-flash and iap-device-sim; -v is left free.
    parser.addOption(QCommandLineOption(QStringList{QStringLiteral("V"), QStringLiteral("version")},
                                        QStringLiteral("Displays version information.")));
    parser.addOption(QCommandLineOption(
        QStringList{QStringLiteral("p"), QStringLiteral("port")},
        QStringLiteral("Add NAME (a device path such as a pseudo-terminal) to the port list, "
                       "before the ports the system lists. May be given more than once."),
        QStringLiteral("NAME")));
    parser.addOption(QCommandLineOption(
        QStringLiteral("lang"),
        QStringLiteral("Start in this language: en (English, the default) or zh (Chinese)."),
        QStringLiteral("LANG"), QStringLiteral("en")));
    parser.addOption(QCommandLineOption(
        QStringLiteral("verbose"),
        QStringLiteral("Write the diagnostics (port scans, file sizes, every reply byte) to "
                       "stderr. Without it they are shown only when QT_LOGGING_RULES asks.")));
    parser.addPositionalArgument(
        QStringLiteral("FIRMWARE"),
        QStringLiteral("Firmware to load at start-up: a raw image (*.bin), Intel HEX, Motorola "
                       "S-record or ELF."),
        QStringLiteral("[FIRMWARE]"));
}

bool displayAvailable(int argc, const char *const argv[])
{
#if defined(Q_OS_UNIX) && !defined(Q_OS_MACOS)
    for (int i = 1; i < argc; ++i) {
        const QByteArray arg(argv[i]);
        if (arg == "-platform" || arg == "--platform" || arg.startsWith("-platform="))
            return true; // Qt's own choice, which it reports itself
    }
    const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
    if (!platform.isEmpty() && !platform.startsWith("xcb") && !platform.startsWith("wayland"))
        return true; // offscreen, vnc, eglfs...
    return !qEnvironmentVariableIsEmpty("DISPLAY") ||
           !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
#else
    Q_UNUSED(argc);
    Q_UNUSED(argv);
    return true;
#endif
}

int refuseWithoutDisplay(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    configureParser(parser);
    StartOptions options;
    QString error;
    if (!parser.parse(iap::argumentsFromNative(argc, argv)))
        error = parser.errorText();
    else
        readStartOptions(parser, &options, &error);
    if (error.isEmpty())
        error =
            options.language == QLatin1String("zh")
                ? QStringLiteral("窗口需要图形显示，但没有可用的显示（DISPLAY 和 WAYLAND_DISPLAY "
                                 "均未设置）。请在桌面会话中启动；不用显示也可以用 iap-flash "
                                 "烧写，如 iap-flash -p /dev/ttyUSB0 firmware.bin")
                : QStringLiteral("the window needs a display, and there is none (neither "
                                 "DISPLAY nor WAYLAND_DISPLAY is set). Start it in a desktop "
                                 "session; iap-flash flashes without a display, e.g. "
                                 "iap-flash -p /dev/ttyUSB0 firmware.bin");
    std::fprintf(stderr, "upgrade-assistant: %s\n", error.toLocal8Bit().constData());
    return 1;
}

bool asksForHelpOrVersion(int argc, const char *const argv[])
{
    for (int i = 1; i < argc; ++i) {
        const QByteArray arg(argv[i]);
        if (arg == "--")
            break;
        if (arg == "-h" || arg == "--help" || arg == "-?" || arg == "--help-all" || arg == "-V" ||
            arg == "--version")
            return true;
    }
    return false;
}

bool readStartOptions(const QCommandLineParser &parser, StartOptions *options, QString *error)
{
    StartOptions o;
    o.ports = parser.values(QStringLiteral("port"));
    o.language = parser.value(QStringLiteral("lang"));
    o.verbose = parser.isSet(QStringLiteral("verbose"));
    if (o.language != QLatin1String("en") && o.language != QLatin1String("zh")) {
        *error = QStringLiteral("unknown language \"%1\": use en or zh").arg(o.language);
        return false;
    }
    const QStringList positional = parser.positionalArguments();
    if (positional.size() > 1) {
        *error = QStringLiteral("only one firmware file can be given");
        return false;
    }
    if (!positional.isEmpty())
        o.firmware = positional.first();
    *options = o;
    return true;
}

void applyLogging(const StartOptions &options)
{
    // About ten lines for every acknowledgement, and they end up in the desktop session's
    // log. Rules from QT_LOGGING_RULES are applied after these, so they win.
    if (!options.verbose)
        QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
}

void applyStartOptions(MainWindow &window, const StartOptions &options)
{
    if (options.language == QLatin1String("zh"))
        QMetaObject::invokeMethod(&window, "on_actionchinese_triggered", Qt::DirectConnection);
    if (!options.firmware.isEmpty())
        window.loadFirmware(options.firmware);
}
