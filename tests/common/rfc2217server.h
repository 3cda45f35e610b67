#pragma once

// A small RFC 2217 server for the tests, on a free loopback port: it records what a client
// sends (options, line settings, modem-line commands, where the data starts) with the time it
// arrived, answers like a network serial port, and passes the data to and from a device (the
// simulator's pseudo-terminal). Its own telnet parser, written from the protocol, so that the
// client's codec is checked against something other than itself.
#include <QElapsedTimer>
#include <QSerialPort>
#include <QStringList>
#include <QTcpServer>
#include <QTcpSocket>
#include <QVector>

class Rfc2217Server : public QObject
{
public:
    // Set before the client connects.
    QString device;              // the pseudo-terminal to pass the data to; empty: none
    bool ackLines = true;        // confirm DTR and RTS commands (a line that has them)
    bool silent = false;         // accept the connection and never say anything
    quint32 baudAnswer = 0;      // the baud rate to confirm; 0: the one asked for
    bool commandsInData = false; // telnet commands between the device's bytes
    // What came: "will 44", "dont 1", "baud 115200", "datasize 8", "control 8", "data" (where
    // data starts), "closed", ...; and when, in ms since the connection.
    QStringList what;
    QVector<qint64> ms;

    Rfc2217Server()
    {
        m_server.listen(QHostAddress::LocalHost, 0);
        m_port = m_server.serverPort();
        QObject::connect(&m_server, &QTcpServer::newConnection, this, [this] { accept(); });
    }
    quint16 port() const { return m_port; }
    QString url() const { return QStringLiteral("rfc2217://127.0.0.1:%1").arg(m_port); }

private:
    enum : uchar // telnet's numbers
    {
        IAC = 255,
        DONT = 254,
        WILL = 251, // WILL, WONT, DO, DONT
        SB = 250,
        SE = 240,
        COM_PORT = 44,
    };

    void accept()
    {
        m_socket = m_server.nextPendingConnection();
        m_server.close(); // one client
        m_clock.start();
        QObject::connect(m_socket, &QTcpSocket::disconnected, this, [this] {
            record(QStringLiteral("closed"));
            if (m_device.isOpen())
                m_device.close();
        });
        if (silent)
            return;
        QObject::connect(m_socket, &QTcpSocket::readyRead, this, [this] {
            m_in += m_socket->readAll();
            for (int used = 1; used > 0 && !m_in.isEmpty(); m_in.remove(0, used))
                used = take();
            flush();
        });
        m_device.setPortName(device);
        if (!device.isEmpty() && m_device.open(QIODevice::ReadWrite))
            QObject::connect(&m_device, &QSerialPort::readyRead, this, [this] {
                // A no-op, a modem state with an escaped 0xFF, a repeated offer, then the data.
                m_socket->write(
                    QByteArray::fromHex(commandsInData ? "fff1fffa2c6bfffffff0fffb03" : "") +
                    m_device.readAll().replace("\xff", "\xff\xff"));
            });
        // The server speaks first, as ser2net does: WILL BINARY, DO BINARY, WILL SGA, WILL ECHO
        // (an offer the client must refuse).
        m_socket->write(QByteArray::fromHex("fffb00fffd00fffb03fffb01"));
    }
    void record(const QString &event)
    {
        what << event;
        ms << m_clock.elapsed();
    }

    // Takes one thing from the start of what came: a data byte, a doubled 0xFF, a negotiation
    // or a sub-negotiation. 0: it has not come whole yet.
    int take()
    {
        const auto at = [this](int i) { return i < m_in.size() ? uchar(m_in.at(i)) : 0; };
        if (at(0) != IAC || at(1) == IAC) {
            m_plain += m_in.at(0);
            return at(0) == IAC ? 2 : 1;
        }
        if (m_in.size() < 2 || (at(1) >= WILL && at(1) <= DONT && m_in.size() < 3))
            return 0;
        flush();
        if (at(1) >= WILL && at(1) <= DONT) {
            const char *const verbs[] = {"will", "wont", "do", "dont"};
            record(QStringLiteral("%1 %2").arg(QLatin1String(verbs[at(1) - WILL])).arg(at(2)));
            if (at(1) == WILL && at(2) == COM_PORT)
                m_socket->write(QByteArray::fromHex("fffd2c"));
            return 3;
        }
        if (at(1) != SB)
            return 2;  // NOP and the like
        QByteArray sb; // un-escaped, up to IAC SE
        for (int i = 2; i + 1 < m_in.size(); i += at(i) == IAC ? 2 : 1) {
            if (at(i) == IAC && at(i + 1) == SE) {
                subnegotiation(sb);
                return i + 2;
            }
            sb += m_in.at(i);
        }
        return 0;
    }

    // Data goes to the device; its start after anything else is recorded.
    void flush()
    {
        if (m_plain.isEmpty())
            return;
        if (what.isEmpty() || what.constLast() != QLatin1String("data"))
            record(QStringLiteral("data"));
        if (m_device.isOpen())
            m_device.write(m_plain);
        m_plain.clear();
    }

    // SET-BAUDRATE (1) .. SET-CONTROL (5): recorded with their value and confirmed (command
    // + 100, the value set), but for a line without modem lines no DTR or RTS command (7-12).
    void subnegotiation(const QByteArray &sb)
    {
        const char *const names[] = {"baud", "datasize", "parity", "stopsize", "control"};
        const uchar command = sb.size() >= 3 && uchar(sb.at(0)) == COM_PORT ? uchar(sb.at(1)) : 0;
        if (command < 1 || command > 5)
            return;
        QByteArray value = sb.mid(2);
        quint32 number = 0;
        for (const char c : value)
            number = number << 8 | uchar(c);
        record(QStringLiteral("%1 %2").arg(QLatin1String(names[command - 1])).arg(number));
        if (command == 1 && baudAnswer)
            value = QByteArray::fromHex(QByteArray::number(baudAnswer, 16).rightJustified(8, '0'));
        if (command == 5 && number >= 7 && number <= 12 && !ackLines)
            return;
        m_socket->write(QByteArray::fromHex("fffa2c") + char(command + 100) +
                        value.replace("\xff", "\xff\xff") + QByteArray::fromHex("fff0"));
    }

    QTcpServer m_server;
    quint16 m_port = 0;
    QTcpSocket *m_socket = nullptr;
    QSerialPort m_device;
    QElapsedTimer m_clock;
    QByteArray m_in;    // the client's bytes not yet taken
    QByteArray m_plain; // the data taken, not yet passed on
};
