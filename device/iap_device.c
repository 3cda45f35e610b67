/* iap_device: the boot-loader side of the serial upgrade protocol. See iap_device.h. */
#include "iap_device.h"

#define START 0xF1u
#define CODE_REQUEST 0x01u
#define CODE_DATA 0x02u
#define CODE_CAPABILITIES 0x03u
#define CODE_VERIFY 0x04u
#define FULL_LEN IAP_DEV_BUFFER_SIZE
#define FULL_CRC_AT (FULL_LEN - 4u) /* first trailer byte of a full package */
#define PRESET 0xFFFFFFFFuL

/* flags */
#define FINISHED 0x01u      /* finish succeeded for the accepted image */
#define AFTER_REQUEST 0x02u /* the last frame handled was a request */

/* What the newest byte means for a frame followed. */
#define MORE 0u   /* keep gathering */
#define REJECT 1u /* not (or no longer) a frame: stop following it */
#define DONE 2u   /* the oldest frame was handled: everything held was its bytes */

/* CRC-32/ISO-HDLC (reflected polynomial 0xEDB88320), a bit at a time: no table. */
static uint32_t crc_step(uint32_t crc, unsigned byte)
{
    unsigned bit;
    crc ^= byte;
    for (bit = 0; bit < 8u; ++bit)
        crc = (crc & 1u) != 0u ? (crc >> 1) ^ 0xEDB88320uL : crc >> 1;
    return crc;
}

/* The CRC-32 of bytes that follow those whose CRC-32 is `crc`. */
static uint32_t crc_more(uint32_t crc, const uint8_t *bytes, size_t count)
{
    crc ^= PRESET;
    while (count--)
        crc = crc_step(crc, *bytes++);
    return crc ^ PRESET;
}

uint32_t iap_dev_crc32(const uint8_t *bytes, size_t count)
{
    return crc_more(0u, bytes, count);
}

static uint32_t get32(const uint8_t *p)
{
    return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}

static unsigned get16(const uint8_t *p)
{
    return (unsigned)p[0] << 8 | p[1];
}

static void put32(uint8_t *p, uint32_t v)
{
    uint_fast8_t i;
    for (i = 4u; i-- != 0u; v >>= 8)
        p[i] = (uint8_t)v;
}

/* Sends F1, code, `body` - 2 bytes of a then b (big-endian) and the CRC trailer. */
static void answer(iap_dev *dev, uint_fast8_t code, uint32_t a, uint32_t b, uint_fast8_t body)
{
    uint8_t frame[14];
    frame[0] = START;
    frame[1] = (uint8_t)code;
    put32(frame + 2, a);
    put32(frame + 6, b);
    put32(frame + body, iap_dev_crc32(frame, body));
    dev->port->send(dev->port->user, frame, (uint8_t)(body + 4u));
}

/* Image bytes in package `index` when it is the final one of an image with a remainder,
 * else 0. */
static unsigned rest_of(const iap_dev *dev, unsigned index)
{
    return index + 1u == dev->count ? (unsigned)(dev->length & 0x3FFu) : 0u;
}

/* Image bytes in package `index`. */
static unsigned payload_len(const iap_dev *dev, unsigned index)
{
    const unsigned rest = rest_of(dev, index);
    return rest != 0u ? rest : IAP_DEV_PACKAGE_SIZE;
}

static void handle_request(iap_dev *dev)
{
    const iap_dev_port *port = dev->port;
    const uint32_t length = get32(dev->rx + 2);
    const unsigned total = get16(dev->rx + 6);
    const uint_fast8_t again = dev->flags & AFTER_REQUEST;

    dev->flags |= AFTER_REQUEST;
    if (dev->count != 0u && !(dev->flags & FINISHED)) {
        /* A copy of the request for the image that has not started: answered again, not
         * prepared again (the tool repeats its request while prepare erases). */
        if (dev->expected == 0u && length == dev->length && total == dev->count)
            goto accepted;
        /* An image in progress is given up only for a request that comes twice in a row,
         * as the tool's does (every 50 ms until answered): one found alone among the bytes
         * of a damaged package is part of its payload. */
        if (!again)
            return;
    }
    /* Whatever came before is abandoned: nothing more is written until a request is
     * accepted. A request that cannot be accepted gets no answer at all, as from a device
     * that is not listening: the tool has no refusal to show. The total must be the length
     * in packages, which also keeps the length within IAP_DEV_MAX_IMAGE. */
    dev->length = 0; /* (no package is the final one) */
    dev->count = 0;
    dev->expected = 0;
    dev->flags = AFTER_REQUEST;
    if (total == 0u || ((length + 0x3FFuL) >> 10) != total || length > port->capacity ||
        port->prepare(port->user, length) != IAP_DEV_OK)
        return;
    dev->length = length;
    dev->count = (uint16_t)total;
    dev->image_crc = 0;
accepted:
    answer(dev, 0x81u, 0u, 0u, 4u);
}

static void handle_package(iap_dev *dev, uint_fast8_t crc_ok)
{
    const iap_dev_port *port = dev->port;
    const unsigned index = get16(dev->rx + 2);
    uint_fast8_t status = IAP_DEV_STATUS_DATA_ERROR;

    /* Damaged, or not part of the accepted image (or none accepted): status 2. */
    if (crc_ok && index < dev->count) {
        if (index == dev->expected) {
            const unsigned n = payload_len(dev, index);
            const iap_dev_result r =
                port->write(port->user, (uint32_t)index << 10, dev->rx + 4, (uint16_t)n);
            status = r == IAP_DEV_REFUSED ? IAP_DEV_STATUS_DATA_ERROR : IAP_DEV_STATUS_WRITE_FAILED;
            if (r == IAP_DEV_OK) {
                dev->image_crc = crc_more(dev->image_crc, dev->rx + 4, n);
                dev->expected = (uint16_t)(index + 1u);
                status = IAP_DEV_STATUS_WRITTEN;
            }
        } else if (index + 1u == dev->expected) {
            /* Written already; its acknowledgement was lost: answered again, not written. */
            status = IAP_DEV_STATUS_WRITTEN;
        }
        /* The last package is written: finish, and again on its resend when that failed. */
        if (status == IAP_DEV_STATUS_WRITTEN && dev->expected == dev->count &&
            !(dev->flags & FINISHED)) {
            status = IAP_DEV_STATUS_WRITE_FAILED;
            if (port->finish == NULL || port->finish(port->user, dev->length) == IAP_DEV_OK) {
                dev->flags |= FINISHED;
                status = IAP_DEV_STATUS_WRITTEN;
            }
        }
    }
    dev->flags &= (uint8_t)~AFTER_REQUEST;
    answer(dev, 0x82u, (uint32_t)index << 16 | (uint32_t)status << 8, 0u, 5u);
}

/* The capability question; the verification question when the port can read back. */
static void handle_question(iap_dev *dev)
{
    const iap_dev_port *port = dev->port;
    uint32_t a = port->read != NULL ? (uint32_t)IAP_DEV_CAN_VERIFY << 16 : 0u, crc = 0;
    uint_fast8_t code = 0x83u, body = 4u;
    unsigned i;

    if (dev->rx[1] == CODE_VERIFY) {
        if (port->read == NULL)
            return;
        /* Read back package by package into the package buffer: the question is all it
         * holds, and it has been decided. `a` ends as the image's length, 0 without one. */
        code = 0x84u;
        body = 10u;
        for (a = 0, i = 0; (dev->flags & FINISHED) && i < dev->count; ++i) {
            const unsigned n = payload_len(dev, i);
            if (port->read(port->user, a, dev->rx, (uint16_t)n) != IAP_DEV_OK)
                return;
            crc = crc_more(crc, dev->rx, n);
            a += n;
        }
    }
    answer(dev, code, a, crc, body);
}

/*
 * The newest byte for frame `c` followed (0 the oldest, which starts at rx[0]). Only the
 * oldest is acted on: a frame that ends while an older one is still gathered lies inside
 * its bytes and is dropped.
 */
static uint_fast8_t examine(iap_dev *dev, uint_fast8_t c)
{
    struct iap_dev_follow *w = &dev->follow[c];
    const uint8_t *f = dev->rx + w->start;
    const unsigned r = dev->rx_len - 1u - w->start;
    const uint_fast8_t code = f[1];
    unsigned end = code == CODE_REQUEST            ? 12u
                   : code == CODE_DATA             ? FULL_LEN
                   : code - CODE_CAPABILITIES < 2u ? 8u
                                                   : 0u;
    uint32_t trailer;
    uint_fast8_t ok;

    if (r == 0u)
        return MORE; /* its start byte, just come */
    if (end == 0u)
        return REJECT; /* an unknown code */
    if (r < 4u)
        return MORE;
    w->crc = crc_more(w->crc, f + r - 4u, 1u);
    trailer = get32(f + r - 3u);
    ok = trailer == w->crc; /* (looked at from the 8th byte on) */
    if (code == CODE_DATA) {
        /* The image's final package, when it has a remainder, may come short: tried at its
         * short length first, then as the full form, whose payload is zero past the image.
         * A non-zero byte where that padding would be settles it: a damaged package
         * (answered), or a short one with the next frame behind it. */
        const unsigned s = rest_of(dev, get16(f + 2)) + 8u;
        if (s > 8u && r + 1u >= s) {
            if (r + 1u == s && ok) {
                end = s;
            } else if (r < FULL_CRC_AT && trailer != 0u) { /* (the bytes before were 0) */
                end = r + 1u;
                ok = 0;
            }
        }
    }
    if (r + 1u < end)
        return MORE;
    if (c != 0u)
        return REJECT;
    if (code == CODE_DATA)
        handle_package(dev, ok); /* status 2 when damaged; the frames inside it go on */
    else if (!ok)
        return REJECT;
    else if (code == CODE_REQUEST)
        handle_request(dev);
    else
        handle_question(dev);
    return ok ? DONE : REJECT;
}

/* Stops following frame `c`; for the oldest, the bytes up to the next one go. */
static void forget(iap_dev *dev, uint_fast8_t c)
{
    unsigned drop = 0, j;
    if (c == 0u) {
        drop = dev->open > 1u ? dev->follow[1].start : dev->rx_len;
        for (j = drop; j < dev->rx_len; ++j)
            dev->rx[j - drop] = dev->rx[j];
        dev->rx_len = (uint16_t)(dev->rx_len - drop);
    }
    for (--dev->open; c < dev->open; ++c) {
        dev->follow[c].crc = dev->follow[c + 1u].crc;
        dev->follow[c].start = (uint16_t)(dev->follow[c + 1u].start - drop);
    }
}

void iap_dev_init(iap_dev *dev, const iap_dev_port *port)
{
    dev->port = port;
    dev->length = 0;
    dev->image_crc = 0;
    dev->count = 0;
    dev->expected = 0;
    dev->rx_len = 0;
    dev->open = 0;
    dev->flags = 0;
    dev->busy = 0;
}

void iap_dev_feed(iap_dev *dev, uint8_t byte)
{
    uint_fast8_t c = 0;
    if (dev->busy || (dev->open == 0u && byte != START))
        return; /* a call from inside the core, or noise between frames */
    dev->busy = 1;
    /* (The oldest frame followed, at rx[0], is always decided by its 1032nd byte.) */
    dev->rx[dev->rx_len++] = byte;
    if (byte == START) {
        /* A frame may start here. */
        dev->follow[dev->open].start = (uint16_t)(dev->rx_len - 1u);
        dev->follow[dev->open].crc = 0;
        ++dev->open;
    }
    /* Every frame followed takes the byte: the work per byte is bounded by their number.
     * One more than can be followed: the one after the oldest makes room (the oldest may be
     * the package being received, the newest ones the frame after a damaged one). */
    while (c < dev->open) {
        const uint_fast8_t verdict = examine(dev, c);
        if (verdict == DONE)
            dev->open = 0;
        else if (verdict == MORE && (c != 1u || dev->open <= IAP_DEV_CANDIDATES))
            ++c;
        else
            forget(dev, c);
    }
    /* Nothing is held while no frame is followed, even after an iap_dev_idle from an
     * interrupt that came just before this call set busy. */
    if (dev->open == 0u)
        dev->rx_len = 0;
    dev->busy = 0;
}

void iap_dev_feed_bytes(iap_dev *dev, const uint8_t *bytes, size_t count)
{
    while (count--)
        iap_dev_feed(dev, *bytes++);
}

void iap_dev_idle(iap_dev *dev)
{
    /* What is held is all that came. A short final package that failed its CRC with zero
     * bytes where the trailer should be could still be the full form: any further byte
     * but padding settles it, so one (0xFF) is taken as if it had come; then whatever is
     * still incomplete is dropped. */
    iap_dev_feed(dev, 0xFFu);
    if (dev->busy)
        return; /* a call from inside the core */
    dev->open = 0;
    dev->rx_len = 0;
}

int iap_dev_complete(const iap_dev *dev)
{
    return dev->flags & FINISHED; /* (FINISHED is 1) */
}

uint32_t iap_dev_image_crc(const iap_dev *dev)
{
    return dev->image_crc;
}

uint16_t iap_dev_frame_length(const iap_dev *dev)
{
    return dev->rx_len;
}
