// Kernels built for several instruction sets and chosen at run time.
//
// An entry point marked QUELBIN_CLONES_* or QUELBIN_TARGET_V4 is compiled once
// per instruction set. Every helper it calls that takes or returns a vector
// must be QUELBIN_ALWAYS_INLINE, so that its body is compiled inside each clone
// for the clone's own target at every optimisation level: an out-of-line copy
// is compiled for the default target only, and its vector calling convention
// differs from the clone's (at -O0 nothing else inlines it). Vectors never
// cross a function boundary that is not inlined this way, and never leave the
// file that defines them.
#pragma once

#if defined(__GNUC__) && !defined(__clang__)
// Vector arguments of inlined helpers: their ABI never applies.
#pragma GCC diagnostic ignored "-Wpsabi"
#endif

#define QUELBIN_ALWAYS_INLINE inline __attribute__((always_inline))

#if defined(__GNUC__) && defined(__x86_64__) && !defined(__clang__)
#define QUELBIN_X86_KERNELS 1
// AVX-512, AVX2/FMA and the base instruction set.
#define QUELBIN_CLONES_V4_V3 __attribute__((target_clones("arch=x86-64-v4", "arch=x86-64-v3", "default")))
// AVX2/FMA and the base instruction set, beside a separate AVX-512 entry point.
#define QUELBIN_CLONES_V3 __attribute__((target_clones("arch=x86-64-v3", "default")))
#define QUELBIN_TARGET_V4 __attribute__((target("arch=x86-64-v4")))
#else
#define QUELBIN_CLONES_V4_V3
#define QUELBIN_CLONES_V3
#define QUELBIN_TARGET_V4
#endif

namespace quelbin::detail {

// True when the processor runs AVX2 code.
inline bool cpu_has_avx2() {
#ifdef QUELBIN_X86_KERNELS
    static const bool available = __builtin_cpu_supports("avx2");
    return available;
#else
    return false;
#endif
}

// True when the processor runs the AVX-512 entry points (F, VL, BW and DQ).
inline bool cpu_has_avx512() {
#ifdef QUELBIN_X86_KERNELS
    static const bool available = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
                                  __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512dq");
    return available;
#else
    return false;
#endif
}

}  // namespace quelbin::detail
