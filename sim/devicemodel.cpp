#include "devicemodel.h"

#include "codec.h"
#include "crc32.h"
#include "simframes.h"
#include "wire.h"

#include <algorithm>
#include <utility>

namespace {

constexpr int RequestBytes = iap::wire::RequestBytes;
// --early-acks: when the burst goes, and the gap between two in a trickle.
constexpr qint64 EarlyBurstUs = 200 * 1000;
constexpr qint64 EarlyTrickleUs = 10 * 1000;
// --early-acks spaced, after the request: the acceptance late enough that the window's next
// 50 ms tick still finds nothing (its 30 ms quiet gap has not ended), then each acknowledgement
// alone on the line. The first lands 15 ms before the tick after that one, which sends package
// 0, and its quiet gap ends 15 ms after it.
constexpr qint64 EarlySpacedAcceptUs = 40 * 1000;
constexpr qint64 EarlySpacedFirstUs = 85 * 1000;
constexpr qint64 EarlySpacedUs = 50 * 1000;
using EarlyAcks = DeviceOptions::EarlyAcks;
using namespace simframe;

} // namespace

DeviceModel::DeviceModel(const DeviceOptions &options)
    : m_options(options), m_lineBaud(options.lineBaud),
      m_rx(ReceiveBuffer::capacityFor(options.window)), m_ignoreLeft(options.ignoreRequests)
{
    m_port.user = this;
    m_port.capacity = options.capacity != 0 ? options.capacity : quint32(MaxImageBytes);
    if (options.hasBase) {
        m_port.base = options.base;
        m_port.version = Version;
    }
    m_port.send = &DeviceModel::portSend;
    m_port.prepare = &DeviceModel::portPrepare;
    m_port.write = &DeviceModel::portWrite;
    m_port.finish = &DeviceModel::portFinish;
    m_port.read = &DeviceModel::portRead;
    m_port.max_baud = options.maxBaud;
    m_port.window = quint16(options.window);
    if (options.maxBaud != 0)
        m_port.set_baud = &DeviceModel::portSetBaud;
    iap_dev_init(&m_dev, &m_port);
}

DeviceModel::Output DeviceModel::feed(const QByteArray &bytes, qint64 nowUs)
{
    Output out;
    if (bytes.isEmpty())
        return out;
    if (m_options.echo) {
        // A line that echoes: the bytes go back as they came, before any answer.
        Reply echo;
        echo.bytes = bytes;
        echo.frameStartUs = nowUs;
        out.replies.append(echo);
    }
    // On a paced line the bytes arrive one after another at its rate, however fast the tool
    // handed them over: each chunk starts once the one before has arrived.
    Chunk chunk;
    chunk.begin = m_fed;
    chunk.end = m_fed + bytes.size();
    chunk.baud = m_lineBaud;
    chunk.startNs = nowUs * 1000;
    if (m_lineBaud > 0) {
        chunk.startNs = qMax(chunk.startNs, m_inFreeNs);
        m_inFreeNs = chunk.startNs + wireNs(bytes.size(), m_lineBaud);
    }
    m_chunks.append(chunk);
    m_out = &out;
    const qint64 lostBefore = m_rx.lost();
    for (const char byte : bytes) {
        if (!m_rx.take(arrivalNs(m_fed++)))
            continue;
        if (m_mute) {
            m_packageHeard = m_packageHeard || (quint8(m_lastByte) == iap::wire::Start &&
                                                quint8(byte) == iap::wire::Data);
            m_lastByte = byte;
            continue;
        }
        iap_dev_feed(&m_dev, quint8(byte));
        if (m_options.trustTotal)
            trustAnnouncedTotal(quint8(byte));
    }
    m_out = nullptr;
    if (m_rx.lost() > lostBefore)
        out.log << QStringLiteral("%1 byte(s) lost: the receive buffer was full (%2 in all)")
                       .arg(m_rx.lost() - lostBefore)
                       .arg(m_rx.lost());
    // Arrival times are needed only for the bytes the core still holds.
    const qint64 held = m_fed - m_dev.rx_len;
    while (m_chunks.size() > 1 && m_chunks.constFirst().end <= held)
        m_chunks.removeFirst();
    return out;
}

DeviceModel::Output DeviceModel::lineIdle(qint64 nowUs)
{
    Q_UNUSED(nowUs);
    Output out;
    const int pending = m_dev.rx_len;
    m_out = &out;
    m_extra = 1; // the core settles what it holds as if one more byte had come
    iap_dev_idle(&m_dev);
    m_extra = 0;
    m_out = nullptr;
    if (pending > 0 && out.replies.isEmpty())
        out.log << QStringLiteral("dropped an incomplete frame of %1 byte(s)").arg(pending);
    return out;
}

qint64 DeviceModel::wireNs(qint64 bytes, qint64 baud)
{
    return baud > 0 ? bytes * 10 * 1000 * 1000 * 1000 / baud : 0;
}

// When the byte at `streamOffset` began to arrive (with `whole`, when it had arrived): at
// its chunk's start plus the wire time of the bytes before it in the chunk.
qint64 DeviceModel::arrivalNs(qint64 streamOffset, bool whole) const
{
    if (m_chunks.isEmpty())
        return 0;
    const Chunk *at = &m_chunks.constLast();
    for (const Chunk &chunk : m_chunks) {
        if (chunk.end > streamOffset) {
            at = &chunk;
            break;
        }
    }
    const qint64 before =
        qBound(qint64(0), streamOffset - at->begin + (whole ? 1 : 0), at->end - at->begin);
    return at->startNs + wireNs(before, at->baud);
}

qint64 DeviceModel::arrivalOf(qint64 streamOffset) const
{
    return arrivalNs(streamOffset) / 1000;
}

// --trust-total: a device that counts the image by the request's package total, not by its
// length. The core refuses a request whose total does not match its length and calls nothing
// for it, so no wrapper around its callbacks can see one: this fault alone looks at the line
// itself, for a request with a valid CRC and such a total. The device hears it as a request
// for that many packages (the image keeps the length announced); with a total of 0 it is
// done at once.
void DeviceModel::trustAnnouncedTotal(quint8 byte)
{
    m_window.append(char(byte));
    if (m_window.size() > RequestBytes)
        m_window.remove(0, m_window.size() - RequestBytes);
    const std::optional<iap::codec::Request> announced = iap::codec::readRequest(m_window);
    if (!announced)
        return;
    const qint64 length = announced->length;
    const int total = announced->total;
    m_window.clear();
    if (total == (length + PacketSize - 1) / PacketSize || length > MaxImageBytes)
        return; // the core's own business
    m_out->log << QStringLiteral("request: taking the announced total of %1 package(s)").arg(total);
    if (total == 0) {
        m_image = QByteArray(int(length), '\0');
        m_seen.clear();
        onAccepted(acceptedFrame(), RequestBytes);
        complete(arrivalOf(m_fed - 1));
        return;
    }
    m_trustedLength = length;
    const QByteArray request = iap::codec::request(quint32(total) * PacketSize, quint16(total));
    iap_dev_feed_bytes(&m_dev, reinterpret_cast<const uint8_t *>(request.constData()),
                       size_t(request.size()));
    m_trustedLength = -1;
}

DeviceModel::Reply DeviceModel::replyTo(const QByteArray &bytes, int frameBytes) const
{
    Reply reply;
    reply.bytes = bytes;
    reply.frameBytes = frameBytes;
    const qint64 first = m_fed + m_extra - frameBytes;
    reply.frameStartUs = arrivalOf(first);
    // Its last byte has arrived one byte time after it began to.
    const qint64 last = qMax(first, m_fed - 1);
    reply.frameEndNs = arrivalNs(last, true);
    return reply;
}

void DeviceModel::working(const Reply &reply)
{
    if (reply.workUs > 0)
        m_rx.work(reply.frameEndNs, reply.workUs * 1000);
}

void DeviceModel::portSend(void *user, const uint8_t *bytes, uint8_t count)
{
    auto *self = static_cast<DeviceModel *>(user);
    const QByteArray frame(reinterpret_cast<const char *>(bytes), count);
    const int length = iap_dev_frame_length(&self->m_dev);
    if (quint8(frame.at(1)) == iap::wire::Accepted) {
        self->onAccepted(frame, length);
    } else if (quint8(frame.at(1)) == iap::wire::Acknowledgement) {
        self->onAcknowledgement(frame, length);
    } else if (self->m_options.trustTotal && quint8(frame.at(1)) == iap::wire::Refused &&
               quint8(frame.at(2)) == iap::wire::RefusedMalformed) {
        // --trust-total: a device that takes the total at its word finds nothing to refuse.
    } else if (!self->m_options.silent) { // a refusal, the capability or verification answer
        self->m_out->log << (quint8(frame.at(1)) == iap::wire::Refused
                                 ? QStringLiteral("request refused: %1")
                                 : QStringLiteral("question answered: %1"))
                                .arg(QString::fromLatin1(frame.toHex(' ')));
        self->m_out->replies.append(self->replyTo(frame, length));
        if (self->m_options.verifyAhead && quint8(frame.at(1)) == iap::wire::CapabilityAnswer) {
            Reply ahead = self->replyTo(
                iap::codec::frame(iap::wire::VerifyAnswer,
                                  iap::codec::bytes32(quint32(self->m_asSent.size())) +
                                      iap::codec::bytes32(iap::crc::of(self->m_asSent))),
                length);
            ahead.unlessHeard = true;
            self->m_out->replies.append(ahead);
        }
    }
}

iap_dev_result DeviceModel::portPrepare(void *user, uint32_t length)
{
    auto *self = static_cast<DeviceModel *>(user);
    self->m_image =
        QByteArray(int(self->m_trustedLength >= 0 ? self->m_trustedLength : length), '\0');
    if (self->m_options.verifyAhead)
        self->m_asSent = self->m_image;
    self->m_seen.clear();
    self->m_erased.clear();
    self->m_finished = false;
    if (!self->m_options.erasePages) // the whole area for the image at once
        self->m_workUs = (qint64(length) + 1023) / 1024 * self->m_options.eraseMs * 1000;
    const int count = int((qint64(length) + PacketSize - 1) / PacketSize);
    if (self->m_out)
        self->m_out->log
            << QStringLiteral("request: %1 bytes in %2 package(s)").arg(length).arg(count);
    return IAP_DEV_OK;
}

iap_dev_result DeviceModel::portWrite(void *user, uint32_t offset, const uint8_t *data,
                                      uint16_t count)
{
    auto *self = static_cast<DeviceModel *>(user);
    const int index = int(offset / PacketSize);
    const int faults = self->faultsFor(index);
    if (faults & int(Fault::ErrorStatus)) {
        self->m_out->log << QStringLiteral("package %1: refused").arg(index);
        return IAP_DEV_REFUSED;
    }
    if (faults & int(Fault::ShortAck)) {
        self->m_out->log << QStringLiteral("package %1: not written, answered short").arg(index);
        return IAP_DEV_FAILED;
    }
    if (qint64(offset) + count > self->m_image.size())
        return IAP_DEV_FAILED; // (a request taken at its total can announce less)
    if (self->m_options.earlyAcks == EarlyAcks::Ahead && index % 2 == 1) {
        self->m_out->log << QStringLiteral("package %1: not written").arg(index);
        return IAP_DEV_OK;
    }
    if (self->m_options.erasePages) { // each KiB just before its first write
        for (uint32_t page = offset / 1024; page <= (offset + count - 1) / 1024; ++page) {
            if (!self->m_erased.contains(int(page))) {
                self->m_erased.insert(int(page));
                self->m_workUs += qint64(self->m_options.eraseMs) * 1000;
            }
        }
    }
    std::copy_n(data, count, reinterpret_cast<uint8_t *>(self->m_image.data()) + offset);
    if (self->m_options.verifyAhead)
        std::copy_n(data, count, reinterpret_cast<uint8_t *>(self->m_asSent.data()) + offset);
    ++self->m_written;
    self->m_out->log
        << QStringLiteral("package %1: %2 payload bytes written").arg(index).arg(count);
    const bool first = !self->m_stored.contains(index);
    self->m_stored.insert(index);
    if (self->m_options.corruptStored.hits(index, first)) {
        // The flash keeps something else than it was given; the acknowledgement says
        // written all the same.
        self->m_image[int(offset)] = char(self->m_image.at(int(offset)) ^ 0xFF);
        self->m_out->log
            << QStringLiteral("package %1: stored with its first byte flipped").arg(index);
    }
    return IAP_DEV_OK;
}

iap_dev_result DeviceModel::portFinish(void *user, uint32_t length)
{
    auto *self = static_cast<DeviceModel *>(user);
    // Reported once its acknowledgement has been counted and sent.
    self->m_finished = true;
    self->m_out->log << QStringLiteral("image complete: %1 bytes").arg(length);
    return IAP_DEV_OK;
}

// The rate answer has been sent (the last reply): the line changes once it has left.
iap_dev_result DeviceModel::portSetBaud(void *user, uint32_t baud)
{
    auto *self = static_cast<DeviceModel *>(user);
    self->m_lineBaud =
        self->m_options.lineBaud > 0 && baud != 0 ? qint32(baud) : self->m_options.lineBaud;
    if (self->m_out != nullptr && !self->m_out->replies.isEmpty()) {
        self->m_out->replies.last().baudAfter = baud;
        self->m_out->log << QStringLiteral("switching to %1 baud").arg(baud);
    } else if (self->m_out != nullptr) {
        self->m_out->log << QStringLiteral("nothing valid heard for %1 ms: back at the starting "
                                           "rate")
                                .arg(IAP_WIRE_RATE_FALLBACK_MS);
    }
    return IAP_DEV_OK;
}

DeviceModel::Output DeviceModel::clock(qint64 nowUs)
{
    Output out;
    m_out = &out;
    iap_dev_clock(&m_dev, quint32(nowUs / 1000));
    m_out = nullptr;
    return out;
}

// The verification question: the stored image, read back.
iap_dev_result DeviceModel::portRead(void *user, uint32_t offset, uint8_t *data, uint16_t count)
{
    auto *self = static_cast<DeviceModel *>(user);
    if (qint64(offset) + count > self->m_image.size())
        return IAP_DEV_FAILED;
    std::copy_n(self->m_image.constData() + offset, count, reinterpret_cast<char *>(data));
    return IAP_DEV_OK;
}

void DeviceModel::onAccepted(const QByteArray &frame, int frameBytes)
{
    const qint64 startUs = arrivalOf(m_fed + m_extra - frameBytes);
    ++m_requests;
    if (!m_requestTimed) {
        m_requestTimed = true;
        m_firstRequestUs = startUs;
    }
    if (m_ignoreLeft > 0) {
        --m_ignoreLeft;
        m_out->log << QStringLiteral("request ignored");
        return;
    }
    if (m_options.silent)
        return;
    Reply reply = replyTo(frame, frameBytes);
    reply.workUs = std::exchange(m_workUs, 0); // the erase at the request
    working(reply);
    if (m_options.earlyAcks == EarlyAcks::Off || m_options.earlyAcks == EarlyAcks::Ahead) {
        m_out->replies.append(reply);
        return;
    }
    // Every package acknowledged as written before it has come; then nothing more.
    const int count = int((m_image.size() + PacketSize - 1) / PacketSize);
    m_mute = true;
    m_out->log
        << QStringLiteral("%1 package(s) acknowledged early; nothing more is heard").arg(count);
    // The trickle starts with the acceptance itself (package 0's acknowledgement in the same
    // write), then one every 10 ms; "now" sends them all in that write.
    const EarlyAcks mode = m_options.earlyAcks;
    Reply early = reply;
    early.bytes.clear();
    for (int i = 0; i < count; ++i) {
        if (mode == EarlyAcks::Now || (mode == EarlyAcks::Trickle && i == 0)) {
            reply.bytes += ackFrame(i, 1);
        } else if (mode == EarlyAcks::Trickle || mode == EarlyAcks::Spaced) {
            Reply one = early;
            one.bytes = ackFrame(i, 1);
            one.index = i;
            if (mode == EarlyAcks::Trickle) {
                one.delayUs = i * EarlyTrickleUs;
            } else {
                // Each alone on the line however late the one before went out; none once
                // its package is coming (it would no longer be early).
                one.delayUs = EarlySpacedFirstUs + i * EarlySpacedUs;
                one.gapUs = i == 0 ? EarlySpacedFirstUs - EarlySpacedAcceptUs : EarlySpacedUs;
                one.beforePackage = true;
            }
            m_out->replies.append(one);
        } else {
            early.bytes += ackFrame(i, 1);
        }
    }
    if (mode == EarlyAcks::Spaced)
        reply.delayUs = EarlySpacedAcceptUs;
    m_out->replies.prepend(reply);
    if (mode == EarlyAcks::Burst && count > 0) {
        early.delayUs = EarlyBurstUs;
        m_out->replies.append(early);
    }
}

int DeviceModel::faultsFor(int index)
{
    if (m_pendingIndex == index)
        return m_pendingFaults;
    // Faults hit the first answer to a package (or every answer with "all").
    const bool first = !m_answered.contains(index);
    m_answered.insert(index);
    int faults = 0;
    if (m_options.loseAck.hits(index, first))
        faults |= int(Fault::Lose);
    if (m_options.errorStatus.hits(index, first))
        faults |= int(Fault::ErrorStatus);
    if (m_options.corruptAck.hits(index, first))
        faults |= int(Fault::Corrupt);
    if (m_options.noise.hits(index, first))
        faults |= int(Fault::Noise);
    if (m_options.split.hits(index, first))
        faults |= int(Fault::Split);
    if (first)
        faults |= randomFault(index);
    if (m_options.shortAck.hits(index, first))
        faults |= int(Fault::ShortAck);
    m_pendingIndex = index;
    m_pendingFaults = faults;
    return faults;
}

void DeviceModel::onAcknowledgement(const QByteArray &frame, int frameBytes)
{
    // The core's own acknowledgement: always long enough to carry its status.
    const iap::codec::Acknowledgement ack = iap::codec::readAcknowledgement(frame).value();
    const int index = ack.index;
    const int status = ack.status;
    const int faults = faultsFor(index); // drawn at its write, if the core wrote it
    m_pendingIndex = -1;
    const qint64 startUs = arrivalOf(m_fed + m_extra - frameBytes);

    ++m_packages;
    if (m_dev.count != 0 && index < m_dev.count) {
        if (m_seen.contains(index))
            ++m_resends;
        m_seen.insert(index);
    }
    if (status != 1)
        m_out->log << QStringLiteral("package %1: status %2").arg(index).arg(status);

    if (!m_options.silent && m_options.keepAliveMs > 0) {
        // Busy writing the package: a keep-alive frame now and then until the answer is due.
        for (qint64 ms = m_options.keepAliveMs; ms < m_options.writeMs;
             ms += m_options.keepAliveMs) {
            Reply busy = replyTo(keepAliveFrame(), frameBytes);
            busy.index = index;
            busy.delayUs = ms * 1000;
            m_out->replies.append(busy);
        }
    }

    const bool ahead = m_options.earlyAcks == EarlyAcks::Ahead;
    if (ahead && index % 2 == 1) {
        m_out->log << QStringLiteral("package %1: not answered").arg(index);
    } else if (!m_options.silent) {
        if (faults & int(Fault::Lose)) {
            m_out->log
                << QStringLiteral("answer to package %1: %2").arg(index).arg(faultNames(faults));
        } else {
            // The core's own bytes, unless a fault or the padding changes them.
            QByteArray bytes = frame;
            if (faults & int(Fault::ShortAck))
                bytes = shortAckFrame(index);
            else if (m_options.pad > 0)
                bytes = ackFrame(index, status, m_options.pad);
            if (faults & int(Fault::Corrupt))
                bytes[bytes.size() - 1] = char(bytes.at(bytes.size() - 1) ^ 0xFF);
            if (faults & int(Fault::Noise))
                bytes.prepend(char(0x00));
            Reply reply = replyTo(QByteArray(), frameBytes);
            reply.index = index;
            reply.faults = faults;
            reply.workUs = qint64(m_options.writeMs) * 1000 + std::exchange(m_workUs, 0);
            working(reply);
            if (faults & int(Fault::Split)) {
                const int cut = bytes.size() / 2;
                reply.bytes = bytes.left(cut);
                reply.second = bytes.mid(cut);
            } else {
                reply.bytes = bytes;
            }
            m_out->replies.append(reply);
            const int count = int((m_image.size() + PacketSize - 1) / PacketSize);
            if (ahead && status == 1 && index + 1 < count) {
                Reply next = reply;
                next.bytes = ackFrame(index + 1, 1);
                next.second.clear();
                next.index = index + 1;
                next.unlessHeard = true;
                m_out->replies.append(next);
            }
            if (faults)
                m_out->log << QStringLiteral("answer to package %1: status %2, %3")
                                  .arg(index)
                                  .arg(status)
                                  .arg(faultNames(faults));
        }
    }

    if (m_finished) {
        m_finished = false;
        complete(startUs);
    }
}

void DeviceModel::complete(qint64 doneUs)
{
    m_out->completions.append(
        {m_image, m_requests, m_packages, m_resends, m_firstRequestUs, doneUs});
    m_requests = m_packages = m_resends = 0;
    m_requestTimed = false;
}
