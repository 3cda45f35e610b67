#pragma once

#include "serialerror.h"

#include <QByteArray>
#include <QObject>
#include <QSerialPort>
#include <QString>
#include <QStringList>
#include <functional>

// The device file behind a port name, with links resolved and the path cleaned
// ("/dev/pts//0" and a link to it are /dev/pts/0; "ttyUSB0" is /dev/ttyUSB0), so that two
// names of one line compare equal.
QString canonicalPortName(const QString &name);

// The one serial line: 115200 8N1 (or the caller's baud), no flow control.
// Every arrival runs readData() and then emits readSignal(), exactly once each.
class Serial : public QObject
{
    Q_OBJECT
public:
    Serial();
    ~Serial() override;

    bool openPort(const QString &name, int baud);
    void closePort();
    void sendData(const QByteArray &bytes);
    QByteArray getBuffer() const;
    void clearBuffer();
    QStringList availablePortNames();

    bool isOpen() const;
    // Why the last openPort() failed.
    links::SerialError lastError() const { return m_lastError; }
    QString lastErrorString() const { return m_lastErrorString; }

    // Called once when the open line fails for good (device gone, read error): the port has
    // already been closed when the handler runs.
    using LostHandler = std::function<void(links::SerialError error, const QString &reason)>;
    void setLostHandler(LostHandler handler) { m_lostHandler = std::move(handler); }

signals:
    void readSignal();

public slots:
    void readData();

private:
    void onPortError(QSerialPort::SerialPortError error);
    // Gives back the exclusive use of the line and closes it.
    void releaseAndClose();

public:
    QSerialPort *port;
    QByteArray buffer;

private:
    links::SerialError m_lastError = links::SerialError::None;
    QString m_lastErrorString;
    LostHandler m_lostHandler;
    bool m_lostReported = false; // the current open has already been reported as lost
    quint32 m_openCount = 0;     // successful opens, so a late loss report finds its own open
};
