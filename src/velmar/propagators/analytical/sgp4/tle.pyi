"""Two-line element sets of Earth satellites (TLE) and epoch-ordered collections of them (ELSET)."""

import numbers
from collections.abc import Callable, Iterator
from typing import Any, final

import numpy as np
from numpy.typing import NDArray
from typing_extensions import disjoint_base

from velmar.time.time import Time as Time
from velmar.utils.representable import Representable

@disjoint_base
class TLE(Representable):
    """One two-line element set, read by fixed columns.

    Nothing is validated: checksums, line numbers and the satellite number of
    line 2 are not read, and a field that holds no number reads as 0. Lines
    with non-ASCII characters are refused with ValueError naming the line and
    the column. ``strict_validation`` has no effect.
    """

    def __new__(cls, line1: str, line2: str, strict_validation: bool = False) -> TLE: ...
    @property
    def line1(self) -> str:
        """Line 1 as stored: 69 characters."""
    @property
    def line2(self) -> str:
        """Line 2 as stored: 69 characters."""
    @property
    def satno(self) -> int | str:
        """Satellite catalogue number; the stripped text when it is not a number."""
    @property
    def epoch(self) -> Time:
        """Epoch of the elements (the stored object)."""
    @property
    def inc(self) -> float:
        """Inclination, rad."""
    @property
    def raa(self) -> float:
        """Right ascension of the ascending node, rad."""
    @property
    def ecc(self) -> float:
        """Eccentricity, dimensionless."""
    @property
    def mea(self) -> float:
        """Mean anomaly at epoch, rad."""
    @property
    def arp(self) -> float:
        """Argument of perigee, rad."""
    @property
    def mnm(self) -> float:
        """Mean motion, rad/s."""
    @property
    def sma(self) -> float:
        """Semi-major axis, m."""
    @property
    def orp(self) -> float:
        """Orbital period, s."""
    @property
    def eca(self) -> float:
        """Eccentric anomaly at epoch, rad."""
    @property
    def tra(self) -> float:
        """True anomaly at epoch, rad."""
    @property
    def pge(self) -> float:
        """Perigee altitude above Earth.Re, m."""
    @property
    def apg(self) -> float:
        """Apogee altitude above Earth.Re, m."""
    def _get_header(self) -> str: ...
    def _get_body(self) -> str: ...

@disjoint_base
class ELSET(Representable):
    """The element sets of one satellite, sorted by epoch, one float64 array per element.

    All members must share one satellite number and there must be at least
    one (AssertionError otherwise, also under ``python -O``). Element arrays
    are writable views of the collection's storage.
    """

    def __new__(cls, *tles: TLE, satname: str | None = None) -> ELSET: ...
    @property
    def size(self) -> int:
        """ELSET.size: int"""
    @property
    def satname(self) -> str | None:
        """ELSET.satname: str"""
    @property
    def satno(self) -> int:
        """ELSET.satno: int | str"""
    @property
    def epoch(self) -> Time: ...
    @property
    def ecc(self) -> NDArray[np.float64]:
        """ELSET.ecc: ndarray[double]"""
    @property
    def sma(self) -> NDArray[np.float64]:
        """ELSET.sma: ndarray[double]"""
    @property
    def inc(self) -> NDArray[np.float64]:
        """ELSET.inc: ndarray[double]"""
    @property
    def raa(self) -> NDArray[np.float64]:
        """ELSET.raa: ndarray[double]"""
    @property
    def arp(self) -> NDArray[np.float64]:
        """ELSET.arp: ndarray[double]"""
    @property
    def tra(self) -> NDArray[np.float64]:
        """ELSET.tra: ndarray[double]"""
    @property
    def mnm(self) -> NDArray[np.float64]:
        """ELSET.mnm: ndarray[double]"""
    @property
    def orp(self) -> NDArray[np.float64]:
        """ELSET.orp: ndarray[double]"""
    @property
    def eca(self) -> NDArray[np.float64]:
        """ELSET.eca: ndarray[double]"""
    @property
    def mea(self) -> NDArray[np.float64]:
        """ELSET.mea: ndarray[double]"""
    @property
    def pge(self) -> NDArray[np.float64]:
        """ELSET.pge: ndarray[double]"""
    @property
    def apg(self) -> NDArray[np.float64]:
        """ELSET.apg: ndarray[double]"""
    index: int
    def __getitem__(self, item: Any) -> TLE | ELSET:
        """Integer/slice indexing uses positional indices.
        String-based or datetime slices select by epoch.
        Boolean/integer arrays select by mask."""
    def _getitem_integral(self, item: numbers.Integral) -> TLE: ...
    def _getitem_integral_slice(self, item: slice) -> ELSET: ...
    def _getitem_selection(self, selection: NDArray[np.bool_] | NDArray[np.integer] | Any) -> ELSET: ...
    def __iter__(self) -> ELSET: ...
    def __next__(self) -> TLE: ...
    def pairwise(self) -> Iterator[tuple[TLE, TLE]]:
        """Consecutive pairs (current, next) of members."""
    def _get_header(self) -> str: ...
    def _get_body(self) -> str: ...

@final
class ELSETPairs(Iterator[tuple[TLE, TLE]]):
    """What ELSET.pairwise() returns."""

    def __next__(self) -> tuple[TLE, TLE]: ...

def _scan_catalog(
    read: Callable[[], bytes], masks: tuple[bytes, bytes], verify: bool, group: bool, drop_duplicates: bool
) -> tuple[list[Any], list[tuple[int, int]], list[tuple[int, bytes, int, bytes]], int, int, int]:
    """The catalogue reader's native pass (velmar.io uses it; not an API).

    Calls read() for bytes until it returns b'' and returns (sets, problems,
    flagged, element_lines, pairs, dropped): sets are (name, TLE) in file
    order, or with `group` (satno, name, ELSET) per satellite in order of
    first appearance ([TLE] in file order for an alphanumeric satno, and for
    every satellite of a file with problems or flagged pairs); problems are (line number, code) of the file's
    structure; flagged are (line number, line 1, line number, line 2) of the
    pairs the column screen refuses (with `verify`).
    """
