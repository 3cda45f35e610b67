#pragma once

#include <QSerialPort>
#include <QString>

namespace iap {
class UpgradeRun;
}

// What can go wrong with the serial line.
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
    // A serial port on the network (texts in neterror.h).
    HostNotFound,      // the host name does not resolve
    ConnectionRefused, // nothing listens at the port
    ConnectTimedOut,   // the host did not answer; the reason: the seconds waited
    Rfc2217Refused,    // the server does not offer the COM-PORT option
    Rfc2217Timeout,    // nor did it agree to it in time; the reason: the seconds waited
    BaudRateRefused,   // the server set another baud rate; the reason: the one it set
    ServerClosed,      // the server closed the connection; the reason: what it said, if anything
    NetworkFailed,     // any other network error
};

// One line for the user, in the active language, naming the port and the reason.
QString serialErrorText(SerialError error, bool chinese, const QString &port,
                        const QString &reason = QString());

// The line went away in the middle of an upgrade: the device holds part of an image. Says
// so, with the bytes acknowledged so far, before the reason. An empty reason: the other end
// closed the line or the device disappeared (the system's own text would add nothing).
QString lostDuringUpgradeText(bool chinese, const QString &port, qint64 bytesDone,
                              qint64 imageBytes, const QString &reason);

// What the user is told when the line went: an incomplete upgrade when a run was active at
// the time and did not complete, else the plain loss of the port.
QString lineLostText(const iap::UpgradeRun &run, bool chinese, const QString &port,
                     const QString &reason);

// The system's text for a line that went away, or an empty string when it would say nothing
// the user can use ("Resource temporarily unavailable" for a pseudo-terminal whose other end
// closed, "Inappropriate ioctl for device", an input/output error).
QString usefulLossReason(const QString &systemText);
