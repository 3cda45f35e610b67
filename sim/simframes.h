#pragma once

#include <QByteArray>
#include <QString>

// The simulator's byte helpers and reply frames (big-endian fields, CRC-32 trailer), and the
// definitions of DeviceModel's fault lists, frame builders and seeded random faults.
namespace simframe {

// F1 80: a valid frame that means nothing to the tool (--keep-alive).
constexpr quint8 KeepAliveCode = 0x80;

quint32 be32(const QByteArray &b, int at);
int be16(const QByteArray &b, int at);
quint32 crcOf(const QByteArray &b);
QByteArray be32Bytes(quint32 v);
// A frame: the start byte, the code, the body and the CRC-32 trailer.
QByteArray frame(quint8 code, const QByteArray &body);
// The big-endian package index an acknowledgement echoes.
QByteArray indexBytes(int index);
// "lost, corrupt CRC" for the log.
QString faultNames(int faults);

} // namespace simframe
