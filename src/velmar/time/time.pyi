"""Epochs on the UTC, TAI and TT scales."""

import datetime
from collections.abc import Iterator, Sequence
from typing import Any, ClassVar, Literal, final, overload

import numpy as np
import numpy.typing as npt

_Scale = Literal["utc", "tai", "tt"]
_Single = str | datetime.date | np.datetime64 | "Time"
_Value = (
    _Single
    | Sequence[_Single]
    | npt.NDArray[np.datetime64]
    | npt.NDArray[np.int64]
    | npt.NDArray[np.str_]
)
_Seconds = float | int | np.floating[Any] | np.integer[Any] | datetime.timedelta | np.timedelta64
_SecondsArray = npt.ArrayLike

@final
class JulianDate(float):
    """A Julian date (or modified Julian date) of one epoch: a float that also
    keeps the exact day and fraction of day through ``+`` and ``-`` of numbers."""

    def __add__(self, other: float | int, /) -> JulianDate: ...  # type: ignore[override]
    def __radd__(self, other: float | int, /) -> JulianDate: ...  # type: ignore[override]
    def __sub__(self, other: float | int, /) -> JulianDate: ...  # type: ignore[override]

@final
class Time:
    """One epoch, or a one-dimensional array of epochs, held as int64
    nanoseconds of TAI since 2000-01-01T12:00:00 TAI. Immutable."""

    __array_ufunc__: ClassVar[None]

    @overload
    def __new__(cls, value: _Value, *, format: None = None, scale: _Scale | None = None) -> Time: ...
    @overload
    def __new__(
        cls,
        value: float | JulianDate | npt.ArrayLike,
        *,
        format: Literal["jd", "mjd"],
        scale: _Scale | None = None,
    ) -> Time: ...
    @staticmethod
    def now() -> Time: ...
    @staticmethod
    def _from_int64(values: int | npt.NDArray[np.int64], scale: _Scale = "utc") -> Time: ...

    @property
    def int64(self) -> int | npt.NDArray[np.int64]: ...
    @property
    def jd(self) -> JulianDate | npt.NDArray[np.float64]: ...
    @property
    def mjd(self) -> JulianDate | npt.NDArray[np.float64]: ...
    @property
    def utc(self) -> Time: ...
    @property
    def tai(self) -> Time: ...
    @property
    def tt(self) -> Time: ...
    @property
    def scale(self) -> _Scale: ...
    @property
    def iso(self) -> str | npt.NDArray[np.str_]: ...
    @property
    def datetime64(self) -> np.datetime64 | npt.NDArray[np.datetime64]: ...
    @property
    def datetime(self) -> datetime.datetime | npt.NDArray[np.object_]: ...
    @property
    def shape(self) -> tuple[()] | tuple[int]: ...
    @property
    def size(self) -> int: ...
    @property
    def isscalar(self) -> bool: ...

    def __len__(self) -> int: ...
    @overload
    def __getitem__(self, item: int | np.integer[Any], /) -> Time: ...
    @overload
    def __getitem__(self, item: slice | npt.ArrayLike, /) -> Time: ...
    def __iter__(self) -> Iterator[Time]: ...
    def __hash__(self) -> int: ...

    @overload
    def __sub__(self, other: Time, /) -> np.float64 | npt.NDArray[np.float64]: ...
    @overload
    def __sub__(self, other: _Seconds | _SecondsArray, /) -> Time: ...
    def __add__(self, other: _Seconds | _SecondsArray, /) -> Time: ...
    def __radd__(self, other: _Seconds | _SecondsArray, /) -> Time: ...

    def __lt__(self, other: Time, /) -> bool | npt.NDArray[np.bool_]: ...
    def __le__(self, other: Time, /) -> bool | npt.NDArray[np.bool_]: ...
    def __gt__(self, other: Time, /) -> bool | npt.NDArray[np.bool_]: ...
    def __ge__(self, other: Time, /) -> bool | npt.NDArray[np.bool_]: ...
    def __eq__(self, other: object, /) -> bool | npt.NDArray[np.bool_]: ...  # type: ignore[override]
    def __ne__(self, other: object, /) -> bool | npt.NDArray[np.bool_]: ...  # type: ignore[override]
