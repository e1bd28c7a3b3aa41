"""Kepler's equation and the conversions between the true, eccentric and mean anomalies.

All angles are in radians and ``ecc`` is the eccentricity, 0 <= ecc < 1.
``c_eca_from_mea`` is also exported natively (``__capi__``, signature
"double (double const , double const )"), and beside it the array forms
``c_*_batch`` that other modules' loops call. The ``*_array`` functions give,
value by value, the bits of the one-value functions, on whichever instruction
set (AVX-512, AVX2, x86-64 baseline) they run.
"""

from typing import Any

import numpy as np
import numpy.typing as npt

__capi__: dict[str, Any]

def eca_from_mea(mea: float, ecc: float) -> float:
    """Eccentric anomaly E with E - ecc sin E = mea (Kepler's equation).

    Any real ``mea``: the whole turns are kept, so ``mea`` in [k pi, (k + 1) pi]
    gives E in the same interval. An eccentricity outside [0, 1), and a NaN or
    infinite ``mea``, give NaN.
    """

def c_eca_from_mea(mea: float, ecc: float) -> float:
    """The native solver called from Python; the same as :func:`eca_from_mea`."""

def eca_from_mea_array(mea: npt.NDArray[np.float64], ecc: float) -> npt.NDArray[np.float64]:
    """:func:`eca_from_mea` over a one-dimensional float64 array, in one native loop."""

def tra_from_mea_array(mea: npt.NDArray[np.float64], ecc: float) -> npt.NDArray[np.float64]:
    """:func:`tra_from_mea` over a one-dimensional float64 array, in one native loop."""

def tra_from_eca_array(eca: npt.NDArray[np.float64], ecc: float) -> npt.NDArray[np.float64]:
    """:func:`tra_from_eca` over a one-dimensional float64 array, in one native loop."""

def eca_from_tra_array(tra: npt.NDArray[np.float64], ecc: float) -> npt.NDArray[np.float64]:
    """:func:`eca_from_tra` over a one-dimensional float64 array, in one native loop."""

def mea_from_tra_array(tra: npt.NDArray[np.float64], ecc: float) -> npt.NDArray[np.float64]:
    """:func:`mea_from_tra` over a one-dimensional float64 array, in one native loop."""

def _sin_cos_array(x: npt.NDArray[np.float64]) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """The sine and cosine kernels of the array forms (private)."""

def _atan2_array(y: npt.NDArray[np.float64], x: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    """The arctangent kernel of the array forms (private)."""

def _one_by_one_array(mea: npt.NDArray[np.float64], ecc: float, markley: bool) -> npt.NDArray[np.float64]:
    """A one-value solver called value by value (private, for benchmarks)."""

def _isa_paths() -> tuple[str, ...]:
    """Instruction sets the array forms can run on here, widest first (private)."""

def _use_isa(name: str, /) -> str:
    """Make the array forms run on ``name``; returns the previous one (private)."""

def eca_from_tra(tra: float, ecc: float) -> float:
    """Eccentric anomaly of the true anomaly ``tra``, in [0, 2 pi)."""

def tra_from_eca(eca: float, ecc: float) -> float:
    """True anomaly of the eccentric anomaly ``eca``, in [0, 2 pi)."""

def tra_from_mea(mea: float, ecc: float) -> float:
    """True anomaly of the mean anomaly ``mea`` (any number of turns), in [0, 2 pi)."""

def mea_from_tra(tra: float, ecc: float) -> float:
    """Mean anomaly of the true anomaly ``tra``, in [0, 2 pi)."""
