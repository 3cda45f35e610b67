// FlashJob's --boost: the rate switch between the acceptance and the first package.
#include "flashjob.h"

#include <algorithm>

namespace flash {

namespace {
// The most packages kept in flight, whatever the device takes.
constexpr int MaxInFlight = 32;
} // namespace

bool FlashJob::beginSwitch()
{
    if (!m_options.boost || m_switch || !m_check || m_context.state != IapContext::Requesting)
        return false;
    const int window = std::min(m_check->capabilities().packagesInFlight(), MaxInFlight);
    if (!m_inflight && window > 1)
        m_inflight = std::make_unique<flash::InFlight>(window);
    if (!m_link->canSetBaudRate())
        return false;
    const quint32 rate =
        m_check->capabilities().boostBaud(quint32(m_options.baud), quint32(m_options.boostBaud));
    if (rate == 0)
        return false; // a device that offers nothing is driven as without --boost
    // The device has answered: the request's time limit is over, and no tick acts on the
    // acceptance before the line is settled.
    m_requestTimer.stop();
    m_tickTimer.stop();
    m_phase = Phase::Switching;
    m_switch = std::make_unique<flash::RateSwitch>(
        m_options.baud, qint32(rate), [this](qint32 baud) { return m_link->setBaudRate(baud); });
    connect(m_switch.get(), &flash::RateSwitch::send, this, &FlashJob::send);
    connect(m_switch.get(), &flash::RateSwitch::finished, this, &FlashJob::onSwitched);
    m_switch->start();
    return true;
}

void FlashJob::onSwitched()
{
    if (m_finished)
        return;
    m_phase = Phase::Running;
    if (m_switch->switched()) {
        // The device falls back 1 s after the last valid frame it heard: a package whose
        // acknowledgement is lost is resent well before that.
        m_context.waitLimit = std::min(m_context.waitLimit, BoostWaitLimit);
    }
    onTick(); // the stored acceptance: package 0 goes out
}

qint32 FlashJob::baudInUse() const
{
    return m_switch ? m_switch->baud() : m_options.baud;
}

int FlashJob::windowInUse() const
{
    return m_inflight ? m_inflight->window() : 1;
}

void FlashJob::sendAhead(const QByteArray &early)
{
    if (m_context.state != IapContext::Transferring)
        return;
    for (const int index : m_inflight->due(m_context.packetIndex, m_context.packetTotal)) {
        m_inflight->sending(index);
        write(index == m_context.fullPacketCount ? m_context.makeLastPackage()
                                                 : m_context.makeDataPackage(index),
              index);
        if (m_finished)
            return;
    }
    // Its acknowledgement came while the run waited for the one before: the run takes it now.
    if (!early.isEmpty())
        QMetaObject::invokeMethod(
            this, [this, early] { replayEarly(early); }, Qt::QueuedConnection);
}

void FlashJob::replayEarly(const QByteArray &ack)
{
    if (m_finished || m_phase != Phase::Running || !m_run.running())
        return;
    // (It counted for its package when it came: see InFlight::take.)
    if (m_run.offer(ack, arrived(true)) == iap::UpgradeRun::Offer::ActNow)
        onTick();
}

} // namespace flash
