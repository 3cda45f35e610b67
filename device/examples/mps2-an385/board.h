/* The reference boot loader's board: QEMU mps2-an385 (Cortex-M3 at 25 MHz, CMSDK UART0).
 *
 * Memory map, as a part with internal flash would have it:
 *   0x00000000  the boot loader (SSRAM1, loaded by QEMU)
 *   0x00010000  APP_BASE: the application flash, 1 MiB in 2 KiB pages; its last page holds the
 *               validity record, the rest (APP_MAX bytes) is the largest application
 *   0x20000000  RAM, 64 KiB: the boot loader's data and stack, then the application's
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

/* At power-on with a valid application: how long a request keeps the boot loader. */
#define BOOT_WAIT_MS 500u
/* After the last acknowledgement: how long the line must stay quiet (the host may ask whether
 * the image arrived intact) before the application starts. */
#define VERIFY_WAIT_MS 2000u

#endif /* BOARD_H */
