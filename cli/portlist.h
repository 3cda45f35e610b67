#pragma once

#include "language.h"
#include <QString>
#include <QStringList>

namespace flash {

// iap-flash --list: every serial port of this machine. On a terminal a header and aligned
// columns; otherwise tab-separated fields for scripts; with --json one object per port. A port
// this user may not open is listed too, marked, and one line on stderr says how to get
// access. Returns the exit code.
int listPorts(bool json, iap::Language language);

// The ports present, each with what it is ("/dev/ttyUSB0 (CP2102 USB to UART Bridge)"), for a
// message that names a port that does not exist. Empty when there are none.
QStringList presentPortLines();

} // namespace flash
