// Proves that the sanitizer build really is one: each mode commits the fault it names, and
// ctest expects the sanitizer's report. Registered only when IAP_SANITIZE is on.
#include <climits>
#include <cstdio>
#include <cstring>

int main(int argc, char **argv)
{
    if (argc < 2)
        return 2;
    if (std::strcmp(argv[1], "heap-overflow") == 0) {
        volatile int n = 8;
        char *p = new char[n];
        volatile char c = p[n]; // one past the end
        delete[] p;
        return c == 0x7F ? 3 : 0;
    }
    if (std::strcmp(argv[1], "signed-overflow") == 0) {
        volatile int big = INT_MAX;
        volatile int sum = big + argc; // argc >= 2: overflows
        return sum == 0 ? 3 : 0;
    }
    if (std::strcmp(argv[1], "leak") == 0) {
        char *volatile p = new char[64];
        p = nullptr;
        (void)p;
        return 0;
    }
    return 2;
}
