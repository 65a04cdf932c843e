// The header shared by both extension modules: the two basic types and the
// routines that end the process when something has gone wrong.
#pragma once

#include <stdint.h>

typedef unsigned char byte_t;
typedef signed char bool_t;

// Symbols that the modules export besides their initialisers; everything else
// is built with hidden visibility.
#define TESSERA_EXPORT __attribute__((visibility("default")))

extern "C" {
[[noreturn]] TESSERA_EXPORT void _die(const char *funct, const char *fmt, ...)
    __attribute__((format(printf, 2, 3)));
[[noreturn]] TESSERA_EXPORT void _pdie(const char *funct, const char *fmt, ...)
    __attribute__((format(printf, 2, 3)));
[[noreturn]] TESSERA_EXPORT void __my_assert(const char *text, const char *file, const char *funct,
                                             int line);
}

// Unlike <cassert>, stays active in release builds: the conditions it guards
// are invariants whose breach would let the kernel write into freed memory.
#define my_assert(cond) ((cond) ? (void)0 : __my_assert(#cond, __FILE__, __func__, __LINE__))
