#pragma once

#include <QMap>
#include <QString>
#include <QStringList>

class FlashJob;

// The flasher's own lines, in English and Chinese. The upgrade's lines themselves come from
// iap/messages.h, the port errors from serial/serialerror.h, exactly as in the window.
namespace flash {

// Why a job failed, one line naming the port; empty for a job that succeeded.
QString failureText(const FlashJob &job, bool chinese);
// The final line of a successful job: bytes, seconds and rate.
QString successText(const FlashJob &job, bool chinese);
// "%1: opened at %2 baud".
QString openedText(const QString &port, int baud, bool chinese);
// Resend notice with the package number and the count in a row.
QString resendCountText(int packageNumber, int inARow, bool chinese);

// A short machine word for the JSON "reason" field of a failed job.
QString failureReason(const FlashJob &job);

// The image's fingerprints, printed once at start.
QString digestText(const QString &sha256, const QString &crc32, bool chinese);
// A progress line for logs and pipes: port, percentage, bytes, rate, time left.
QString plainProgressText(const QString &port, int percent, qint64 done, qint64 total,
                          const QString &rate, const QString &left, bool chinese);
// Watch mode: what is watched, boards plugged in and pulled out, and the run's summary.
QString watchingText(const QStringList &patterns, bool chinese);
QString pluggedText(const QString &port, bool plugged, bool chinese);
QString runSummaryText(int ok, const QMap<QString, int> &failedByReason, double seconds,
                       bool chinese);

// "10.8 KiB/s", "512 B/s".
QString rateText(double bytesPerSecond);

} // namespace flash
