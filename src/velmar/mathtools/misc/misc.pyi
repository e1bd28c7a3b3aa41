"""Small numeric helpers: the polar angle atan2_asymmetric.

``atan2_asymmetric`` is also exported natively (``__capi__``, signature
"double (double const , double const )") for the anomaly conversions.
"""

from typing import Any

__capi__: dict[str, Any]

def atan2_asymmetric(y: float, x: float) -> float:
    """Polar angle of the point (x, y) in radians, in [0, 2 pi).

    y = 0 with x > 0 gives 0; NaN in either argument gives NaN.
    """
