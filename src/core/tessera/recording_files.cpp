// PLACEHOLDER: replaced by the real implementation
#include "core/tessera/recording_files.h"
void int2str(int, char *) { __builtin_trap(); }
RecordingStatus findrechead(const byte_t *, int, HeadRecord *) { __builtin_trap(); }
RecordingStatus removefiles(const char *, int, int, int, std::string *, int *) { __builtin_trap(); }
