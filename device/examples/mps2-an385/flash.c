/* The board's application flash as NOR flash: the array lives at APP_BASE in the board's
 * SSRAM1 (the application runs from there), and every erase and program reaches the flash
 * file through semihosting before the call returns, so killing QEMU is cutting the power
 * after the last change that returned. Each erase and program also keeps the flash busy as
 * long as a real part's would (board.h), the receive interrupt running meanwhile. A real
 * part's flash controller takes the place of this file: erase a page, program a unit, wait
 * for the busy flag. */
#include "flash.h"

#include "board.h"
#include "semihost.h"

#define AT(address) (*(volatile uint8_t *)(address))

static int file = -1;

static int inside(uint32_t address, uint32_t count)
{
    return address >= APP_BASE && count <= FLASH_SIZE && address - APP_BASE <= FLASH_SIZE - count;
}

static void erase_array(void)
{
    volatile uint32_t *word = (volatile uint32_t *)APP_BASE;
    uint32_t i;
    for (i = 0; i < FLASH_SIZE / 4u; ++i)
        word[i] = 0xFFFFFFFFuL;
}

flash_result flash_power_on(const char *path)
{
    int handle;
    file = -1;
    if (path[0] == '\0') {
        erase_array();
        return FLASH_OK;
    }
    handle = sh_open(path, SH_UPDATE_BINARY);
    if (handle < 0) {
        erase_array();
        return FLASH_FAILED;
    }
    if (sh_length(handle) != (int32_t)FLASH_SIZE ||
        sh_read(handle, (void *)APP_BASE, FLASH_SIZE) != 0) {
        sh_close(handle);
        erase_array();
        return FLASH_FAILED;
    }
    file = handle;
    return FLASH_OK;
}

/* The `count` bytes now at `address` in the array, to the same place in the file. */
static flash_result write_through(uint32_t address, const void *bytes, uint32_t count)
{
    if (file < 0)
        return FLASH_OK;
    if (sh_seek(file, address - APP_BASE) != 0 || sh_write(file, bytes, count) != 0)
        return FLASH_FAILED;
    return FLASH_OK;
}

flash_result flash_erase_page(uint32_t address)
{
    uint32_t i;
    address &= ~(FLASH_PAGE - 1u);
    if (!inside(address, FLASH_PAGE))
        return FLASH_FAILED;
    for (i = 0; i < FLASH_PAGE; ++i)
        AT(address + i) = 0xFF;
    board_wait_ms(FLASH_ERASE_MS);
    return write_through(address, (const void *)address, FLASH_PAGE);
}

int flash_is_erased(uint32_t address, uint32_t count)
{
    uint32_t i;
    if (!inside(address, count))
        return 0;
    for (i = 0; i < count; ++i) {
        if (AT(address + i) != 0xFFu)
            return 0;
    }
    return 1;
}

flash_result flash_program(uint32_t address, const uint8_t *bytes, uint32_t count)
{
    uint32_t i;
    if (address % FLASH_UNIT != 0u || count % FLASH_UNIT != 0u || !flash_is_erased(address, count))
        return FLASH_FAILED;
    /* The file first: when it cannot be written, the array stays erased and a retry works. */
    if (write_through(address, bytes, count) != FLASH_OK)
        return FLASH_FAILED;
    for (i = 0; i < count; ++i)
        AT(address + i) = bytes[i];
    board_wait_ms((FLASH_PROGRAM_MS * count + FLASH_PAGE - 1u) / FLASH_PAGE);
    return FLASH_OK;
}
