#include "upgraderun.h"

#include "messages.h"
#include "wire.h"

namespace iap {

UpgradeRun::UpgradeRun(IapContext *context, int maxResends)
    : m_ctx(context), m_engine(context), m_maxResends(maxResends)
{
}

IapError UpgradeRun::start()
{
    const IapError error = m_engine.start();
    if (error != IapError::None)
        return error;
    m_state = RunState();
    m_state.outcome = Outcome::Running;
    return IapError::None;
}

void UpgradeRun::cancel()
{
    m_engine.cancel();
    m_state.outcome = Outcome::Idle;
}

UpgradeRun::Offer UpgradeRun::offer(const QByteArray &frame, StreamPosition firstByte)
{
    if (running() && (!m_state.requested || firstByte < m_state.sentAt)) {
        // Sent before the device could have seen what it would answer: an acknowledgement
        // made up in advance, or a reply to something of an earlier run.
        return Offer::Ignored;
    }
    if (m_engine.actsOn(frame)) {
        m_ctx->response = frame;
        return Offer::ActNow;
    }
    if (m_engine.actsOn(m_ctx->response))
        return Offer::Ignored;
    m_ctx->response = frame;
    return Offer::Stored;
}

Step UpgradeRun::tick(StreamPosition received, std::optional<std::chrono::milliseconds> sinceSend)
{
    if (sinceSend && m_ctx->state == IapContext::Transferring)
        m_engine.setAckWait(*sinceSend);
    Step step = m_engine.tick();
    if (m_maxResends > 0 && m_engine.consecutiveResends() > m_maxResends) {
        // The step holds one resend too many: give up instead of sending it.
        m_state.failedPackage = m_ctx->packetIndex;
        m_engine.cancel();
        m_state.outcome = Outcome::GaveUp;
        return Step{{}, false};
    }
    for (const Action &a : qAsConst(step.actions)) {
        if (a.kind != Action::Kind::Send)
            continue;
        if (a.event == Action::Event::RequestSent) {
            if (!m_state.requested) {
                m_state.sentAt = received;
                m_state.markOpen = true;
            }
            m_state.requested = true;
            continue;
        }
        // A package went out: whatever is stored, or arrived up to now, came before it.
        m_state.sentAt = received;
        m_state.markOpen = true;
        m_ctx->response.clear();
        if (a.event == Action::Event::Resent)
            ++m_state.resendsTotal;
    }
    if (m_ctx->state == IapContext::Finished)
        m_state.outcome = Outcome::Completed;
    return step;
}

void UpgradeRun::written(StreamPosition received)
{
    if (!m_state.markOpen)
        return;
    m_state.markOpen = false;
    m_state.sentAt = qMax(m_state.sentAt, received);
}

Step UpgradeRun::lineLost()
{
    if (!running())
        return Step{};
    Step step = m_engine.completeFromStoredReply();
    if (m_ctx->state == IapContext::Finished) {
        m_state.outcome = Outcome::Completed;
        return step;
    }
    m_engine.cancel();
    m_state.outcome = Outcome::LineLost;
    m_state.lostMidUpgrade = true;
    return Step{};
}

bool UpgradeRun::requestTimedOut()
{
    if (m_ctx->state != IapContext::Requesting)
        return false;
    m_engine.cancel();
    m_state.outcome = Outcome::NoAnswer;
    return true;
}

QString UpgradeRun::summaryText(const FirmwareFile &file, Language language)
{
    IapContext arithmetic;
    arithmetic.setImage(file.image);
    QString summary = text(Text::Summary, language)
                          .arg(arithmetic.firmware.size())
                          .arg(arithmetic.packetSize)
                          .arg(arithmetic.packetTotal);
    // A converted file (HEX, S-record, ELF) says what it was and where the image lies.
    if (file.format != ImageFormat::Binary)
        summary.prepend(
            text(Text::ConvertedImage, language)
                .arg(formatTitle(file.format), addressText(file.base), addressText(file.last)) +
            QStringLiteral("\r\n"));
    return summary;
}

} // namespace iap
