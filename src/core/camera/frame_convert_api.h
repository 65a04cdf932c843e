/* The frame conversion as a plain C interface (libframeconvert.so), for a
 * V4L2 output sink reached through ctypes. Formats are V4L2 pixel-format
 * codes: 0x56595559 ("YUYV") and 0x33424752 ("RGB3"). */
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "common/basic.h"

extern "C" {

/* Converts a width x height frame of 32-bit pixels (bytes R, G, B, X), rows
 * srcStride bytes apart in the srcSize bytes at src, into dst (dstSize bytes,
 * rows dstStride apart). Returns 0, or -1 without writing anything when an
 * argument is bad: an unknown format, a null pointer, a size below 1, a stride
 * shorter than its row, a frame that does not fit in its buffer, or buffers
 * that overlap. */
TESSERA_EXPORT int fcConvert(uint32_t format, const void *src, size_t srcSize, int srcStride,
                             void *dst, size_t dstSize, int dstStride, int width, int height);

/* The bytes of a width x height frame in `format` with rows packed, and the
 * row length in *stride (when stride is not null); -1 for bad arguments. */
TESSERA_EXPORT int64_t fcFrameBytes(uint32_t format, int width, int height, int *stride);

/* The instruction set of the rows in use: "sse2" or "avx2". */
TESSERA_EXPORT const char *fcKernelName(void);
}
