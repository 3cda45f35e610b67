// Fuzz target: the device core fed arbitrary bytes. It must never write outside the image
// it accepted, never write a package twice or out of order, send only well-formed replies,
// answer the verification question with what its port reads back, and never crash.
//
// Input: byte 0 picks the capacity the port declares (256 << (b % 16) bytes); byte 1 is a set
// of port behaviours: 0x80 writes fail for some packages, 0x40 finish fails every other call,
// 0x20 the port cannot read back (no read callback), 0x10 every callback reports the line idle
// and feeds a byte (as an interrupt would, which the core must ignore). The rest is the line,
// fed one byte at a time, with the line reported quiet after every 0xFF 0xFF 0xFF run.
#include "fuzzcheck.h"
#include "iap_device.h"

#include <cstddef>
#include <cstdint>

namespace {

struct Port
{
    iap_dev_port port{};
    iap_dev dev{};
    quint32 length = 0; // accepted image; 0 before any
    quint32 next = 0;   // offset the next write must have
    QByteArray written; // what was written of the accepted image
    quint32 crc = 0;    // its CRC-32
    uint8_t behaviour = 0;
    int finishCalls = 0;
    bool finished = false;
};

// What the port's flash holds at `offset` (it does not keep what was written).
uint8_t flashByte(quint32 offset)
{
    return uint8_t(offset * 7u + 3u);
}

void interrupt(Port *p)
{
    if (p->behaviour & 0x10) {
        iap_dev_idle(&p->dev);
        iap_dev_feed(&p->dev, 0xF1);
    }
}

void onSend(void *user, const uint8_t *bytes, uint8_t count)
{
    auto *p = static_cast<Port *>(user);
    interrupt(p);
    const QByteArray frame(reinterpret_cast<const char *>(bytes), count);
    FUZZ_CHECK(fuzz::isValidReply(frame));
    FUZZ_CHECK((count == 8 && bytes[1] == 0x81) || (count == 9 && bytes[1] == 0x82) ||
               (count == 20 && bytes[1] == 0x83) || (count == 14 && bytes[1] == 0x84) ||
               (count == 11 && bytes[1] == 0xC1 && bytes[2] >= 1 && bytes[2] <= 3));
    if (bytes[1] == 0x82)
        FUZZ_CHECK(bytes[4] >= 1 && bytes[4] <= 3);
    if (bytes[1] == 0x83)
        FUZZ_CHECK(bytes[2] == 0 && bytes[3] == ((p->behaviour & 0x20) ? 0 : 1));
    if (bytes[1] == 0x84) {
        // The image held, read back: its length and CRC, or nothing when none is complete.
        FUZZ_CHECK(!(p->behaviour & 0x20));
        const quint32 length =
            quint32(bytes[2]) << 24 | quint32(bytes[3]) << 16 | quint32(bytes[4]) << 8 | bytes[5];
        const quint32 crc =
            quint32(bytes[6]) << 24 | quint32(bytes[7]) << 16 | quint32(bytes[8]) << 8 | bytes[9];
        FUZZ_CHECK(length == (iap_dev_complete(&p->dev) ? p->length : 0u));
        QByteArray held(int(length), '\0');
        for (quint32 i = 0; i < length; ++i)
            held[int(i)] = char(flashByte(i));
        FUZZ_CHECK(crc == iap_dev_crc32(reinterpret_cast<const uint8_t *>(held.constData()),
                                        size_t(held.size())));
    }
}

iap_dev_result onPrepare(void *user, uint32_t length)
{
    auto *p = static_cast<Port *>(user);
    interrupt(p);
    FUZZ_CHECK(length >= 1 && length <= p->port.capacity && length <= IAP_DEV_MAX_IMAGE);
    p->length = length;
    p->next = 0;
    p->written.clear();
    p->crc = 0;
    p->finished = false;
    return IAP_DEV_OK;
}

iap_dev_result onWrite(void *user, uint32_t offset, const uint8_t *data, uint16_t count)
{
    auto *p = static_cast<Port *>(user);
    interrupt(p);
    FUZZ_CHECK(p->length > 0);
    FUZZ_CHECK(offset == p->next); // in order, never twice
    FUZZ_CHECK(count >= 1 && count <= IAP_DEV_PACKAGE_SIZE);
    FUZZ_CHECK(quint64(offset) + count <= p->length);
    FUZZ_CHECK(count == IAP_DEV_PACKAGE_SIZE || offset + count == p->length);
    if ((p->behaviour & 0x80) && ((offset >> 10) + p->behaviour) % 3 == 0)
        return IAP_DEV_FAILED;
    p->next = offset + count;
    // The CRC of everything written so far, the core's CRC run over it whole.
    p->written.append(reinterpret_cast<const char *>(data), count);
    p->crc = iap_dev_crc32(reinterpret_cast<const uint8_t *>(p->written.constData()),
                           size_t(p->written.size()));
    return IAP_DEV_OK;
}

iap_dev_result onFinish(void *user, uint32_t length)
{
    auto *p = static_cast<Port *>(user);
    interrupt(p);
    FUZZ_CHECK(length == p->length && p->next == p->length && !p->finished);
    FUZZ_CHECK(iap_dev_image_crc(&p->dev) == p->crc);
    if ((p->behaviour & 0x40) && p->finishCalls++ % 2 == 0)
        return IAP_DEV_FAILED;
    p->finished = true;
    return IAP_DEV_OK;
}

iap_dev_result onRead(void *user, uint32_t offset, uint8_t *data, uint16_t count)
{
    auto *p = static_cast<Port *>(user);
    interrupt(p);
    FUZZ_CHECK(iap_dev_complete(&p->dev) && count >= 1 && count <= IAP_DEV_PACKAGE_SIZE &&
               quint64(offset) + count <= p->length);
    for (uint16_t i = 0; i < count; ++i)
        data[i] = flashByte(offset + i);
    return IAP_DEV_OK;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::Input in(data, size);
    Port p;
    p.port.user = &p;
    p.port.capacity = quint32(256) << (in.byte() % 16);
    p.behaviour = in.byte();
    p.port.send = onSend;
    p.port.prepare = onPrepare;
    p.port.write = onWrite;
    p.port.finish = onFinish;
    p.port.read = (p.behaviour & 0x20) ? nullptr : onRead;
    iap_dev_init(&p.dev, &p.port);
    int ones = 0;
    while (!in.atEnd()) {
        const uint8_t b = in.byte();
        iap_dev_feed(&p.dev, b);
        FUZZ_CHECK(p.dev.rx_len <= IAP_DEV_BUFFER_SIZE);
        FUZZ_CHECK(p.dev.open <= IAP_DEV_CANDIDATES);
        ones = b == 0xFF ? ones + 1 : 0;
        if (ones == 3)
            iap_dev_idle(&p.dev);
        // Complete once finished, until a request (even one refused) starts anew.
        FUZZ_CHECK(iap_dev_complete(&p.dev) == (p.length > 0 && p.finished ? 1 : 0) ||
                   (!iap_dev_complete(&p.dev) && p.dev.count == 0));
    }
    iap_dev_idle(&p.dev);
    FUZZ_CHECK(p.dev.rx_len == 0);
    return 0;
}
