#include "core/tessera/recording_files.h"

#include <stdio.h>
#include <string.h>

namespace {

// Enough for the text of any int and its NUL.
constexpr int kNumberBufferBytes = 20;
const char kSuffix[] = ".out";
constexpr int kSuffixLength = sizeof(kSuffix) - 1;

uint32_t wordAt(const byte_t *p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

}  // namespace

void int2str(int i, char *s) {
    snprintf(s, 12, "%d", i);
}

RecordingStatus findrechead(const byte_t *record, int len, HeadRecord *head) {
    if (!record || len < kHeadRecordBytes) return RecordingStatus::argsOutOfRange;
    const uint32_t divisor = wordAt(record + 8);
    if (divisor == 0) return RecordingStatus::zeroDivisor;
    head->headfile = wordAt(record);
    head->filesnum = wordAt(record + 4);
    head->quotient = head->filesnum / divisor;
    return RecordingStatus::ok;
}

RecordingStatus removefiles(const char *dirname, int dirlen, int prehead, int curhead, int macflag,
                            std::string *lastPath, int *count) {
    // A negative number would read as a file number near 2^32 and start a run
    // of billions of deletions.
    if (!dirname || dirlen < 0 || prehead < 0 || curhead < 0)
        return RecordingStatus::argsOutOfRange;
    const void *nul = memchr(dirname, 0, dirlen);
    const size_t nameLength = nul ? static_cast<const char *>(nul) - dirname : size_t(dirlen);

    lastPath->clear();
    *count = curhead - prehead;
    if (prehead >= curhead) return RecordingStatus::ok;

    // The last number has the most digits, so its path is the longest: check
    // it before anything is deleted.
    char number[kNumberBufferBytes];
    int2str(curhead - 1, number);
    if (nameLength + 1 + strlen(number) + kSuffixLength >= size_t(kPathBufferBytes))
        return RecordingStatus::argsOutOfRange;

    char path[kPathBufferBytes];
    memcpy(path, dirname, nameLength);
    path[nameLength] = macflag == 1 ? '/' : '\\';
    char *const numberAt = path + nameLength + 1;
    for (uint32_t n = uint32_t(prehead); n < uint32_t(curhead); ++n) {
        int2str(int(n), number);
        const size_t digits = strlen(number);
        memcpy(numberAt, number, digits);
        memcpy(numberAt + digits, kSuffix, kSuffixLength + 1);
        remove(path);
    }
    lastPath->assign(path);
    return RecordingStatus::ok;
}
