#include "progressline.h"

#include "clitext.h"

#include <QStringList>

namespace flash {

namespace {

constexpr int MaxBar = 30;
constexpr int MinBar = 10;
constexpr int RateWidth = 10; // "999.9 KiB/s" and less keep one width

bool isWide(uint c)
{
    return (c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0x303E) ||
           (c >= 0x3041 && c <= 0x33FF) || (c >= 0x3400 && c <= 0x4DBF) ||
           (c >= 0x4E00 && c <= 0x9FFF) || (c >= 0xA000 && c <= 0xA4CF) ||
           (c >= 0xAC00 && c <= 0xD7A3) || (c >= 0xF900 && c <= 0xFAFF) ||
           (c >= 0xFE30 && c <= 0xFE4F) || (c >= 0xFF00 && c <= 0xFF60) ||
           (c >= 0xFFE0 && c <= 0xFFE6) || (c >= 0x20000 && c <= 0x3FFFD);
}

int percentOf(const ProgressFigures &f)
{
    return f.total > 0 ? int(f.done * 100 / f.total) : 0;
}

QString bar(int width, int percent)
{
    const int filled = percent * width / 100;
    return QLatin1Char('[') + QString(filled, QLatin1Char('#')) +
           QString(width - filled, QLatin1Char('-')) + QLatin1Char(']');
}

QString timeLeft(const ProgressFigures &f)
{
    if (f.rate <= 0)
        return f.language == iap::Language::Chinese ? QStringLiteral("剩余 --")
                                                    : QStringLiteral("-- left");
    const qint64 left = qRound64((f.total - f.done) / f.rate);
    QString t;
    if (left >= 60)
        t = QStringLiteral("%1:%2").arg(left / 60, 2).arg(left % 60, 2, 10, QLatin1Char('0'));
    else
        t = f.language == iap::Language::Chinese ? QStringLiteral("%1 秒").arg(left, 2)
                                                 : QStringLiteral("%1 s").arg(left, 2);
    return f.language == iap::Language::Chinese ? QStringLiteral("剩余 ") + t
                                                : t + QStringLiteral(" left");
}

// The last columns of the text that fit, cut at a character.
QString keepEnd(const QString &text, int columns)
{
    if (displayWidth(text) <= columns)
        return text;
    const QString ellipsis = QStringLiteral("…");
    QString kept;
    int width = 1;
    for (int i = text.size() - 1; i >= 0; --i) {
        const int w = displayWidth(text.at(i));
        if (width + w > columns)
            break;
        kept.prepend(text.at(i));
        width += w;
    }
    return columns > 0 ? ellipsis + kept : QString();
}

QString keepStart(const QString &text, int columns)
{
    QString kept;
    int width = 0;
    for (const QChar c : text) {
        const int w = displayWidth(QString(c));
        if (width + w > columns)
            break;
        kept.append(c);
        width += w;
    }
    return kept;
}

} // namespace

int displayWidth(const QString &text)
{
    int width = 0;
    const QVector<uint> points = text.toUcs4();
    for (const uint c : points)
        width += isWide(c) ? 2 : 1;
    return width;
}

QString barLine(const ProgressFigures &f, int columns)
{
    const int room = qMax(0, columns - 1); // the last column stays free: no wrap
    const int pct = percentOf(f);
    const QString percent = QStringLiteral("%1%").arg(pct, 3);
    // Figures keep their width from one redraw to the next, so the layout does not jump.
    const int digits = QString::number(f.total).size();
    const QString bytes = f.language == iap::Language::Chinese
                              ? QStringLiteral("%1/%2 字节").arg(f.done, digits).arg(f.total)
                              : QStringLiteral("%1/%2 bytes").arg(f.done, digits).arg(f.total);
    QStringList parts{percent, bytes, QStringLiteral("%1").arg(rateText(f.rate), RateWidth),
                      timeLeft(f)};
    // Drop the time left, then the byte counts, until the bar has room beside them.
    const int dropOrder[] = {3, 1};
    for (int step = 0;; ++step) {
        QStringList kept;
        for (const QString &p : qAsConst(parts))
            if (!p.isEmpty())
                kept << p;
        const QString tail = kept.join(QLatin1Char(' '));
        const int barRoom = room - displayWidth(tail) - 3; // brackets and a space
        if (barRoom >= MinBar)
            return bar(qMin(MaxBar, barRoom), pct) + QLatin1Char(' ') + tail;
        if (step >= 2) {
            // No room for a bar at all: the figures alone, as many as fit.
            return keepStart(tail, room);
        }
        parts[dropOrder[step]].clear();
    }
}

QString boardLine(const ProgressFigures &f, int columns)
{
    const int room = qMax(0, columns - 1);
    const int pct = percentOf(f);
    const QString figures = QStringLiteral("%1% %2").arg(pct, 3).arg(rateText(f.rate), RateWidth);
    const int portRoom = room - displayWidth(figures) - 1;
    if (portRoom < 4)
        return keepStart(figures, room);
    const QString port = keepEnd(f.port, qMin(portRoom, displayWidth(f.port)));
    QString text = port + QLatin1Char(' ') + figures;
    const int barRoom = room - displayWidth(text) - 3;
    if (barRoom >= MinBar)
        text += QLatin1Char(' ') + bar(qMin(MaxBar, barRoom), pct);
    return text;
}

QString waitingLine(const QString &port, int requests, int seconds, int baud,
                    iap::Language language, int columns, bool full)
{
    QString text = language == iap::Language::Chinese
                       ? QStringLiteral("%1：等待设备应答：已发送 %2 次请求，%3 秒")
                             .arg(port)
                             .arg(requests)
                             .arg(seconds)
                       : QStringLiteral("%1: waiting for the device: %2 requests, %3 s")
                             .arg(port)
                             .arg(requests)
                             .arg(seconds);
    if (full)
        text +=
            language == iap::Language::Chinese
                ? QStringLiteral("；请复位板子使其进入引导程序，检查线缆和波特率（%1）").arg(baud)
                : QStringLiteral(" - reset the board into its boot loader, check the "
                                 "cable and the baud rate (%1)")
                      .arg(baud);
    return keepStart(text, qMax(0, columns - 1));
}

} // namespace flash
