#include "clitext.h"

#include "flashjob.h"
#include "serialerror.h"

namespace flash {

QString rateText(double bytesPerSecond)
{
    if (bytesPerSecond >= 1024.0 * 1024.0)
        return QStringLiteral("%1 MiB/s").arg(bytesPerSecond / (1024.0 * 1024.0), 0, 'f', 2);
    if (bytesPerSecond >= 1024.0)
        return QStringLiteral("%1 KiB/s").arg(bytesPerSecond / 1024.0, 0, 'f', 1);
    return QStringLiteral("%1 B/s").arg(qRound64(bytesPerSecond));
}

QString failureText(const FlashJob &job, bool chinese)
{
    const QString port = job.options().port;
    switch (job.failure()) {
    case FlashJob::Failure::None:
        return QString();
    case FlashJob::Failure::OpenFailed:
        return serialErrorText(job.serialError(), chinese, port, job.serialReason());
    case FlashJob::Failure::PortLost:
        // The device holds part of an image: that comes first, the system's reason after.
        return lostDuringUpgradeText(chinese, port, job.bytesDone(), job.imageBytes(),
                                     job.serialReason());
    case FlashJob::Failure::NoAnswer: {
        const QString secs = QString::number(job.options().requestTimeout.count() / 1000.0);
        return chinese ? QStringLiteral("%1：设备在 %2 秒内没有响应更新请求（已发送 %3 次请求）。"
                                        "请检查接线、波特率，并确认设备处于引导程序中。")
                             .arg(port, secs)
                             .arg(job.requestsSent())
                       : QStringLiteral("%1: the device did not answer the update request within "
                                        "%2 s (%3 requests sent). Check the cable and the baud "
                                        "rate, and that the device is in its boot loader.")
                             .arg(port, secs)
                             .arg(job.requestsSent());
    }
    case FlashJob::Failure::TooManyResends:
        return chinese ? QStringLiteral("%1：第%2包连续重发 %3 次仍未写入，放弃升级。")
                             .arg(port)
                             .arg(job.failedPackage() + 1)
                             .arg(job.options().maxResends)
                       : QStringLiteral("%1: package %2 was resent %3 times in a row and still "
                                        "not written; giving up.")
                             .arg(port)
                             .arg(job.failedPackage() + 1)
                             .arg(job.options().maxResends);
    case FlashJob::Failure::Interrupted:
        return chinese
                   ? QStringLiteral("%1：已中断，升级未完成（已写入 %2 / %3 字节），"
                                    "设备需要重新升级。")
                         .arg(port)
                         .arg(job.bytesDone())
                         .arg(job.imageBytes())
                   : QStringLiteral("%1: interrupted; the upgrade is incomplete (%2 of %3 bytes "
                                    "written) and must be run again.")
                         .arg(port)
                         .arg(job.bytesDone())
                         .arg(job.imageBytes());
    }
    return QString();
}

QString successText(const FlashJob &job, bool chinese)
{
    const double secs = job.seconds();
    const QString rate = rateText(secs > 0 ? job.imageBytes() / secs : 0);
    const QString s = QString::number(secs, 'f', 2);
    return chinese ? QStringLiteral("%1：完成，%2 字节，用时 %3 秒（%4）")
                         .arg(job.options().port)
                         .arg(job.imageBytes())
                         .arg(s, rate)
                   : QStringLiteral("%1: done, %2 bytes in %3 s (%4)")
                         .arg(job.options().port)
                         .arg(job.imageBytes())
                         .arg(s, rate);
}

QString openedText(const QString &port, int baud, bool chinese)
{
    return chinese ? QStringLiteral("%1：已打开，波特率 %2").arg(port).arg(baud)
                   : QStringLiteral("%1: opened at %2 baud").arg(port).arg(baud);
}

QString resendCountText(int packageNumber, int inARow, bool chinese)
{
    return chinese ? QStringLiteral("（第%1包，连续第 %2 次）").arg(packageNumber).arg(inARow)
                   : QStringLiteral("(package %1, %2 in a row)").arg(packageNumber).arg(inARow);
}

QString failureReason(const FlashJob &job)
{
    switch (job.failure()) {
    case FlashJob::Failure::None:
        return QString();
    case FlashJob::Failure::OpenFailed:
        return QStringLiteral("open-failed");
    case FlashJob::Failure::PortLost:
        return QStringLiteral("port-lost");
    case FlashJob::Failure::NoAnswer:
        return QStringLiteral("no-answer");
    case FlashJob::Failure::TooManyResends:
        return QStringLiteral("too-many-resends");
    case FlashJob::Failure::Interrupted:
        return QStringLiteral("interrupted");
    }
    return QString();
}

QString digestText(const QString &sha256, const QString &crc32, bool chinese)
{
    return chinese ? QStringLiteral("镜像 SHA-256 %1，CRC-32 %2").arg(sha256, crc32)
                   : QStringLiteral("Image SHA-256 %1, CRC-32 %2").arg(sha256, crc32);
}

QString plainProgressText(const QString &port, int percent, qint64 done, qint64 total,
                          const QString &rate, const QString &left, bool chinese)
{
    return chinese ? QStringLiteral("%1：%2% %3/%4 字节，%5，剩余 %6")
                         .arg(port)
                         .arg(percent)
                         .arg(done)
                         .arg(total)
                         .arg(rate, left)
                   : QStringLiteral("%1: %2% %3/%4 bytes, %5, %6 left")
                         .arg(port)
                         .arg(percent)
                         .arg(done)
                         .arg(total)
                         .arg(rate, left);
}

QString watchingText(const QStringList &patterns, bool chinese)
{
    const QString list = patterns.join(QStringLiteral(" "));
    return chinese ? QStringLiteral("正在等待接入 %1 的设备（按 Ctrl+C 结束）").arg(list)
                   : QStringLiteral("Watching for boards at %1 (Ctrl+C stops)").arg(list);
}

QString pluggedText(const QString &port, bool plugged, bool chinese)
{
    if (chinese)
        return plugged ? QStringLiteral("%1：已接入").arg(port)
                       : QStringLiteral("%1：已拔出").arg(port);
    return plugged ? QStringLiteral("%1: plugged in").arg(port)
                   : QStringLiteral("%1: unplugged").arg(port);
}

QString runSummaryText(int ok, const QMap<QString, int> &failedByReason, double seconds,
                       bool chinese)
{
    int failed = 0;
    QStringList reasons;
    for (auto it = failedByReason.constBegin(); it != failedByReason.constEnd(); ++it) {
        failed += it.value();
        reasons << QStringLiteral("%1 %2").arg(it.key()).arg(it.value());
    }
    const QString time = QString::number(seconds, 'f', 1);
    if (chinese) {
        const QString why = reasons.isEmpty()
                                ? QString()
                                : QStringLiteral("（%1）").arg(reasons.join(QStringLiteral("，")));
        return QStringLiteral("成功 %1 块，失败 %2 块%3，共用时 %4 秒")
            .arg(ok)
            .arg(failed)
            .arg(why, time);
    }
    const QString why = reasons.isEmpty()
                            ? QString()
                            : QStringLiteral(" (%1)").arg(reasons.join(QStringLiteral(", ")));
    return QStringLiteral("Boards: %1 ok, %2 failed%3; %4 s in all.")
        .arg(ok)
        .arg(failed)
        .arg(why, time);
}

} // namespace flash
