#pragma once

#include "language.h"
#include <QList>
#include <QString>
#include <QStringList>

class QCommandLineOption;
class QCommandLineParser;

namespace flash {

// The language of iap-flash, and --help in Chinese: the description and the options' texts
// (the English ones are declared with the options, in options.cpp).

// LC_ALL, LC_MESSAGES or LANG, the first that is set: "zh" when it starts with zh, else "en".
QString localeLanguage();
// Before the command line is parsed (for --help, and for one that does not parse): the value
// of --lang, else the locale's.
QString languageAsked(const QStringList &arguments);

QString chineseDescription();
// Gives each option, known by its long name, its Chinese description.
void describeInChinese(const QList<QCommandLineOption *> &options);
// --help: the parser's text, its headings in Chinese when asked.
QString helpText(const QCommandLineParser &parser, iap::Language language);

} // namespace flash
