// What differs between compilers and systems, in one place: function
// attributes, the processor-feature questions of the vector kernels, and the
// memory hints of the pixel buffer. Everything else is plain C++17.
#ifndef VORN_HYST_PLATFORM_HPP_
#define VORN_HYST_PLATFORM_HPP_

#if defined(_MSC_VER) && !defined(__clang__)
#define VORN_MSVC 1
#include <intrin.h>
#endif

// The vector kernels exist only for x86-64; elsewhere the scalar loops serve.
#if defined(__x86_64__) || defined(_M_X64)
#define VORN_X86_64 1
#include <immintrin.h>
#endif

#if defined(VORN_MSVC)
#define VORN_NOINLINE __declspec(noinline)
// MSVC compiles any intrinsic in any function; the caller checks the processor.
#define VORN_TARGET(features)
#else
#define VORN_NOINLINE __attribute__((noinline))
#define VORN_TARGET(features) __attribute__((target(features)))
#endif

// GCC's own intrinsics start from deliberately undefined vectors and set off
// -Wmaybe-uninitialized wherever they are inlined.
#if defined(__GNUC__) && !defined(__clang__)
#define VORN_INTRINSICS_BEGIN \
  _Pragma("GCC diagnostic push") _Pragma("GCC diagnostic ignored \"-Wmaybe-uninitialized\"")
#define VORN_INTRINSICS_END _Pragma("GCC diagnostic pop")
#else
#define VORN_INTRINSICS_BEGIN
#define VORN_INTRINSICS_END
#endif

// Transparent huge pages are a Linux matter (madvise); elsewhere the pixel
// buffer is a plain malloc block.
#if defined(__linux__)
#define VORN_HUGE_PAGES 1
#endif

#if defined(VORN_X86_64)
namespace vorn::platform {

#if defined(VORN_MSVC)
// Bit `bit` of register `reg` (0 EAX .. 3 EDX) of CPUID leaf `leaf`.
inline bool cpuid_bit(int leaf, int reg, int bit) {
  int max_leaf[4];
  __cpuid(max_leaf, 0);
  if (max_leaf[0] < leaf) return false;
  int regs[4];
  __cpuidex(regs, leaf, 0);
  return ((regs[reg] >> bit) & 1) != 0;
}
// Whether the system saves the register state in `mask` of XCR0.
inline bool os_saves(unsigned long long mask) {
  return cpuid_bit(1, 2, 27) && (_xgetbv(0) & mask) == mask;  // OSXSAVE
}
inline bool has_avx2() { return os_saves(0x6) && cpuid_bit(7, 1, 5); }
inline bool has_avx512_vbmi() {
  // F (EBX 16), BW (EBX 30), VBMI (ECX 1); opmask and both ZMM halves saved.
  return os_saves(0xE6) && cpuid_bit(7, 1, 16) && cpuid_bit(7, 1, 30) && cpuid_bit(7, 2, 1);
}
#else
inline bool has_avx2() { return __builtin_cpu_supports("avx2"); }
inline bool has_avx512_vbmi() {
  return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
         __builtin_cpu_supports("avx512vbmi");
}
#endif

// Set bits of a vector kernel's mask. Only AVX2 code calls it, and every
// processor with AVX2 has POPCNT, which MSVC's intrinsic emits unconditionally.
#if defined(VORN_MSVC)
inline unsigned popcount(unsigned x) { return __popcnt(x); }
#else
inline unsigned popcount(unsigned x) { return static_cast<unsigned>(__builtin_popcount(x)); }
#endif

}  // namespace vorn::platform
#endif  // VORN_X86_64

#endif  // VORN_HYST_PLATFORM_HPP_
