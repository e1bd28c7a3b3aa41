"""Ephemerides: the states of one orbit at N epochs, held as read-only arrays.

Units are SI: m, m/s, rad, m^3/s^2. Each ephemeris has an attribute
dictionary for the caller's own data.
"""

from typing import Any

import numpy as np
import numpy.typing as npt
from typing_extensions import disjoint_base

from velmar.frames.frames import Frame
from velmar.frames.transforms import EOPValues
from velmar.state.state import COE, StateVector
from velmar.time.time import Time

_Array = npt.NDArray[np.float64]

@disjoint_base
class Ephemeris:
    """States of one orbit at N epochs: the base of the ephemeris classes."""

    __dict__: dict[str, Any]
    def __new__(cls, time: Any, frame: Frame, GM: float | None = None) -> Ephemeris: ...
    @property
    def time(self) -> Time:
        """Epochs of the ephemeris."""
    @property
    def frame(self) -> Frame: ...
    @property
    def GM(self) -> float:
        """Gravitational parameter of the central body, m^3/s^2."""
    @property
    def size(self) -> int:
        """Number of epochs N."""
    def to_sv(self) -> StateVectorEphemeris: ...

@disjoint_base
class StateVectorEphemeris(Ephemeris):
    """Positions (m) and velocities (m/s) at N epochs, as N x 3 arrays."""

    def __new__(
        cls, time: Any, frame: Frame, r: npt.ArrayLike, v: npt.ArrayLike, GM: float | None = None
    ) -> StateVectorEphemeris: ...
    @property
    def r(self) -> _Array:
        """Positions, m (N x 3, read-only)."""
    @property
    def v(self) -> _Array:
        """Velocities, m/s (N x 3, read-only)."""
    def __len__(self) -> int: ...
    # No __iter__: iteration goes through __getitem__, which ends with IndexError.
    def __getitem__(self, index: int, /) -> StateVector: ...
    def to_sv(self) -> StateVectorEphemeris: ...
    def to_coe(self) -> COEEphemeris:
        """Refused (ValueError) in an Earth-fixed frame (ITRF, ENU)."""
    def to_frame(self, frame: Frame, eop: EOPValues | None = None) -> StateVectorEphemeris:
        """These states in TEME, ITRF or GCRF; NaN rows and one RuntimeWarning outside the EOP data."""

@disjoint_base
class COEEphemeris(Ephemeris):
    """Classical orbital elements at N epochs, one array per element."""

    def __new__(
        cls,
        time: Any,
        frame: Frame,
        ecc: npt.ArrayLike,
        sma: npt.ArrayLike,
        inc: npt.ArrayLike,
        raa: npt.ArrayLike,
        arp: npt.ArrayLike,
        tra: npt.ArrayLike,
        GM: float | None = None,
        slr: npt.ArrayLike | None = None,
    ) -> COEEphemeris: ...
    @property
    def ecc(self) -> _Array: ...
    @property
    def sma(self) -> _Array:
        """Semi-major axes, m."""
    @property
    def inc(self) -> _Array:
        """Inclinations, rad."""
    @property
    def raa(self) -> _Array:
        """Right ascensions of the ascending node, rad."""
    @property
    def arp(self) -> _Array:
        """Arguments of perigee, rad."""
    @property
    def tra(self) -> _Array:
        """True anomalies, rad."""
    @property
    def slr(self) -> _Array:
        """Semi-latera recta, m."""
    def __len__(self) -> int: ...
    def __getitem__(self, index: int, /) -> COE: ...
    def to_sv(self) -> StateVectorEphemeris: ...
    def to_coe(self) -> COEEphemeris: ...

@disjoint_base
class GeoStateEphemeris(Ephemeris):
    """Geodetic positions at N epochs on WGS84.

    to_sv() gives the ITRF positions with zero velocities (places fixed to the
    Earth); the frame must be ITRF.
    """

    def __new__(cls, time: Any, frame: Frame, lla: npt.ArrayLike, GM: float | None = None) -> GeoStateEphemeris: ...
    @property
    def lla(self) -> _Array:
        """Latitude (rad), longitude (rad) and height (m), N x 3, read-only."""
    def __len__(self) -> int: ...
    def to_sv(self) -> StateVectorEphemeris: ...
