#include "devicemodel.h"

#include "iapcontext.h"

#include <algorithm>

namespace {

constexpr quint8 Start = 0xF1;
constexpr quint8 RequestCode = 0x01;
constexpr quint8 DataCode = 0x02;
constexpr int RequestBytes = 12;
constexpr int FullPackageBytes = DeviceModel::PacketSize + 8;

quint32 be32(const QByteArray &b, int at)
{
    return quint32(quint8(b.at(at))) << 24 | quint32(quint8(b.at(at + 1))) << 16 |
           quint32(quint8(b.at(at + 2))) << 8 | quint32(quint8(b.at(at + 3)));
}

int be16(const QByteArray &b, int at)
{
    return int(quint8(b.at(at))) << 8 | int(quint8(b.at(at + 1)));
}

bool crcMatches(const QByteArray &bytes, int length)
{
    return quint32(IapContext::crc32(bytes.constData(), length - 4)) == be32(bytes, length - 4);
}

void appendCrc(QByteArray &frame)
{
    const quint32 crc = IapContext::crc32(frame.constData(), frame.size());
    frame.append(char(crc >> 24));
    frame.append(char(crc >> 16));
    frame.append(char(crc >> 8));
    frame.append(char(crc));
}

quint64 splitMix(quint64 &state)
{
    quint64 z = (state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

QString faultNames(int faults)
{
    QStringList names;
    if (faults & int(DeviceModel::Fault::Lose))
        names << QStringLiteral("lost");
    if (faults & int(DeviceModel::Fault::ErrorStatus))
        names << QStringLiteral("status 2");
    if (faults & int(DeviceModel::Fault::Corrupt))
        names << QStringLiteral("corrupt CRC");
    if (faults & int(DeviceModel::Fault::Noise))
        names << QStringLiteral("noise byte");
    if (faults & int(DeviceModel::Fault::Split))
        names << QStringLiteral("split");
    if (faults & int(DeviceModel::Fault::ShortAck))
        names << QStringLiteral("short acknowledgement");
    return names.join(QStringLiteral(", "));
}

} // namespace

bool FaultSet::parse(const QString &text, FaultSet *out)
{
    FaultSet set;
    const QString trimmed = text.trimmed();
    if (trimmed.compare(QLatin1String("all"), Qt::CaseInsensitive) == 0) {
        set.all = true;
        *out = set;
        return true;
    }
    const auto parts = trimmed.split(QLatin1Char(','));
    for (const QString &part : parts) {
        bool ok = false;
        const int index = part.trimmed().toInt(&ok);
        if (!ok || index < 0 || index > 0xFFFF)
            return false;
        set.indices.insert(index);
    }
    *out = set;
    return true;
}

DeviceModel::DeviceModel(const DeviceOptions &options)
    : m_options(options), m_ignoreLeft(options.ignoreRequests)
{
}

QByteArray DeviceModel::acceptedFrame()
{
    QByteArray frame;
    frame.append(char(Start));
    frame.append(char(0x81));
    frame.append(char(0x00));
    frame.append(char(0x00));
    appendCrc(frame);
    return frame;
}

QByteArray DeviceModel::ackFrame(int index, int status, int pad)
{
    QByteArray frame;
    frame.append(char(Start));
    frame.append(char(0x82));
    frame.append(char(index >> 8));
    frame.append(char(index));
    frame.append(char(status));
    frame.append(QByteArray(qMax(0, pad), '\0'));
    appendCrc(frame);
    return frame;
}

QByteArray DeviceModel::shortAckFrame(int index)
{
    QByteArray frame;
    frame.append(char(Start));
    frame.append(char(0x82));
    frame.append(char(index >> 8));
    frame.append(char(index));
    appendCrc(frame);
    return frame;
}

QByteArray DeviceModel::keepAliveFrame()
{
    QByteArray frame;
    frame.append(char(Start));
    frame.append(char(0x80));
    frame.append(char(0x00));
    frame.append(char(0x00));
    appendCrc(frame);
    return frame;
}

DeviceModel::Output DeviceModel::feed(const QByteArray &bytes, qint64 nowUs)
{
    Output out;
    if (m_options.echo && !bytes.isEmpty()) {
        // A line that echoes: the bytes go back as they came, before any answer.
        Reply echo;
        echo.bytes = bytes;
        echo.frameStartUs = nowUs;
        out.replies.append(echo);
    }
    if (!bytes.isEmpty()) {
        m_in.append(bytes);
        m_chunks.append(qMakePair(m_consumed + m_in.size(), nowUs));
    }
    while (parseOne(out, false) == Parse::Consumed) {
    }
    return out;
}

DeviceModel::Output DeviceModel::lineIdle(qint64 nowUs)
{
    Q_UNUSED(nowUs);
    Output out;
    while (parseOne(out, true) == Parse::Consumed) {
    }
    return out;
}

qint64 DeviceModel::arrivalOf(qint64 streamOffset) const
{
    for (const auto &chunk : m_chunks) {
        if (chunk.first > streamOffset)
            return chunk.second;
    }
    return m_chunks.isEmpty() ? 0 : m_chunks.constLast().second;
}

void DeviceModel::consume(int count)
{
    m_in.remove(0, count);
    m_consumed += count;
    while (!m_chunks.isEmpty() && m_chunks.constFirst().first <= m_consumed)
        m_chunks.removeFirst();
}

void DeviceModel::dropGarbage(int count, Output &out)
{
    out.log << QStringLiteral("dropped %1 byte(s) of garbage").arg(count);
    consume(count);
}

DeviceModel::Parse DeviceModel::parseOne(Output &out, bool idle)
{
    if (m_in.isEmpty())
        return Parse::NeedMore;
    const int start = m_in.indexOf(char(Start));
    if (start != 0) {
        dropGarbage(start < 0 ? m_in.size() : start, out);
        return Parse::Consumed;
    }
    const auto dropIncomplete = [&] {
        if (!idle)
            return Parse::NeedMore;
        out.log << QStringLiteral("dropped an incomplete frame of %1 byte(s)").arg(m_in.size());
        consume(m_in.size());
        return Parse::NeedMore;
    };
    if (m_in.size() < 2)
        return dropIncomplete();

    const quint8 code = quint8(m_in.at(1));
    if (code == RequestCode) {
        if (m_in.size() < RequestBytes)
            return dropIncomplete();
        if (!crcMatches(m_in, RequestBytes)) {
            dropGarbage(1, out); // not a request after all: look for the next start byte
            return Parse::Consumed;
        }
        const QByteArray frame = m_in.left(RequestBytes);
        m_frameStartUs = arrivalOf(m_consumed);
        consume(RequestBytes);
        handleRequest(frame, out);
        return Parse::Consumed;
    }
    if (code != DataCode) {
        dropGarbage(1, out);
        return Parse::Consumed;
    }

    if (m_in.size() < 4)
        return dropIncomplete();
    // The final package of an image with a remainder may come short (remainder + 8 bytes)
    // or full size, under the same index; every other package is full size.
    const int index = be16(m_in, 2);
    const int remainder = int(m_length % PacketSize);
    const int shortBytes = (m_active && remainder != 0 && index == m_count - 1) ? remainder + 8 : 0;
    int length = 0;
    bool crcOk = false;
    if (shortBytes > 0 && m_in.size() >= shortBytes && crcMatches(m_in, shortBytes)) {
        length = shortBytes;
        crcOk = true;
    } else if (m_in.size() >= FullPackageBytes) {
        length = FullPackageBytes;
        crcOk = crcMatches(m_in, FullPackageBytes);
    } else if (idle && shortBytes > 0 && m_in.size() >= shortBytes) {
        length = shortBytes; // nothing more came: it was the short form, damaged
    } else {
        return dropIncomplete();
    }
    const QByteArray frame = m_in.left(length);
    m_frameStartUs = arrivalOf(m_consumed);
    consume(length);
    handlePackage(frame, crcOk, out);
    return Parse::Consumed;
}

void DeviceModel::handleRequest(const QByteArray &frame, Output &out)
{
    ++m_requests;
    if (!m_requestTimed) {
        m_requestTimed = true;
        m_firstRequestUs = m_frameStartUs;
    }
    const qint64 length = be32(frame, 2);
    const int total = be16(frame, 6);
    if (m_ignoreLeft > 0) {
        --m_ignoreLeft;
        out.log << QStringLiteral("request for %1 bytes ignored").arg(length);
        return;
    }
    if (length > MaxImageBytes) {
        out.log << QStringLiteral("request for %1 bytes refused: too long").arg(length);
        return;
    }
    m_active = true;
    m_complete = false;
    m_length = length;
    m_count = int((length + PacketSize - 1) / PacketSize);
    if (m_options.trustTotal && total != m_count) {
        // A device that believes the announced total: it is done after that many packages.
        out.log
            << QStringLiteral("request: taking the announced total of %1 package(s)").arg(total);
        m_count = total;
    }
    m_expected = 0;
    m_image = QByteArray(int(length), '\0');
    m_have = QVector<bool>(m_count, false);
    m_seen = QVector<bool>(m_count, false);
    m_haveCount = 0;
    out.log << QStringLiteral("request: %1 bytes in %2 package(s)").arg(length).arg(m_count);
    if (total != (int((length + PacketSize - 1) / PacketSize) & 0xFFFF))
        out.log << QStringLiteral("request announces %1 package(s); %2 bytes need %3")
                       .arg(total)
                       .arg(length)
                       .arg((length + PacketSize - 1) / PacketSize);

    if (!m_options.silent) {
        Reply reply;
        reply.bytes = acceptedFrame();
        reply.index = -1;
        reply.frameStartUs = m_frameStartUs;
        reply.frameBytes = frame.size();
        out.replies.append(reply);
    }
    if (m_count == 0) {
        m_complete = true;
        out.completions.append(
            {m_image, m_requests, m_packages, m_resends, m_firstRequestUs, m_frameStartUs});
        m_requests = m_packages = m_resends = 0;
        m_requestTimed = false;
    }
}

int DeviceModel::randomFault(int index) const
{
    if (m_options.faultRate <= 0.0)
        return 0;
    quint64 state = m_options.seed ^ (quint64(index + 1) * 0xD1B54A32D192ED03ULL);
    const double draw = double(splitMix(state) >> 11) * (1.0 / 9007199254740992.0);
    if (draw >= m_options.faultRate)
        return 0;
    static constexpr Fault kinds[] = {Fault::Lose, Fault::Corrupt, Fault::ErrorStatus, Fault::Noise,
                                      Fault::Split};
    return int(kinds[splitMix(state) % 5]);
}

void DeviceModel::handlePackage(const QByteArray &frame, bool crcOk, Output &out)
{
    const int index = be16(frame, 2);
    const bool inImage = m_active && index < m_count;
    ++m_packages;
    if (inImage) {
        if (m_seen[index])
            ++m_resends;
        m_seen[index] = true;
    }

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

    int status = 2;
    if (!crcOk) {
        out.log << QStringLiteral("package %1: bad CRC").arg(index);
    } else if (!inImage || (index != m_expected && index != m_expected - 1)) {
        out.log << QStringLiteral("package %1: unexpected (expecting %2)")
                       .arg(index)
                       .arg(m_active ? QString::number(m_expected) : QStringLiteral("a request"));
    } else if (faults & int(Fault::ErrorStatus)) {
        out.log << QStringLiteral("package %1: refused").arg(index);
    } else if (faults & int(Fault::ShortAck)) {
        // Not written; the answer below has no status byte at all.
        out.log << QStringLiteral("package %1: not written, answered short").arg(index);
    } else {
        status = 1;
        const qint64 offset = qint64(index) * PacketSize;
        const int n = int(qMin<qint64>(frame.size() - 8, m_length - offset));
        std::copy_n(frame.constData() + 4, n, m_image.data() + offset);
        const bool again = m_have[index];
        if (!again) {
            m_have[index] = true;
            ++m_haveCount;
            ++m_written;
        }
        if (index == m_expected)
            ++m_expected;
        out.log << QStringLiteral("package %1: %2 payload bytes written%3")
                       .arg(index)
                       .arg(frame.size() - 8)
                       .arg(again ? QStringLiteral(" again") : QString());
    }

    if (!m_options.silent && m_options.keepAliveMs > 0) {
        // Busy writing the package: a keep-alive frame now and then until the answer is due.
        for (qint64 ms = m_options.keepAliveMs; ms < m_options.writeMs;
             ms += m_options.keepAliveMs) {
            Reply busy;
            busy.bytes = keepAliveFrame();
            busy.index = index;
            busy.delayUs = ms * 1000;
            busy.frameStartUs = m_frameStartUs;
            busy.frameBytes = frame.size();
            out.replies.append(busy);
        }
    }

    if (!m_options.silent) {
        if (faults & int(Fault::Lose)) {
            out.log
                << QStringLiteral("answer to package %1: %2").arg(index).arg(faultNames(faults));
        } else {
            QByteArray bytes = (faults & int(Fault::ShortAck))
                                   ? shortAckFrame(index)
                                   : ackFrame(index, status, m_options.pad);
            if (faults & int(Fault::Corrupt))
                bytes[bytes.size() - 1] = char(bytes.at(bytes.size() - 1) ^ 0xFF);
            if (faults & int(Fault::Noise))
                bytes.prepend(char(0x00));
            Reply reply;
            reply.index = index;
            reply.faults = faults;
            reply.frameStartUs = m_frameStartUs;
            reply.frameBytes = frame.size();
            reply.delayUs = qint64(m_options.writeMs) * 1000;
            if (faults & int(Fault::Split)) {
                const int cut = bytes.size() / 2;
                reply.bytes = bytes.left(cut);
                reply.second = bytes.mid(cut);
            } else {
                reply.bytes = bytes;
            }
            out.replies.append(reply);
            if (faults)
                out.log << QStringLiteral("answer to package %1: status %2, %3")
                               .arg(index)
                               .arg(status)
                               .arg(faultNames(faults));
        }
    }

    if (status == 1 && !m_complete && m_haveCount == m_count) {
        m_complete = true;
        out.log << QStringLiteral("image complete: %1 bytes").arg(m_length);
        out.completions.append(
            {m_image, m_requests, m_packages, m_resends, m_firstRequestUs, m_frameStartUs});
        m_requests = m_packages = m_resends = 0;
        m_requestTimed = false;
    }
}
