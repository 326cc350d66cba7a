// The instruction-set levels the vector kernels are compiled for, and the one
// this process runs.
//
// Each element-wise kernel is compiled once per level (function target
// attributes, TARVEX_FOR_EACH_LEVEL below) and the widest level the CPU runs
// is chosen once per process, so that the default build runs on any x86-64
// CPU. Every kernel is dispatched this one way.
#pragma once

#include <cstdlib>
#include <cstring>

namespace tarvex {

enum class IsaLevel { Base, Avx2, Avx512 };

// Target attributes of the levels. libmvec's AVX-512 entry points need
// AVX512DQ as well as AVX512F for their native code path.
#define TARVEX_TARGET_AVX2 __attribute__((target("avx2,fma")))
#define TARVEX_TARGET_AVX512 __attribute__((target("avx512f,avx512dq")))

// The level named by the environment variable TARVEX_ISA_LEVEL ("base",
// "avx2" or "avx512"), or `detected` when it is unset or names another word.
// The variable can only lower the level: it lets the test suite and the
// benchmarks run the narrower kernels on a wide CPU, never a kernel the CPU
// lacks.
inline IsaLevel capped_by_environment(IsaLevel detected) {
    const char* requested = std::getenv("TARVEX_ISA_LEVEL");
    if (requested == nullptr) return detected;
    IsaLevel cap = detected;
    if (std::strcmp(requested, "base") == 0) cap = IsaLevel::Base;
    if (std::strcmp(requested, "avx2") == 0) cap = IsaLevel::Avx2;
    return cap < detected ? cap : detected;
}

// Detected once per process, at the first call.
inline IsaLevel isa_level() {
#if defined(__x86_64__) && defined(__GNUC__)
    static const IsaLevel level = [] {
        __builtin_cpu_init();
        IsaLevel detected = IsaLevel::Base;
        if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma"))
            detected = IsaLevel::Avx2;
        if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq"))
            detected = IsaLevel::Avx512;
        return capped_by_environment(detected);
    }();
    return level;
#else
    return IsaLevel::Base;
#endif
}

// The kernels' bodies: inlined into the function of each level that calls them.
#define TARVEX_INLINE inline __attribute__((always_inline))

// Defines `ret name params`, which runs `name_body<L> args` compiled for
// the level L that isa_level() picks. The body is an always-inline function
// template over the level (template <IsaLevel L>): inlined into one function
// per level, its loops are vectorised for that level's width, and a body that
// needs level-specific code (the link functions' vector exp, the normal kernel's intrinsics) selects
// it by L. On other architectures only the base level exists.
#if defined(__x86_64__) && defined(__GNUC__)
#define TARVEX_FOR_EACH_LEVEL(ret, name, params, args)                             \
    TARVEX_TARGET_AVX512 static ret name##_at_avx512 params {                      \
        return name##_body<::tarvex::IsaLevel::Avx512> args;                       \
    }                                                                              \
    TARVEX_TARGET_AVX2 static ret name##_at_avx2 params {                          \
        return name##_body<::tarvex::IsaLevel::Avx2> args;                         \
    }                                                                              \
    static ret name##_at_base params { return name##_body<::tarvex::IsaLevel::Base> args; } \
    ret name params {                                                              \
        switch (::tarvex::isa_level()) {                                           \
            case ::tarvex::IsaLevel::Avx512: return name##_at_avx512 args;         \
            case ::tarvex::IsaLevel::Avx2: return name##_at_avx2 args;             \
            default: return name##_at_base args;                                   \
        }                                                                          \
    }
#else
#define TARVEX_FOR_EACH_LEVEL(ret, name, params, args) \
    ret name params { return name##_body<::tarvex::IsaLevel::Base> args; }
#endif

}  // namespace tarvex
