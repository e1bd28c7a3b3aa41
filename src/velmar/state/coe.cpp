// Kepler's equation M = E - e sin E, solved for the eccentric anomaly E, and
// Python access to the anomaly conversions of coe.hpp.
//
// c_eca_from_mea is exported natively: the propagator and the TLE reader call
// it once per epoch, so it holds no Python object, allocates nothing and never
// loops. The solver is Markley's (Celestial Mechanics 63, 1995): a cubic
// starter good to 3e-4 of E, then one sixth-order correction. What
// limits the accuracy is not the method but the evaluation of
// f(E) = E - e sin E - M near perigee when e is close to 1: there E and
// e sin E almost cancel while f'(E) = 1 - e cos E is tiny, so both are
// computed in forms free of cancellation.
#define VELMAR_NUMPY_IMPORT
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <numbers>

#include "velmar/_native/args.hpp"
#include "velmar/_native/buffer.hpp"
#include "velmar/_native/exports.hpp"
#include "velmar/_native/module.hpp"
#include "velmar/_native/numpy.hpp"
#include "velmar/mathtools/sincos.hpp"
#include "velmar/state/coe.hpp"

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

// Kepler's equation for 0 <= a <= about pi (a = |M| of the reduced angle).
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
    const double discriminant = q * q * q + r * r;  // >= 0 but for rounding
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
    // The correction d solves the Taylor expansion of f about E to fifth
    // order, f0 + f1 d + ... + f5 d^5 / 120 = 0, by series reversion in
    // Newton's step h = -f0 / f1: d = h - A h^2 + (2A^2 - B) h^3 + ..., with
    // A, B, C, D the ratios of f's higher derivatives to f1 (those derivatives
    // are e sin E, e cos E, -e sin E, -e cos E). It leaves an error of order
    // h^6, and costs one division where Halley-type steps chain three.
    const double g = 1.0 / f1;
    const double h = -f0 * g;
    const double es = ecc * sin_e * g;
    const double ec = ecc * cos_e * g;
    const double A = 0.5 * es;
    const double B = ec * (1.0 / 6.0);
    const double C = -es * (1.0 / 24.0);
    const double D = -ec * (1.0 / 120.0);
    const double A2 = A * A;
    const double c3 = 2.0 * A2 - B;
    const double c4 = 5.0 * A * (B - A2) - C;
    const double c5 = A2 * (14.0 * A2 - 21.0 * B) + 6.0 * A * C + 3.0 * B * B - D;
    return E + h * (1.0 + h * (-A + h * (c3 + h * (c4 + h * c5))));
}

// Signed solution for a reduced mean anomaly m in about [-pi, pi].
double solve_signed(double m, double ecc) {
    if (m == 0.0) return m;
    return std::copysign(solve_reduced(std::fabs(m), ecc), m);
}

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
double c_eca_from_mea(double const mea, double const ecc) {
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

velmar::coe::Kepler kepler;  // bound in exec_coe

// Python access: f(angle, ecc) -> float, with the conversions' -1.0 marker
// turned back into the pending exception.
template <double (*convert)(double, double)>
PyObject* angle_function(const velmar::Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
    PyObject* a[2];
    if (!velmar::bind_fastcall(sig, args, nargs, kwnames, a)) return nullptr;
    double angle, ecc;
    if (!velmar::read_double(a[0], angle) || !velmar::read_double(a[1], ecc)) return nullptr;
    const double result = convert(angle, ecc);
    if (result == -1.0 && PyErr_Occurred()) return nullptr;
    return PyFloat_FromDouble(result);
}

double eca_from_mea(double mea, double ecc) { return c_eca_from_mea(mea, ecc); }
double eca_from_tra(double tra, double ecc) { return velmar::coe::c_eca_from_tra(kepler, tra, ecc); }
double tra_from_eca(double eca, double ecc) { return velmar::coe::c_tra_from_eca(kepler, eca, ecc); }
double tra_from_mea(double mea, double ecc) { return velmar::coe::c_tra_from_mea(kepler, mea, ecc); }
double mea_from_tra(double tra, double ecc) { return velmar::coe::c_mea_from_tra(kepler, tra, ecc); }

constexpr const char* mea_names[] = {"mea", "ecc"};
constexpr const char* eca_names[] = {"eca", "ecc"};
constexpr const char* tra_names[] = {"tra", "ecc"};

#define VELMAR_ANGLE_FUNCTION(NAME, CONVERT, NAMES)                                                  \
    PyObject* py_##NAME(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {     \
        static constexpr velmar::Signature sig{#NAME, NAMES, 2, 2, 2};                               \
        return angle_function<CONVERT>(sig, args, nargs, kwnames);                                   \
    }

VELMAR_ANGLE_FUNCTION(eca_from_mea, eca_from_mea, mea_names)
VELMAR_ANGLE_FUNCTION(c_eca_from_mea, eca_from_mea, mea_names)
VELMAR_ANGLE_FUNCTION(eca_from_tra, eca_from_tra, tra_names)
VELMAR_ANGLE_FUNCTION(tra_from_eca, tra_from_eca, eca_names)
VELMAR_ANGLE_FUNCTION(tra_from_mea, tra_from_mea, mea_names)
VELMAR_ANGLE_FUNCTION(mea_from_tra, mea_from_tra, tra_names)

#undef VELMAR_ANGLE_FUNCTION

// eca_from_mea_array(mea, ecc): the solver over a one-dimensional float64
// buffer in one native loop, for bulk use and for timing the solver itself.
PyObject* py_eca_from_mea_array(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr velmar::Signature sig{"eca_from_mea_array", mea_names, 2, 2, 2};
    PyObject* a[2];
    if (!velmar::bind_fastcall(sig, args, nargs, kwnames, a)) return nullptr;
    velmar::View1D<double> mea;
    if (!mea.acquire(a[0])) return nullptr;
    double ecc;
    if (!velmar::read_double(a[1], ecc)) return nullptr;
    const Py_ssize_t n = mea.size();
    Ref out = Ref::steal(velmar::new_double_array(n));
    if (!out) return nullptr;
    double* eca = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out.get())));
    Py_BEGIN_ALLOW_THREADS
    for (Py_ssize_t i = 0; i < n; ++i) eca[i] = c_eca_from_mea(mea[i], ecc);
    Py_END_ALLOW_THREADS
    return out.release();
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
     "with one eccentricity, in one native loop. Returns a new float64 array."},
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
    if (!velmar::export_function(module, "c_eca_from_mea", c_eca_from_mea, velmar::signature::double_of_two_doubles))
        return -1;
    // Kepler::bind would import this very module; the solver is right here.
    kepler.eca_from_mea = c_eca_from_mea;
    return velmar::import_function("velmar.mathtools.misc.misc", "atan2_asymmetric",
                                   velmar::signature::double_of_two_doubles, kepler.atan2_asymmetric)
               ? 0
               : -1;
}

}  // namespace

VELMAR_MODULE(coe, "Kepler's equation and the conversions between the true, eccentric and mean anomalies.",
              methods, exec_coe)
