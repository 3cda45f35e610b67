/*
 * iap_app: the application's half of an upgrade on request, in portable C99.
 *
 * A running application hears the host on its own UART long before any boot loader would:
 * feed iap_app_feed every byte that UART receives, and when the bytes end in a valid update
 * request (F1 01 ..., 12 bytes) or a capability question (F1 03 00 00, 8 bytes), each with
 * its CRC-32, `enter` is called: the port's way into the boot loader (on the reference board
 * a magic word in RAM that no start-up code clears, then a system reset). The host repeats
 * its request every 50 ms (its question every 100 ms), so the boot loader answers the next
 * copy; nothing changes on the host.
 *
 * Freestanding: no heap, no C library, only <stdint.h>; 13 bytes of state, no other data.
 * Frames are defined in iap_wire.h.
 */
#ifndef IAP_APP_H
#define IAP_APP_H

#include "iap_wire.h"

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct iap_app
{
    void (*enter)(void *user); /* into the boot loader; it need not return */
    void *user;
    uint8_t last[IAP_WIRE_REQUEST_BYTES]; /* the bytes received last, the oldest first */
} iap_app;

/* Starts with nothing heard. */
void iap_app_init(iap_app *app, void (*enter)(void *user), void *user);

/* One byte received on the application's UART. Calls `enter` when it completes a request
 * or a capability question. */
void iap_app_feed(iap_app *app, uint8_t byte);

#ifdef __cplusplus
}
#endif

#endif /* IAP_APP_H */
