#include "core/tessera/stream_intake.h"

#include <string.h>

#include <algorithm>

#include "core/tessera/tile_decoder.h"

namespace {

bool rangeOk(int len, int pos) {
    return len >= 0 && pos >= 0 && pos <= len;
}

// Completes the held packet from up to `avail` bytes at `src` and decodes it
// once whole. Returns the number of bytes taken.
int completeHeldPacket(const byte_t *src, int avail) {
    const int n = std::min(leftoverDataNeeded - leftoverDataSize, avail);
    // An empty buffer may come with a null pointer, which memcpy must not see.
    if (n > 0) memcpy(leftoverData + leftoverDataSize, src, n);
    leftoverDataSize += n;
    if (leftoverDataSize == leftoverDataNeeded)
        ProcessVideoData(leftoverData, leftoverDataSize, 0, false);
    return n;
}

int32_t loadInt32(const byte_t *p) {
    int32_t v;
    memcpy(&v, p, sizeof v);
    return v;
}

}  // namespace

IntakeStatus videoSink(const byte_t *data, int datalen, int pos, SinkResult *result) {
    if (!rangeOk(datalen, pos)) return IntakeStatus::argsOutOfRange;
    if (leftoverDataNeeded != 0) {
        if (leftoverDataNeeded < leftoverDataSize) {
            leftoverDataNeeded = leftoverDataSize = 0;
            return IntakeStatus::leftoverInconsistent;
        }
        pos += completeHeldPacket(data + pos, datalen - pos);
    }
    result->ret = 1;
    // Bytes still held mean the whole buffer went into the held packet.
    if (leftoverDataSize == 0)
        result->ret = ProcessVideoData(data, datalen, pos, true) == datalen ? 0 : 1;
    result->hasfirst = HasFirstTile;
    HasFirstTile = 0;
    return IntakeStatus::ok;
}

IntakeStatus playvideo(const byte_t *chunk, int chunklen, int offset, ChunkSize *size) {
    // The offset is checked as videoSink's is, and otherwise unused: decoding
    // always starts right after the header.
    if (!rangeOk(chunklen, offset) || chunklen < kChunkHeaderBytes)
        return IntakeStatus::argsOutOfRange;
    const int needed = loadInt32(chunk);
    const int held = loadInt32(chunk + 4);
    // Only counts of the kind record() reports are loaded: at most one packet,
    // never more held than needed (so nothing held when nothing is needed).
    // Anything else would reach outside leftoverData or stall every later
    // videoSink.
    if (needed < 0 || needed > kPixelPacketBytes || held < 0 || held > needed)
        return IntakeStatus::argsOutOfRange;
    size->w = loadInt32(chunk + 8);
    size->h = loadInt32(chunk + 12);
    leftoverDataNeeded = needed;
    leftoverDataSize = held;

    const byte_t *stream = chunk + kChunkHeaderBytes;
    const int streamlen = chunklen - kChunkHeaderBytes;
    const int p = leftoverDataNeeded != 0 ? completeHeldPacket(stream, streamlen) : 0;
    // Padding boundaries count from the start of the recorded buffer.
    if (leftoverDataSize == 0) ProcessVideoData(stream, streamlen, p, true);
    return IntakeStatus::ok;
}
