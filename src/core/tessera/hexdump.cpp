#include "core/tessera/hexdump.h"

#include <ctype.h>
#include <stdio.h>

void hexDump(const void *d, int len, bool_t showAddr) {
    const byte_t *bytes = static_cast<const byte_t *>(d);
    // 64-bit, so that stepping past a length near INT_MAX cannot overflow.
    for (int64_t offset = 0; offset < len; offset += 16) {
        if (showAddr)
            printf("%p: ", static_cast<const void *>(bytes + offset));
        else
            printf("%03x: ", unsigned(offset));
        for (int k = 0; k < 16; ++k) {
            const bool present = offset + k < len;
            if (present)
                printf("%02x ", bytes[offset + k]);
            else
                fputs("   ", stdout);
            if (k == 7) fputs(present ? "- " : "  ", stdout);
        }
        fputs("  ", stdout);
        for (int k = 0; k < 16 && offset + k < len; ++k) {
            const byte_t c = bytes[offset + k];
            // isprint alone would let a locale pass bytes above 0x7F.
            putchar(c < 0x80 && isprint(c) ? c : '.');
        }
        putchar('\n');
    }
}
