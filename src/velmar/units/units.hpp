// The unit constants in SI, for the modules that use them in their own
// arithmetic; velmar.units.units exports these same values to Python and, by
// name, to modules that bind them at import.
#pragma once
#include <numbers>

namespace velmar::units {

inline constexpr double m = 1.0;
inline constexpr double km = 1000.0;
inline constexpr double s = 1.0;
inline constexpr double ms = 1e-3;
inline constexpr double minute = 60.0;
inline constexpr double hour = 3600.0;
inline constexpr double day = 86400.0;
inline constexpr double rad = 1.0;
inline constexpr double deg = std::numbers::pi / 180.0;
inline constexpr double rev = 2.0 * std::numbers::pi;
inline constexpr double arcsec = std::numbers::pi / 648000.0;
inline constexpr double mas = std::numbers::pi / 648000000.0;

}  // namespace velmar::units
