#pragma once

#include "language.h"
#include <QString>

namespace flash {

// The live progress lines of iap-flash on a terminal, fitted to the terminal's width. Pure
// text: the caller supplies the figures and the width and writes the result.

struct ProgressFigures
{
    QString port;
    qint64 done = 0;  // bytes written and acknowledged
    qint64 total = 0; // bytes in the image
    double rate = 0;  // bytes per second since the device accepted the request
    iap::Language language = iap::Language::English;
};

// Columns the text takes on a terminal (CJK characters take two).
int displayWidth(const QString &text);

// The bar of a single-port run: "[#####-----]  50% 2500/5000 bytes 10.2 KiB/s 0 s left". What
// does not fit into columns - 1 goes, the time left first, then the byte counts, then the
// bar itself; the percentage always stays.
QString barLine(const ProgressFigures &f, int columns);

// One line per board in flight: "PORT  50% 10.2 KiB/s [#####-----]", the bar only where
// there is room; a long port name is cut at its start.
QString boardLine(const ProgressFigures &f, int columns);

// While the device has not answered the request: "PORT: waiting for the device: 37 requests,
// 2 s - reset the board ..., check the cable and the baud rate (115200)". With several ports
// (full false) only the port, the requests and the seconds. Cut to columns - 1.
QString waitingLine(const QString &port, int requests, int seconds, int baud,
                    iap::Language language, int columns, bool full);

} // namespace flash
