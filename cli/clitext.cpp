#include "clitext.h"

#include "flashjob.h"
#include "neterror.h"
#include "portlist.h"
#include "serialerror.h"
#include "verification.h"

namespace flash {

QString rateText(double bytesPerSecond)
{
    if (bytesPerSecond >= 1024.0 * 1024.0)
        return QStringLiteral("%1 MiB/s").arg(bytesPerSecond / (1024.0 * 1024.0), 0, 'f', 2);
    if (bytesPerSecond >= 1024.0)
        return QStringLiteral("%1 KiB/s").arg(bytesPerSecond / 1024.0, 0, 'f', 1);
    return QStringLiteral("%1 B/s").arg(qRound64(bytesPerSecond));
}

namespace {

// After "the port does not exist": the device file looked up (a bare name is under /dev), and
// the ports that do exist.
QString notFoundText(const QString &port, iap::Language language)
{
    const QString path = port.contains(QLatin1Char('/')) ? port : QStringLiteral("/dev/") + port;
    const QStringList present = presentPortLines();
    if (language == iap::Language::Chinese)
        return QStringLiteral("查找的是 %1。").arg(path) +
               (present.isEmpty()
                    ? QStringLiteral("本机没有串口。")
                    : QStringLiteral("现有串口：%1。").arg(present.join(QStringLiteral("；"))));
    return QStringLiteral(" Looked for %1. ").arg(path) +
           (present.isEmpty()
                ? QStringLiteral("This machine has no serial port.")
                : QStringLiteral("Ports present: %1.").arg(present.join(QStringLiteral("; "))));
}

} // namespace

QString replyHex(const QByteArray &frame)
{
    return QString::fromLatin1(frame.toHex(' ').toUpper());
}

QString failureText(const FlashJob &job, iap::Language language)
{
    const QString port = job.options().port;
    switch (job.failure()) {
    case FlashJob::Failure::None:
        return QString();
    case FlashJob::Failure::OpenFailed:
        return links::linkErrorText(job.linkError(), language, port, job.serialReason()) +
               (job.linkError().serial == links::SerialError::NotFound
                    ? notFoundText(port, language)
                    : QString());
    case FlashJob::Failure::PortLost:
        // The device holds part of an image: that comes first, the reason after.
        return links::lineLostText(
            job.run().lostMidUpgrade(), job.run().bytesDone(), job.run().imageBytes(), language,
            port, links::lostReasonText(job.linkError().network, language, job.serialReason()));
    case FlashJob::Failure::NoAnswer: {
        const QString secs = QString::number(job.options().requestTimeout.count() / 1000.0);
        return language == iap::Language::Chinese
                   ? QStringLiteral("%1：设备在 %2 秒内没有响应更新请求（已发送 %3 次请求）。"
                                    "请检查接线、波特率，并确认设备处于引导程序中。")
                         .arg(port, secs)
                         .arg(job.run().requestsSent())
                   : QStringLiteral("%1: the device did not answer the update request within "
                                    "%2 s (%3 requests sent). Check the cable and the baud "
                                    "rate, and that the device is in its boot loader.")
                         .arg(port, secs)
                         .arg(job.run().requestsSent());
    }
    case FlashJob::Failure::TooManyResends:
        return language == iap::Language::Chinese
                   ? QStringLiteral("%1：第%2包连续重发 %3 次仍未写入，放弃升级。")
                         .arg(port)
                         .arg(job.run().failedPackage() + 1)
                         .arg(job.options().maxResends)
                   : QStringLiteral("%1: package %2 was resent %3 times in a row and still "
                                    "not written; giving up.")
                         .arg(port)
                         .arg(job.run().failedPackage() + 1)
                         .arg(job.options().maxResends);
    case FlashJob::Failure::Interrupted:
        if (job.verification()) // every package was acknowledged: only the check is missing
            return language == iap::Language::Chinese
                       ? QStringLiteral("%1：校验时被中断：镜像已写入（%2 字节），但未经校验。")
                             .arg(port)
                             .arg(job.run().imageBytes())
                       : QStringLiteral("%1: interrupted during verification: the image was "
                                        "written (%2 bytes) but not verified.")
                             .arg(port)
                             .arg(job.run().imageBytes());
        return language == iap::Language::Chinese
                   ? QStringLiteral("%1：已中断，升级未完成（已写入 %2 / %3 字节），"
                                    "设备需要重新升级。")
                         .arg(port)
                         .arg(job.run().bytesDone())
                         .arg(job.run().imageBytes())
                   : QStringLiteral("%1: interrupted; the upgrade is incomplete (%2 of %3 bytes "
                                    "written) and must be run again.")
                         .arg(port)
                         .arg(job.run().bytesDone())
                         .arg(job.run().imageBytes());
    case FlashJob::Failure::CannotVerify: {
        const iap::Verification *v = job.verification();
        if (v && v->unsupported())
            return language == iap::Language::Chinese
                       ? QStringLiteral("%1：无法校验：设备回答它不能读回镜像。镜像已写入"
                                        "（%2 字节），但无法确认设备中的内容。")
                             .arg(port)
                             .arg(job.run().imageBytes())
                       : QStringLiteral("%1: cannot verify: the device answered that it "
                                        "cannot read its image back. The image was written "
                                        "(%2 bytes), but what the device holds is unknown.")
                             .arg(port)
                             .arg(job.run().imageBytes());
        return language == iap::Language::Chinese
                   ? QStringLiteral("%1：无法校验：设备没有回答校验请求（引导程序不支持校验，"
                                    "或已离开引导程序）。镜像已写入（%2 字节），但无法确认"
                                    "设备中的内容。")
                         .arg(port)
                         .arg(job.run().imageBytes())
                   : QStringLiteral("%1: cannot verify: the device did not answer the "
                                    "verification question (a boot loader without it, or "
                                    "one that has left already). The image was written (%2 "
                                    "bytes), but what the device holds is unknown.")
                         .arg(port)
                         .arg(job.run().imageBytes());
    }
    case FlashJob::Failure::VerifyMismatch: {
        const iap::Verification *v = job.verification();
        const QString deviceCrc = v ? crcText(v->deviceCrc()) : QString();
        const QString imageCrc = v ? crcText(v->imageCrc()) : QString();
        const qint64 deviceBytes = v ? v->deviceLength() : 0;
        return language == iap::Language::Chinese
                   ? QStringLiteral("%1：校验失败：设备中为 %2 字节，CRC-32 %3；镜像为 %4 "
                                    "字节，CRC-32 %5。设备需要重新升级。")
                         .arg(port)
                         .arg(deviceBytes)
                         .arg(deviceCrc)
                         .arg(job.run().imageBytes())
                         .arg(imageCrc)
                   : QStringLiteral("%1: verification failed: the device holds %2 bytes with "
                                    "CRC-32 %3, the image is %4 bytes with CRC-32 %5. The "
                                    "device must be flashed again.")
                         .arg(port)
                         .arg(deviceBytes)
                         .arg(deviceCrc)
                         .arg(job.run().imageBytes())
                         .arg(imageCrc);
    }
    case FlashJob::Failure::DoesNotFit:
        return job.capabilityCheck() ? doesNotFitText(*job.capabilityCheck(), port, language)
                                     : QString();
    case FlashJob::Failure::Refused:
        return refusedText(job.refusal(), job.run().imageBytes(), port, language);
    }
    return QString();
}

QString verifiedText(const FlashJob &job, iap::Language language)
{
    const QString crc = job.verification() ? crcText(job.verification()->deviceCrc()) : QString();
    return language == iap::Language::Chinese
               ? QStringLiteral("%1：校验通过：设备中的镜像与发送的一致（%2 字节，CRC-32 %3）")
                     .arg(job.options().port)
                     .arg(job.run().imageBytes())
                     .arg(crc)
               : QStringLiteral("%1: verified: the device holds the image (%2 bytes, CRC-32 "
                                "%3)")
                     .arg(job.options().port)
                     .arg(job.run().imageBytes())
                     .arg(crc);
}

QString crcText(quint32 crc)
{
    return QStringLiteral("%1").arg(crc, 8, 16, QLatin1Char('0'));
}

QString successText(const FlashJob &job, iap::Language language)
{
    const double secs = job.seconds();
    const QString rate = rateText(secs > 0 ? job.run().imageBytes() / secs : 0);
    const QString s = QString::number(secs, 'f', 2);
    return language == iap::Language::Chinese
               ? QStringLiteral("%1：完成，%2 字节，用时 %3 秒（%4）")
                     .arg(job.options().port)
                     .arg(job.run().imageBytes())
                     .arg(s, rate)
               : QStringLiteral("%1: done, %2 bytes in %3 s (%4)")
                     .arg(job.options().port)
                     .arg(job.run().imageBytes())
                     .arg(s, rate);
}

QString openedText(const QString &port, int baud, iap::Language language)
{
    return language == iap::Language::Chinese
               ? QStringLiteral("%1：已打开，波特率 %2").arg(port).arg(baud)
               : QStringLiteral("%1: opened at %2 baud").arg(port).arg(baud);
}

QString resendCountText(int packageNumber, int inARow, iap::Language language)
{
    return language == iap::Language::Chinese
               ? QStringLiteral("（第%1包，连续第 %2 次）").arg(packageNumber).arg(inARow)
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
    case FlashJob::Failure::CannotVerify:
        return QStringLiteral("cannot-verify");
    case FlashJob::Failure::VerifyMismatch:
        return QStringLiteral("verify-mismatch");
    case FlashJob::Failure::DoesNotFit:
        return QStringLiteral("does-not-fit");
    case FlashJob::Failure::Refused:
        return QStringLiteral("refused");
    }
    return QString();
}

QString reasonWords(const QString &reason, iap::Language language)
{
    // In English the tally keeps the words of the JSON "reason" field, which scripts grep for.
    if (language != iap::Language::Chinese)
        return reason;
    static const struct
    {
        const char *reason;
        const char *chinese;
    } words[] = {
        {"open-failed", "串口无法打开"}, {"port-lost", "串口断开"},
        {"no-answer", "设备无响应"},     {"too-many-resends", "重发次数过多"},
        {"interrupted", "已中断"},       {"cannot-verify", "无法校验"},
        {"verify-mismatch", "校验失败"}, {"does-not-fit", "镜像不适合设备"},
        {"refused", "设备拒绝请求"},
    };
    for (const auto &w : words) {
        if (reason == QLatin1String(w.reason))
            return QString::fromUtf8(w.chinese);
    }
    return reason;
}

QString digestText(const QString &sha256, const QString &crc32, iap::Language language)
{
    return language == iap::Language::Chinese
               ? QStringLiteral("镜像 SHA-256 %1，CRC-32 %2").arg(sha256, crc32)
               : QStringLiteral("Image SHA-256 %1, CRC-32 %2").arg(sha256, crc32);
}

QString plainProgressText(const QString &port, int percent, qint64 done, qint64 total,
                          const QString &rate, const QString &left, iap::Language language)
{
    return language == iap::Language::Chinese ? QStringLiteral("%1：%2% %3/%4 字节，%5，剩余 %6")
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

QString watchingText(const QStringList &patterns, iap::Language language)
{
    const QString list = patterns.join(QStringLiteral(" "));
    return language == iap::Language::Chinese
               ? QStringLiteral("正在等待接入 %1 的设备（按 Ctrl+C 结束）").arg(list)
               : QStringLiteral("Watching for boards at %1 (Ctrl+C stops)").arg(list);
}

QString pluggedText(const QString &port, bool plugged, iap::Language language)
{
    if (language == iap::Language::Chinese)
        return plugged ? QStringLiteral("%1：已接入").arg(port)
                       : QStringLiteral("%1：已拔出").arg(port);
    return plugged ? QStringLiteral("%1: plugged in").arg(port)
                   : QStringLiteral("%1: unplugged").arg(port);
}

QString runSummaryText(int ok, const QMap<QString, int> &failedByReason, double seconds,
                       iap::Language language)
{
    int failed = 0;
    QStringList reasons;
    for (auto it = failedByReason.constBegin(); it != failedByReason.constEnd(); ++it) {
        failed += it.value();
        reasons << QStringLiteral("%1 %2").arg(reasonWords(it.key(), language)).arg(it.value());
    }
    const QString time = QString::number(seconds, 'f', 1);
    if (language == iap::Language::Chinese) {
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

QString usageText(UsageError usage, iap::Language language, const QString &a, const QString &b,
                  const QString &c)
{
    struct Pair
    {
        UsageError usage;
        const char *english;
        const char *chinese;
    };
    static const Pair texts[] = {
        {UsageError::Unparsable, "%1", "命令行无法解析：%1"},
        {UsageError::QuietAndVerbose, "--quiet and --verbose exclude each other.",
         "--quiet 与 --verbose 不能同时使用。"},
        {UsageError::BadLanguage, "--lang must be en or zh, not \"%1\".",
         "--lang 只能是 en 或 zh，而不是“%1”。"},
        {UsageError::BadBaud, "--baud needs a positive number, not \"%1\".",
         "--baud 需要一个正数，而不是“%1”。"},
        {UsageError::BadMaxResends, "--max-resends needs a number of 0 or more, not \"%1\".",
         "--max-resends 需要 0 或更大的数，而不是“%1”。"},
        {UsageError::BadRequestTimeout, "--request-timeout needs seconds (0 or more), not \"%1\".",
         "--request-timeout 需要秒数（0 或更大），而不是“%1”。"},
        {UsageError::BadAckTimeout, "--ack-timeout needs seconds (at least 0.05), not \"%1\".",
         "--ack-timeout 需要秒数（至少 0.05），而不是“%1”。"},
        {UsageError::BadBoostBaud, "--boost-baud needs a rate in baud (at least 1200), not \"%1\".",
         "--boost-baud 需要一个波特率（至少 1200），而不是“%1”。"},
        {UsageError::BadFormat, "--format must be bin, hex, srec or elf, not \"%1\".",
         "--format 只能是 bin、hex、srec 或 elf，而不是“%1”。"},
        {UsageError::BadBase, "--base needs an address (0x... or decimal), not \"%1\".",
         "--base 需要一个地址（0x... 或十进制），而不是“%1”。"},
        {UsageError::WatchAndPort, "--watch and --port exclude each other.",
         "--watch 与 --port 不能同时使用。"},
        {UsageError::RelativePattern, "--watch needs an absolute path pattern, not \"%1\".",
         "--watch 需要一个绝对路径模式，而不是“%1”。"},
        {UsageError::BadCount, "--count needs a positive number, not \"%1\".",
         "--count 需要一个正数，而不是“%1”。"},
        {UsageError::CountWithoutWatch, "--count goes with --watch.",
         "--count 只能与 --watch 一起使用。"},
        {UsageError::EmptyLogName, "--log needs a file name.", "--log 需要一个文件名。"},
        {UsageError::NoPort, "no port given: name one with --port or --watch (see --list).",
         "没有指定串口：请用 --port 或 --watch 指定（可用 --list 查看）。"},
        {UsageError::EmptyPortName, "--port needs a name.", "--port 需要一个串口名。"},
        {UsageError::PortTwice, "port %1 is given twice.", "串口 %1 被指定了两次。"},
        {UsageError::PortTwiceAs, "port %1 is given twice (as %2 and %3).",
         "串口 %1 被指定了两次（%2 与 %3）。"},
        {UsageError::NoFirmware, "no firmware file given.", "没有指定固件文件。"},
        {UsageError::SeveralFirmware, "give one firmware file, not %1.",
         "只能指定一个固件文件，而不是 %1 个。"},
        {UsageError::PortAsFirmware,
         "%1 is a port, not a firmware file: name it with -p (iap-flash -p %1 %2).",
         "%1 是串口，不是固件文件：请用 -p 指定（iap-flash -p %1 %2）。"},
        {UsageError::NoSignals, "cannot set up signal handling.", "无法设置信号处理。"},
        {UsageError::BadReset, "--reset must be dtr or rts, not \"%1\".",
         "--reset 只能是 dtr 或 rts，而不是“%1”。"},
        {UsageError::BadResetMs, "--reset-ms needs milliseconds from 1 to 10000, not \"%1\".",
         "--reset-ms 需要 1 到 10000 的毫秒数，而不是“%1”。"},
        {UsageError::ResetMsWithoutReset, "--reset-ms goes with --reset.",
         "--reset-ms 只能与 --reset 一起使用。"},
        {UsageError::ResetAndSequence, "--reset and --reset-sequence exclude each other.",
         "--reset 与 --reset-sequence 不能同时使用。"},
        {UsageError::BadAfter, "--after must be reset or none, not \"%1\".",
         "--after 只能是 reset 或 none，而不是“%1”。"},
        {UsageError::AfterAndSequence, "--after and --after-sequence exclude each other.",
         "--after 与 --after-sequence 不能同时使用。"},
        {UsageError::AfterWithoutReset,
         "--after reset pulses the line of --reset: name it with --reset dtr|rts (or give "
         "--after-sequence).",
         "--after reset 会再次触发 --reset 的信号线：请用 --reset dtr|rts 指定（或使用 "
         "--after-sequence）。"},
    };
    QString text;
    for (const Pair &p : texts) {
        if (p.usage == usage) {
            text = QString::fromUtf8(language == iap::Language::Chinese ? p.chinese : p.english);
            break;
        }
    }
    if (text.contains(QLatin1String("%3")))
        text = text.arg(a, b, c);
    else if (text.contains(QLatin1String("%2")))
        text = text.arg(a, b);
    else if (text.contains(QLatin1String("%1")))
        text = text.arg(a);
    if (usage == UsageError::NoSignals)
        return text;
    return text + (language == iap::Language::Chinese ? QStringLiteral(" 参见 --help。")
                                                      : QStringLiteral(" Try --help."));
}

} // namespace flash
