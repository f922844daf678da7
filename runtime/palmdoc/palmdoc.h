/* PalmDOC compression as the MOBI writer's text records use it.
 *
 * A compressed record is a sequence of codes:
 *   0x00, 0x09-0x7F   that byte itself
 *   0x01-0x08         that many bytes follow, copied as they are (bytes 0x01-0x08, 0x80-0xFF)
 *   0x80-0xBF + byte  a repeat: 14 bits, the distance back (1-2047) in the upper 11 and the
 *                     length minus 3 (3-10 bytes) in the lower 3
 *   0xC0-0xFF         a space followed by the byte XOR 0x80 (0x40-0x7F)
 *
 * bq_palmdoc_compress makes the same choices as calibre's compressor (cPalmdoc), so its output
 * is the same bytes: at every position after the 11th and more than 10 bytes before the end, the
 * longest repeat (10 down to 3 bytes) that lies wholly before the position and starts at most
 * 2047 bytes back, the nearest one among those of that length; otherwise a space pair, a byte
 * of its own, or a run of up to 8 bytes that must be copied. The repeats are found through a
 * hash chain of the earlier positions instead of a backwards scan. */

#ifndef BQ_PALMDOC_H
#define BQ_PALMDOC_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The most bytes compressing size bytes can give (every byte a copied run of its own). */
size_t bq_palmdoc_compress_bound(size_t size);

/* Compresses size bytes into out, which holds bq_palmdoc_compress_bound(size) bytes. Gives the
 * compressed length, or SIZE_MAX when the index cannot be allocated. */
size_t bq_palmdoc_compress(const uint8_t* in, size_t size, uint8_t* out);

/* The most bytes decompressing size bytes can give. */
size_t bq_palmdoc_decompress_bound(size_t size);

/* Decompresses size bytes into out, which holds bq_palmdoc_decompress_bound(size) bytes, and
 * gives the decompressed length. Input that calibre's decompressor reads beyond (a copied run or
 * repeat cut off by the end, a repeat reaching back before the start or by distance 0) gives the
 * same length as there, with zero bytes where calibre's would read memory it never wrote. */
size_t bq_palmdoc_decompress(const uint8_t* in, size_t size, uint8_t* out);

#ifdef __cplusplus
}
#endif

#endif
