#pragma once

#include <QByteArray>
#include <QString>

// The simulator's own frame code and fault names, and the definitions of DeviceModel's fault
// lists, frame builders (the protocol's codec, iap/codec.h) and seeded random faults.
namespace simframe {

// F1 80: a valid frame that means nothing to the tool (--keep-alive).
constexpr quint8 KeepAliveCode = 0x80;

// "lost, corrupt CRC" for the log.
QString faultNames(int faults);

} // namespace simframe
