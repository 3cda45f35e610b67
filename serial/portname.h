#pragma once

#include "portlink.h"

#include <QString>
#include <memory>

namespace links {

// What a --port names: a serial port of this machine (a device path), or one on the network,
// rfc2217://HOST:PORT (telnet with the RFC 2217 COM-PORT option) or socket://HOST:PORT (raw
// TCP). HOST is a name, an IPv4 address or an IPv6 address in brackets ([::1]).
struct PortName
{
    enum class Kind
    {
        Local,
        Rfc2217,
        Socket
    };
    Kind kind = Kind::Local;
    QString text; // as given
    QString host; // without the brackets of an IPv6 address
    quint16 port = 0;

    bool isNetwork() const { return kind != Kind::Local; }
    // The same for two names of one line: the device file behind a path (links followed),
    // the host and port of a server (whatever protocol either name speaks to it).
    QString line() const;
};

enum class PortNameError
{
    None,
    Empty,
    UnknownScheme, // something:// that is neither rfc2217:// nor socket://
    NoHost,
    BadHost,  // not a host name or address (an IPv6 address without its brackets)
    NoPort,   // no :PORT after the host
    BadPort,  // not a number from 1 to 65535
    ExtraText // something after the port (a path, options)
};

PortNameError parsePortName(const QString &text, PortName *name);

// The link for a parsed name.
std::unique_ptr<PortLink> makePortLink(const PortName &name, QObject *parent = nullptr);

} // namespace links
