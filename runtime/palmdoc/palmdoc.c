/* PalmDOC compression with calibre's choices, found through a hash chain (see palmdoc.h). */

#include "palmdoc.h"

#include <stdlib.h>
#include <string.h>

enum {
    MAX_DISTANCE = 2047,
    MIN_REPEAT = 3,
    MAX_REPEAT = 10,
    /* Repeats are looked for only after the first EDGE bytes and before the last EDGE. */
    EDGE = 10,
    HASH_BITS = 12,
};

static unsigned hash3(const uint8_t* p) {
    const uint32_t key = ((uint32_t)p[0] << 16) | ((uint32_t)p[1] << 8) | p[2];
    return (unsigned)((key * 2654435761u) >> (32 - HASH_BITS));
}

/* Bytes that stand for themselves; the others are copied in runs. */
static int stands_alone(uint8_t c) {
    return c == 0 || (c > 8 && c < 0x80);
}

size_t bq_palmdoc_compress_bound(size_t size) {
    return 2 * size;
}

size_t bq_palmdoc_compress(const uint8_t* in, size_t size, uint8_t* out) {
    /* head: the latest indexed position of each hash (-1: none); chain[p]: the position indexed
     * before p with p's hash. Positions are indexed up to 3 bytes before the current one, so a
     * repeat found through the chain lies wholly before it. */
    int32_t head[1 << HASH_BITS];
    int32_t* chain = NULL;
    if (size > (size_t)INT32_MAX) {
        return SIZE_MAX;
    }
    if (size > 2 * EDGE) {
        chain = malloc(size * sizeof *chain);
        if (chain == NULL) {
            return SIZE_MAX;
        }
    }
    memset(head, 0xff, sizeof head);
    size_t i = 0;
    size_t o = 0;
    size_t indexed = 0; /* the first position not yet in the chain */
    while (i < size) {
        if (i > EDGE && size - i > EDGE) {
            for (; indexed + MIN_REPEAT <= i; ++indexed) {
                const unsigned h = hash3(in + indexed);
                chain[indexed] = head[h];
                head[h] = (int32_t)indexed;
            }
            /* Nearest first: the first position reaching a length is the nearest of it. */
            size_t best = 0;
            size_t best_distance = 0;
            for (int32_t j = head[hash3(in + i)]; j >= 0; j = chain[j]) {
                const size_t distance = i - (size_t)j;
                if (distance > MAX_DISTANCE) {
                    break;
                }
                const size_t limit = distance < MAX_REPEAT ? distance : MAX_REPEAT;
                if (limit <= best) {
                    continue;
                }
                size_t n = 0;
                while (n < limit && in[(size_t)j + n] == in[i + n]) {
                    ++n;
                }
                if (n >= MIN_REPEAT && n > best) {
                    best = n;
                    best_distance = distance;
                    if (best == MAX_REPEAT) {
                        break;
                    }
                }
            }
            if (best > 0) {
                const unsigned code = (unsigned)((best_distance << 3) + best - MIN_REPEAT);
                out[o++] = (uint8_t)(0x80 + (code >> 8));
                out[o++] = (uint8_t)(code & 0xff);
                i += best;
                continue;
            }
        }
        const uint8_t c = in[i++];
        if (c == ' ' && i < size && in[i] >= 0x40 && in[i] <= 0x7f) {
            out[o++] = (uint8_t)(in[i++] ^ 0x80);
            continue;
        }
        if (stands_alone(c)) {
            out[o++] = c;
            continue;
        }
        /* A run of bytes to copy: this one and up to 7 more that cannot stand alone. */
        size_t run = 1;
        while (i - 1 + run < size && run < 8 && !stands_alone(in[i - 1 + run])) {
            ++run;
        }
        out[o++] = (uint8_t)run;
        memcpy(out + o, in + i - 1, run);
        o += run;
        i += run - 1;
    }
    free(chain);
    return o;
}

size_t bq_palmdoc_decompress_bound(size_t size) {
    /* A code byte gives at most 8 bytes (a run cut off by the end); a repeat's two give 10. */
    return 8 * size;
}

size_t bq_palmdoc_decompress(const uint8_t* in, size_t size, uint8_t* out) {
    size_t i = 0;
    size_t o = 0;
    while (i < size) {
        const unsigned c = in[i++];
        if (c >= 1 && c <= 8) {
            for (unsigned k = 0; k < c; ++k, ++i) {
                out[o++] = i < size ? in[i] : 0;
            }
        } else if (c <= 0x7f) {
            out[o++] = (uint8_t)c;
        } else if (c >= 0xc0) {
            out[o++] = ' ';
            out[o++] = (uint8_t)(c ^ 0x80);
        } else {
            const unsigned code = (c << 8) + (i < size ? in[i] : 0u);
            ++i;
            const size_t distance = (code & 0x3fff) >> 3;
            for (unsigned n = (code & 7) + MIN_REPEAT; n > 0; --n, ++o) {
                out[o] = distance > 0 && distance <= o ? out[o - distance] : 0;
            }
        }
    }
    return o;
}
