#include "common/basic.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

extern "C" {

void _die(const char *funct, const char *fmt, ...) {
    char msg[800];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(msg, sizeof msg, fmt, ap);
    va_end(ap);
    fprintf(stderr, "[%s()]: %s\n", funct, msg);
    exit(123);
}

void _pdie(const char * /*funct*/, const char *fmt, ...) {
    char msg[80];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(msg, sizeof msg, fmt, ap);
    va_end(ap);
    int err = errno;
    fprintf(stderr, "%s: %s (=%d)\n", msg, strerror(err), err);
    exit(123);
}

void __my_assert(const char *text, const char *file, const char *funct, int line) {
    printf("\n\rAssertion failed ");
    printf("(%s:%d): %s()\n \"%s\"\n\n", file, line, funct, text);
    // abort() skips the stdio flush; without this the text is lost whenever
    // standard output is a pipe or a file.
    fflush(stdout);
    abort();
}
}
