/* calibre's PalmDOC algorithm, ported straight (see control.h). */

#include "control.h"

#include <stdbool.h>

static bool same(const uint8_t* a, const uint8_t* b, size_t length) {
    for (size_t i = 0; i < length; i++) {
        if (a[i] != b[i]) {
            return false;
        }
    }
    return true;
}

/* The nearest earlier start of the length bytes at pos that ends before pos, or pos. */
static size_t rfind(const uint8_t* data, size_t pos, size_t length) {
    for (size_t i = pos - length + 1; i-- > 0;) {
        if (same(data + i, data + pos, length)) {
            return i;
        }
    }
    return pos;
}

size_t control_compress(const uint8_t* in, size_t size, uint8_t* out) {
    size_t i = 0;
    size_t o = 0;
    while (i < size) {
        uint8_t c = in[i];
        if (i > 10 && size - i > 10) {
            bool found = false;
            for (size_t length = 10; length > 2; length--) {
                const size_t j = rfind(in, i, length);
                const size_t distance = i - j;
                if (j < i && distance <= 2047) {
                    found = true;
                    const unsigned compound = (unsigned)((distance << 3) + length - 3);
                    out[o++] = (uint8_t)(0x80 + (compound >> 8));
                    out[o++] = (uint8_t)(compound & 0xff);
                    i += length;
                    break;
                }
            }
            if (found) {
                continue;
            }
        }
        i++;
        if (c == 32 && i < size) {
            const uint8_t n = in[i];
            if (n >= 0x40 && n <= 0x7f) {
                out[o++] = (uint8_t)(n ^ 0x80);
                i++;
                continue;
            }
        }
        if (c == 0 || (c > 8 && c < 0x80)) {
            out[o++] = c;
        } else {
            uint8_t temp[8];
            size_t count = 1;
            size_t j = i;
            temp[0] = c;
            while (j < size && count < 8) {
                c = in[j];
                if (c == 0 || (c > 8 && c < 0x80)) {
                    break;
                }
                temp[count++] = c;
                j++;
            }
            i += count - 1;
            out[o++] = (uint8_t)count;
            for (j = 0; j < count; j++) {
                out[o++] = temp[j];
            }
        }
    }
    return o;
}

size_t control_decompress(const uint8_t* in, size_t size, uint8_t* out) {
    size_t i = 0;
    size_t o = 0;
    while (i < size) {
        unsigned c = in[i++];
        if (c >= 1 && c <= 8) {
            while (c--) {
                out[o++] = i < size ? in[i] : 0;
                i++;
            }
        } else if (c <= 0x7f) {
            out[o++] = (uint8_t)c;
        } else if (c >= 0xc0) {
            out[o++] = ' ';
            out[o++] = (uint8_t)(c ^ 0x80);
        } else {
            c = (c << 8) + (i < size ? in[i] : 0u);
            i++;
            const size_t di = (c & 0x3fff) >> 3;
            for (unsigned n = (c & 7) + 3; n--; ++o) {
                out[o] = (di > 0 && di <= o) ? out[o - di] : 0;
            }
        }
    }
    return o;
}
