#include "core/tessera/kernel_choice.h"

namespace {

Isa findCpuIsa() {
    // libgcc may not have read the CPU model yet when this runs early.
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") ? Isa::avx2 : Isa::sse2;
}

}  // namespace

Isa cpuIsa() {
    static const Isa isa = findCpuIsa();
    return isa;
}

bool cpuRuns(Isa isa) {
    return isa <= cpuIsa();
}

const char *isaName(Isa isa) {
    return isa == Isa::avx2 ? "avx2" : "sse2";
}
