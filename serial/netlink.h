#pragma once

#include "portlink.h"
#include "telnetcodec.h"

#include <QElapsedTimer>
#include <QTcpSocket>
#include <QTimer>
#include <QVector>
#include <chrono>

namespace links {

// A serial port on another machine, over TCP: either a telnet server with the RFC 2217
// COM-PORT option (rfc2217://HOST:PORT: the line settings and the modem lines go with it), or
// a raw TCP port that carries the line's bytes as they are (socket://HOST:PORT: no settings,
// no modem lines).
class NetLink : public PortLink
{
    Q_OBJECT
public:
    enum class Kind
    {
        Rfc2217,
        Raw
    };

    // Waits, each a short bound on a server that does not answer: for the TCP connection, for
    // the server to agree to RFC 2217 and set the baud rate, for a modem line's confirmation.
    static constexpr std::chrono::milliseconds ConnectWait{10000};
    static constexpr std::chrono::milliseconds NegotiationWait{3000};
    static constexpr std::chrono::milliseconds ModemLineWait{500};

    NetLink(Kind kind, const QString &host, quint16 port, const QString &name,
            QObject *parent = nullptr);
    ~NetLink() override;

    void setWaits(std::chrono::milliseconds connect, std::chrono::milliseconds negotiation,
                  std::chrono::milliseconds modemLine);

    QString name() const override { return m_name; }
    void open(qint32 baud) override;
    void close() override;
    bool isOpen() const override { return m_state == State::Open; }
    void send(const QByteArray &bytes) override;
    qint64 bytesToWrite() const override { return m_socket.bytesToWrite(); }
    void setModemLine(ModemLine line, bool on) override;

protected:
    qint64 undeliveredBytes(bool system) const override;

private:
    enum class State
    {
        Closed,
        Connecting,
        Negotiating,
        Open
    };
    struct LineRequest
    {
        ModemLine line;
        bool on;
    };

    void onConnected();
    void onReadyRead();
    void onDisconnected();
    void onSocketError(QAbstractSocket::SocketError error);
    void onWaitOver();
    void onComPortReply(const telnet::ComPortReply &reply);
    void answerNextLine(bool ok);
    void fail(NetError error, const QString &reason);
    void loseLine(NetError error, const QString &reason);
    void shutDown();
    void quickAck();
    // What the server said in words before it closed, when it said nothing else.
    QString serverWords() const;

    Kind m_kind;
    QString m_host;
    quint16 m_port;
    QString m_name;
    qint32 m_baud = 0;
    State m_state = State::Closed;
    QTcpSocket m_socket;
    telnet::TelnetClient m_telnet{true};
    bool m_settingsSent = false;
    bool m_baudAnswered = false;
    quint32 m_opens = 0; // so that a report queued for an earlier open is dropped
    QTimer m_wait;       // the connection, then the negotiation
    QTimer m_lineWait;
    QVector<LineRequest> m_lines; // sent, not yet confirmed; the first one is waited for
    QByteArray m_firstData;       // the start of the data the server sent, for serverWords()
    qint64 m_dataIn = 0;
    std::chrono::milliseconds m_connectWait = ConnectWait;
    std::chrono::milliseconds m_negotiationWait = NegotiationWait;
    std::chrono::milliseconds m_modemLineWait = ModemLineWait;
};

} // namespace links
