// Live intake and playback of the tile stream, with a packet cut off at the
// end of one buffer completed from the next.
#pragma once

#include "common/basic.h"

// Size of the header in front of a recorded chunk.
constexpr int kChunkHeaderBytes = 16;

enum class IntakeStatus {
    ok,
    argsOutOfRange,        // bad length or offset, or a chunk header the module never writes
    leftoverInconsistent,  // more bytes held than the held packet needs; the state is reset
};

struct SinkResult {
    int ret;       // 0: the buffer was decoded to its end; 1: it was not
    int hasfirst;  // the first-tile flag, cleared by the call
};

struct ChunkSize {
    int w;
    int h;
};

IntakeStatus videoSink(const byte_t *data, int datalen, int pos, SinkResult *result);
IntakeStatus playvideo(const byte_t *chunk, int chunklen, int offset, ChunkSize *size);
