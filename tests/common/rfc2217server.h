#pragma once

// A small RFC 2217 server for the tests, on a free loopback port: it records what a client
// sends (the line settings, each modem-line command, where the data starts) with the time it
// arrived, answers like a network serial port, and passes the data to and from a device (the
// simulator's pseudo-terminal). Its own telnet parser, written from the protocol, so that
// the client's codec is checked against something other than itself.
#include <QElapsedTimer>
#include <QSerialPort>
#include <QString>
#include <QStringList>
#include <QTcpServer>
#include <QTcpSocket>
#include <QVector>

class Rfc2217Server : public QObject
{
public:
    // Telnet and RFC 2217 numbers, stated here for the tests.
    enum : uchar
    {
        IAC = 255,
        DONT = 254,
        DO = 253,
        WONT = 252,
        WILL = 251,
        SB = 250,
        NOP = 241,
        SE = 240,
        BINARY = 0,
        ECHO = 1,
        SGA = 3,
        COM_PORT = 44,
    };

    struct Settings
    {
        QString device;       // the pseudo-terminal to pass the data to; empty: none
        bool ackLines = true; // confirm DTR and RTS commands (a line that has them)
        bool refuseComPort = false;
        bool silent = false;         // accept the connection and never say anything
        quint32 baudAnswer = 0;      // the baud rate to confirm; 0: the one asked for
        bool commandsInData = false; // telnet commands between the device's bytes
    };
    struct Record
    {
        qint64 ms; // since the connection
        QString what;
    };

    explicit Rfc2217Server(const Settings &settings) : m_s(settings)
    {
        m_server.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&m_server, &QTcpServer::newConnection, this, [this] { accept(); });
    }

    QString url() const
    {
        return QStringLiteral("rfc2217://127.0.0.1:%1").arg(m_server.serverPort());
    }
    bool isListening() const { return m_server.isListening(); }

    QVector<Record> records; // "baud 115200", "control 8", "data" (where data starts), ...
    QByteArray data;         // the data received, un-escaped

    QStringList what() const
    {
        QStringList list;
        for (const Record &r : records)
            list << r.what;
        return list;
    }

private:
    void accept()
    {
        QTcpSocket *socket = m_server.nextPendingConnection();
        if (m_socket) { // one client at a time
            socket->abort();
            socket->deleteLater();
            return;
        }
        m_socket = socket;
        m_clock.start();
        m_state = 0;
        QObject::connect(socket, &QTcpSocket::readyRead, this, [this] { onClientBytes(); });
        QObject::connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            record(QStringLiteral("closed"));
            if (m_device.isOpen())
                m_device.close();
            socket->deleteLater();
            m_socket = nullptr;
        });
        if (m_s.silent)
            return;
        if (!m_s.device.isEmpty()) {
            m_device.setPortName(m_s.device);
            m_device.open(QIODevice::ReadWrite);
            QObject::disconnect(&m_device, nullptr, this, nullptr);
            QObject::connect(&m_device, &QSerialPort::readyRead, this, [this] { onDeviceBytes(); });
        }
        // The server speaks first, as ser2net does; its offer to echo must be refused.
        send({IAC, WILL, BINARY, IAC, DO, BINARY, IAC, WILL, SGA, IAC, WILL, ECHO});
    }

    void send(std::initializer_list<uchar> bytes)
    {
        QByteArray out;
        for (const uchar b : bytes)
            out += char(b);
        m_socket->write(out);
    }
    void record(const QString &what) { records.append({m_clock.elapsed(), what}); }

    void onDeviceBytes()
    {
        const QByteArray bytes = m_device.readAll();
        if (!m_socket)
            return;
        QByteArray out;
        if (m_s.commandsInData) // a no-op, a modem state with an escaped 0xFF, a repeated offer
            out += QByteArray::fromHex("fff1"
                                       "fffa2c6bffff"
                                       "fff0"
                                       "fffb03");
        for (const char c : bytes) {
            out += c;
            if (uchar(c) == IAC)
                out += c;
        }
        m_socket->write(out);
    }

    void onClientBytes()
    {
        const QByteArray bytes = m_socket->readAll();
        if (m_s.silent)
            return;
        QByteArray plain;
        for (const char ch : bytes) {
            const uchar b = uchar(ch);
            switch (m_state) {
            case 0: // data
                if (b == IAC) {
                    m_state = 1;
                } else {
                    plain += ch;
                }
                break;
            case 1: // after IAC
                if (b == IAC) {
                    plain += ch;
                    m_state = 0;
                } else if (b >= WILL && b <= DONT) {
                    m_verb = b;
                    m_state = 2;
                } else if (b == SB) {
                    m_sb.clear();
                    m_state = 3;
                } else {
                    m_state = 0;
                }
                break;
            case 2: // the option of a negotiation
                flush(&plain);
                negotiate(m_verb, b);
                m_state = 0;
                break;
            case 3: // sub-negotiation
                if (b == IAC)
                    m_state = 4;
                else
                    m_sb += ch;
                break;
            case 4: // IAC inside it
                if (b == IAC) {
                    m_sb += ch;
                    m_state = 3;
                } else {
                    flush(&plain);
                    subnegotiation();
                    m_state = 0;
                }
                break;
            }
        }
        flush(&plain);
    }

    // Data goes to the device; its start after anything else is recorded.
    void flush(QByteArray *plain)
    {
        if (plain->isEmpty())
            return;
        if (records.isEmpty() || records.constLast().what != QLatin1String("data"))
            record(QStringLiteral("data"));
        data += *plain;
        if (m_device.isOpen())
            m_device.write(*plain);
        plain->clear();
    }

    void negotiate(uchar verb, uchar option)
    {
        const char *names[] = {"will", "wont", "do", "dont"};
        record(QStringLiteral("%1 %2").arg(QLatin1String(names[verb - WILL])).arg(option));
        if (verb == WILL && option == COM_PORT)
            send({IAC, m_s.refuseComPort ? DONT : DO, COM_PORT});
        else if (verb == WILL && option == SGA && !m_sgaAnswered)
            send({IAC, DO, SGA});
        if (verb == WILL && option == SGA)
            m_sgaAnswered = true;
    }

    void subnegotiation()
    {
        if (m_sb.size() < 2 || uchar(m_sb.at(0)) != COM_PORT)
            return;
        const uchar command = uchar(m_sb.at(1));
        QByteArray value = m_sb.mid(2);
        switch (command) {
        case 1: {
            quint32 baud = 0;
            for (const char c : value)
                baud = baud << 8 | uchar(c);
            record(QStringLiteral("baud %1").arg(baud));
            const quint32 answer = m_s.baudAnswer ? m_s.baudAnswer : baud;
            value = QByteArray(1, char(answer >> 24)) + char(answer >> 16) + char(answer >> 8) +
                    char(answer);
            break;
        }
        case 2:
        case 3:
        case 4:
            record(QStringLiteral("%1 %2")
                       .arg(QLatin1String(command == 2   ? "datasize"
                                          : command == 3 ? "parity"
                                                         : "stopsize"))
                       .arg(value.isEmpty() ? -1 : uchar(value.at(0))));
            break;
        case 5: {
            const int control = value.isEmpty() ? -1 : uchar(value.at(0));
            record(QStringLiteral("control %1").arg(control));
            if (control >= 7 && control <= 12 && !m_s.ackLines)
                return; // a line without modem lines: no answer at all
            break;
        }
        default:
            record(QStringLiteral("command %1").arg(command));
            return;
        }
        QByteArray out = QByteArray::fromHex("fffa2c") + char(command + 100);
        for (const char c : value) {
            out += c;
            if (uchar(c) == IAC)
                out += c;
        }
        out += QByteArray::fromHex("fff0");
        m_socket->write(out);
    }

    Settings m_s;
    QTcpServer m_server;
    QTcpSocket *m_socket = nullptr;
    QSerialPort m_device;
    QElapsedTimer m_clock;
    int m_state = 0;
    uchar m_verb = 0;
    QByteArray m_sb;
    bool m_sgaAnswered = false;
};
