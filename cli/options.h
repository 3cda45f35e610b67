#pragma once

#include "flashjob.h"
#include "imageformats.h"
#include "reporter.h"

#include <QString>
#include <QStringList>

class QCommandLineParser;

namespace flash {

// Everything the command line of iap-flash asks for.
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

struct ParseResult
{
    enum Kind
    {
        Run,
        Help,
        Version,
        Error
    };
    Kind kind = Run;
    QString error; // Error: the line for the user, in the language asked for
};

// Declares the options on the parser and reads the arguments into *settings. A command line
// that does not parse is reported in the language of --lang when that could be read, and in
// JSON (settings->report.json) when --json was among the arguments.
ParseResult parseCommandLine(QCommandLineParser &parser, const QStringList &arguments,
                             Settings *settings);

} // namespace flash
