#include "rateswitch.h"

#include "capabilities.h"
#include "codec.h"
#include "wire.h"

#include <limits>
#include <utility>

namespace flash {

RateSwitch::RateSwitch(qint32 from, qint32 to, std::function<bool(qint32)> setBaud, QObject *parent)
    : QObject(parent), m_from(from), m_to(to), m_setBaud(std::move(setBaud))
{
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &RateSwitch::onTimeout);
}

void RateSwitch::start()
{
    m_state = State::Proposing;
    m_tries = 1;
    say(iap::codec::rateProposal(quint32(m_to)), AnswerWait);
}

void RateSwitch::say(const QByteArray &bytes, std::chrono::milliseconds wait)
{
    m_markOpen = true;
    m_answersFrom = std::numeric_limits<qint64>::max(); // until written() says where
    m_sinceSent.start();
    m_timer.start(wait);
    emit send(bytes);
}

void RateSwitch::written(qint64 received)
{
    if (std::exchange(m_markOpen, false))
        m_answersFrom = received;
}

void RateSwitch::offer(const QByteArray &frame, qint64 firstByte)
{
    if (firstByte < m_answersFrom)
        return; // it began before what it would answer went out
    const std::optional<quint32> agreed = iap::codec::readRateAnswer(frame);
    if (m_state == State::Proposing && agreed) {
        if (qint32(*agreed) != m_to) { // the device stays where it is
            done(State::Stayed);
            return;
        }
        if (!m_setBaud(m_to)) {
            fallBack();
            return;
        }
        m_state = State::Checking;
        m_tries = 1;
        say(iap::codec::capabilityQuestion(), CheckWait);
        return;
    }
    iap::Capabilities answer;
    if (m_state == State::Checking && iap::Capabilities::decode(frame, &answer))
        done(State::Switched);
}

void RateSwitch::onTimeout()
{
    switch (m_state) {
    case State::Proposing:
        if (m_tries++ < Proposals)
            say(iap::codec::rateProposal(quint32(m_to)), AnswerWait);
        else
            fallBack(); // the device may have switched on a proposal whose answer was lost
        return;
    case State::Checking:
        if (m_tries++ < Checks)
            say(iap::codec::capabilityQuestion(), CheckWait);
        else
            fallBack();
        return;
    case State::Waiting:
        done(State::Stayed);
        return;
    default:
        return;
    }
}

void RateSwitch::fallBack()
{
    m_fellBack = true;
    m_setBaud(m_from);
    m_state = State::Waiting;
    const auto since = std::chrono::milliseconds(m_sinceSent.elapsed());
    m_timer.start(
        qMax(std::chrono::milliseconds(0), iap::wire::RateFallback + FallbackMargin - since));
}

void RateSwitch::done(State state)
{
    m_timer.stop();
    m_state = state;
    emit finished();
}

} // namespace flash
