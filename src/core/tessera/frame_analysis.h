// Whole-picture analysis: greyscale conversion and black-border measurement.
#pragma once

#include "common/basic.h"

extern "C" {
TESSERA_EXPORT bool_t isBlackLine(int y, int w);
TESSERA_EXPORT bool_t isBlackColumn(int x, int h);
}

// Turns the picture grey in place; marks every tile changed when `set` is non-zero.
void toGreyscale(int set);

struct BlackEdges {
    int left, right, top, bottom;
};

enum class EdgesStatus { ok, argsOutOfRange };

EdgesStatus getBlackEdges(int w, int h, BlackEdges *edges);
