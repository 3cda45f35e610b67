#pragma once

#include "portlink.h"
#include "serial.h"

namespace links {

// A serial port of this machine: the window's Serial (its open, its exclusive use of the
// line, its error mapping and its report of a lost line) behind the link interface, and the
// port's own modem lines.
class LocalLink : public PortLink
{
    Q_OBJECT
public:
    explicit LocalLink(const QString &name, QObject *parent = nullptr);
    ~LocalLink() override;

    QString name() const override { return m_name; }
    void open(qint32 baud) override;
    void close() override;
    bool isOpen() const override { return m_serial.isOpen(); }
    void send(const QByteArray &bytes) override;
    qint64 bytesToWrite() const override;
    // Answered at once by the port's driver: a pseudo-terminal has no modem lines.
    void setModemLine(ModemLine line, bool on) override;
    bool setBaudRate(qint32 baud) override;
    bool canSetBaudRate() const override { return true; }

protected:
    qint64 undeliveredBytes(bool system) const override;

private:
    QString m_name;
    Serial m_serial;
    quint32 m_opens = 0; // so that a report queued for an earlier open is dropped
};

} // namespace links
