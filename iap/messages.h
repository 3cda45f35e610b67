#pragma once

#include "imagetypes.h"
#include "language.h"

#include <QString>

namespace iap {

// Every operational text of the program, in English and Chinese. The window and the
// command-line flasher both take their texts from here.
enum class Text
{
    Summary,           // %1 image length, %2 package size, %3 package total
    RequestUpdate,     // the request package went out
    ResponseAccepted,  // the device accepted the request
    Progress,          // %1 package number (1-based), %2 package total
    FlashWriteSuccess, // last package acknowledged, first line
    UpdateCompleted,   // last package acknowledged, second line
    DataErrorResend,   // the device rejected the package
    WaitTimeoutResend, // no acknowledgement in time
    ReceiveTimeout,    // reply timer expired (the same text in both languages)
    DownloadLabel,
    CancelLabel,
    OpenLabel,
    CloseLabel,
    AboutTitle,
    AboutText,
    ConvertedImage,      // %1 format title, %2 first address, %3 last address (0x%08X)
    PortClosedDuringRun, // %1 bytes written, %2 image length
    FileReloaded,        // %1 path: the file changed after it was loaded
};

QString text(Text t, Language language);

// What can go wrong with a firmware image before anything is sent.
enum class IapError
{
    None,
    FileNotFound,   // %1 path
    FileUnreadable, // %1 path, %2 reason
    FileLinkLoop,   // %1 path: its symbolic links lead back to themselves
    FileNotRegular, // %1 path: a pipe, a device or a socket, not a file with an image
    FileEmpty,      // %1 path
    FileTooLarge,   // %1 path, %2 size in bytes
    EmptyImage,     // a run was asked for without a usable image
    // A structured file (HEX, S-record, ELF) that cannot become an image; the particulars
    // are in an ImageFault.
    ImageChecksum,      // a record's checksum does not add up (line)
    ImageMalformed,     // a record or header that cannot be read (record, line)
    ImageNoEnd,         // the end-of-file or termination record is missing
    ImageCountMismatch, // an S5/S6 record count differs from the records seen
    ImageOverlap,       // two pieces of data at the same address (the two ranges)
    ImageNoData,        // a structured file without a single data byte
    ImageGap,           // more than 1 MiB between two pieces of data (the two ranges)
    ImageTooLarge,      // the image from its first to its last address is over the limit
    ImageBelowBase,     // data below the start address given (first range: base, lowest)
    ImageBaseGap,       // the start address more than 1 MiB below the data (0xFF range, data)
    ImageText,          // text that is no HEX or S-record file (refused when asked to)
};

// One line for the user, naming the path and the reason.
QString errorText(IapError error, Language language, const QString &path = QString(),
                  const QString &detail = QString(), const ImageFault &fault = ImageFault());

// "Intel HEX", "Motorola S-record", "ELF", "binary": the same in both languages.
QString formatTitle(ImageFormat format);
// An address as the summary and the messages write it: 0x08000000.
QString addressText(quint64 address);

} // namespace iap
