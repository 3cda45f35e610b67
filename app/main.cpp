#include "filenames.h"
#include "mainwindow.h"
#include "startoptions.h"

#include <QApplication>
#include <QCommandLineParser>
#include <cstdio>

namespace {

// --help and --version without a display (over SSH, for help2man): a core application is
// enough to print them. The same parser, so the same options and wording.
int helpOrVersion(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("upgrade-assistant"));
    QCoreApplication::setApplicationVersion(QStringLiteral(IAP_VERSION));
    QCommandLineParser parser;
    configureParser(parser);
    parser.process(app); // --help and unknown options end the program here
    std::printf("upgrade-assistant %s\n", IAP_VERSION);
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    if (asksForHelpOrVersion(argc, argv))
        return helpOrVersion(argc, argv);
    // Qt would abort without a display; say why instead, after any usage error.
    if (!displayAvailable(argc, argv))
        return refuseWithoutDisplay(argc, argv);

#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    // Qt 6 always scales for high-DPI screens; Qt 5 does so only when asked.
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling, true);
#endif
    QApplication a(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("upgrade-assistant"));
    QCoreApplication::setApplicationVersion(QStringLiteral(IAP_VERSION));

    QCommandLineParser parser;
    configureParser(parser);
    // The arguments as the system passed them, so a firmware file whose name is not valid in
    // the locale's encoding is still found. Unknown options end the program here.
    parser.process(iap::argumentsFromNative(argc, argv));
    StartOptions options;
    QString error;
    if (!readStartOptions(parser, &options, &error)) {
        std::fprintf(stderr, "upgrade-assistant: %s\n", qPrintable(error));
        return 1;
    }

    applyLogging(options);

    MainWindow w(options.ports);
    applyStartOptions(w, options);
    w.setWindowTitle(QStringLiteral("Velquor_Upgrade_Assistant"));
    w.show();
    return a.exec();
}
