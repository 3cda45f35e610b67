/* iap_device: the boot-loader side of the serial upgrade protocol. See iap_device.h. */
#include "iap_device.h"

#define START 0xF1u
#define CODE_REQUEST 0x01u
#define CODE_DATA 0x02u
#define CODE_CAPABILITIES 0x03u
#define CODE_VERIFY 0x04u
#define REQUEST_LEN 12u
#define QUESTION_LEN 8u
#define FULL_LEN IAP_DEV_BUFFER_SIZE
#define FULL_CRC_AT (FULL_LEN - 4u) /* first trailer byte of a full package */
#define PRESET 0xFFFFFFFFuL

/* flags */
#define FINISHED 0x01u     /* finish succeeded for the image */
#define AFTER_REQUEST 0x02u /* the last frame handled was a request */

/* What the newest byte means for a frame followed. */
#define MORE 0u   /* keep gathering */
#define REJECT 1u /* not (or no longer) a frame: stop following it */
#define DONE 2u   /* the oldest frame was handled: everything held was its bytes */

/* CRC-32/ISO-HDLC, four bits at a time: 64 bytes of table instead of 1 KiB. */
static const uint32_t crc_nibble[16] = {0x00000000uL, 0x1DB71064uL, 0x3B6E20C8uL, 0x26D930ACuL,
                                        0x76DC4190uL, 0x6B6B51F4uL, 0x4DB26158uL, 0x5005713CuL,
                                        0xEDB88320uL, 0xF00F9344uL, 0xD6D6A3E8uL, 0xCB61B38CuL,
                                        0x9B64C2B0uL, 0x86D3D2D4uL, 0xA00AE278uL, 0xBDBDF21CuL};

static uint32_t crc_step(uint32_t crc, uint8_t byte)
{
    uint8_t half;
    for (half = 0; half < 2u; ++half) {
        crc = (crc >> 4) ^ crc_nibble[(crc ^ byte) & 0x0Fu];
        byte >>= 4;
    }
    return crc;
}

static uint32_t crc_run(uint32_t crc, const uint8_t *bytes, size_t count)
{
    while (count--)
        crc = crc_step(crc, *bytes++);
    return crc;
}

uint32_t iap_dev_crc32(const uint8_t *bytes, size_t count)
{
    return crc_run(PRESET, bytes, count) ^ PRESET;
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

/* Sends `frame` (its code and the `body` - 2 bytes after it filled in) with start byte and
 * CRC trailer. */
static void send_frame(iap_dev *dev, uint8_t *frame, uint8_t body)
{
    frame[0] = START;
    put32(frame + body, iap_dev_crc32(frame, body));
    dev->port->send(dev->port->user, frame, (uint8_t)(body + 4u));
}

/* Sends F1 code hi lo [status] crc: the acceptance (body 4) or an acknowledgement (body 5). */
static void reply(iap_dev *dev, uint8_t code, uint16_t index, uint8_t status, uint8_t body)
{
    uint8_t frame[9];
    frame[1] = code;
    frame[2] = (uint8_t)(index >> 8);
    frame[3] = (uint8_t)index;
    frame[4] = status;
    send_frame(dev, frame, body);
}

/* Length of the short form of package `index`'s frame when it is the final one of an image
 * with a remainder, else 0. */
static uint16_t short_len(const iap_dev *dev, uint16_t index)
{
    const uint16_t rest = (uint16_t)(dev->length & 0x3FFu);
    return rest != 0u && (uint32_t)index + 1u == dev->count ? (uint16_t)(rest + 8u) : 0u;
}

/* Image bytes in package `index`. */
static uint16_t payload_len(const iap_dev *dev, uint16_t index)
{
    const uint16_t s = short_len(dev, index);
    return s != 0u ? (uint16_t)(s - 8u) : (uint16_t)IAP_DEV_PACKAGE_SIZE;
}

static void handle_request(iap_dev *dev, const uint8_t *f)
{
    const iap_dev_port *port = dev->port;
    const uint32_t length = get32(f + 2);
    const uint16_t total = get16(f + 6);
    const uint8_t again = dev->flags & AFTER_REQUEST;

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
     * in packages (which also keeps the length within IAP_DEV_MAX_IMAGE). */
    dev->count = 0;
    dev->expected = 0;
    dev->flags = AFTER_REQUEST;
    if (total == 0u || ((length + 0x3FFuL) >> 10) != total || length > port->capacity ||
        port->prepare(port->user, length) != IAP_DEV_OK)
        return;
    dev->length = length;
    dev->count = total;
    dev->image_crc = PRESET;
accepted:
    reply(dev, 0x81u, 0u, 0u, 4u);
}

/* finish, when the port has one: status 1 and FINISHED on success, else status 3. */
static uint8_t finish(iap_dev *dev)
{
    const iap_dev_port *port = dev->port;
    if (port->finish != NULL && port->finish(port->user, dev->length) != IAP_DEV_OK)
        return IAP_DEV_STATUS_WRITE_FAILED;
    dev->flags |= FINISHED;
    return IAP_DEV_STATUS_WRITTEN;
}

static void handle_package(iap_dev *dev, const uint8_t *f, uint8_t crc_ok)
{
    const iap_dev_port *port = dev->port;
    const uint16_t index = get16(f + 2);
    uint8_t status = IAP_DEV_STATUS_DATA_ERROR;

    dev->flags &= (uint8_t)~AFTER_REQUEST;
    if (!crc_ok || index >= dev->count) {
        /* damaged, or not part of the accepted image (or none accepted) */
    } else if (index == dev->expected) {
        const uint16_t n = payload_len(dev, index);
        const iap_dev_result r = port->write(port->user, (uint32_t)index << 10, f + 4, n);
        status = r == IAP_DEV_REFUSED ? IAP_DEV_STATUS_DATA_ERROR : IAP_DEV_STATUS_WRITE_FAILED;
        if (r == IAP_DEV_OK) {
            dev->image_crc = crc_run(dev->image_crc, f + 4, n);
            dev->expected = (uint16_t)(index + 1u);
            status = IAP_DEV_STATUS_WRITTEN;
            if (dev->expected == dev->count)
                status = finish(dev);
        }
    } else if ((uint32_t)index + 1u == dev->expected) {
        /* Written already; its acknowledgement was lost, or finish failed: answer again
         * (finishing again when that failed), write nothing. */
        status = IAP_DEV_STATUS_WRITTEN;
        if (dev->expected == dev->count && !(dev->flags & FINISHED))
            status = finish(dev);
    }
    reply(dev, 0x82u, index, status, 5u);
}

/* The capability question; the verification question when the port can read back. */
static void handle_question(iap_dev *dev, uint8_t code)
{
    const iap_dev_port *port = dev->port;
    uint8_t frame[14];
    uint32_t crc = PRESET;
    uint16_t i;

    frame[1] = (uint8_t)(code | 0x80u);
    frame[2] = 0;
    frame[3] = port->read != NULL ? (uint8_t)IAP_DEV_CAN_VERIFY : 0u;
    if (code == CODE_VERIFY) {
        if (port->read == NULL)
            return;
        /* Read back package by package into the package buffer: the question is all it
         * holds, and it has been decided. */
        for (i = 0; (dev->flags & FINISHED) && i < dev->count; ++i) {
            const uint16_t n = payload_len(dev, i);
            if (port->read(port->user, (uint32_t)i << 10, dev->rx, n) != IAP_DEV_OK)
                return;
            crc = crc_run(crc, dev->rx, n);
        }
        put32(frame + 2, (dev->flags & FINISHED) ? dev->length : 0u);
        put32(frame + 6, crc ^ PRESET);
        send_frame(dev, frame, 10u);
        return;
    }
    send_frame(dev, frame, 4u);
}

/*
 * The newest byte for frame `c` followed (0 the oldest). Only the oldest frame is acted on:
 * one that ends while an older one is still gathered lies inside its bytes and is dropped.
 */
static uint8_t examine(iap_dev *dev, uint8_t c)
{
    struct iap_dev_follow *w = &dev->follow[c];
    const uint8_t *f = dev->rx + w->start;
    const uint16_t r = (uint16_t)(dev->rx_len - 1u - w->start);
    const uint8_t code = f[1];
    uint16_t end = FULL_LEN;
    uint8_t ok = 0;

    if (r == 0u)
        return MORE; /* its start byte, just arrived */
    if (r >= 4u) {
        w->crc = crc_step(w->crc, f[r - 4u]);
        ok = r >= 7u && get32(f + r - 3u) == (uint32_t)(w->crc ^ PRESET);
    }
    if (code == CODE_REQUEST) {
        end = REQUEST_LEN;
    } else if (code == CODE_CAPABILITIES || code == CODE_VERIFY) {
        end = QUESTION_LEN;
    } else if (code != CODE_DATA) {
        return REJECT;
    } else if (r >= 3u) {
        /* The image's final package, when it has a remainder, may come short: tried at its
         * short length first, then as the full form, whose payload is zero past the image. */
        const uint16_t s = short_len(dev, get16(f + 2));
        uint16_t i;
        if (s != 0u && r + 1u >= s) {
            if (r + 1u == s && ok) {
                end = s;
            } else {
                /* A non-zero byte where the full form has padding settles it: a damaged
                 * package (answered), or a short one with the next frame behind it. */
                for (i = (uint16_t)(r - 3u); i <= r && i < FULL_CRC_AT; ++i) {
                    if (f[i] != 0u) {
                        ok = 0;
                        end = (uint16_t)(r + 1u);
                    }
                }
            }
        }
    }
    if (r + 1u < end)
        return MORE;
    if (c != 0u)
        return REJECT;
    dev->frame_len = end;
    if (code == CODE_DATA)
        handle_package(dev, f, ok); /* status 2 when damaged; the frames inside it go on */
    else if (!ok)
        return REJECT;
    else if (code == CODE_REQUEST)
        handle_request(dev, f);
    else
        handle_question(dev, code);
    return ok ? DONE : REJECT;
}

/* Stops following frame `c`; for the oldest, the bytes up to the next one go. */
static void forget(iap_dev *dev, uint8_t c)
{
    uint16_t drop = 0, j;
    if (c == 0u) {
        drop = dev->open > 1u ? dev->follow[1].start : dev->rx_len;
        for (j = drop; j < dev->rx_len; ++j)
            dev->rx[j - drop] = dev->rx[j];
        dev->rx_len = (uint16_t)(dev->rx_len - drop);
    }
    --dev->open;
    for (; c < dev->open; ++c) {
        dev->follow[c] = dev->follow[c + 1u];
        dev->follow[c].start = (uint16_t)(dev->follow[c].start - drop);
    }
}

void iap_dev_init(iap_dev *dev, const iap_dev_port *port)
{
    dev->port = port;
    dev->length = 0;
    dev->image_crc = PRESET;
    dev->count = 0;
    dev->expected = 0;
    dev->rx_len = 0;
    dev->frame_len = 0;
    dev->open = 0;
    dev->flags = 0;
    dev->busy = 0;
}

void iap_dev_feed(iap_dev *dev, uint8_t byte)
{
    uint8_t c = 0;
    if (dev->busy || (dev->open == 0u && byte != START))
        return; /* a call from inside the core, or noise between frames */
    dev->busy = 1;
    if (dev->open == 0u || dev->rx_len >= FULL_LEN) {
        dev->open = 0; /* (the oldest frame is always decided by its 1032nd byte) */
        dev->rx_len = 0;
    }
    dev->rx[dev->rx_len++] = byte;
    if (byte == START) {
        /* A frame may start here. When as many are followed as can be, the one after the
         * oldest makes room: the oldest may be the package being received, the newest ones
         * the frame that follows a damaged one. */
        if (dev->open == IAP_DEV_CANDIDATES)
            forget(dev, 1u);
        dev->follow[dev->open].start = (uint16_t)(dev->rx_len - 1u);
        dev->follow[dev->open].crc = PRESET;
        ++dev->open;
    }
    /* Every frame followed takes the byte: the work per byte is bounded by their number. */
    while (c < dev->open) {
        const uint8_t verdict = examine(dev, c);
        if (verdict == DONE) {
            dev->open = 0;
            dev->rx_len = 0;
        } else if (verdict == MORE) {
            ++c;
        } else {
            forget(dev, c);
        }
    }
    dev->busy = 0;
}

void iap_dev_feed_bytes(iap_dev *dev, const uint8_t *bytes, size_t count)
{
    size_t i;
    for (i = 0; i < count; ++i)
        iap_dev_feed(dev, bytes[i]);
}

void iap_dev_idle(iap_dev *dev)
{
    uint16_t s;
    if (dev->busy)
        return;
    dev->busy = 1;
    /* A short final package that failed its CRC: nothing more came, so that was all. */
    if (dev->open != 0u && dev->rx_len >= 4u && dev->rx[1] == CODE_DATA) {
        s = short_len(dev, get16(dev->rx + 2));
        if (s != 0u && dev->rx_len >= s) {
            dev->frame_len = dev->rx_len;
            handle_package(dev, dev->rx, 0);
        }
    }
    dev->open = 0;
    dev->rx_len = 0;
    dev->busy = 0;
}

int iap_dev_complete(const iap_dev *dev)
{
    return (dev->flags & FINISHED) != 0u;
}

uint32_t iap_dev_image_crc(const iap_dev *dev)
{
    return dev->image_crc ^ PRESET;
}

uint16_t iap_dev_frame_length(const iap_dev *dev)
{
    return dev->frame_len;
}
