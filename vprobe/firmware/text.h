// Text for the firmware's lines, without a C library.
#pragma once

#include <stdint.h>

// Copies text (without its NUL) to `to`; the bytes written.
static inline uint32_t put_text(char *to, const char *text)
{
    uint32_t n = 0;
    while (text[n]) {
        to[n] = text[n];
        n++;
    }
    return n;
}

// v in decimal at `to`; the digits written (at most 10).
static inline uint32_t put_decimal(char *to, uint32_t v)
{
    char digits[10];
    uint32_t n = 0, len = 0;
    do {
        digits[n++] = (char)('0' + v % 10u);
        v /= 10u;
    } while (v != 0);
    while (n > 0)
        to[len++] = digits[--n];
    return len;
}

// "<prefix><v>\n" into line; its length.
static inline uint32_t numbered_line(char *line, const char *prefix, uint32_t v)
{
    uint32_t len = put_text(line, prefix);
    len += put_decimal(line + len, v);
    line[len++] = '\n';
    return len;
}
