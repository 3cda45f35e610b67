/*
 * iap_device: the boot-loader side of the serial upgrade protocol, in portable C99.
 *
 * No heap, no floating point, no recursion, no C library (only <stdint.h> and <stddef.h>),
 * no assumption about the width of int. The caller owns one iap_dev context (1 KiB of it is
 * the package buffer), feeds it the received bytes one at a time and gets the replies through a
 * callback.
 *
 * Porting: fill in an iap_dev_port, call iap_dev_init once, then iap_dev_feed for every
 * byte that comes off the line. All callbacks run inside iap_dev_feed (or iap_dev_idle),
 * never anywhere else. See device/README.md.
 *
 * What the device sees on the line (multi-byte fields big-endian, CRC-32/ISO-HDLC trailer
 * over every byte before it):
 *   request   F1 01 length(4) total(2) crc(4)          12 bytes
 *   package   F1 02 index(2) payload(1024) crc(4)       1032 bytes; the image's final package
 *             may instead come short: F1 02 index(2) payload(remainder) crc(4)
 * and what it answers:
 *   accepted  F1 81 00 00 crc(4)                        8 bytes
 *   ack       F1 82 index(2) status crc(4)              9 bytes; status 1 written,
 *                                                        2 data error, 3 write failed
 */
#ifndef IAP_DEVICE_H
#define IAP_DEVICE_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Payload bytes of one full package. */
#define IAP_DEV_PACKAGE_SIZE 1024u
/* The longest frame on the line: a full data package. */
#define IAP_DEV_BUFFER_SIZE (IAP_DEV_PACKAGE_SIZE + 8u)
/* The largest image a request can describe: 65 535 packages (its total is 16 bits). */
#define IAP_DEV_MAX_IMAGE 67107840uL

/* Acknowledgement status bytes. */
#define IAP_DEV_STATUS_WRITTEN 1u
#define IAP_DEV_STATUS_DATA_ERROR 2u
#define IAP_DEV_STATUS_WRITE_FAILED 3u

/* What every port callback returns. */
typedef enum iap_dev_result
{
    IAP_DEV_OK = 0,
    IAP_DEV_FAILED = 1
} iap_dev_result;

/*
 * The porting surface. `user` is handed back to every callback untouched.
 */
typedef struct iap_dev_port
{
    void *user;

    /* Bytes the core may accept at most: the size of the area the image goes to. A request
     * for more is refused (no answer). Never more than IAP_DEV_MAX_IMAGE is accepted. */
    uint32_t capacity;

    /* Put reply bytes on the line (at most 9 at a time). Required. Nothing is returned:
     * a reply that is lost on the way is resent by the tool after its timeout. */
    void (*send)(void *user, const uint8_t *bytes, uint8_t count);

    /* A request for an image of `length` bytes (1 to capacity) was accepted: erase or
     * prepare the area. Called for every accepted request, a repeated one included (the
     * image then starts again from package 0). IAP_DEV_FAILED leaves the request
     * unanswered. Required. */
    iap_dev_result (*prepare)(void *user, uint32_t length);

    /* Write `count` image bytes (1 to 1024) at `offset` from the start of the image. Each
     * package is written once, in order, and only the image's own bytes (never the zero
     * padding of a full-length final package). IAP_DEV_FAILED answers the package with
     * status 3 and the tool resends it. Required. */
    iap_dev_result (*write)(void *user, uint32_t offset, const uint8_t *data, uint16_t count);

    /* Optional (may be NULL): the last package has been written; verify the image, mark it
     * bootable. Called once per image. IAP_DEV_FAILED answers the last package with status
     * 3; its resend is written again and finish is called again. */
    iap_dev_result (*finish)(void *user, uint32_t length);
} iap_dev_port;

/*
 * The context. Statically allocatable; the port owns it, the core alone writes it.
 * The fields are public only so the caller can allocate it; read them, never write them.
 */
typedef struct iap_dev
{
    const iap_dev_port *port;
    uint32_t length;    /* image length of the accepted request */
    uint32_t crc;       /* running CRC register over rx[0..rx_len) */
    uint32_t crc_short; /* CRC of the short form of the final package, once known */
    uint16_t count;     /* packages in the image; 0 while no request is accepted */
    uint16_t expected;  /* next package to write; == count once the image is complete */
    uint16_t rx_len;    /* bytes of the frame being gathered */
    uint16_t short_len; /* length of the final package's short form when rx is that package */
    uint8_t rx[IAP_DEV_BUFFER_SIZE];
} iap_dev;

/* Starts with no image accepted. The port must outlive the context. */
void iap_dev_init(iap_dev *dev, const iap_dev_port *port);

/* One byte received from the line. May call the port's callbacks. */
void iap_dev_feed(iap_dev *dev, uint8_t byte);

/* Several bytes received from the line, in order. */
void iap_dev_feed_bytes(iap_dev *dev, const uint8_t *bytes, size_t count);

/*
 * Optional: the line has been quiet for a while (for instance a UART idle-line interrupt,
 * or 30 ms without a byte). The core never needs it: without it, a damaged short final
 * package is passed over when the tool sends its next frame. With it, such a package is
 * answered with status 2 at once, and any other incomplete frame is dropped.
 */
void iap_dev_idle(iap_dev *dev);

/* 1 once every package of the accepted image has been written (and finish succeeded). */
int iap_dev_complete(const iap_dev *dev);

/* The CRC-32 the protocol uses (CRC-32/ISO-HDLC), over `count` bytes. */
uint32_t iap_dev_crc32(const uint8_t *bytes, size_t count);

#ifdef __cplusplus
}
#endif

#endif /* IAP_DEVICE_H */
