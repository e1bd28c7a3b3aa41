"""Orbital states at one epoch: StateVector, COE and GeoState, kinds of State.

Units are SI: m, m/s, rad, m^3/s^2. States are immutable; each has an
attribute dictionary for the caller's own data.
"""

from typing import Any

import numpy as np
import numpy.typing as npt
from typing_extensions import disjoint_base

from velmar.frames.frames import Frame
from velmar.frames.transforms import EOPValues
from velmar.time.time import Time

@disjoint_base
class State:
    """An orbital state at one epoch: the base of StateVector, COE and GeoState."""

    __dict__: dict[str, Any]
    def __new__(cls, epoch: Any, frame: Frame, GM: float | None = None) -> State: ...
    @property
    def epoch(self) -> Time:
        """Epoch of the state (a scalar Time)."""
    @property
    def frame(self) -> Frame:
        """Reference frame of the state."""
    @property
    def GM(self) -> float:
        """Gravitational parameter of the central body, m^3/s^2."""
    def to_sv(self) -> StateVector: ...
    def to_coe(self) -> COE: ...

@disjoint_base
class StateVector(State):
    """Position (m) and velocity (m/s) at one epoch."""

    def __new__(
        cls, epoch: Any, frame: Frame, r: npt.ArrayLike, v: npt.ArrayLike, GM: float | None = None
    ) -> StateVector: ...
    @property
    def r(self) -> npt.NDArray[np.float64]:
        """Position, m (3 components)."""
    @property
    def v(self) -> npt.NDArray[np.float64]:
        """Velocity, m/s (3 components)."""
    def to_sv(self) -> StateVector: ...
    def to_coe(self) -> COE:
        """Refused (ValueError) in an Earth-fixed frame (ITRF, ENU)."""
    def to_frame(self, frame: Frame, eop: EOPValues | None = None) -> StateVector:
        """This state in TEME, ITRF or GCRF; NaN and one RuntimeWarning outside the EOP data."""

@disjoint_base
class COE(State):
    """Classical orbital elements at one epoch (hyperbolic ones included: sma < 0 when ecc > 1).

    Circular orbits (ecc = 0) have arp = 0 and tra measured from the ascending
    node; equatorial orbits (inc = 0 or pi) have raa = 0 and arp measured from
    the x axis.
    """

    def __new__(
        cls,
        epoch: Any,
        frame: Frame,
        ecc: float,
        sma: float,
        inc: float,
        raa: float,
        arp: float,
        tra: float,
        GM: float | None = None,
    ) -> COE: ...
    @property
    def ecc(self) -> float:
        """Eccentricity."""
    @property
    def sma(self) -> float:
        """Semi-major axis, m."""
    @property
    def inc(self) -> float:
        """Inclination, rad."""
    @property
    def raa(self) -> float:
        """Right ascension of the ascending node, rad."""
    @property
    def arp(self) -> float:
        """Argument of perigee, rad."""
    @property
    def tra(self) -> float:
        """True anomaly, rad."""
    @property
    def slr(self) -> float:
        """Semi-latus rectum, m."""
    def to_sv(self) -> StateVector: ...
    def to_coe(self) -> COE: ...

@disjoint_base
class GeoState(State):
    """Geodetic position at one epoch on WGS84 (latitude and longitude in rad, height in m).

    to_sv() gives the ITRF position with zero velocity (a place fixed to the
    Earth); the frame must be ITRF.
    """

    def __new__(
        cls, epoch: Any, frame: Frame, lat: float, lon: float, alt: float, GM: float | None = None
    ) -> GeoState: ...
    @property
    def lat(self) -> float: ...
    @property
    def lon(self) -> float: ...
    @property
    def alt(self) -> float: ...
    def to_sv(self) -> StateVector: ...
