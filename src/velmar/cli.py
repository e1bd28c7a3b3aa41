"""The `velmar` command: everyday jobs on element-set catalogue files.

velmar                       a short tour on the built-in sample catalogue
velmar catalog FILE          one line per satellite
velmar show FILE             printed forms of element sets
velmar propagate FILE ...    an SGP4 (or two-body) ephemeris of one satellite
velmar track FILE ...        its ground track: latitude, longitude, height
velmar passes FILE ...       its passes over a site: rise, culmination, set, visibility
velmar eop T [T ...]         Earth orientation and time-scale offsets
velmar archive FILES ...     every satellite of a catalogue archive to Parquet, on Dask (the `dask` extra)
velmar plot eop|orbit|track|sky ...  the same as pictures (needs the `plot` extra)
"""

from __future__ import annotations

import argparse
import csv
import decimal
import importlib.resources
import math
import os
import sys
import warnings
from collections.abc import Sequence
from typing import Any

import numpy as np

from velmar.units.units import arcsec as ARCSEC

PROPAGATE_NOTE = (
    "This is a two-body (Keplerian) propagation of the set's mean elements, not SGP4: "
    "it ignores the Earth's oblateness, drag and third bodies, and drifts by kilometres "
    "within hours for low orbits. Use it for geometry and quick looks."
)

SGP4_NOTE = (
    "SGP4, the theory the element sets are fitted to, computed by the sgp4 package; "
    "when the span crosses several sets of the satellite, each epoch is propagated from "
    "the set that governs it (--rule)."
)


class UserError(Exception):
    """A problem the user can fix; printed as one line."""


def sample_path():
    return importlib.resources.files("velmar") / "data" / "sample.tle"


# --- helpers ------------------------------------------------------------------


def _load(path) -> dict:
    from velmar.io import _describe_left_out, _load_catalog
    from velmar.omm import RoundingWarning

    try:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always", RoundingWarning)
            loaded = _load_catalog(path, verify=True, duplicates="drop")
    except FileNotFoundError:
        raise UserError(f"no such file: {path}") from None
    except IsADirectoryError:
        raise UserError(f"{path} is a folder, not a catalogue file") from None
    except ValueError as exc:  # a file without element sets, or the lines at fault
        raise UserError(str(exc)) from None
    for warning in caught:
        if issubclass(warning.category, RoundingWarning):
            print(f"velmar: note: {warning.message}", file=sys.stderr)
        else:
            warnings.showwarning(warning.message, warning.category, warning.filename, warning.lineno)
    if loaded.duplicates:
        print(
            f"velmar: {loaded.duplicates} duplicate element set(s) skipped (the same two lines as an earlier set)",
            file=sys.stderr,
        )
    if loaded.left_out:
        print(f"velmar: {_describe_left_out(loaded.left_out)}", file=sys.stderr)
    return loaded.catalog


def _pick(catalog: dict, satno: int | None):
    if not catalog:
        raise UserError("the file holds no satellite with an integer catalogue number")
    if satno is None:
        if len(catalog) == 1:
            return next(iter(catalog.values()))
        raise UserError(f"the file holds {len(catalog)} satellites; choose one with --satno")
    try:
        return catalog[satno]
    except KeyError:
        known = ", ".join(str(n) for n in sorted(catalog)[:10])
        raise UserError(
            f"satellite {satno} is not in the file (it holds {known}{' ...' if len(catalog) > 10 else ''})"
        ) from None


def _time(text: str):
    from velmar.time.time import Time

    try:
        return Time(text)
    except (ValueError, TypeError) as exc:
        raise UserError(f"not a date: {text!r} ({exc})") from None


def _span(start: str, stop: str | None, step: float, default_length: float):
    """Epochs from start to stop on the UTC clock (stop included when it falls on a step), as one Time."""
    grid = _Grid(start, stop, step, default_length)
    if grid.size > 10_000_000:
        raise UserError(f"{grid.size} epochs requested; use a larger --step")
    return grid.times(0, grid.size)


_CLOCK_END = "2262-04-11T23:47:16.854775807"
_CLOCK_WHY = "the last reading of the UTC clock the steps are laid on (numpy datetime64[ns])"


def _clock(t, option: str, text: str):
    """The UTC clock reading of one Time, as numpy datetime64[ns]."""
    try:
        return np.datetime64(t.utc.datetime64, "ns")
    except OverflowError:
        raise UserError(f"{option} {text} is after {_CLOCK_END}, {_CLOCK_WHY}") from None


class _Grid:
    """The epochs start + k * step read on the UTC clock, k = 0, 1, ... up to stop.

    Steps are laid on clock time, not counted in elapsed SI seconds, so that a
    leap second inside the span does not shift every later epoch off the
    minute, and a stop that is a whole number of steps after the start is an
    epoch of the grid. The clock has no reading 23:59:60, so no grid epoch can
    fall inside a leap second; a start inside one has no place on it and is
    refused.
    """

    def __init__(self, start: str, stop: str | None, step: float, default_length: float):
        from velmar.time.time import Time

        if not (math.isfinite(step) and step > 0):
            raise UserError(f"--step must be positive and finite, got {step}")
        # Through the shortest decimal form of the float: "0.1" is 100,000,000 ns exactly.
        self.step_ns = int(round(decimal.Decimal(repr(float(step))).scaleb(9)))
        if self.step_ns < 1:
            raise UserError(f"--step must be at least one nanosecond, got {step}")
        t0 = _time(start)
        self.clock0 = _clock(t0, "--start", start)
        if Time(self.clock0) != t0:
            raise UserError(
                f"--start {start} falls inside a leap second; the UTC clock the steps are laid on has no such reading"
            )
        if stop:
            length_ns = int((_clock(_time(stop), "--stop", stop) - self.clock0).astype(np.int64))
            if length_ns < 0:
                raise UserError(f"--stop {stop} is before --start {start}")
        else:
            length_ns = round(default_length * 1e9)
        self.size = length_ns // self.step_ns + 1
        if int(self.clock0.astype(np.int64)) + (self.size - 1) * self.step_ns > np.iinfo(np.int64).max:
            raise UserError(f"the epochs from --start {start} run past {_CLOCK_END}, {_CLOCK_WHY}")
        # The decimals every epoch of the grid needs (0, 3, 6 or 9), as Time prints them.
        fraction = int(self.clock0.astype(np.int64)) % 10**9
        self.decimals = next(
            d
            for d in (0, 3, 6, 9)
            if fraction % 10 ** (9 - d) == 0 and (self.size == 1 or self.step_ns % 10 ** (9 - d) == 0)
        )

    def times(self, first: int, stop: int):
        """The epochs first .. stop - 1 of the grid, a Time on the UTC scale."""
        from velmar.time.time import Time

        # k * step stays within the span (an int64 nanosecond count) for every k on the grid.
        offsets = np.arange(first, stop, dtype=np.int64) * np.int64(self.step_ns if self.size > 1 else 0)
        return Time(self.clock0 + offsets.astype("timedelta64[ns]"))

    # Blocks small enough for their text to be built in the processor's cache;
    # the first smaller still, so that the first rows come at once.
    FIRST_BLOCK, BLOCK = 1_000, 8_192

    def blocks(self):
        """(first, stop) ranges of the epochs, one block after the other."""
        a = 0
        while a < self.size:
            b = min(a + (self.FIRST_BLOCK if a == 0 else self.BLOCK), self.size)
            yield a, b
            a = b


def _iso(t) -> str:
    return str(t.utc.iso)


def _write_rows(header: Sequence[str], rows, as_csv: bool, out=None) -> None:
    out = out or sys.stdout
    if as_csv:
        w = csv.writer(out, lineterminator="\n")
        w.writerow(header)
        w.writerows(rows)
        return
    rows = [list(map(str, r)) for r in rows]
    widths = [max(len(h), *(len(r[i]) for r in rows)) if rows else len(h) for i, h in enumerate(header)]
    print("  ".join(h.rjust(w) for h, w in zip(header, widths)), file=out)
    for r in rows:
        print("  ".join(c.rjust(w) for c, w in zip(r, widths)), file=out)


# --- text columns at numpy speed -----------------------------------------------
#
# Long ephemerides are written in blocks: each block is one (rows, width)
# matrix of ASCII bytes that every column writes its digits into, a whole
# column at a time. The text of a number is exactly what Python's own
# f"{x:.{d}f}" prints.

_SPACE, _MINUS, _POINT, _ZERO = 32, 45, 46, 48


class _Numbers:
    """A column of the decimal numbers -+q / 10**decimals, q >= 0 exact integers.

    `special` maps a row to the text it prints instead (nan, inf, and numbers
    too large for exact integer digits, which Python formats).
    """

    def __init__(self, q, negative, decimals: int, special: dict[int, str] | None = None):
        self.q = q
        self.negative = negative
        self.decimals = decimals
        self.special = special or {}
        self.top = int(q.max()) if q.size else 0
        digits = max(len(str(self.top)), decimals + 1)
        self.width = max(
            digits + (decimals > 0) + bool(negative.any()),
            max((len(t) for t in self.special.values()), default=0),
        )

    @classmethod
    def fixed(cls, x, decimals: int) -> _Numbers:
        """The column of f"{v:.{decimals}f}" for every v of x."""
        x = np.asarray(x, dtype=np.float64).reshape(-1)
        y = x * 10.0**decimals
        special = {}
        odd = ~(np.abs(y) < 2.0**53)  # nan, inf, and what has no exact integer digits
        if odd.any():
            special = {k: f"{x[k]:.{decimals}f}" for k in np.flatnonzero(odd).tolist()}
            y[odd] = 0.0
        q = np.rint(y)
        # y is x * 10**d rounded once, so it can fall on the wrong side of a half
        # only when it lies within an ulp of one; those few take their last digit
        # from the exact decimal value of x, rounded half to even as Python does.
        near = 0.5 - np.abs(y - q) <= np.abs(y) * 2.0**-51
        for k in np.flatnonzero(near).tolist():
            q[k] = round(decimal.Decimal(float(x[k])).scaleb(decimals))
        return cls(np.abs(q).astype(np.int64), np.signbit(x), decimals, special)

    @classmethod
    def days(cls, ns) -> _Numbers:
        """Signed days with six decimals from exact nanosecond counts, rounded half to even."""
        ns = np.asarray(ns, dtype=np.int64)
        q, r = np.divmod(np.abs(ns), 86_400_000)  # units of 1e-6 day
        q += (2 * r > 86_400_000) | ((2 * r == 86_400_000) & (q % 2 == 1))
        return cls(q, ns < 0, 6)

    def __len__(self) -> int:
        return self.q.size

    def text(self, k: int) -> str:
        if k in self.special:
            return self.special[k]
        whole, part = divmod(int(self.q[k]), 10**self.decimals)
        sign = "-" if self.negative[k] else ""
        return f"{sign}{whole}.{part:0{self.decimals}d}" if self.decimals else f"{sign}{whole}"

    def render(self, cells):
        """Write the column right-justified into cells (rows, width); which rows fit."""
        n, width = cells.shape
        rest = self.q.astype(np.uint32 if self.top < 2**32 else np.uint64)
        col = width - 1
        for _ in range(self.decimals):
            nxt = rest // 10
            np.add(rest - nxt * 10, _ZERO, out=cells[:, col], casting="unsafe")
            rest, col = nxt, col - 1
        if self.decimals:
            cells[:, col] = _POINT
            col -= 1
        nxt = rest // 10
        np.add(rest - nxt * 10, _ZERO, out=cells[:, col], casting="unsafe")
        rest, col = nxt, col - 1
        length = np.full(n, width - 1 - col, dtype=np.int64)
        top = self.top // 10 ** (self.decimals + 1)
        while top and col >= 0:
            more = rest > 0
            nxt = rest // 10
            np.add(rest - nxt * 10, _ZERO, out=cells[:, col], casting="unsafe", where=more)
            length += more
            rest, col, top = nxt, col - 1, top // 10
        fits = (rest == 0) & (length + self.negative <= width)
        signed = np.flatnonzero(self.negative & fits)
        cells[signed, width - 1 - length[signed]] = _MINUS
        for k, text in self.special.items():
            fits[k] = len(text) <= width
            if fits[k]:
                cells[k] = np.frombuffer(text.rjust(width).encode(), dtype=np.uint8)
        return fits


class _Texts:
    """A column of ASCII strings of one length (a numpy str array)."""

    def __init__(self, texts):
        self.texts = np.asarray(texts)
        self.width = self.texts.dtype.itemsize // 4

    def __len__(self) -> int:
        return self.texts.size

    def text(self, k: int) -> str:
        return str(self.texts[k])

    def render(self, cells):
        n, width = cells.shape
        codes = self.texts.view(np.uint32).reshape(n, self.width)
        np.copyto(cells[:, width - self.width :], codes, casting="unsafe")
        return True


def _block_bytes(columns, widths, as_csv: bool) -> bytes:
    """Rows of the columns as text: comma-separated, or right-justified in `widths` and two blanks apart.

    A table row with a value wider than its column is written wider.
    """
    if as_csv:
        widths = [c.width for c in columns]
    sep = b"," if as_csv else b"  "
    n = len(columns[0])
    rows = np.full((n, sum(widths) + len(sep) * (len(widths) - 1) + 1), _SPACE, dtype=np.uint8)
    fits = np.ones(n, dtype=bool)
    a = 0
    for k, (column, width) in enumerate(zip(columns, widths)):
        if k:
            rows[:, a : a + len(sep)] = np.frombuffer(sep, dtype=np.uint8)
            a += len(sep)
        fits &= column.render(rows[:, a : a + width])
        a += width
    rows[:, -1] = ord("\n")
    data = rows.tobytes()
    if not fits.all():
        out, start, size = [], 0, rows.shape[1]
        for k in np.flatnonzero(~fits).tolist():
            line = sep.decode().join(c.text(k).rjust(w) for c, w in zip(columns, widths)) + "\n"
            out += [data[start * size : k * size], line.encode()]
            start = k + 1
        out.append(data[start * size :])
        data = b"".join(out)
    # A CSV cell holds no blank, so the padding simply goes.
    return data.replace(b" ", b"") if as_csv else data


def _write_bytes(data: bytes) -> None:
    out = sys.stdout
    buffer = getattr(out, "buffer", None)
    if buffer is None:
        out.write(data.decode())
    else:
        out.flush()
        buffer.write(data)


# --- jobs ---------------------------------------------------------------------


def catalog_rows(catalog: dict):
    for satno in sorted(catalog):
        e = catalog[satno]
        newest = e[-1]
        yield (
            satno,
            e.satname or "",
            e.size,
            _iso(e[0].epoch),
            _iso(newest.epoch),
            f"{newest.pge / 1000:.1f}",
            f"{newest.apg / 1000:.1f}",
        )


CATALOG_HEADER = ("satno", "name", "sets", "first epoch (UTC)", "last epoch (UTC)", "perigee km", "apogee km")


def cmd_catalog(args) -> None:
    _write_rows(CATALOG_HEADER, list(catalog_rows(_load(args.file))), args.csv)


def cmd_show(args) -> None:
    catalog = _load(args.file)
    chosen = [catalog[args.satno]] if args.satno is not None and args.satno in catalog else None
    if chosen is None:
        chosen = [_pick(catalog, args.satno)] if args.satno is not None else [catalog[n] for n in sorted(catalog)]
    for elset in chosen:
        members = list(elset)[-args.last :] if args.last else list(elset)
        for tle in members:
            print(tle)
            print()


def _kepler_index(elset, first_epoch_ns: int) -> int:
    """The newest set at or before the first epoch (the first set before it)."""
    epochs = np.atleast_1d(elset.epoch.int64)
    return max(int(np.searchsorted(epochs, first_epoch_ns, side="right")) - 1, 0)


def propagate_elset(elset, times):
    """Two-body ephemeris from the newest set at or before the first epoch."""
    from velmar.propagators.analytical.keplerian.keplerian import Keplerian

    tle = elset[_kepler_index(elset, int(np.atleast_1d(times.int64)[0]))]
    return tle, Keplerian().propagate_state(times, _coe(tle))


def _coe(tle):
    from velmar.frames.frames import TEME
    from velmar.state.state import COE

    return COE(tle.epoch, TEME, tle.ecc, tle.sma, tle.inc, tle.raa, tle.arp, tle.tra)


def sgp4_ephemeris(elset, times, rule: str = "latest"):
    """SGP4 ephemeris, each epoch from the member of `elset` that governs it.

    SGP4's warnings about epochs it cannot propagate (their rows are NaN) are
    printed as one line each on standard error.
    """
    eph, caught = _sgp4_block(elset, times, rule)
    for message in caught:
        print(f"velmar: warning: {message}", file=sys.stderr)
    return eph


def _sgp4_block(elset, times, rule: str):
    """SGP4 ephemeris and the texts of the warnings it gave."""
    from velmar.propagators.analytical.sgp4.sgp4 import SGP4

    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        eph = SGP4().propagate_elset(times, elset, rule=rule)
    return eph, [str(w.message) for w in caught]


def _sgp4_sources(elset, first: int, last: int, rule: str) -> str:
    """Which sets govern a span whose first and last epochs are governed by sets `first` and `last`."""
    if first == last:
        return f"from the set of {_iso(elset[first].epoch)} UTC"
    how = "the newest set at or before it" if rule == "latest" else "the set with the closest epoch"
    return f"from the sets of {_iso(elset[first].epoch)} to {_iso(elset[last].epoch)} UTC, each epoch from {how}"


def _period(elset) -> float:
    """The newest set's orbital period, the default span; 90 minutes for an orbit without one."""
    period = float(elset.orp[-1])
    return period if math.isfinite(period) else 5400.0


def _satellite(elset) -> str:
    return f"satellite {elset.satno} {elset.satname}" if elset.satname else f"satellite {elset.satno}"


PROPAGATE_HEADER = ("epoch (UTC)", "x km", "y km", "z km", "vx km/s", "vy km/s", "vz km/s", "set age days")
# Table widths that hold any Earth orbit; a wider value widens its own row only.
_PROPAGATE_WIDTHS = (0, 11, 11, 11, 10, 10, 10, 12)
_STALE_DAYS = 30


def cmd_propagate(args) -> None:
    from velmar.propagators.analytical.keplerian.keplerian import Keplerian
    from velmar.propagators.analytical.sgp4.sgp4 import governing_index

    elset = _pick(_load(args.file), args.satno)
    start = args.start or _iso(elset[-1].epoch)
    grid = _Grid(start, args.stop, args.step, _period(elset))
    ends = grid.times(0, 1).int64[0], grid.times(grid.size - 1, grid.size).int64[0]
    set_epochs = np.atleast_1d(elset.epoch.int64)
    if args.model == "sgp4":
        first, last = governing_index(set_epochs, np.array(ends), args.rule).tolist()
        source, note = f"SGP4 {_sgp4_sources(elset, first, last, args.rule)}", SGP4_NOTE

        def propagate(times):
            eph, caught = _sgp4_block(elset, times, args.rule)
            return eph, np.asarray(eph.governing), caught
    else:
        index = _kepler_index(elset, int(ends[0]))
        tle = elset[index]
        coe, kepler = _coe(tle), Keplerian()
        source, note = f"two-body from the set of {_iso(tle.epoch)} UTC", PROPAGATE_NOTE

        def propagate(times):
            return kepler.propagate_state(times, coe), np.full(times.size, index), []

    iso_width = 19 if grid.decimals == 0 else 20 + grid.decimals
    widths: tuple[int, ...] = ()
    if args.csv:
        _write_bytes((",".join(PROPAGATE_HEADER) + "\n").encode())
    else:
        widths = tuple(max(len(h), w or iso_width) for h, w in zip(PROPAGATE_HEADER, _PROPAGATE_WIDTHS))
        print(f"# {_satellite(elset)}, {source}, frame TEME")
        print(f"# {note}")
        print("  ".join(h.rjust(w) for h, w in zip(PROPAGATE_HEADER, widths)))
    stale, failed = False, 0
    for a, b in grid.blocks():
        times = grid.times(a, b)
        eph, governing, caught = propagate(times)
        if caught and not failed:
            print(f"velmar: warning: {caught[0]}", file=sys.stderr)
        r = np.asarray(eph.r) / 1000.0
        v = np.asarray(eph.v) / 1000.0
        failed += int(np.count_nonzero(np.isnan(r[:, 0])))
        # Days of elapsed time from the governing set's epoch, exact to the nanosecond.
        age_ns = np.atleast_1d(times.int64) - set_epochs[governing]
        if not stale:
            far = np.flatnonzero(np.abs(age_ns) > _STALE_DAYS * 86_400 * 10**9)
            if far.size:
                stale, k = True, int(far[0])
                print(
                    f"velmar: warning: {times[k].iso} UTC is {age_ns[k] / 86400e9:+.1f} days from the epoch of the set "
                    f"that governs it ({_iso(elset[int(governing[k])].epoch)} UTC); "
                    f"a set's accuracy falls off with time from its epoch (column 'set age days')",
                    file=sys.stderr,
                )
        iso = times.iso
        if grid.decimals and len(iso[0]) < iso_width:  # this block needs fewer decimals than the grid
            iso = np.char.add(iso, ("." + "0" * grid.decimals)[len(iso[0]) - iso_width :])
        columns = [
            _Texts(iso),
            *(_Numbers.fixed(r[:, i], 3) for i in range(3)),
            *(_Numbers.fixed(v[:, i], 6) for i in range(3)),
            _Numbers.days(age_ns),
        ]
        _write_bytes(_block_bytes(columns, widths, args.csv))
    if failed and grid.size > grid.FIRST_BLOCK:
        print(
            f"velmar: warning: SGP4 failed at {failed} of {grid.size} epochs in all; their rows are nan",
            file=sys.stderr,
        )


# --- where and when: ground track and passes ----------------------------------


def _site(text: str):
    """A station from "LAT,LON[,HEIGHT_M]" (degrees, metres above the WGS84 ellipsoid)."""
    from velmar.frames.frames import ENU

    parts = text.split(",")
    try:
        values = [float(p) for p in parts]
    except ValueError:
        values = []
    if len(values) not in (2, 3) or not all(math.isfinite(v) for v in values):
        raise UserError(f"--site must be LAT,LON or LAT,LON,HEIGHT_M in degrees and metres, got {text!r}")
    lat, lon, height = (*values, 0.0)[:3]
    if not -90.0 <= lat <= 90.0:
        raise UserError(f"--site latitude must be between -90 and 90 degrees, got {lat:g}")
    if not -360.0 <= lon <= 360.0:
        raise UserError(f"--site longitude must be between -360 and 360 degrees, got {lon:g}")
    return ENU(math.radians(lat), math.radians(lon), height)


def _quietly(job):
    """Run job(); warnings it gives (SGP4 failures, epochs outside the EOP data) become one line each."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        result = job()
    seen = set()
    for w in caught:
        text = str(w.message)
        if text not in seen:
            seen.add(text)
            print(f"velmar: warning: {text}", file=sys.stderr)
    return result


def ground_track(elset, times, rule: str = "latest"):
    """Geodetic latitude, longitude (rad) and height (m) of the SGP4 positions at `times`, on WGS84."""
    from velmar.frames.geodetic import itrf_to_geodetic
    from velmar.frames.transforms import teme_to_itrf
    from velmar.propagators.analytical.sgp4.sgp4 import SGP4

    def job():
        eph = SGP4().propagate_elset(times, elset, rule=rule)
        r, _ = teme_to_itrf(times, np.asarray(eph.r))
        return itrf_to_geodetic(r)

    lla = _quietly(job)
    return np.asarray(lla["lat"]), np.asarray(lla["lon"]), np.asarray(lla["alt"])


TRACK_HEADER = ("epoch (UTC)", "latitude deg", "longitude deg", "height km")


def cmd_track(args) -> None:
    elset = _pick(_load(args.file), args.satno)
    start = args.start or _iso(elset[-1].epoch)
    grid = _Grid(start, args.stop, args.step, _period(elset))
    iso_width = 19 if grid.decimals == 0 else 20 + grid.decimals
    widths: tuple[int, ...] = ()
    if args.csv:
        _write_bytes((",".join(TRACK_HEADER) + "\n").encode())
    else:
        widths = tuple(max(len(h), w) for h, w in zip(TRACK_HEADER, (iso_width, 12, 13, 10)))
        print(f"# {_satellite(elset)}, SGP4 (each epoch from the set that governs it), WGS84 geodetic")
        print("  ".join(h.rjust(w) for h, w in zip(TRACK_HEADER, widths)))
    for a, b in grid.blocks():
        times = grid.times(a, b)
        lat, lon, height = ground_track(elset, times)
        iso = times.iso
        if grid.decimals and len(iso[0]) < iso_width:
            iso = np.char.add(iso, ("." + "0" * grid.decimals)[len(iso[0]) - iso_width :])
        columns = [
            _Texts(iso),
            _Numbers.fixed(np.degrees(lat), 4),
            _Numbers.fixed(np.degrees(lon), 4),
            _Numbers.fixed(height / 1000.0, 3),
        ]
        _write_bytes(_block_bytes(columns, widths, args.csv))


def _second(t) -> str:
    """The UTC reading of t rounded to the second, "YYYY-MM-DD HH:MM:SS"."""
    if t is None:
        return "-"
    ns = np.datetime64(t.utc.datetime64, "ns") + np.timedelta64(500_000_000, "ns")
    return str(ns.astype("datetime64[s]")).replace("T", " ")


def _passes(elset, site, start: str | None, stop: str | None, min_elevation: float, rule: str = "latest"):
    from velmar.passes import find_passes

    t0 = _time(start) if start else elset[-1].epoch
    t1 = _time(stop) if stop else t0 + 86400.0
    if int(t1.int64) < int(t0.int64):
        raise UserError(f"--stop {stop} is before the start of the search ({_iso(t0)})")
    if not -90.0 < min_elevation < 90.0:
        raise UserError(f"--min-elevation must be between -90 and 90 degrees, got {min_elevation:g}")
    try:
        return t0, t1, _quietly(lambda: find_passes(elset, site, t0, t1, math.radians(min_elevation), rule=rule))
    except ValueError as exc:
        hint = " (velmar eop --info shows how far they reach)" if "orientation data" in str(exc) else ""
        raise UserError(f"{exc}{hint}") from None


PASSES_HEADER = ("rise (UTC)", "az", "culmination (UTC)", "el max", "az", "set (UTC)", "az", "visible")


def pass_rows(passes):
    deg = lambda x: "-" if math.isnan(x) else f"{math.degrees(x) % 360.0:.0f}"  # noqa: E731
    return [
        (
            _second(p.rise),
            deg(p.rise_azimuth),
            _second(p.culmination),
            f"{math.degrees(p.max_elevation):.1f}",
            deg(p.culmination_azimuth),
            _second(p.set),
            deg(p.set_azimuth),
            "yes" if p.visible else "no",
        )
        for p in passes
    ]


def cmd_passes(args) -> None:
    elset = _pick(_load(args.file), args.satno)
    site = _site(args.site)
    t0, t1, passes = _passes(elset, site, args.start, args.stop, args.min_elevation, args.rule)
    if not args.csv:
        print(
            f"# {_satellite(elset)} from {math.degrees(site.lat):.4f}, {math.degrees(site.lon):.4f}, {site.alt:g} m, "
            f"{_second(t0)} to {_second(t1)} UTC, above {args.min_elevation:g} deg"
        )
        print(
            "# geometric elevation (no refraction), degrees; azimuth from north through east; visible: sunlit "
            "while the Sun is 6 deg or more below the station's horizon"
        )
    _write_rows(PASSES_HEADER, pass_rows(passes), args.csv)
    if not passes and not args.csv:
        print("(no pass in this window)")


EOP_HEADER = (
    "epoch (UTC)",
    "MJD",
    "pm_x arcsec",
    "pm_y arcsec",
    "UT1-UTC s",
    "LOD ms",
    "dX mas",
    "dY mas",
    "TAI-UTC s",
    "TT-UT1 s",
)


NS_PER_DAY = 86_400_000_000_000
MJD_OF_2000 = 51544  # Time.int64 counts TAI nanoseconds from noon of that day
MJD_OF_1972 = 41317  # 1972-01-01: TAI-UTC 10 s, whole leap seconds from then on


def tai_minus_utc(times) -> np.ndarray:
    """TAI-UTC in force at each instant, in seconds.

    Read from the instant itself (its TAI) against the package's leap-second
    table, not from its UTC date: during a leap second (23:59:60) the value of
    the day that ends still holds. 10 s before 1972 and the last value after
    the last step, as `Time` takes them.
    """
    from velmar.iers.bulletins import leap_second_table

    mjd, dat = leap_second_table()
    whole = mjd >= MJD_OF_1972  # whole leap seconds; Time leaves the 1960s' steps aside too
    mjd, dat = mjd[whole], dat[whole]
    # Step i holds from the TAI instant of its UTC midnight on.
    starts = (mjd.astype(np.int64) - MJD_OF_2000) * NS_PER_DAY - NS_PER_DAY // 2 + np.round(dat * 1e9).astype(np.int64)
    tai = np.atleast_1d(np.asarray(times.int64, dtype=np.int64))
    step = np.searchsorted(starts, tai, side="right") - 1
    return np.where(step >= 0, dat[np.maximum(step, 0)], 10.0)


def eop_data_ends() -> dict[str, tuple[float, float]]:
    """First and last MJD(UTC) of the Bulletin A samples behind each column."""
    from velmar.iers.bulletins import BulletinA

    a = BulletinA()
    ends = {}
    for label, values in (("polar motion and UT1-UTC", a.pm_x), ("LOD", a.lod), ("dX and dY", a.dX_IAU2000A)):
        given = a.mjd_utc[~np.isnan(values)]
        ends[label] = (float(given[0]), float(given[-1]))
    return ends


def _date(mjd: float) -> str:
    from velmar.time.time import Time

    return str(Time(mjd, format="mjd").iso)[:10]


def eop_outside_note() -> str:
    """One line: where the IERS data behind the EOP columns end."""
    ends = eop_data_ends()
    first = min(start for start, _ in ends.values())
    spans = ", ".join(f"{label} {_date(last)}" for label, (_, last) in ends.items())
    return f"nan where an epoch lies outside the IERS data, which start {_date(first)} and end: {spans}"


def eop_rows(times):
    from velmar.iers.eop import EOP

    mjd = np.atleast_1d(np.asarray(times.utc.mjd, dtype=np.float64))
    e = EOP(mjd)
    tai_ut1 = e.TAI_UT1
    dat = tai_minus_utc(times)
    # UT1-UTC from the same TAI-UTC as its column, so that inside a leap second
    # the two agree (EOP.dut would take TAI-UTC of the UTC date, the next day).
    dut = dat - tai_ut1
    cols = (
        e.pm_x / ARCSEC,
        e.pm_y / ARCSEC,
        dut,
        e.lod * 1e3,
        e.dX / ARCSEC * 1e3,
        e.dY / ARCSEC * 1e3,
        dat,
        32.184 + tai_ut1,
    )
    iso = np.atleast_1d(times.utc.iso)
    for k in range(mjd.size):
        yield (
            iso[k],
            f"{mjd[k]:.5f}",
            f"{cols[0][k]:.6f}",
            f"{cols[1][k]:.6f}",
            f"{cols[2][k]:.7f}",
            f"{cols[3][k]:.4f}",
            f"{cols[4][k]:.3f}",
            f"{cols[5][k]:.3f}",
            f"{cols[6][k]:.0f}",
            f"{cols[7][k]:.7f}",
        )


def eop_data_summary() -> str:
    """The IERS data in use, its date and reach, in one line."""
    from velmar.iers.bulletins import BulletinA, packaged_release

    version, released = packaged_release()
    a = BulletinA()
    observed = f"observed to {_date(a.last_observed)}, " if a.last_observed is not None else ""
    return (
        f"IERS data of {released or 'astropy-iers-data ' + version}: "
        f"{observed}predicted to {_date(float(a.mjd_utc[-1]))}"
    )


def eop_data_info() -> list[str]:
    """Which IERS data `EOP` uses and how far it reaches, as lines of text."""
    from velmar.iers.bulletins import BulletinA, BulletinC, packaged_release

    version, released = packaged_release()
    a, c = BulletinA(), BulletinC()
    lines = [f"IERS data in use: astropy-iers-data {version}" + (f", data of {released}" if released else "")]
    lines.append(f"  Bulletin A (Earth orientation): {a.path}")
    first, last = float(a.mjd_utc[0]), float(a.mjd_utc[-1])
    lines.append(f"    samples                  {_date(first)} to {_date(last)} (MJD {first:.0f} to {last:.0f})")
    if a.last_observed is not None:
        lines.append(
            f"    last observed            {_date(a.last_observed)} (MJD {a.last_observed:.0f}); predictions after it"
        )
    lines.append(f"    last predicted           {_date(last)} (MJD {last:.0f})")
    for label, (_, end) in eop_data_ends().items():
        lines.append(f"    {label:<24} to {_date(end)} (MJD {end:.0f})")
    lines.append(f"  Bulletin C (TAI-UTC): {c.path}")
    expires = f"; the file expires {c.expires}" if c.expires else ""
    lines.append(f"    TAI-UTC {float(c.dat[-1]):.0f} s since {_date(float(c.mjd_utc[-1]))}{expires}")
    lines.append(
        "Outside its samples an EOP quantity is nan; TAI-UTC is 10 s before 1972 and keeps its last value after the last step."
    )
    return lines


def _eop_times(args):
    from velmar.time.time import Time

    if args.epochs and (args.start or args.stop):
        span = " ".join(f"--{k} {getattr(args, k)}" for k in ("start", "stop") if getattr(args, k))
        raise UserError(f"give epochs ({' '.join(args.epochs)}) or a span ({span}), not both")
    if args.start:
        return _span(args.start, args.stop, args.step, 0.0)
    if not args.epochs:
        raise UserError("give one or more epochs, or --start (with --stop and --step)")
    for text in args.epochs:
        _time(text)
    return Time(list(args.epochs))


def cmd_eop(args) -> None:
    if args.info:
        print("\n".join(eop_data_info()))
        return
    rows = list(eop_rows(_eop_times(args)))
    if not args.csv:
        print("# Earth orientation (IERS Bulletin A, interpolated) and time-scale offsets (Bulletin C)")
        print("# polar motion in arcsec, UT1-UTC in s, length of day in ms, celestial pole offsets dX, dY in mas")
        print(f"# {eop_data_summary()} (velmar eop --info)")
    _write_rows(EOP_HEADER, rows, args.csv)
    if any("nan" in row for row in rows):
        print(f"velmar: note: {eop_outside_note()}", file=sys.stderr)


def _eop_data_span(columns=("pm_x", "pm_y", "dut")) -> tuple[float, float]:
    """First and last MJD (UTC) at which every one of the Bulletin A columns has a value."""
    from velmar.iers.bulletins import BulletinA

    table = BulletinA()
    mjd = np.asarray(table.mjd_utc)
    first, last = -np.inf, np.inf
    for name in columns:
        known = np.flatnonzero(~np.isnan(np.asarray(getattr(table, name))))
        first, last = max(first, mjd[known[0]]), min(last, mjd[known[-1]])
    return float(first), float(last)


def _plot_path(output: str) -> str:
    """The file the picture goes to: a name without an extension gets ".png", as matplotlib would give it."""
    return output if os.path.splitext(output)[1] else output + ".png"


def _plot_eop_data(args):
    from velmar.iers.eop import EOP
    from velmar.time.time import Time

    start = args.start or "2016-01-01"
    times = _span(start, args.stop or None, args.step or 86400.0, 2 * 365.25 * 86400.0)
    mjd = np.atleast_1d(np.asarray(times.utc.mjd, dtype=np.float64))
    first, last = _eop_data_span()
    if mjd[0] < first or mjd[-1] > last:
        day = lambda m: str(Time(m, format="mjd").utc.iso)[:10]  # noqa: E731
        raise UserError(
            f"{_iso(times[0])[:19]} to {_iso(times[-1])[:19]} is not within the IERS Bulletin A data, "
            f"which runs from {day(first)} to {day(last)}; choose --start and --stop inside it"
        )
    e = EOP(mjd)
    return times, mjd, e.pm_x / ARCSEC, e.pm_y / ARCSEC, e.dut


def cmd_plot(args) -> None:
    # Inputs are checked before matplotlib is needed.
    if args.what == "eop":
        times, mjd, pm_x, pm_y, dut = _plot_eop_data(args)
    else:
        if not args.file:
            raise UserError(f"plot {args.what} needs a catalogue FILE")
        elset = _pick(_load(args.file), args.satno)
        start = args.start or _iso(elset[-1].epoch)
        if args.what == "orbit":
            times = _span(start, args.stop, args.step or 30.0, _period(elset))
            if args.model == "kepler":
                tle, eph = propagate_elset(elset, times)
                model = f"two-body orbit from the set of {_iso(tle.epoch)[:19]} UTC"
            else:
                eph = sgp4_ephemeris(elset, times)
                model = f"SGP4 orbit, {_iso(times[0])[:19]} UTC onwards"
            r = np.asarray(eph.r) / 1000.0
        elif args.what == "track":
            times = _span(start, args.stop, args.step or 30.0, 3 * _period(elset))
            lat, lon, _ = ground_track(elset, times)
        else:
            if not args.site:
                raise UserError("plot sky needs --site LAT,LON[,HEIGHT_M]")
            site = _site(args.site)
            stop = args.stop or None
            _, _, passes = _passes(elset, site, args.start, stop, args.min_elevation)
            if not passes:
                raise UserError("no pass in the window; give a longer one with --start and --stop")
            chosen = passes[0] if args.pass_number is None else None
            if chosen is None:
                if not 1 <= args.pass_number <= len(passes):
                    raise UserError(f"--pass must be between 1 and {len(passes)}, the passes in the window")
                chosen = passes[args.pass_number - 1]
            sky = _sky_path(elset, site, chosen)
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        raise UserError(
            "plotting needs matplotlib, the 'plot' extra: pip install 'velmar[plot]' (in a checkout: pip install '.[plot]')"
        ) from None
    name = None if args.what == "eop" else (elset.satname or str(elset.satno))
    if args.what == "eop":
        fig, (a1, a2) = plt.subplots(2, 1, figsize=(9, 7), constrained_layout=True)
        a1.plot(pm_x, pm_y, lw=1)
        a1.set_xlabel("polar motion x (arcsec)")
        a1.set_ylabel("polar motion y (arcsec)")
        a1.set_title(f"Polar motion, {_iso(times[0])[:10]} to {_iso(times[-1])[:10]}")
        a1.invert_yaxis()
        a2.plot(mjd, dut, lw=1)
        a2.set_xlabel("MJD (UTC)")
        a2.set_ylabel("UT1 - UTC (s)")
        a2.set_title("UT1 - UTC (jumps are leap seconds)")
        a2.grid(alpha=0.3)
    elif args.what == "orbit":
        fig = plt.figure(figsize=(8, 8), constrained_layout=True)
        # Any: 3-D and polar axes have methods that the annotation of add_subplot does not show.
        ax: Any = fig.add_subplot(projection="3d")
        u, v = np.mgrid[0 : 2 * np.pi : 40j, 0 : np.pi : 20j]
        re = 6378.137
        ax.plot_surface(
            re * np.cos(u) * np.sin(v), re * np.sin(u) * np.sin(v), re * np.cos(v), color="tab:blue", alpha=0.3, lw=0
        )
        ax.plot(r[:, 0], r[:, 1], r[:, 2], color="tab:red", lw=1.5, label=model.split(",")[0].split(" from")[0])
        lim = np.nanmax(np.abs(r)) * 1.05
        ax.set(xlim=(-lim, lim), ylim=(-lim, lim), zlim=(-lim, lim), xlabel="x km (TEME)", ylabel="y km", zlabel="z km")
        ax.set_box_aspect((1, 1, 1))
        ax.set_title(f"{name}: {model}")
        ax.legend()
    elif args.what == "track":
        fig, ax = plt.subplots(figsize=(10, 5.4), constrained_layout=True)
        lat_d, lon_d = np.degrees(lat), (np.degrees(lon) + 180.0) % 360.0 - 180.0
        # A jump of more than 180 deg of longitude between two epochs crosses the dateline:
        # the line is broken there rather than drawn across the map.
        lon_line = lon_d.copy()
        lon_line[1:][np.abs(np.diff(lon_d)) > 180.0] = np.nan
        ax.plot(lon_line, lat_d, color="tab:red", lw=1.2)
        ax.plot(lon_d[:1], lat_d[:1], "o", color="tab:red", label=f"{_iso(times[0])[:19]} UTC")
        ax.set(
            xlim=(-180, 180), ylim=(-90, 90), xlabel="longitude (deg)", ylabel="geodetic latitude (deg)", aspect="equal"
        )
        ax.set_xticks(np.arange(-180, 181, 30))
        ax.set_yticks(np.arange(-90, 91, 30))
        ax.grid(alpha=0.4)
        ax.legend(loc="lower left")
        span = (int(times[-1].int64) - int(times[0].int64)) / 60e9
        ax.set_title(f"{name}: ground track (SGP4, WGS84), {span:.0f} min")
    else:
        az, el, t_first, t_last, p = sky
        fig = plt.figure(figsize=(6.4, 6.6), constrained_layout=True)
        ax = fig.add_subplot(projection="polar")
        ax.set_theta_zero_location("N")
        ax.set_theta_direction(-1)  # azimuth clockwise from north, as seen looking up with north at the top
        ax.plot(az, 90.0 - np.degrees(el), color="tab:red", lw=1.5)
        ends = [
            (p.rise, p.rise_azimuth, p.rise_elevation, "rise"),
            (p.culmination, p.culmination_azimuth, p.max_elevation, "max"),
            (p.set, p.set_azimuth, p.set_elevation, "set"),
        ]
        for t, a, e, label in ends:
            if t is not None:
                ax.plot([a], [90.0 - math.degrees(e)], "o", color="tab:red", ms=4)
                ax.annotate(
                    f"{label} {_second(t)[11:]}",
                    (a, 90.0 - math.degrees(e)),
                    fontsize=8,
                    xytext=(4, 4),
                    textcoords="offset points",
                )
        ax.set_rlim(0, 90)
        ax.set_rticks([0, 30, 60, 90])
        ax.set_yticklabels(["90", "60", "30", "0"])
        ax.set_xticks(np.radians(np.arange(0, 360, 45)))
        ax.set_xticklabels(["N", "NE", "E", "SE", "S", "SW", "W", "NW"])
        ax.set_title(
            f"{name} from {math.degrees(site.lat):.2f}, {math.degrees(site.lon):.2f}\n"
            f"{_second(t_first)} to {_second(t_last)[11:]} UTC, max el {math.degrees(p.max_elevation):.1f} deg"
            f"{', visible' if p.visible else ''}",
            fontsize=10,
        )
    path = _plot_path(args.output)
    fig.savefig(path, dpi=110)
    print(f"wrote {path}")


def _sky_path(elset, site, p):
    """Azimuth (rad) and elevation of one pass from rise to set, every few seconds."""
    from velmar.passes import look
    from velmar.time.time import Time

    first = p.rise if p.rise is not None else p.culmination
    last = p.set if p.set is not None else p.culmination
    ns = np.linspace(int(first.int64), int(last.int64), 200).astype(np.int64)
    aer = _quietly(lambda: look(elset, site, Time(ns)))
    return np.asarray(aer["azimuth"]), np.asarray(aer["elevation"]), first, last, p


TOUR_CITY = ("Toulouse", 43.6045, 1.444, 150)


def cmd_tour(args) -> None:
    from velmar.time.time import Time

    path = sample_path()
    catalog = _load(path)
    print("velmar tour: the built-in sample catalogue\n")
    _write_rows(CATALOG_HEADER, list(catalog_rows(catalog)), False)
    iss = catalog[25544]
    tle = iss[-1]
    print("\nThe ISS element set, as velmar prints it:\n")
    print(tle)
    print("\nSGP4 and two-body ephemerides from that set over one orbit, every 15 minutes (TEME, km):")
    print(
        "(SGP4 is the theory the element sets are fitted to. The two-body propagation of the same mean\n"
        "elements ignores the Earth's oblateness, drag and third bodies, and parts from it within hours.)\n"
    )
    times = _span(_iso(tle.epoch), None, 900.0, float(tle.orp))
    one_orbit = tle.epoch + float(tle.orp)
    both = Time(np.append(np.atleast_1d(times.int64), one_orbit.int64))
    sgp4 = sgp4_ephemeris(iss[-1:], both)
    _, kepler = propagate_elset(iss[-1:], both)
    gap = np.linalg.norm(np.asarray(sgp4.r) - np.asarray(kepler.r), axis=1) / 1000
    iso = times.utc.iso
    rows = [
        (iso[k], *(f"{x / 1000:.3f}" for x in sgp4.r[k]), *(f"{x / 1000:.3f}" for x in kepler.r[k]), f"{gap[k]:.3f}")
        for k in range(times.size)
    ]
    header = ("epoch (UTC)", "SGP4 x", "SGP4 y", "SGP4 z", "two-body x", "two-body y", "two-body z", "apart km")
    _write_rows(header, rows, False)
    print(f"\nAfter one orbit ({float(tle.orp) / 60:.1f} min) the two-body position is {gap[-1]:.1f} km from SGP4's.")
    print("\nEarth orientation and time-scale offsets at the set's epoch:\n")
    _write_rows(EOP_HEADER, list(eop_rows(tle.epoch)), False)
    name, lat, lon, height = TOUR_CITY
    _, _, passes = _passes(iss[-1:], _site(f"{lat},{lon},{height}"), None, None, 10.0)
    print(f"\nThe ISS's passes over {name} ({lat} N, {lon} E) above 10 deg in the day after the set's epoch")
    print("(geometric elevation, degrees; visible: sunlit while the Sun is 6 deg or more below the horizon):\n")
    _write_rows(PASSES_HEADER, pass_rows(passes), False)
    print(
        "\nMore: velmar catalog FILE | show FILE | propagate FILE --satno N | track FILE --satno N | "
        "passes FILE --satno N --site LAT,LON\n      eop T | eop --info | plot eop|orbit|track|sky -o FILE.png | "
        "archive FILES --grid START STOP STEP --out DIR.parquet"
    )


def cmd_archive(args) -> None:
    import logging
    import time as clock

    try:
        import distributed

        import velmar.dask as vd
    except ImportError:
        raise UserError(
            "archive needs dask[dataframe], distributed and pyarrow, the 'dask' extra: pip install 'velmar[dask]'"
        ) from None
    if (args.grid is None) == (not args.history):
        raise UserError("give --grid START STOP STEP (ephemerides) or --history (history statistics)")
    for path in args.files:
        if not os.path.exists(path):
            raise UserError(f"no such file: {path}")
        if os.path.isdir(path):
            raise UserError(f"{path} is a folder, not a catalogue file")
    if os.path.exists(args.out) and not args.overwrite:
        raise UserError(f"{args.out} exists; remove it, write elsewhere, or give --overwrite")
    if args.grid is not None:
        start, stop, step = args.grid
        try:
            step_s = _seconds(step)
        except argparse.ArgumentTypeError as exc:
            raise UserError(f"--grid STEP {exc}") from None
        grid = _Grid(start, stop, step_s, 0.0)
        if grid.size > 10_000_000:
            raise UserError(f"{grid.size} epochs requested; use a larger STEP")
        times = grid.clock0 + np.arange(grid.size, dtype=np.int64) * np.timedelta64(grid.step_ns, "ns")
    if not (math.isfinite(args.max_age) and args.max_age >= 0):
        raise UserError(f"--max-age must be 0 or more days, got {args.max_age:g}")
    if not (math.isfinite(args.gap) and args.gap > 0):
        raise UserError(f"--gap must be a positive number of days, got {args.gap:g}")
    cluster = None
    if args.scheduler:
        try:
            client = distributed.Client(args.scheduler, timeout="20s")
        except (OSError, TimeoutError, ValueError) as exc:
            raise UserError(f"no Dask scheduler answers at {args.scheduler} ({exc})") from None
        where = f"the cluster at {args.scheduler}"
    else:
        # Processes, not threads: the SGP4 and frame loops hold the interpreter lock.
        workers = args.workers or os.cpu_count() or 1
        # The shuffle's notes at warning level are for Dask's developers; errors still show.
        cluster = distributed.LocalCluster(
            n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=":0", silence_logs=logging.ERROR
        )
        client = distributed.Client(cluster)
        where = f"a local cluster of {workers} worker process(es), dashboard {client.dashboard_link}"
    began = clock.perf_counter()
    try:
        print(f"velmar archive: {len(args.files)} file(s) on {where}", file=sys.stderr)
        sets = vd.read_archive(args.files, blocksize=args.blocksize << 20)
        job: Any
        if args.grid is not None:
            job = vd.ephemerides(sets, times, rule=args.rule, frame=args.frame.upper(), max_age=args.max_age * 86400.0)
            what = f"SGP4 ephemerides on {grid.size} epochs, frame {args.frame.upper()}"
        else:
            job = {"satellites": vd.history_summary(sets, gap=args.gap * 86400.0), "sets": vd.history_sets(sets)}
            what = "history statistics (satellites/ and sets/)"
        try:
            out = vd.write_parquet(job, args.out, overwrite=args.overwrite, progress=True)
        except ValueError as exc:  # a file with bad lines: the lines at fault
            raise UserError(str(exc)) from None
    finally:
        client.close()
        if cluster is not None:
            cluster.close()
    import pyarrow.compute as pc
    import pyarrow.dataset as ds

    def dataset(name=""):
        return ds.dataset(os.path.join(out, name), format="parquet")

    if args.grid is not None:
        written = dataset()
        satellites = len(pc.unique(written.to_table(columns=["satno"])["satno"]))
        failed = written.count_rows(filter=pc.is_nan(ds.field(f"x_{args.frame}")))
        counted = (
            f"{satellites} satellites, {written.count_rows()} rows"
            f"{f', {failed} of them NaN (SGP4 failed or no Earth orientation data)' if failed else ''}"
        )
    else:
        counted = f"{dataset('satellites').count_rows()} satellites, {dataset('sets').count_rows()} distinct sets"
    print(f"\nvelmar archive: wrote {out}: {what}; {counted}; {clock.perf_counter() - began:.1f} s")


# --- command line -------------------------------------------------------------


class _Parser(argparse.ArgumentParser):
    """Mistakes on the command line are one line, like every other error of the command."""

    def error(self, message):
        self.exit(2, f"velmar: {message} (see {self.prog} --help)\n")


def _count(text: str) -> int:
    """A count of 1 or more (argparse type)."""
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be a whole number of 1 or more, got {text!r}")
    return value


def _seconds(text: str) -> float:
    """A step in seconds: finite, and at least a nanosecond, the resolution of the epochs (argparse type)."""
    try:
        value = float(text)
    except ValueError:
        value = math.nan
    if not (math.isfinite(value) and value > 0):
        raise argparse.ArgumentTypeError(f"must be positive and finite (seconds), got {text!r}")
    if value < 0.5e-9:
        raise argparse.ArgumentTypeError(f"must be at least a nanosecond, got {text!r}")
    return value


def build_parser() -> argparse.ArgumentParser:
    p = _Parser(
        prog="velmar",
        description="Element sets, two-body ephemerides and Earth orientation from the command line. "
        "Without a subcommand, a short tour on a built-in sample catalogue.",
    )
    p.add_argument("--debug", action="store_true", help="show the full traceback on errors")
    sub = p.add_subparsers(dest="command", metavar="COMMAND")

    c = sub.add_parser("catalog", help="one line per satellite of a catalogue file")
    c.add_argument("file", help="a two- or three-line element-set file (gzip is fine)")
    c.add_argument("--csv", action="store_true", help="comma-separated output")
    c.set_defaults(run=cmd_catalog)

    s = sub.add_parser("show", help="printed forms of element sets")
    s.add_argument("file")
    s.add_argument("--satno", type=int, help="only this satellite")
    s.add_argument("--last", type=_count, metavar="K", help="only the K newest sets of each satellite")
    s.set_defaults(run=cmd_show)

    pr = sub.add_parser(
        "propagate",
        help="SGP4 (or two-body) ephemeris of one satellite",
        description=f"{SGP4_NOTE} With --model kepler: {PROPAGATE_NOTE}",
    )
    pr.add_argument("file")
    pr.add_argument("--satno", type=int, help="the satellite (needed when the file holds several)")
    pr.add_argument("--start", help="first epoch, UTC (default: the newest set's epoch)")
    pr.add_argument("--stop", help="last epoch, UTC (default: one orbital period after --start)")
    pr.add_argument("--step", type=_seconds, default=60.0, help="seconds between epochs (default 60)")
    pr.add_argument("--model", choices=["sgp4", "kepler"], default="sgp4", help="SGP4 (default) or two-body")
    pr.add_argument(
        "--rule",
        choices=["latest", "nearest"],
        default="latest",
        help="SGP4: the set that governs an epoch, the newest at or before it (default) or the closest",
    )
    pr.add_argument("--csv", action="store_true")
    pr.set_defaults(run=cmd_propagate)

    e = sub.add_parser("eop", help="Earth orientation parameters and time-scale offsets at epochs")
    e.add_argument("epochs", nargs="*", help="UTC epochs, e.g. 2016-12-31T12:00:00")
    e.add_argument("--start")
    e.add_argument("--stop")
    e.add_argument("--step", type=_seconds, default=86400.0, help="seconds between epochs (default one day)")
    e.add_argument("--csv", action="store_true")
    e.add_argument(
        "--info", action="store_true", help="the IERS data in use: its date, last observed and last predicted epoch"
    )
    e.set_defaults(run=cmd_eop)

    pa = sub.add_parser(
        "passes",
        help="rise, culmination and set of one satellite over a site",
        description="Passes above a minimum elevation (geometric, no refraction), from SGP4 with each epoch "
        "from the set that governs it and velmar's Earth orientation data. A negative latitude is written "
        "--site=-33.9,18.4.",
    )
    pa.add_argument("file")
    pa.add_argument("--satno", type=int, help="the satellite (needed when the file holds several)")
    pa.add_argument("--site", required=True, help="LAT,LON[,HEIGHT_M]: geodetic degrees, metres above WGS84")
    pa.add_argument("--start", help="start of the search, UTC (default: the newest set's epoch)")
    pa.add_argument("--stop", help="end of the search, UTC (default: one day after the start)")
    pa.add_argument("--min-elevation", type=float, default=0.0, metavar="DEG", help="degrees (default 0)")
    pa.add_argument("--rule", choices=["latest", "nearest"], default="latest", help="the set that governs an epoch")
    pa.add_argument("--csv", action="store_true")
    pa.set_defaults(run=cmd_passes)

    tr = sub.add_parser("track", help="ground track: geodetic latitude, longitude and height of one satellite")
    tr.add_argument("file")
    tr.add_argument("--satno", type=int, help="the satellite (needed when the file holds several)")
    tr.add_argument("--start", help="first epoch, UTC (default: the newest set's epoch)")
    tr.add_argument("--stop", help="last epoch, UTC (default: one orbital period after --start)")
    tr.add_argument("--step", type=_seconds, default=60.0, help="seconds between epochs (default 60)")
    tr.add_argument("--csv", action="store_true")
    tr.set_defaults(run=cmd_track)

    ar = sub.add_parser(
        "archive",
        help="every satellite of a catalogue archive propagated (or its history summed up) into Parquet, on Dask",
        description="Reads every element set of FILES (plain or gzip, two- or three-line, OMM) on a Dask cluster "
        "and writes a Parquet dataset: SGP4 ephemerides of every satellite on a time grid (--grid), or history "
        "statistics (--history). Without --scheduler a local cluster of worker processes runs the job. "
        "Needs the 'dask' extra.",
    )
    ar.add_argument("files", nargs="+", metavar="FILES", help="catalogue files, e.g. one per day")
    ar.add_argument(
        "--grid", nargs=3, metavar=("START", "STOP", "STEP"), help="UTC epochs START to STOP every STEP seconds"
    )
    ar.add_argument("--history", action="store_true", help="history statistics instead of ephemerides")
    ar.add_argument("--out", required=True, metavar="DIR.parquet", help="the Parquet dataset to write (a folder)")
    ar.add_argument("--overwrite", action="store_true", help="replace --out when it exists")
    ar.add_argument("--scheduler", metavar="ADDRESS", help="a running Dask scheduler, e.g. tcp://10.0.0.5:8786")
    ar.add_argument(
        "--workers", type=_count, metavar="N", help="local cluster: worker processes (default: one per core)"
    )
    ar.add_argument("--frame", choices=["teme", "itrf"], default="teme", help="TEME (default) or ITRF with geodetic")
    ar.add_argument("--rule", choices=["latest", "nearest"], default="latest", help="the set that governs an epoch")
    ar.add_argument(
        "--max-age",
        type=float,
        default=30.0,
        metavar="DAYS",
        help="leave out epochs further than this from the governing set (default 30)",
    )
    ar.add_argument(
        "--gap", type=float, default=3.0, metavar="DAYS", help="--history: gaps longer than this (default 3)"
    )
    ar.add_argument("--blocksize", type=_count, default=32, metavar="MB", help="MiB of text per partition (default 32)")
    ar.set_defaults(run=cmd_archive)

    pl = sub.add_parser(
        "plot", help="polar motion and UT1-UTC, an orbit in 3-D, a ground track or a pass on the sky (needs matplotlib)"
    )
    pl.add_argument("what", choices=["eop", "orbit", "track", "sky"])
    pl.add_argument("file", nargs="?", help="catalogue file (orbit, track, sky)")
    pl.add_argument("--satno", type=int)
    pl.add_argument("--start")
    pl.add_argument("--stop")
    pl.add_argument("--step", type=_seconds)
    pl.add_argument("--model", choices=["sgp4", "kepler"], default="sgp4", help="orbit: SGP4 (default) or two-body")
    pl.add_argument("--site", help="sky: LAT,LON[,HEIGHT_M]")
    pl.add_argument("--min-elevation", type=float, default=0.0, metavar="DEG", help="sky: degrees (default 0)")
    pl.add_argument(
        "--pass", dest="pass_number", type=_count, metavar="K", help="sky: the K-th pass of the window (default 1)"
    )
    pl.add_argument("-o", "--output", required=True, help="PNG file to write")
    pl.set_defaults(run=cmd_plot)
    return p


def main(argv: Sequence[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    run = getattr(args, "run", cmd_tour)
    try:
        run(args)
        sys.stdout.flush()
    except UserError as exc:
        if args.debug:
            raise
        print(f"velmar: {exc}", file=sys.stderr)
        return 2
    except BrokenPipeError:
        # The reader has gone (`velmar propagate ... | head`): that ends the job, quietly.
        # Later writes, and the flush at exit, go nowhere instead of failing again.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 0
    except KeyboardInterrupt:
        if args.debug:
            raise
        return 130
    except Exception as exc:  # one line for the user, the traceback with --debug
        if args.debug:
            raise
        print(f"velmar: {type(exc).__name__}: {exc}", file=sys.stderr)
        return 1
    return 0
