/* Semihosting on the emulated board: the host's files and the board's console (QEMU's
 * semihosting chardev, which qemu-board.sh copies to its standard output). */
#ifndef SEMIHOST_H
#define SEMIHOST_H

#include <stdint.h>

/* The two paths on the semihosting command line, each "<bytes>:<path>", the flash file first
 * and the --out file second; an empty path is "0:". NUL-terminated, "" when absent. */
extern char sh_flash_path[512];
extern char sh_out_path[512];
void sh_read_paths(void);

/* Files: a handle >= 0, or -1. The others return 0 on success. */
int sh_open(const char *path, int mode);
int sh_close(int handle);
int sh_seek(int handle, uint32_t position);
int sh_write(int handle, const void *bytes, uint32_t count);
int sh_read(int handle, void *bytes, uint32_t count);
int32_t sh_length(int handle);
#define SH_READ_BINARY 1     /* "rb" */
#define SH_UPDATE_BINARY 3   /* "r+b": read and write, never truncated */
#define SH_TRUNCATE_BINARY 5 /* "wb" */

/* The console: text, numbers, JSON strings (quotes and backslashes escaped, control
 * characters dropped), and the end of a line. */
void sh_print(const char *text);
void sh_print_number(uint32_t n);
void sh_print_hex(uint32_t n); /* "0x" and eight digits, in quotes: a JSON string */
void sh_print_json_string(const char *text);

#endif /* SEMIHOST_H */
