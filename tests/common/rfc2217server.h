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
    // Telnet numbers (WONT is 252) and the COM-PORT option.
    enum : uchar
    {
        IAC = 255,
        SB = 250,
        SE = 240,
        WILL = 251,
        DO = 253,
        DONT = 254,
        COM_PORT = 44,
    };
    struct Settings
    {
        QString device;              // the pseudo-terminal to pass the data to; empty: none
        bool ackLines = true;        // confirm DTR and RTS commands (a line that has them)
        bool silent = false;         // accept the connection and never say anything
        quint32 baudAnswer = 0;      // the baud rate to confirm; 0: the one asked for
        bool commandsInData = false; // telnet commands between the device's bytes
    };
    explicit Rfc2217Server(const Settings &settings) : m_s(settings)
    {
        m_server.listen(QHostAddress::LocalHost, 0);
        m_port = m_server.serverPort();
        QObject::connect(&m_server, &QTcpServer::newConnection, this, [this] { accept(); });
    }
    quint16 port() const { return m_port; }
    QString url() const { return QStringLiteral("rfc2217://127.0.0.1:%1").arg(m_port); }
    bool isListening() const { return m_port != 0; }

    // What came: "will 44", "dont 1", "baud 115200", "datasize 8", "control 8", "data" (where
    // data starts), "closed", ...; and when, in ms since the connection.
    QStringList what;
    QVector<qint64> ms;

private:
    void accept()
    {
        m_socket = m_server.nextPendingConnection();
        m_server.close(); // one client
        m_clock.start();
        QObject::connect(m_socket, &QTcpSocket::readyRead, this, [this] { onClientBytes(); });
        QObject::connect(m_socket, &QTcpSocket::disconnected, this, [this] {
            record(QStringLiteral("closed"));
            if (m_device.isOpen())
                m_device.close();
        });
        if (m_s.silent)
            return;
        if (!m_s.device.isEmpty()) {
            m_device.setPortName(m_s.device);
            m_device.open(QIODevice::ReadWrite);
            QObject::connect(&m_device, &QSerialPort::readyRead, this, [this] {
                // A no-op, a modem state with an escaped 0xFF, a repeated offer, then the data.
                QByteArray out = m_s.commandsInData
                                     ? QByteArray::fromHex("fff1fffa2c6bfffffff0fffb03")
                                     : QByteArray();
                m_socket->write(out + m_device.readAll().replace("\xff", "\xff\xff"));
            });
        }
        // The server speaks first, as ser2net does: WILL BINARY, DO BINARY, WILL SGA, WILL ECHO
        // (an offer the client must refuse).
        m_socket->write(QByteArray::fromHex("fffb00fffd00fffb03fffb01"));
    }
    void record(const QString &event)
    {
        what << event;
        ms << m_clock.elapsed();
    }

    void onClientBytes()
    {
        m_in += m_socket->readAll();
        if (m_s.silent)
            m_in.clear();
        QByteArray plain;
        int at = 0;
        while (at < m_in.size()) {
            if (uchar(m_in.at(at)) != IAC) {
                plain += m_in.at(at++);
                continue;
            }
            const uchar verb = at + 1 < m_in.size() ? uchar(m_in.at(at + 1)) : 0;
            const bool negotiation = verb >= WILL && verb <= DONT;
            if (at + 1 >= m_in.size() || (negotiation && at + 2 >= m_in.size()))
                break; // the rest of the command is still on its way
            if (verb == IAC) {
                plain += m_in.at(at);
                at += 2;
                continue;
            }
            flush(&plain);
            if (negotiation) {
                negotiate(verb, uchar(m_in.at(at + 2)));
                at += 3;
            } else if (verb == SB) {
                QByteArray sb; // un-escaped, up to IAC SE
                int end = at + 2;
                for (; end + 1 < m_in.size() &&
                       !(uchar(m_in.at(end)) == IAC && uchar(m_in.at(end + 1)) == SE);
                     ++end) {
                    sb += m_in.at(end);
                    end += uchar(m_in.at(end)) == IAC ? 1 : 0;
                }
                if (end + 1 >= m_in.size())
                    break;
                subnegotiation(sb);
                at = end + 2;
            } else {
                at += 2; // NOP and the like
            }
        }
        m_in.remove(0, at);
        flush(&plain);
    }

    // Data goes to the device; its start after anything else is recorded.
    void flush(QByteArray *plain)
    {
        if (plain->isEmpty())
            return;
        if (what.isEmpty() || what.constLast() != QLatin1String("data"))
            record(QStringLiteral("data"));
        if (m_device.isOpen())
            m_device.write(*plain);
        plain->clear();
    }

    void negotiate(uchar verb, uchar option)
    {
        const char *const names[] = {"will", "wont", "do", "dont"};
        record(QStringLiteral("%1 %2").arg(QLatin1String(names[verb - WILL])).arg(option));
        if (verb == WILL && option == COM_PORT)
            m_socket->write(QByteArray::fromHex("fffd2c"));
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
        if (command == 1 && m_s.baudAnswer)
            value =
                QByteArray::fromHex(QByteArray::number(m_s.baudAnswer, 16).rightJustified(8, '0'));
        if (command == 5 && number >= 7 && number <= 12 && !m_s.ackLines)
            return;
        m_socket->write(QByteArray::fromHex("fffa2c") + char(command + 100) +
                        value.replace("\xff", "\xff\xff") + QByteArray::fromHex("fff0"));
    }

    Settings m_s;
    QTcpServer m_server;
    quint16 m_port = 0;
    QTcpSocket *m_socket = nullptr;
    QSerialPort m_device;
    QElapsedTimer m_clock;
    QByteArray m_in; // the client's bytes not yet parsed
};
