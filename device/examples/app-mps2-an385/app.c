/* The example application for the reference boot loader on QEMU's mps2-an385 board. It
 * prints one banner on UART0, the port it was flashed through, and then sleeps:
 *   example application VERSION, vector table at 0x00010000
 * and listens on the same port: an update request (or the capability question) from the
 * host hands over to the boot loader (device/iap_app.h), so a running board is upgraded
 * without a hand on its reset button.
 * The boot loader leaves UART0 configured, so nothing is set up here but its receive
 * interrupt; an application that can also start without the boot loader would set the baud
 * rate itself. VERSION is given when it is built (build.sh OUTDIR VERSION). */
#include "board.h"
#include "iap_app.h"

#include <stdint.h>

#ifndef APP_VERSION
#define APP_VERSION "0"
#endif

#define UART0_DATA (*(volatile uint32_t *)0x40004000u)
#define UART0_STATE (*(volatile uint32_t *)0x40004004u)
#define UART0_CTRL (*(volatile uint32_t *)0x40004008u)
#define UART0_INTCLEAR (*(volatile uint32_t *)0x4000400Cu)
#define UART_STATE_TXFULL 0x1u
#define UART_STATE_RXFULL 0x2u
#define UART_CTRL_RXINT 0x8u
#define UART_INT_RX 0x2u
#define NVIC_ISER0 (*(volatile uint32_t *)0xE000E100u)
#define SCB_VTOR (*(volatile uint32_t *)0xE000ED08u)
#define SCB_AIRCR (*(volatile uint32_t *)0xE000ED0Cu)
#define AIRCR_SYSRESETREQ 0x05FA0004uL /* the key, and the request */

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

static iap_app handover;

/* Into the boot loader: the word it looks for at power-on, then a system reset. */
static void enter_boot_loader(void *user)
{
    (void)user;
    *(volatile uint32_t *)HANDOVER_ADDR = HANDOVER_MAGIC;
    __asm__ volatile("dsb" ::: "memory");
    SCB_AIRCR = AIRCR_SYSRESETREQ;
    __asm__ volatile("dsb" ::: "memory");
    for (;;) {
    }
}

static void uart0_rx(void)
{
    UART0_INTCLEAR = UART_INT_RX;
    while (UART0_STATE & UART_STATE_RXFULL)
        iap_app_feed(&handover, (uint8_t)UART0_DATA);
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
    iap_app_init(&handover, enter_boot_loader, 0);
    UART0_CTRL |= UART_CTRL_RXINT;
    /* A byte that came before the interrupt was enabled raised none, and the receiver takes
     * nothing more while it holds it: taken here, before the interrupt can run. */
    uart0_rx();
    NVIC_ISER0 = 1u << 0; /* UART0 receive */
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

__attribute__((section(".vectors"), used)) static void (*const vectors[17])(void) = {
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
    uart0_rx,  /* IRQ 0: UART0 receive */
};
