#pragma once

#include "language.h"
#include <QString>
#include <QVector>

namespace flash {

// The port used when none is named: the one USB serial port present. A board on a USB
// adapter is what a user plugs in; other ports (a computer's own serial ports, Bluetooth,
// pseudo-terminals) are never taken unasked.

// A serial port present now, as the system describes it.
struct PortCandidate
{
    QString location; // /dev/ttyUSB0
    QString description;
    QString manufacturer;
    int vid = -1; // USB vendor and product ids, -1 when it is no USB device
    int pid = -1;

    bool isUsb() const { return vid >= 0 && pid >= 0; }
};

// The ports of this machine (QSerialPortInfo).
QVector<PortCandidate> presentPorts();

struct PortChoice
{
    QString port;  // the port to use; empty when there is none to take
    QString note;  // with a port: which one, and why (for stderr)
    QString error; // without: a usage error listing the candidates and how to choose
};

PortChoice choosePort(QVector<PortCandidate> ports, iap::Language language);

} // namespace flash
