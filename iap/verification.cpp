#include "verification.h"

#include "codec.h"
#include "crc32.h"
#include "wire.h"

namespace iap {

Verification::Verification(const QByteArray &image) : m_length(image.size()), m_crc(crc::of(image))
{
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
    return phase == Phase::Capabilities ? codec::capabilityQuestion() : codec::verifyQuestion();
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
    if (m_phase == Phase::Capabilities) {
        const std::optional<quint16> flags = codec::readCapabilityAnswer(frame);
        if (!flags)
            return QByteArray();
        if (!(*flags & wire::CanVerify)) {
            m_unsupported = true;
            m_result = Result::CannotVerify;
            return QByteArray();
        }
        return ask(Phase::Verifying, received);
    }
    if (m_phase == Phase::Verifying) {
        if (const std::optional<codec::VerifyAnswer> answer = codec::readVerifyAnswer(frame)) {
            m_answered = true;
            m_deviceLength = answer->length;
            m_deviceCrc = answer->crc;
            m_result = m_deviceLength == m_length && m_deviceCrc == m_crc ? Result::Verified
                                                                          : Result::Mismatch;
        }
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
