#pragma once

#include "serialerror.h"

#include <QString>

// The texts of a serial port on the network that cannot be reached or used, in the active
// language; serialErrorText() hands the network errors here.
QString networkErrorText(SerialError error, bool chinese, const QString &port,
                         const QString &reason);

// Why a line went, for the text of a lost line: the server's closing said in words (with
// whatever the server said), else the system's reason as it is.
QString lostReasonText(SerialError error, bool chinese, const QString &reason);
