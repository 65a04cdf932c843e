#pragma once

#include "common/basic.h"

extern "C" {
// Prints `len` bytes at `d` to standard output as a hex dump, 16 bytes a line.
TESSERA_EXPORT void hexDump(const void *d, int len, bool_t showAddr);
}
