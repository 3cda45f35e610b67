#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace iap {

// File names as the system has them are bytes. Names that are not valid in the locale's
// encoding (a file copied from another system, say) keep each stray byte as a code unit
// U+DC80..U+DCFF, so that nativeFileName() gives the very same bytes back and the file can
// still be opened. Valid names are decoded exactly as QFile::decodeName() does.
QString fileNameFromNative(const QByteArray &bytes);
QByteArray nativeFileName(const QString &name);

// The command line as the system passed it, each argument decoded with fileNameFromNative().
QStringList argumentsFromNative(int argc, const char *const *argv);

} // namespace iap
