#pragma once

#include "language.h"
#include <QMap>
#include <QString>
#include <QStringList>

namespace flash {

class FlashJob;

// The flasher's own lines, in English and Chinese. The upgrade's lines themselves come from
// iap/messages.h, the port errors from serial/serialerror.h, exactly as in the window.

// Why a job failed, one line naming the port; empty for a job that succeeded.
QString failureText(const FlashJob &job, iap::Language language);
// The final line of a successful job: bytes, seconds and rate.
QString successText(const FlashJob &job, iap::Language language);
// "%1: opened at %2 baud".
QString openedText(const QString &port, int baud, iap::Language language);
// Resend notice with the package number and the count in a row.
QString resendCountText(int packageNumber, int inARow, iap::Language language);

// A short machine word for the JSON "reason" field of a failed job.
QString failureReason(const FlashJob &job);
// The same reason in words, for the run's tally.
QString reasonWords(const QString &reason, iap::Language language);

// --verify: the device holds the image.
QString verifiedText(const FlashJob &job, iap::Language language);
// A CRC-32 as the messages and events write it: 8 lower-case hex digits.
QString crcText(quint32 crc);

// What is wrong with a command line. The texts take up to three arguments.
enum class UsageError
{
    Unparsable, // %1 the parser's own words
    QuietAndVerbose,
    BadLanguage,       // %1
    BadBaud,           // %1
    BadMaxResends,     // %1
    BadRequestTimeout, // %1
    BadAckTimeout,     // %1
    BadBoostBaud,      // %1
    BadFormat,         // %1
    BadBase,           // %1
    WatchAndPort,
    RelativePattern, // %1
    BadCount,        // %1
    CountWithoutWatch,
    EmptyLogName,
    NoPort,
    EmptyPortName,
    PortTwice,   // %1
    PortTwiceAs, // %1 the line, %2 and %3 the two names
    NoFirmware,
    SeveralFirmware, // %1 how many
    PortAsFirmware,  // %1 the port given as a firmware file, %2 the other file
    NoSignals,
    BadReset,   // %1
    BadResetMs, // %1
    ResetMsWithoutReset,
    ResetAndSequence,
    BadAfter, // %1
    AfterAndSequence,
    AfterWithoutReset,
};
// One line, ending with a hint at --help where that helps.
QString usageText(UsageError usage, iap::Language language, const QString &a = QString(),
                  const QString &b = QString(), const QString &c = QString());

// The image's fingerprints, printed once at start.
QString digestText(const QString &sha256, const QString &crc32, iap::Language language);
// A progress line for logs and pipes: port, percentage, bytes, rate, time left.
QString plainProgressText(const QString &port, int percent, qint64 done, qint64 total,
                          const QString &rate, const QString &left, iap::Language language);
// Watch mode: what is watched, boards plugged in and pulled out, and the run's summary.
QString watchingText(const QStringList &patterns, iap::Language language);
QString pluggedText(const QString &port, bool plugged, iap::Language language);
QString runSummaryText(int ok, const QMap<QString, int> &failedByReason, double seconds,
                       iap::Language language);

// A reply frame as the window shows it ("F1 82 00 04 01 ..."), without the window's
// diagnostics of the conversion (a line per byte would say nothing on its own).
QString replyHex(const QByteArray &frame);

// "10.8 KiB/s", "512 B/s".
QString rateText(double bytesPerSecond);

} // namespace flash
