#pragma once

#include "messages.h"

#include <QByteArray>
#include <QString>

namespace iap {

struct FirmwareFile
{
    IapError error = IapError::None;
    QByteArray image; // the whole file when error is None, else empty
    qint64 size = 0;  // the size the file system reports (0 for a path that does not exist)
    QString detail;   // the reason behind FileUnreadable, the size behind FileTooLarge
};

// Reads a whole firmware image. An empty file or one over IapContext::MaxImageBytes is
// refused before it is read into memory.
FirmwareFile loadFirmwareFile(const QString &path);

// The same checks on an image already in memory (a file that changed under us, a pipe).
IapError checkImage(const QByteArray &image);

} // namespace iap
