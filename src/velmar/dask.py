"""Whole catalogue archives on a Dask cluster: read, shuffle by satellite, propagate.

A catalogue archive (one file per day, every object in each) is read into a
Dask DataFrame of element sets, one row per set read; a shuffle by satellite
number gives each task whole satellite histories, rebuilt there into `ELSET`s
by the native reader; the jobs on top (`ephemerides`, `history_sets`,
`history_summary`) return lazy Dask DataFrames, and `write_parquet` writes one
so that a dataset that is not whole never carries the final name.

Plain files are cut into partitions by byte ranges that never split an element
set: a range's cut moves forward to the end of the first set whose line 2 ends
at or after it, so the neighbours on either side compute the same cut from the
same bytes. A gzip file, or an OMM file, is one partition. What travels
between processes is text and numpy arrays (pandas frames of them): `TLE`,
`ELSET` and the propagators are not picklable.

Paths must name the same files on the client (which only reads their sizes and
first two bytes) and on every worker.

Needs the ``dask`` extra: ``pip install 'velmar[dask]'``.
"""

from __future__ import annotations

import io
import math
import operator
import os
import shutil
import uuid
import warnings
from collections.abc import Sequence
from typing import Any, NamedTuple

import numpy as np

try:
    import dask
    import dask.dataframe as dd
    import pandas as pd
except ImportError as exc:  # pragma: no cover - depends on the environment
    raise ImportError(
        f"velmar.dask needs dask[dataframe], distributed and pyarrow, the 'dask' extra: "
        f"pip install 'velmar[dask]' ({exc})"
    ) from None

from velmar import omm
from velmar.io import _OMM_HEAD, _load_catalog, read_tles

__all__ = [
    "ELEMENTS",
    "Partition",
    "ephemerides",
    "histories",
    "history_sets",
    "history_summary",
    "partitions",
    "read_archive",
    "write_parquet",
]

# 32 MiB of three-line text is about 230,000 element sets.
BLOCKSIZE = 32 << 20
# Element columns of the DataFrame, the TLE attributes of the same names (SI units).
ELEMENTS = ("inc", "raa", "ecc", "arp", "mea", "mnm", "sma", "pge", "apg")
# `order` packs the file's position in the list above the position in the file.
_FILE_SHIFT = 40
# Objects in the public catalogue, a bound for sizing the partitions of ephemerides.
_CATALOGUE = 65_536
_ROWS_PER_PARTITION = 4_000_000

# Far enough back for the two lines before a cut (element lines are 69 to 80
# bytes); a window that turns out too short is widened.
_BACK = 1024
_AHEAD = 1 << 16


class Partition(NamedTuple):
    """One partition of an archive: bytes start..stop of a file (cuts not yet aligned), or the whole file."""

    file: int  # position of the file in the archive's list
    path: str
    start: int
    stop: int
    size: int
    whole: bool  # gzip: read as one partition


def partitions(files: Sequence[str | os.PathLike[str]], blocksize: int = BLOCKSIZE) -> list[Partition]:
    """The partitions of `files` for `blocksize` bytes of text each (gzip files whole)."""
    if not isinstance(blocksize, int) or blocksize < 1:
        raise ValueError(f"blocksize must be a whole number of bytes of 1 or more, got {blocksize!r}")
    if len(files) >= 1 << (63 - _FILE_SHIFT):
        raise ValueError(f"{len(files)} files are more than one archive can hold ({1 << (63 - _FILE_SHIFT)})")
    parts = []
    for k, name in enumerate(files):
        path = os.fspath(name)
        if os.path.isdir(path):
            raise IsADirectoryError(f"{path} is a folder, not a catalogue file")
        size = os.path.getsize(path)
        with open(path, "rb") as f:
            gzipped = f.read(2) == b"\x1f\x8b"
        if gzipped or size == 0:
            parts.append(Partition(k, path, 0, size, size, True))
            continue
        for start in range(0, size, blocksize):
            parts.append(Partition(k, path, start, min(start + blocksize, size), size, False))
    if not parts:
        raise ValueError("no catalogue files given")
    return parts


def _is_line(data: bytes, a: int, number: bytes) -> bool:
    return data.startswith(number, a)


def _cut(f, x: int, size: int) -> int:
    """Where a range boundary at byte x really falls: the end of the first element set
    whose line 2 ends at or after x (after its line break), or the end of the file.

    A pair is a line starting "1 " directly followed by one starting "2 ", as the
    native reader pairs them; whatever lies between two pairs (a name line, blank
    lines) goes with the pair after it.
    """
    if x <= 0 or x >= size:
        return min(max(x, 0), size)
    back, ahead = _BACK, _AHEAD
    while True:
        lo, hi = max(0, x - back), min(size, x + ahead)
        f.seek(lo)
        data = f.read(hi - lo)
        # Complete lines of the window, as (start, end) with end after the "\n".
        starts = [0] if lo == 0 else []
        k = data.find(b"\n")
        while k >= 0:
            starts.append(k + 1)
            k = data.find(b"\n", k + 1)
        ends = starts[1:] + ([len(data)] if hi == size and starts and starts[-1] < len(data) else [])
        lines = list(zip(starts, ends))
        # The first line that ends at or after x, and the one before it, must be in the window.
        first = next((i for i, (_, e) in enumerate(lines) if lo + e >= x), None)
        if first is not None and first == 0 and lo > 0:
            back *= 4
            continue
        if first is not None:
            for i in range(max(first, 1), len(lines)):
                if _is_line(data, lines[i][0], b"2 ") and _is_line(data, lines[i - 1][0], b"1 "):
                    return lo + lines[i][1]
        if hi == size:
            return size
        ahead *= 4


def _columns(sets: list, first_order: int, wanted) -> dict:
    """The columns named in `wanted` (all when None) of the sets, built only when asked for:
    a job that needs the text alone skips the elements and the epochs."""
    n = len(sets)
    numbered = [(name, t) for name, t in sets if isinstance(t.satno, int)]
    keep = None
    if len(numbered) < n:
        # Alphanumeric satellite numbers cannot form an ELSET; left out, as load_catalog does.
        keep = np.array([isinstance(t.satno, int) for _, t in sets])
        sets = numbered
    m = len(sets)
    wanted = _COLUMNS if wanted is None else wanted
    columns: dict[str, Any] = {}
    if "satno" in wanted:
        columns["satno"] = np.fromiter((t.satno for _, t in sets), np.int64, m)
    if "epoch" in wanted:
        from velmar.time.time import Time

        ns = np.fromiter((t.epoch.int64 for _, t in sets), np.int64, m)
        columns["epoch"] = (
            np.asarray(Time(ns).utc.datetime64, dtype="datetime64[ns]").reshape(-1) if m else ns.view("datetime64[ns]")
        )
    if any(key in wanted for key in ELEMENTS):
        get = operator.attrgetter(*ELEMENTS)
        elements = np.array([get(t) for _, t in sets], dtype=np.float64).reshape(m, len(ELEMENTS))
        for k, key in enumerate(ELEMENTS):
            if key in wanted:
                columns[key] = elements[:, k].copy()
    if "name" in wanted:
        columns["name"] = pd.array([name for name, _ in sets], dtype="string")
    if "line1" in wanted:
        columns["line1"] = pd.array([t.line1 for _, t in sets], dtype="string")
    if "line2" in wanted:
        columns["line2"] = pd.array([t.line2 for _, t in sets], dtype="string")
    if "order" in wanted:
        order = np.arange(first_order, first_order + n, dtype=np.int64)
        columns["order"] = order if keep is None else order[keep]
    return {key: columns[key] for key in wanted}


_COLUMNS = ("satno", "epoch", *ELEMENTS, "name", "line1", "line2", "order")


def _frame(sets: list, first_order: int, wanted=None) -> pd.DataFrame:
    return pd.DataFrame(_columns(sets, first_order, wanted))


_SETS_META = None


def _sets_meta() -> pd.DataFrame:
    global _SETS_META
    if _SETS_META is None:
        _SETS_META = _frame([], 0)
    return _SETS_META


class _Named(io.BytesIO):
    def __init__(self, data: bytes, name: str):
        super().__init__(data)
        self.name = name


def _empty(columns) -> pd.DataFrame:
    return _sets_meta() if columns is None else _sets_meta()[list(columns)]


def _read_partition(part: Partition, verify: bool = True, columns=None) -> pd.DataFrame:
    """The element sets of one partition, as a pandas DataFrame (runs in the workers)."""
    base = part.file << _FILE_SHIFT
    if part.whole:
        if part.size == 0:
            raise ValueError(f"{part.path} holds no element sets")
        return _frame(list(read_tles(part.path, verify=verify)), base, columns)
    with open(part.path, "rb") as f:
        if part.start == 0 and omm.announced(f.read(_OMM_HEAD).decode("utf-8", errors="replace")):
            # OMM records are not lines; such a file is read whole, by its first partition.
            return _frame(list(read_tles(part.path, verify=verify)), base, columns)
        if part.start > 0:
            f.seek(0)
            if omm.announced(f.read(_OMM_HEAD).decode("utf-8", errors="replace")):
                return _empty(columns)
        a, b = _cut(f, part.start, part.size), _cut(f, part.stop, part.size)
        if a >= b:
            return _empty(columns)
        f.seek(a)
        data = f.read(b - a)
    if not data.strip():
        return _empty(columns)
    # Line numbers in error messages count from the start of the range.
    source = _Named(data, f"{part.path} (bytes {a} to {b})")
    # Each set takes well over one byte, so start + position stays below the next range's start.
    return _frame(list(read_tles(source, verify=verify)), base + a, columns)


def read_archive(
    files: Sequence[str | os.PathLike[str]], blocksize: int = BLOCKSIZE, verify: bool = True
) -> dd.DataFrame:
    """A lazy Dask DataFrame of every element set in `files`, one row per set read.

    Columns: ``satno`` (int64), ``epoch`` (UTC, datetime64[ns]), the elements
    ``inc raa ecc arp mea mnm sma pge apg`` in SI units (rad, rad/s, m), ``name``
    (the name line, null in two-line files), ``line1``, ``line2`` and
    ``order``: the set's place in the archive (files in the order given, sets in
    file order), which orders sets of equal epoch as `load_catalog` would.
    Sets repeated from file to file are all there; the jobs on whole histories
    keep each once.
    Sets with alphanumeric satellite numbers are left out, as `load_catalog`
    leaves them out. `verify` as for `read_tles`: a bad partition fails the
    job with the lines at fault.
    """
    parts = partitions(files, blocksize)
    return dd.from_map(_read_partition, parts, verify=verify, meta=_sets_meta(), enforce_metadata=False)


# --- whole histories --------------------------------------------------------------


def _text_of(frame: pd.DataFrame) -> bytes:
    """Three-line text of the rows (two-line where there is no name), in archive order."""
    frame = frame.sort_values("order", kind="stable")
    out = []
    for name, line1, line2 in zip(frame["name"].tolist(), frame["line1"].tolist(), frame["line2"].tolist()):
        if isinstance(name, str):
            # With its "0 " the name line reads back as a name, whatever it holds.
            out.append("0 " + name)
        out.append(line1)
        out.append(line2)
    out.append("")
    return "\n".join(out).encode("utf-8", "surrogateescape")


def _elsets(frame: pd.DataFrame) -> dict:
    """The ELSET of every satellite of the rows, built by the native reader as
    `load_catalog` builds them from one file holding all the rows in archive order."""
    if not len(frame):
        return {}
    return _load_catalog(_Named(_text_of(frame), "<histories>"), verify=False, duplicates="drop").catalog


def histories(sets: dd.DataFrame, npartitions: int | None = None) -> dd.DataFrame:
    """The text of `sets` (``satno name line1 line2 order``) shuffled by satellite number:
    every satellite's rows in one partition, from which the workers build its ELSET."""
    return sets[["satno", "name", "line1", "line2", "order"]].shuffle("satno", npartitions=npartitions)


# --- ephemerides --------------------------------------------------------------------


def _ephemeris_meta(frame: str) -> pd.DataFrame:
    suffix = frame.lower()
    columns = {"satno": np.empty(0, np.int64), "epoch": np.empty(0, "datetime64[ns]")}
    for key in ("x", "y", "z", "vx", "vy", "vz"):
        columns[f"{key}_{suffix}"] = np.empty(0, np.float64)
    if frame == "ITRF":
        for key in ("lat", "lon", "alt"):
            columns[key] = np.empty(0, np.float64)
    columns["set_epoch"] = np.empty(0, "datetime64[ns]")
    return pd.DataFrame(columns)


def _grid(times) -> np.ndarray:
    grid = np.asarray(times)
    if grid.dtype.kind != "M":
        from velmar.time.time import Time

        grid = np.asarray(Time(times).utc.datetime64)
    grid = np.asarray(grid, dtype="datetime64[ns]").reshape(-1)
    if grid.size == 0:
        raise ValueError("the time grid holds no epochs")
    if np.isnat(grid).any():
        raise ValueError("the time grid holds NaT")
    return grid


def _propagate_partition(frame: pd.DataFrame, grid: np.ndarray, rule: str, frame_name: str, max_age) -> pd.DataFrame:
    """SGP4 of every satellite of the partition on the grid (runs in the workers)."""
    from velmar.propagators.analytical.sgp4.sgp4 import SGP4
    from velmar.time.time import Time

    catalog = _elsets(frame)
    out = _ephemeris_meta(frame_name)
    if not catalog:
        return out
    times = Time(grid)
    grid_ns = grid.view(np.int64)
    pieces = []
    sgp4 = SGP4()
    with warnings.catch_warnings():
        # Epochs SGP4 cannot propagate are NaN rows, which say so in the output.
        warnings.simplefilter("ignore")
        for satno in sorted(catalog):
            elset = catalog[satno]
            eph = sgp4.propagate_elset(times, elset, rule=rule)
            set_epochs = np.asarray(elset.epoch.utc.datetime64, dtype="datetime64[ns]").reshape(-1)
            governing = set_epochs[np.asarray(eph.governing)]  # type: ignore[attr-defined]
            keep = slice(None) if max_age is None else np.abs(grid_ns - governing.view(np.int64)) <= max_age
            pieces.append((satno, keep, np.asarray(eph.r)[keep], np.asarray(eph.v)[keep], governing[keep]))
    counts = [len(p[4]) for p in pieces]
    satno = np.repeat(np.array([p[0] for p in pieces], dtype=np.int64), counts)
    epoch = np.concatenate([grid[p[1]] for p in pieces])
    r = np.concatenate([p[2] for p in pieces]).reshape(-1, 3)
    v = np.concatenate([p[3] for p in pieces]).reshape(-1, 3)
    columns = {"satno": satno, "epoch": epoch}
    suffix = frame_name.lower()
    if frame_name == "ITRF":
        from velmar.frames.geodetic import itrf_to_geodetic
        from velmar.frames.transforms import teme_to_itrf

        with warnings.catch_warnings():
            # Outside the Earth orientation data the rows are NaN; the output shows it.
            warnings.simplefilter("ignore")
            r, v_itrf = teme_to_itrf(Time(epoch), r, v)
            lla = itrf_to_geodetic(r)
        assert v_itrf is not None
        v = v_itrf
    for k, key in enumerate(("x", "y", "z")):
        columns[f"{key}_{suffix}"] = r[:, k]
    for k, key in enumerate(("vx", "vy", "vz")):
        columns[f"{key}_{suffix}"] = v[:, k]
    if frame_name == "ITRF":
        for key in ("lat", "lon", "alt"):
            columns[key] = np.asarray(lla[key], dtype=np.float64)
    columns["set_epoch"] = np.concatenate([p[4] for p in pieces])
    return pd.DataFrame(columns, columns=out.columns)


def ephemerides(
    sets: dd.DataFrame,
    times,
    rule: str = "latest",
    frame: str = "TEME",
    max_age: float | None = 30 * 86400.0,
    npartitions: int | None = None,
) -> dd.DataFrame:
    """A lazy DataFrame of every satellite of `sets` propagated with SGP4 to `times`.

    `times`: UTC epochs (datetime64, or anything `Time` takes). Each epoch is
    propagated from the set that governs it (`rule` as for
    `SGP4.propagate_elset`), over each satellite's whole history with its
    duplicates dropped. Rows: ``satno``, ``epoch``, position (m) and velocity
    (m/s) as ``x_teme ... vz_teme``, or with ``frame="ITRF"`` as ``x_itrf ...
    vz_itrf`` and geodetic ``lat lon`` (rad) and ``alt`` (m) on WGS84, and
    ``set_epoch``, the epoch of the governing set. Epochs more than `max_age`
    seconds from that set's epoch are left out (None keeps them all): a set says
    little about the orbit a month away, and nothing about it before launch or
    after decay. Epochs SGP4 cannot propagate, and Earth-fixed rows outside the
    Earth orientation data, are NaN. Each partition holds whole satellites,
    sorted by satellite number and epoch; `npartitions` (by default enough for
    about four million rows each from a catalogue of 65,536 objects) sets how
    many.
    """
    from velmar.propagators.analytical.sgp4.sgp4 import _check_rule

    _check_rule(rule)
    if frame not in ("TEME", "ITRF"):
        raise ValueError(f"frame must be 'TEME' or 'ITRF', got {frame!r}")
    if max_age is not None and not (np.isfinite(max_age) and max_age >= 0):
        raise ValueError(f"max_age must be None or seconds, 0 or more, got {max_age!r}")
    grid = _grid(times)
    limit = None if max_age is None else round(max_age * 1e9)
    if npartitions is None:
        # Rows of a partition are its satellites times the epochs: enough partitions that a
        # whole public catalogue gives at most about four million rows (300 MB) to each.
        npartitions = max(sets.npartitions, math.ceil(grid.size * _CATALOGUE / _ROWS_PER_PARTITION))
    return histories(sets, npartitions).map_partitions(
        _propagate_partition, grid, rule, frame, limit, meta=_ephemeris_meta(frame), enforce_metadata=False
    )


# --- history statistics ----------------------------------------------------------------


def _history_sets_meta() -> pd.DataFrame:
    return pd.DataFrame(
        {
            "satno": np.empty(0, np.int64),
            "epoch": np.empty(0, "datetime64[ns]"),
            "pge": np.empty(0, np.float64),
            "apg": np.empty(0, np.float64),
            "mnm": np.empty(0, np.float64),
            "since_previous": np.empty(0, "timedelta64[ns]"),
        }
    )


def _history_sets_partition(frame: pd.DataFrame) -> pd.DataFrame:
    catalog = _elsets(frame)
    if not catalog:
        return _history_sets_meta()
    order = sorted(catalog)
    elsets = [catalog[n] for n in order]
    epochs = [np.asarray(e.epoch.utc.datetime64, dtype="datetime64[ns]").reshape(-1) for e in elsets]
    since = [np.concatenate(([np.timedelta64("NaT", "ns")], np.diff(t))) for t in epochs]
    return pd.DataFrame(
        {
            "satno": np.repeat(np.array(order, dtype=np.int64), [e.size for e in elsets]),
            "epoch": np.concatenate(epochs),
            "pge": np.concatenate([np.asarray(e.pge) for e in elsets]),
            "apg": np.concatenate([np.asarray(e.apg) for e in elsets]),
            "mnm": np.concatenate([np.asarray(e.mnm) for e in elsets]),
            "since_previous": np.concatenate(since).astype("timedelta64[ns]"),
        }
    )


def history_sets(sets: dd.DataFrame, npartitions: int | None = None) -> dd.DataFrame:
    """A lazy DataFrame of every satellite's history, one row per distinct set in epoch order:
    ``satno``, ``epoch``, perigee and apogee heights ``pge`` and ``apg`` (m above the
    Earth's equatorial radius), mean motion ``mnm`` (rad/s) and ``since_previous``, the
    time since the satellite's previous set (NaT for its first)."""
    return histories(sets, npartitions).map_partitions(
        _history_sets_partition, meta=_history_sets_meta(), enforce_metadata=False
    )


def _summary_meta() -> pd.DataFrame:
    return pd.DataFrame(
        {
            "satno": np.empty(0, np.int64),
            "name": pd.array([], dtype="string"),
            "first_epoch": np.empty(0, "datetime64[ns]"),
            "last_epoch": np.empty(0, "datetime64[ns]"),
            "sets": np.empty(0, np.int64),
            "gaps": np.empty(0, np.int64),
            "longest_gap": np.empty(0, "timedelta64[ns]"),
            "gap_starts": pd.array([], dtype="string"),
        }
    )


def _summary_partition(frame: pd.DataFrame, gap_ns: int) -> pd.DataFrame:
    catalog = _elsets(frame)
    if not catalog:
        return _summary_meta()
    rows: dict[str, list] = {k: [] for k in _summary_meta().columns}
    for satno in sorted(catalog):
        elset = catalog[satno]
        t = np.asarray(elset.epoch.utc.datetime64, dtype="datetime64[ns]").reshape(-1)
        steps = np.diff(t.view(np.int64))
        long = np.flatnonzero(steps > gap_ns)
        rows["satno"].append(satno)
        rows["name"].append(elset.satname)
        rows["first_epoch"].append(t[0])
        rows["last_epoch"].append(t[-1])
        rows["sets"].append(elset.size)
        rows["gaps"].append(long.size)
        rows["longest_gap"].append(np.timedelta64(int(steps.max()) if steps.size else 0, "ns"))
        # The epochs of the last set before each gap, ISO text separated by blanks.
        rows["gap_starts"].append(" ".join(str(x) for x in t[long]))
    return pd.DataFrame(
        {
            "satno": np.array(rows["satno"], dtype=np.int64),
            "name": pd.array(rows["name"], dtype="string"),
            "first_epoch": np.array(rows["first_epoch"], dtype="datetime64[ns]"),
            "last_epoch": np.array(rows["last_epoch"], dtype="datetime64[ns]"),
            "sets": np.array(rows["sets"], dtype=np.int64),
            "gaps": np.array(rows["gaps"], dtype=np.int64),
            "longest_gap": np.array(rows["longest_gap"], dtype="timedelta64[ns]"),
            "gap_starts": pd.array(rows["gap_starts"], dtype="string"),
        }
    )


def history_summary(sets: dd.DataFrame, gap: float = 3 * 86400.0, npartitions: int | None = None) -> dd.DataFrame:
    """A lazy DataFrame with one row per satellite: ``satno``, ``name`` (the last name
    line read), ``first_epoch``, ``last_epoch``, ``sets`` (distinct sets), ``gaps`` (how
    many times more than `gap` seconds pass between two sets), ``longest_gap`` and
    ``gap_starts``: the epochs of the sets after which such a gap opens (ISO text, blank
    separated; the gap closes at the next set, see `history_sets`)."""
    if not (np.isfinite(gap) and gap > 0):
        raise ValueError(f"gap must be a positive number of seconds, got {gap!r}")
    return histories(sets, npartitions).map_partitions(
        _summary_partition, round(gap * 1e9), meta=_summary_meta(), enforce_metadata=False
    )


# --- writing -----------------------------------------------------------------------------


def write_parquet(
    frame, path: str | os.PathLike[str], overwrite: bool = False, progress: bool = False, **compute
) -> str:
    """Compute `frame` into a Parquet dataset at `path` (a local or shared folder), whole or not at all.

    `frame` is a Dask DataFrame, or a dict of them, each written to the
    subfolder of its key (computed together, so a shuffle they share runs once).
    The parts are written into a hidden folder beside `path`, renamed to
    `path` once every part is written: a job that fails or is stopped leaves no
    folder under the final name (and removes its hidden folder when it can).
    Workers that die are replaced and their tasks run again by Dask. An existing
    `path` is refused unless `overwrite`. With `progress`, the job runs on the
    current `distributed` client with its text progress bar. `compute` goes to
    ``dask.compute``.
    """
    path = os.path.abspath(os.fspath(path))
    if os.path.exists(path) and not overwrite:
        raise FileExistsError(f"{path} exists; remove it or write elsewhere")
    parent, base = os.path.split(path)
    os.makedirs(parent, exist_ok=True)
    temp = os.path.join(parent, f".{base}.partial-{uuid.uuid4().hex[:12]}")
    frames = frame if isinstance(frame, dict) else {"": frame}
    try:
        jobs = [
            f.to_parquet(os.path.join(temp, name) if name else temp, write_index=False, compute=False)
            for name, f in frames.items()
        ]
        if progress:
            import distributed

            client = distributed.get_client()
            futures = client.compute(jobs)
            distributed.progress(futures)
            client.gather(futures)
        else:
            dask.compute(*jobs, **compute)
        if os.path.exists(path):
            shutil.rmtree(path) if os.path.isdir(path) else os.remove(path)
        os.rename(temp, path)
    except BaseException:
        shutil.rmtree(temp, ignore_errors=True)
        raise
    return path
