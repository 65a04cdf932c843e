// Housekeeping of the host's recording files: the head record and the
// numbered chunk files.
#pragma once

#include <stdint.h>

#include <string>

#include "common/basic.h"

extern "C" {
TESSERA_EXPORT void int2str(int i, char *s);
}

enum class RecordingStatus {
    ok,
    argsOutOfRange,  // short head record, negative file numbers, or a path too long
    zeroDivisor,     // the head record's divisor word is 0
};

struct HeadRecord {
    uint32_t headfile, filesnum, quotient;
};

RecordingStatus findrechead(const byte_t *record, int len, HeadRecord *head);

// Deletes dirname<sep>N.out for N from prehead up to curhead - 1.
RecordingStatus removefiles(const char *dirname, int prehead, int curhead, int macflag,
                            std::string *lastPath, int *count);
