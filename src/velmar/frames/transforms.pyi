"""Position and velocity transformations between TEME, ITRF and GCRF, with Earth
orientation from velmar's EOP or given explicitly (EOPValues)."""

import numpy as np
import numpy.typing as npt

from velmar.frames.frames import Frame
from velmar.time.time import Time

_Vectors = npt.NDArray[np.float64]
_Result = tuple[_Vectors, _Vectors | None]

class EOPValues:
    """Earth orientation given explicitly: polar motion pm_x, pm_y and celestial pole
    offsets dX, dY in rad, UT1 - UTC (dut) and excess length of day (lod) in s.
    Scalars or one-dimensional arrays broadcast against the epochs. Read-only."""

    pm_x: npt.NDArray[np.float64]
    pm_y: npt.NDArray[np.float64]
    dut: npt.NDArray[np.float64]
    lod: npt.NDArray[np.float64]
    dX: npt.NDArray[np.float64]
    dY: npt.NDArray[np.float64]
    def __init__(
        self,
        pm_x: npt.ArrayLike,
        pm_y: npt.ArrayLike,
        dut: npt.ArrayLike,
        lod: npt.ArrayLike = 0.0,
        dX: npt.ArrayLike = 0.0,
        dY: npt.ArrayLike = 0.0,
    ) -> None: ...

def teme_to_itrf(time: Time, r: npt.ArrayLike, v: npt.ArrayLike | None = None, eop: EOPValues | None = None) -> _Result:
    """TEME to ITRF: IAU-82 sidereal time at UT1, then polar motion; r in m, v in m/s,
    (N, 3) for N epochs or (3,) for one. NaN rows (and one RuntimeWarning) outside the EOP data."""

def itrf_to_teme(time: Time, r: npt.ArrayLike, v: npt.ArrayLike | None = None, eop: EOPValues | None = None) -> _Result:
    """The inverse of teme_to_itrf."""

def itrf_to_gcrf(time: Time, r: npt.ArrayLike, v: npt.ArrayLike | None = None, eop: EOPValues | None = None) -> _Result:
    """ITRF to GCRF, IAU 2006/2000A CIO-based with the celestial pole offsets dX, dY."""

def gcrf_to_itrf(time: Time, r: npt.ArrayLike, v: npt.ArrayLike | None = None, eop: EOPValues | None = None) -> _Result:
    """The inverse of itrf_to_gcrf."""

def transform(
    time: Time,
    r: npt.ArrayLike,
    v: npt.ArrayLike | None,
    from_frame: Frame,
    to_frame: Frame,
    eop: EOPValues | None = None,
) -> _Result:
    """From one of TEME, ITRF, GCRF to another (through ITRF); the same frame twice gives copies."""

# Used by velmar.frames._orientation to read velmar's EOP tables natively.
def _cubic_into(x: _Vectors, c: _Vectors, t: _Vectors, out: _Vectors, fill: float) -> int: ...
def _linear_into(x: _Vectors, y: _Vectors, t: _Vectors, out: _Vectors) -> int: ...
def _ut1_rows(
    tai_ns: npt.NDArray[np.int64], tai_ut1: _Vectors, days: _Vectors, fraction: _Vectors, tt: _Vectors | None
) -> None: ...
