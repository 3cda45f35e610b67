/* The example application for the reference boot loader on QEMU's mps2-an385 board. It
 * prints one banner on UART0, the port it was flashed through, and then sleeps:
 *   example application VERSION, vector table at 0x00010000
 * The boot loader leaves UART0 configured, so nothing is set up here; an application that
 * can also start without the boot loader would set the baud rate itself. VERSION is given
 * when it is built (build.sh OUTDIR VERSION). */
#include <stdint.h>

#ifndef APP_VERSION
#define APP_VERSION "0"
#endif

#define UART0_DATA (*(volatile uint32_t *)0x40004000u)
#define UART0_STATE (*(volatile uint32_t *)0x40004004u)
#define UART_STATE_TXFULL 0x1u
#define SCB_VTOR (*(volatile uint32_t *)0xE000ED08u)

extern uint32_t __data_start[], __data_end[], __data_load[], __bss_start[], __bss_end[],
    __stack_top[];

/* In .data on purpose: the banner shows that the reset handler copied the initial values. */
static char banner[] = "example application " APP_VERSION ", vector table at 0x";

static void put(char c)
{
    while (UART0_STATE & UART_STATE_TXFULL) {
    }
    UART0_DATA = (uint8_t)c;
}

static void print(const char *text)
{
    while (*text)
        put(*text++);
}

static void print_hex(uint32_t n)
{
    int i;
    for (i = 28; i >= 0; i -= 4)
        put("0123456789abcdef"[(n >> i) & 0xFu]);
}

void app_reset(void)
{
    uint32_t *d = __data_start;
    const uint32_t *s = __data_load;
    while (d < __data_end)
        *d++ = *s++;
    for (d = __bss_start; d < __bss_end; ++d)
        *d = 0;
    print(banner);
    print_hex(SCB_VTOR);
    print("\r\n");
    for (;;)
        __asm__ volatile("wfi");
}

static void app_fault(void)
{
    for (;;) {
    }
}

/* The initial stack pointer shares the table with the handlers, as the hardware wants it. */
#pragma GCC diagnostic ignored "-Wpedantic"

__attribute__((section(".vectors"), used)) static void (*const vectors[16])(void) = {
    (void (*)(void))__stack_top,
    app_reset,
    app_fault, /* NMI */
    app_fault, /* HardFault */
    app_fault, /* MemManage */
    app_fault, /* BusFault */
    app_fault, /* UsageFault */
    0,
    0,
    0,
    0,
    app_fault, /* SVCall */
    app_fault, /* DebugMonitor */
    0,
    app_fault, /* PendSV */
    app_fault, /* SysTick */
};
