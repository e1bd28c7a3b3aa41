"""Geodetic and topocentric coordinates, the Sun's position and the Earth's shadow.

Units are SI: m, m/s, rad. Positions given as (3,) give one record or one
number back (numpy scalars); positions given as (N, 3) give N.
"""

from typing import Any, Final

import numpy as np
import numpy.typing as npt

from velmar.frames.frames import ENU
from velmar.mathtools.ellipsoid.ellipsoid import Ellipsoid
from velmar.time.time import Time

AERR_dtype: Final[np.dtype[np.void]]
"""azimuth, elevation, range, range_rate (float64; rad, rad, m, m/s)."""

def itrf_to_geodetic(r: npt.ArrayLike, ellipsoid: Ellipsoid | None = ...) -> Any:
    """LLA_dtype records (lat, lon in rad, alt in m) of ITRF positions r (m), (3,) or (N, 3)."""

def geodetic_to_itrf(
    lat: npt.ArrayLike, lon: npt.ArrayLike | None = None, alt: npt.ArrayLike = 0.0, ellipsoid: Ellipsoid | None = ...
) -> npt.NDArray[np.float64]:
    """ITRF positions (m), shape (..., 3), of geodetic coordinates (or of one LLA_dtype record array)."""

def topocentric(
    r_itrf: npt.ArrayLike, v_itrf: npt.ArrayLike | None, station: ENU, ellipsoid: Ellipsoid | None = ...
) -> Any:
    """AERR_dtype records (AER_dtype when v_itrf is None) seen from station; geometric, no refraction."""

def sun_position(time: Time | Any) -> npt.NDArray[np.float64]:
    """Geocentric position of the Sun (m), GCRF axes, (3,) or (N, 3): Meeus ch. 25 series."""

def shadow(
    r_sat: npt.ArrayLike, r_sun: npt.ArrayLike, body_radius: float | None = None, sun_radius: float | None = None
) -> np.float64 | npt.NDArray[np.float64]:
    """Fraction of the Sun's disc visible: 1 sunlit, 0 umbra, between in the penumbra (conical model)."""

def sunlit(
    r_sat: npt.ArrayLike, r_sun: npt.ArrayLike, body_radius: float | None = None, sun_radius: float | None = None
) -> np.bool_ | npt.NDArray[np.bool_]:
    """True outside the umbra (shadow(...) > 0)."""
