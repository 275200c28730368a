// The lattice kernels two lanes at a time with NEON (part of every aarch64
// processor). The dither's 64-bit products have no NEON form; the scalar
// multiplier does them at full speed, so the dither bits stay portable.
#include "noise/dither.hpp"
#include "noise/lattice.hpp"
#include "noise/lattice_kernels.hpp"

#if defined(__aarch64__) && defined(__ARM_NEON)
#include <arm_neon.h>

#define NIVRA_LATTICE_TARGET
#include "noise/lattice_kernel_body.hpp"

namespace Brimlake::Nivra::noise {
namespace {

// Two doubles; two 32-bit integers.
struct Neon {
  using D = float64x2_t;
  using I = int32x2_t;
  static constexpr int kLanes = 2;

  static D Set(double v) { return vdupq_n_f64(v); }
  static I SetI(int32_t v) { return vdup_n_s32(v); }
  static I LoadBits(const uint32_t* p) { return vreinterpret_s32_u32(vld1_u32(p)); }
  static I LoadInt32(const int32_t* p) { return vld1_s32(p); }
  static I LoadPixels(const uint16_t* p) {
    uint32_t pair[2] = {p[0], p[1]};
    return vreinterpret_s32_u32(vld1_u32(pair));
  }
  static void StorePixels(uint16_t* p, I v) {
    p[0] = static_cast<uint16_t>(vget_lane_s32(v, 0));
    p[1] = static_cast<uint16_t>(vget_lane_s32(v, 1));
  }
  static void StoreInt32(int32_t* p, I v) { vst1_s32(p, v); }
  static void StoreInt8(int8_t* p, I v) {
    p[0] = static_cast<int8_t>(vget_lane_s32(v, 0));
    p[1] = static_cast<int8_t>(vget_lane_s32(v, 1));
  }
  static D ToDouble(I v) { return vcvtq_f64_s64(vmovl_s32(v)); }
  // Toward zero, as a conversion to an integer type in C++.
  static I Trunc(D v) { return vmovn_s64(vcvtq_s64_f64(v)); }
  static D Gather(const double* table, I index) {
    return vsetq_lane_f64(table[vget_lane_s32(index, 1)], vdupq_n_f64(table[vget_lane_s32(index, 0)]), 1);
  }
  static D Add(D a, D b) { return vaddq_f64(a, b); }
  static D Sub(D a, D b) { return vsubq_f64(a, b); }
  static D Mul(D a, D b) { return vmulq_f64(a, b); }
  static D Max(D a, D b) { return vmaxq_f64(a, b); }
  static D Min(D a, D b) { return vminq_f64(a, b); }
  static I Add(I a, I b) { return vadd_s32(a, b); }
  static I Sub(I a, I b) { return vsub_s32(a, b); }
  static I Or(I a, I b) { return vorr_s32(a, b); }
  static I ShiftLeft8(I v) { return vshl_n_s32(v, 8); }
  static I ShiftRight8(I v) { return vshr_n_s32(v, 8); }
  static I ShiftRight16(I v) { return vreinterpret_s32_u32(vshr_n_u32(vreinterpret_u32_s32(v), 16)); }
  static I Gt(I a, I b) { return vreinterpret_s32_u32(vcgt_s32(a, b)); }
  static I Equal(I a, I b) { return vreinterpret_s32_u32(vceq_s32(a, b)); }
  static I Select(I mask, I a, I b) { return vbsl_s32(vreinterpret_u32_s32(mask), a, b); }
  static I Not(I v) { return vmvn_s32(v); }
  static void StoreFlags(uint8_t* p, I mask) {
    unsigned m = Mask(mask);
    p[0] = m & 1;
    p[1] = m >> 1;
  }
  static unsigned LoadFlags(const uint8_t* p) { return unsigned{p[0] != 0} | unsigned{p[1] != 0} << 1; }
  static unsigned Mask(I m) {
    return (static_cast<unsigned>(vget_lane_s32(m, 0)) & 1u) | ((static_cast<unsigned>(vget_lane_s32(m, 1)) & 1u) << 1);
  }
};

void DitherBitsNeon(uint64_t seed, uint64_t first, std::size_t count, uint32_t* bits) {
  for (std::size_t j = 0; j < count; ++j) bits[j] = DitherBits(seed, first + j);
}

}  // namespace

extern const LatticeKernels kNeonLatticeKernels = {DitherBitsNeon, body::Prepare<Neon>, body::Bins<Neon>,
                                                   body::Representatives<Neon>};

}  // namespace Brimlake::Nivra::noise
#endif
