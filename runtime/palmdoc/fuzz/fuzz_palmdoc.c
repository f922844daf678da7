/* Fuzz target: the program's PalmDOC compressor against calibre's algorithm (control.c) on the
 * input as one record, byte for byte; the round trip; and the input read as compressed data by
 * both decompressors. Built for libFuzzer with clang, and into a standalone runner over the
 * seeds otherwise. Aborts at the first difference. */

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "control.h"
#include "palmdoc.h"

int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

/* The control scans backwards over the whole input: longer inputs are left to the round trip. */
enum { CONTROL_LIMIT = 16384 };

static void fail(const char* what, size_t size) {
    fprintf(stderr, "palmdoc: %s (input of %zu bytes)\n", what, size);
    abort();
}

/* Exact-size copies, so that the sanitizers see any read past the end. */
static uint8_t* copy_of(const uint8_t* data, size_t size) {
    uint8_t* copy = malloc(size > 0 ? size : 1);
    if (copy == NULL) {
        fail("out of memory", size);
    }
    if (size > 0) {
        memcpy(copy, data, size);
    }
    return copy;
}

int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    uint8_t* in = copy_of(data, size);
    uint8_t* packed = malloc(bq_palmdoc_compress_bound(size) + 1);
    uint8_t* unpacked = malloc(bq_palmdoc_decompress_bound(bq_palmdoc_compress_bound(size)) + 1);
    if (packed == NULL || unpacked == NULL) {
        fail("out of memory", size);
    }
    const size_t length = bq_palmdoc_compress(in, size, packed);
    if (length == SIZE_MAX || length > bq_palmdoc_compress_bound(size)) {
        fail("compressing failed", size);
    }
    if (size <= CONTROL_LIMIT) {
        uint8_t* expected = malloc(2 * size + 1);
        if (expected == NULL) {
            fail("out of memory", size);
        }
        const size_t expected_length = control_compress(in, size, expected);
        if (expected_length != length || memcmp(expected, packed, length) != 0) {
            fail("compressed bytes differ from calibre's", size);
        }
        free(expected);
    }
    uint8_t* exact = copy_of(packed, length);
    const size_t back = bq_palmdoc_decompress(exact, length, unpacked);
    if (back != size || (size > 0 && memcmp(unpacked, in, size) != 0)) {
        fail("decompressing the compressed bytes does not give the input", size);
    }
    free(exact);

    /* The input as compressed data, well-formed or not. */
    uint8_t* ours = malloc(bq_palmdoc_decompress_bound(size) + 1);
    uint8_t* theirs = malloc(8 * size + 1);
    if (ours == NULL || theirs == NULL) {
        fail("out of memory", size);
    }
    const size_t ours_length = bq_palmdoc_decompress(in, size, ours);
    const size_t theirs_length = control_decompress(in, size, theirs);
    if (ours_length != theirs_length || memcmp(ours, theirs, ours_length) != 0) {
        fail("decompressed bytes differ from calibre's", size);
    }
    free(ours);
    free(theirs);
    free(unpacked);
    free(packed);
    free(in);
    return 0;
}
