// PLACEHOLDER: replaced by the real implementation
#include "core/tessera/tile_decoder.h"
uint32_t statsPadding; uint32_t statsBogus; int HasFirstTile;
byte_t leftoverData[kPixelPacketBytes]; int leftoverDataSize; int leftoverDataNeeded;
int ProcessVideoData(const byte_t *, int, int, bool_t) { __builtin_trap(); }
void takeStats(uint32_t *, uint32_t *) { __builtin_trap(); }
