"""Reference ellipsoids: Ellipsoid(a, f) and the WGS72, WGS84 and GRS80 ellipsoids."""

from typing import Final, final

@final
class Ellipsoid:
    """A reference ellipsoid of revolution, immutable; equal when ``a`` and ``f`` are equal.

    ``a``: semi-major axis (m), finite and positive; ``f``: flattening, in [0, 1).
    """

    def __new__(cls, a: float, f: float) -> Ellipsoid: ...
    @property
    def a(self) -> float:
        """Semi-major (equatorial) axis (m)."""
    @property
    def f(self) -> float:
        """Flattening (a - b) / a."""
    @property
    def b(self) -> float:
        """Semi-minor (polar) axis a (1 - f) (m)."""
    @property
    def e2(self) -> float:
        """First eccentricity squared f (2 - f)."""

WGS72: Final[Ellipsoid]  # a = 6378135 m, 1/f = 298.26
WGS84: Final[Ellipsoid]  # a = 6378137 m, 1/f = 298.257223563
GRS80: Final[Ellipsoid]  # a = 6378137 m, 1/f = 298.257222101
