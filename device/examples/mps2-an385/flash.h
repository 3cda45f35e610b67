/* The board's application flash: FLASH_SIZE bytes at APP_BASE, read like memory, changed
 * only through these calls, which behave like NOR flash (board.h gives the units). */
#ifndef FLASH_H
#define FLASH_H

#include <stdint.h>

typedef enum flash_result
{
    FLASH_OK = 0,
    FLASH_FAILED = 1
} flash_result;

/* Power-on: the flash's content from the file at `path`, kept across power cycles (written
 * through on every change), or erased and kept in memory only when `path` is empty.
 * FLASH_FAILED: the file cannot be opened or is not FLASH_SIZE bytes; the flash is then
 * erased and in memory only. */
flash_result flash_power_on(const char *path);

/* Sets the FLASH_PAGE bytes of the page holding `address` to 0xFF. */
flash_result flash_erase_page(uint32_t address);

/* Programs `count` bytes at `address`, both multiples of FLASH_UNIT, every one of them
 * erased; fails, changing nothing, when any is not. */
flash_result flash_program(uint32_t address, const uint8_t *bytes, uint32_t count);

/* 1 when the `count` bytes at `address` are all 0xFF. */
int flash_is_erased(uint32_t address, uint32_t count);

/* From the board (boot.c): lets `ms` milliseconds pass with interrupts served, while the
 * flash is busy (board.h: FLASH_ERASE_MS, FLASH_PROGRAM_MS). */
void board_wait_ms(uint32_t ms);

#endif /* FLASH_H */
