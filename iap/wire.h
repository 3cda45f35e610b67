#pragma once

#include <QtGlobal>

// The bytes of the serial protocol as the host sees them. Every frame starts with Start, then a
// code, a body and the CRC-32 of everything before the trailer; multi-byte fields are
// big-endian. The device core keeps its own C header with the same values.
namespace iap::wire {

constexpr quint8 Start = 0xF1;

// What the host sends.
constexpr quint8 Request = 0x01;            // F1 01 length(4) total(2) crc(4)
constexpr quint8 Data = 0x02;               // F1 02 index(2) payload crc(4)
constexpr quint8 CapabilityQuestion = 0x03; // F1 03 00 00 crc(4)
constexpr quint8 VerifyQuestion = 0x04;     // F1 04 00 00 crc(4)

// What the device answers: the code of the frame answered with bit 7 set.
constexpr quint8 Accepted = 0x81;         // F1 81 .. crc(4)
constexpr quint8 Acknowledgement = 0x82;  // F1 82 index(2) status [anything] crc(4)
constexpr quint8 CapabilityAnswer = 0x83; // F1 83 flags(2) crc(4)
constexpr quint8 VerifyAnswer = 0x84;     // F1 84 length(4) crc(4) crc(4)

// The status byte of an acknowledgement.
constexpr int StatusWritten = 1;
constexpr int StatusDataError = 2;
constexpr int StatusWriteFailed = 3;

// Capability flags.
constexpr quint16 CanVerify = 0x0001;

// Lengths.
constexpr int TrailerBytes = 4;
constexpr int MinFrame = 8; // F1, code, two bytes, trailer
constexpr int RequestBytes = 12;
// An acknowledgement carries its status in byte 4, before the trailer: in an 8-byte 0x82
// frame byte 4 would be the first byte of the CRC.
constexpr int MinAcknowledgement = 9;
constexpr int CapabilityAnswerBytes = 8;
constexpr int VerifyAnswerBytes = 14;

// The code of a frame (byte 1), or 0 for a frame too short to have one.
inline quint8 codeOf(const char *frame, qsizetype size)
{
    return size > 1 ? quint8(frame[1]) : 0;
}

} // namespace iap::wire
