/* The reference boot logic: the validity record an upgrade leaves behind, the check at every
 * start, and the jump into the application. The device core carries images; this decides
 * whether what is in the flash may run.
 *
 * The record lives alone in the flash page at RECORD_ADDR: magic, length, CRC-32 of the
 * image, and a CRC-32 of those three words. It is written last (finish, once every byte of the
 * image is in the flash) and erased first (prepare, before any page of the image is erased),
 * so a power cut at any point of an upgrade leaves either the old complete image with its
 * record, or no record at all: never a record over a partial image. */
#ifndef BOOT_LOGIC_H
#define BOOT_LOGIC_H

#include "flash.h"
#include "iap_device.h"

#include <stdint.h>

typedef enum boot_verdict
{
    BOOT_VALID = 0,
    BOOT_NO_IMAGE,          /* no record (erased, cut short, or never written) */
    BOOT_DAMAGED,           /* a record whose length and CRC the flash does not match */
    BOOT_NOT_AN_APPLICATION /* intact, but no vector table of this board's applications */
} boot_verdict;

/* Erases the record (nothing to do when it is erased already). */
flash_result boot_invalidate(void);

/* Writes the record for the `length` bytes at APP_BASE whose CRC-32 is `crc`. */
flash_result boot_record(uint32_t length, uint32_t crc);

/* The record, then the image's length and CRC-32 over the flash (kicking the port's watchdog
 * every KiB), then its vector table (an initial stack pointer in SRAM, a Thumb reset handler
 * inside the image). `length` gets the image's length when there is a record, 0 otherwise. */
boot_verdict boot_check(const iap_dev_port *port, uint32_t *length);

/* What the verdict is called in the board's console lines. */
const char *boot_verdict_name(boot_verdict verdict);

/* Starts the application at APP_BASE: interrupts off and cleared, SysTick stopped, VTOR =
 * APP_BASE, MSP from its first word, then its reset handler. Never returns. */
void boot_start(void) __attribute__((noreturn));

#endif /* BOOT_LOGIC_H */
