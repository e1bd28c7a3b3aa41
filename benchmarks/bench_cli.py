"""The `velmar propagate` command writing a long SGP4 ephemeris as CSV.

    PYTHONPATH=src python benchmarks/bench_cli.py [--quick]

Both sides run as a fresh process whose output goes to /dev/null, so the
figures include the interpreter's start and the imports, and each process's
peak resident memory is read from the kernel (wait4). Rows:
- the wall time of `velmar propagate FILE --step 1 --csv` over 1,000,000
  epochs (--quick: 100,000), against a script a user would write with sgp4:
  Satrec.sgp4_array over the same epochs and numpy.savetxt of the six columns
  with the same decimals. velmar also writes the epoch and the set's age.
- the peak resident memory of the same two runs (in the row's note); the
  command writes as it computes, so its peak does not grow with the epochs.
"""

from __future__ import annotations

import datetime
import json
import os
import pathlib
import statistics
import subprocess
import sys
import tempfile

if __package__ in (None, ""):
    sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent))

from benchmarks.harness import Row  # noqa: E402

ISS = (
    "1 25544U 98067A   08264.51782528 -.00002182  00000-0 -11606-4 0  2927",
    "2 25544  51.6416 247.4627 0006703 130.5360 325.0288 15.72125391563537",
)
START = "2008-09-20T12:00:00"
MIB = 2.0**20

PEER_SCRIPT = """
import sys
import numpy as np
from sgp4.api import WGS72, Satrec, jday

n = int(sys.argv[1])
sat = Satrec.twoline2rv(sys.argv[2], sys.argv[3], WGS72)
jd0, fr0 = jday(2008, 9, 20, 12, 0, 0)
fr = fr0 + np.arange(n) / 86400.0
e, r, v = sat.sgp4_array(np.full(n, jd0), fr)
out = sys.stdout.buffer
out.write(b"x km,y km,z km,vx km/s,vy km/s,vz km/s\\n")
np.savetxt(out, np.hstack([r, v]), fmt=["%.3f"] * 3 + ["%.6f"] * 3, delimiter=",")
"""


# Starts the process to measure and reports its wall time, exit status and
# peak resident size (wait4) into the file named first. The kernel starts a
# process's ru_maxrss at its parent's peak, so the benchmark, whose own peak
# is large after the other rows, does not start it itself: this launcher's is
# a few megabytes.
LAUNCHER = """
import json, os, sys, time
t0 = time.perf_counter()
pid = os.posix_spawn(sys.argv[2], sys.argv[2:], os.environ)
_, status, usage = os.wait4(pid, 0)
elapsed = time.perf_counter() - t0
with open(sys.argv[1], "w") as out:
    json.dump([elapsed, os.waitstatus_to_exitcode(status), usage.ru_maxrss * 1024], out)  # kilobytes on Linux
"""


def run(argv: list[str]) -> tuple[float, int]:
    """Wall seconds and peak resident bytes of one process writing to /dev/null."""
    env = dict(os.environ)
    src = str(pathlib.Path(__file__).resolve().parents[1] / "src")
    env["PYTHONPATH"] = src + os.pathsep + env.get("PYTHONPATH", "")
    with tempfile.TemporaryDirectory() as tmp, open(os.devnull, "wb") as sink:
        report = pathlib.Path(tmp) / "run.json"
        done = subprocess.run(
            [sys.executable, "-c", LAUNCHER, str(report), *argv], stdout=sink, stderr=subprocess.PIPE, env=env
        )
        if done.returncode != 0 or not report.exists():
            raise RuntimeError(f"{argv[:4]}: the launcher failed: {done.stderr.decode()}")
        elapsed, code, peak = json.loads(report.read_text())
    if code != 0:
        raise RuntimeError(f"{argv[:4]} failed: {done.stderr.decode()}")
    return elapsed, peak


def rows(quick: bool) -> list[Row]:
    n = 100_000 if quick else 1_000_000
    repeat = 3
    with tempfile.TemporaryDirectory() as tmp:
        path = pathlib.Path(tmp) / "iss.tle"
        path.write_text("\n".join(ISS) + "\n")
        stop = (datetime.datetime.fromisoformat(START) + datetime.timedelta(seconds=n - 1)).isoformat()
        ours_argv = [
            sys.executable,
            "-m",
            "velmar",
            "propagate",
            str(path),
            "--start",
            START,
            "--stop",
            stop,
            "--step",
            "1",
            "--csv",
        ]
        peer_argv = [sys.executable, "-c", PEER_SCRIPT, str(n), *ISS]
        try:
            import sgp4  # noqa: F401
        except ImportError:
            peer_argv = None
        ours, theirs = [], []
        for _ in range(repeat):
            ours.append(run(ours_argv))
            if peer_argv:
                theirs.append(run(peer_argv))
    t_ours = statistics.median(t for t, _ in ours)
    rss_ours = max(m for _, m in ours)
    t_peer = statistics.median(t for t, _ in theirs) if theirs else None
    rss_peer = max(m for _, m in theirs) if theirs else None
    spread = (max(t for t, _ in ours) - min(t for t, _ in ours)) / t_ours
    memory = f"peak RSS {rss_ours / MIB:.0f} MiB"
    if rss_peer:
        memory += f", the peer's {rss_peer / MIB:.0f} MiB ({rss_peer / rss_ours:.1f}x velmar's)"
    return [
        Row(
            "velmar propagate --csv (a process, to /dev/null)",
            f"{n:,} epochs",
            t_ours,
            "sgp4_array + numpy.savetxt (a process)" if theirs else "",
            t_peer,
            spread=spread,
            note=f"{memory}; velmar also writes the epoch and the set's age",
            extra={"rss_ours": rss_ours, "rss_peer": rss_peer},
        ),
    ]


if __name__ == "__main__":
    from benchmarks.run import table

    print(table(rows("--quick" in sys.argv)))
