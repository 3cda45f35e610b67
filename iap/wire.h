#pragma once

#include "iap_wire.h"

#include <QtGlobal>
#include <chrono>
#include <type_traits>

// The bytes of the serial protocol as the host sees them: typed constants taken from the one
// definition both ends include (device/iap_wire.h). Every frame starts with Start, then a
// code, a body and the CRC-32 of everything before the trailer; multi-byte fields are
// big-endian.
namespace iap::wire {

constexpr quint8 Start = IAP_WIRE_START;

// What the host sends.
constexpr quint8 Request = IAP_WIRE_REQUEST;                        // F1 01 length(4) total(2)
constexpr quint8 Data = IAP_WIRE_DATA;                              // F1 02 index(2) payload
constexpr quint8 CapabilityQuestion = IAP_WIRE_CAPABILITY_QUESTION; // F1 03 00 00
constexpr quint8 VerifyQuestion = IAP_WIRE_VERIFY_QUESTION;         // F1 04 00 00
constexpr quint8 RateProposal = IAP_WIRE_RATE_PROPOSAL;             // F1 05 baud(4)

// What the device answers: the code of the frame answered with bit 7 set.
constexpr quint8 Accepted = IAP_WIRE_ACCEPTED;                  // F1 81 ..
constexpr quint8 Acknowledgement = IAP_WIRE_ACKNOWLEDGEMENT;    // F1 82 index(2) status [..]
constexpr quint8 CapabilityAnswer = IAP_WIRE_CAPABILITY_ANSWER; // F1 83 flags(2) [area ..]
constexpr quint8 VerifyAnswer = IAP_WIRE_VERIFY_ANSWER;         // F1 84 length(4) crc(4)
constexpr quint8 RateAnswer = IAP_WIRE_RATE_ANSWER;             // F1 85 baud(4)
constexpr quint8 Refused = IAP_WIRE_REFUSED;                    // F1 C1 reason capacity(4)

// The status byte of an acknowledgement.
constexpr int StatusWritten = IAP_WIRE_STATUS_WRITTEN;
constexpr int StatusDataError = IAP_WIRE_STATUS_DATA_ERROR;
constexpr int StatusWriteFailed = IAP_WIRE_STATUS_WRITE_FAILED;

// Capability flags.
constexpr quint16 CanVerify = IAP_WIRE_CAN_VERIFY;
constexpr quint16 HasBase = IAP_WIRE_HAS_BASE;
constexpr quint16 HasBoost = IAP_WIRE_HAS_BOOST;

// Reasons of a refusal.
constexpr quint8 RefusedTooLarge = IAP_WIRE_REFUSED_TOO_LARGE;
constexpr quint8 RefusedMalformed = IAP_WIRE_REFUSED_MALFORMED;
constexpr quint8 RefusedNotReady = IAP_WIRE_REFUSED_NOT_READY;

// Lengths.
constexpr int TrailerBytes = IAP_WIRE_TRAILER;
constexpr int HeaderBytes = IAP_WIRE_HEADER; // where a package's payload starts
constexpr int MinFrame = IAP_WIRE_MIN_FRAME; // F1, code, two bytes, trailer
constexpr int RequestBytes = IAP_WIRE_REQUEST_BYTES;
constexpr int QuestionBytes = IAP_WIRE_QUESTION_BYTES;
// An acknowledgement carries its status in byte 4, before the trailer: in an 8-byte 0x82
// frame byte 4 would be the first byte of the CRC.
constexpr int MinAcknowledgement = IAP_WIRE_ACK_BYTES;
constexpr int CapabilityAnswerBytes = IAP_WIRE_CAPS_FLAGS_BYTES; // the flags alone
constexpr int CapabilityAreaBytes = IAP_WIRE_CAPS_AREA_BYTES;    // with the area and version
constexpr int CapabilityBaseAt = IAP_WIRE_CAPS_BASE_AT;
constexpr int CapabilityCapacityAt = IAP_WIRE_CAPS_CAPACITY_AT;
constexpr int CapabilityVersionAt = IAP_WIRE_CAPS_VERSION_AT;
constexpr int CapabilityMaxBaudAt = IAP_WIRE_CAPS_MAX_BAUD_AT;
constexpr int CapabilityWindowAt = IAP_WIRE_CAPS_WINDOW_AT;
constexpr int CapabilityBoostBytes = IAP_WIRE_CAPS_BOOST_BYTES; // with the rate and window
constexpr int RateBytes = IAP_WIRE_RATE_BYTES;
constexpr std::chrono::milliseconds RateFallback{IAP_WIRE_RATE_FALLBACK_MS};
constexpr int VerifyAnswerBytes = IAP_WIRE_VERIFY_ANSWER_BYTES;
constexpr int RefusedBytes = IAP_WIRE_REFUSED_BYTES;

// Limits.
constexpr qint64 PackageSize = IAP_WIRE_PACKAGE_SIZE;
constexpr qint64 MaxPackages = IAP_WIRE_MAX_PACKAGES;
constexpr qint64 MaxImageBytes = IAP_WIRE_MAX_IMAGE;

// Codes are one byte, the package total 16 bits, a length 32 bits: the header's numbers
// must keep to those widths.
static_assert(Start == 0xF1 && (IAP_WIRE_START >> 8) == 0, "the start byte is one byte");
static_assert(std::is_same_v<decltype(Refused), const quint8> && (IAP_WIRE_REFUSED >> 8) == 0,
              "codes are one byte");
static_assert(MaxPackages == 0xFFFF, "the request's total is 16 bits");
static_assert(MaxImageBytes == MaxPackages * PackageSize, "the largest image is whole packages");
static_assert(MaxImageBytes <= 0xFFFFFFFFLL, "an image length is 32 bits");
static_assert(Accepted == (Request | IAP_WIRE_ANSWER_BIT) &&
                  Acknowledgement == (Data | IAP_WIRE_ANSWER_BIT) &&
                  CapabilityAnswer == (CapabilityQuestion | IAP_WIRE_ANSWER_BIT) &&
                  VerifyAnswer == (VerifyQuestion | IAP_WIRE_ANSWER_BIT) &&
                  RateAnswer == (RateProposal | IAP_WIRE_ANSWER_BIT),
              "an answer's code is its question's with bit 7 set");
static_assert(PackageSize + HeaderBytes + TrailerBytes == IAP_WIRE_FULL_PACKAGE,
              "a full package is header, payload and trailer");
static_assert(CapabilityVersionAt + 4 + TrailerBytes == CapabilityAreaBytes &&
                  CapabilityMaxBaudAt == CapabilityVersionAt + 4 &&
                  CapabilityWindowAt + 2 + TrailerBytes == CapabilityBoostBytes,
              "the capability answer's fields end at its trailer");

// The code of a frame (byte 1), or 0 for a frame too short to have one.
inline quint8 codeOf(const char *frame, qsizetype size)
{
    return size > 1 ? quint8(frame[1]) : 0;
}

} // namespace iap::wire
