#include "upgradeengine.h"

#include "codec.h"
#include "firmwarefile.h"
#include "timing.h"
#include "wire.h"

namespace iap {

namespace {
using wire::StatusWritten;

bool isRejection(int status)
{
    return status == wire::StatusDataError || status == wire::StatusWriteFailed;
}
} // namespace

QString Action::render(Language language) const
{
    QString s = iap::text(this->text, language);
    if (this->text == Text::Progress)
        s = s.arg(packageNumber).arg(packageTotal);
    return s;
}

UpgradeEngine::UpgradeEngine(IapContext *context) : m_ctx(context) {}

IapError UpgradeEngine::start()
{
    const IapError error = checkImage(m_ctx->firmware);
    if (error != IapError::None)
        return error;
    m_ctx->state = IapContext::Requesting;
    m_ctx->response.clear();
    m_resends = 0;
    m_requests = 0;
    m_done = 0;
    return IapError::None;
}

void UpgradeEngine::cancel()
{
    m_ctx->state = IapContext::Idle;
}

bool UpgradeEngine::actsOn(const QByteArray &reply) const
{
    const IapContext &c = *m_ctx;
    if (c.state == IapContext::Requesting)
        return codec::isAccepted(reply);
    if (c.state != IapContext::Transferring)
        return false;
    const std::optional<codec::Acknowledgement> ack = codec::readAcknowledgement(reply);
    return ack && ack->index == c.packetIndex &&
           (ack->status == StatusWritten || isRejection(ack->status));
}

void UpgradeEngine::setAckWait(std::chrono::milliseconds waited)
{
    // The tick adds one before it compares with waitLimit.
    m_ctx->waitTicks =
        int(qBound(qint64(0), qint64(waited / TickInterval), qint64(m_ctx->waitLimit) + 1));
}

bool UpgradeEngine::running() const
{
    return m_ctx->state == IapContext::Requesting || m_ctx->state == IapContext::Transferring;
}

qint64 UpgradeEngine::bytesDone() const
{
    return qMin<qint64>(qint64(m_done) * m_ctx->packetSize, m_ctx->firmware.size());
}

Step UpgradeEngine::tick()
{
    Step step;
    if (m_ctx->state == IapContext::Requesting)
        tickRequesting(step);
    else if (m_ctx->state == IapContext::Transferring)
        tickTransferring(step);
    step.running = running();
    return step;
}

Step UpgradeEngine::completeFromStoredReply()
{
    const IapContext &c = *m_ctx;
    const std::optional<codec::Acknowledgement> ack = codec::readAcknowledgement(c.response);
    const bool lastAcknowledged = c.state == IapContext::Transferring && ack &&
                                  ack->index == c.packetIndex && ack->status == StatusWritten &&
                                  c.packetIndex + 1 == c.packetTotal;
    if (lastAcknowledged)
        return tick();
    // The package acknowledged as written before the line went is written, whether or not a
    // tick came in between: the count says what the device has.
    if (c.state == IapContext::Transferring && ack && ack->index == c.packetIndex &&
        ack->status == StatusWritten) {
        ++m_done;
        m_ctx->response.clear();
    }
    return Step{{}, running()};
}

void UpgradeEngine::send(Step &step, QByteArray bytes, Action::Event event)
{
    Action a;
    a.kind = Action::Kind::Send;
    a.event = event;
    a.bytes = std::move(bytes);
    a.packetIndex = m_ctx->packetIndex;
    step.actions.append(a);
    if (event != Action::Event::RequestSent)
        m_ctx->waitTicks = 0; // the wait for an acknowledgement starts with every package
}

void UpgradeEngine::message(Step &step, Text text, Action::Event event, int packageNumber,
                            int packageTotal)
{
    Action a;
    a.kind = Action::Kind::Message;
    a.event = event;
    a.text = text;
    a.packageNumber = packageNumber;
    a.packageTotal = packageTotal;
    a.packetIndex = m_ctx->packetIndex;
    step.actions.append(a);
}

void UpgradeEngine::tickRequesting(Step &step)
{
    IapContext &c = *m_ctx;
    if (codec::isAccepted(c.response)) {
        c.response.clear();
        c.state = IapContext::Transferring;
        c.packetIndex = 0;
        c.waitTicks = 0;
        m_resends = 0;
        message(step, Text::ResponseAccepted, Action::Event::Accepted);
        // Package 0 always goes out full size, also for an image shorter than one package.
        send(step, c.makeDataPackage(0), Action::Event::PackageSent);
        message(step, Text::Progress, Action::Event::Progress, c.packetIndex + 1, c.packetTotal);
        return;
    }
    send(step, c.makeRequestPackage(), Action::Event::RequestSent);
    ++m_requests;
    message(step, Text::RequestUpdate, Action::Event::RequestSent);
}

QByteArray UpgradeEngine::currentPackageForTimeout() const
{
    const IapContext &c = *m_ctx;
    const bool shortFinal =
        c.packetIndex + 1 == c.packetTotal && c.packetIndex + 1 != c.fullPacketCount;
    return shortFinal ? c.makeLastPackage() : c.makeDataPackage(c.packetIndex);
}

void UpgradeEngine::tickTransferring(Step &step)
{
    IapContext &c = *m_ctx;
    ++c.waitTicks;

    // An acknowledgement carries the echoed index in bytes 2-3 and the status in byte 4, then
    // the CRC-32 trailer. In a shorter 0x82 frame byte 4 is the first byte of the trailer, not
    // a status, so such a frame is no acknowledgement at all.
    if (const std::optional<codec::Acknowledgement> ack = codec::readAcknowledgement(c.response)) {
        // Act on each acknowledgement once: a stored data error must not resend the package
        // on every tick, faster than the line can carry it.
        c.response.clear();
        if (ack->index == c.packetIndex) {
            if (ack->status == StatusWritten) {
                ++m_done;
                m_resends = 0;
                if (c.packetIndex + 1 == c.packetTotal) {
                    message(step, Text::FlashWriteSuccess, Action::Event::Completed);
                    message(step, Text::UpdateCompleted, Action::Event::Completed);
                    c.state = IapContext::Finished;
                    return;
                }
                ++c.packetIndex;
                send(step,
                     c.packetIndex == c.fullPacketCount ? c.makeLastPackage()
                                                        : c.makeDataPackage(c.packetIndex),
                     Action::Event::PackageSent);
                message(step, Text::Progress, Action::Event::Progress, c.packetIndex + 1,
                        c.packetTotal);
                return;
            }
            if (isRejection(ack->status)) {
                message(step, Text::DataErrorResend, Action::Event::DataErrorResend);
                // The rejected package goes out again full size, also when it is the short final
                // one.
                send(step, c.makeDataPackage(c.packetIndex), Action::Event::Resent);
                ++m_resends;
                return;
            }
            // Any other status: no reaction; the wait goes on, and its limit still applies,
            // so a device repeating such a reply cannot hold the resend off.
        }
        // An acknowledgement of another package: not acted on; the wait limit still applies.
    }

    if (c.waitTicks > c.waitLimit) {
        message(step, Text::WaitTimeoutResend, Action::Event::TimeoutResend);
        send(step, currentPackageForTimeout(), Action::Event::Resent);
        ++m_resends;
    }
}

} // namespace iap
