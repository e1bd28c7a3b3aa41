"""Celestial bodies (Earth, Sun, Moon) as classes whose attributes GM (m^3/s^2) and Re (m) are the body's constants.

The classes are mutable: assigning ``Earth.GM = ...`` changes the value every
velmar module reads from then on.
"""

from typing import ClassVar

class CelestialBody:
    """A celestial body. Subclasses carry the body's constants as class attributes."""

    GM: ClassVar[float]  # gravitational parameter, m^3/s^2
    Re: ClassVar[float]  # equatorial radius, m

class Earth(CelestialBody):
    """GM = 3.986004418e14 m^3/s^2 (IERS Conventions 2010, WGS 84); Re = 6378137.0 m (WGS 84 / GRS 80)."""

class Sun(CelestialBody):
    """GM = 1.32712440041279419e20 m^3/s^2 (JPL DE440); Re = 6.957e8 m (IAU 2015 Resolution B3 nominal radius)."""

class Moon(CelestialBody):
    """GM = 4.902800118e12 m^3/s^2 (JPL DE440); Re = 1737400.0 m (IAU mean radius)."""
