#pragma once
// The device core with a port that records everything the core asks of it: the reply bytes,
// every prepare, write and finish call, and the image area. Failures can be scripted.
#include "iap_device.h"

#include <QByteArray>
#include <QSet>
#include <QVector>

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
    QByteArray sent;   // every reply byte, in order
    QByteArray flash;  // the image area (empty when storing is off)
    bool store = true; // keep written bytes (off for the largest image)
    QVector<quint32> prepares;
    QVector<Write> writes; // successful and failed ones
    QVector<quint32> finishes;
    std::function<bool(quint32 offset)> failWrite; // true: the write fails
    int failFinishes = 0;                          // the next N finish calls fail
    bool failPrepare = false;
    bool withFinish = true;
    quint64 writtenSum = 0; // sum of all bytes written (for images too large to store)

    explicit CorePort(quint32 capacity = 1u << 20, bool finish = true) : withFinish(finish)
    {
        port.user = this;
        port.capacity = capacity;
        port.send = [](void *user, const uint8_t *bytes, uint8_t count) {
            static_cast<CorePort *>(user)->sent.append(reinterpret_cast<const char *>(bytes),
                                                       count);
        };
        port.prepare = [](void *user, uint32_t length) {
            auto *self = static_cast<CorePort *>(user);
            self->prepares.append(length);
            if (self->failPrepare)
                return IAP_DEV_FAILED;
            if (self->store)
                self->flash = QByteArray(int(length), char(0xFF));
            return IAP_DEV_OK;
        };
        port.write = [](void *user, uint32_t offset, const uint8_t *data, uint16_t count) {
            auto *self = static_cast<CorePort *>(user);
            const bool fail = self->failWrite && self->failWrite(offset);
            self->writes.append({offset, count, !fail});
            if (fail)
                return IAP_DEV_FAILED;
            if (self->store) {
                // Outside the prepared image is a defect of the core: record it loudly.
                if (qint64(offset) + count > self->flash.size())
                    qFatal("write outside the image: %u + %u", offset, count);
                std::copy_n(data, count, self->flash.data() + offset);
            }
            for (int i = 0; i < count; ++i)
                self->writtenSum += data[i];
            return IAP_DEV_OK;
        };
        if (withFinish)
            port.finish = [](void *user, uint32_t length) {
                auto *self = static_cast<CorePort *>(user);
                self->finishes.append(length);
                if (self->failFinishes > 0) {
                    --self->failFinishes;
                    return IAP_DEV_FAILED;
                }
                return IAP_DEV_OK;
            };
        iap_dev_init(&dev, &port);
    }
    CorePort(const CorePort &) = delete;
    CorePort &operator=(const CorePort &) = delete;

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
};
