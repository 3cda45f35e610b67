/* iap_device: the boot-loader side of the serial upgrade protocol. See iap_device.h. */
#include "iap_device.h"

#define START 0xF1u
#define CODE_REQUEST 0x01u
#define CODE_DATA 0x02u
#define CODE_ACCEPTED 0x81u
#define CODE_ACK 0x82u
#define REQUEST_LEN 12u
#define FULL_LEN IAP_DEV_BUFFER_SIZE
#define FULL_CRC_AT (FULL_LEN - 4u) /* first trailer byte of a full package */

/* What the byte just examined means for the frame being gathered. */
#define MORE 0u   /* keep gathering */
#define REJECT 1u /* not a frame: drop its start byte and look for the next one */
/* Any other value: a frame of that many bytes was handled; drop it. */

/* CRC-32/ISO-HDLC, four bits at a time: 64 bytes of table instead of 1 KiB. */
static const uint32_t crc_nibble[16] = {0x00000000uL, 0x1DB71064uL, 0x3B6E20C8uL, 0x26D930ACuL,
                                        0x76DC4190uL, 0x6B6B51F4uL, 0x4DB26158uL, 0x5005713CuL,
                                        0xEDB88320uL, 0xF00F9344uL, 0xD6D6A3E8uL, 0xCB61B38CuL,
                                        0x9B64C2B0uL, 0x86D3D2D4uL, 0xA00AE278uL, 0xBDBDF21CuL};

static uint32_t crc_step(uint32_t crc, uint8_t byte)
{
    crc = (crc >> 4) ^ crc_nibble[(crc ^ byte) & 0x0Fu];
    crc = (crc >> 4) ^ crc_nibble[(crc ^ (uint32_t)(byte >> 4)) & 0x0Fu];
    return crc;
}

uint32_t iap_dev_crc32(const uint8_t *bytes, size_t count)
{
    uint32_t crc = 0xFFFFFFFFuL;
    size_t i;
    for (i = 0; i < count; ++i)
        crc = crc_step(crc, bytes[i]);
    return crc ^ 0xFFFFFFFFuL;
}

static uint32_t get32(const uint8_t *p)
{
    return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | (uint32_t)p[3];
}

static uint16_t get16(const uint8_t *p)
{
    return (uint16_t)((uint16_t)p[0] << 8 | p[1]);
}

static void put32(uint8_t *p, uint32_t v)
{
    p[0] = (uint8_t)(v >> 24);
    p[1] = (uint8_t)(v >> 16);
    p[2] = (uint8_t)(v >> 8);
    p[3] = (uint8_t)v;
}

/* Sends F1 code hi lo [status] crc. */
static void reply(iap_dev *dev, uint8_t code, uint16_t index, uint8_t status, uint8_t body)
{
    uint8_t frame[9];
    frame[0] = START;
    frame[1] = code;
    frame[2] = (uint8_t)(index >> 8);
    frame[3] = (uint8_t)index;
    frame[4] = status;
    put32(frame + body, iap_dev_crc32(frame, body));
    dev->port->send(dev->port->user, frame, (uint8_t)(body + 4u));
}

static void handle_request(iap_dev *dev)
{
    const iap_dev_port *port = dev->port;
    const uint32_t length = get32(dev->rx + 2);
    const uint16_t total = get16(dev->rx + 6);
    const uint32_t count = (length >> 10) + ((length & 0x3FFuL) != 0u);

    /* Whatever came before is abandoned: nothing more is written until a request is
     * accepted. A request that cannot be accepted gets no answer at all, as from a device
     * that is not listening: the tool has no refusal to show. */
    dev->count = 0;
    dev->expected = 0;
    if (length == 0u || length > IAP_DEV_MAX_IMAGE || length > port->capacity || count != total ||
        port->prepare(port->user, length) != IAP_DEV_OK)
        return;
    dev->length = length;
    dev->count = total;
    reply(dev, CODE_ACCEPTED, 0u, 0u, 4u);
}

static void handle_package(iap_dev *dev, int crc_ok)
{
    const iap_dev_port *port = dev->port;
    const uint16_t index = get16(dev->rx + 2);
    uint8_t status = IAP_DEV_STATUS_DATA_ERROR;

    if (!crc_ok || index >= dev->count) {
        /* damaged, or not part of the accepted image (or none accepted) */
    } else if (index == dev->expected) {
        const uint32_t offset = (uint32_t)index * IAP_DEV_PACKAGE_SIZE;
        const uint32_t left = dev->length - offset;
        const uint16_t n =
            left < IAP_DEV_PACKAGE_SIZE ? (uint16_t)left : (uint16_t)IAP_DEV_PACKAGE_SIZE;
        status = IAP_DEV_STATUS_WRITE_FAILED;
        if (port->write(port->user, offset, dev->rx + 4, n) == IAP_DEV_OK &&
            ((uint32_t)index + 1u < dev->count || port->finish == NULL ||
             port->finish(port->user, dev->length) == IAP_DEV_OK)) {
            dev->expected = (uint16_t)(index + 1u);
            status = IAP_DEV_STATUS_WRITTEN;
        }
    } else if ((uint32_t)index + 1u == dev->expected) {
        /* Written already; its acknowledgement was lost. Answer again, write nothing. */
        status = IAP_DEV_STATUS_WRITTEN;
    }
    reply(dev, CODE_ACK, index, status, 5u);
}

/*
 * Examines byte `at` of the frame being gathered (every earlier byte has been examined).
 * Returns MORE, REJECT, or the length of a frame it has handled.
 */
static uint16_t examine(iap_dev *dev, uint16_t at)
{
    const uint8_t byte = dev->rx[at];

    if (at == 0u) {
        dev->crc = crc_step(0xFFFFFFFFuL, byte);
        dev->short_len = 0;
        return MORE;
    }
    if (dev->rx[1] == CODE_REQUEST) {
        if (at < REQUEST_LEN - 4u)
            dev->crc = crc_step(dev->crc, byte);
        if (at < REQUEST_LEN - 1u)
            return MORE;
        if (get32(dev->rx + REQUEST_LEN - 4u) != (uint32_t)(dev->crc ^ 0xFFFFFFFFuL))
            return REJECT;
        handle_request(dev);
        return REQUEST_LEN;
    }
    if (dev->rx[1] != CODE_DATA)
        return REJECT;

    if (at < FULL_CRC_AT)
        dev->crc = crc_step(dev->crc, byte);
    if (at == 3u) {
        /* The image's final package, when it has a remainder, may come short. */
        const uint16_t rest = (uint16_t)(dev->length & 0x3FFu);
        if (dev->count != 0u && rest != 0u && (uint32_t)get16(dev->rx + 2) + 1u == dev->count)
            dev->short_len = (uint16_t)(rest + 8u);
        return MORE;
    }
    if (dev->short_len != 0u) {
        const uint16_t s = dev->short_len;
        if (at + 5u == s)
            dev->crc_short = dev->crc ^ 0xFFFFFFFFuL;
        if (at + 1u == s) {
            uint16_t i;
            if (get32(dev->rx + s - 4u) == dev->crc_short) {
                handle_package(dev, 1);
                return s;
            }
            /* Either the full-length form, whose payload is zero past the image, or a
             * damaged short one: answered as such, and the bytes after its start byte are
             * searched for the next frame. */
            for (i = (uint16_t)(s - 4u); i < s && i < FULL_CRC_AT; ++i) {
                if (dev->rx[i] != 0u) {
                    handle_package(dev, 0);
                    return REJECT;
                }
            }
        } else if (at >= s && at < FULL_CRC_AT && byte != 0u) {
            return REJECT;
        }
    }
    if (at < FULL_LEN - 1u)
        return MORE;
    if (get32(dev->rx + FULL_CRC_AT) == (uint32_t)(dev->crc ^ 0xFFFFFFFFuL)) {
        handle_package(dev, 1);
        return FULL_LEN;
    }
    /* Damaged, or cut short and completed by the next frame: refused, and the next frame is
     * looked for after its start byte. */
    handle_package(dev, 0);
    return REJECT;
}

/* Drops `count` bytes and whatever follows them up to the next start byte. */
static void drop(iap_dev *dev, uint16_t count)
{
    uint16_t i;
    while (count < dev->rx_len && dev->rx[count] != START)
        ++count;
    for (i = count; i < dev->rx_len; ++i)
        dev->rx[i - count] = dev->rx[i];
    dev->rx_len = (uint16_t)(dev->rx_len - count);
}

void iap_dev_init(iap_dev *dev, const iap_dev_port *port)
{
    dev->port = port;
    dev->length = 0;
    dev->count = 0;
    dev->expected = 0;
    dev->rx_len = 0;
    dev->short_len = 0;
}

void iap_dev_feed(iap_dev *dev, uint8_t byte)
{
    uint16_t at;
    if (dev->rx_len == 0u && byte != START)
        return; /* noise between frames */
    dev->rx[dev->rx_len] = byte;
    at = dev->rx_len++;
    /* Examine the new byte; after a rejection, examine again what is left after the next
     * start byte. Never more than one full package is held. */
    while (at < dev->rx_len) {
        const uint16_t verdict = examine(dev, at);
        if (verdict == MORE) {
            ++at;
            continue;
        }
        drop(dev, verdict);
        at = 0;
    }
}

void iap_dev_feed_bytes(iap_dev *dev, const uint8_t *bytes, size_t count)
{
    size_t i;
    for (i = 0; i < count; ++i)
        iap_dev_feed(dev, bytes[i]);
}

void iap_dev_idle(iap_dev *dev)
{
    /* A short final package that failed its CRC: nothing more came, so that was all. */
    if (dev->short_len != 0u && dev->rx_len >= dev->short_len && dev->rx[1] == CODE_DATA)
        handle_package(dev, 0);
    dev->rx_len = 0;
}

int iap_dev_complete(const iap_dev *dev)
{
    return dev->count != 0u && dev->expected == dev->count;
}
