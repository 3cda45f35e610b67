/*
 * iap_device: the boot-loader side of the serial upgrade protocol, in portable C99.
 *
 * Freestanding: no heap, no floating point, no recursion, no C library (only the compiler's
 * own <stdint.h> and <stddef.h>), no assumption about the width of int. The caller owns one
 * iap_dev context (1 KiB of it is the package buffer), feeds it the received bytes one at a
 * time and gets the replies through a callback.
 *
 * Porting: fill in an iap_dev_port, call iap_dev_init once, then iap_dev_feed for every
 * byte that comes off the line, always from the same context (the main loop, not an
 * interrupt). All callbacks run inside iap_dev_feed (or iap_dev_idle), never anywhere else.
 * See device/README.md.
 *
 * The frames on the line are defined in iap_wire.h, which both ends include.
 */
#ifndef IAP_DEVICE_H
#define IAP_DEVICE_H

#include "iap_wire.h"

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Payload bytes of one full package. */
#define IAP_DEV_PACKAGE_SIZE IAP_WIRE_PACKAGE_SIZE
/* The longest frame on the line: a full data package. */
#define IAP_DEV_BUFFER_SIZE IAP_WIRE_FULL_PACKAGE
/* The largest image a request can describe: 65 535 packages (its total is 16 bits). */
#define IAP_DEV_MAX_IMAGE IAP_WIRE_MAX_IMAGE
/* The quiet time, in milliseconds, after which a port may call iap_dev_idle (at least). */
#define IAP_DEV_IDLE_MS 20u
/* Frames followed at once while bytes are searched for the next one (at least 2): the
 * oldest, the newest, and from 3 on the package the image needs, which never gives way to a
 * newer one. Each costs 6 to 8 bytes of context and one CRC step per received byte while it
 * is open. */
#ifndef IAP_DEV_CANDIDATES
#define IAP_DEV_CANDIDATES 3u
#endif

/* Acknowledgement status bytes. */
#define IAP_DEV_STATUS_WRITTEN IAP_WIRE_STATUS_WRITTEN
#define IAP_DEV_STATUS_DATA_ERROR IAP_WIRE_STATUS_DATA_ERROR
#define IAP_DEV_STATUS_WRITE_FAILED IAP_WIRE_STATUS_WRITE_FAILED

/* Capability flags of the capability answer. */
#define IAP_DEV_CAN_VERIFY IAP_WIRE_CAN_VERIFY

/* What every port callback returns. */
typedef enum iap_dev_result
{
    IAP_DEV_OK = 0,
    IAP_DEV_FAILED = 1,
    /* write only: the bytes are refused as data (answered with status 2, not written). */
    IAP_DEV_REFUSED = 2
} iap_dev_result;

/*
 * The porting surface. `user` is handed back to every callback untouched.
 */
typedef struct iap_dev_port
{
    void *user;

    /* Bytes the core may accept at most: the size of the area the image goes to. A request
     * for more is refused (answered F1 C1 with reason 1 and this capacity). Never more than
     * IAP_DEV_MAX_IMAGE is accepted. */
    uint32_t capacity;

    /* Put reply bytes on the line (one whole answer at a time: 8 to 26 bytes). Required. Nothing is
     * returned: a reply that is lost on the way is resent by the tool after its timeout. */
    void (*send)(void *user, const uint8_t *bytes, uint8_t count);

    /* A request for an image of `length` bytes (1 to capacity) was accepted: erase or
     * prepare the area. Called once per image: a copy of the request that arrives before
     * anything is written is answered without calling it again. IAP_DEV_FAILED refuses the
     * request (reason 3). Required. */
    iap_dev_result (*prepare)(void *user, uint32_t length);

    /* Write `count` image bytes (1 to 1024) at `offset` from the start of the image. `data`
     * is 4-byte aligned on targets whose uint32_t needs it. Each package is written once, in
     * order, and only the image's own bytes (never the zero padding of a full-length final
     * package). IAP_DEV_FAILED answers the package with status 3 and the tool resends it:
     * write is then called again with the same offset and bytes, and every package
     * acknowledged before stays acknowledged. So a port must be able to program these bytes
     * again without losing earlier packages that share their erase unit: gather each erase
     * unit in RAM and program it once it is complete (or the image ends), erasing it again
     * after a failure, as the reference boot loader does. IAP_DEV_REFUSED answers status 2
     * instead. Required. */
    iap_dev_result (*write)(void *user, uint32_t offset, const uint8_t *data, uint16_t count);

    /* Optional (may be NULL): the last package has been written; verify the image, mark it
     * bootable (iap_dev_image_crc gives the CRC-32 of what was written). IAP_DEV_FAILED
     * answers the last package with status 3; its resend is not written again, finish is
     * called again. */
    iap_dev_result (*finish)(void *user, uint32_t length);

    /* Optional (may be NULL): read back `count` (1 to 1024) bytes of the stored image from
     * `offset`. With it the device answers the verification question with the length and
     * CRC-32 of the image it holds, read from its flash; IAP_DEV_FAILED leaves the question
     * unanswered. Without it the capability answer says the device cannot verify. */
    iap_dev_result (*read)(void *user, uint32_t offset, uint8_t *data, uint16_t count);

    /* For the capability answer: the application area's first address (as applications
     * are linked), and the boot loader's own version (nonzero, e.g. 0x00010200 for 1.2.0).
     * A port that leaves `version` 0 (one written before these fields) answers without the
     * first address, and the host judges images by their size alone. */
    uint32_t base;
    uint32_t version;

    /* Optional (may be NULL): kicks the watchdog. Called at least once per KiB during the
     * core's long passes (reading the image back for verification, iap_dev_crc32_kicked), so
     * that an independent watchdog started by an option byte does not reset a 512 KiB check
     * running at the reset clock. */
    void (*watchdog)(void *user);

    /* Optional, for the boost (see device/README.md): the highest rate the line may be
     * switched to (0: never switched), and the packages the port's receive buffer holds
     * while write runs (0 or 1: one at a time). A port that offers either answers the
     * capability question with both (26 bytes instead of 20). */
    uint32_t max_baud;
    uint16_t window;
    /* Required with max_baud: switch the line to `baud`, or back to the rate it started at
     * when `baud` is 0. Called only once the answer sent before it has left the line whole
     * (the port waits for its transmitter to drain). IAP_DEV_FAILED: the rate is not
     * possible; the device stays where it is. */
    iap_dev_result (*set_baud)(void *user, uint32_t baud);
} iap_dev_port;

/*
 * The context. Statically allocatable; the port owns it, the core alone writes it.
 * The fields are public only so the caller can allocate it; read them, never write them.
 */
typedef struct iap_dev
{
    /* First, so that the payload (rx + 4) is as aligned as a uint32_t (see below). */
    uint8_t rx[IAP_DEV_BUFFER_SIZE];
    const iap_dev_port *port;
    uint32_t length;    /* image length of the accepted request */
    uint32_t image_crc; /* CRC-32 of the image bytes written so far */
    struct iap_dev_follow
    {
        uint32_t crc;                  /* CRC-32 of its bytes up to 4 before the newest */
        uint16_t seen;                 /* its bytes looked at; it ends at the newest held */
    } follow[IAP_DEV_CANDIDATES + 1u]; /* the frames followed, the oldest first (one more
                                          while a new one makes room) */
    uint16_t count;                    /* packages in the image; 0 while none accepted */
    uint16_t expected;                 /* next package to write; == count once written */
    uint16_t rx_len;                   /* bytes held, from the oldest frame followed on */
    uint32_t baud;                     /* the rate switched to; 0 at the starting rate */
    uint32_t heard_ms;                 /* iap_dev_clock's time of the last valid frame */
    uint8_t heard;                     /* a valid frame was handled since iap_dev_clock */
    uint8_t open;                      /* frames followed */
    uint8_t flags;                     /* image finished; the last frame was a request */
    volatile uint8_t busy;             /* inside iap_dev_feed or iap_dev_idle */
} iap_dev;

/* write() gets the payload at rx + IAP_WIRE_HEADER: checked here, where the compiler sees it,
 * against the alignment a uint32_t has on the target (the context, holding uint32_t fields,
 * is at least that aligned). */
struct iap_dev_align_probe
{
    uint8_t byte;
    uint32_t word;
};
typedef char iap_dev_payload_is_aligned[(offsetof(iap_dev, rx) + IAP_WIRE_HEADER) %
                                                    offsetof(struct iap_dev_align_probe, word) ==
                                                0u
                                            ? 1
                                            : -1];

/* Starts with no image accepted. The port must outlive the context. */
void iap_dev_init(iap_dev *dev, const iap_dev_port *port);

/* One byte received from the line. May call the port's callbacks. A call made while the
 * core is already inside iap_dev_feed or iap_dev_idle (from an interrupt, or from a
 * callback) is ignored: the byte is lost, as on a line that dropped it. */
void iap_dev_feed(iap_dev *dev, uint8_t byte);

/* Several bytes received from the line, in order. */
void iap_dev_feed_bytes(iap_dev *dev, const uint8_t *bytes, size_t count);

/*
 * Optional: no byte has arrived for at least IAP_DEV_IDLE_MS (20 ms; the tool leaves far
 * longer gaps between its frames). Call it from where iap_dev_feed is called, once the ring
 * is empty and the time since the last byte is that long: never for a UART's idle-line
 * interrupt, which fires after one character time, also between the bursts of a
 * USB-serial adapter in the middle of a package. The core never needs it: without it, a
 * damaged short final package is passed over when the tool sends its next frame. With it,
 * what is held is settled as one more byte (0xFF) would settle it: such a package is
 * answered with status 2 at once, and any other incomplete frame is dropped. A call from
 * inside the core (an interrupt, a callback) is ignored.
 */
void iap_dev_idle(iap_dev *dev);

/*
 * For a port with set_baud: the time now, in milliseconds from any start (it may wrap). Call
 * it from where iap_dev_feed is called, at least every 50 ms. Once the line has been switched
 * to another rate and no valid frame has been handled for IAP_WIRE_RATE_FALLBACK_MS (1 s:
 * the host's confirmation at the new rate did not come through, or the upgrade is over and
 * the line quiet), the core calls set_baud(user, 0): back to the starting rate. Time spent
 * inside a callback (a long erase) does not count. A call from inside the core is ignored.
 */
void iap_dev_clock(iap_dev *dev, uint32_t now_ms);

/* The rate the line was switched to, 0 at the starting rate. */
uint32_t iap_dev_baud(const iap_dev *dev);

/* 1 once every package of the accepted image has been written and finish succeeded. */
int iap_dev_complete(const iap_dev *dev);

/* The CRC-32 of the image bytes written so far for the accepted image (all of them inside
 * finish and after it). */
uint32_t iap_dev_image_crc(const iap_dev *dev);

/* Inside send: the length of the frame being answered, from its start byte to the byte
 * just fed (for an answer given by iap_dev_idle, the one byte it adds included). */
uint16_t iap_dev_frame_length(const iap_dev *dev);

/* The CRC-32 the protocol uses (CRC-32/ISO-HDLC), over `count` bytes. */
uint32_t iap_dev_crc32(const uint8_t *bytes, size_t count);

/* The same, calling the port's watchdog (when it has one) before every KiB: for long passes
 * such as checking the whole image at power-on. */
uint32_t iap_dev_crc32_kicked(const iap_dev_port *port, const uint8_t *bytes, uint32_t count);

#ifdef __cplusplus
}
#endif

#endif /* IAP_DEVICE_H */
