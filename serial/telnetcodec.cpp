#include "telnetcodec.h"

namespace links {

namespace telnet {

QByteArray escape(const QByteArray &data, bool binary)
{
    QByteArray out;
    out.reserve(data.size() + data.size() / 64 + 8);
    for (const char c : data) {
        out += c;
        if (uchar(c) == Iac)
            out += char(Iac);
        else if (uchar(c) == Cr && !binary)
            out += char(Nul);
    }
    return out;
}

QByteArray negotiation(uchar verb, uchar option)
{
    const char bytes[] = {char(Iac), char(verb), char(option)};
    return QByteArray(bytes, 3);
}

QByteArray comPortCommand(uchar command, const QByteArray &value)
{
    QByteArray out;
    out += char(Iac);
    out += char(Sb);
    out += char(ComPort);
    out += char(command);
    out += escape(value, true);
    out += char(Iac);
    out += char(Se);
    return out;
}

QByteArray lineSettings(quint32 baud)
{
    const char rate[] = {char(baud >> 24), char(baud >> 16), char(baud >> 8), char(baud)};
    return comPortCommand(rfc2217::SetBaudRate, QByteArray(rate, 4)) +
           comPortCommand(rfc2217::SetDataSize, QByteArray(1, char(8))) +
           comPortCommand(rfc2217::SetParity, QByteArray(1, char(rfc2217::ParityNone))) +
           comPortCommand(rfc2217::SetStopSize, QByteArray(1, char(rfc2217::OneStopBit))) +
           comPortCommand(rfc2217::SetControl, QByteArray(1, char(rfc2217::NoFlowControl)));
}

TelnetClient::TelnetClient(bool comPort) : m_comPort(comPort) {}

QByteArray TelnetClient::greeting()
{
    QByteArray out;
    const auto offer = [&](Option *o, uchar verb, uchar option) {
        o->pending = true;
        out += negotiation(verb, option);
    };
    offer(&m_local[Binary], Will, Binary);
    offer(&m_remote[Binary], Do, Binary);
    offer(&m_local[SuppressGoAhead], Will, SuppressGoAhead);
    offer(&m_remote[SuppressGoAhead], Do, SuppressGoAhead);
    if (m_comPort)
        offer(&m_local[ComPort], Will, ComPort);
    return out;
}

TelnetClient::Answer TelnetClient::comPort() const
{
    const Option &o = m_local[ComPort];
    if (o.enabled)
        return Answer::Accepted;
    return o.pending ? Answer::Pending : Answer::Refused;
}

QByteArray TelnetClient::encode(const QByteArray &data) const
{
    return escape(data, sendsBinary());
}

bool TelnetClient::weSupport(uchar option) const
{
    return option == Binary || option == SuppressGoAhead || (m_comPort && option == ComPort);
}

bool TelnetClient::theySupport(uchar option) const
{
    return option == Binary || option == SuppressGoAhead;
}

// Each side answers a request only when it changes the option's state, and never answers an
// answer: two ends that both follow this cannot start a loop of negotiations.
void TelnetClient::onVerb(uchar verb, uchar option, QByteArray *answer)
{
    if (verb == Do || verb == Dont) {
        Option &o = m_local[option];
        const bool wanted = verb == Do;
        if (o.pending) {
            o.pending = false;
            o.enabled = wanted;
        } else if (wanted && !o.enabled) {
            o.enabled = weSupport(option);
            *answer += negotiation(o.enabled ? Will : Wont, option);
        } else if (!wanted && o.enabled) {
            o.enabled = false;
            *answer += negotiation(Wont, option);
        }
        return;
    }
    Option &o = m_remote[option];
    const bool offered = verb == Will;
    if (o.pending) {
        o.pending = false;
        o.enabled = offered;
    } else if (offered && !o.enabled) {
        o.enabled = theySupport(option);
        *answer += negotiation(o.enabled ? Do : Dont, option);
    } else if (!offered && o.enabled) {
        o.enabled = false;
        *answer += negotiation(Dont, option);
    }
}

void TelnetClient::onSubnegotiation(Input *input)
{
    if (m_sbOption == ComPort && !m_sb.isEmpty())
        input->replies.append({uchar(m_sb.at(0)), m_sb.mid(1)});
    m_sb.clear();
}

void TelnetClient::receive(const QByteArray &bytes, Input *input)
{
    for (int i = 0; i < bytes.size(); ++i) {
        const uchar b = uchar(bytes.at(i));
        switch (m_state) {
        case State::Cr:
            m_state = State::Data;
            if (b == Nul)
                break; // CR NUL is a CR
            Q_FALLTHROUGH();
        case State::Data:
            if (b == Iac) {
                m_state = State::Iac;
                break;
            }
            input->data += char(b);
            if (b == Cr && !receivesBinary())
                m_state = State::Cr;
            break;
        case State::Iac:
            if (b == Iac) {
                input->data += char(Iac);
                m_state = State::Data;
            } else if (b >= Will && b <= Dont) {
                m_verb = b;
                m_state = State::Verb;
            } else if (b == Sb) {
                m_state = State::SbOption;
            } else {
                m_state = State::Data; // NOP, GA, a stray SE, ...: nothing for the line
            }
            break;
        case State::Verb:
            onVerb(m_verb, b, &input->answer);
            m_state = State::Data;
            break;
        case State::SbOption:
            m_sbOption = b;
            m_sb.clear();
            m_state = State::SbData;
            break;
        case State::SbData:
            if (b == Iac)
                m_state = State::SbIac;
            else if (m_sb.size() < MaxSubnegotiation)
                m_sb += char(b);
            break;
        case State::SbIac:
            if (b == Iac) {
                if (m_sb.size() < MaxSubnegotiation)
                    m_sb += char(Iac);
                m_state = State::SbData;
            } else {
                onSubnegotiation(input);
                m_state = State::Data;
                // IAC SE ends it; any other command ends it too and is taken as a command.
                if (b != Se) {
                    m_state = State::Iac;
                    --i;
                }
            }
            break;
        }
    }
}

} // namespace telnet

} // namespace links
