from typing import Callable

from numpy import ndarray
from scipy.interpolate import CubicSpline

class EOP:
    """Earth Orientation Parameters (EOP) and time-scale offsets at given epochs (MJD, UTC).

    Each quantity is NaN at epochs outside the samples it is interpolated from,
    and at NaN epochs; TAI - UTC is 10 s before 1972 and keeps its last value
    after the last step.
    """

    _pm_x_spline: CubicSpline | None
    _pm_y_spline: CubicSpline | None
    _lod_spline: CubicSpline | None
    _dX_spline: CubicSpline | None
    _dY_spline: CubicSpline | None
    _dat_interpolator: Callable | None
    _TAI_UT1_interpolator: Callable | None
    _dat_mjd_ut1_interpolator: Callable | None
    _TAI_UT1_mjd_ut1_interpolator: Callable | None

    mjd_utc: ndarray

    def __init__(self, mjd_utc: ndarray) -> None: ...
    @classmethod
    def get_TT_UT1_from_mjd_ut1(cls, mjd_ut1: ndarray) -> ndarray:
        """TT - UT1 (in seconds) for epochs given as MJD(UT1)."""
    @property
    def pm_x(self) -> ndarray:
        """Polar motion - x (in radians)"""
    @property
    def pm_y(self) -> ndarray:
        """Polar motion - y (in radians)"""
    @property
    def dut(self) -> ndarray:
        """The difference UT1 - UTC (in seconds)"""
    @property
    def lod(self) -> ndarray:
        """Length of Day (in seconds)"""
    @property
    def dX(self) -> ndarray:
        """IAU2000A Celestial Pole Offset Series - X (in radians)"""
    @property
    def dY(self) -> ndarray:
        """IAU2000A Celestial Pole Offset Series - Y (in radians)"""
    @property
    def dat(self) -> ndarray:
        """The difference TAI - UTC (in seconds); 10 s before 1972, as in Time."""
    @property
    def TAI_UT1(self) -> ndarray:
        """The difference TAI - UT1 (in seconds)"""
    @property
    def TT_UT1(self) -> ndarray:
        """The difference TT - UT1 (in seconds)"""
