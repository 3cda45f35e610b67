/* The reference boot logic. See boot_logic.h. */
#include "boot_logic.h"

#include "board.h"
#include "iap_device.h"

#define RECORD_MAGIC 0x31504149uL /* "IAP1" in memory */
#define RECORD_WORDS 4u

#define SCB_ICSR (*(volatile uint32_t *)0xE000ED04u)
#define SCB_VTOR (*(volatile uint32_t *)0xE000ED08u)
#define SYST_CSR (*(volatile uint32_t *)0xE000E010u)
#define NVIC_ICER ((volatile uint32_t *)0xE000E180u)
#define NVIC_ICPR ((volatile uint32_t *)0xE000E280u)
#define ICSR_PENDSTCLR (1uL << 25)

static const volatile uint32_t *const record = (const volatile uint32_t *)RECORD_ADDR;

flash_result boot_invalidate(void)
{
    if (flash_is_erased(RECORD_ADDR, RECORD_WORDS * 4u))
        return FLASH_OK;
    return flash_erase_page(RECORD_ADDR);
}

flash_result boot_record(uint32_t length, uint32_t crc)
{
    uint32_t words[RECORD_WORDS];
    words[0] = RECORD_MAGIC;
    words[1] = length;
    words[2] = crc;
    words[3] = iap_dev_crc32((const uint8_t *)words, 12u);
    if (record[0] == words[0] && record[1] == words[1] && record[2] == words[2] &&
        record[3] == words[3])
        return FLASH_OK; /* written already: a resend of the last package */
    return flash_program(RECORD_ADDR, (const uint8_t *)words, sizeof words);
}

boot_verdict boot_check(const iap_dev_port *port, uint32_t *length)
{
    uint32_t words[RECORD_WORDS];
    uint32_t i, sp, reset;
    const uint32_t *vectors = (const uint32_t *)APP_BASE;

    *length = 0;
    for (i = 0; i < RECORD_WORDS; ++i)
        words[i] = record[i];
    if (words[0] != RECORD_MAGIC || words[3] != iap_dev_crc32((const uint8_t *)words, 12u) ||
        words[1] == 0u || words[1] > APP_MAX)
        return BOOT_NO_IMAGE;
    *length = words[1];
    if (iap_dev_crc32_kicked(port, (const uint8_t *)APP_BASE, words[1]) != words[2])
        return BOOT_DAMAGED;
    if (words[1] < 8u)
        return BOOT_NOT_AN_APPLICATION;
    sp = vectors[0];
    reset = vectors[1];
    if (sp % 4u != 0u || sp <= SRAM_BASE || sp > SRAM_END || (reset & 1u) == 0u ||
        (reset & ~1uL) < APP_BASE + 8u || (reset & ~1uL) >= APP_BASE + words[1])
        return BOOT_NOT_AN_APPLICATION;
    return BOOT_VALID;
}

const char *boot_verdict_name(boot_verdict verdict)
{
    switch (verdict) {
    case BOOT_VALID:
        return "valid";
    case BOOT_NO_IMAGE:
        return "none";
    case BOOT_DAMAGED:
        return "damaged";
    case BOOT_NOT_AN_APPLICATION:
        break;
    }
    return "not-an-application";
}

void boot_start(void)
{
    const uint32_t *vectors = (const uint32_t *)APP_BASE;
    uint32_t i;
    __asm__ volatile("cpsid i" ::: "memory");
    SYST_CSR = 0;
    for (i = 0; i < 2u; ++i) { /* the board's 32 interrupts and more */
        NVIC_ICER[i] = 0xFFFFFFFFuL;
        NVIC_ICPR[i] = 0xFFFFFFFFuL;
    }
    SCB_ICSR = ICSR_PENDSTCLR;
    SCB_VTOR = APP_BASE;
    __asm__ volatile("dsb\n\tisb" ::: "memory");
    /* The application starts as from reset: interrupts enabled, its own stack. */
    __asm__ volatile("msr msp, %0\n\t"
                     "cpsie i\n\t"
                     "bx %1"
                     :
                     : "r"(vectors[0]), "r"(vectors[1])
                     : "memory");
    for (;;) {
    }
}
