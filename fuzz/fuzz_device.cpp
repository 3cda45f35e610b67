// Fuzz target: the device core fed arbitrary bytes. It must never write outside the image
// it accepted, never write a package twice or out of order, send only well-formed replies,
// and never crash.
//
// Input: byte 0 picks the capacity the port declares (256 << (b % 16) bytes); byte 1 makes
// writes fail for some packages when its top bit is set; the rest is the line, fed one
// byte at a time, with the line reported quiet after every 0xFF 0xFF 0xFF run.
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
    uint8_t failMask = 0;
    bool finished = false;
};

void onSend(void *user, const uint8_t *bytes, uint8_t count)
{
    (void)user;
    const QByteArray frame(reinterpret_cast<const char *>(bytes), count);
    FUZZ_CHECK(fuzz::isValidReply(frame));
    FUZZ_CHECK((count == 8 && bytes[1] == 0x81) || (count == 9 && bytes[1] == 0x82));
    if (count == 9)
        FUZZ_CHECK(bytes[4] >= 1 && bytes[4] <= 3);
}

iap_dev_result onPrepare(void *user, uint32_t length)
{
    auto *p = static_cast<Port *>(user);
    FUZZ_CHECK(length >= 1 && length <= p->port.capacity && length <= IAP_DEV_MAX_IMAGE);
    p->length = length;
    p->next = 0;
    p->finished = false;
    return IAP_DEV_OK;
}

iap_dev_result onWrite(void *user, uint32_t offset, const uint8_t *data, uint16_t count)
{
    auto *p = static_cast<Port *>(user);
    (void)data;
    FUZZ_CHECK(p->length > 0);
    FUZZ_CHECK(offset == p->next); // in order, never twice
    FUZZ_CHECK(count >= 1 && count <= IAP_DEV_PACKAGE_SIZE);
    FUZZ_CHECK(quint64(offset) + count <= p->length);
    FUZZ_CHECK(count == IAP_DEV_PACKAGE_SIZE || offset + count == p->length);
    if ((p->failMask & 0x80) && ((offset >> 10) + p->failMask) % 3 == 0)
        return IAP_DEV_FAILED;
    p->next = offset + count;
    return IAP_DEV_OK;
}

iap_dev_result onFinish(void *user, uint32_t length)
{
    auto *p = static_cast<Port *>(user);
    FUZZ_CHECK(length == p->length && p->next == p->length && !p->finished);
    p->finished = true;
    return IAP_DEV_OK;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::Input in(data, size);
    Port p;
    p.port.user = &p;
    p.port.capacity = quint32(256) << (in.byte() % 16);
    p.failMask = in.byte();
    p.port.send = onSend;
    p.port.prepare = onPrepare;
    p.port.write = onWrite;
    p.port.finish = onFinish;
    iap_dev_init(&p.dev, &p.port);
    int ones = 0;
    while (!in.atEnd()) {
        const uint8_t b = in.byte();
        iap_dev_feed(&p.dev, b);
        FUZZ_CHECK(p.dev.rx_len <= IAP_DEV_BUFFER_SIZE);
        ones = b == 0xFF ? ones + 1 : 0;
        if (ones == 3)
            iap_dev_idle(&p.dev);
        FUZZ_CHECK(iap_dev_complete(&p.dev) == (p.length > 0 && p.finished ? 1 : 0) ||
                   p.dev.count == 0);
    }
    iap_dev_idle(&p.dev);
    FUZZ_CHECK(p.dev.rx_len == 0);
    return 0;
}
