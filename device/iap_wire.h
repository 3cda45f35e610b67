/*
 * iap_wire: the serial upgrade protocol's one definition, for both ends of the line: the
 * device core (iap_device.c), the application-side hand-over (iap_app.c) and the host
 * (iap/wire.h mirrors these as typed constants). Plain macros, valid C99 and C++; nothing
 * here allocates or calls anything.
 *
 * Every frame: START, a code, a body, and the CRC-32/ISO-HDLC (reflected polynomial
 * 0xEDB88320, preset and final inversion) of every byte before the trailer, most
 * significant byte first. Every multi-byte field is big-endian.
 *
 * From the host:
 *   request         F1 01 length(4) total(2) crc(4)          12 bytes
 *   package         F1 02 index(2) payload(1024) crc(4)       1032 bytes; the image's final
 *                   package may come short: F1 02 index(2) payload(remainder) crc(4)
 *   capabilities?   F1 03 00 00 crc(4)                        8 bytes
 *   verification?   F1 04 00 00 crc(4)                        8 bytes
 *   rate proposal   F1 05 baud(4) crc(4)                      10 bytes: switch the line to
 *                   this rate (only after the request was accepted, to a device whose
 *                   capability answer offers it)
 * From the device (an answer's code is the question's with bit 7 set):
 *   accepted        F1 81 00 00 crc(4)                        8 bytes
 *   acknowledgement F1 82 index(2) status(1) crc(4)           9 bytes
 *   capabilities    F1 83 flags(2) [base(4) capacity(4) version(4)
 *                   [max_baud(4) window(2)]] crc(4)
 *                   8 bytes from a device that knows only the flags, 20 from one that names
 *                   its area, 26 from one that offers the boost (flag 0x0004); fields are
 *                   only ever appended: a host reads those the length covers and ignores any
 *                   bytes after them
 *   rate answer     F1 85 baud(4) crc(4)                      10 bytes, at the old rate: the
 *                   rate the device switches to once this answer has left (0: it stays)
 *   verification    F1 84 length(4) crc32(4) crc(4)           14 bytes
 *   refused         F1 C1 reason(1) capacity(4) crc(4)        11 bytes: the request (01)
 *                   is refused (bit 6 on the answer's code); sent only by devices with
 *                   this extension
 */
#ifndef IAP_WIRE_H
#define IAP_WIRE_H

#define IAP_WIRE_START 0xF1u
/* The trailer's CRC-32/ISO-HDLC: this reflected polynomial, preset and final XOR all ones. */
#define IAP_WIRE_CRC32_POLY 0xEDB88320uL

/* Frame codes. */
#define IAP_WIRE_REQUEST 0x01u
#define IAP_WIRE_DATA 0x02u
#define IAP_WIRE_CAPABILITY_QUESTION 0x03u
#define IAP_WIRE_VERIFY_QUESTION 0x04u
#define IAP_WIRE_RATE_PROPOSAL 0x05u
#define IAP_WIRE_ANSWER_BIT 0x80u
#define IAP_WIRE_ACCEPTED 0x81u
#define IAP_WIRE_ACKNOWLEDGEMENT 0x82u
#define IAP_WIRE_CAPABILITY_ANSWER 0x83u
#define IAP_WIRE_VERIFY_ANSWER 0x84u
#define IAP_WIRE_RATE_ANSWER 0x85u
#define IAP_WIRE_REFUSED 0xC1u

/* Lengths and positions. */
#define IAP_WIRE_TRAILER 4u        /* the CRC-32 trailer */
#define IAP_WIRE_HEADER 4u         /* F1, code, two bytes: where a package's payload starts */
#define IAP_WIRE_MIN_FRAME 8u      /* F1, code, two bytes, trailer */
#define IAP_WIRE_REQUEST_BYTES 12u /* F1 01 length(4) total(2) crc(4) */
#define IAP_WIRE_QUESTION_BYTES 8u /* F1 03 / F1 04, 00 00, crc(4) */
#define IAP_WIRE_ACK_BYTES 9u      /* the status in byte 4, before the trailer */
#define IAP_WIRE_VERIFY_ANSWER_BYTES 14u
#define IAP_WIRE_REFUSED_BYTES 11u
/* The capability answer: flags in bytes 2-3 (an 8-byte answer has nothing else), then the
 * application area's first address, its capacity and the boot loader's version. */
#define IAP_WIRE_CAPS_FLAGS_BYTES 8u
#define IAP_WIRE_CAPS_BASE_AT 4u
#define IAP_WIRE_CAPS_CAPACITY_AT 8u
#define IAP_WIRE_CAPS_VERSION_AT 12u
#define IAP_WIRE_CAPS_AREA_BYTES 20u
/* ... then (flag IAP_WIRE_HAS_BOOST) the highest rate the device switches the line to (0:
 * none) and the packages it takes in flight, buffered while it writes (1: one at a time). */
#define IAP_WIRE_CAPS_MAX_BAUD_AT 16u
#define IAP_WIRE_CAPS_WINDOW_AT 20u
#define IAP_WIRE_CAPS_BOOST_BYTES 26u
#define IAP_WIRE_RATE_BYTES 10u /* F1 05 / F1 85, baud(4), crc(4) */
/* After switching, the device goes back to the rate it started at by itself once it has heard
 * no valid frame for this long (the host's confirmation did not come through, or the upgrade
 * is over and the line is quiet); the host, not answered at the new rate, goes back too and
 * waits this long (and a margin) since its last frame before it goes on at the old rate. */
#define IAP_WIRE_RATE_FALLBACK_MS 1000u

/* Limits. */
#define IAP_WIRE_PACKAGE_SIZE 1024u /* payload bytes of a full package */
#define IAP_WIRE_FULL_PACKAGE (IAP_WIRE_PACKAGE_SIZE + IAP_WIRE_HEADER + IAP_WIRE_TRAILER)
#define IAP_WIRE_MAX_PACKAGES 65535u  /* the request's total is 16 bits */
#define IAP_WIRE_MAX_IMAGE 67107840uL /* 65 535 packages of 1024 bytes */

/* Acknowledgement status. */
#define IAP_WIRE_STATUS_WRITTEN 1u
#define IAP_WIRE_STATUS_DATA_ERROR 2u
#define IAP_WIRE_STATUS_WRITE_FAILED 3u

/* Capability flags. */
#define IAP_WIRE_CAN_VERIFY 0x0001u
/* The answer's base field is the application area's first address (without it the host
 * judges an image by its size alone). */
#define IAP_WIRE_HAS_BASE 0x0002u
/* The answer carries the highest rate and the packages in flight (bytes 16-21). */
#define IAP_WIRE_HAS_BOOST 0x0004u

/* Reasons of a refusal. */
#define IAP_WIRE_REFUSED_TOO_LARGE 1u /* longer than the capacity the refusal names */
#define IAP_WIRE_REFUSED_MALFORMED 2u /* empty, or a total that is not the length in packages */
#define IAP_WIRE_REFUSED_NOT_READY 3u /* the area could not be prepared (erase failed) */

#endif /* IAP_WIRE_H */
