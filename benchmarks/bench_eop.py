"""EOP speed.

1. A fresh process: first access of all nine quantities for 1,000 epochs (the
   bulletins parsed, every interpolator fitted) against astropy's
   IERS_A.open() plus ut1_utc, pm_xy and dcip_xy on the same epochs. Imports
   are outside the timing on both sides.
2. Later accesses for 1,000,000 epochs: each quantity against the bare scipy
   evaluation of the interpolator behind it.
3. BulletinA(): the first one in a fresh process, and later ones.

    PYTHONPATH=src python benchmarks/bench_eop.py [--runs N]
"""

import argparse
import os
import statistics
import subprocess
import sys
import timeit

import numpy as np

EPOCHS = "numpy.random.default_rng(0).uniform(41700.0, 60600.0, 1000)"

VELMAR_FIRST = f"""
import time, numpy
from velmar.iers.eop import EOP
t = {EPOCHS}
start = time.perf_counter()
e = EOP(t)
for name in ("pm_x", "pm_y", "dut", "lod", "dX", "dY", "dat", "TAI_UT1", "TT_UT1"):
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


def fresh_process(code, runs):
    env = dict(os.environ)
    times = []
    for _ in range(runs):
        out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env)
        if out.returncode != 0:
            raise RuntimeError(out.stderr.strip().splitlines()[-1])
        times.append(float(out.stdout.strip().splitlines()[-1]))
    return statistics.median(times)


def median_time(function, repeat):
    function()
    return statistics.median(timeit.repeat(function, number=1, repeat=repeat))


def compare(ours, peer, repeat):
    """Medians of both, measured in alternation so that a busy moment of the
    machine weighs on both sides alike."""
    ours(), peer()
    times = [], []
    for _ in range(repeat):
        for side, function in enumerate((ours, peer)):
            times[side].append(timeit.timeit(function, number=1))
    return statistics.median(times[0]), statistics.median(times[1])


def row(label, ours, peer, peer_name, speedup):
    # speedup: peer / velmar (how many times faster velmar is);
    # otherwise velmar / peer (the overhead over the peer).
    ratio, text = (peer / ours, f"{peer_name}/velmar") if speedup else (ours / peer, f"velmar/{peer_name}")
    print(f"{label:<28} velmar {ours * 1e3:9.3f} ms   {peer_name} {peer * 1e3:9.3f} ms   "
          f"{text} {ratio:5.2f}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=9, help="fresh processes / repeats per figure")
    args = parser.parse_args()

    print("First access in a fresh process, 1,000 epochs (median of "
          f"{args.runs} processes)")
    ours = fresh_process(VELMAR_FIRST, args.runs)
    try:
        peer = fresh_process(ASTROPY_FIRST, args.runs)
    except RuntimeError as error:
        print(f"  all nine quantities: velmar {ours * 1e3:.1f} ms; astropy not measured ({error})")
    else:
        row("  all nine quantities", ours, peer, "astropy", True)
    bulletin = fresh_process(BULLETIN_FIRST, args.runs)
    print(f"  {'first BulletinA() (parse)':<26} velmar {bulletin * 1e3:9.3f} ms")

    from velmar.iers.bulletins import BulletinA, BulletinC
    from velmar.iers.eop import EOP

    for bulletin in (BulletinA, BulletinC):
        later = median_time(bulletin, 2001)
        print(f"  {f'later {bulletin.__name__}()':<26} velmar {later * 1e6:9.3f} us")

    t = np.random.default_rng(1).uniform(41700.0, 60600.0, 1_000_000)
    e = EOP(t)
    for name in ("pm_x", "pm_y", "dut", "lod", "dX", "dY", "dat", "TAI_UT1", "TT_UT1"):
        getattr(e, name)
    EOP.get_TT_UT1_from_mjd_ut1(t)

    print(f"\nLater accesses, 1,000,000 epochs (median of {args.runs} repeats); "
          "velmar/scipy of 1.00 means no overhead")
    bare = {
        "pm_x": lambda: EOP._pm_x_spline(t),
        "pm_y": lambda: EOP._pm_y_spline(t),
        "dut": lambda: EOP._dat_interpolator(t) - EOP._TAI_UT1_interpolator(t),
        "lod": lambda: EOP._lod_spline(t),
        "dX": lambda: EOP._dX_spline(t),
        "dY": lambda: EOP._dY_spline(t),
        "dat": lambda: EOP._dat_interpolator(t),
        "TAI_UT1": lambda: EOP._TAI_UT1_interpolator(t),
        "TT_UT1": lambda: 32.184 + EOP._TAI_UT1_interpolator(t),
    }
    for name, scipy_call in bare.items():
        ours, peer = compare(lambda: getattr(e, name), scipy_call, args.runs)
        row(f"  {name}", ours, peer, "scipy", False)
    ours, peer = compare(lambda: EOP.get_TT_UT1_from_mjd_ut1(t),
                         lambda: EOP._TAI_UT1_mjd_ut1_interpolator(t) + 32.184, args.runs)
    row("  get_TT_UT1_from_mjd_ut1", ours, peer, "scipy", False)


if __name__ == "__main__":
    main()
