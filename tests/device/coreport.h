#pragma once
// The device core with a port that records everything the core asks of it: the reply bytes,
// every prepare, write, finish and read call, and the image area. Failures can be scripted.
//
// The image area behaves like NOR flash: prepare erases it (every byte 0xFF) and a write
// programs byte by byte, refusing (as a flash controller's PGERR/PROGERR) at the first byte
// that is not erased; the bytes before it stay programmed. Writing the same package twice
// therefore fails, as on a real part.
#include "iap_device.h"

#include <QByteArray>
#include <QVector>

#include <algorithm>
#include <functional>

struct CorePort
{
    struct Write
    {
        quint32 offset;
        int count;
        bool ok = true; // the port reported success
        bool operator==(const Write &o) const { return offset == o.offset && count == o.count; }
    };

    iap_dev_port port{};
    iap_dev dev{};
    QByteArray sent;          // every reply byte, in order
    QVector<int> frameLength; // iap_dev_frame_length at each send
    QByteArray flash;         // the image area (empty when storing is off)
    bool store = true;        // keep written bytes (off for the largest image)
    QVector<quint32> prepares;
    QVector<Write> writes; // successful and failed ones
    QVector<quint32> finishes;
    QVector<quint32> finishCrcs; // iap_dev_image_crc inside each finish
    QVector<QPair<quint32, int>> reads;
    int programErrors = 0;                           // writes refused because a byte was not erased
    std::function<bool(quint32 offset)> failWrite;   // true: the write fails before programming
    std::function<bool(quint32 offset)> refuseWrite; // true: the write says IAP_DEV_REFUSED
    int failFinishes = 0;                            // the next N finish calls fail
    bool failPrepare = false;
    bool failRead = false;
    bool withFinish = true;
    std::function<void()> inCallback; // run inside every callback (an interrupt meanwhile)
    quint64 writtenSum = 0;           // sum of all bytes written (for images too large to store)
    int misaligned = 0; // writes whose data was not 4-byte aligned (a word read would fault)
    int kicks = 0;      // watchdog calls
    // set_baud calls: the rate, and the reply bytes sent before the call.
    QVector<QPair<quint32, int>> bauds;
    bool failBaud = false;

    explicit CorePort(quint32 capacity = 1u << 20, bool finish = true) : withFinish(finish)
    {
        port.user = this;
        port.capacity = capacity;
        port.send = [](void *user, const uint8_t *bytes, uint8_t count) {
            auto *self = static_cast<CorePort *>(user);
            self->during();
            self->sent.append(reinterpret_cast<const char *>(bytes), count);
            self->frameLength.append(iap_dev_frame_length(&self->dev));
        };
        port.prepare = [](void *user, uint32_t length) {
            auto *self = static_cast<CorePort *>(user);
            self->during();
            self->prepares.append(length);
            if (self->failPrepare)
                return IAP_DEV_FAILED;
            if (self->store)
                self->flash = QByteArray(int(length), char(0xFF)); // erased
            return IAP_DEV_OK;
        };
        port.write = [](void *user, uint32_t offset, const uint8_t *data, uint16_t count) {
            auto *self = static_cast<CorePort *>(user);
            self->during();
            const bool fail = self->failWrite && self->failWrite(offset);
            const bool refuse = self->refuseWrite && self->refuseWrite(offset);
            self->writes.append({offset, count, !fail && !refuse});
            if (reinterpret_cast<quintptr>(data) % 4 != 0)
                ++self->misaligned;
            if (fail)
                return IAP_DEV_FAILED;
            if (refuse)
                return IAP_DEV_REFUSED;
            if (self->store) {
                // Outside the prepared image is a defect of the core: record it loudly.
                if (qint64(offset) + count > self->flash.size())
                    qFatal("write outside the image: %u + %u", offset, count);
                for (int i = 0; i < count; ++i) {
                    char &cell = self->flash.data()[offset + i];
                    if (quint8(cell) != 0xFF) {
                        ++self->programErrors;
                        self->writes.last().ok = false;
                        return IAP_DEV_FAILED;
                    }
                    cell = char(data[i]);
                }
            }
            for (int i = 0; i < count; ++i)
                self->writtenSum += data[i];
            return IAP_DEV_OK;
        };
        if (withFinish)
            port.finish = [](void *user, uint32_t length) {
                auto *self = static_cast<CorePort *>(user);
                self->during();
                self->finishes.append(length);
                self->finishCrcs.append(iap_dev_image_crc(&self->dev));
                if (self->failFinishes > 0) {
                    --self->failFinishes;
                    return IAP_DEV_FAILED;
                }
                return IAP_DEV_OK;
            };
        port.read = [](void *user, uint32_t offset, uint8_t *data, uint16_t count) {
            auto *self = static_cast<CorePort *>(user);
            self->during();
            self->reads.append({offset, count});
            if (self->failRead || qint64(offset) + count > self->flash.size())
                return IAP_DEV_FAILED;
            std::copy_n(self->flash.constData() + offset, count, data);
            return IAP_DEV_OK;
        };
        port.watchdog = [](void *user) { ++static_cast<CorePort *>(user)->kicks; };
        iap_dev_init(&dev, &port);
    }
    // A port that switches the line up to `maxBaud` and takes `window` packages in flight.
    void offerBoost(quint32 maxBaud, uint16_t window)
    {
        port.max_baud = maxBaud;
        port.window = window;
        port.set_baud = [](void *user, uint32_t baud) {
            auto *self = static_cast<CorePort *>(user);
            self->during();
            self->bauds.append({baud, int(self->sent.size())});
            return self->failBaud ? IAP_DEV_FAILED : IAP_DEV_OK;
        };
    }
    CorePort(const CorePort &) = delete;
    CorePort &operator=(const CorePort &) = delete;

    void during()
    {
        if (inCallback)
            inCallback();
    }

    // Feeds bytes and returns what the core answered to them.
    QByteArray feed(const QByteArray &bytes, int chunk = 0)
    {
        const int before = sent.size();
        if (chunk <= 0) {
            iap_dev_feed_bytes(&dev, reinterpret_cast<const uint8_t *>(bytes.constData()),
                               size_t(bytes.size()));
        } else {
            for (int at = 0; at < bytes.size(); at += chunk) {
                const QByteArray piece = bytes.mid(at, chunk);
                iap_dev_feed_bytes(&dev, reinterpret_cast<const uint8_t *>(piece.constData()),
                                   size_t(piece.size()));
            }
        }
        return sent.mid(before);
    }
    QByteArray idle()
    {
        const int before = sent.size();
        iap_dev_idle(&dev);
        return sent.mid(before);
    }
    int successfulWrites() const
    {
        return int(
            std::count_if(writes.begin(), writes.end(), [](const Write &w) { return w.ok; }));
    }
};
