// The exact 16.16 fixed-point box-filter shrink of rectangles of 4-byte pixels.
#pragma once

#include "common/basic.h"

extern "C" {
TESSERA_EXPORT void imageShrinkX(const byte_t *srcptr, int srcwidth, int srcheight, int srcpitch,
                                 byte_t *destptr, int destwidth, int destpitch);
TESSERA_EXPORT void imageShrinkY(const byte_t *srcptr, int srcwidth, int srcheight, int srcpitch,
                                 byte_t *destptr, int destheight, int destpitch);
}
