/* Reference boot loader for QEMU's mps2-an385 board (Cortex-M3, CMSDK UART0).
 *
 * The UART receive interrupt puts bytes in a ring; the main loop feeds them to the device
 * core and sleeps when there is nothing to do. The "flash" is a RAM region. On a complete
 * image the boot loader writes it to a host file through semihosting (the file named on the
 * semihosting command line) and prints one line to the host's standard output. Starting the
 * application is left out: the boot loader stays ready for the next image. */
#include "iap_device.h"

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
#define SYSTEM_CLOCK 25000000u

extern uint8_t __image_start[], __image_size[];

/* ---- semihosting ---- */
#define SYS_OPEN 0x01
#define SYS_CLOSE 0x02
#define SYS_WRITE0 0x04
#define SYS_WRITE 0x05
#define SYS_GET_CMDLINE 0x15
#define OPEN_WB 5

static int semihost(int op, void *arg)
{
    register int r0 __asm__("r0") = op;
    register void *r1 __asm__("r1") = arg;
    __asm__ volatile("bkpt 0xAB" : "+r"(r0) : "r"(r1) : "memory");
    return r0;
}

static char out_path[512];
static uint32_t out_path_len;

static void read_out_path(void)
{
    uint32_t block[2];
    block[0] = (uint32_t)out_path;
    block[1] = sizeof out_path - 1;
    if (semihost(SYS_GET_CMDLINE, block) == 0 && block[1] > 0) {
        out_path_len = block[1];
        out_path[out_path_len] = '\0';
    }
}

static void print(const char *text)
{
    semihost(SYS_WRITE0, (void *)text);
}

static void print_number(uint32_t n)
{
    char digits[11];
    int at = 10;
    digits[10] = '\0';
    do {
        digits[--at] = (char)('0' + n % 10u);
        n /= 10u;
    } while (n != 0u);
    print(digits + at);
}

/* The text as a JSON string: quotes and backslashes escaped, control characters dropped. */
static void print_json_string(const char *text)
{
    char one[3];
    print("\"");
    for (; *text; ++text) {
        if ((unsigned char)*text < 0x20u)
            continue;
        one[0] = '\\';
        one[1] = *text;
        one[2] = '\0';
        print(*text == '"' || *text == '\\' ? one : one + 1);
    }
    print("\"");
}

/* ---- the port of the device core ---- */
static void port_send(void *user, const uint8_t *bytes, uint8_t count)
{
    (void)user;
    while (count--) {
        while (UART_STATE & UART_STATE_TXFULL) {
        }
        UART_DATA = *bytes++;
    }
}

static iap_dev_result port_prepare(void *user, uint32_t length)
{
    /* Real flash would be erased here; RAM is cleared so nothing of an older image stays. */
    uint32_t i;
    (void)user;
    for (i = 0; i < length; ++i)
        __image_start[i] = 0xFF;
    return IAP_DEV_OK;
}

static iap_dev_result port_write(void *user, uint32_t offset, const uint8_t *data, uint16_t count)
{
    uint16_t i;
    (void)user;
    for (i = 0; i < count; ++i)
        __image_start[offset + i] = data[i];
    return IAP_DEV_OK;
}

static iap_dev_result port_finish(void *user, uint32_t length)
{
    uint32_t open_block[3];
    uint32_t io_block[3];
    int handle;
    (void)user;
    if (out_path_len == 0)
        return IAP_DEV_FAILED;
    open_block[0] = (uint32_t)out_path;
    open_block[1] = OPEN_WB;
    open_block[2] = out_path_len;
    handle = semihost(SYS_OPEN, open_block);
    if (handle < 0)
        return IAP_DEV_FAILED;
    io_block[0] = (uint32_t)handle;
    io_block[1] = (uint32_t)__image_start;
    io_block[2] = length;
    if (semihost(SYS_WRITE, io_block) != 0) {
        semihost(SYS_CLOSE, io_block);
        return IAP_DEV_FAILED;
    }
    if (semihost(SYS_CLOSE, io_block) != 0)
        return IAP_DEV_FAILED;
    print("{\"event\":\"complete\",\"bytes\":");
    print_number(length);
    print(",\"out\":");
    print_json_string(out_path);
    print("}\n");
    return IAP_DEV_OK;
}

/* ---- receive ring, filled by the interrupt ---- */
static volatile uint8_t ring[256];
static volatile uint8_t ring_head; /* written by the interrupt */
static volatile uint8_t ring_tail; /* written by the main loop */

void uart0_rx_handler(void)
{
    /* Cleared before the data register is read: a byte that lands after the last read
     * raises the interrupt again instead of waiting unseen. */
    UART_INTCLEAR = UART_INT_RX;
    while (UART_STATE & UART_STATE_RXFULL) {
        const uint8_t byte = (uint8_t)UART_DATA;
        if ((uint8_t)(ring_head + 1u) != ring_tail) {
            ring[ring_head] = byte;
            ring_head = (uint8_t)(ring_head + 1u);
        }
    }
}

static iap_dev dev;
static const iap_dev_port port = {0, 0, port_send, port_prepare, port_write, port_finish};
static iap_dev_port live_port;

int main(void)
{
    read_out_path();
    live_port = port;
    live_port.capacity = (uint32_t)__image_size;
    iap_dev_init(&dev, &live_port);

    UART_BAUDDIV = SYSTEM_CLOCK / 115200u;
    UART_CTRL = UART_CTRL_TX | UART_CTRL_RX | UART_CTRL_RXINT;
    NVIC_ISER0 = 1u << 0;

    for (;;) {
        __asm__ volatile("cpsid i");
        if (ring_tail == ring_head) {
            /* A pending interrupt wakes the core even with interrupts masked. */
            __asm__ volatile("wfi");
            __asm__ volatile("cpsie i");
            continue;
        }
        __asm__ volatile("cpsie i");
        while (ring_tail != ring_head) {
            const uint8_t byte = ring[ring_tail];
            ring_tail = (uint8_t)(ring_tail + 1u);
            iap_dev_feed(&dev, byte);
        }
    }
}
