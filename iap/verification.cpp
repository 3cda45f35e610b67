#include "verification.h"

#include "iapcontext.h"
#include "wire.h"

namespace iap {
namespace {

quint32 be32(const QByteArray &b, int at)
{
    return quint32(quint8(b.at(at))) << 24 | quint32(quint8(b.at(at + 1))) << 16 |
           quint32(quint8(b.at(at + 2))) << 8 | quint32(quint8(b.at(at + 3)));
}

QByteArray question(quint8 code)
{
    QByteArray frame(wire::MinFrame, '\0');
    frame[0] = char(wire::Start);
    frame[1] = char(code);
    const QByteArray crc = IapContext::crcBytes(frame, wire::MinFrame - wire::TrailerBytes);
    frame.replace(wire::MinFrame - wire::TrailerBytes, wire::TrailerBytes, crc);
    return frame;
}

} // namespace

Verification::Verification(const QByteArray &image)
    : m_length(image.size()), m_crc(IapContext::crc32(image.constData(), image.size()))
{
}

QByteArray Verification::capabilityQuestion()
{
    return question(wire::CapabilityQuestion);
}

QByteArray Verification::verifyQuestion()
{
    return question(wire::VerifyQuestion);
}

QByteArray Verification::begin(qint64 received)
{
    return ask(Phase::Capabilities, received);
}

QByteArray Verification::ask(Phase phase, qint64 received)
{
    if (m_phase != phase)
        m_tries = 0;
    m_phase = phase;
    ++m_tries;
    m_askedAt = received;
    return phase == Phase::Capabilities ? capabilityQuestion() : verifyQuestion();
}

std::chrono::milliseconds Verification::wait() const
{
    if (m_phase != Phase::Verifying)
        return CapabilityWait;
    const qint64 mib = (m_length + (1 << 20) - 1) >> 20;
    return VerifyWaitBase + VerifyWaitPerMiB * mib;
}

QByteArray Verification::offer(const QByteArray &frame, qint64 firstByte, qint64 received)
{
    // Only an answer that began after its question went out counts.
    if (finished() || firstByte < m_askedAt)
        return QByteArray();
    const quint8 code = wire::codeOf(frame.constData(), frame.size());
    if (m_phase == Phase::Capabilities && code == wire::CapabilityAnswer &&
        frame.size() >= wire::CapabilityAnswerBytes) {
        const quint16 flags = quint16(quint8(frame.at(2)) << 8 | quint8(frame.at(3)));
        if (!(flags & wire::CanVerify)) {
            m_unsupported = true;
            m_result = Result::CannotVerify;
            return QByteArray();
        }
        return ask(Phase::Verifying, received);
    }
    if (m_phase == Phase::Verifying && code == wire::VerifyAnswer &&
        frame.size() >= wire::VerifyAnswerBytes) {
        m_answered = true;
        m_deviceLength = be32(frame, 2);
        m_deviceCrc = be32(frame, 6);
        m_result = m_deviceLength == m_length && m_deviceCrc == m_crc ? Result::Verified
                                                                      : Result::Mismatch;
    }
    return QByteArray();
}

QByteArray Verification::timedOut(qint64 received)
{
    if (finished())
        return QByteArray();
    const int tries = m_phase == Phase::Capabilities ? CapabilityTries : VerifyTries;
    if (m_tries < tries)
        return ask(m_phase, received);
    m_result = Result::CannotVerify;
    return QByteArray();
}

} // namespace iap
