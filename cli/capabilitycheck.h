#pragma once

#include "capabilities.h"
#include "language.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>
#include <chrono>

namespace flash {

class FlashJob;

// Before its first request iap-flash asks the device what fits it (the capability question,
// F1 03) and refuses an image that lies outside the device's application area or is larger
// than it, before anything on the device is erased. The question goes out every Interval, at
// most Tries times: a device that does not know it (or a running application that hands over
// to its boot loader on the first one) gets the requests at most 300 ms later.
class CapabilityCheck : public QObject
{
    Q_OBJECT
public:
    static constexpr std::chrono::milliseconds Interval{100};
    static constexpr int Tries = 3;

    enum class Result
    {
        Pending,
        NoAnswer,
        Fits,
        DoesNotFit, // fit() says how
    };

    CapabilityCheck(const iap::ImageSpan &image, QObject *parent = nullptr);

    // Asks the first time; `received` is the stream position: answers must begin after it.
    void start(qint64 received);
    // The first question has been taken by the operating system in full, `received` bytes
    // having reached the host by then: an answer must begin after that.
    void written(qint64 received);
    // A valid frame found on the line, its first byte at `firstByte` of the stream.
    void offer(const QByteArray &frame, qint64 firstByte);
    void stop() { m_timer.stop(); }

    Result result() const { return m_result; }
    iap::Fit fit() const { return m_fit; }
    const iap::Capabilities &capabilities() const { return m_device; }
    const iap::ImageSpan &image() const { return m_image; }

signals:
    void send(const QByteArray &question);
    void finished();

private:
    void ask();
    void onTimeout();

    iap::ImageSpan m_image;
    iap::Capabilities m_device;
    Result m_result = Result::Pending;
    iap::Fit m_fit = iap::Fit::Fits;
    qint64 m_askedFrom = 0;
    bool m_markOpen = false; // the first question's write has not been marked yet
    int m_tries = 0;
    QTimer m_timer;
};

// The lines of the two refusals: the image does not fit (both ranges named), and the device
// refused the request (its reason).
QString doesNotFitText(const CapabilityCheck &check, const QString &port, iap::Language language);
QString refusedText(const iap::Refusal &refusal, qint64 imageBytes, const QString &port,
                    iap::Language language);

} // namespace flash
