#pragma once

#include "language.h"
#include <QString>

namespace links {

// What can go wrong with a serial port on the network.
enum class NetError
{
    None,
    HostNotFound,      // the host name does not resolve
    ConnectionRefused, // nothing listens at the port
    ConnectTimedOut,   // the host did not answer; the reason: the seconds waited
    Rfc2217Refused,    // the server does not offer the COM-PORT option
    Rfc2217Timeout,    // nor did it agree to it in time; the reason: the seconds waited
    BaudRateRefused,   // the server set another baud rate; the reason: the one it set
    ServerClosed,      // the server closed the connection; the reason: what it said, if anything
    NetworkFailed,     // any other network error
};

// The texts of a serial port on the network that cannot be reached or used, in the active
// language.
QString networkErrorText(NetError error, iap::Language language, const QString &port,
                         const QString &reason);

// Why a line went, for the text of a lost line: the server's closing said in words (with
// whatever the server said), else the system's reason as it is.
QString lostReasonText(NetError error, iap::Language language, const QString &reason);

} // namespace links
