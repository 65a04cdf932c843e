// Runs of changed tiles in a window of the changed array.
#pragma once

enum class RunsStatus {
    ok,
    argsOutOfRange,  // no such tile row, or a negative window
    sinkFailed,      // the sink refused a run; the marks scanned so far stay cleared
};

// Receives one run; returns false to stop the scan.
using RunSink = bool (*)(void *context, int start, int len);

// Reports the maximal runs of marked tiles among the `tw` bytes that start at
// tile row `ty`, in increasing order, clearing every byte it reports. A window
// that runs past the end of the array is cut at the end.
RunsStatus getChanges(int ty, int tw, RunSink sink, void *context);
