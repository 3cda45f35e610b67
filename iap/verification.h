#pragma once

#include <QByteArray>
#include <chrono>

namespace iap {

// After the last acknowledgement: does the device hold exactly the image? The protocol itself
// carries only a CRC per package, so the host asks the device once what it supports (the
// capability question, F1 03) and, when it can verify, for the length and CRC-32 of the image
// it now holds, read back from its flash (the verification question, F1 04). A device that
// does not know these frames does not answer them: it cannot be verified, and nothing else
// changes for it.
//
// A pure object like the engine: the driver sends what it returns, feeds it the frames that
// arrive and tells it when the wait it asked for has passed.
class Verification
{
public:
    enum class Result
    {
        Pending,
        Verified,     // the device holds the image: same length, same CRC-32
        CannotVerify, // no answer, or a device that cannot read its image back
        Mismatch,     // the device holds something else
    };

    // The capability question goes out this often, this many times, before the device is
    // taken for one that does not know it.
    static constexpr std::chrono::milliseconds CapabilityWait{500};
    static constexpr int CapabilityTries = 3;
    // The device reads the whole image back to answer: 1 s, and 1 s more per MiB.
    static constexpr std::chrono::milliseconds VerifyWaitBase{1000};
    static constexpr std::chrono::milliseconds VerifyWaitPerMiB{1000};
    static constexpr int VerifyTries = 2;

    explicit Verification(const QByteArray &image);

    // The first question; `received` as for UpgradeRun::tick: answers must begin after it.
    QByteArray begin(qint64 received);
    // The question last returned has been taken by the operating system in full, and
    // `received` bytes had reached the host by then: only an answer that began after counts.
    void written(qint64 received) { m_askedAt = qMax(m_askedAt, received); }
    // How long to wait for the answer to the question last sent.
    std::chrono::milliseconds wait() const;
    // A valid reply frame whose first byte was at `firstByte` of the stream. Returns the next
    // question to send, or nothing.
    QByteArray offer(const QByteArray &frame, qint64 firstByte, qint64 received);
    // The wait ran out: the question again, or nothing once the tries are used up (result()
    // then says CannotVerify).
    QByteArray timedOut(qint64 received);

    Result result() const { return m_result; }
    bool finished() const { return m_result != Result::Pending; }
    qint64 imageLength() const { return m_length; }
    quint32 imageCrc() const { return m_crc; }
    // What the device said it holds (valid after a verification answer).
    bool answered() const { return m_answered; }
    qint64 deviceLength() const { return m_deviceLength; }
    quint32 deviceCrc() const { return m_deviceCrc; }
    // The device answered the capability question but cannot verify.
    bool unsupported() const { return m_unsupported; }

private:
    enum class Phase
    {
        Idle,
        Capabilities,
        Verifying
    };
    QByteArray ask(Phase phase, qint64 received);

    qint64 m_length;
    quint32 m_crc;
    Phase m_phase = Phase::Idle;
    int m_tries = 0;
    qint64 m_askedAt = 0;
    Result m_result = Result::Pending;
    bool m_answered = false;
    bool m_unsupported = false;
    qint64 m_deviceLength = 0;
    quint32 m_deviceCrc = 0;
};

} // namespace iap
