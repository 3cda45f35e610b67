/* Start-up for the mps2-an385 reference boot loader: vector table, zeroed .bss, and the
 * few memory functions the compiler may call on its own. No C library. */
#include <stddef.h>
#include <stdint.h>

extern uint32_t __bss_start[], __bss_end[], __stack_top[];
int main(void);
void uart0_rx_handler(void);
void systick_handler(void);

void reset_handler(void)
{
    uint32_t *p;
    for (p = __bss_start; p < __bss_end; ++p)
        *p = 0;
    main();
    for (;;) {
    }
}

static void fault_handler(void)
{
    for (;;) {
    }
}

/* The initial stack pointer shares the table with the handlers, as the hardware wants it. */
#pragma GCC diagnostic ignored "-Wpedantic"

/* Cortex-M3: 16 system entries, then the board's interrupts (UART0 receive is IRQ 0). */
__attribute__((section(".vectors"), used)) static void (*const vectors[17])(void) = {
    (void (*)(void))__stack_top,
    reset_handler,
    fault_handler, /* NMI */
    fault_handler, /* HardFault */
    fault_handler, /* MemManage */
    fault_handler, /* BusFault */
    fault_handler, /* UsageFault */
    0,
    0,
    0,
    0,
    fault_handler, /* SVCall */
    fault_handler, /* DebugMonitor */
    0,
    fault_handler, /* PendSV */
    systick_handler,
    uart0_rx_handler,
};

void *memset(void *dest, int value, size_t count)
{
    unsigned char *d = dest;
    while (count--)
        *d++ = (unsigned char)value;
    return dest;
}

void *memcpy(void *dest, const void *src, size_t count)
{
    unsigned char *d = dest;
    const unsigned char *s = src;
    while (count--)
        *d++ = *s++;
    return dest;
}
