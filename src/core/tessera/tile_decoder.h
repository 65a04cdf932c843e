// The tile-stream decoder: walks one buffer of the grabber's stream of 16x16
// RGB565 tiles and paints it into the frame store.
#pragma once

#include <stdint.h>

#include "common/basic.h"
#include "core/tessera/tile_format.h"

// Decoder counters and the first-tile flag, zero at load.
extern uint32_t statsPadding;
extern uint32_t statsBogus;
extern int HasFirstTile;

// The held packet: the beginning of a pixel packet that a buffer cut off.
extern byte_t leftoverData[kPixelPacketBytes];
extern int leftoverDataSize;
extern int leftoverDataNeeded;

// Decodes `data` from byte `pos` on. Returns the number of bytes, counted from
// offset 0, that are accounted for (decoded, skipped or held).
int ProcessVideoData(const byte_t *data, int datalen, int pos, bool_t saveLeftover);

// Hands out the two counters and sets them to 0.
void takeStats(uint32_t *padding, uint32_t *bogus);
