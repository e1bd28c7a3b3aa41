// Sine, cosine and the two-argument arctangent written so that a loop over
// arrays vectorises: no branch, no table walk, no library call, only
// arithmetic and selections the compiler turns into blends. The per-epoch
// loops (Kepler's equation, anomalies, elements to states) are made of them,
// and the C library's versions, one call per value, cost more than the rest
// of those loops together.
//
// Each function comes in two parts: a *_core that is exact enough only inside
// its domain (|x| <= trig_core_limit for sin/cos, finite arguments for atan2)
// and that loops call for every element, and a scalar function that sends
// arguments outside the domain to the C library. A loop runs the core over a
// block and then redoes the (rare) elements outside the domain with the
// scalar function, so a loop and a one-value call give the same bits.
//
// Accuracy: within 1 ulp of the C library's results (the polynomials are
// fdlibm's minimax kernels, and the reduction by pi/2 carries 152 bits of
// pi/2 as a head and a tail, so arguments next to a multiple of pi/2 keep
// their digits).
//
// Every module that builds these in compiles with -ffp-contract=off: a fused
// multiply-add formed on one instruction set and not on another would change
// the last bit between the paths of a dispatched loop.
#pragma once
#include <cmath>
#include <cstdint>
#include <cstring>

// Kernels are always inlined: a dispatched loop compiles them for its own
// instruction set only if their bodies land inside it.
#if defined(__GNUC__)
#define VELMAR_KERNEL inline __attribute__((always_inline))
#else
#define VELMAR_KERNEL inline
#endif

namespace velmar::trig {

// Arguments up to here are reduced with products that stay exact
// (turn count below 2^20).
inline constexpr double trig_core_limit = 1.0e6;

namespace detail {

// Round to the nearest integer by the 1.5 * 2^52 shift: the low bits of the
// shifted value's significand hold the integer, so the quadrant needs no
// conversion instruction (which the baseline and AVX2 lack for 64 bits).
inline constexpr double shifter = 0x1.8p52;

VELMAR_KERNEL std::uint64_t bits_of(double x) {
    std::uint64_t b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}

// Exact sum: s + e == a + b.
VELMAR_KERNEL void two_sum(double a, double b, double& s, double& e) {
    s = a + b;
    const double bb = s - a;
    e = (a - (s - bb)) + (b - bb);
}

// fdlibm's kernels on [-pi/4, pi/4]; y is the tail of the argument x + y.
inline constexpr double S1 = -1.66666666666666324348e-01, S2 = 8.33333333332248946124e-03,
                        S3 = -1.98412698298579493134e-04, S4 = 2.75573137070700676789e-06,
                        S5 = -2.50507602534068634195e-08, S6 = 1.58969099521155010221e-10;
inline constexpr double C1 = 4.16666666666666019037e-02, C2 = -1.38888888888741095749e-03,
                        C3 = 2.48015872894767294178e-05, C4 = -2.75573143513906633035e-07,
                        C5 = 2.08757232129817482790e-09, C6 = -1.13596475577881948265e-11;

VELMAR_KERNEL double sin_poly(double z) {  // S2 + z S3 + ... + z^4 S6
    const double w = z * z;
    return S2 + z * (S3 + z * S4) + z * w * (S5 + z * S6);
}

VELMAR_KERNEL double cos_poly(double z) {  // z (C1 + z C2 + ... + z^5 C6)
    const double w = z * z;
    return z * (C1 + z * (C2 + z * C3)) + w * w * (C4 + z * (C5 + z * C6));
}

VELMAR_KERNEL double kernel_sin(double x, double y) {
    const double z = x * x;
    const double v = z * x;
    const double r = sin_poly(z);
    return x - ((z * (0.5 * y - v * r) - y) - v * S1);
}

VELMAR_KERNEL double kernel_cos(double x, double y) {
    const double z = x * x;
    const double r = cos_poly(z);
    const double hz = 0.5 * z;
    const double w = 1.0 - hz;
    return w + (((1.0 - w) - hz) + (z * r - x * y));
}

}  // namespace detail

// x = n pi/2 + y + yt with |y + yt| <= about pi/4, for |x| <= trig_core_limit.
// pi/2 is split in three 33-bit pieces (their products with n are exact)
// and a fourth; each subtraction's error is carried in the tail.
// quadrant: n mod 4.
VELMAR_KERNEL void reduce_half_pi(double x, double& y, double& yt, std::uint64_t& quadrant) {
    constexpr double two_over_pi = 6.36619772367581382433e-01;
    constexpr double p1 = 1.57079632673412561417e+00;   // first 33 bits of pi/2
    constexpr double p2 = 6.07710050630396597660e-11;   // next 33 bits
    constexpr double p3 = 2.02226624871116645580e-21;   // next 33 bits
    constexpr double p3t = 8.47842766036889956997e-32;  // pi/2 - p1 - p2 - p3
    const double shifted = x * two_over_pi + detail::shifter;
    quadrant = detail::bits_of(shifted) & 3u;
    const double n = shifted - detail::shifter;
    const double r = x - n * p1;  // exact
    double y1, e1, y2, e2;
    detail::two_sum(r, -(n * p2), y1, e1);
    detail::two_sum(y1, -(n * p3), y2, e2);
    const double tail = (e1 + e2) - n * p3t;
    y = y2 + tail;
    yt = (y2 - y) + tail;
}

// sin and cos of x for |x| <= trig_core_limit (anything else: garbage).
VELMAR_KERNEL void sin_cos_core(double x, double& s, double& c) {
    double y, yt;
    std::uint64_t q;
    reduce_half_pi(x, y, yt, q);
    const double ks = detail::kernel_sin(y, yt);
    const double kc = detail::kernel_cos(y, yt);
    const double s0 = (q & 1u) ? kc : ks;
    const double c0 = (q & 1u) ? ks : kc;
    s = (q & 2u) ? -s0 : s0;
    c = ((q + 1u) & 2u) ? -c0 : c0;
}

VELMAR_KERNEL bool sin_cos_in_core(double x) { return std::fabs(x) <= trig_core_limit; }

// sin and cos of any x (NaN for NaN and infinities, as the C library).
inline void sin_cos(double x, double& s, double& c) {
    if (!sin_cos_in_core(x)) {
        s = std::sin(x);
        c = std::cos(x);
        return;
    }
    sin_cos_core(x, s, c);
}

// atan2(y, x) for finite y and x, with the C library's signs, zeros and
// quadrants. The arctangent of |y| / |x| is fdlibm's: one of five ranges
// picks a centre c with known atan(c) (as a head and a tail) and the
// polynomial runs on t = (|y| - c |x|) / (|x| + c |y|), formed from y and x
// directly, so the quotient y / x is never rounded on its own.
VELMAR_KERNEL double atan2_core(double y, double x) {
    constexpr double aT[] = {3.33333333333329318027e-01,  -1.99999999998764832476e-01, 1.42857142725034663711e-01,
                             -1.11111104054623557880e-01, 9.09088713343650656196e-02,  -7.69187620504482999495e-02,
                             6.66107313738753120669e-02,  -5.83357013379057348645e-02, 4.97687799461593236017e-02,
                             -3.65315727442169155270e-02, 1.62858201153657823623e-02};
    constexpr double pi = 3.1415926535897931160e+00;
    constexpr double pi_lo = 1.2246467991473531772e-16;
    const double Y = std::fabs(y), X = std::fabs(x);
    // Ranges of Y / X: [0, 7/16), [7/16, 11/16), [11/16, 19/16), [19/16, 39/16), beyond.
    // (Strict comparisons: y = x = 0 stays in the first range.)
    const bool r1 = Y > 0.4375 * X, r2 = Y > 0.6875 * X, r3 = Y > 1.1875 * X, r4 = Y > 2.4375 * X;
    const double c = r3 ? 1.5 : r2 ? 1.0 : r1 ? 0.5 : 0.0;
    const double hi = r4   ? 1.57079632679489655800e+00
                      : r3 ? 9.82793723247329054082e-01
                      : r2 ? 7.85398163397448278999e-01
                      : r1 ? 4.63647609000806093515e-01
                           : 0.0;
    const double lo = r4   ? 6.12323399573676603587e-17
                      : r3 ? 1.39033110312309984516e-17
                      : r2 ? 3.06161699786838301793e-17
                      : r1 ? 2.26987774529616870924e-17
                           : 0.0;
    const double num = r4 ? -X : Y - c * X;
    const double den = r4 ? Y : X + c * Y;
    const double t = den != 0.0 ? num / den : 0.0;  // den = 0 only at y = x = 0
    const double z = t * t;
    const double w = z * z;
    const double s1 = z * (aT[0] + w * (aT[2] + w * (aT[4] + w * (aT[6] + w * (aT[8] + w * aT[10])))));
    const double s2 = w * (aT[1] + w * (aT[3] + w * (aT[5] + w * (aT[7] + w * aT[9]))));
    const double theta = hi - ((t * (s1 + s2) - lo) - t);  // atan(Y / X) in [0, pi/2]
    // x < 0 (and x = -0 with y = 0) folds the angle over; x = -0 with y != 0
    // is the y axis like x = +0. The sign bit is read from the bits:
    // std::signbit stops the vectoriser.
    const bool fold = (detail::bits_of(x) >> 63) && (X != 0.0 || Y == 0.0);
    const double folded = fold ? pi - (theta - pi_lo) : theta;
    return std::copysign(folded, y);
}

VELMAR_KERNEL bool atan2_in_core(double y, double x) { return std::isfinite(y) && std::isfinite(x); }

inline double atan2(double y, double x) { return atan2_in_core(y, x) ? atan2_core(y, x) : std::atan2(y, x); }

// The polar angle of (x, y) in [0, 2 pi), as misc.atan2_asymmetric: a
// negative angle moves up a turn (one so small that the sum rounds to 2 pi
// becomes 0), and a zero angle is +0.
VELMAR_KERNEL double polar_angle_of(double angle) {
    constexpr double two_pi = 6.283185307179586;
    const double up = angle + two_pi;
    const double moved = up >= two_pi ? 0.0 : up;
    return (angle < 0.0 ? moved : angle) + 0.0;
}

}  // namespace velmar::trig
