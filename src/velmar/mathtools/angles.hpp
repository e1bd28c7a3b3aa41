// The whole turn and the polar angle, for every module that gives angles in
// [0, 2 pi). velmar.mathtools.misc.misc exports polar_angle natively as
// atan2_asymmetric.
#pragma once
#include <cmath>
#include <numbers>

namespace velmar {

inline constexpr double two_pi = 2.0 * std::numbers::pi;

// Polar angle of the point (x, y) in [0, 2 pi). atan2 gives (-pi, pi]; a
// negative angle is moved up a turn, and one so small that the sum rounds to
// 2 pi itself becomes 0, so the interval stays half-open. A zero angle is
// returned as +0.0 whatever the sign of y's zero. NaN in either argument gives
// NaN.
inline double polar_angle(double y, double x) {
    double angle = std::atan2(y, x);
    if (angle < 0.0) {
        angle += two_pi;
        if (angle >= two_pi) angle = 0.0;
    }
    return angle + 0.0;  // -0.0 + 0.0 is +0.0
}

}  // namespace velmar
