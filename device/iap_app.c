/* iap_app: the application's half of an upgrade on request. See iap_app.h. */
#include "iap_app.h"

#define LAST IAP_WIRE_REQUEST_BYTES
#define QUESTION_AT (LAST - IAP_WIRE_QUESTION_BYTES)

/* Whether the `count` bytes at `p` are followed by their CRC-32/ISO-HDLC (big-endian), a
 * bit at a time. */
static int crc_holds(const uint8_t *p, uint_fast8_t count)
{
    uint32_t crc = 0xFFFFFFFFuL;
    const uint8_t *t = p + count;
    while (count--) {
        uint_fast8_t bit = 8u;
        crc ^= *p++;
        do
            crc = crc & 1u ? crc >> 1 ^ IAP_WIRE_CRC32_POLY : crc >> 1;
        while (--bit);
    }
    crc = ~crc;
    return t[0] == (uint8_t)(crc >> 24) && t[1] == (uint8_t)(crc >> 16) &&
           t[2] == (uint8_t)(crc >> 8) && t[3] == (uint8_t)crc;
}

void iap_app_init(iap_app *app, void (*enter)(void *user), void *user)
{
    uint_fast8_t i;
    app->enter = enter;
    app->user = user;
    for (i = 0; i < LAST; ++i)
        app->last[i] = 0;
}

void iap_app_feed(iap_app *app, uint8_t byte)
{
    uint8_t *const b = app->last;
    uint_fast8_t i;
    for (i = 0; i + 1u < LAST; ++i)
        b[i] = b[i + 1u];
    b[LAST - 1u] = byte;
    if ((b[0] == IAP_WIRE_START && b[1] == IAP_WIRE_REQUEST &&
         crc_holds(b, LAST - IAP_WIRE_TRAILER)) ||
        (b[QUESTION_AT] == IAP_WIRE_START && b[QUESTION_AT + 1u] == IAP_WIRE_CAPABILITY_QUESTION &&
         crc_holds(b + QUESTION_AT, IAP_WIRE_QUESTION_BYTES - IAP_WIRE_TRAILER)))
        app->enter(app->user);
}
