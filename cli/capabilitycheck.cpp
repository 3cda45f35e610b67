#include "capabilitycheck.h"

#include <utility>

#include "codec.h"
#include "messages.h"

namespace flash {

CapabilityCheck::CapabilityCheck(const iap::ImageSpan &image, QObject *parent)
    : QObject(parent), m_image(image)
{
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &CapabilityCheck::onTimeout);
}

void CapabilityCheck::start(qint64 received)
{
    m_askedFrom = received;
    m_markOpen = true;
    ask();
}

void CapabilityCheck::written(qint64 received)
{
    if (!std::exchange(m_markOpen, false))
        return;
    m_askedFrom = qMax(m_askedFrom, received);
}

void CapabilityCheck::ask()
{
    ++m_tries;
    m_timer.start(Interval);
    emit send(iap::codec::capabilityQuestion());
}

void CapabilityCheck::onTimeout()
{
    if (m_result != Result::Pending)
        return;
    if (m_tries < Tries) {
        ask();
        return;
    }
    m_result = Result::NoAnswer;
    emit finished();
}

void CapabilityCheck::offer(const QByteArray &frame, qint64 firstByte)
{
    if (m_result != Result::Pending || firstByte < m_askedFrom ||
        !iap::Capabilities::decode(frame, &m_device))
        return;
    m_timer.stop();
    m_fit = iap::judgeImage(m_device, m_image);
    m_result = m_fit == iap::Fit::Fits ? Result::Fits : Result::DoesNotFit;
    emit finished();
}

namespace {

QString range(bool placed, quint64 first, qint64 bytes, iap::Language language)
{
    const QString size = language == iap::Language::Chinese ? QStringLiteral("%1 字节").arg(bytes)
                                                            : QStringLiteral("%1 bytes").arg(bytes);
    if (!placed || bytes <= 0)
        return size;
    return (language == iap::Language::Chinese ? QStringLiteral("%1-%2（%3）")
                                               : QStringLiteral("%1-%2 (%3)"))
        .arg(iap::addressText(first), iap::addressText(first + quint64(bytes) - 1), size);
}

} // namespace

QString doesNotFitText(const CapabilityCheck &check, const QString &port, iap::Language language)
{
    const iap::ImageSpan &image = check.image();
    const iap::Capabilities &device = check.capabilities();
    const qint64 imageBytes = image.placed ? qint64(image.last - image.first + 1) : image.bytes;
    const QString mine = range(image.placed, image.first, imageBytes, language);
    const QString area = range(device.hasBase(), device.base, device.capacity, language);
    if (check.fit() == iap::Fit::Outside)
        return language == iap::Language::Chinese
                   ? QStringLiteral("%1：镜像不在设备的应用程序区内：镜像为 %2，应用程序区为 "
                                    "%3。未向设备发送任何请求，设备上的内容未被擦除。")
                         .arg(port, mine, area)
                   : QStringLiteral("%1: the image lies outside the device's application "
                                    "area: the image is %2, the area %3. Nothing was "
                                    "requested; the device has erased nothing.")
                         .arg(port, mine, area);
    return language == iap::Language::Chinese
               ? QStringLiteral("%1：镜像大于设备的应用程序区：镜像为 %2，应用程序区为 %3。"
                                "未向设备发送任何请求，设备上的内容未被擦除。")
                     .arg(port, mine, area)
               : QStringLiteral("%1: the image is larger than the device's application "
                                "area: the image is %2, the area %3. Nothing was requested; "
                                "the device has erased nothing.")
                     .arg(port, mine, area);
}

QString refusedText(const iap::Refusal &refusal, qint64 imageBytes, const QString &port,
                    iap::Language language)
{
    switch (refusal.reason) {
    case iap::Refusal::TooLarge:
        return language == iap::Language::Chinese
                   ? QStringLiteral("%1：设备拒绝了更新请求：镜像 %2 字节，大于其应用程序区的 "
                                    "%3 字节。")
                         .arg(port)
                         .arg(imageBytes)
                         .arg(refusal.capacity)
                   : QStringLiteral("%1: the device refused the update request: the image "
                                    "is %2 bytes, its application area takes %3.")
                         .arg(port)
                         .arg(imageBytes)
                         .arg(refusal.capacity);
    case iap::Refusal::Malformed:
        return language == iap::Language::Chinese
                   ? QStringLiteral("%1：设备拒绝了更新请求：请求的长度与包数不符。").arg(port)
                   : QStringLiteral("%1: the device refused the update request: its length "
                                    "and package total do not match.")
                         .arg(port);
    case iap::Refusal::NotReady:
        return language == iap::Language::Chinese
                   ? QStringLiteral("%1：设备拒绝了更新请求：它无法准备（擦除）其闪存。").arg(port)
                   : QStringLiteral("%1: the device refused the update request: it could "
                                    "not prepare (erase) its flash.")
                         .arg(port);
    }
    return language == iap::Language::Chinese
               ? QStringLiteral("%1：设备拒绝了更新请求（原因 %2）。").arg(port).arg(refusal.reason)
               : QStringLiteral("%1: the device refused the update request (reason %2).")
                     .arg(port)
                     .arg(refusal.reason);
}

} // namespace flash
