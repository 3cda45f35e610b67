#pragma once

#include "language.h"
#include "neterror.h"
#include "serialerror.h"

#include <QByteArray>
#include <QMetaType>
#include <QObject>
#include <QString>

namespace links {

// What went wrong with a line: the local port's error, or the network's (one of them is set).
struct LinkError
{
    SerialError serial = SerialError::None;
    NetError network = NetError::None;
};

// One line for the user, in the active language, naming the port and the reason.
QString linkErrorText(const LinkError &error, iap::Language language, const QString &port,
                      const QString &reason);

// The modem lines a board's reset and boot pins may be wired to.
enum class ModemLine
{
    Dtr,
    Rts
};

// "DTR", "RTS".
QString modemLineName(ModemLine line);

// One line to a board for iap-flash, whatever carries it: a local serial port, or a serial
// port on another machine reached over the network. Everything it reports comes from the
// event loop, never from within the call that caused it, so that its owner may react to any
// signal by closing or deleting the link later.
class PortLink : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;

    // The name the user gave (/dev/ttyUSB0, rfc2217://lab-pi:4000).
    virtual QString name() const = 0;

    // Opens the line at the baud rate, 8 data bits, no parity, one stop bit, no flow control.
    // opened() or openFailed() follows.
    virtual void open(qint32 baud) = 0;
    // Closes the line at once; nothing more is reported after it (no lost()).
    virtual void close() = 0;
    virtual bool isOpen() const = 0;

    // Hands the bytes to the operating system at once, as far as it takes them now; the rest
    // goes out from the event loop, and written() says when all of it has.
    virtual void send(const QByteArray &bytes) = 0;
    // Bytes given to send() that the operating system has not taken yet.
    virtual qint64 bytesToWrite() const = 0;
    // The bytes received since the last call (received() says there are some).
    QByteArray takeReceived();
    // Bytes of the line that have reached this machine but are not among those received()
    // announced yet: the link's own buffers, what takeReceived() has not taken, and with
    // `system` what the operating system holds for reading. Counted as received() will
    // deliver them.
    qint64 unreadBytes(bool system) const;

    // Asserts (on) or releases (off) a modem line. modemLineSet() follows with the outcome:
    // false when the line has no such line or did not confirm it in time.
    virtual void setModemLine(ModemLine line, bool on) = 0;

    // Changes the line's rate at once (bytes still to be sent go at the new one). False where
    // the link cannot (a network port).
    virtual bool setBaudRate(qint32 baud)
    {
        Q_UNUSED(baud);
        return false;
    }
    virtual bool canSetBaudRate() const { return false; }

signals:
    void opened();
    void openFailed(links::LinkError error, const QString &reason);
    void received();
    // The line went away while open (the device, the adapter or the server is gone). Bytes
    // that arrived before are announced by received() first. The link is closed already.
    void lost(links::LinkError error, const QString &reason);
    // The operating system has taken everything given to send() (bytesToWrite() is 0).
    void written();
    void modemLineSet(links::ModemLine line, bool on, bool ok);

protected:
    // For the implementations: bytes to hand on, then announced.
    void deliver(const QByteArray &bytes);
    // Bytes that have arrived and are not delivered yet, beside m_received (with `system`,
    // those the operating system holds too).
    virtual qint64 undeliveredBytes(bool system) const = 0;
    // For the implementations: after the operating system took some bytes, written() from the
    // event loop once nothing is left to write.
    void noteBytesWritten();

private:
    QByteArray m_received;
    bool m_writtenQueued = false;
};

// Bytes the operating system holds for reading on a descriptor (0 when it cannot say).
qint64 pendingInput(qintptr descriptor);

} // namespace links

Q_DECLARE_METATYPE(links::LinkError)
