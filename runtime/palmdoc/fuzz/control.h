/* calibre's PalmDOC compressor and decompressor as calibre writes them (cPalmdoc), ported
 * straight with its backwards scan, as the control the program's own is compared with. Where
 * calibre's decompressor reads memory it never wrote, this one reads zero bytes. */

#ifndef BQ_PALMDOC_CONTROL_H
#define BQ_PALMDOC_CONTROL_H

#include <stddef.h>
#include <stdint.h>

/* out holds 2 * size bytes; gives the compressed length. */
size_t control_compress(const uint8_t* in, size_t size, uint8_t* out);

/* out holds 8 * size bytes; gives the decompressed length. */
size_t control_decompress(const uint8_t* in, size_t size, uint8_t* out);

#endif
