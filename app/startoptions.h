#pragma once

#include <QString>
#include <QStringList>

class MainWindow;
class QCommandLineParser;

// upgrade-assistant [--port NAME]... [--lang en|zh] [--verbose] [FIRMWARE]
struct StartOptions
{
    QStringList ports;    // listed before the enumerated ports, in the order given
    QString firmware;     // loaded at start-up as if chosen in the file dialog
    QString language;     // "en" (the default) or "zh"
    bool verbose = false; // Qt's debug output (the diagnostics) on stderr
};

// Adds --help, -V/--version, --port, --lang, --verbose and the FIRMWARE argument.
void configureParser(QCommandLineParser &parser);
// True when the command line asks for --help or --version: they are answered before the
// window's application exists, so that they need no display.
bool asksForHelpOrVersion(int argc, const char *const argv[]);
// False when the window could not be shown: on X11 and Wayland, neither DISPLAY nor
// WAYLAND_DISPLAY is set (and no other platform is asked for).
bool displayAvailable(int argc, const char *const argv[]);
// Without a display: a usage error first, else the line that says the window needs a display
// and that iap-flash flashes without one (in the language --lang asks for). Exit code 1.
int refuseWithoutDisplay(int argc, char *argv[]);
// Reads a parsed command line. Returns false with *error set on a bad value.
bool readStartOptions(const QCommandLineParser &parser, StartOptions *options, QString *error);
// Without --verbose the diagnostics on Qt's debug output (default category) are not
// written; rules the user sets in QT_LOGGING_RULES still take precedence.
void applyLogging(const StartOptions &options);
// The language first, so that the firmware summary is written in it.
void applyStartOptions(MainWindow &window, const StartOptions &options);
