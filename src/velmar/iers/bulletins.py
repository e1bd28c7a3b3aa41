"""IERS Bulletin A and Bulletin C tables.

`BulletinA` holds the daily Earth orientation samples of the IERS rapid service
(``finals2000A.all``: polar motion, UT1-UTC, length of day, celestial pole
offsets) and `BulletinC` the steps of TAI-UTC (``Leap_Second.dat``). Both files
ship with the ``astropy-iers-data`` package; a ``path`` argument points at a
newer copy instead.

Each file is parsed once per process. Every object made from the same file
shares one table, and the arrays of that table are read-only (their memory is
an immutable ``bytes`` object, so not even ``flags.writeable = True`` unlocks
them). A table is stored only once the whole file has been read and checked,
so a damaged file never leaves part of a table behind. A file given by path is
read again when its size, time stamp or identity on disk changes.

`leap_second_table` gives the packaged TAI-UTC steps as two plain arrays, for
code that converts UTC and must not depend on `BulletinC` objects, which tests
and users may replace. `packaged_release` names the installed
``astropy-iers-data`` and the date of its data.
"""

from __future__ import annotations

import datetime
import math
import os
import re
import threading
from collections.abc import Callable
from importlib.resources import files
from importlib.resources.abc import Traversable
from typing import TYPE_CHECKING, Generic, TypeAlias, TypeVar

import numpy as np
import numpy.typing as npt

from velmar.units.units import arcsec as _ARCSEC

__all__ = ["BulletinA", "BulletinC", "IERSDataError", "leap_second_table", "packaged_release"]

if TYPE_CHECKING:  # only in annotations, which are not evaluated here
    _Array: TypeAlias = npt.NDArray[np.float64]
_Table = TypeVar("_Table", "_FinalsTable", "_LeapSecondTable")

_MILLIARCSEC = _ARCSEC / 1000.0
_SECONDS_PER_DAY = 86400.0

_FINALS_NAME = "finals2000A.all"
_LEAP_SECONDS_NAME = "Leap_Second.dat"

# Bulletin A columns of the finals2000A format (1-based, inclusive, as the
# published ReadMe numbers them) and the digits after the decimal point.
# (name, first column, last column, digits after the point)
_Field: TypeAlias = tuple[str, int, int, int]
_FINALS_FIELDS: tuple[_Field, ...] = (
    ("MJD", 8, 15, 2),
    ("polar motion x", 19, 27, 6),
    ("polar motion y", 38, 46, 6),
    ("UT1-UTC", 59, 68, 7),
    ("LOD", 80, 86, 4),
    ("dX", 98, 106, 3),
    ("dY", 117, 125, 3),
)
_MJD, _PM_X, _PM_Y, _UT1_UTC, _LOD, _DX, _DY = range(len(_FINALS_FIELDS))
# Columns (1-based) of the flags that mark a row's polar motion and UT1-UTC as
# IERS values (I) or predictions (P).
_POLAR_MOTION_FLAG = 17
_UT1_UTC_FLAG = 58

_MONTHS: dict[str, int] = {
    name: number
    for number, name in enumerate(
        (
            "january",
            "february",
            "march",
            "april",
            "may",
            "june",
            "july",
            "august",
            "september",
            "october",
            "november",
            "december",
        ),
        1,
    )
}
_EXPIRES = re.compile(r"File\s+expires\s+on\b(.*)", re.IGNORECASE)
_MJD_ORIGIN = datetime.date(1858, 11, 17).toordinal()


class IERSDataError(ValueError):
    """An IERS data file is damaged, truncated or not in the expected format.

    ``path`` is the file and ``line`` the 1-based line at fault.
    """

    def __init__(self, path: str | os.PathLike[str], line: int, reason: str) -> None:
        super().__init__(f"{path}, line {line}: {reason}")
        self.path = str(path)
        self.line = line
        self.reason = reason


# ---------------------------------------------------------------- locating


def _packaged_file(name: str) -> Traversable:
    try:
        return files("astropy_iers_data") / "data" / name
    except ModuleNotFoundError as err:
        raise FileNotFoundError(
            f"the IERS data file {name!r} ships with the 'astropy-iers-data' "
            "package, which is not installed; install it or pass the path of "
            "your own copy"
        ) from err


def _read_bytes(source: Traversable | str | os.PathLike[str]) -> bytes:
    # open() rather than Traversable.read_bytes(): the OSError it raises
    # carries the file name.
    if isinstance(source, Traversable) and not isinstance(source, os.PathLike):
        return source.read_bytes()
    with open(source, "rb") as stream:
        return stream.read()


def _frozen(values: npt.ArrayLike) -> _Array:
    """A float64 array over immutable memory: read-only for good."""
    values = np.ascontiguousarray(values, dtype=np.float64)
    return np.frombuffer(values.tobytes(), dtype=np.float64)


class _Cache(Generic[_Table]):
    """Tables of one kind of file: the packaged one and any given by path."""

    def __init__(self, packaged_name: str, parse: Callable[[bytes, str], _Table]) -> None:
        self.packaged_name = packaged_name
        self.parse: Callable[[bytes, str], _Table] = parse
        self.packaged: _Table | None = None
        self.by_path: dict[str, tuple[tuple[int, int, int, int], _Table]] = {}
        self.lock = threading.Lock()

    def get(self, path: str | os.PathLike[str] | None) -> _Table:
        if path is None:
            table = self.packaged
            if table is None:
                with self.lock:
                    if self.packaged is None:
                        source = _packaged_file(self.packaged_name)
                        self.packaged = self.parse(_read_bytes(source), str(source))
                    table = self.packaged
            return table
        name = os.fspath(path)
        status = os.stat(name)
        stamp = (status.st_dev, status.st_ino, status.st_size, status.st_mtime_ns)
        entry = self.by_path.get(name)
        if entry is not None and entry[0] == stamp:
            return entry[1]
        with self.lock:
            entry = self.by_path.get(name)
            if entry is not None and entry[0] == stamp:
                return entry[1]
            table = self.parse(_read_bytes(name), name)
            self.by_path[name] = (stamp, table)
        return table


# -------------------------------------------------------------- Bulletin A


def _text_rows(data: bytes, min_width: int, path: str) -> npt.NDArray[np.uint8]:
    """The file as a (lines, columns) uint8 array, short lines padded with blanks."""
    nul = data.find(b"\0")
    if nul >= 0:
        raise IERSDataError(path, data.count(b"\n", 0, nul) + 1, "the file holds a NUL byte: it is not a text file")
    if b"\r" in data:
        data = data.replace(b"\r\n", b"\n")
    if not data or data.isspace():
        raise IERSDataError(path, 1, "the file is empty")
    # The published files have records of one length: view them in place.
    width = data.find(b"\n") + 1
    if width > min_width and len(data) % width == 0:
        rows = np.frombuffer(data, np.uint8).reshape(-1, width)
        if (rows[:, -1] == 10).all():
            return rows[:, :-1]
    lines = data.split(b"\n")
    if not lines[-1]:
        lines.pop()
    width = max(min_width, max(map(len, lines)))
    rows = np.array(lines, dtype=f"S{width}").view(np.uint8).reshape(len(lines), width)
    rows[rows == 0] = 32
    return rows


# Character classes of the fixed-point fields, each a digit of a base-5 code
# that describes the shape of a whole field.
_SPACE, _DIGIT, _SIGN, _POINT, _OTHER = range(5)
_CHARACTER_CLASS = np.full(256, _OTHER, dtype=np.uint8)
_CHARACTER_CLASS[ord(" ")] = _SPACE
_CHARACTER_CLASS[ord("0") : ord("9") + 1] = _DIGIT
_CHARACTER_CLASS[ord("-")] = _SIGN
_CHARACTER_CLASS[ord(".")] = _POINT
_DIGIT_VALUE = np.zeros(256, dtype=np.uint8)
_DIGIT_VALUE[ord("0") : ord("9") + 1] = range(10)


def _field_shapes(width: int, point: int) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.bool_], npt.NDArray[np.bool_]]:
    """Codes of the well-formed texts of a right-aligned F field.

    Returns sorted codes with, for each, whether the text is blank and
    whether it is negative: blanks, then ``[-]ddd.ddd`` with the point in
    its column and blanks only in front.
    """
    shapes = {(_SPACE,) * width: (True, False)}
    for lead in range(point + 1):
        for sign in (False, True):
            if sign and lead == point:
                continue
            shape = [_SPACE] * lead + ([_SIGN] if sign else [])
            shape += [_DIGIT] * (width - len(shape))
            shape[point] = _POINT
            shapes[tuple(shape)] = (False, sign)
    coded = sorted(
        (sum(c * 5 ** (width - 1 - j) for j, c in enumerate(shape)), flags) for shape, flags in shapes.items()
    )
    codes = np.array([code for code, _ in coded], dtype=np.int64)
    blank = np.array([flags[0] for _, flags in coded])
    negative = np.array([flags[1] for _, flags in coded])
    return codes, blank, negative


def _parse_fixed_fields(
    rows: npt.NDArray[np.uint8], fields: tuple[_Field, ...]
) -> tuple[_Array, npt.NDArray[np.bool_]]:
    """Decode right-aligned fixed-point fields of every row at once.

    Returns the values (NaN where blank) and a mask of the rows with a field
    whose text is not blank or ``[-]digits.digits`` with the point in its
    column; the caller decodes those rows one by one and says what is wrong.

    Each field is read column by column over all rows (Horner's rule) in
    int64, which is exact; the integer mantissa divided by a power of ten is
    then the correctly rounded value, the same as float() of the text. The
    shape of each field, coded in base 5, is looked up among the well-formed
    shapes. No BLAS: its threads stall badly on a busy machine.
    """
    columns = [column for _, start, stop, _ in fields for column in range(start - 1, stop)]
    block = np.ascontiguousarray(rows[:, columns].T)
    digits = _DIGIT_VALUE[block]
    classes = _CHARACTER_CLASS[block]
    values = np.empty((len(rows), len(fields)))
    odd = np.zeros(len(rows), dtype=bool)
    mantissa = np.empty(len(rows), dtype=np.int64)
    shape = np.empty(len(rows), dtype=np.int64)
    first = 0
    for index, (_, start, stop, decimals) in enumerate(fields):
        width = stop - start + 1
        point = width - decimals - 1
        mantissa[:] = 0
        shape[:] = 0
        for j in range(width):
            shape *= 5
            shape += classes[first + j]
            if j != point:
                mantissa *= 10
                mantissa += digits[first + j]
        first += width
        codes, blank, negative = _field_shapes(width, point)
        found = np.minimum(np.searchsorted(codes, shape), len(codes) - 1)
        odd |= codes[found] != shape
        value = values[:, index]
        np.divide(mantissa, 10.0**decimals, out=value)
        np.negative(value, out=value, where=negative[found])
        value[blank[found]] = np.nan
    return values, odd


def _parse_field_slowly(rows: npt.NDArray[np.uint8], row: int, field: _Field, path: str) -> float:
    name, start, stop, _ = field
    text = rows[row, start - 1 : stop].tobytes().decode("ascii", "backslashreplace")
    if not text.strip():
        return math.nan
    where = f"the {name} value in columns {start}-{stop}"
    if text[-1] == " ":
        raise IERSDataError(path, row + 1, f"{where} is cut short or out of place: {text!r}")
    if text.strip(" 0123456789+-.eE"):
        raise IERSDataError(path, row + 1, f"{where} is not a number: {text!r}")
    try:
        value = float(text)
    except ValueError:
        raise IERSDataError(path, row + 1, f"{where} is not a number: {text!r}") from None
    return value


def _line_text(rows: npt.NDArray[np.uint8], row: int) -> str:
    line: bytes = rows[row].tobytes()
    return line.rstrip().decode("ascii", "backslashreplace")


class _FinalsTable:
    __slots__ = (
        "path",
        "mjd_utc",
        "mjd_ut1",
        "pm_x",
        "pm_y",
        "lod",
        "dX_IAU2000A",
        "dY_IAU2000A",
        "dut",
        "last_observed",
    )
    path: str
    mjd_utc: _Array
    mjd_ut1: _Array
    pm_x: _Array
    pm_y: _Array
    lod: _Array
    dX_IAU2000A: _Array
    dY_IAU2000A: _Array
    dut: _Array
    last_observed: float | None


def _parse_finals(data: bytes, path: str) -> _FinalsTable:
    rows = _text_rows(data, _FINALS_FIELDS[-1][2], path)
    values, odd = _parse_fixed_fields(rows, _FINALS_FIELDS)
    for row in map(int, np.flatnonzero(odd)):
        for index, field in enumerate(_FINALS_FIELDS):
            values[row, index] = _parse_field_slowly(rows, row, field, path)
    blank = np.isnan(values)
    if not np.isfinite(values[~blank]).all():
        row = int(np.flatnonzero(np.isinf(values).any(axis=1))[0])
        raise IERSDataError(path, row + 1, f"a value is not finite: {_line_text(rows, row)!r}")

    no_mjd = blank[:, _MJD]
    if no_mjd.any():
        empty = (rows == 32).all(axis=1)
        broken = np.flatnonzero(no_mjd & ~empty)
        if broken.size:
            row = int(broken[0])
            raise IERSDataError(path, row + 1, f"no MJD in columns 8-15: {_line_text(rows, row)!r}")

    # The file ends with rows that hold only a date; a row that holds only
    # some of the three values was cut short.
    given = ~blank[:, [_PM_X, _PM_Y, _UT1_UTC]]
    partial = np.flatnonzero(given.any(axis=1) & ~given.all(axis=1))
    if partial.size:
        row = int(partial[0])
        missing = [
            name for name, present in zip(("polar motion x", "polar motion y", "UT1-UTC"), given[row]) if not present
        ]
        raise IERSDataError(
            path,
            row + 1,
            f"the row is incomplete (no {', '.join(missing)}); is the file truncated? {_line_text(rows, row)!r}",
        )
    keep = np.flatnonzero(given.all(axis=1))
    if keep.size == 0:
        raise IERSDataError(path, len(rows), "no row gives polar motion and UT1-UTC: not a finals2000A file?")
    values = values[keep]

    mjd_utc = values[:, _MJD]
    dut = values[:, _UT1_UTC]
    too_large = np.flatnonzero(np.abs(dut) > 1.0)
    if too_large.size:
        row = int(keep[too_large[0]])
        raise IERSDataError(
            path, row + 1, f"UT1-UTC of {dut[too_large[0]]} s is impossible (UTC keeps within 0.9 s of UT1)"
        )
    mjd_ut1 = mjd_utc + dut / _SECONDS_PER_DAY
    for epochs, scale in ((mjd_utc, "UTC"), (mjd_ut1, "UT1")):
        backwards = np.flatnonzero(np.diff(epochs) <= 0.0)
        if backwards.size:
            step = int(backwards[0])
            raise IERSDataError(
                path,
                int(keep[step + 1]) + 1,
                f"the epochs do not increase: MJD({scale}) {float(epochs[step + 1])!r} follows {float(epochs[step])!r}",
            )

    table = _FinalsTable()
    table.path = path
    table.mjd_utc = _frozen(mjd_utc)
    table.mjd_ut1 = _frozen(mjd_ut1)
    table.pm_x = _frozen(values[:, _PM_X] * _ARCSEC)
    table.pm_y = _frozen(values[:, _PM_Y] * _ARCSEC)
    table.lod = _frozen(values[:, _LOD] * 1e-3)
    table.dX_IAU2000A = _frozen(values[:, _DX] * _MILLIARCSEC)
    table.dY_IAU2000A = _frozen(values[:, _DY] * _MILLIARCSEC)
    table.dut = _frozen(dut)
    flags = rows[keep][:, [_POLAR_MOTION_FLAG - 1, _UT1_UTC_FLAG - 1]]
    observed = np.flatnonzero((flags == ord("I")).all(axis=1))
    table.last_observed = float(mjd_utc[observed[-1]]) if observed.size else None
    return table


_finals_tables: _Cache[_FinalsTable] = _Cache(_FINALS_NAME, _parse_finals)


class BulletinA:
    """IERS Bulletin A: daily Earth orientation samples.

    Read from ``finals2000A.all`` (the IERS rapid service series since 1973
    with a year of predictions), by default the copy in the installed
    ``astropy-iers-data`` package, or from ``path``. Rows without polar
    motion or UT1-UTC (the dates at the end of the file) are left out, so
    every array has one entry per sample, in increasing epoch order.

    All arrays are read-only float64 and shared by every object made from
    the same file. ``lod`` is NaN where the bulletin gives none (from the
    last observed day on), ``dX_IAU2000A`` and ``dY_IAU2000A`` where the
    predictions of the pole offsets end.

    Raises
    ------
    OSError
        The file cannot be read.
    IERSDataError
        The file is damaged or truncated; the message names file and line.
    """

    __slots__ = ("_table",)

    def __init__(self, path: str | os.PathLike[str] | None = None) -> None:
        self._table = _finals_tables.get(path)

    @property
    def path(self) -> str:
        """The file the table was read from."""
        return self._table.path

    @property
    def mjd_utc(self) -> _Array:
        """Sample epochs, MJD(UTC), in days."""
        return self._table.mjd_utc

    @property
    def mjd_ut1(self) -> _Array:
        """Sample epochs as MJD(UT1), in days: mjd_utc + dut / 86400."""
        return self._table.mjd_ut1

    @property
    def pm_x(self) -> _Array:
        """Polar motion x, in radians."""
        return self._table.pm_x

    @property
    def pm_y(self) -> _Array:
        """Polar motion y, in radians."""
        return self._table.pm_y

    @property
    def lod(self) -> _Array:
        """Length of day (excess over 86400 s), in seconds; NaN where none."""
        return self._table.lod

    @property
    def dX_IAU2000A(self) -> _Array:
        """Celestial pole offset dX w.r.t. IAU 2000A, in radians; NaN where none."""
        return self._table.dX_IAU2000A

    @property
    def dY_IAU2000A(self) -> _Array:
        """Celestial pole offset dY w.r.t. IAU 2000A, in radians; NaN where none."""
        return self._table.dY_IAU2000A

    @property
    def dut(self) -> _Array:
        """UT1-UTC, in seconds."""
        return self._table.dut

    @property
    def last_observed(self) -> float | None:
        """MJD(UTC) of the last sample whose polar motion and UT1-UTC are IERS values.

        IERS values carry the flag I, predictions the flag P; None when the file
        marks none. The samples after it, to the end of mjd_utc, are predictions.
        """
        return self._table.last_observed

    def __len__(self) -> int:
        return len(self._table.mjd_utc)

    def __repr__(self) -> str:
        mjd = self._table.mjd_utc
        return f"BulletinA({self._table.path!r}: {len(mjd)} samples, MJD {float(mjd[0])!r} to {float(mjd[-1])!r})"


# -------------------------------------------------------------- Bulletin C


class _LeapSecondTable:
    __slots__ = ("path", "mjd_utc", "dat", "expires", "_mjd_ut1")
    path: str
    mjd_utc: _Array
    dat: _Array
    expires: datetime.date | None
    _mjd_ut1: dict[_FinalsTable, _Array]

    def dat_at(self, mjd_utc: npt.ArrayLike) -> _Array:
        """TAI-UTC at the given epochs; the first value before the first step."""
        index = np.searchsorted(self.mjd_utc, mjd_utc, side="right") - 1
        return self.dat[np.maximum(index, 0)]

    def mjd_ut1(self, finals: _FinalsTable) -> _Array:
        arrays = self._mjd_ut1.get(finals)
        if arrays is None:
            arrays = self._mjd_ut1[finals] = _frozen(self._to_ut1(finals))
        return arrays

    def _to_ut1(self, finals: _FinalsTable) -> _Array:
        # UT1-UTC jumps by the leap second at each step, but TAI-UT1 runs on
        # continuously: interpolate that, then take TAI-UTC off again.
        epochs = self.mjd_utc
        tai_ut1 = self.dat_at(finals.mjd_utc) - finals.dut
        dut = self.dat - np.interp(epochs, finals.mjd_utc, tai_ut1)
        dut[epochs < finals.mjd_utc[0]] = finals.dut[0]
        after = epochs > finals.mjd_utc[-1]
        dut[after] = self.dat[after] - tai_ut1[-1]
        return epochs + dut / _SECONDS_PER_DAY


def _parse_expiry(text: str, path: str, line: int) -> datetime.date:
    words = text.replace(",", " ").split()
    try:
        day, month, year = int(words[0]), _MONTHS[words[1].lower()], int(words[2])
        return datetime.date(year, month, day)
    except (IndexError, KeyError, ValueError):
        raise IERSDataError(
            path, line, f"cannot read the expiry date (expected e.g. '28 June 2027'): {text.strip()!r}"
        ) from None


def _parse_leap_seconds(data: bytes, path: str) -> _LeapSecondTable:
    try:
        text = data.decode("ascii")
    except UnicodeDecodeError as err:
        raise IERSDataError(
            path, data.count(b"\n", 0, err.start) + 1, "the file holds a byte that is not ASCII text"
        ) from None
    mjds: list[float] = []
    dats: list[float] = []
    expires: datetime.date | None = None
    lineno = 0
    for lineno, line in enumerate(text.splitlines(), 1):
        line = line.strip()
        if not line:
            continue
        if line.startswith("#"):
            found = _EXPIRES.search(line)
            if found:
                expires = _parse_expiry(found.group(1), path, lineno)
            continue
        words = line.split()
        if len(words) != 5:
            raise IERSDataError(
                path, lineno, f"expected 5 fields (MJD, day, month, year, TAI-UTC), found {len(words)}: {line!r}"
            )
        try:
            mjd, dat = float(words[0]), float(words[4])
            day, month, year = (int(word) for word in words[1:4])
            date = datetime.date(year, month, day)
        except ValueError:
            raise IERSDataError(path, lineno, f"cannot read the entry {line!r}") from None
        if mjd != date.toordinal() - _MJD_ORIGIN:
            raise IERSDataError(
                path,
                lineno,
                f"MJD {words[0]} is not the date "
                f"{year:04d}-{month:02d}-{day:02d} "
                f"(MJD {date.toordinal() - _MJD_ORIGIN})",
            )
        if mjds and mjd <= mjds[-1]:
            raise IERSDataError(path, lineno, f"MJD {words[0]} does not follow the previous entry's {mjds[-1]!r}")
        # A leap second moves TAI-UTC by one second exactly; anything else is
        # a damaged or cut-off number.
        if dats and abs(dat - dats[-1]) != 1.0:
            raise IERSDataError(
                path, lineno, f"TAI-UTC of {words[4]} s is not one second away from the previous {dats[-1]!r} s"
            )
        mjds.append(mjd)
        dats.append(dat)
    if not mjds:
        raise IERSDataError(path, max(lineno, 1), "no TAI-UTC entries in the file")
    table = _LeapSecondTable()
    table.path = path
    table.mjd_utc = _frozen(mjds)
    table.dat = _frozen(dats)
    table.expires = expires
    table._mjd_ut1 = {}
    return table


_leap_second_tables: _Cache[_LeapSecondTable] = _Cache(_LEAP_SECONDS_NAME, _parse_leap_seconds)


def packaged_release() -> tuple[str, datetime.date | None]:
    """The installed ``astropy-iers-data``: ``(version, date)``.

    Its versions carry the date of the IERS files they ship
    (``0.YYYY.MM.DD...``); ``date`` is that `datetime.date`, or None when the
    version holds none. Raises `FileNotFoundError` when the package is not
    installed.
    """
    try:
        import astropy_iers_data
    except ModuleNotFoundError:
        _packaged_file(_FINALS_NAME)  # raises FileNotFoundError saying what to install
        raise
    version = str(getattr(astropy_iers_data, "__version__", "unknown"))
    date: datetime.date | None = None
    parts = version.split(".")
    if len(parts) >= 4 and all(part.isdigit() for part in parts[1:4]):
        try:
            date = datetime.date(int(parts[1]), int(parts[2]), int(parts[3]))
        except ValueError:
            pass
    return version, date


def leap_second_table() -> tuple[_Array, _Array]:
    """The TAI-UTC steps of the packaged ``Leap_Second.dat``.

    Returns ``(mjd_utc, dat)``: read-only float64 arrays of the MJD(UTC) at
    which each value of TAI-UTC starts to hold and that value in seconds.
    Read once per process; `BulletinC` objects share the same arrays.
    """
    table = _leap_second_tables.get(None)
    return table.mjd_utc, table.dat


class BulletinC:
    """IERS Bulletin C: the steps of TAI-UTC (leap seconds).

    Read from ``Leap_Second.dat``, by default the copy in the installed
    ``astropy-iers-data`` package, or from ``path``. ``dat[i]`` holds from
    ``mjd_utc[i]`` until the next entry; the last value holds on.

    ``mjd_ut1`` gives the same epochs on the UT1 scale, ``mjd_utc`` plus
    UT1-UTC / 86400 at the instant of the step (the value after it), taken
    from ``bulletin_a`` (by default the packaged `BulletinA`) by linear
    interpolation of TAI-UT1, which runs on across a step. Steps before the
    Bulletin A table starts (the three of 1972) take its first UT1-UTC value;
    steps after it ends keep its last TAI-UT1. It is worked out on first use.

    ``expires`` is the date after which the file may be out of date, or None
    when the file does not say.

    Raises
    ------
    OSError
        The file cannot be read.
    IERSDataError
        The file is damaged or truncated; the message names file and line.
    """

    __slots__ = ("_table", "_bulletin_a")

    def __init__(self, path: str | os.PathLike[str] | None = None, *, bulletin_a: BulletinA | None = None) -> None:
        if bulletin_a is not None and not isinstance(bulletin_a, BulletinA):
            raise TypeError(f"bulletin_a must be a BulletinA or None, not {type(bulletin_a).__name__}")
        self._table = _leap_second_tables.get(path)
        self._bulletin_a = bulletin_a

    @property
    def path(self) -> str:
        """The file the table was read from."""
        return self._table.path

    @property
    def mjd_utc(self) -> _Array:
        """Epochs from which each TAI-UTC value holds, MJD(UTC), in days."""
        return self._table.mjd_utc

    @property
    def dat(self) -> _Array:
        """TAI-UTC from the matching epoch on, in seconds."""
        return self._table.dat

    @property
    def expires(self) -> datetime.date | None:
        """Date after which the file may be out of date (datetime.date), or None."""
        return self._table.expires

    @property
    def mjd_ut1(self) -> _Array:
        """The epochs of the steps as MJD(UT1), in days."""
        finals = _finals_tables.get(None) if self._bulletin_a is None else self._bulletin_a._table
        return self._table.mjd_ut1(finals)

    def __len__(self) -> int:
        return len(self._table.mjd_utc)

    def __repr__(self) -> str:
        table = self._table
        return (
            f"BulletinC({table.path!r}: {len(table.dat)} steps, "
            f"TAI-UTC {float(table.dat[-1])!r} s since MJD {float(table.mjd_utc[-1])!r})"
        )
