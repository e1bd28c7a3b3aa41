// Conversions between classical orbital elements and position-velocity
// states, shared by the single states (velmar.state.state) and the
// ephemerides (velmar.state.ephemeris). Pure arithmetic: no Python objects.
//
// Conventions where an element is undefined:
//   circular (ecc = 0): arp = 0 and tra is measured from the ascending node
//     (the argument of latitude);
//   equatorial (inc = 0 or pi): raa = 0 and arp is measured from the x axis,
//     in the direction of motion;
//   circular and equatorial: both, so tra is the true longitude.
// Every angle that comes out lies in [0, 2 pi).
#pragma once
#include <cfloat>
#include <cmath>
#include <numbers>

#include "velmar/mathtools/angles.hpp"
#include "velmar/mathtools/sincos.hpp"
#include "velmar/mathtools/trig.hpp"

namespace velmar::conversions {

// Below these, the eccentricity and the tilt of the orbital plane are at the
// level of the rounding in r and v, and the angles they define are noise.
inline constexpr double circular_eccentricity = 1e-14;
inline constexpr double equatorial_sine = 1e-14;

// An angle in (-2 pi, 4 pi) brought into [0, 2 pi). A tiny negative angle
// rounds to exactly 2 pi when 2 pi is added; that is folded to 0.
inline double wrap(double a) {
    if (a < 0.0) a += two_pi;
    if (a >= two_pi) a -= two_pi;
    return a;
}

// The orbital plane and the line of apsides: the inertial directions of the
// perifocal x axis (towards periapsis) and y axis. This is the 3-1-3 rotation
// R3(-raa) R1(-inc) R3(-arp) applied to the perifocal axes.
struct Orientation {
    double P[3];
    double Q[3];

    void set(double inc, double raa, double arp) {
        double ci, si, cO, sO, cw, sw;
        sin_cos(inc, si, ci);
        sin_cos(raa, sO, cO);
        sin_cos(arp, sw, cw);
        P[0] = cO * cw - sO * sw * ci;
        P[1] = sO * cw + cO * sw * ci;
        P[2] = sw * si;
        Q[0] = -cO * sw - sO * cw * ci;
        Q[1] = -sO * sw + cO * cw * ci;
        Q[2] = cw * si;
    }
};

// Position (m) and velocity (m/s) at true anomaly tra on the conic of
// semi-latus rectum slr, with speed_scale = sqrt(GM / slr). The semi-latus
// rectum, unlike the semi-major axis, stays finite and accurate up to and
// beyond ecc = 1. s and c are sin(tra) and cos(tra).
inline void place(const Orientation& o, double ecc, double slr, double speed_scale, double s, double c, double r[3],
                  double v[3]) {
    const double radius = slr / (1.0 + ecc * c);
    const double x = radius * c, y = radius * s;
    const double vx = -speed_scale * s, vy = speed_scale * (ecc + c);
    for (int k = 0; k < 3; ++k) {
        r[k] = x * o.P[k] + y * o.Q[k];
        v[k] = vx * o.P[k] + vy * o.Q[k];
    }
}

// The same from tra itself, with the sine and cosine of the array kernels
// (trig.hpp), so that one state and a row of an ephemeris agree to the bit.
inline void place(const Orientation& o, double ecc, double slr, double speed_scale, double tra, double r[3],
                  double v[3]) {
    double s, c;
    trig::sin_cos(tra, s, c);
    place(o, ecc, slr, speed_scale, s, c, r, v);
}

struct Elements {
    double ecc, sma, inc, raa, arp, tra, slr;
};

inline double dot(const double a[3], const double b[3]) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }

inline void cross(const double a[3], const double b[3], double out[3]) {
    out[0] = a[1] * b[2] - a[2] * b[1];
    out[1] = a[2] * b[0] - a[0] * b[2];
    out[2] = a[0] * b[1] - a[1] * b[0];
}

inline double norm(const double a[3]) { return std::sqrt(dot(a, a)); }

// True when r and v are parallel to within rounding (or one is zero): the
// motion is radial and has no orbital plane.
inline bool radial(const double r[3], const double v[3]) {
    double h[3];
    cross(r, v, h);
    return norm(h) <= 4.0 * DBL_EPSILON * norm(r) * norm(v);
}

// Classical elements of the state (r, v). The caller checks radial() first.
// Every angle comes from atan2 of two components, never from acos, so
// eccentricities and inclinations near 0 (and inclinations near pi) keep
// full precision and the round trip through place() closes to rounding.
inline Elements elements(double GM, const double r[3], const double v[3]) {
    Elements out;
    double h[3];
    cross(r, v, h);
    const double h_norm = norm(h);
    const double r_norm = norm(r);
    out.slr = (h_norm / GM) * h_norm;
    // From the energy, which stays finite through ecc = 1 (sma = inf there).
    out.sma = 1.0 / (2.0 / r_norm - dot(v, v) / GM);

    // Eccentricity vector e = v x h / GM - r / |r|.
    double vxh[3], e[3];
    cross(v, h, vxh);
    for (int k = 0; k < 3; ++k) e[k] = vxh[k] / GM - r[k] / r_norm;
    out.ecc = norm(e);

    // In-plane axes: `node` towards the ascending node, `ahead` 90 degrees
    // further in the direction of motion.
    const double h_xy = std::hypot(h[0], h[1]);
    double node[3], ahead[3];
    if (h_xy <= equatorial_sine * h_norm) {
        const double up = h[2] > 0.0 ? 1.0 : -1.0;
        out.inc = h[2] > 0.0 ? 0.0 : std::numbers::pi;
        out.raa = 0.0;
        node[0] = 1.0, node[1] = 0.0, node[2] = 0.0;
        ahead[0] = 0.0, ahead[1] = up, ahead[2] = 0.0;
    } else {
        out.inc = std::atan2(h_xy, h[2]);
        out.raa = polar_angle(h[0], -h[1]);
        node[0] = -h[1] / h_xy, node[1] = h[0] / h_xy, node[2] = 0.0;
        double unit_h[3] = {h[0] / h_norm, h[1] / h_norm, h[2] / h_norm};
        cross(unit_h, node, ahead);
    }

    // Argument of latitude u = arp + tra; taking tra as u - arp keeps the sum
    // exact even when the direction of periapsis is poorly defined.
    const double u = polar_angle(dot(r, ahead), dot(r, node));
    if (out.ecc <= circular_eccentricity) {
        out.ecc = 0.0;
        out.arp = 0.0;
        out.tra = u;
    } else {
        out.arp = polar_angle(dot(e, ahead), dot(e, node));
        out.tra = wrap(u - out.arp);
    }
    return out;
}

}  // namespace velmar::conversions
