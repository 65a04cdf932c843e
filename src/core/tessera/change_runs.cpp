#include "core/tessera/change_runs.h"

#include <string.h>

#include <algorithm>

#include "core/tessera/frame_store.h"

RunsStatus getChanges(int ty, int tw, RunSink sink, void *context) {
    if (ty < 0 || ty >= tilesHeight || tw < 0) return RunsStatus::argsOutOfRange;
    if (!changedArray) return RunsStatus::ok;
    const int first = ty * tilesWidth;
    // The window may run on into later rows, but not past the array.
    const int len = std::min(tw, tilesWidth * tilesHeight - first);
    uint8_t *window = changedArray + first;
    // Marks are only ever 0 or 1, so the next 1 starts the next run and the
    // next 0 (found by strnlen) ends it.
    int i = 0;
    while (const void *mark = memchr(window + i, 1, len - i)) {
        const int start = static_cast<const uint8_t *>(mark) - window;
        const int runLen = strnlen(reinterpret_cast<const char *>(window + start), len - start);
        // Cleared before it is handed over, as the scan passes it: a run that
        // the sink refuses is lost, those after it stay marked.
        memset(window + start, 0, runLen);
        if (!sink(context, start, runLen)) return RunsStatus::sinkFailed;
        i = start + runLen;
    }
    return RunsStatus::ok;
}
