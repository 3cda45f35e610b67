#include "codec.h"

#include "crc32.h"
#include "wire.h"

#include <QtEndian>
#include <algorithm>

namespace iap::codec {
namespace {

constexpr int HeaderBytes = 2; // start byte and code
constexpr int IndexBytes = 2;

// A frame of the given length with its start byte and code; the body is filled in by the
// caller, the trailer by seal().
QByteArray open(quint8 code, int length)
{
    QByteArray f(length, '\0');
    f[0] = char(wire::Start);
    f[1] = char(code);
    return f;
}

QByteArray seal(QByteArray f)
{
    const int body = f.size() - wire::TrailerBytes;
    qToBigEndian(crc::of(f.constData(), body), f.data() + body);
    return f;
}

QByteArray question(quint8 code)
{
    return seal(open(code, wire::MinFrame));
}

} // namespace

quint16 read16(const QByteArray &bytes, int at)
{
    return qFromBigEndian<quint16>(bytes.constData() + at);
}

quint32 read32(const QByteArray &bytes, int at)
{
    return qFromBigEndian<quint32>(bytes.constData() + at);
}

QByteArray bytes16(quint16 value)
{
    QByteArray b(2, '\0');
    qToBigEndian(value, b.data());
    return b;
}

QByteArray bytes32(quint32 value)
{
    QByteArray b(4, '\0');
    qToBigEndian(value, b.data());
    return b;
}

QByteArray frame(quint8 code, const QByteArray &body)
{
    QByteArray f = open(code, HeaderBytes + body.size() + wire::TrailerBytes);
    std::copy(body.begin(), body.end(), f.begin() + HeaderBytes);
    return seal(f);
}

QByteArray request(quint32 length, quint16 total)
{
    QByteArray f = open(wire::Request, wire::RequestBytes);
    qToBigEndian(length, f.data() + HeaderBytes);
    qToBigEndian(total, f.data() + HeaderBytes + 4);
    return seal(f);
}

QByteArray dataPackage(quint16 index, const QByteArray &image, qint64 base, int length)
{
    QByteArray f = open(wire::Data, HeaderBytes + IndexBytes + length + wire::TrailerBytes);
    qToBigEndian(index, f.data() + HeaderBytes);
    char *out = f.data() + HeaderBytes + IndexBytes;
    const qint64 available =
        base < 0 ? 0 : qBound(qint64(0), qint64(image.size()) - base, qint64(length));
    if (available > 0)
        std::copy_n(image.constData() + base, available, out);
    return seal(f); // the rest of the payload is 0x00 already
}

QByteArray rateProposal(quint32 baud)
{
    return frame(wire::RateProposal, bytes32(baud));
}

std::optional<quint32> readRateAnswer(const QByteArray &frame)
{
    if (frame.size() < wire::RateBytes || codeOf(frame) != wire::RateAnswer)
        return std::nullopt;
    return read32(frame, 2);
}

QByteArray capabilityQuestion()
{
    return question(wire::CapabilityQuestion);
}

QByteArray verifyQuestion()
{
    return question(wire::VerifyQuestion);
}

QByteArray accepted()
{
    return seal(open(wire::Accepted, wire::MinFrame));
}

QByteArray acknowledgement(quint16 index, quint8 status, int pad)
{
    QByteArray f = open(wire::Acknowledgement, wire::MinAcknowledgement + qMax(0, pad));
    qToBigEndian(index, f.data() + HeaderBytes);
    f[HeaderBytes + IndexBytes] = char(status);
    return seal(f);
}

QByteArray shortAcknowledgement(quint16 index)
{
    QByteArray f = open(wire::Acknowledgement, wire::MinFrame);
    qToBigEndian(index, f.data() + HeaderBytes);
    return seal(f);
}

std::optional<Request> readRequest(const QByteArray &frame)
{
    if (frame.size() != wire::RequestBytes || quint8(frame.at(0)) != wire::Start ||
        codeOf(frame) != wire::Request || !crc::trailerMatches(frame.constData(), frame.size()))
        return std::nullopt;
    return Request{read32(frame, HeaderBytes), read16(frame, HeaderBytes + 4)};
}

quint8 codeOf(const QByteArray &frame)
{
    return wire::codeOf(frame.constData(), frame.size());
}

bool isAccepted(const QByteArray &frame)
{
    return codeOf(frame) == wire::Accepted;
}

std::optional<Acknowledgement> readAcknowledgement(const QByteArray &frame)
{
    if (frame.size() < wire::MinAcknowledgement || codeOf(frame) != wire::Acknowledgement)
        return std::nullopt;
    return Acknowledgement{read16(frame, HeaderBytes), quint8(frame.at(HeaderBytes + IndexBytes))};
}

std::optional<quint16> readCapabilityAnswer(const QByteArray &frame)
{
    if (frame.size() < wire::CapabilityAnswerBytes || codeOf(frame) != wire::CapabilityAnswer)
        return std::nullopt;
    return read16(frame, HeaderBytes);
}

std::optional<VerifyAnswer> readVerifyAnswer(const QByteArray &frame)
{
    if (frame.size() < wire::VerifyAnswerBytes || codeOf(frame) != wire::VerifyAnswer)
        return std::nullopt;
    return VerifyAnswer{read32(frame, HeaderBytes), read32(frame, HeaderBytes + 4)};
}

} // namespace iap::codec
