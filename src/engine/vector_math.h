// Short vectors of doubles for the per-example passes, and e^x on them.
//
// The vectors are worked lane by lane: every lane performs the same IEEE
// operations, in the same order, as scalar code would, so a result is the
// same to the bit whatever the vector width. Pairs are what every x86-64
// has; quads need AVX2 and FMA.
//
// Everything here that takes or returns a vector is forced inline, so no
// vector ever crosses a call. Only the engine's own .cpp files include this
// header.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <span>

#define KELDA_INLINE [[gnu::always_inline]] inline

// The warning that vector arguments change the calling convention does not
// apply: nothing here is ever called, everything is inlined.
#pragma GCC diagnostic push
#if defined(__clang__)
#pragma clang diagnostic ignored "-Wunknown-warning-option"
#endif
#pragma GCC diagnostic ignored "-Wpsabi"

namespace kelda::engine::vec {

typedef double Pair __attribute__((vector_size(2 * sizeof(double))));
typedef double Quad __attribute__((vector_size(4 * sizeof(double))));

template <typename V>
constexpr int kLanes = sizeof(V) / sizeof(double);

// The signed 64-bit integers of V's lane count: what comparisons give.
template <typename V>
using Ints = decltype(V{} == V{});

// Unsigned 64-bit integers of V's lane count, for bit arithmetic that wraps.
typedef uint64_t PairBits __attribute__((vector_size(sizeof(Pair))));
typedef uint64_t QuadBits __attribute__((vector_size(sizeof(Quad))));
template <typename V>
struct BitsOf;
template <>
struct BitsOf<Pair> {
  using type = PairBits;
};
template <>
struct BitsOf<Quad> {
  using type = QuadBits;
};
template <typename V>
using Bits = typename BitsOf<V>::type;

template <typename V>
KELDA_INLINE V Load(const double* p) {
  V v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

template <typename V>
KELDA_INLINE void Store(double* p, const V& v) {
  std::memcpy(p, &v, sizeof v);
}

// The sign bits of a comparison's lanes, lane k in bit k. Written out for
// the reason given at Fma below.
KELDA_INLINE int SignMask(const Ints<Pair>& m) {
#if defined(__SSE2__)
  int mask;
  asm("movmskpd %[m], %[mask]" : [mask] "=r"(mask) : [m] "x"(m));
  return mask;
#else
  // Pairs without SSE2 (32-bit x86) are worked one lane at a time anyway.
  return (m[0] < 0 ? 1 : 0) | (m[1] < 0 ? 2 : 0);
#endif
}
// REQUIRES: the caller runs only where the processor has AVX.
KELDA_INLINE int SignMask(const Ints<Quad>& m) {
  int mask;
  asm("vmovmskpd %[m], %[mask]" : [mask] "=r"(mask) : [m] "x"(m));
  return mask;
}

// False when a lane is an infinity or NaN: x - x is NaN for those and 0 for
// any finite x. Given a sum of several values, a false alarm is possible; it
// only sends the caller down its entry-by-entry path.
template <typename V>
KELDA_INLINE bool AllFinite(const V& v) {
  const V zero_or_nan = v - v;
  return SignMask(zero_or_nan != zero_or_nan) == 0;
}

// e^x on vectors, each lane the same to the bit as the C library's exp.
//
// The processor's exp comes from glibc, which on a processor with AVX2 and
// FMA evaluates e^x = 2^(k/128) * e^r with a 128-entry table and a
// polynomial of degree 5, with fused multiply-adds at fixed places. The same
// operations, in the same order and with the same constants and fusions,
// give the same bits on any number of lanes. Arguments outside the
// algorithm's main range (|x| below 2^-54 or from 512 on, infinities, NaN)
// are left to std::exp lane by lane. Whether this holds for the C library
// at hand is checked once per process (WideExpAgrees); where it does not,
// the passes call std::exp unit by unit.
namespace exp_detail {

// 2^(k/128) = H[k] * (1 + T[k]) for k = 0..127: entry 2k holds the bits of
// T[k], entry 2k + 1 those of H[k] less k << 45, so that adding the integer
// k' << 45 of a whole k' = 128m + k gives the bits of 2^m * H[k].
extern const uint64_t kTable[256];

inline constexpr double kInvLn2N = 0x1.71547652b82fep0 * 128;
inline constexpr double kNegLn2HiN = -0x1.62e42fefa0000p-8;
inline constexpr double kNegLn2LoN = -0x1.cf79abc9e3b3ap-47;
inline constexpr double kShift = 0x1.8p52;
inline constexpr double kC2 = 0x1.ffffffffffdbdp-2;
inline constexpr double kC3 = 0x1.555555555543cp-3;
inline constexpr double kC4 = 0x1.55555cf172b91p-5;
inline constexpr double kC5 = 0x1.1111167a4d017p-7;

// a * b + c with one rounding. Written out because the intrinsics may only
// be inlined into functions compiled for FMA, and the passes' templates are
// compiled for their width only by the functions that call them.
// REQUIRES: the caller runs only where the processor has FMA.
KELDA_INLINE Quad Fma(Quad a, Quad b, Quad c) {
  asm("vfmadd231pd %[b], %[a], %[c]" : [c] "+x"(c) : [a] "x"(a), [b] "x"(b));
  return c;
}

}  // namespace exp_detail

// e^x of each lane. REQUIRES: the caller is compiled for V's instructions
// and WideExpAgrees() holds.
template <typename V>
KELDA_INLINE V Exp(const V& x) {
  using namespace exp_detail;
  using U = Bits<V>;
  const U top = ((U)x >> 52) & 0x7ff;
  const Ints<V> special = (top < 0x3c9) | (top > 0x407);

  const V kd_shifted = Fma(x, V{} + kInvLn2N, V{} + kShift);
  const U ki = (U)kd_shifted;
  const V kd = kd_shifted - kShift;
  V r = Fma(kd, V{} + kNegLn2HiN, x);
  r = Fma(kd, V{} + kNegLn2LoN, r);
  const U index = (ki & 127) * 2;
  U tail_bits, scale_bits;
  for (int k = 0; k < kLanes<V>; ++k) {
    tail_bits[k] = kTable[index[k]];
    scale_bits[k] = kTable[index[k] + 1];
  }
  const V tail = (V)tail_bits;
  scale_bits += ki << 45;
  const V p23 = Fma(r, V{} + kC3, V{} + kC2);
  const V head = r + tail;
  const V r2 = r * r;
  const V p45 = Fma(r, V{} + kC5, V{} + kC4);
  const V t = Fma(p23, r2, head);
  const V tmp = Fma(r2 * r2, p45, t);
  const V scale = (V)scale_bits;
  V y = Fma(scale, tmp, scale);

  Ints<V> any = special;
  for (int k = 1; k < kLanes<V>; ++k) any[0] |= special[k];
  if (any[0] != 0) [[unlikely]] {
    for (int k = 0; k < kLanes<V>; ++k) {
      if (special[k] != 0) y[k] = std::exp(x[k]);
    }
  }
  return y;
}

// Whether Exp<Quad> agrees with this process's std::exp, as far
// as a check of some thousand arguments across the range (every table entry,
// both ends of the main range, the special values) shows. Computed once
// per process; false where the processor lacks AVX2 and FMA or the C library
// is not glibc.
bool WideExpAgrees();

// Whether the processor has AVX2 and FMA, which quads need.
bool HasQuads();

// values[i] = e^values[i], each the same to the bit as std::exp, on vectors
// of up to `max_lanes` doubles (2 or 4) where the processor allows and
// WideExpAgrees() holds. For the tests, which compare it with std::exp.
void ExpEach(std::span<double> values, int max_lanes);

}  // namespace kelda::engine::vec

#pragma GCC diagnostic pop
