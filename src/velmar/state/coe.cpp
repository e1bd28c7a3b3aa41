// Kepler's equation M = E - e sin E, solved for the eccentric anomaly E, and
// Python access to the anomaly conversions, for one value and for arrays.
//
// c_eca_from_mea is exported natively: the propagator and the TLE reader call
// it once per epoch, so it holds no Python object, allocates nothing and never
// loops. It and the array forms (c_*_batch, see batch.hpp) are written once in
// kepler.hpp and trig.hpp: piecewise quintic starters and one sixth-order
// correction, with Markley's solver (Celestial Mechanics 63, 1995, the one
// velmar used first) kept for the corner near perigee at high eccentricity and
// for mean anomalies of more than 2^20 turns. The array forms are compiled for
// AVX-512, AVX2 and the x86-64 baseline and the widest the processor has is
// chosen at import; every one gives the same bits as the one-value functions.
#define VELMAR_NUMPY_IMPORT
#include <cmath>
#include <cstdint>
#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <numbers>

#include "velmar/_native/args.hpp"
#include "velmar/_native/buffer.hpp"
#include "velmar/_native/exports.hpp"
#include "velmar/_native/module.hpp"
#include "velmar/_native/numpy.hpp"
#include "velmar/mathtools/sincos.hpp"
#include "velmar/mathtools/trig.hpp"
#include "velmar/state/batch.hpp"
#include "velmar/state/coe.hpp"
#include "velmar/state/kepler.hpp"

namespace {

using velmar::Ref;

constexpr double pi = std::numbers::pi;
// 2 pi as the sum of two doubles: reducing by the rounded value alone would
// drift 2.4e-16 rad per turn.
constexpr double two_pi_hi = 6.283185307179586;       // 2 pi rounded to double
constexpr double two_pi_lo = 2.4492935982947064e-16;  // 2 pi - two_pi_hi
constexpr double nan = std::numeric_limits<double>::quiet_NaN();

// E - sin E and 1 - cos E for |E| <= 1 by their Taylor series (up to the
// first term below 1e-16 of the leading one at |E| = 1), free of the
// cancellation of the direct differences.
double e_minus_sin_e(double E) {
    const double x = E * E;
    // (-1)^k / (2k + 3)!, k = 0..8
    constexpr double c[] = {1.0 / 6.0,
                            -1.0 / 120.0,
                            1.0 / 5040.0,
                            -1.0 / 362880.0,
                            1.0 / 39916800.0,
                            -1.0 / 6227020800.0,
                            1.0 / 1307674368000.0,
                            -1.0 / 355687428096000.0,
                            1.0 / 121645100408832000.0};
    double p = c[8];
    for (int k = 7; k >= 0; --k) p = p * x + c[k];
    return E * x * p;
}

double one_minus_cos_e(double E) {
    const double x = E * E;
    // -(-1)^k / (2k + 2)!, k = 0..9
    constexpr double c[] = {1.0 / 2.0,
                            -1.0 / 24.0,
                            1.0 / 720.0,
                            -1.0 / 40320.0,
                            1.0 / 3628800.0,
                            -1.0 / 479001600.0,
                            1.0 / 87178291200.0,
                            -1.0 / 20922789888000.0,
                            1.0 / 6402373705728000.0,
                            -1.0 / 2432902008176640000.0};
    double p = c[9];
    for (int k = 8; k >= 0; --k) p = p * x + c[k];
    return x * p;
}

// Cube root of a positive normal x to about 5e-5 relative, which is all the
// starter needs (it is itself only good to 3e-4): a guess from the exponent
// bits divided by three (Kahan's constant, within 3.3%) and one Halley step.
// The C library's cbrt, correct to the last bit, costs a tenth of the solve.
double cube_root(double x) {
    std::uint64_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    bits = bits / 3 + 0x2A9F7893782DA1CEull;
    double y;
    std::memcpy(&y, &bits, sizeof y);
    const double y3 = y * y * y;
    return y * (y3 + 2.0 * x) / (2.0 * y3 + x);
}

// Markley's solver, for 0 <= a <= about pi (a = |M| of the reduced angle).
// What limits its accuracy is not the method but the evaluation of
// f(E) = E - e sin E - M near perigee when e is close to 1: there E and
// e sin E almost cancel while f'(E) = 1 - e cos E is tiny, so both are
// computed in forms free of cancellation.
double solve_reduced(double a, double ecc) {
    const double one_minus_e = 1.0 - ecc;  // exact for ecc >= 0.5
    // Cubic starter. The coefficient is 1.6 pi (pi - |M|); a transcription
    // without the pi loses four digits of the starter when ecc >= 0.9, more
    // than the correction can recover.
    constexpr double alpha0 = 3.0 * pi * pi / (pi * pi - 6.0);
    constexpr double alpha1 = 1.6 * pi / (pi * pi - 6.0);
    const double alpha = alpha0 + alpha1 * (pi - a) / (1.0 + ecc);
    const double d = 3.0 * one_minus_e + alpha * ecc;
    const double q = 2.0 * alpha * d * one_minus_e - a * a;
    const double r = 3.0 * alpha * d * (2.0 * one_minus_e + alpha * ecc) * a + a * a * a;  // d - 1 + e
    const double discriminant = q * q * q + r * r;                                         // >= 0 but for rounding
    // r > 0 here, so the argument is positive and, for ecc < 1, a normal number.
    const double root = cube_root(r + std::sqrt(discriminant > 0.0 ? discriminant : 0.0));
    const double w = root * root;
    const double denominator = w * w + w * q + q * q;
    const double E = (2.0 * r * w + a * denominator) / (d * denominator);

    // f(E) = E - e sin E - a and f'(E) = 1 - e cos E. Near perigee, where the
    // terms of both cancel, they are (1 - e) E + e (E - sin E) and
    // (1 - e) + e (1 - cos E) with the series, which also give sin and cos.
    double f0, f1, sin_e, cos_e;
    if (E < 1.0) {
        const double s = e_minus_sin_e(E);
        const double c = one_minus_cos_e(E);
        f0 = (one_minus_e * E + ecc * s) - a;
        f1 = one_minus_e + ecc * c;
        sin_e = E - s;
        cos_e = 1.0 - c;
    } else {
        velmar::sin_cos(E, sin_e, cos_e);
        f0 = (E - a) - ecc * sin_e;
        f1 = 1.0 - ecc * cos_e;
    }
    return velmar::kepler::correct(E, f0, f1, ecc * sin_e, ecc * cos_e);
}

// Signed solution for a reduced mean anomaly m in about [-pi, pi].
double solve_signed(double m, double ecc) {
    if (m == 0.0) return m;
    return std::copysign(solve_reduced(std::fabs(m), ecc), m);
}

// Markley's solver for any mea: the corner and the many-turn anomalies that
// the pieces leave, and the solver of the benchmarks' "before" row.
// The eccentric anomaly E with E - ecc sin E = mea, for 0 <= ecc < 1 and any
// finite mea. The whole turns of mea are kept: mea in [k pi, (k + 1) pi] gives
// E in the same interval (E = mea at every multiple of pi), so a mean anomaly
// in [0, 2 pi) gives an eccentric anomaly in [0, 2 pi), and E(-mea) = -E(mea).
// A NaN or infinite mea, and ecc outside [0, 1) or NaN, give NaN. There is no
// loop, so no input can hang it.
//
// Many turns: E - mea = ecc sin E is periodic, so E = mea + (E_m - m) for the
// reduced angle m and its solution E_m, and the number of turns never enters
// the result. What matters is that m is mea reduced by the true 2 pi, not by
// 2 pi rounded to a double (which drifts 2.4e-16 rad per turn): two-part
// reduction while the turn count is exact in a double product, the C
// library's own reduction of sin and cos beyond.
double markley_eca_from_mea(double const mea, double const ecc) {
    if (!(ecc >= 0.0 && ecc < 1.0) || !std::isfinite(mea)) return nan;
    if (ecc == 0.0) return mea;
    const double a = std::fabs(mea);
    if (a <= pi) return solve_signed(mea, ecc);
    double m;
    if (a < 0x1p50) {
        // Round to the nearest integer without a library call (exact below 2^51).
        const double turns = (a * (1.0 / two_pi_hi) + 0x1.8p52) - 0x1.8p52;
        m = std::fma(-turns, two_pi_hi, a) - turns * two_pi_lo;  // the fma is exact here
    } else {
        m = std::atan2(std::sin(a), std::cos(a));
    }
    if (m < -pi) {
        m = (m + two_pi_hi) + two_pi_lo;
    } else if (m > pi) {
        m = (m - two_pi_hi) - two_pi_lo;
    }
    return std::copysign(a + (solve_signed(m, ecc) - m), mea);
}

namespace kp = velmar::kepler;
namespace trig = velmar::trig;

// The pieces of the last eccentricity this thread solved for: a propagation
// or a TLE calls the solver once per epoch with the same eccentricity.
constinit thread_local kp::Table last_table;

// This thread's pieces for ecc, all of them, for the array loops: one
// look-up of the thread's copy (the compiler would repeat it), built when the
// eccentricity changes.
[[gnu::noinline]] const kp::Table& table_for(double ecc) {
    kp::Table& table = last_table;
    if (table.ecc != ecc || !table.complete()) table.build(ecc);
    return table;
}

// The same for one value: each piece is made when a value first falls in it.
[[gnu::noinline]] double lazy_kepler_core(double mea, double ecc) {
    kp::Table& table = last_table;
    if (table.ecc != ecc) table.start(ecc);
    return kp::kepler_core(table, mea, [&table](std::int64_t j) {
        if (!(table.made >> j & 1u)) table.make(j);
    });
}

// The eccentric anomaly E with E - ecc sin E = mea, for 0 <= ecc < 1 and any
// finite mea (NaN otherwise). Whole turns are kept: mea in [k pi, (k + 1) pi]
// gives E in the same interval (E = mea at every multiple of pi), so a mean
// anomaly in [0, 2 pi) gives an eccentric anomaly in [0, 2 pi), and
// E(-mea) = -E(mea). There is no loop, so no input can hang it.
double c_eca_from_mea(double const mea, double const ecc) {
    if (!(ecc > 0.0 && ecc < 1.0)) return markley_eca_from_mea(mea, ecc);  // ecc = 0, or NaN
    const double E = lazy_kepler_core(mea, ecc);
    return std::isnan(E) ? markley_eca_from_mea(mea, ecc) : E;
}

// The conversions for one value, with s = sqrt(1 - ecc^2). The loops below
// run the *_core forms and redo with these the values outside the cores'
// domains (and NaN results), so both give the same bits.
VELMAR_KERNEL double tra_from_eca_core(double eca, double ecc, double s) {
    double sin_eca, cos_eca;
    trig::sin_cos_core(eca, sin_eca, cos_eca);
    return trig::polar_angle_of(trig::atan2_core(s * sin_eca, cos_eca - ecc));
}

VELMAR_KERNEL double eca_from_tra_core(double tra, double ecc, double s) {
    double sin_tra, cos_tra;
    trig::sin_cos_core(tra, sin_tra, cos_tra);
    return trig::polar_angle_of(trig::atan2_core(s * sin_tra, cos_tra + ecc));
}

VELMAR_KERNEL double mea_of_eca_core(double eca, double ecc) {
    double sin_eca, cos_eca;
    trig::sin_cos_core(eca, sin_eca, cos_eca);
    return eca - ecc * sin_eca;
}

double tra_from_eca_one(double eca, double ecc, double s) {
    double sin_eca, cos_eca;
    trig::sin_cos(eca, sin_eca, cos_eca);
    return trig::polar_angle_of(trig::atan2(s * sin_eca, cos_eca - ecc));
}

double eca_from_tra_one(double tra, double ecc, double s) {
    double sin_tra, cos_tra;
    trig::sin_cos(tra, sin_tra, cos_tra);
    return trig::polar_angle_of(trig::atan2(s * sin_tra, cos_tra + ecc));
}

double mea_from_tra_one(double tra, double ecc, double s) {
    const double eca = eca_from_tra_one(tra, ecc, s);
    double sin_eca, cos_eca;
    trig::sin_cos(eca, sin_eca, cos_eca);
    return eca - ecc * sin_eca;
}

double tra_from_mea_one(double mea, double ecc, double s) { return tra_from_eca_one(c_eca_from_mea(mea, ecc), ecc, s); }

// --- the array forms ------------------------------------------------------------
//
// Blocks of 256 values: copied in (so that input and output may be the same
// array), run through a core with a fixed count the compiler vectorises, the
// rare values outside the core's domain redone one by one, copied out.

constexpr int block = 256;

#if defined(__GNUC__)
#define VELMAR_LAMBDA __attribute__((always_inline))
#else
#define VELMAR_LAMBDA
#endif

template <typename Core, typename Fix>
VELMAR_KERNEL void blocks(const double* in, double* out, Py_ssize_t n, Core core, Fix fix) {
    double x[block], r[block];
    for (Py_ssize_t start = 0; start < n; start += block) {
        const int m = static_cast<int>(std::min<Py_ssize_t>(block, n - start));
        std::memcpy(x, in + start, sizeof(double) * m);
        if (m == block) {
            for (int i = 0; i < block; ++i) r[i] = core(x[i]);
        } else {
            for (int i = 0; i < m; ++i) r[i] = core(x[i]);
        }
        for (int i = 0; i < m; ++i)
            if (std::isnan(r[i])) r[i] = fix(x[i]);
        std::memcpy(out + start, r, sizeof(double) * m);
    }
}

VELMAR_KERNEL void eca_from_mea_loop(const double* in, double ecc, double* out, Py_ssize_t n) {
    if (!(ecc > 0.0 && ecc < 1.0)) {
        for (Py_ssize_t i = 0; i < n; ++i) out[i] = markley_eca_from_mea(in[i], ecc);
        return;
    }
    const kp::Table& T = table_for(ecc);  // callers pass a block at a time: built once per eccentricity
    blocks(
        in, out, n, [&T](double mea) VELMAR_LAMBDA { return kp::kepler_core(T, mea); },
        [ecc](double mea) VELMAR_LAMBDA { return markley_eca_from_mea(mea, ecc); });
}

VELMAR_KERNEL void tra_from_eca_loop(const double* in, double ecc, double* out, Py_ssize_t n) {
    const double s = velmar::coe::semi_minor_ratio(ecc);
    blocks(
        in, out, n,
        [ecc, s](double eca)
            VELMAR_LAMBDA { return trig::sin_cos_in_core(eca) ? tra_from_eca_core(eca, ecc, s) : nan; },
        [ecc, s](double eca) VELMAR_LAMBDA { return tra_from_eca_one(eca, ecc, s); });
}

VELMAR_KERNEL void tra_from_mea_loop(const double* in, double ecc, double* out, Py_ssize_t n) {
    double E[block];
    for (Py_ssize_t start = 0; start < n; start += block) {
        const Py_ssize_t m = std::min<Py_ssize_t>(block, n - start);
        eca_from_mea_loop(in + start, ecc, E, m);
        tra_from_eca_loop(E, ecc, out + start, m);
    }
}

VELMAR_KERNEL void eca_from_tra_loop(const double* in, double ecc, double* out, Py_ssize_t n) {
    const double s = velmar::coe::semi_minor_ratio(ecc);
    blocks(
        in, out, n,
        [ecc, s](double tra)
            VELMAR_LAMBDA { return trig::sin_cos_in_core(tra) ? eca_from_tra_core(tra, ecc, s) : nan; },
        [ecc, s](double tra) VELMAR_LAMBDA { return eca_from_tra_one(tra, ecc, s); });
}

VELMAR_KERNEL void mea_from_tra_loop(const double* in, double ecc, double* out, Py_ssize_t n) {
    double E[block];
    for (Py_ssize_t start = 0; start < n; start += block) {
        const Py_ssize_t m = std::min<Py_ssize_t>(block, n - start);
        eca_from_tra_loop(in + start, ecc, E, m);
        blocks(
            E, out + start, m,
            [ecc](double eca) VELMAR_LAMBDA { return trig::sin_cos_in_core(eca) ? mea_of_eca_core(eca, ecc) : nan; },
            [ecc](double eca) VELMAR_LAMBDA {
                double sin_eca, cos_eca;
                trig::sin_cos(eca, sin_eca, cos_eca);
                return eca - ecc * sin_eca;
            });
    }
}

VELMAR_KERNEL void sin_cos_loop(const double* in, double* s, double* c, Py_ssize_t n) {
    double x[block], rs[block], rc[block];
    for (Py_ssize_t start = 0; start < n; start += block) {
        const int m = static_cast<int>(std::min<Py_ssize_t>(block, n - start));
        std::memcpy(x, in + start, sizeof(double) * m);
        if (m == block) {
            for (int i = 0; i < block; ++i) trig::sin_cos_core(x[i], rs[i], rc[i]);
        } else {
            for (int i = 0; i < m; ++i) trig::sin_cos_core(x[i], rs[i], rc[i]);
        }
        for (int i = 0; i < m; ++i)
            if (!trig::sin_cos_in_core(x[i])) trig::sin_cos(x[i], rs[i], rc[i]);
        std::memcpy(s + start, rs, sizeof(double) * m);
        std::memcpy(c + start, rc, sizeof(double) * m);
    }
}

VELMAR_KERNEL void atan2_loop(const double* y, const double* x, double* out, Py_ssize_t n) {
    double a[block], b[block], r[block];
    for (Py_ssize_t start = 0; start < n; start += block) {
        const int m = static_cast<int>(std::min<Py_ssize_t>(block, n - start));
        std::memcpy(a, y + start, sizeof(double) * m);
        std::memcpy(b, x + start, sizeof(double) * m);
        if (m == block) {
            for (int i = 0; i < block; ++i) r[i] = trig::atan2_core(a[i], b[i]);
        } else {
            for (int i = 0; i < m; ++i) r[i] = trig::atan2_core(a[i], b[i]);
        }
        for (int i = 0; i < m; ++i)
            if (!trig::atan2_in_core(a[i], b[i])) r[i] = std::atan2(a[i], b[i]);
        std::memcpy(out + start, r, sizeof(double) * m);
    }
}

// The conic: position and velocity from E on the ellipse, x = a (cos E - e),
// y = b sin E along P and Q, and the velocity sqrt(GM a) / rho (-sin E,
// s cos E) with rho = a (1 - e cos E), s = sqrt(1 - e^2), b = a s.
VELMAR_KERNEL void conic(const double* __restrict sin_e, const double* __restrict cos_e, double* __restrict R,
                         double* __restrict V, std::int64_t m, double e, double a, double b, double s, double root_gm_a,
                         double P0, double P1, double P2, double Q0, double Q1, double Q2) {
    const auto at = [=](std::int64_t i) VELMAR_LAMBDA {
        const double x = a * (cos_e[i] - e), y = b * sin_e[i];
        const double speed = root_gm_a / (a * (1.0 - e * cos_e[i]));
        const double vx = -speed * sin_e[i], vy = speed * (s * cos_e[i]);
        R[3 * i] = x * P0 + y * Q0;
        R[3 * i + 1] = x * P1 + y * Q1;
        R[3 * i + 2] = x * P2 + y * Q2;
        V[3 * i] = vx * P0 + vy * Q0;
        V[3 * i + 1] = vx * P1 + vy * Q1;
        V[3 * i + 2] = vx * P2 + vy * Q2;
    };
    if (m == block) {
        for (std::int64_t i = 0; i < block; ++i) at(i);
    } else {
        for (std::int64_t i = 0; i < m; ++i) at(i);
    }
}

VELMAR_KERNEL void two_body_loop(const double* mea, Py_ssize_t n, const double* orbit, double* r, double* v) {
    const double e = orbit[0], a = orbit[1], GM = orbit[2];
    const double s = velmar::coe::semi_minor_ratio(e);
    const double b = a * s, root_gm_a = std::sqrt(GM * a);
    double E[block], sin_e[block], cos_e[block];
    for (Py_ssize_t start = 0; start < n; start += block) {
        const int m = static_cast<int>(std::min<Py_ssize_t>(block, n - start));
        eca_from_mea_loop(mea + start, e, E, m);
        sin_cos_loop(E, sin_e, cos_e, m);
        conic(sin_e, cos_e, r + 3 * start, v + 3 * start, m, e, a, b, s, root_gm_a, orbit[3], orbit[4], orbit[5],
              orbit[6], orbit[7], orbit[8]);
    }
}

// One set of array functions per instruction set.
struct Paths {
    const char* name;
    velmar::batch::AnomalyBatch eca_from_mea, tra_from_mea, tra_from_eca, eca_from_tra, mea_from_tra;
    velmar::batch::SinCosBatch sin_cos;
    velmar::batch::Atan2Batch atan2;
    velmar::batch::TwoBodyBatch two_body;
};

#define VELMAR_PATHS(SUFFIX, ATTRIBUTE)                                                                      \
    ATTRIBUTE void eca_from_mea_##SUFFIX(const double* in, double e, double* out, Py_ssize_t n) {            \
        eca_from_mea_loop(in, e, out, n);                                                                    \
    }                                                                                                        \
    ATTRIBUTE void tra_from_mea_##SUFFIX(const double* in, double e, double* out, Py_ssize_t n) {            \
        tra_from_mea_loop(in, e, out, n);                                                                    \
    }                                                                                                        \
    ATTRIBUTE void tra_from_eca_##SUFFIX(const double* in, double e, double* out, Py_ssize_t n) {            \
        tra_from_eca_loop(in, e, out, n);                                                                    \
    }                                                                                                        \
    ATTRIBUTE void eca_from_tra_##SUFFIX(const double* in, double e, double* out, Py_ssize_t n) {            \
        eca_from_tra_loop(in, e, out, n);                                                                    \
    }                                                                                                        \
    ATTRIBUTE void mea_from_tra_##SUFFIX(const double* in, double e, double* out, Py_ssize_t n) {            \
        mea_from_tra_loop(in, e, out, n);                                                                    \
    }                                                                                                        \
    ATTRIBUTE void sin_cos_##SUFFIX(const double* in, double* s, double* c, Py_ssize_t n) {                  \
        sin_cos_loop(in, s, c, n);                                                                           \
    }                                                                                                        \
    ATTRIBUTE void atan2_##SUFFIX(const double* y, const double* x, double* out, Py_ssize_t n) {             \
        atan2_loop(y, x, out, n);                                                                            \
    }                                                                                                        \
    ATTRIBUTE void two_body_##SUFFIX(const double* M, Py_ssize_t n, const double* o, double* r, double* v) { \
        two_body_loop(M, n, o, r, v);                                                                        \
    }                                                                                                        \
    const Paths paths_##SUFFIX = {#SUFFIX,                                                                   \
                                  eca_from_mea_##SUFFIX,                                                     \
                                  tra_from_mea_##SUFFIX,                                                     \
                                  tra_from_eca_##SUFFIX,                                                     \
                                  eca_from_tra_##SUFFIX,                                                     \
                                  mea_from_tra_##SUFFIX,                                                     \
                                  sin_cos_##SUFFIX,                                                          \
                                  atan2_##SUFFIX,                                                            \
                                  two_body_##SUFFIX};

VELMAR_PATHS(baseline, )
#if defined(__x86_64__) && defined(__GNUC__)
#define VELMAR_HAS_X86_PATHS 1
VELMAR_PATHS(avx2, __attribute__((target("avx2"))))
VELMAR_PATHS(avx512, __attribute__((target("avx512f,avx512dq,avx512vl"))))
#endif

#undef VELMAR_PATHS

// The paths this processor can run, widest first.
int available_paths(const Paths* out[3]) {
    int count = 0;
#ifdef VELMAR_HAS_X86_PATHS
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl"))
        out[count++] = &paths_avx512;
    if (__builtin_cpu_supports("avx2")) out[count++] = &paths_avx2;
#endif
    out[count++] = &paths_baseline;
    return count;
}

std::atomic<const Paths*> active{&paths_baseline};

const Paths& paths() { return *active.load(std::memory_order_relaxed); }

// What the other modules bind: the active path of each.
void c_eca_from_mea_batch(const double* in, double const e, double* out, Py_ssize_t const n) {
    paths().eca_from_mea(in, e, out, n);
}
void c_tra_from_mea_batch(const double* in, double const e, double* out, Py_ssize_t const n) {
    paths().tra_from_mea(in, e, out, n);
}
void c_tra_from_eca_batch(const double* in, double const e, double* out, Py_ssize_t const n) {
    paths().tra_from_eca(in, e, out, n);
}
void c_eca_from_tra_batch(const double* in, double const e, double* out, Py_ssize_t const n) {
    paths().eca_from_tra(in, e, out, n);
}
void c_mea_from_tra_batch(const double* in, double const e, double* out, Py_ssize_t const n) {
    paths().mea_from_tra(in, e, out, n);
}
void c_sin_cos_batch(const double* x, double* s, double* c, Py_ssize_t const n) { paths().sin_cos(x, s, c, n); }
void c_atan2_batch(const double* y, const double* x, double* out, Py_ssize_t const n) { paths().atan2(y, x, out, n); }
void c_two_body_batch(const double* M, Py_ssize_t const n, const double* orbit, double* r, double* v) {
    paths().two_body(M, n, orbit, r, v);
}

// Python access: f(angle, ecc) -> float, with the conversions' -1.0 marker
// turned back into the pending exception.
template <double (*convert)(double, double)>
PyObject* angle_function(const velmar::Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[2];
    if (!velmar::bind_fastcall(sig, args, nargs, kwnames, a)) return nullptr;
    double angle, ecc;
    if (!velmar::read_double(a[0], angle) || !velmar::read_double(a[1], ecc)) return nullptr;
    const double result = convert(angle, ecc);
    if (result == -1.0 && PyErr_Occurred()) return nullptr;
    return PyFloat_FromDouble(result);
}

// The Python faces: the same functions as the array forms, one value at a time.
double eca_from_mea(double mea, double ecc) { return c_eca_from_mea(mea, ecc); }
double eca_from_tra(double tra, double ecc) { return eca_from_tra_one(tra, ecc, velmar::coe::semi_minor_ratio(ecc)); }
double tra_from_eca(double eca, double ecc) { return tra_from_eca_one(eca, ecc, velmar::coe::semi_minor_ratio(ecc)); }
double tra_from_mea(double mea, double ecc) { return tra_from_mea_one(mea, ecc, velmar::coe::semi_minor_ratio(ecc)); }
double mea_from_tra(double tra, double ecc) { return mea_from_tra_one(tra, ecc, velmar::coe::semi_minor_ratio(ecc)); }

constexpr const char* mea_names[] = {"mea", "ecc"};
constexpr const char* eca_names[] = {"eca", "ecc"};
constexpr const char* tra_names[] = {"tra", "ecc"};

#define VELMAR_ANGLE_FUNCTION(NAME, CONVERT, NAMES)                                              \
    PyObject* py_##NAME(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) { \
        static constexpr velmar::Signature sig{#NAME, NAMES, 2, 2, 2};                           \
        return angle_function<CONVERT>(sig, args, nargs, kwnames);                               \
    }

VELMAR_ANGLE_FUNCTION(eca_from_mea, eca_from_mea, mea_names)
VELMAR_ANGLE_FUNCTION(c_eca_from_mea, eca_from_mea, mea_names)
VELMAR_ANGLE_FUNCTION(eca_from_tra, eca_from_tra, tra_names)
VELMAR_ANGLE_FUNCTION(tra_from_eca, tra_from_eca, eca_names)
VELMAR_ANGLE_FUNCTION(tra_from_mea, tra_from_mea, mea_names)
VELMAR_ANGLE_FUNCTION(mea_from_tra, mea_from_tra, tra_names)

#undef VELMAR_ANGLE_FUNCTION

// A new float64 array with the values of the one-dimensional float64 buffer
// `obj`: where the array forms run, in place. The copy also keeps the loop
// off memory that another thread could resize or free once the lock is
// released.
PyObject* copy_of(PyObject* obj, Py_ssize_t& n) {
    velmar::View1D<double> in;
    if (!in.acquire(obj)) return nullptr;
    n = in.size();
    Ref out = Ref::steal(velmar::new_double_array(n));
    if (!out) return nullptr;
    double* data = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out.get())));
    if (in.contiguous()) {
        std::memcpy(data, in.data(), sizeof(double) * n);
    } else {
        for (Py_ssize_t i = 0; i < n; ++i) data[i] = in[i];
    }
    return out.release();
}

double* data_of(PyObject* array) { return static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array))); }

// f_array(angles, ecc): an anomaly conversion over a one-dimensional float64
// buffer, in one native loop without the interpreter lock.
template <velmar::batch::AnomalyBatch Paths::* which>
PyObject* array_function(const velmar::Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[2];
    if (!velmar::bind_fastcall(sig, args, nargs, kwnames, a)) return nullptr;
    double ecc;
    if (!velmar::read_double(a[1], ecc)) return nullptr;
    Py_ssize_t n = 0;
    Ref out = Ref::steal(copy_of(a[0], n));
    if (!out) return nullptr;
    double* data = data_of(out.get());
    const velmar::batch::AnomalyBatch f = paths().*which;
    Py_BEGIN_ALLOW_THREADS f(data, ecc, data, n);
    Py_END_ALLOW_THREADS return out.release();
}

#define VELMAR_ARRAY_FUNCTION(NAME, FIELD, NAMES)                                                \
    PyObject* py_##NAME(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) { \
        static constexpr velmar::Signature sig{#NAME, NAMES, 2, 2, 2};                           \
        return array_function<&Paths::FIELD>(sig, args, nargs, kwnames);                         \
    }

VELMAR_ARRAY_FUNCTION(eca_from_mea_array, eca_from_mea, mea_names)
VELMAR_ARRAY_FUNCTION(tra_from_mea_array, tra_from_mea, mea_names)
VELMAR_ARRAY_FUNCTION(tra_from_eca_array, tra_from_eca, eca_names)
VELMAR_ARRAY_FUNCTION(eca_from_tra_array, eca_from_tra, tra_names)
VELMAR_ARRAY_FUNCTION(mea_from_tra_array, mea_from_tra, tra_names)

#undef VELMAR_ARRAY_FUNCTION

// _sin_cos_array(x) -> (sin, cos) and _atan2_array(y, x): the kernels, for
// checking them against the C library.
PyObject* py_sin_cos_array(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* names[] = {"x"};
    static constexpr velmar::Signature sig{"_sin_cos_array", names, 1, 1, 1};
    PyObject* a[1];
    if (!velmar::bind_fastcall(sig, args, nargs, kwnames, a)) return nullptr;
    Py_ssize_t n = 0;
    Ref s = Ref::steal(copy_of(a[0], n));
    if (!s) return nullptr;
    Ref c = Ref::steal(velmar::new_double_array(n));
    if (!c) return nullptr;
    double* x = data_of(s.get());
    double* cos = data_of(c.get());
    const velmar::batch::SinCosBatch f = paths().sin_cos;
    Py_BEGIN_ALLOW_THREADS f(x, x, cos, n);
    Py_END_ALLOW_THREADS return PyTuple_Pack(2, s.get(), c.get());
}

PyObject* py_atan2_array(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* names[] = {"y", "x"};
    static constexpr velmar::Signature sig{"_atan2_array", names, 2, 2, 2};
    PyObject* a[2];
    if (!velmar::bind_fastcall(sig, args, nargs, kwnames, a)) return nullptr;
    Py_ssize_t n = 0, m = 0;
    Ref y = Ref::steal(copy_of(a[0], n));
    if (!y) return nullptr;
    Ref x = Ref::steal(copy_of(a[1], m));
    if (!x) return nullptr;
    if (m != n) {
        PyErr_Format(PyExc_ValueError, velmar::msg::rows_differ, "y", n, "x", m);
        return nullptr;
    }
    double* yd = data_of(y.get());
    const double* xd = data_of(x.get());
    const velmar::batch::Atan2Batch f = paths().atan2;
    Py_BEGIN_ALLOW_THREADS f(yd, xd, yd, n);
    Py_END_ALLOW_THREADS return y.release();
}

// _one_by_one_array(mea, ecc, markley): a one-value solver called once per
// value through a pointer, as the propagator's fallback loop and the TLE
// reader call it: velmar's solver, or (markley true) the solver velmar had
// before, for the benchmarks' before-and-after row.
double (*volatile solver_for_timing[2])(double const, double const) = {c_eca_from_mea, markley_eca_from_mea};

PyObject* py_one_by_one_array(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* names[] = {"mea", "ecc", "markley"};
    static constexpr velmar::Signature sig{"_one_by_one_array", names, 3, 3, 3};
    PyObject* a[3];
    if (!velmar::bind_fastcall(sig, args, nargs, kwnames, a)) return nullptr;
    double ecc;
    if (!velmar::read_double(a[1], ecc)) return nullptr;
    const int markley = PyObject_IsTrue(a[2]);
    if (markley < 0) return nullptr;
    Py_ssize_t n = 0;
    Ref out = Ref::steal(copy_of(a[0], n));
    if (!out) return nullptr;
    double* data = data_of(out.get());
    double (*const solve)(double const, double const) = solver_for_timing[markley];
    Py_BEGIN_ALLOW_THREADS for (Py_ssize_t i = 0; i < n; ++i) data[i] = solve(data[i], ecc);
    Py_END_ALLOW_THREADS return out.release();
}

// _isa_paths() -> the instruction sets the array forms can run on here,
// widest first; _use_isa(name) makes one of them the active one (for tests
// that compare them) and returns the name of the one it replaces.
PyObject* py_isa_paths(PyObject*, PyObject*) {
    const Paths* found[3];
    const int count = available_paths(found);
    Ref names = Ref::steal(PyTuple_New(count));
    if (!names) return nullptr;
    for (int k = 0; k < count; ++k) {
        PyObject* name = PyUnicode_FromString(found[k]->name);
        if (!name) return nullptr;
        PyTuple_SET_ITEM(names.get(), k, name);
    }
    return names.release();
}

const Paths* path_named(const char* name) {
    const Paths* found[3];
    const int count = available_paths(found);
    for (int k = 0; k < count; ++k)
        if (std::strcmp(found[k]->name, name) == 0) return found[k];
    return nullptr;
}

PyObject* py_use_isa(PyObject*, PyObject* arg) {
    const char* name = PyUnicode_AsUTF8(arg);
    if (!name) return nullptr;
    const Paths* chosen = path_named(name);
    if (!chosen) {
        PyErr_Format(PyExc_ValueError, velmar::msg::isa_unknown, arg);
        return nullptr;
    }
    return PyUnicode_FromString(active.exchange(chosen)->name);
}

PyMethodDef methods[] = {
    {"eca_from_mea", VELMAR_FASTCALL(py_eca_from_mea),
     "eca_from_mea($module, mea, ecc)\n--\n\n"
     "Eccentric anomaly E (rad) with E - ecc sin E = mea: Kepler's equation.\n\n"
     "Any real mea: the whole turns are kept, so mea in [k pi, (k + 1) pi] gives E\n"
     "in the same interval. 0 <= ecc < 1; an eccentricity outside that range, and\n"
     "a NaN or infinite mea, give NaN."},
    {"c_eca_from_mea", VELMAR_FASTCALL(py_c_eca_from_mea),
     "c_eca_from_mea($module, mea, ecc)\n--\n\n"
     "The native Kepler solver called from Python; the same as eca_from_mea."},
    {"eca_from_mea_array", VELMAR_FASTCALL(py_eca_from_mea_array),
     "eca_from_mea_array($module, mea, ecc)\n--\n\n"
     "eca_from_mea over a one-dimensional float64 array of mean anomalies (rad)\n"
     "with one eccentricity, in one native loop. Returns a new float64 array with\n"
     "the same bits as eca_from_mea value by value."},
    {"tra_from_mea_array", VELMAR_FASTCALL(py_tra_from_mea_array),
     "tra_from_mea_array($module, mea, ecc)\n--\n\ntra_from_mea over a one-dimensional float64 array."},
    {"tra_from_eca_array", VELMAR_FASTCALL(py_tra_from_eca_array),
     "tra_from_eca_array($module, eca, ecc)\n--\n\ntra_from_eca over a one-dimensional float64 array."},
    {"eca_from_tra_array", VELMAR_FASTCALL(py_eca_from_tra_array),
     "eca_from_tra_array($module, tra, ecc)\n--\n\neca_from_tra over a one-dimensional float64 array."},
    {"mea_from_tra_array", VELMAR_FASTCALL(py_mea_from_tra_array),
     "mea_from_tra_array($module, tra, ecc)\n--\n\nmea_from_tra over a one-dimensional float64 array."},
    {"_sin_cos_array", VELMAR_FASTCALL(py_sin_cos_array),
     "_sin_cos_array($module, x)\n--\n\nThe sine and cosine kernels of the array forms (private)."},
    {"_atan2_array", VELMAR_FASTCALL(py_atan2_array),
     "_atan2_array($module, y, x)\n--\n\nThe arctangent kernel of the array forms (private)."},
    {"_one_by_one_array", VELMAR_FASTCALL(py_one_by_one_array),
     "_one_by_one_array($module, mea, ecc, markley)\n--\n\n"
     "A one-value solver called value by value (private, for benchmarks)."},
    {"_isa_paths", py_isa_paths, METH_NOARGS,
     "_isa_paths($module, /)\n--\n\nInstruction sets the array forms can run on here, widest first (private)."},
    {"_use_isa", py_use_isa, METH_O,
     "_use_isa($module, name, /)\n--\n\nMake the array forms run on `name`; returns the previous one (private)."},
    {"eca_from_tra", VELMAR_FASTCALL(py_eca_from_tra),
     "eca_from_tra($module, tra, ecc)\n--\n\n"
     "Eccentric anomaly (rad) of the true anomaly tra (rad), in [0, 2 pi)."},
    {"tra_from_eca", VELMAR_FASTCALL(py_tra_from_eca),
     "tra_from_eca($module, eca, ecc)\n--\n\n"
     "True anomaly (rad) of the eccentric anomaly eca (rad), in [0, 2 pi)."},
    {"tra_from_mea", VELMAR_FASTCALL(py_tra_from_mea),
     "tra_from_mea($module, mea, ecc)\n--\n\n"
     "True anomaly (rad) of the mean anomaly mea (rad, any number of turns), in [0, 2 pi)."},
    {"mea_from_tra", VELMAR_FASTCALL(py_mea_from_tra),
     "mea_from_tra($module, tra, ecc)\n--\n\n"
     "Mean anomaly (rad) of the true anomaly tra (rad), in [0, 2 pi)."},
    {nullptr, nullptr, 0, nullptr}};

int exec_coe(PyObject* module) {
    if (!velmar::import_numpy()) return -1;
    if (!velmar::export_function(module, "c_eca_from_mea", c_eca_from_mea, velmar::signature::double_of_two_doubles) ||
        !velmar::export_function(module, "batch_solver", c_eca_from_mea, velmar::signature::double_of_two_doubles))
        return -1;
    namespace sig = velmar::batch::signature;
    if (!velmar::export_function(module, "c_eca_from_mea_batch", c_eca_from_mea_batch, sig::anomaly) ||
        !velmar::export_function(module, "c_tra_from_mea_batch", c_tra_from_mea_batch, sig::anomaly) ||
        !velmar::export_function(module, "c_tra_from_eca_batch", c_tra_from_eca_batch, sig::anomaly) ||
        !velmar::export_function(module, "c_eca_from_tra_batch", c_eca_from_tra_batch, sig::anomaly) ||
        !velmar::export_function(module, "c_mea_from_tra_batch", c_mea_from_tra_batch, sig::anomaly) ||
        !velmar::export_function(module, "c_sin_cos_batch", c_sin_cos_batch, sig::sin_cos) ||
        !velmar::export_function(module, "c_atan2_batch", c_atan2_batch, sig::atan2) ||
        !velmar::export_function(module, "c_two_body_batch", c_two_body_batch, sig::two_body))
        return -1;
    // The widest instruction set, unless VELMAR_ISA names another this
    // processor runs (for reproducing a result of another machine).
    const Paths* found[3];
    available_paths(found);
    const char* wanted = std::getenv("VELMAR_ISA");
    const Paths* named = wanted ? path_named(wanted) : nullptr;
    active.store(named ? named : found[0]);
    return 0;
}

}  // namespace

VELMAR_MODULE(coe, "Kepler's equation and the conversions between the true, eccentric and mean anomalies.", methods,
              exec_coe)
