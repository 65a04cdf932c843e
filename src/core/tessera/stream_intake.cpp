// PLACEHOLDER: replaced by the real implementation
#include "core/tessera/stream_intake.h"
IntakeStatus videoSink(const byte_t *, int, int, SinkResult *) { __builtin_trap(); }
IntakeStatus playvideo(const byte_t *, int, int, ChunkSize *) { __builtin_trap(); }
