#pragma once

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
};

QString text(Text t, bool chinese);

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
};

// One line for the user, naming the path and the reason.
QString errorText(IapError error, bool chinese, const QString &path = QString(),
                  const QString &detail = QString());

} // namespace iap
