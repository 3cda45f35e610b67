#include "portname.h"

#include "locallink.h"
#include "netlink.h"
#include "serial.h"

#include <QHostAddress>

namespace links {

namespace {

const QLatin1String SchemeMark("://");

bool isHostName(const QString &host)
{
    for (const QChar c : host) {
        const bool ok = (c >= QLatin1Char('a') && c <= QLatin1Char('z')) ||
                        (c >= QLatin1Char('A') && c <= QLatin1Char('Z')) ||
                        (c >= QLatin1Char('0') && c <= QLatin1Char('9')) || c == QLatin1Char('-') ||
                        c == QLatin1Char('.') || c == QLatin1Char('_');
        if (!ok)
            return false;
    }
    return !host.startsWith(QLatin1Char('.')) && !host.startsWith(QLatin1Char('-'));
}

} // namespace

QString PortName::line() const
{
    if (kind == Kind::Local)
        return canonicalPortName(text);
    QHostAddress address;
    if (address.setAddress(host) && address.protocol() == QAbstractSocket::IPv6Protocol)
        return QStringLiteral("[%1]:%2").arg(address.toString()).arg(port);
    return QStringLiteral("%1:%2")
        .arg(address.isNull() ? host.toLower() : address.toString())
        .arg(port);
}

PortNameError parsePortName(const QString &text, PortName *name)
{
    *name = PortName();
    name->text = text;
    if (text.isEmpty())
        return PortNameError::Empty;
    const int mark = text.indexOf(SchemeMark);
    if (mark < 0)
        return PortNameError::None; // a device path
    const QString scheme = text.left(mark).toLower();
    if (scheme == QLatin1String("rfc2217"))
        name->kind = PortName::Kind::Rfc2217;
    else if (scheme == QLatin1String("socket"))
        name->kind = PortName::Kind::Socket;
    else
        return PortNameError::UnknownScheme;

    const QString rest = text.mid(mark + SchemeMark.size());
    QString portText;
    if (rest.startsWith(QLatin1Char('['))) {
        const int close = rest.indexOf(QLatin1Char(']'));
        if (close < 0)
            return PortNameError::BadHost;
        name->host = rest.mid(1, close - 1);
        QHostAddress address;
        if (name->host.isEmpty())
            return PortNameError::NoHost;
        if (!address.setAddress(name->host) || address.protocol() != QAbstractSocket::IPv6Protocol)
            return PortNameError::BadHost;
        if (close + 1 >= rest.size())
            return PortNameError::NoPort;
        if (rest.at(close + 1) != QLatin1Char(':'))
            return PortNameError::ExtraText;
        portText = rest.mid(close + 2);
    } else {
        if (rest.count(QLatin1Char(':')) > 1)
            return PortNameError::BadHost; // an IPv6 address goes in brackets
        int end = 0;
        while (end < rest.size() && rest.at(end) != QLatin1Char(':') &&
               rest.at(end) != QLatin1Char('/') && rest.at(end) != QLatin1Char('?'))
            ++end;
        name->host = rest.left(end);
        if (name->host.isEmpty())
            return PortNameError::NoHost;
        if (!isHostName(name->host))
            return PortNameError::BadHost;
        if (end == rest.size() || rest.at(end) != QLatin1Char(':'))
            return PortNameError::NoPort;
        portText = rest.mid(end + 1);
    }
    int digits = 0;
    while (digits < portText.size() && portText.at(digits).isDigit() &&
           portText.at(digits).unicode() < 128)
        ++digits;
    if (digits == 0)
        return portText.isEmpty() ? PortNameError::NoPort : PortNameError::BadPort;
    if (digits < portText.size())
        return PortNameError::ExtraText;
    bool ok = false;
    const uint number = portText.toUInt(&ok);
    if (!ok || number == 0 || number > 65535)
        return PortNameError::BadPort;
    name->port = quint16(number);
    return PortNameError::None;
}

std::unique_ptr<PortLink> makePortLink(const PortName &name, QObject *parent)
{
    switch (name.kind) {
    case PortName::Kind::Local:
        break;
    case PortName::Kind::Rfc2217:
        return std::make_unique<NetLink>(NetLink::Kind::Rfc2217, name.host, name.port, name.text,
                                         parent);
    case PortName::Kind::Socket:
        return std::make_unique<NetLink>(NetLink::Kind::Raw, name.host, name.port, name.text,
                                         parent);
    }
    return std::make_unique<LocalLink>(name.text, parent);
}

} // namespace links
