#pragma once

#include "language.h"
#include "portlink.h"
#include "portname.h"
#include "resetsequence.h"

#include <QString>
#include <chrono>

namespace links {

// The link's texts for the user, in the active language: a bad port name or reset sequence
// on the command line, and a port whose modem lines cannot reset the board.

QString portNameErrorText(PortNameError error, iap::Language language, const QString &text);

// `option`: the option the sequence was given with (--reset-sequence).
QString resetSequenceErrorText(ResetSequenceError error, iap::Language language,
                               const QString &option, const QString &badStep);

// The line could not be set (no modem lines on the port, or the server did not confirm it
// within `wait`; 0 for a local port, which answers at once): the board was not reset by us,
// and the run goes on.
QString modemLineWarningText(iap::Language language, const QString &port, ModemLine line,
                             std::chrono::milliseconds wait);

} // namespace links
