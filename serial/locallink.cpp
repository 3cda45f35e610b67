#include "locallink.h"

namespace links {

LocalLink::LocalLink(const QString &name, QObject *parent) : PortLink(parent), m_name(name)
{
    connect(&m_serial, &Serial::readSignal, this, [this] {
        const QByteArray bytes = m_serial.getBuffer();
        m_serial.clearBuffer();
        deliver(bytes);
    });
    connect(m_serial.port, &QSerialPort::bytesWritten, this, &LocalLink::noteBytesWritten);
    // Serial reports a lost line from the event loop, with the port already closed.
    m_serial.setLostHandler([this](SerialError error, const QString &reason) {
        emit lost({error, {}}, reason);
    });
}

LocalLink::~LocalLink()
{
    m_serial.setLostHandler(nullptr);
    if (m_serial.isOpen())
        m_serial.closePort();
}

void LocalLink::open(qint32 baud)
{
    const quint32 opens = ++m_opens;
    const bool ok = m_serial.openPort(m_name, baud);
    const SerialError error = m_serial.lastError();
    const QString reason = m_serial.lastErrorString();
    QMetaObject::invokeMethod(
        this,
        [this, ok, error, reason, opens] {
            if (opens != m_opens)
                return;
            if (ok)
                emit opened();
            else
                emit openFailed({error, {}}, reason);
        },
        Qt::QueuedConnection);
}

void LocalLink::close()
{
    ++m_opens;
    if (m_serial.isOpen())
        m_serial.closePort();
}

void LocalLink::send(const QByteArray &bytes)
{
    m_serial.sendData(bytes);
    // Into the driver now, not at the next turn of the event loop: the run marks where in the
    // stream of replies the package went out, and that must not be guessed.
    if (m_serial.isOpen())
        m_serial.port->flush();
}

qint64 LocalLink::bytesToWrite() const
{
    return m_serial.isOpen() ? m_serial.port->bytesToWrite() : 0;
}

qint64 LocalLink::undeliveredBytes(bool system) const
{
    if (!m_serial.isOpen())
        return 0;
    return m_serial.port->bytesAvailable() + m_serial.getBuffer().size() +
           (system ? pendingInput(m_serial.port->handle()) : 0);
}

void LocalLink::setModemLine(ModemLine line, bool on)
{
    bool ok = false;
    if (m_serial.isOpen()) {
        QSerialPort *port = m_serial.port;
        ok = line == ModemLine::Dtr ? port->setDataTerminalReady(on) : port->setRequestToSend(on);
        // A port without the line (a pseudo-terminal) says so through its error state; that
        // is no loss of the line.
        if (!ok)
            port->clearError();
    }
    const quint32 opens = m_opens;
    QMetaObject::invokeMethod(
        this,
        [this, line, on, ok, opens] {
            if (opens == m_opens)
                emit modemLineSet(line, on, ok);
        },
        Qt::QueuedConnection);
}

bool LocalLink::setBaudRate(qint32 baud)
{
    return m_serial.isOpen() && m_serial.port->setBaudRate(baud);
}

} // namespace links
