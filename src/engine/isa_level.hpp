// The widest instruction-set level this CPU runs, for the kernels compiled
// once per level (function target attributes) and picked at run time, so that
// the default build runs on any x86-64 CPU.
#pragma once

namespace tarvex {

enum class IsaLevel { Base, Avx2, Avx512 };

// Target attributes of the levels. libmvec's AVX-512 entry points need
// AVX512DQ as well as AVX512F for their native code path.
#define TARVEX_TARGET_AVX2 __attribute__((target("avx2,fma")))
#define TARVEX_TARGET_AVX512 __attribute__((target("avx512f,avx512dq")))

// Detected once per process.
inline IsaLevel isa_level() {
#if defined(__x86_64__) && defined(__GNUC__)
    static const IsaLevel level = [] {
        __builtin_cpu_init();
        if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq"))
            return IsaLevel::Avx512;
        if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma"))
            return IsaLevel::Avx2;
        return IsaLevel::Base;
    }();
    return level;
#else
    return IsaLevel::Base;
#endif
}

}  // namespace tarvex
