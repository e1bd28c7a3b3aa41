"""Type aliases for annotations across velmar.

`DatetimeLike` is what `velmar.time.time.Time` accepts as an epoch or a set
of epochs. Importing this module does not import `Time`.
"""

from __future__ import annotations

import datetime
from collections.abc import Sequence
from typing import TYPE_CHECKING, Union

import numpy as np

if TYPE_CHECKING:
    from velmar.time.time import Time

__all__ = ["DatetimeLike"]

# One epoch: ISO 8601 text ("2024", "2024-03-01", "2024-03-01T12:00:00.5Z"),
# a date-time (naive means UTC), a date, or a numpy datetime64. A float is a
# Julian or modified Julian date and needs format="jd" or format="mjd".
_Epoch = Union[str, datetime.datetime, datetime.date, np.datetime64, float]

DatetimeLike = Union[_Epoch, Sequence[_Epoch], np.ndarray, "Time"]
"""An epoch or epochs as `Time` accepts them: text, date-times, dates,
datetime64 scalars or arrays, sequences of these, int64 arrays of raw epoch
integers, numbers or float arrays with ``format="jd"``/``"mjd"``, or a `Time`."""
