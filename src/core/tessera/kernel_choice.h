// How every kernel family picks its forms. A family has a plain C form of
// each kernel, the reference, and a table of vector forms per instruction
// set (suffixes _C, _SSE2, _AVX2); the table for the best instruction set the
// CPU runs is the one used, looked up by the plane function before its loop.
#pragma once

// The instruction sets with vector forms, each a superset of the one before.
// SSE2 is the floor of every x86-64 CPU.
enum class Isa { sse2, avx2 };

// The best of them this CPU runs. Found on first use rather than at load, so
// that importing a module runs nothing but its initialiser.
Isa cpuIsa();

// Whether forms written for `isa` may run on this CPU.
bool cpuRuns(Isa isa);

// "sse2" or "avx2".
const char *isaName(Isa isa);

// The table of a family's forms for this CPU.
template <class Kernels>
const Kernels &kernelsForCpu(const Kernels &sse2, const Kernels &avx2) {
    return cpuIsa() == Isa::avx2 ? avx2 : sse2;
}
