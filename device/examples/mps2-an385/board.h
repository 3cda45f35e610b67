/* The reference boot loader's board: QEMU mps2-an385 (Cortex-M3 at 25 MHz, CMSDK UART0).
 *
 * Memory map, as a part with internal flash would have it:
 *   0x00000000  the boot loader (SSRAM1, loaded by QEMU)
 *   0x00010000  APP_BASE: the application flash, 1 MiB in 2 KiB pages; its last page holds the
 *               validity record, the rest (APP_MAX bytes) is the largest application
 *   0x20000000  RAM, 64 KiB: the boot loader's data and stack, then the application's; its
 *               last 16 bytes are neither's: the hand-over word (HANDOVER_ADDR)
 * The application flash is modelled as NOR flash over the file named on QEMU's semihosting
 * command line (flash.c). */
#ifndef BOARD_H
#define BOARD_H

#include <stdint.h>

#define APP_BASE 0x00010000uL
#define FLASH_SIZE 0x00100000uL /* the application flash, record page included */
#define FLASH_PAGE 2048uL       /* erase unit */
#define FLASH_UNIT 8u           /* program unit: each is programmed once, after an erase */
#define RECORD_ADDR (APP_BASE + FLASH_SIZE - FLASH_PAGE)
#define APP_MAX (FLASH_SIZE - FLASH_PAGE) /* the largest application: 1 046 528 bytes */

/* SSRAM2/3: where an application's initial stack pointer may point. */
#define SRAM_BASE 0x20000000uL
#define SRAM_END 0x20400000uL

#define SYSTEM_CLOCK 25000000uL

/* The line: UART0 starts at BOOT_BAUD; after an accepted request the host may switch it up to
 * BOOST_BAUD (the CMSDK UART's divider is whole clocks, at least 16 a bit: 25 MHz / 27 is
 * 0.47 % above 921600), and it may keep BOOST_WINDOW packages unacknowledged on the line
 * (boot.c sizes the receive ring for them). */
#define BOOT_BAUD 115200uL
#define BOOST_BAUD 921600uL
#define BOOST_WINDOW 2u

/* How long the flash stays busy erasing a page, and programming a whole one (a 2 KiB page of
 * an STM32L4-class part: about 22 ms to erase, 21 to program by double words; less is
 * programmed in its share of that). The boot loader keeps running meanwhile, its receive
 * interrupt included, as on a part that programs one bank while it runs from another (a part
 * whose flash stalls the CPU receives by DMA instead): the bytes the host sends ahead keep
 * arriving in the ring. */
#define FLASH_ERASE_MS 20u
#define FLASH_PROGRAM_MS 20u

/* The boot loader's version, in the capability answer: 1.2.0 (names its area, refuses what
 * does not fit, takes a hand-over, switches the line's rate and takes packages in flight). */
#define BOOT_VERSION 0x00010200uL

/* At power-on with a valid application: how long a request keeps the boot loader. */
#define BOOT_WAIT_MS 500u
/* After the last acknowledgement: how long the line must stay free of valid frames (the host
 * may ask whether the image arrived intact) before the application starts. */
#define VERIFY_WAIT_MS 2000u

/* The hand-over from a running application (device/iap_app.h): the application writes
 * HANDOVER_MAGIC at HANDOVER_ADDR, a RAM word that no start-up code clears (both linker
 * scripts keep the last 16 bytes of RAM out of their data and stack), and resets the chip.
 * The boot loader clears it at power-on and stays in update mode, without BOOT_WAIT; when
 * no request is accepted and no valid frame comes for HANDOVER_WAIT_MS, it starts the valid
 * application again (the host only asked, refused the image, or went away). On a part whose
 * RAM is not kept across a reset, a backup register does the same. */
#define HANDOVER_ADDR 0x2000FFF0uL
#define HANDOVER_MAGIC 0x4F564148uL /* "HAVO" in memory */
#define HANDOVER_WAIT_MS 3000u

#endif /* BOARD_H */
