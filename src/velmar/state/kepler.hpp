// Kepler's equation M = E - e sin E, written once for one value and for
// arrays. The same functions serve both, so a loop over an array and a call
// for one value give the same bits.
//
// The method (after Brandt et al., AJ 162:186, 2021): for one eccentricity,
// E(M) on [0, pi] is cut at E_k = k pi / 12 into twelve pieces, each a
// quintic that matches E, dE/dM and d2E/dM2 at both ends (Hermite); the
// starter it gives (within 3e-4 of E) is finished by one correction of sixth
// order (Taylor expansion of f to fifth order, reverted as a series in
// Newton's step, one division). Near perigee f(E) = E - e sin E - M and
// f'(E) = 1 - e cos E are formed as (1 - e) E + e (E - sin E) - M and
// (1 - e) + e (1 - cos E), free of the cancellation when e is close to 1.
// The quintic is poor only in the first two pieces when e >= 0.9 (the
// corner where E ~ (6 M)^(1/3)); those values go to Markley's cubic starter
// (Celestial Mechanics 63, 1995), the solver velmar used before, with the
// same correction.
//
// kepler_core gives NaN for every value it does not settle: the corner, a
// mean anomaly beyond about 2^20 turns, NaN or infinite. Loops run it over a
// block and then redo the NaN results with c_eca_from_mea, which takes the
// slow paths; a NaN input comes out NaN from both.
#pragma once
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <numbers>

#include "velmar/mathtools/trig.hpp"

namespace velmar::kepler {

inline constexpr int pieces = 12;
inline constexpr double corner_eccentricity = 0.9;
inline constexpr int corner_pieces = 2;
// Mean anomalies up to here are reduced in the loops (turn count < 2^20).
inline constexpr double reduce_limit = 6.5e6;

// The ends of the pieces, E = k pi / pieces, with their sines and cosines.
struct Nodes {
    double E[pieces + 1], s[pieces + 1], co[pieces + 1];
    Nodes() {
        for (int k = 0; k <= pieces; ++k) {
            E[k] = k * (std::numbers::pi / pieces);
            s[k] = std::sin(E[k]);
            co[k] = std::cos(E[k]);
        }
    }
};

inline const Nodes& nodes() {
    static const Nodes made;
    return made;
}

// The pieces of one eccentricity. Piece k covers [M[k], M[k + 1]); on it
// E = E0 + t d0 + t^2 (c2 + t c3) + t^4 (c4 + t c5) with t = M - M[k]
// (Estrin's scheme: a short chain of dependent operations).
struct Table {
    double ecc = -1.0;       // none yet
    std::uint32_t made = 0;  // bit k: piece k's coefficients are there
    double M[pieces + 1] = {};
    double E0[pieces] = {}, d0[pieces] = {}, c2[pieces] = {}, c3[pieces] = {}, c4[pieces] = {}, c5[pieces] = {};

    // The ends of the pieces in M for eccentricity e; no piece made yet. A
    // TLE reader calls the solver with a new eccentricity for almost every
    // set and needs one piece of it, so pieces are made when asked for
    // (make) or all at once (build), from the same expressions either way.
    void start(double e) {
        const Nodes& nd = nodes();
        for (int k = 0; k <= pieces; ++k) M[k] = nd.E[k] - e * nd.s[k];
        ecc = e;
        made = 0;
    }

    void make(std::int64_t k) {
        const Nodes& nd = nodes();
        const double e = ecc;
        // dE/dM = 1 / (1 - e cos E), d2E/dM2 = -e sin E (dE/dM)^3
        const double y0 = 1.0 / (1.0 - e * nd.co[k]);
        const double y1 = 1.0 / (1.0 - e * nd.co[k + 1]);
        const double yy0 = -e * nd.s[k] * y0 * y0 * y0;
        const double yy1 = -e * nd.s[k + 1] * y1 * y1 * y1;
        const double h = M[k + 1] - M[k];
        const double half = 0.5 * yy0;
        // What the quadratic of the left end leaves at the right end, in
        // value, slope and curvature (scaled by h), fixes the cubic,
        // quartic and quintic terms.
        const double D0 = nd.E[k + 1] - (nd.E[k] + y0 * h + half * h * h);
        const double D1 = (y1 - (y0 + 2.0 * half * h)) * h;
        const double D2 = (yy1 - yy0) * h * h;
        const double u = 1.0 / h;
        const double u3 = u * u * u;
        E0[k] = nd.E[k];
        d0[k] = y0;
        c2[k] = half;
        c3[k] = (10.0 * D0 - 4.0 * D1 + 0.5 * D2) * u3;
        c4[k] = (-15.0 * D0 + 7.0 * D1 - D2) * (u3 * u);
        c5[k] = (6.0 * D0 - 3.0 * D1 + 0.5 * D2) * (u3 * u * u);
        made |= std::uint32_t{1} << k;
    }

    void build(double e) {
        start(e);
        for (int k = 0; k < pieces; ++k) make(k);
    }

    bool complete() const { return made == (std::uint32_t{1} << pieces) - 1; }
};

// What solve_piece does with the piece it picked before reading it: nothing
// for a complete table (the array loops), making it for a lazy one.
struct Complete {
    void operator()(std::int64_t) const {}
};

// One step from E to the root of f(E) = E - e sin E - M, given f0 = f(E),
// f1 = f'(E), e sin E and e cos E. It solves the Taylor expansion of f about
// E to fifth order, f0 + f1 d + ... + f5 d^5 / 120 = 0, by series reversion
// in Newton's step h = -f0 / f1: d = h - A h^2 + (2A^2 - B) h^3 + ..., with
// A, B, C, D the ratios of f's higher derivatives (e sin E, e cos E,
// -e sin E, -e cos E) to f1. The error left is of order h^6, for one
// division where Halley-type steps chain three.
VELMAR_KERNEL double correct(double E, double f0, double f1, double e_sin, double e_cos) {
    const double g = 1.0 / f1;
    const double h = -f0 * g;
    const double es = e_sin * g;
    const double ec = e_cos * g;
    const double A = 0.5 * es;
    const double B = ec * (1.0 / 6.0);
    const double C = -es * (1.0 / 24.0);
    const double D = -ec * (1.0 / 120.0);
    const double A2 = A * A;
    const double c3 = 2.0 * A2 - B;
    const double c4 = 5.0 * A * (B - A2) - C;
    const double c5 = A2 * (14.0 * A2 - 21.0 * B) + 6.0 * A * C + 3.0 * B * B - D;
    // In two halves rather than by Horner's rule: a shorter chain of
    // dependent operations, the same accuracy at these sizes of h.
    const double h2 = h * h;
    return E + (h + (h2 * (-A + h * c3) + (h2 * h2) * (c4 + h * c5)));
}

// E for 0 <= m <= about pi from the starter E0 and one correction. NaN in the
// corner.
template <class Prepare = Complete> VELMAR_KERNEL double solve_piece(const Table& T, double m, Prepare prepare = {}) {
    const double e = T.ecc;
    std::int64_t j = 0;  // 64 bits, as wide as the doubles it indexes: the vectoriser needs that
#if defined(__GNUC__)
#pragma GCC unroll 16
#endif
    for (int k = 1; k < pieces; ++k) j += m >= T.M[k];
    prepare(j);
    const double t = m - T.M[j];
    const double t2 = t * t;
    const double E = (T.E0[j] + t * T.d0[j]) + t2 * ((T.c2[j] + t * T.c3[j]) + t2 * (T.c4[j] + t * T.c5[j]));

    // sin E and cos E, and near perigee (E within pi/4 of 0, where the
    // reduction leaves E as it is) E - sin E and 1 - cos E from the same
    // polynomials without the subtraction. E is within [0, pi] but for the
    // starter's error, so n pi/2 (n = 0, 1, 2) is taken off in two parts, the
    // first exact; what that leaves (below 1e-27) is far under the
    // correction's needs.
    constexpr double two_over_pi = 6.36619772367581382433e-01;
    constexpr double p1 = 1.57079632673412561417e+00;  // first 33 bits of pi/2
    constexpr double p2 = 6.07710050650619224932e-11;  // pi/2 - p1
    const double shifted = E * two_over_pi + trig::detail::shifter;
    const std::uint64_t q = trig::detail::bits_of(shifted) & 3u;
    const double n = shifted - trig::detail::shifter;
    const double y = (E - n * p1) - n * p2;
    const double z = y * y;
    const double v = z * y;
    const double rs = trig::detail::sin_poly(z);
    const double rc = trig::detail::cos_poly(z);
    const double e_minus_sin = -(z * (v * rs)) - v * trig::detail::S1;  // y - sin y
    const double hz = 0.5 * z;
    const double w = 1.0 - hz;
    const double one_minus_cos = hz - z * rc;
    const double ks = y - e_minus_sin;
    const double kc = w + (((1.0 - w) - hz) + z * rc);
    const double s0 = (q & 1u) ? kc : ks;
    const double c0 = (q & 1u) ? ks : kc;
    const double sin_e = (q & 2u) ? -s0 : s0;
    const double cos_e = ((q + 1u) & 2u) ? -c0 : c0;
    const double one_minus_e = 1.0 - e;
    const bool near = q == 0;
    const double f0 = near ? (one_minus_e * E + e * e_minus_sin) - m : (E - m) - e * sin_e;
    const double f1 = near ? one_minus_e + e * one_minus_cos : 1.0 - e * cos_e;

    const double solved = correct(E, f0, f1, e * sin_e, e * cos_e);
    const bool corner = e >= corner_eccentricity && j < corner_pieces;
    return corner ? std::numeric_limits<double>::quiet_NaN() : solved;
}

// 2 pi in three 33-bit pieces (exact products with a turn count below 2^20)
// and the rest.
inline constexpr double two_pi_1 = 4 * 1.57079632673412561417e+00;
inline constexpr double two_pi_2 = 4 * 6.07710050630396597660e-11;
inline constexpr double two_pi_3 = 4 * 2.02226624871116645580e-21;
inline constexpr double two_pi_3t = 4 * 8.47842766036889956997e-32;

// E with E - ecc sin E = mea, for the ecc of T (0 < ecc < 1), or NaN where
// the slow paths must decide (see above). Whole turns are kept:
// E = mea + (E_m - m) for the reduced angle m and its solution E_m, and
// E(-mea) = -E(mea).
template <class Prepare = Complete> VELMAR_KERNEL double kepler_core(const Table& T, double mea, Prepare prepare = {}) {
    const double a = std::fabs(mea);
    const double shifted = a * (1.0 / two_pi_1) + trig::detail::shifter;
    const double turns = shifted - trig::detail::shifter;
    // a - turns 2 pi, each product exact, in about [-pi, pi]; a itself when
    // there are no turns to take off. The two roundings leave m within an ulp
    // of its own size, and E_m - m magnifies that by dE/dM - 1, large only
    // near perigee, where m, and so its ulp, is small.
    const double r = a - turns * two_pi_1;  // exact
    const double m = ((r - turns * two_pi_2) - turns * two_pi_3) - turns * two_pi_3t;
    const double E = std::copysign(solve_piece(T, std::fabs(m), prepare), m);
    const double unsigned_result = a <= std::numbers::pi ? E : a + (E - m);
    const double result = std::copysign(unsigned_result, mea);
    return a <= reduce_limit ? result : std::numeric_limits<double>::quiet_NaN();
}

}  // namespace velmar::kepler
