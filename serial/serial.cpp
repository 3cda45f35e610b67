#include "serial.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSerialPortInfo>
#include <QTimer>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <sys/ioctl.h>
#include <unistd.h>
#endif

namespace {

// The device file Qt opens for a port name: a path as it is, a bare name under /dev.
QString deviceLocation(const QString &name)
{
#ifdef Q_OS_UNIX
    return name.contains(QLatin1Char('/')) ? name : QStringLiteral("/dev/") + name;
#else
    return name;
#endif
}

// Qt reports a port that another program holds (a lock file, an exclusive tty) as a
// permission error, and so too a name the system cannot even look up. Ask the system which
// it is: a device file we may read and write is in use; otherwise the reason it gives.
links::SerialError permissionErrorCause(const QString &name, QString *reason)
{
#ifdef Q_OS_UNIX
    if (::access(QFile::encodeName(deviceLocation(name)).constData(), R_OK | W_OK) == 0)
        return links::SerialError::Busy;
    const int error = errno;
    if (error == EACCES || error == EPERM || error == EROFS)
        return links::SerialError::PermissionDenied;
    *reason = qt_error_string(error);
    return error == ENOENT || error == ENOTDIR ? links::SerialError::NotFound
                                               : links::SerialError::OpenFailed;
#else
    Q_UNUSED(name);
    Q_UNUSED(reason);
    return links::SerialError::PermissionDenied;
#endif
}

} // namespace

QString canonicalPortName(const QString &name)
{
#ifndef Q_OS_UNIX
    return name;
#endif
    if (name.isEmpty())
        return name;
    const QString location = deviceLocation(name);
    const QString canonical = QFileInfo(location).canonicalFilePath();
    return canonical.isEmpty() ? QDir::cleanPath(location) : canonical;
}

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
    if (port->isOpen())
        releaseAndClose();
    delete port;
}

void Serial::releaseAndClose()
{
#ifdef TIOCNXCL
    ::ioctl(int(port->handle()), TIOCNXCL);
#endif
    port->close();
}

bool Serial::openPort(const QString &name, int baud)
{
    m_lastError = links::SerialError::None;
    m_lastErrorString.clear();
    if (name.isEmpty()) {
        m_lastError = links::SerialError::NoPortName;
        return false;
    }
    if (port->isOpen()) {
        // Renaming an open port would lose track of the line that is open.
        m_lastError = links::SerialError::Busy;
        m_lastErrorString = QStringLiteral("the port is already open");
        return false;
    }

    // Opened under its canonical name, so that the lock Qt takes for the line is the same
    // however the line is spelled (/dev/pts//0, a symbolic link).
    port->setPortName(canonicalPortName(name));
    if (!port->open(QIODevice::ReadWrite)) {
        const QSerialPort::SerialPortError error = port->error();
        m_lastErrorString = port->errorString();
        switch (error) {
        case QSerialPort::DeviceNotFoundError:
            m_lastError = links::SerialError::NotFound;
            break;
        case QSerialPort::PermissionError:
            m_lastError = permissionErrorCause(name, &m_lastErrorString);
            break;
        case QSerialPort::OpenError:
            m_lastError = links::SerialError::Busy;
            break;
        default:
            m_lastError = links::SerialError::OpenFailed;
            break;
        }
        port->clearError();
        return false;
    }
    m_lostReported = false;
    ++m_openCount;
#ifdef TIOCEXCL
    // No other program may open the line while we use it (root excepted); given back at close.
    ::ioctl(int(port->handle()), TIOCEXCL);
#endif

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
    if (port->isOpen())
        releaseAndClose();
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
    // a resource error). The system's text is kept only where it says more than that.
    const QString reason = links::usefulLossReason(port->errorString());
    const quint32 openCount = m_openCount;
    QTimer::singleShot(0, this, [this, reason, openCount] {
        if (openCount != m_openCount || !port->isOpen())
            return; // closed (and perhaps opened again) by its owner in the meantime
        // Hand on what was received before the line went.
        if (port->bytesAvailable() > 0) {
            readData();
            emit readSignal();
        }
        releaseAndClose();
        port->clearError();
        if (m_lostHandler)
            m_lostHandler(links::SerialError::DeviceLost, reason);
    });
}
