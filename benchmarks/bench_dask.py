"""Catalogue archives on a local Dask cluster (velmar.dask).

An archive of daily three-line files, every satellite in each, made from the
real SPOT 5 history (tests/data/spot-5.tle; the built-in sample when it is absent).
Workers are processes with one thread each.

- element sets read into the DataFrame (read_archive, the partitions' rows
  counted in the workers), on two workers against one. Target: two at least
  1.6 times one on a 2-core machine.
- every satellite propagated with SGP4 to one day every 5 minutes
  (ephemerides, from the raw files: read, shuffle, ELSETs, SGP4), on two
  workers, against the same job as a plain Python loop: load_catalog of every
  file, the sets of each satellite merged into one ELSET, SGP4 of each.

Both rows are paired per-round ratios (this machine is shared). Not part of
`--quick`; `python benchmarks/bench_dask.py --small` runs a reduced set.
"""

from __future__ import annotations

import pathlib
import sys
import tempfile

if __package__ in (None, ""):
    sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent))

import numpy as np  # noqa: E402

from benchmarks.harness import Row, compare  # noqa: E402
from velmar.io import checksum  # noqa: E402

SPOT5 = pathlib.Path(__file__).resolve().parents[1] / "tests" / "data" / "spot-5.tle"
SAMPLE = pathlib.Path(__file__).resolve().parents[1] / "src" / "velmar" / "data" / "sample.tle"


def base_pairs() -> list[tuple[str, str]]:
    if SPOT5.exists():
        lines = [line for line in SPOT5.read_text().splitlines() if line.strip()]
        return list(zip(lines[0::2], lines[1::2]))
    lines = [line for line in SAMPLE.read_text().splitlines() if line.strip()]
    return [(lines[k + 1], lines[k + 2]) for k in range(0, len(lines), 3)]


def write_archive(folder: pathlib.Path, days: int, satellites: int) -> list[str]:
    """`days` files of `satellites` sets each: satellite s takes base set (s + day) of the history,
    so every file holds one set of every satellite and each satellite's history grows by day."""
    pairs = base_pairs()
    # The checksum of a line with a new number: that of the line numbered 00000 plus the number's digits.
    blanks = [(f"{a[:2]}00000{a[7:68]}", f"{b[:2]}00000{b[7:68]}") for a, b in pairs]
    sums = [(checksum(a), checksum(b)) for a, b in blanks]
    paths = []
    for day in range(days):
        out = []
        for s in range(satellites):
            satno = 10000 + s
            k = (s + day) % len(pairs)
            (a, b), (ca, cb) = blanks[k], sums[k]
            digits = sum(map(int, str(satno)))
            out.append(
                f"SAT {satno}\n{a[:2]}{satno:05d}{a[7:]}{(ca + digits) % 10}\n"
                f"{b[:2]}{satno:05d}{b[7:]}{(cb + digits) % 10}\n"
            )
        path = folder / f"day-{day:03d}.tle"
        path.write_text("".join(out))
        paths.append(str(path))
    return paths


def plain_loop(files, grid):
    """What a user writes without Dask: every file loaded, histories merged, SGP4 of each."""
    from velmar.io import load_catalog
    from velmar.propagators.analytical.sgp4.sgp4 import SGP4
    from velmar.propagators.analytical.sgp4.tle import ELSET
    from velmar.time.time import Time

    members: dict[int, dict] = {}
    for path in files:
        for satno, elset in load_catalog(path).items():
            seen = members.setdefault(satno, {})
            for tle in elset:
                seen.setdefault((tle.line1, tle.line2), tle)
    times, sgp4, rows = Time(grid), SGP4(), 0
    for satno, seen in members.items():
        eph = sgp4.propagate_elset(times, ELSET(*seen.values()))
        rows += len(np.asarray(eph.r))
    return rows


def rows(quick: bool, small: bool = False) -> list[Row]:
    if quick:
        # Two clusters take several seconds to start: past the budget of a quick run.
        print(
            "[bench_dask: not in --quick; python benchmarks/bench_dask.py --small runs a reduced set]", file=sys.stderr
        )
        return []
    try:
        import distributed

        import velmar.dask as vd
    except ImportError as exc:
        print(f"[bench_dask skipped: {exc}]", file=sys.stderr)
        return []
    days, satellites = (10, 5000) if small else (30, 20000)
    rounds = 3 if small else 5
    grid = np.datetime64("2002-05-20", "ns") + np.arange(288) * np.timedelta64(300, "s")
    out = []
    with (
        tempfile.TemporaryDirectory() as tmp,
        distributed.LocalCluster(
            n_workers=1, threads_per_worker=1, processes=True, dashboard_address=":0", silence_logs=50
        ) as one,
        distributed.LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0", silence_logs=50
        ) as two,
        distributed.Client(one, set_as_default=False) as c1,
        distributed.Client(two, set_as_default=False) as c2,
    ):
        files = write_archive(pathlib.Path(tmp), days, satellites)
        n_sets = days * satellites
        count = vd.read_archive(files, blocksize=4 << 20).map_partitions(len).sum()

        def read(client):
            return lambda: client.compute(count).result()

        assert read(c2)() == n_sets
        t2, t1, spread, ratio = compare(read(c2), read(c1), repeat=rounds, budget=0.01, paired=True)
        out.append(
            Row(
                "read_archive -> DataFrame, 2 workers vs 1",
                f"{n_sets:,} sets, {days} files",
                t2,
                "the same on 1 worker",
                t1,
                ">= 1.6x",
                None if ratio is None else ratio >= 1.6,
                spread,
                note=f"{n_sets / t2:,.0f} sets/s on 2 workers, {n_sets / t1:,.0f} on 1; median of {rounds} "
                "paired per-round ratios (this machine is shared)",
                paired=ratio,
            )
        )

        job = vd.ephemerides(vd.read_archive(files, blocksize=4 << 20), grid, max_age=None).map_partitions(len).sum()
        propagated = lambda: c2.compute(job).result()  # noqa: E731
        expected = plain_loop(files, grid)
        assert propagated() == expected == satellites * grid.size
        ours, theirs, spread, ratio = compare(
            propagated, lambda: plain_loop(files, grid), repeat=rounds, budget=0.01, paired=True
        )
        out.append(
            Row(
                "ephemerides (SGP4, every satellite, from the files), 2 workers",
                f"{satellites:,} satellites x {grid.size} epochs, {n_sets:,} sets",
                ours,
                "plain loop over load_catalog",
                theirs,
                "",
                None,
                spread,
                note=f"{satellites / ours:,.0f} satellites/s against {satellites / theirs:,.0f} in the "
                f"loop; median of {rounds} paired per-round ratios",
                paired=ratio,
            )
        )
    return out


if __name__ == "__main__":
    from benchmarks.run import table

    print(table(rows(False, small="--small" in sys.argv)))
