/* iap_device: the boot-loader side of the serial upgrade protocol. See iap_device.h. */
#include "iap_device.h"

#define START IAP_WIRE_START
#define CODE_REQUEST IAP_WIRE_REQUEST
#define CODE_DATA IAP_WIRE_DATA
#define CODE_CAPABILITIES IAP_WIRE_CAPABILITY_QUESTION
#define CODE_VERIFY IAP_WIRE_VERIFY_QUESTION
#define CODE_RATE IAP_WIRE_RATE_PROPOSAL
#define HEADER IAP_WIRE_HEADER
#define TRAILER IAP_WIRE_TRAILER
#define PACKAGE IAP_WIRE_PACKAGE_SIZE
#define FULL_LEN IAP_DEV_BUFFER_SIZE
#define FULL_CRC_AT (FULL_LEN - TRAILER) /* first trailer byte of a full package */

/* flags */
#define FINISHED 0x01u      /* finish succeeded for the accepted image */
#define AFTER_REQUEST 0x02u /* the last frame handled was a request */

/* What the newest byte means for a frame followed. */
#define MORE 0u   /* keep gathering */
#define REJECT 1u /* not (or no longer) a frame: stop following it */
#define DONE 2u   /* the oldest frame was handled: everything held was its bytes */

/* The CRC-32 (CRC-32/ISO-HDLC, reflected polynomial 0xEDB88320) of bytes that follow those
 * whose CRC-32 is `crc`; a bit at a time, no table. */
static uint32_t crc_more(uint32_t crc, const uint8_t *bytes, size_t count)
{
    crc = ~crc;
    while (count--) {
        uint_fast8_t bit = 8u;
        crc ^= *bytes++;
        do {
            const uint_fast8_t low = (uint_fast8_t)crc & 1u;
            crc >>= 1;
            if (low)
                crc ^= IAP_WIRE_CRC32_POLY;
        } while (--bit);
    }
    return ~crc;
}

uint32_t iap_dev_crc32(const uint8_t *bytes, size_t count)
{
    return crc_more(0u, bytes, count);
}

static void kick(const iap_dev_port *port)
{
    if (port->watchdog != NULL)
        port->watchdog(port->user);
}

uint32_t iap_dev_crc32_kicked(const iap_dev_port *port, const uint8_t *bytes, uint32_t count)
{
    uint32_t crc = 0;
    while (count != 0u) {
        const uint32_t n = count < PACKAGE ? count : PACKAGE;
        kick(port);
        crc = crc_more(crc, bytes, n);
        bytes += n;
        count -= n;
    }
    return crc;
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
    p[0] = (uint8_t)(v >> 24);
    p[1] = (uint8_t)(v >> 16);
    p[2] = (uint8_t)(v >> 8);
    p[3] = (uint8_t)v;
}

/* Image bytes in package `index` when it is the final one of an image with a remainder,
 * else 0. */
static unsigned rest_of(const iap_dev *dev, unsigned index)
{
    return index + 1u == dev->count ? (unsigned)(dev->length % PACKAGE) : 0u;
}

/* Image bytes in package `index`. */
static unsigned payload_len(const iap_dev *dev, unsigned index)
{
    const unsigned rest = rest_of(dev, index);
    return rest != 0u ? rest : PACKAGE;
}

/* The port offers a rate switch or packages in flight. */
static int offers_boost(const iap_dev_port *port)
{
    return (port->max_baud != 0u && port->set_baud != NULL) || port->window > 1u;
}

/* The oldest frame, rx[0] on, is complete (`ok`: its CRC holds; always so but for a
 * package): acts on it and answers. */
static void handle(iap_dev *dev, uint_fast8_t ok)
{
    const iap_dev_port *port = dev->port;
    uint8_t *const rx = dev->rx;
    /* The answer: F1, the frame's code with bit 7 set, fields, CRC; the longest is the
     * capability answer. */
    uint8_t out[IAP_WIRE_CAPS_BOOST_BYTES];
    uint_fast8_t body = 4u;
    uint32_t rate = 0; /* the rate agreed: the line switches once the answer is out */
    const uint32_t capacity =
        port->capacity < IAP_DEV_MAX_IMAGE ? port->capacity : (uint32_t)IAP_DEV_MAX_IMAGE;

    out[0] = START;
    out[1] = (uint8_t)(rx[1] | IAP_WIRE_ANSWER_BIT);
    out[2] = 0;
    out[3] = 0;
    if (rx[1] == CODE_REQUEST) {
        const uint32_t length = get32(rx + 2);
        const unsigned total = get16(rx + 6);
        const uint_fast8_t again = dev->flags & AFTER_REQUEST;
        uint_fast8_t reason = 0;

        dev->flags |= AFTER_REQUEST;
        if (dev->count != 0u && !(dev->flags & FINISHED)) {
            /* A copy of the request for the image that has not started: answered again,
             * not prepared again (the tool repeats its request while prepare erases). */
            if (dev->expected == 0u && length == dev->length && total == dev->count)
                goto answer;
            /* An image in progress is given up only for a request that comes twice in a
             * row, as the tool's does (every 50 ms until answered): one found alone among
             * the bytes of a damaged package is part of its payload. */
            if (!again)
                return;
        }
        /* The total must be the length in packages, which keeps the length within 1 and
         * IAP_DEV_MAX_IMAGE (a length or a total of 0 wraps round and matches nothing). */
        if ((length - 1u) / PACKAGE != (uint32_t)total - 1u)
            reason = IAP_WIRE_REFUSED_MALFORMED;
        else if (length > capacity)
            reason = IAP_WIRE_REFUSED_TOO_LARGE;
        /* A request refused on its face leaves a complete image as it is: its application
         * may still start. Anything else abandons what came before: nothing more is written
         * until a request is accepted. */
        if (reason == 0u || !(dev->flags & FINISHED)) {
            dev->length = 0; /* (no package is the final one) */
            dev->count = 0;
            dev->expected = 0;
            dev->flags = AFTER_REQUEST;
            if (reason == 0u && port->prepare(port->user, length) != IAP_DEV_OK)
                reason = IAP_WIRE_REFUSED_NOT_READY;
        }
        if (reason != 0u) {
            out[1] = IAP_WIRE_REFUSED;
            out[2] = (uint8_t)reason;
            put32(out + 3, capacity);
            body = IAP_WIRE_REFUSED_BYTES - TRAILER;
            goto answer;
        }
        dev->length = length;
        dev->count = total;
        dev->image_crc = 0;
    } else if (rx[1] == CODE_DATA) {
        const unsigned index = get16(rx + 2);
        uint_fast8_t status = IAP_DEV_STATUS_DATA_ERROR;

        /* Damaged, or not part of the accepted image (or none accepted): status 2. */
        if (ok && index < dev->count) {
            if (index == dev->expected) {
                const unsigned n = payload_len(dev, index);
                const iap_dev_result r =
                    port->write(port->user, (uint32_t)index * PACKAGE, rx + HEADER, n);
                status =
                    r == IAP_DEV_REFUSED ? IAP_DEV_STATUS_DATA_ERROR : IAP_DEV_STATUS_WRITE_FAILED;
                if (r == IAP_DEV_OK) {
                    dev->image_crc = crc_more(dev->image_crc, rx + HEADER, n);
                    dev->expected = (uint16_t)(index + 1u);
                    status = IAP_DEV_STATUS_WRITTEN;
                }
            } else if (index < dev->expected) {
                /* Written already; its acknowledgement was lost (with packages in flight,
                 * the ones after it may be written too): answered again, not written. */
                status = IAP_DEV_STATUS_WRITTEN;
            }
            /* The last package is written: finish, and again on its resend when that
             * failed. */
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
        out[2] = rx[2];
        out[3] = rx[3];
        out[4] = (uint8_t)status;
        body = IAP_WIRE_ACK_BYTES - TRAILER;
    } else if (rx[1] == CODE_CAPABILITIES) {
        /* What the device can do and what fits: flags, the area, the boot loader. */
        out[3] = (uint8_t)((port->read != NULL ? IAP_WIRE_CAN_VERIFY : 0u) |
                           (port->version != 0u ? IAP_WIRE_HAS_BASE : 0u));
        put32(out + IAP_WIRE_CAPS_BASE_AT, port->version != 0u ? port->base : 0u);
        put32(out + IAP_WIRE_CAPS_CAPACITY_AT, capacity);
        put32(out + IAP_WIRE_CAPS_VERSION_AT, port->version);
        body = IAP_WIRE_CAPS_AREA_BYTES - TRAILER;
        if (offers_boost(port)) {
            /* The rate it switches to and the packages it takes in flight. */
            out[3] |= IAP_WIRE_HAS_BOOST;
            put32(out + IAP_WIRE_CAPS_MAX_BAUD_AT, port->set_baud != NULL ? port->max_baud : 0u);
            out[IAP_WIRE_CAPS_WINDOW_AT] = (uint8_t)(port->window >> 8);
            out[IAP_WIRE_CAPS_WINDOW_AT + 1u] = (uint8_t)(port->window | (port->window == 0u));
            body = IAP_WIRE_CAPS_BOOST_BYTES - TRAILER;
        }
    } else if (rx[1] == CODE_RATE) {
        /* A rate for the line, once an image is accepted: agreed when the port offers it.
         * The answer goes at the old rate; the port switches once it has left. */
        const uint32_t want = get32(rx + 2);
        if (dev->count != 0u && port->set_baud != NULL && want <= port->max_baud)
            rate = want;
        put32(out + 2, rate);
        body = IAP_WIRE_RATE_BYTES - TRAILER;
    } else if (port->read == NULL) {
        return; /* the verification question, on a device that cannot read its image back */
    } else {
        /* Read back package by package into the package buffer: the question is all it
         * holds, and it has been decided. */
        uint32_t at = 0, crc = 0;
        unsigned i;
        for (i = 0; (dev->flags & FINISHED) && i < dev->count; ++i) {
            const unsigned n = payload_len(dev, i);
            kick(port);
            if (port->read(port->user, at, rx, n) != IAP_DEV_OK)
                return;
            crc = crc_more(crc, rx, n);
            at += n;
        }
        put32(out + 2, at);
        put32(out + 6, crc);
        body = IAP_WIRE_VERIFY_ANSWER_BYTES - TRAILER;
    }
answer:
    put32(out + body, iap_dev_crc32(out, body));
    port->send(port->user, out, (uint8_t)(body + TRAILER));
    if (rate != 0u && port->set_baud(port->user, rate) == IAP_DEV_OK)
        dev->baud = rate;
    if (ok)
        dev->heard = 1u; /* a valid frame: the rate holds (see iap_dev_clock) */
}

/*
 * The newest byte for frame `c` followed (0 the oldest, which starts at rx[0]). Only the
 * oldest is acted on: a frame that ends while an older one is still gathered lies inside
 * its bytes and is dropped.
 */
static uint_fast8_t examine(iap_dev *dev, uint_fast8_t c)
{
    struct iap_dev_follow *w = &dev->follow[c];
    const unsigned r = w->seen++; /* the newest byte's place in the frame */
    const uint8_t *f = dev->rx + (dev->rx_len - 1u - r);
    uint_fast8_t code;
    unsigned end;
    uint32_t trailer;
    uint_fast8_t ok;

    if (r == 0u)
        return MORE; /* its start byte, just come */
    code = f[1];
    if (code == 0u || code > CODE_RATE)
        return REJECT; /* an unknown code */
    if (r < 4u)
        return MORE;
    w->crc = crc_more(w->crc, f + r - 4u, 1u);
    trailer = get32(f + r - 3u);
    ok = trailer == w->crc; /* (looked at from the 8th byte on) */
    end = code == CODE_REQUEST ? IAP_WIRE_REQUEST_BYTES
          : code == CODE_RATE  ? IAP_WIRE_RATE_BYTES
                               : IAP_WIRE_QUESTION_BYTES;
    if (code == CODE_DATA) {
        /* The image's final package, when it has a remainder, may come short: tried at its
         * short length first, then as the full form, whose payload is zero past the image.
         * A non-zero byte where that padding would be settles it: a damaged package
         * (answered), or a short one with the next frame behind it. */
        const unsigned s = rest_of(dev, get16(f + 2)) + HEADER + TRAILER;
        end = FULL_LEN;
        if (s > HEADER + TRAILER && r + 1u >= s) {
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
    if (c != 0u || (!ok && code != CODE_DATA))
        return REJECT;
    handle(dev, ok); /* a package: status 2 when damaged; the frames inside it go on */
    return ok ? DONE : REJECT;
}

/* Stops following frame `c`; for the oldest, the bytes up to the next one go. */
static void forget(iap_dev *dev, uint_fast8_t c)
{
    if (c == 0u) {
        /* Kept: the next frame's bytes (it has not taken the newest one yet). */
        const unsigned keep = dev->open > 1u ? dev->follow[1].seen + 1u : 0u;
        const uint8_t *from = dev->rx + (dev->rx_len - keep);
        unsigned j;
        for (j = 0; j < keep; ++j)
            dev->rx[j] = from[j];
        dev->rx_len = keep;
    }
    for (--dev->open; c < dev->open; ++c)
        dev->follow[c] = dev->follow[c + 1u];
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
    dev->baud = 0;
    dev->heard_ms = 0;
    dev->heard = 0;
}

void iap_dev_clock(iap_dev *dev, uint32_t now_ms)
{
    if (dev->busy)
        return;
    if (dev->heard) {
        dev->heard = 0;
        dev->heard_ms = now_ms;
        return;
    }
    if (dev->baud != 0u && (uint32_t)(now_ms - dev->heard_ms) >= IAP_WIRE_RATE_FALLBACK_MS) {
        /* Nothing valid heard at the new rate: back to the rate the line started at, and
         * whatever was held at the wrong rate is dropped. */
        dev->busy = 1;
        dev->baud = 0;
        dev->open = 0;
        dev->rx_len = 0;
        dev->port->set_baud(dev->port->user, 0u);
        dev->busy = 0;
    }
}

uint32_t iap_dev_baud(const iap_dev *dev)
{
    return dev->baud;
}

/* How much frame `c` is worth keeping when one must give way: 2 for the package the image
 * needs next (or the one just written, whose acknowledgement may have been lost), 1 for a
 * frame too young to tell, 0 for anything else (a package look-alike inside a payload with
 * an index the image does not need, a question, a request). */
static uint_fast8_t worth(const iap_dev *dev, uint_fast8_t c)
{
    const unsigned seen = dev->follow[c].seen;
    const uint8_t *f = dev->rx + (dev->rx_len - seen);
    unsigned index;
    if (seen < 2u || f[1] != CODE_DATA)
        return 0u;
    if (seen < HEADER)
        return 1u;
    index = get16(f + 2);
    return dev->count != 0u && (index == dev->expected || index + 1u == dev->expected) ? 2u : 0u;
}

/* One byte from the line; with `idle`, the quiet line after it (see iap_dev_idle). A call
 * while the core is busy is ignored. */
static void take(iap_dev *dev, uint8_t byte, uint_fast8_t idle)
{
    uint_fast8_t c = 0;
    if (dev->busy || (dev->open == 0u && byte != START))
        return; /* a call from inside the core, or noise between frames */
    dev->busy = 1;
    /* (The oldest frame followed, at rx[0], is always decided by its 1032nd byte.) */
    dev->rx[dev->rx_len++] = byte;
    if (byte == START) {
        /* A frame may start here. */
        dev->follow[dev->open].seen = 0;
        dev->follow[dev->open].crc = 0;
        ++dev->open;
    }
    /* Every frame followed takes the byte: the work per byte is bounded by their number
     * (one more than can be followed while a new one makes room). */
    while (c < dev->open) {
        const uint_fast8_t verdict = examine(dev, c);
        if (verdict == DONE)
            dev->open = 0;
        else if (verdict == MORE)
            ++c;
        else
            forget(dev, c);
    }
    if (dev->open > IAP_DEV_CANDIDATES) {
        /* Room for the newest: neither the oldest (it may be the package being received)
         * nor the newest gives way, and of the others the one least worth keeping, the
         * oldest of those. The package the image needs is never the one: after a damaged
         * package, frames that start inside its payload (F1 02 ... in real code) are still
         * followed when its copy comes, and the copy must survive the look-alikes inside
         * its own payload. */
        uint_fast8_t victim = 1u, i;
        for (i = 2u; i + 1u < dev->open; ++i)
            if (worth(dev, i) < worth(dev, victim))
                victim = i;
        forget(dev, victim);
    }
    if (idle)
        dev->open = 0; /* whatever is still incomplete is dropped */
    /* Nothing is held while no frame is followed, even after an iap_dev_idle from an
     * interrupt that came just before this call set busy. */
    if (dev->open == 0u)
        dev->rx_len = 0;
    dev->busy = 0;
}

void iap_dev_feed(iap_dev *dev, uint8_t byte)
{
    take(dev, byte, 0u);
}

void iap_dev_feed_bytes(iap_dev *dev, const uint8_t *bytes, size_t count)
{
    while (count--)
        take(dev, *bytes++, 0u);
}

void iap_dev_idle(iap_dev *dev)
{
    /* What is held is all that came. A short final package that failed its CRC with zero
     * bytes where the trailer should be could still be the full form: any further byte
     * but padding settles it, so one (0xFF) is taken as if it had come; then whatever is
     * still incomplete is dropped. */
    take(dev, 0xFFu, 1u);
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
