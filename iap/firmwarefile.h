#pragma once

#include "imageformats.h"
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
    ImageFault fault; // the particulars behind the errors of a structured file
    ImageFormat format = ImageFormat::Binary; // what the file turned out to be
    quint64 base = 0; // address of the image's first byte (0 for a raw image without --base)
    quint64 last = 0; // address of its last byte
};

// Reads a whole firmware image. The format is decided from the content (or forced by
// options): HEX, S-record and ELF files are converted to one flat image, anything else is
// the image itself. An empty raw file or one over IapContext::MaxImageBytes is refused
// before it is read into memory.
FirmwareFile loadFirmwareFile(const QString &path, const ImageOptions &options = ImageOptions());

// The same checks on an image already in memory (a file that changed under us, a pipe).
IapError checkImage(const QByteArray &image);

} // namespace iap
