// Geodetic coordinates on an ellipsoid of revolution, and back. One source
// for the batch loops of velmar.frames.geodetic and for the states that carry
// geodetic coordinates, so both give the same bits.
#pragma once
#include <algorithm>
#include <cmath>
#include <numbers>

#include "velmar/_native/exports.hpp"

namespace velmar::geodetic {

struct Shape {
    double a;       // semi-major axis, m
    double e2;      // first eccentricity squared f (2 - f)
    double e4;      // e2 squared
    double e2m;     // 1 - e2 = (b / a)^2, computed as (1 - f)^2 so it keeps its digits for tiny f
    double inv_a2;  // 1 / a^2: divisions are the slow links of the chain below

    Shape(double a_, double f)
        : a(a_), e2(f * (2.0 - f)), e4(e2 * e2), e2m((1.0 - f) * (1.0 - f)), inv_a2(1.0 / (a_ * a_)) {}
};

// Geodetic latitude (rad), longitude (rad, in (-pi, pi]) and height above the
// ellipsoid (m) of the Earth-fixed point (x, y, z).
//
// Closed form of Vermeille (J. Geodesy 78, 2004), written so that nothing
// cancels: the cubic's real root is taken from the sign of its argument that
// adds, and inside the evolute (within about e^2 a = 43 km of the centre for
// WGS84, where several normals of the ellipsoid pass through the point) the
// trigonometric form of the root picks the normal of the nearest foot point,
// which is what geodetic latitude means there. On the equatorial plane inside
// the evolute the point has two nearest feet, one in each hemisphere: the sign
// of z (+0.0 or -0.0) chooses. On the rotation axis the longitude is 0, and the
// centre itself is a pole at height -b, the north one for z = +0.0. No iteration, so there is no
// convergence to fail; NaN in any coordinate gives NaN everywhere.
inline void from_cartesian(const Shape& s, double x, double y, double z, double& lat, double& lon, double& h) {
    lon = (x == 0.0 && y == 0.0) ? 0.0 : std::atan2(y, x);
    const double R2 = x * x + y * y;
    // Beyond ~1e22 m the ellipsoid is a point (and the squares below would
    // overflow near 1e154 m). The comparison is false for NaN too.
    if (!(R2 + z * z < 1e44)) {
        if (std::isnan(R2 + z * z)) {
            lat = lon = h = std::nan("");
            return;
        }
        lat = std::atan2(z, std::hypot(x, y));
        h = std::hypot(std::hypot(x, y), z);
        return;
    }
    const double R = std::sqrt(R2);
    if (s.e4 == 0.0) {  // a sphere
        lat = (R == 0.0 && z == 0.0) ? std::copysign(std::numbers::pi / 2, z) : std::atan2(z, R);
        h = std::sqrt(R2 + z * z) - s.a;
        return;
    }
    const double p = R2 * s.inv_a2;
    const double q = s.e2m * (z * z) * s.inv_a2;
    const double r = (p + q - s.e4) * (1.0 / 6.0);
    if (!(s.e4 * q == 0.0 && r <= 0.0)) {
        const double S = s.e4 * p * q / 4.0;  // r^3 times Vermeille's s
        const double r2 = r * r, r3 = r * r2;
        const double disc = S * (2.0 * r3 + S);
        double u = r;
        if (disc >= 0.0) {
            double T3 = S + r3;
            T3 += T3 < 0.0 ? -std::sqrt(disc) : std::sqrt(disc);
            const double T = std::cbrt(T3);
            u += T + (T != 0.0 ? r2 / T : 0.0);
        } else {
            // Inside the evolute: three real roots; this one is the largest.
            const double angle = std::atan2(std::sqrt(-disc), -(S + r3));
            u += 2.0 * r * std::cos(angle / 3.0);
        }
        const double v = std::sqrt(u * u + s.e4 * q);
        const double uv = u < 0.0 ? s.e4 * q / (v - u) : u + v;  // u + v without cancellation
        const double w = std::max(0.0, 0.5 * s.e2 * (uv - q) / v);
        const double k = uv / (std::sqrt(uv + w * w) + w);
        const double d = k * R / (k + s.e2);
        // tan(lat) = z / d with d >= 0 (z / d = +-inf on the axis); atan is
        // quicker than atan2 and as exact.
        lat = std::atan(z / d);
        h = (1.0 - s.e2m / k) * std::sqrt(d * d + z * z);
    } else {
        // On the equatorial plane inside the evolute: the limit of the
        // general formulas, which would divide zero by zero here.
        const double zz = std::sqrt((s.e4 - p) / s.e2m);
        const double xx = std::sqrt(p);
        lat = std::atan2(std::signbit(z) ? -zz : zz, xx);
        h = -s.a * s.e2m * std::sqrt(zz * zz + xx * xx) / s.e2;
    }
}

// The Earth-fixed position of geodetic (lat, lon, h): the prime-vertical
// radius N = a / sqrt(1 - e^2 sin^2 lat), then ((N + h) cos lat cos lon,
// (N + h) cos lat sin lon, (N (1 - e^2) + h) sin lat).
inline void to_cartesian(const Shape& s, double lat, double lon, double h, double out[3]) {
    const double sl = std::sin(lat), cl = std::cos(lat);
    const double N = s.a / std::sqrt(cl * cl + s.e2m * sl * sl);
    const double rho = (N + h) * cl;
    out[0] = rho * std::cos(lon);
    out[1] = rho * std::sin(lon);
    out[2] = (s.e2m * N + h) * sl;
}

// The shape of WGS84 as velmar.mathtools.ellipsoid defines it, for states
// whose geodetic coordinates are on WGS84. False with an exception set.
[[nodiscard]] inline bool read_wgs84(Shape& out) {
    Ref ellipsoid = Ref::steal(import_object("velmar.mathtools.ellipsoid.ellipsoid", "WGS84"));
    if (!ellipsoid) return false;
    Ref a = Ref::steal(PyObject_GetAttrString(ellipsoid.get(), "a"));
    Ref f = Ref::steal(PyObject_GetAttrString(ellipsoid.get(), "f"));
    if (!a || !f) return false;
    const double av = PyFloat_AsDouble(a.get()), fv = PyFloat_AsDouble(f.get());
    if (PyErr_Occurred()) return false;
    out = Shape(av, fv);
    return true;
}

}  // namespace velmar::geodetic
