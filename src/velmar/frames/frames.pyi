"""Reference frames: the global frames GCRF, ITRF, TEME and local east-north-up frames."""

from typing import Final, final

from typing_extensions import disjoint_base

@disjoint_base
class Frame:
    """A reference frame, known by its name. Equality and hashing are by identity."""

    def __new__(cls, name: str) -> Frame: ...
    @property
    def name(self) -> str: ...

@final
class _GCRF(Frame):
    """Geocentric Celestial Reference Frame. Its only instance is GCRF."""

    def __new__(cls) -> _GCRF: ...

@final
class _ITRF(Frame):
    """International Terrestrial Reference Frame. Its only instance is ITRF."""

    def __new__(cls) -> _ITRF: ...

@final
class _TEME(Frame):
    """True Equator, Mean Equinox frame of two-line elements. Its only instance is TEME."""

    def __new__(cls) -> _TEME: ...

@disjoint_base
class ENU(Frame):
    """Local east-north-up frame at a geodetic origin (latitude and longitude in rad, height in m)."""

    def __new__(cls, lat: float, lon: float, alt: float = 0.0) -> ENU: ...
    @property
    def lat(self) -> float: ...
    @property
    def lon(self) -> float: ...
    @property
    def alt(self) -> float: ...

GCRF: Final[_GCRF]
ITRF: Final[_ITRF]
TEME: Final[_TEME]
