/* The tile-stream encoder: turns frames into the byte stream a grabber sends,
 * cut into bulk transfers. Used by tests, benchmarks, the fuzz corpora, the
 * usbdevfs stand-in, the USB gadget and the synthetic source of the capture
 * host (through ctypes, libtilestream.so). Plain C interface. */
#ifndef TILESTREAM_TILE_ENCODER_H
#define TILESTREAM_TILE_ENCODER_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct TsEncoder TsEncoder;

/* An encoder for frames of w x h pixels (1..1920 x 1..1600) that cuts its
 * output into transfers of transferBytes (a multiple of 512, e.g. 16384). */
TsEncoder *tsEncoderNew(int w, int h, int transferBytes);
void tsEncoderFree(TsEncoder *enc);

/* Queues one frame, `rgb565` being w x h words, row-major. Every tile whose
 * byte in `tileMask` (tilesWidth x tilesHeight bytes, row-major) is non-zero
 * is sent, all tiles when `tileMask` is NULL, in row-major order: a fill
 * packet when all the tile's pixels inside the frame are equal, else a pixel
 * packet (pixels outside the frame sent as 0). The first packet of the frame
 * carries the first-tile flag. The frame ends with a padding marker and filler
 * up to the next 512-byte boundary, unless it already ends on one. */
void tsEncoderPutFrame(TsEncoder *enc, const uint16_t *rgb565, const uint8_t *tileMask);

/* Bytes queued and not yet taken. */
size_t tsEncoderPending(const TsEncoder *enc);

/* Moves the next transfer (at most min(cap, transferBytes) bytes, never cutting
 * the stream anywhere but where a transfer would end) into `out` and returns its
 * length; 0 when nothing is queued. */
int tsEncoderTakeTransfer(TsEncoder *enc, uint8_t *out, int cap);

/* An animated test pattern in RGB565: colour bars, a moving box, a frame
 * counter and a black border, so that consecutive frames differ in some tiles
 * only and some tiles are uniform. */
void tsTestPattern(uint16_t *rgb565, int w, int h, int frameNumber);

/* The frame store's view of a frame: each RGB565 word as the 32-bit pixel the
 * decoder writes (bytes red, green, blue, 255; low bits zero). Written here
 * independently of the decoder, as the tests' oracle. */
void tsExpandFrame(const uint16_t *rgb565, int count, uint32_t *pixels);

#ifdef __cplusplus
}
#endif

#endif
