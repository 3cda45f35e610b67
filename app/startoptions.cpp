#include "startoptions.h"

#include "mainwindow.h"

#include <QCommandLineParser>
#include <QLoggingCategory>
#include <QMetaObject>

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
    parser.addPositionalArgument(QStringLiteral("FIRMWARE"),
                                 QStringLiteral("Firmware image (*.bin) to load at start-up."),
                                 QStringLiteral("[FIRMWARE]"));
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
