// The window as the program starts it (same command line, same start-up), closed by a
// timer once the event loop has run: valgrind watches it start, load an image and quit.
// With --download it also opens the first port of the list and presses Download, and
// closes as soon as the upgrade has finished (or when --close-after runs out).
// Prints the loaded image's size and the final state so the caller can tell what happened.
//
//   window_driver [--close-after MS] [--download] [upgrade-assistant options] [FIRMWARE]
#include "iapcontext.h"
#include "mainwindow.h"
#include "mainwindowui.h"
#include "startoptions.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QTimer>

#include <cstdio>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("upgrade-assistant"));

    QCommandLineParser parser;
    configureParser(parser);
    const QCommandLineOption closeAfter(QStringLiteral("close-after"),
                                        QStringLiteral("Close the window after MS ms."),
                                        QStringLiteral("MS"), QStringLiteral("500"));
    parser.addOption(closeAfter);
    const QCommandLineOption download(QStringLiteral("download"),
                                      QStringLiteral("Open the first port and press Download."));
    parser.addOption(download);
    parser.process(app);
    StartOptions options;
    QString error;
    if (!readStartOptions(parser, &options, &error)) {
        std::fprintf(stderr, "window_driver: %s\n", qPrintable(error));
        return 1;
    }

    MainWindow w(options.ports);
    applyStartOptions(w, options);
    w.setWindowTitle(QStringLiteral("Velquor_Upgrade_Assistant"));
    w.show();
    // Closing the last window ends the event loop, as when the operator closes it.
    QTimer::singleShot(parser.value(closeAfter).toInt(), &w, &QWidget::close);

    QTimer watch;
    if (parser.isSet(download)) {
        // The operator's clicks: Open on the first listed port, then Download.
        QTimer::singleShot(0, &w, [&w, &watch] {
            w.form()->comboBox->setCurrentIndex(0);
            w.form()->openPortButton->click();
            w.form()->iapDownLoadButton->click();
            watch.start(20);
        });
        QObject::connect(&watch, &QTimer::timeout, &w, [&w] {
            if (w.context()->state == IapContext::Finished)
                w.close();
        });
    }
    const int rc = app.exec();
    std::printf("image bytes: %d\nstate: %d\n", int(w.context()->firmware.size()),
                int(w.context()->state));
    return rc;
}
