#pragma once

#include <QByteArray>
#include <QVector>

namespace links {

// The telnet side of a network serial port (RFC 854 and its option negotiation, RFC 2217 for
// the line settings and the modem lines). Pure: bytes in, bytes out, no socket and no timer,
// so that every byte can be checked.
namespace telnet {

constexpr uchar Iac = 255;
constexpr uchar Dont = 254;
constexpr uchar Do = 253;
constexpr uchar Wont = 252;
constexpr uchar Will = 251;
constexpr uchar Sb = 250;
constexpr uchar Se = 240;
constexpr uchar Cr = 13;
constexpr uchar Nul = 0;

// Options.
constexpr uchar Binary = 0;
constexpr uchar Echo = 1;
constexpr uchar SuppressGoAhead = 3;
constexpr uchar ComPort = 44;

// RFC 2217 commands as the client sends them; the server answers each with the command
// number plus ServerReply.
namespace rfc2217 {
constexpr uchar SetBaudRate = 1;
constexpr uchar SetDataSize = 2;
constexpr uchar SetParity = 3;
constexpr uchar SetStopSize = 4;
constexpr uchar SetControl = 5;
constexpr uchar ServerReply = 100;

constexpr uchar ParityNone = 1;
constexpr uchar OneStopBit = 1;
// Values of SetControl.
constexpr uchar NoFlowControl = 1;
constexpr uchar DtrOn = 8;
constexpr uchar DtrOff = 9;
constexpr uchar RtsOn = 11;
constexpr uchar RtsOff = 12;
} // namespace rfc2217

// Data as it goes on the connection: every 0xFF doubled; while we do not send in binary mode
// a CR is followed by a NUL, so that the server keeps it as it is.
QByteArray escape(const QByteArray &data, bool binary);
// IAC verb option.
QByteArray negotiation(uchar verb, uchar option);
// IAC SB COM-PORT-OPTION command value IAC SE, 0xFF in the value doubled.
QByteArray comPortCommand(uchar command, const QByteArray &value);
// The four commands that set the line (baud rate, 8 data bits, no parity, one stop bit) and
// the one that switches flow control off.
QByteArray lineSettings(quint32 baud);

// A sub-negotiation of the COM-PORT option from the server: its command (101 for the baud
// rate, 105 for a control) and its value.
struct ComPortReply
{
    uchar command = 0;
    QByteArray value;
};

// The client side of one telnet connection: splits what the server sends into data, answers
// its option negotiation, and keeps the state of each option. We offer to send in binary
// mode and ask the server to, the same for suppressing go-ahead, and, for an RFC 2217 port,
// offer the COM-PORT option. Anything else the server offers or asks for is refused.
class TelnetClient
{
public:
    enum class Answer
    {
        Pending,
        Accepted,
        Refused
    };

    explicit TelnetClient(bool comPort);

    // What the client says first.
    QByteArray greeting();

    struct Input
    {
        QByteArray data;               // the bytes of the serial line
        QByteArray answer;             // to be sent back to the server at once
        QVector<ComPortReply> replies; // COM-PORT sub-negotiations, in order
    };
    // Takes bytes as they came from the server (a command may be split across reads).
    void receive(const QByteArray &bytes, Input *input);

    // Data for the server, as the current modes want it.
    QByteArray encode(const QByteArray &data) const;

    // The server's answer to our COM-PORT offer.
    Answer comPort() const;
    // Whether the binary mode has been agreed: for what we send, for what the server sends.
    bool sendsBinary() const { return m_local[Binary].enabled; }
    bool receivesBinary() const { return m_remote[Binary].enabled; }

    // Sub-negotiations longer than this are cut (a server cannot make us hold more).
    static constexpr int MaxSubnegotiation = 1024;

private:
    struct Option
    {
        bool enabled = false;
        bool pending = false; // we asked and wait for the answer
    };
    enum class State
    {
        Data,
        Cr,   // a CR in NVT mode: a NUL after it is dropped
        Iac,  // after IAC
        Verb, // after IAC WILL/WONT/DO/DONT: the option comes
        SbOption,
        SbData,
        SbIac
    };

    bool weSupport(uchar option) const;
    bool theySupport(uchar option) const;
    void onVerb(uchar verb, uchar option, QByteArray *answer);
    void onSubnegotiation(Input *input);

    bool m_comPort;
    Option m_local[256];  // options on our side (WILL/WONT from us, DO/DONT from them)
    Option m_remote[256]; // options on the server's side
    State m_state = State::Data;
    uchar m_verb = 0;
    uchar m_sbOption = 0;
    QByteArray m_sb;
};

} // namespace telnet

} // namespace links
