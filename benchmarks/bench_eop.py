"""EOP speed.

    PYTHONPATH=src python benchmarks/bench_eop.py [--quick] [--runs N]

1. A fresh process: first access of all nine quantities for 1,000 epochs (the
   bulletins parsed, every interpolator fitted) against astropy's
   IERS_A.open() plus ut1_utc, pm_xy and dcip_xy on the same epochs. Imports
   are outside the timing on both sides; the processes of the two alternate.
   Target: under 80 ms and at least 4 times faster.
2. BulletinA(): the first one in a fresh process (under 40 ms), and later
   ones (under 5 µs); later BulletinC() for information.
3. Later accesses for 1,000,000 epochs (--quick: 50,000): each quantity
   against the bare scipy evaluation of the interpolator behind it (target:
   within 1.2 times its time).
astropy is optional (pip install astropy): without it the first row has no peer.
"""

from __future__ import annotations

import os
import pathlib
import statistics
import subprocess
import sys

if __package__ in (None, ""):
    sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent))

import numpy as np  # noqa: E402

from benchmarks.harness import Row, compare  # noqa: E402

EPOCHS = "numpy.random.default_rng(0).uniform(41700.0, 60600.0, 1000)"
QUANTITIES = ("pm_x", "pm_y", "dut", "lod", "dX", "dY", "dat", "TAI_UT1", "TT_UT1")

VELMAR_FIRST = f"""
import time, numpy
from velmar.iers.eop import EOP
t = {EPOCHS}
start = time.perf_counter()
e = EOP(t)
for name in {QUANTITIES!r}:
    getattr(e, name)
print(time.perf_counter() - start)
"""

ASTROPY_FIRST = f"""
import time, numpy
from astropy.utils import iers
t = {EPOCHS}
start = time.perf_counter()
table = iers.IERS_A.open()
table.ut1_utc(2400000.5, t)
table.pm_xy(2400000.5, t)
table.dcip_xy(2400000.5, t)
print(time.perf_counter() - start)
"""

BULLETIN_FIRST = """
import time
from velmar.iers.bulletins import BulletinA
start = time.perf_counter()
BulletinA()
print(time.perf_counter() - start)
"""


def fresh_process(code: str) -> float:
    """Seconds the code prints as its last line, run in a new interpreter."""
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=dict(os.environ))
    if out.returncode != 0:
        lines = out.stderr.strip().splitlines()
        raise RuntimeError(lines[-1] if lines else f"exit status {out.returncode}")
    return float(out.stdout.strip().splitlines()[-1])


def fresh_processes(codes: list[str], runs: int, warm_up: bool) -> list[list[float] | None]:
    """`runs` timings of each code, the codes taking turns; None for a code that fails.

    With `warm_up`, one run of each first, not counted, pays for cold files and
    byte-code. (The caller has imported the same modules already, which does most
    of that too.)
    """
    times: list[list[float] | None] = [[] for _ in codes]
    for run in range(runs + warm_up):
        for k, code in enumerate(codes):
            if times[k] is None:
                continue
            try:
                seconds = fresh_process(code)
            except RuntimeError as error:
                print(f"[bench_eop: a fresh process failed: {error}]", file=sys.stderr)
                times[k] = None
                continue
            if run >= warm_up:
                times[k].append(seconds)
    return times


def spread_of(times: list[float]) -> float:
    med = statistics.median(times)
    return (max(times) - min(times)) / med if med else 0.0


def rows(quick: bool = False, runs: int | None = None) -> list[Row]:
    from velmar.iers.bulletins import BulletinA, BulletinC
    from velmar.iers.eop import EOP

    # A fresh process costs about a second (scipy's import; astropy's), so the
    # quick run takes two of each and no warm-up.
    runs = runs or (2 if quick else 9)
    repeat = 3 if quick else 7
    budget = 0.02 if quick else 0.05
    n = 50_000 if quick else 1_000_000
    out: list[Row] = []

    # 1 and 2. Fresh processes.
    try:
        import astropy.utils.iers  # noqa: F401

        astropy_code = ASTROPY_FIRST
    except ImportError:
        astropy_code = None
    codes = [VELMAR_FIRST, BULLETIN_FIRST] + ([astropy_code] if astropy_code else [])
    timings = fresh_processes(codes, runs, warm_up=not quick)
    velmar_first, bulletin_first = timings[0], timings[1]
    astropy_first = timings[2] if astropy_code else None
    if velmar_first is None or bulletin_first is None:
        raise RuntimeError("velmar's fresh-process benchmark failed (see above)")

    ours = statistics.median(velmar_first)
    operation = "EOP first access, all nine quantities (fresh process)"
    size = "1,000 epochs"
    peer_name = "astropy IERS_A.open() + ut1_utc, pm_xy, dcip_xy"
    if astropy_first is not None:
        peer = statistics.median(astropy_first)
        out.append(
            Row(
                operation,
                size,
                ours,
                peer_name,
                peer,
                "< 80 ms, >= 4x",
                ours < 0.08 and peer / ours >= 4,
                spread_of(velmar_first),
                f"median of {runs} processes each",
            )
        )
    else:
        reason = "astropy is not installed (pip install astropy)" if astropy_code is None else "astropy's run failed"
        out.append(
            Row(
                operation,
                size,
                ours,
                "",
                None,
                "< 80 ms, >= 4x",
                False if ours >= 0.08 else None,
                spread_of(velmar_first),
                f"{reason}: no peer measured, the 4x half of the target not judged",
            )
        )

    ours = statistics.median(bulletin_first)
    out.append(
        Row(
            "BulletinA() first (fresh process, parses the file)",
            f"{BulletinA().mjd_utc.size:,} rows",
            ours,
            target="< 40 ms",
            met=ours < 0.04,
            spread=spread_of(bulletin_first),
            note=f"median of {runs} processes",
        )
    )

    ours, _, spread = compare(BulletinA, None, repeat, budget)
    out.append(Row("BulletinA() later", "shared table", ours, target="< 5 µs", met=ours < 5e-6, spread=spread))
    ours, _, spread = compare(BulletinC, None, repeat, budget)
    out.append(Row("BulletinC() later", "shared table", ours, spread=spread, note="for information: no target"))

    # 3. Later accesses, against the interpolators the quantities evaluate.
    t = np.random.default_rng(1).uniform(41700.0, 60600.0, n)
    e = EOP(t)
    for name in QUANTITIES:
        getattr(e, name)
    EOP.get_TT_UT1_from_mjd_ut1(t)
    bare = {
        "pm_x": ("CubicSpline", lambda: EOP._pm_x_spline(t)),
        "pm_y": ("CubicSpline", lambda: EOP._pm_y_spline(t)),
        "dut": ("interp1d dat - TAI_UT1", lambda: EOP._dat_interpolator(t) - EOP._TAI_UT1_interpolator(t)),
        "lod": ("CubicSpline", lambda: EOP._lod_spline(t)),
        "dX": ("CubicSpline", lambda: EOP._dX_spline(t)),
        "dY": ("CubicSpline", lambda: EOP._dY_spline(t)),
        "dat": ("interp1d", lambda: EOP._dat_interpolator(t)),
        "TAI_UT1": ("interp1d", lambda: EOP._TAI_UT1_interpolator(t)),
        "TT_UT1": ("interp1d + 32.184", lambda: 32.184 + EOP._TAI_UT1_interpolator(t)),
    }
    for name, (what, scipy_call) in bare.items():
        ours, peer, spread = compare(lambda: getattr(e, name), scipy_call, repeat, budget)
        out.append(
            Row(
                f"EOP.{name}", f"{n:,} epochs", ours, f"scipy {what}", peer, "<= 1.2x scipy", ours <= 1.2 * peer, spread
            )
        )
    ours, peer, spread = compare(
        lambda: EOP.get_TT_UT1_from_mjd_ut1(t), lambda: EOP._TAI_UT1_mjd_ut1_interpolator(t) + 32.184, repeat, budget
    )
    out.append(
        Row(
            "EOP.get_TT_UT1_from_mjd_ut1",
            f"{n:,} epochs",
            ours,
            "scipy interp1d + 32.184",
            peer,
            "<= 1.2x scipy",
            ours <= 1.2 * peer,
            spread,
        )
    )
    return out


def main() -> None:
    import argparse

    from benchmarks.run import table

    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer processes and epochs")
    parser.add_argument("--runs", type=int, help="fresh processes per figure (default 9; --quick: 2)")
    args = parser.parse_args()
    print(table(rows(args.quick, args.runs)))


if __name__ == "__main__":
    main()
