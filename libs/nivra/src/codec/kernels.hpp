// Which kernels run. The library is built for generic x86-64 (and aarch64);
// the hot loops are compiled a second time for processors with AVX2 and BMI2
// (shifts by a register without the count register, bit extraction, wider
// vectors) and chosen at run time. Both compilations come from the same source
// and give the same bytes; the tests force the portable path to check that.
#pragma once

#include <atomic>

namespace Brimlake::Nivra::codec {

// Tests set this to run the portable kernels on any machine.
inline std::atomic<bool>& ForcePortableKernels() {
  static std::atomic<bool> force{false};
  return force;
}

#if defined(__x86_64__) && defined(__GNUC__)
#define NIVRA_HAS_WIDE_KERNELS 1
// The second compilation: for processors of about 2013 on.
#define NIVRA_WIDE_KERNEL __attribute__((target("avx2,bmi,bmi2,lzcnt,popcnt")))

inline bool UseWideKernels() {
  // Every processor with AVX2 and BMI2 has BMI and LZCNT too (not every compiler can ask for LZCNT).
  static const bool supported = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi2") &&
                                __builtin_cpu_supports("bmi");
  return supported && !ForcePortableKernels().load(std::memory_order_relaxed);
}
#else
#define NIVRA_HAS_WIDE_KERNELS 0
inline bool UseWideKernels() { return false; }
#endif

}  // namespace Brimlake::Nivra::codec
