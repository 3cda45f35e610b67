#include "netlink.h"

#ifdef Q_OS_LINUX
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace links {

#endif

using namespace telnet;

namespace {

// The words of a server that refuses a client (ser2net: "Device open failure: ...") are a
// short line of text; anything longer or not plain text is the line's own data.
constexpr int MaxServerWords = 200;

uchar controlValue(ModemLine line, bool on)
{
    if (line == ModemLine::Dtr)
        return on ? rfc2217::DtrOn : rfc2217::DtrOff;
    return on ? rfc2217::RtsOn : rfc2217::RtsOff;
}

QString seconds(std::chrono::milliseconds wait)
{
    return QString::number(wait.count() / 1000.0);
}

} // namespace

NetLink::NetLink(Kind kind, const QString &host, quint16 port, const QString &name, QObject *parent)
    : PortLink(parent), m_kind(kind), m_host(host), m_port(port), m_name(name)
{
    m_wait.setSingleShot(true);
    m_lineWait.setSingleShot(true);
    // A wait is never cut short: the server has all of it.
    m_wait.setTimerType(Qt::PreciseTimer);
    m_lineWait.setTimerType(Qt::PreciseTimer);
    connect(&m_wait, &QTimer::timeout, this, &NetLink::onWaitOver);
    connect(&m_lineWait, &QTimer::timeout, this, [this] { answerNextLine(false); });
    connect(&m_socket, &QTcpSocket::connected, this, &NetLink::onConnected);
    connect(&m_socket, &QTcpSocket::readyRead, this, &NetLink::onReadyRead);
    connect(&m_socket, &QTcpSocket::bytesWritten, this, &NetLink::noteBytesWritten);
    connect(&m_socket, &QTcpSocket::disconnected, this, &NetLink::onDisconnected);
    connect(&m_socket, &QAbstractSocket::errorOccurred, this, &NetLink::onSocketError);
}

NetLink::~NetLink()
{
    shutDown();
}

void NetLink::setWaits(std::chrono::milliseconds connect, std::chrono::milliseconds negotiation,
                       std::chrono::milliseconds modemLine)
{
    m_connectWait = connect;
    m_negotiationWait = negotiation;
    m_modemLineWait = modemLine;
}

void NetLink::open(qint32 baud)
{
    shutDown();
    m_baud = baud;
    m_telnet = TelnetClient(m_kind == Kind::Rfc2217);
    m_settingsSent = false;
    m_baudAnswered = false;
    m_firstData.clear();
    m_dataIn = 0;
    m_state = State::Connecting;
    m_wait.start(m_connectWait);
    // Reported from the event loop, a name that does not resolve included.
    m_socket.connectToHost(m_host, m_port);
}

void NetLink::close()
{
    shutDown();
}

void NetLink::shutDown()
{
    m_state = State::Closed;
    ++m_opens;
    m_wait.stop();
    m_lineWait.stop();
    m_lines.clear();
    // Any signal the socket gives while it goes finds the link closed.
    if (m_socket.state() != QAbstractSocket::UnconnectedState)
        m_socket.abort();
}

void NetLink::send(const QByteArray &bytes)
{
    if (m_state != State::Open)
        return;
    m_socket.write(m_kind == Kind::Raw ? bytes : m_telnet.encode(bytes));
    // Into the kernel now, not at the next turn of the event loop: the run marks where in the
    // stream of replies the package went out.
    m_socket.flush();
}

qint64 NetLink::undeliveredBytes(bool system) const
{
    if (m_state != State::Open)
        return 0;
    // What Qt and the kernel hold, read without taking it, and counted as the line's data
    // (telnet commands and doubled 0xFF bytes are not data).
    auto &socket = const_cast<QTcpSocket &>(m_socket);
    QByteArray raw = socket.peek(socket.bytesAvailable());
#ifdef Q_OS_LINUX
    const qint64 waiting = system ? pendingInput(m_socket.socketDescriptor()) : 0;
    if (waiting > 0) {
        QByteArray more(int(waiting), '\0');
        const ssize_t n = ::recv(int(m_socket.socketDescriptor()), more.data(), size_t(more.size()),
                                 MSG_PEEK | MSG_DONTWAIT);
        if (n > 0)
            raw += more.left(int(n));
    }
#endif
    if (m_kind == Kind::Raw || raw.isEmpty())
        return raw.size();
    TelnetClient decoder = m_telnet;
    TelnetClient::Input input;
    decoder.receive(raw, &input);
    return input.data.size();
}

void NetLink::setModemLine(ModemLine line, bool on)
{
    if (m_state != State::Open || m_kind == Kind::Raw) {
        // A raw TCP port carries bytes only.
        const quint32 opens = m_opens;
        QMetaObject::invokeMethod(
            this,
            [this, line, on, opens] {
                if (opens == m_opens)
                    emit modemLineSet(line, on, false);
            },
            Qt::QueuedConnection);
        return;
    }
    m_socket.write(
        comPortCommand(rfc2217::SetControl, QByteArray(1, char(controlValue(line, on)))));
    m_lines.append({line, on});
    if (m_lines.size() == 1)
        m_lineWait.start(m_modemLineWait);
}

void NetLink::answerNextLine(bool ok)
{
    if (m_lines.isEmpty())
        return;
    const LineRequest request = m_lines.takeFirst();
    m_lineWait.stop();
    if (!m_lines.isEmpty())
        m_lineWait.start(m_modemLineWait);
    emit modemLineSet(request.line, request.on, ok);
}

void NetLink::onConnected()
{
    if (m_state != State::Connecting)
        return;
    // Each request and each package is a message of its own: no waiting to fill a segment.
    m_socket.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    if (m_kind == Kind::Raw) {
        m_wait.stop();
        m_state = State::Open;
        emit opened();
        return;
    }
    m_state = State::Negotiating;
    m_wait.start(m_negotiationWait);
    m_socket.write(m_telnet.greeting());
}

void NetLink::onReadyRead()
{
    if (m_state == State::Closed)
        return;
    const QByteArray bytes = m_socket.readAll();
    quickAck();
    QByteArray data = bytes;
    QVector<ComPortReply> replies;
    if (m_kind == Kind::Rfc2217) {
        TelnetClient::Input input;
        m_telnet.receive(bytes, &input);
        if (!input.answer.isEmpty())
            m_socket.write(input.answer);
        data = input.data;
        replies = input.replies;
    }
    m_dataIn += data.size();
    if (m_firstData.size() < MaxServerWords + 1)
        m_firstData += data.left(MaxServerWords + 1 - m_firstData.size());

    const quint32 opens = m_opens;
    if (m_state == State::Open)
        deliver(data); // before any reply that follows it, in the order they came
    for (const ComPortReply &reply : qAsConst(replies)) {
        if (opens != m_opens)
            return; // failed, or closed by a receiver
        onComPortReply(reply);
    }
    if (opens != m_opens)
        return;
    if (m_state != State::Negotiating)
        return;
    switch (m_telnet.comPort()) {
    case TelnetClient::Answer::Refused:
        fail(NetError::Rfc2217Refused, QString());
        return;
    case TelnetClient::Answer::Pending:
        return;
    case TelnetClient::Answer::Accepted:
        break;
    }
    if (!m_settingsSent) {
        // The option is agreed: now its commands may go.
        m_settingsSent = true;
        m_socket.write(lineSettings(quint32(m_baud)));
    }
    if (m_baudAnswered) {
        // Bytes of the line that came during the negotiation are from before our time.
        m_wait.stop();
        m_state = State::Open;
        emit opened();
    }
}

void NetLink::onComPortReply(const ComPortReply &reply)
{
    if (reply.command == rfc2217::ServerReply + rfc2217::SetBaudRate && reply.value.size() == 4) {
        const quint32 rate = quint32(uchar(reply.value.at(0))) << 24 |
                             quint32(uchar(reply.value.at(1))) << 16 |
                             quint32(uchar(reply.value.at(2))) << 8 | uchar(reply.value.at(3));
        if (m_state != State::Negotiating || m_baudAnswered)
            return;
        if (rate != quint32(m_baud)) {
            fail(NetError::BaudRateRefused, QString::number(rate));
            return;
        }
        m_baudAnswered = true;
        return;
    }
    if (reply.command != rfc2217::ServerReply + rfc2217::SetControl || reply.value.isEmpty() ||
        m_lines.isEmpty())
        return;
    // The server answers with the state it set; an answer about flow control or the other
    // line is not the one awaited.
    const LineRequest &head = m_lines.constFirst();
    const uchar value = uchar(reply.value.at(0));
    if (value != controlValue(head.line, true) && value != controlValue(head.line, false))
        return;
    answerNextLine(value == controlValue(head.line, head.on));
}

void NetLink::onDisconnected()
{
    if (m_state == State::Closed)
        return;
    onReadyRead(); // what came before the end
    if (m_state == State::Open)
        loseLine(NetError::ServerClosed, serverWords());
    else if (m_state != State::Closed)
        fail(NetError::ServerClosed, serverWords());
}

void NetLink::onSocketError(QAbstractSocket::SocketError error)
{
    if (m_state == State::Closed)
        return;
    if (error == QAbstractSocket::RemoteHostClosedError) {
        onDisconnected();
        return;
    }
    const QString reason = m_socket.errorString();
    if (m_state == State::Open) {
        onReadyRead();
        if (m_state == State::Open)
            loseLine(NetError::NetworkFailed, reason);
        return;
    }
    switch (error) {
    case QAbstractSocket::HostNotFoundError:
        fail(NetError::HostNotFound, reason);
        break;
    case QAbstractSocket::ConnectionRefusedError:
        fail(NetError::ConnectionRefused, reason);
        break;
    case QAbstractSocket::SocketTimeoutError:
        fail(NetError::ConnectTimedOut, seconds(m_connectWait));
        break;
    default:
        fail(NetError::NetworkFailed, reason);
        break;
    }
}

void NetLink::onWaitOver()
{
    if (m_state == State::Connecting)
        fail(NetError::ConnectTimedOut, seconds(m_connectWait));
    else if (m_state == State::Negotiating)
        fail(NetError::Rfc2217Timeout, seconds(m_negotiationWait));
}

void NetLink::fail(NetError error, const QString &reason)
{
    shutDown();
    emit openFailed({SerialError::None, error}, reason);
}

void NetLink::loseLine(NetError error, const QString &reason)
{
    shutDown();
    emit lost({SerialError::None, error}, reason);
}

void NetLink::quickAck()
{
#ifdef Q_OS_LINUX
    // A server that sends a reply in pieces and keeps Nagle's algorithm on holds the rest of
    // it until our acknowledgement: answer at once instead of after the delayed-ACK time
    // (up to 40 ms a reply). The kernel drops the flag again after a while, so it is set
    // after every read.
    const int fd = int(m_socket.socketDescriptor());
    const int on = 1;
    if (fd >= 0)
        ::setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
#endif
}

QString NetLink::serverWords() const
{
    if (m_dataIn != m_firstData.size() || m_firstData.size() > MaxServerWords)
        return QString();
    for (const char c : m_firstData) {
        const uchar b = uchar(c);
        if ((b < 0x20 || b > 0x7E) && b != '\r' && b != '\n' && b != '\t')
            return QString();
    }
    return QString::fromLatin1(m_firstData).simplified();
}

} // namespace links
