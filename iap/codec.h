#pragma once

#include <QByteArray>
#include <QtGlobal>
#include <optional>

// The frames of the protocol, each built and read in one place (layouts in wire.h): the host's
// packages and questions, and the device's replies that the host reads (the simulator builds
// those as the device would). Every multi-byte field is big-endian, the CRC-32 trailer too.
namespace iap::codec {

// Big-endian fields at a byte offset.
quint16 read16(const QByteArray &bytes, int at);
quint32 read32(const QByteArray &bytes, int at);
QByteArray bytes16(quint16 value);
QByteArray bytes32(quint32 value);

// Start byte, code, body and the CRC-32 of all of them.
QByteArray frame(quint8 code, const QByteArray &body);

// F1 01 length(4) total(2) crc(4): the update request. Values wider than their field go out
// as their low bytes.
QByteArray request(quint32 length, quint16 total);
// F1 02 index(2) payload crc(4): payload byte j is image byte base + j, or 0x00 where that
// lies outside the image.
QByteArray dataPackage(quint16 index, const QByteArray &image, qint64 base, int length);
// F1 03 00 00 crc(4) / F1 04 00 00 crc(4).
QByteArray capabilityQuestion();
QByteArray verifyQuestion();
// F1 05 baud(4) crc(4): the rate proposal (--boost).
QByteArray rateProposal(quint32 baud);
// F1 85 baud(4) crc(4): the rate the device agreed to (0: none).
std::optional<quint32> readRateAnswer(const QByteArray &frame);

// What the device sends.
QByteArray accepted();                                                 // F1 81 00 00 crc(4)
QByteArray acknowledgement(quint16 index, quint8 status, int pad = 0); // F1 82 index status ..
// An acknowledgement without its status byte (8 bytes): what a broken device may send.
QByteArray shortAcknowledgement(quint16 index);

struct Request
{
    quint32 length = 0;
    quint16 total = 0;
};
// A whole request with its trailer checked.
std::optional<Request> readRequest(const QByteArray &frame);

// The code of a frame (byte 1), or 0 for a frame too short to have one.
quint8 codeOf(const QByteArray &frame);
bool isAccepted(const QByteArray &frame);

struct Acknowledgement
{
    quint16 index = 0;
    quint8 status = 0;
};
// A 0x82 frame long enough to carry its status before the trailer; fields at fixed offsets,
// whatever follows.
std::optional<Acknowledgement> readAcknowledgement(const QByteArray &frame);

// F1 83 flags(2) crc(4): the capability flags.
std::optional<quint16> readCapabilityAnswer(const QByteArray &frame);

struct VerifyAnswer
{
    quint32 length = 0;
    quint32 crc = 0;
};
// F1 84 length(4) crc(4) crc(4): what the device holds.
std::optional<VerifyAnswer> readVerifyAnswer(const QByteArray &frame);

} // namespace iap::codec
