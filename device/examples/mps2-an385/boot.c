/* Reference boot loader for QEMU's mps2-an385 board (Cortex-M3, CMSDK UART0).
 *
 * Power-on: the application flash comes up from its file (flash.c); with a valid application
 * (boot_logic.c) the boot loader waits BOOT_WAIT_MS for a request and starts the application
 * when none comes. Handed over by the running application (board.h: HANDOVER_ADDR), it waits
 * instead until HANDOVER_WAIT_MS pass without a valid frame. A request keeps it here: the
 * image is received through the device core, page by page into the flash, and once the last
 * package is acknowledged and no valid frame has come for VERIFY_WAIT_MS (the host may ask
 * whether the image arrived intact), the application starts if it is valid. Otherwise the
 * boot loader stays and takes the next image.
 *
 * The UART receive interrupt puts bytes in a ring; the main loop feeds them to the core and
 * sleeps when there is nothing to do; SysTick counts milliseconds. Once a request is accepted
 * the host may switch the line to BOOST_BAUD and keep BOOST_WINDOW packages on the line: the
 * ring holds them while a page is written. Each event is one JSON line on the semihosting
 * console. */
#include "board.h"
#include "boot_logic.h"
#include "flash.h"
#include "iap_device.h"
#include "semihost.h"

#include <stdint.h>

#define UART0_BASE 0x40004000u
#define UART_DATA (*(volatile uint32_t *)(UART0_BASE + 0x00u))
#define UART_STATE (*(volatile uint32_t *)(UART0_BASE + 0x04u))
#define UART_CTRL (*(volatile uint32_t *)(UART0_BASE + 0x08u))
#define UART_INTCLEAR (*(volatile uint32_t *)(UART0_BASE + 0x0Cu))
#define UART_BAUDDIV (*(volatile uint32_t *)(UART0_BASE + 0x10u))
#define UART_STATE_TXFULL 0x1u
#define UART_STATE_RXFULL 0x2u
#define UART_CTRL_TX 0x1u
#define UART_CTRL_RX 0x2u
#define UART_CTRL_RXINT 0x8u
#define UART_INT_RX 0x2u
#define NVIC_ISER0 (*(volatile uint32_t *)0xE000E100u)
#define SYST_CSR (*(volatile uint32_t *)0xE000E010u)
#define SYST_RVR (*(volatile uint32_t *)0xE000E014u)
#define SYST_CVR (*(volatile uint32_t *)0xE000E018u)
#define SYST_ENABLE_TICKINT_CPUCLK 0x7u

/* ---- time ---- */
static volatile uint32_t now_ms;

void systick_handler(void)
{
    now_ms = now_ms + 1u;
}

/* The flash is busy: the interrupts go on (flash.h). */
void board_wait_ms(uint32_t ms)
{
    const uint32_t start = now_ms;
    while (now_ms - start <= ms)
        __asm__ volatile("wfi");
}

/* `cycles` of the CPU clock pass (SysTick counts them down, from SYST_RVR to 0, each
 * millisecond). */
static void spin_cycles(uint32_t cycles)
{
    uint32_t last = SYST_CVR, spent = 0;
    while (spent < cycles) {
        const uint32_t now = SYST_CVR;
        spent += now <= last ? last - now : last + SYST_RVR + 1u - now;
        last = now;
    }
}

/* ---- receive ring, filled by the interrupt ---- */
/* What the host may have sent that the core has not taken yet while a page is written:
 * BOOST_WINDOW whole packages (the core needs room only for those after the one it writes; the
 * ring holds them all), and a package's worth more for a question or a resend among them. A
 * power of two, so the positions wrap by a mask. */
#define RING_SIZE 4096u
#define RING_NEEDS ((BOOST_WINDOW + 1u) * IAP_WIRE_FULL_PACKAGE)
typedef char
    ring_holds_the_window[RING_SIZE > RING_NEEDS && (RING_SIZE & (RING_SIZE - 1u)) == 0u ? 1 : -1];
static volatile uint8_t ring[RING_SIZE];
static volatile uint16_t ring_head;    /* written by the interrupt */
static volatile uint16_t ring_tail;    /* written by the main loop */
static volatile uint32_t ring_dropped; /* bytes the ring had no room for, since power-on */

void uart0_rx_handler(void)
{
    /* Cleared before the data register is read: a byte that lands after the last read
     * raises the interrupt again instead of waiting unseen. */
    UART_INTCLEAR = UART_INT_RX;
    while (UART_STATE & UART_STATE_RXFULL) {
        const uint8_t byte = (uint8_t)UART_DATA;
        const uint16_t next = (uint16_t)((ring_head + 1u) & (RING_SIZE - 1u));
        if (next != ring_tail) {
            ring[ring_head] = byte;
            ring_head = next;
        } else {
            ring_dropped = ring_dropped + 1u;
        }
    }
}

/* ---- the port of the device core ---- */
static iap_dev dev;
static int requested;                 /* a request was accepted since power-on */
static int decided;                   /* the complete image was checked (and did not start) */
static uint32_t image_length;         /* of the request accepted */
static volatile uint32_t answered_ms; /* when the last valid frame was answered */

/* Every valid frame the core acts on is answered: the time of the last answer is the time of
 * the last valid frame (stray bytes on the line keep nothing waiting). */
static void port_send(void *user, const uint8_t *bytes, uint8_t count)
{
    (void)user;
    answered_ms = now_ms;
    while (count--) {
        while (UART_STATE & UART_STATE_TXFULL) {
        }
        UART_DATA = *bytes++;
    }
}

/* A request: the old image stops being valid before anything of it is erased. The pages are
 * erased by write, each just before its first package, so a repeated request costs nothing. */
static iap_dev_result port_prepare(void *user, uint32_t length)
{
    (void)user;
    requested = 1;
    decided = 0;
    image_length = length;
    return boot_invalidate() == FLASH_OK ? IAP_DEV_OK : IAP_DEV_FAILED;
}

/* A page is programmed whole, from RAM. The core acknowledges each package once it is
 * written and resends nothing acknowledged, but a failed program cannot be mended in place:
 * the bytes it reached are no longer erased, and erasing the page again would lose the
 * packages before it in the same page. So each page is gathered here (two packages of a
 * 2 KiB page) and programmed when it is complete or the image ends; a failure leaves the
 * buffer as it is, and the resend of the page's last package erases the page and programs
 * all of it again. (Restarting from the page's first package would need the host to go
 * back, which the protocol cannot ask.) */
static uint32_t page_buffer[FLASH_PAGE / 4u]; /* words: programmed in 8-byte units */

static iap_dev_result port_write(void *user, uint32_t offset, const uint8_t *data, uint16_t count)
{
    uint8_t *const buffer = (uint8_t *)page_buffer;
    const uint32_t address = APP_BASE + offset;
    const uint32_t page = address & ~(FLASH_PAGE - 1u);
    const uint32_t at = address - page;
    uint32_t i, end;
    (void)user;
    if (offset > APP_MAX || count > APP_MAX - offset || at + count > FLASH_PAGE)
        return IAP_DEV_FAILED;
    if (at == 0u) /* the page's first package: the rest reads as erased */
        for (i = 0; i < FLASH_PAGE; ++i)
            buffer[i] = 0xFFu;
    for (i = 0; i < count; ++i)
        buffer[at + i] = data[i];
    end = at + count;
    if (end < FLASH_PAGE && offset + count < image_length)
        return IAP_DEV_OK; /* the rest of the page is still to come */
    /* The image's end is padded with erased bytes to a whole program unit. */
    end = (end + FLASH_UNIT - 1u) & ~(uint32_t)(FLASH_UNIT - 1u);
    if (!flash_is_erased(page, FLASH_PAGE) && flash_erase_page(page) != FLASH_OK)
        return IAP_DEV_FAILED;
    return flash_program(page, buffer, end) == FLASH_OK ? IAP_DEV_OK : IAP_DEV_FAILED;
}

static const iap_dev_port port;

/* The --out file, when one was named: the image as the board holds it. */
static iap_dev_result copy_out(uint32_t length)
{
    int handle;
    if (sh_out_path[0] == '\0')
        return IAP_DEV_OK;
    handle = sh_open(sh_out_path, SH_TRUNCATE_BINARY);
    if (handle < 0)
        return IAP_DEV_FAILED;
    if (sh_write(handle, (const void *)APP_BASE, length) != 0) {
        sh_close(handle);
        return IAP_DEV_FAILED;
    }
    return sh_close(handle) == 0 ? IAP_DEV_OK : IAP_DEV_FAILED;
}

/* Every package is in the flash: read back, compared with what was received, then recorded
 * as valid, last. */
static iap_dev_result port_finish(void *user, uint32_t length)
{
    const uint32_t crc = iap_dev_image_crc(&dev);
    (void)user;
    if (iap_dev_crc32_kicked(&port, (const uint8_t *)APP_BASE, length) != crc ||
        copy_out(length) != IAP_DEV_OK || boot_record(length, crc) != FLASH_OK)
        return IAP_DEV_FAILED;
    sh_print("{\"event\":\"complete\",\"bytes\":");
    sh_print_number(length);
    sh_print(",\"crc32\":");
    sh_print_hex(crc);
    sh_print(",\"out\":");
    if (sh_out_path[0] != '\0')
        sh_print_json_string(sh_out_path);
    else
        sh_print("null");
    sh_print(",\"dropped\":");
    sh_print_number(ring_dropped);
    sh_print("}\n");
    return IAP_DEV_OK;
}

/* The host's verification reads the image back from the flash. */
static iap_dev_result port_read(void *user, uint32_t offset, uint8_t *data, uint16_t count)
{
    uint16_t i;
    (void)user;
    if (offset > APP_MAX || count > APP_MAX - offset)
        return IAP_DEV_FAILED;
    for (i = 0; i < count; ++i)
        data[i] = ((const volatile uint8_t *)(APP_BASE + offset))[i];
    return IAP_DEV_OK;
}

/* A real part kicks its independent watchdog here (the core calls it at least once per KiB
 * of its long passes, and the power-on check the same); the emulated board has none. */
static void port_watchdog(void *user)
{
    (void)user;
}

/* The line's rate: BOOT_BAUD, or (`baud` nonzero) what the host proposed, once the answer
 * before it has left. The CMSDK UART has no flag for an empty shift register: once its
 * one-byte buffer is free, the last byte takes one character time (10 bits) more. */
static iap_dev_result port_set_baud(void *user, uint32_t baud)
{
    const uint32_t rate = baud != 0u ? baud : BOOT_BAUD;
    const uint32_t divisor = (SYSTEM_CLOCK + rate / 2u) / rate;
    const uint32_t clocks = divisor * rate;
    (void)user;
    /* At least 16 clocks a bit, 20 bits of divider, and within 2 % of the rate asked. */
    if (divisor < 16u || divisor > 0xFFFFFu ||
        (clocks > SYSTEM_CLOCK ? clocks - SYSTEM_CLOCK : SYSTEM_CLOCK - clocks) >
            SYSTEM_CLOCK / 50u)
        return IAP_DEV_FAILED;
    while (UART_STATE & UART_STATE_TXFULL) {
    }
    spin_cycles(10u * UART_BAUDDIV);
    UART_BAUDDIV = divisor;
    sh_print("{\"event\":\"baud\",\"baud\":");
    sh_print_number(rate);
    sh_print(",\"divisor\":");
    sh_print_number(UART_BAUDDIV);
    sh_print("}\n");
    return IAP_DEV_OK;
}

/* The boost: up to BOOST_BAUD, BOOST_WINDOW packages in flight. */
static const iap_dev_port port = {
    0,        APP_MAX,      port_send,     port_prepare, port_write,   port_finish,  port_read,
    APP_BASE, BOOT_VERSION, port_watchdog, BOOST_BAUD,   BOOST_WINDOW, port_set_baud};

/* ---- starting the application ---- */
/* After an upgrade the line is back at BOOT_BAUD (iap_dev_clock) before the application may
 * start: the application finds the rate it expects. */
typedef char rate_back_before_start[VERIFY_WAIT_MS > IAP_WIRE_RATE_FALLBACK_MS + 100u ? 1 : -1];

static void start_application(uint32_t length)
{
    sh_print("{\"event\":\"start\",\"bytes\":");
    sh_print_number(length);
    sh_print("}\n");
    /* UART0 stays configured, transmitter and receiver on, its interrupt off: the
     * application may print at once. */
    while (UART_STATE & UART_STATE_TXFULL) {
    }
    UART_CTRL = UART_CTRL_TX | UART_CTRL_RX;
    boot_start();
}

static void print_power_on(boot_verdict verdict, uint32_t length, flash_result flash,
                           int handed_over)
{
    sh_print("{\"event\":\"power-on\",\"flash\":");
    if (sh_flash_path[0] == '\0')
        sh_print("null");
    else
        sh_print_json_string(sh_flash_path);
    sh_print(flash == FLASH_OK ? "" : ",\"error\":\"the flash file cannot be used\"");
    sh_print(",\"application\":\"");
    sh_print(boot_verdict_name(verdict));
    sh_print("\",\"bytes\":");
    sh_print_number(length);
    sh_print(handed_over ? ",\"handover\":true}\n" : ",\"handover\":false}\n");
}

int main(void)
{
    uint32_t length, last_rx, power_on;
    boot_verdict verdict;
    int quiet_told = 1;
    flash_result flash;
    volatile uint32_t *const handover = (volatile uint32_t *)HANDOVER_ADDR;
    /* Handed over by the running application: taken, and cleared for the next reset. */
    const int handed_over = *handover == HANDOVER_MAGIC;
    *handover = 0;

    sh_read_paths();
    flash = flash_power_on(sh_flash_path);
    verdict = boot_check(&port, &length);
    print_power_on(verdict, length, flash, handed_over);
    iap_dev_init(&dev, &port);

    UART_BAUDDIV = SYSTEM_CLOCK / BOOT_BAUD;
    UART_CTRL = UART_CTRL_TX | UART_CTRL_RX | UART_CTRL_RXINT;
    NVIC_ISER0 = 1u << 0;
    SYST_RVR = SYSTEM_CLOCK / 1000u - 1u;
    SYST_CVR = 0;
    SYST_CSR = SYST_ENABLE_TICKINT_CPUCLK;
    power_on = last_rx = answered_ms = now_ms;

    for (;;) {
        const uint32_t now = now_ms;
        /* A switched line goes back to BOOT_BAUD once it has been quiet for a while. */
        iap_dev_clock(&dev, now);
        if (ring_tail != ring_head) {
            while (ring_tail != ring_head) {
                const uint8_t byte = ring[ring_tail];
                ring_tail = (uint16_t)((ring_tail + 1u) & (RING_SIZE - 1u));
                iap_dev_feed(&dev, byte);
            }
            last_rx = now_ms;
            quiet_told = 0;
            continue;
        }
        if (verdict == BOOT_VALID && !requested &&
            (handed_over ? now - answered_ms >= HANDOVER_WAIT_MS : now - power_on >= BOOT_WAIT_MS))
            start_application(length);
        if (iap_dev_complete(&dev) && !decided && now - answered_ms >= VERIFY_WAIT_MS) {
            decided = 1;
            verdict = boot_check(&port, &length);
            if (verdict == BOOT_VALID)
                start_application(length);
            sh_print("{\"event\":\"stay\",\"application\":\"");
            sh_print(boot_verdict_name(verdict));
            sh_print("\"}\n");
        }
        if (!quiet_told && now - last_rx >= IAP_DEV_IDLE_MS) {
            quiet_told = 1;
            iap_dev_idle(&dev);
        }
        /* A pending interrupt (a byte, the next millisecond) wakes the core even with
         * interrupts masked. */
        __asm__ volatile("cpsid i");
        if (ring_tail == ring_head && now == now_ms)
            __asm__ volatile("wfi");
        __asm__ volatile("cpsie i");
    }
}
