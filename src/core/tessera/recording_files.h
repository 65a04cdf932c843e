// Housekeeping of the host's recording files: the head record and the
// numbered chunk files.
#pragma once

#include <stdint.h>

#include <string>

#include "common/basic.h"

// A path, its terminating NUL included, fits in this many bytes.
constexpr int kPathBufferBytes = 200;
constexpr int kHeadRecordBytes = 12;

extern "C" {
// Writes i as "%d" does into s, which holds at least 12 bytes.
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

// Decodes the first 12 bytes of `record`: three little-endian words, the
// third dividing the second.
RecordingStatus findrechead(const byte_t *record, int len, HeadRecord *head);

// Deletes dirname<sep>N.out for N from prehead up to curhead - 1, in that
// order, ignoring files that cannot be removed. The directory is `dirname` up
// to its first NUL within `dirlen` bytes; the separator is '/' when macflag is
// 1, else a backslash. Hands back the last path tried (empty when none was)
// and curhead - prehead. Refuses, before deleting anything, negative file
// numbers and any path longer than kPathBufferBytes - 1 characters.
RecordingStatus removefiles(const char *dirname, int dirlen, int prehead, int curhead, int macflag,
                            std::string *lastPath, int *count);
