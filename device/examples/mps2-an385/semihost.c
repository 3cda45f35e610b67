/* Semihosting calls (bkpt 0xAB) for the emulated board. See semihost.h. */
#include "semihost.h"

#define SYS_OPEN 0x01
#define SYS_CLOSE 0x02
#define SYS_WRITE0 0x04
#define SYS_WRITE 0x05
#define SYS_READ 0x06
#define SYS_SEEK 0x0A
#define SYS_FLEN 0x0C
#define SYS_GET_CMDLINE 0x15

char sh_flash_path[512];
char sh_out_path[512];

static int call(int op, void *arg)
{
    register int r0 __asm__("r0") = op;
    register void *r1 __asm__("r1") = arg;
    __asm__ volatile("bkpt 0xAB" : "+r"(r0) : "r"(r1) : "memory");
    return r0;
}

static uint32_t text_length(const char *text)
{
    uint32_t n = 0;
    while (text[n])
        ++n;
    return n;
}

/* One "<bytes>:<path>" field at `*at`; the path is copied into `path`. 0 when malformed. */
static int take_path(const char **at, const char *end, char *path, uint32_t room)
{
    const char *p = *at;
    uint32_t n = 0, i;
    while (p < end && *p >= '0' && *p <= '9' && n < room)
        n = n * 10u + (uint32_t)(*p++ - '0');
    if (p == end || *p != ':' || n >= room || (uint32_t)(end - p - 1) < n)
        return 0;
    ++p;
    for (i = 0; i < n; ++i)
        path[i] = p[i];
    path[n] = '\0';
    *at = p + n;
    return 1;
}

void sh_read_paths(void)
{
    static char line[1100];
    uint32_t block[2];
    const char *at = line;
    block[0] = (uint32_t)line;
    block[1] = sizeof line - 1;
    sh_flash_path[0] = sh_out_path[0] = '\0';
    if (call(SYS_GET_CMDLINE, block) != 0)
        return;
    if (!take_path(&at, line + block[1], sh_flash_path, sizeof sh_flash_path) ||
        !take_path(&at, line + block[1], sh_out_path, sizeof sh_out_path))
        sh_flash_path[0] = sh_out_path[0] = '\0';
}

int sh_open(const char *path, int mode)
{
    uint32_t block[3];
    block[0] = (uint32_t)path;
    block[1] = (uint32_t)mode;
    block[2] = text_length(path);
    return call(SYS_OPEN, block);
}

int sh_close(int handle)
{
    uint32_t block[1];
    block[0] = (uint32_t)handle;
    return call(SYS_CLOSE, block);
}

int sh_seek(int handle, uint32_t position)
{
    uint32_t block[2];
    block[0] = (uint32_t)handle;
    block[1] = position;
    return call(SYS_SEEK, block);
}

/* SYS_WRITE and SYS_READ answer the number of bytes NOT transferred. */
int sh_write(int handle, const void *bytes, uint32_t count)
{
    uint32_t block[3];
    block[0] = (uint32_t)handle;
    block[1] = (uint32_t)bytes;
    block[2] = count;
    return call(SYS_WRITE, block) == 0 ? 0 : -1;
}

int sh_read(int handle, void *bytes, uint32_t count)
{
    uint32_t block[3];
    block[0] = (uint32_t)handle;
    block[1] = (uint32_t)bytes;
    block[2] = count;
    return call(SYS_READ, block) == 0 ? 0 : -1;
}

int32_t sh_length(int handle)
{
    uint32_t block[1];
    block[0] = (uint32_t)handle;
    return call(SYS_FLEN, block);
}

void sh_print(const char *text)
{
    call(SYS_WRITE0, (void *)text);
}

void sh_print_number(uint32_t n)
{
    char digits[11];
    int at = 10;
    digits[10] = '\0';
    do {
        digits[--at] = (char)('0' + n % 10u);
        n /= 10u;
    } while (n != 0u);
    sh_print(digits + at);
}

void sh_print_hex(uint32_t n)
{
    char text[13];
    int i;
    text[0] = '"';
    text[1] = '0';
    text[2] = 'x';
    for (i = 0; i < 8; ++i)
        text[3 + i] = "0123456789abcdef"[(n >> (28 - 4 * i)) & 0xFu];
    text[11] = '"';
    text[12] = '\0';
    sh_print(text);
}

void sh_print_json_string(const char *text)
{
    char one[3];
    sh_print("\"");
    for (; *text; ++text) {
        if ((unsigned char)*text < 0x20u)
            continue;
        one[0] = '\\';
        one[1] = *text;
        one[2] = '\0';
        sh_print(*text == '"' || *text == '\\' ? one : one + 1);
    }
    sh_print("\"");
}
