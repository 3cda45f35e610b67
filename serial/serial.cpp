#include "serial.h"

#include <QSerialPortInfo>
#include <QTimer>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace {

// Qt reports a port that another program holds (a lock file, an exclusive tty) as a
// permission error. If we may read and write the device file, that is what it is.
bool deviceFileAccessible(const QString &name)
{
#ifdef Q_OS_UNIX
    // The device file Qt opens for this name: a path as it is, a bare name under /dev.
    const QString location =
        name.contains(QLatin1Char('/')) ? name : QStringLiteral("/dev/") + name;
    return ::access(location.toLocal8Bit().constData(), R_OK | W_OK) == 0;
#else
    Q_UNUSED(name);
    return false;
#endif
}

} // namespace

Serial::Serial() : QObject(nullptr), port(new QSerialPort)
{
    // Connected once for the life of the object, so that every arrival runs readData() and
    // then readSignal() exactly once, however often the port is closed and opened again.
    connect(port, &QSerialPort::readyRead, this, &Serial::readData);
    connect(port, &QSerialPort::readyRead, this, &Serial::readSignal);
    connect(port, &QSerialPort::errorOccurred, this, &Serial::onPortError);
}

Serial::~Serial()
{
    delete port;
}

bool Serial::openPort(const QString &name, int baud)
{
    m_lastError = SerialError::None;
    m_lastErrorString.clear();
    if (name.isEmpty()) {
        m_lastError = SerialError::NoPortName;
        return false;
    }
    if (port->isOpen()) {
        // Renaming an open port would lose track of the line that is open.
        m_lastError = SerialError::Busy;
        m_lastErrorString = tr("the port is already open");
        return false;
    }

    port->setPortName(name);
    if (!port->open(QIODevice::ReadWrite)) {
        const QSerialPort::SerialPortError error = port->error();
        m_lastErrorString = port->errorString();
        switch (error) {
        case QSerialPort::DeviceNotFoundError:
            m_lastError = SerialError::NotFound;
            break;
        case QSerialPort::PermissionError:
            m_lastError =
                deviceFileAccessible(name) ? SerialError::Busy : SerialError::PermissionDenied;
            break;
        case QSerialPort::OpenError:
            m_lastError = SerialError::Busy;
            break;
        default:
            m_lastError = SerialError::OpenFailed;
            break;
        }
        port->clearError();
        return false;
    }
    m_lostReported = false;
    ++m_openCount;

    port->setBaudRate(baud, QSerialPort::AllDirections);
    port->setDataBits(QSerialPort::Data8);
    port->setParity(QSerialPort::NoParity);
    port->setStopBits(QSerialPort::OneStop);
    port->setFlowControl(QSerialPort::NoFlowControl);
    return true;
}

void Serial::closePort()
{
    port->clear(QSerialPort::AllDirections);
    port->close();
}

void Serial::sendData(const QByteArray &bytes)
{
    port->write(bytes);
}

QByteArray Serial::getBuffer() const
{
    return buffer;
}

void Serial::clearBuffer()
{
    buffer.clear();
}

QStringList Serial::availablePortNames()
{
    QStringList names;
    const auto ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : ports) {
        port->setPort(info);
        if (port->open(QIODevice::ReadWrite)) {
            names.append(port->portName());
            port->close();
        } else {
            port->clearError();
        }
    }
    return names;
}

bool Serial::isOpen() const
{
    return port->isOpen();
}

void Serial::readData()
{
    buffer = port->readAll();
}

void Serial::onPortError(QSerialPort::SerialPortError error)
{
    if (error != QSerialPort::ResourceError && error != QSerialPort::ReadError)
        return;
    if (!port->isOpen() || m_lostReported)
        return;
    // A line that has gone away keeps reporting errors from every notification; report it
    // once. The port is closed from the event loop, not from inside QSerialPort's own
    // notification handler that is emitting this error.
    m_lostReported = true;
    // Both mean the line is gone (a hung-up pty reports a failed read, an unplugged adapter
    // a resource error); the reason tells them apart.
    const QString reason = port->errorString();
    const quint32 openCount = m_openCount;
    QTimer::singleShot(0, this, [this, reason, openCount] {
        if (openCount != m_openCount || !port->isOpen())
            return; // closed (and perhaps opened again) by its owner in the meantime
        // Hand on what was received before the line went.
        if (port->bytesAvailable() > 0) {
            readData();
            emit readSignal();
        }
        port->close();
        port->clearError();
        if (m_lostHandler)
            m_lostHandler(SerialError::DeviceLost, reason);
    });
}
