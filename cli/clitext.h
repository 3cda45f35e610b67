#pragma once

#include <QString>

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

// "10.8 KiB/s", "512 B/s".
QString rateText(double bytesPerSecond);

} // namespace flash
