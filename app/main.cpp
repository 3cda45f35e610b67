#include "filenames.h"
#include "mainwindow.h"
#include "startoptions.h"

#include <QApplication>
#include <QCommandLineParser>
#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication::setAttribute(Qt::AA_EnableHighDpiScaling, true);
    QApplication a(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("upgrade-assistant"));
    QCoreApplication::setApplicationVersion(QStringLiteral(IAP_VERSION));

    QCommandLineParser parser;
    configureParser(parser);
    // The arguments as the system passed them, so a firmware file whose name is not valid in
    // the locale's encoding is still found. --help, --version and unknown options end the
    // program here.
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
