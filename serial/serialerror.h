#pragma once

#include "language.h"
#include <QString>

namespace links {

// What can go wrong with the serial line. (A serial port on the network has its own errors,
// in neterror.h.)
enum class SerialError
{
    None,
    NoPortName,       // nothing chosen (empty port list)
    NotFound,         // the port does not exist
    PermissionDenied, // on Linux: the user is not in the dialout group
    Busy,             // held by another program, or already open
    OpenFailed,       // any other reason the open failed
    NotOpen,          // an upgrade was asked for while no port is open
    DeviceLost,       // the device went away while the port was open
    ReadFailed,
    WriteFailed,
};

// One line for the user, in the active language, naming the port and the reason.
QString serialErrorText(SerialError error, iap::Language language, const QString &port,
                        const QString &reason = QString());

// The line went away in the middle of an upgrade: the device holds part of an image. Says
// so, with the bytes acknowledged so far, before the reason. An empty reason: the other end
// closed the line or the device disappeared (the system's own text would add nothing).
QString lostDuringUpgradeText(iap::Language language, const QString &port, qint64 bytesDone,
                              qint64 imageBytes, const QString &reason);

// What the user is told when the line went: an incomplete upgrade (midUpgrade: a run was
// active at the time and did not complete, with bytesDone of imageBytes acknowledged), else
// the plain loss of the port.
QString lineLostText(bool midUpgrade, qint64 bytesDone, qint64 imageBytes, iap::Language language,
                     const QString &port, const QString &reason);

// The system's text for a line that went away, or an empty string when it would say nothing
// the user can use ("Resource temporarily unavailable" for a pseudo-terminal whose other end
// closed, "Inappropriate ioctl for device", an input/output error).
QString usefulLossReason(const QString &systemText);

} // namespace links
