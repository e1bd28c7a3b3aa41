"""Kepler's equation and the conversions between the true, eccentric and mean anomalies.

All angles are in radians and ``ecc`` is the eccentricity, 0 <= ecc < 1.
``c_eca_from_mea`` is also exported natively (``__capi__``, signature
"double (double const , double const )"); the four conversions are the Python
faces of the inline functions of ``coe.hpp`` that other modules build in.
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

def eca_from_tra(tra: float, ecc: float) -> float:
    """Eccentric anomaly of the true anomaly ``tra``, in [0, 2 pi)."""

def tra_from_eca(eca: float, ecc: float) -> float:
    """True anomaly of the eccentric anomaly ``eca``, in [0, 2 pi)."""

def tra_from_mea(mea: float, ecc: float) -> float:
    """True anomaly of the mean anomaly ``mea`` (any number of turns), in [0, 2 pi)."""

def mea_from_tra(tra: float, ecc: float) -> float:
    """Mean anomaly of the true anomaly ``tra``, in [0, 2 pi)."""
