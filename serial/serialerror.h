#pragma once

#include <QSerialPort>
#include <QString>

// What can go wrong with the serial line.
enum class SerialError
{
    None,
    NoPortName,       // nothing chosen (empty port list)
    NotFound,         // the port does not exist
    PermissionDenied, // on Linux: the user is not in the dialout group
    Busy,             // held by another program, or already open
    OpenFailed,       // any other reason the open failed
    DeviceLost,       // the device went away while the port was open
    ReadFailed,
    WriteFailed,
};

SerialError serialErrorFrom(QSerialPort::SerialPortError error);

// One line for the user, in the active language, naming the port and the reason.
QString serialErrorText(SerialError error, bool chinese, const QString &port,
                        const QString &reason = QString());
