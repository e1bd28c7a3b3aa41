"""Time against astropy.time.Time and numpy datetime64, measured in one run.

    PYTHONPATH=src python benchmarks/bench_time.py [--quick]

Rows (velmar's median, the peer's median from the same run, the ratio):
- a scalar Time from a 4-digit year, reading jd, and Time(jd, format='jd'),
  against astropy.time.Time doing the same (targets: under 150 ns each);
- a scalar Time from ISO text against numpy.datetime64 of the same text, and
  the exact-jd arithmetic of TLE epochs against the same sum on floats;
- 1e6 datetime64[ns] values to a Time against numpy's (epochs - origin) / 1 s
  (target: under 20 ms), and 1e5 of them against astropy;
- differences, Julian dates and ISO text of 1e6 epochs;
- the Julian dates of 1e6 epochs, twice: by two threads at once against one
  thread doing both, so the ratio is the throughput two threads get over one
  (the conversion runs without the interpreter lock). Paired rounds: the
  other programs on a shared machine take cores away unevenly.
The scalar figures are taken the way timeit takes them (the statement repeated
in a plain loop), so that the cost of calling a Python function is not in them.
astropy is optional (pip install astropy): without it those rows have no peer.
"""

from __future__ import annotations

import os
import pathlib
import sys
from concurrent.futures import ThreadPoolExecutor

if __package__ in (None, ""):
    sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent))

import numpy as np  # noqa: E402

from benchmarks.harness import Row, compare  # noqa: E402

NO_ASTROPY = "astropy is not installed (pip install astropy): no peer measured"


def repeated(statement: str, namespace: dict, times: int):
    """A function running `statement` `times` times in a plain loop, as timeit does."""
    scope = dict(namespace)
    exec(f"def run():\n    for _ in range({times}):\n        {statement}\n", scope)
    return scope["run"]


def rows(quick: bool = False) -> list[Row]:
    from velmar.time.time import Time

    try:
        from astropy.time import Time as AstropyTime
    except ImportError:
        AstropyTime = None

    repeat = 3 if quick else 7
    budget = 0.02 if quick else 0.05
    n = 1_000_000
    n_astropy = 10_000 if quick else 100_000
    n_iso = 100_000 if quick else 1_000_000
    epochs = np.datetime64("1990-01-01T00:00:00", "ns") + np.arange(n, dtype=np.int64) * np.timedelta64(
        997_001_003, "ns"
    )
    jd = Time("2008").jd
    ns = {
        "Time": Time,
        "np": np,
        "jd": jd,
        "jd_float": float(jd),
        "epochs": epochs,
        "t": Time("2008"),
        "e": Time("2008-09-20T12:25:40.104192"),
        "many": Time(epochs),
        "few": epochs[:n_astropy],
        "some": Time(epochs[:n_iso]),
        "some_epochs": epochs[:n_iso],
        "origin": np.datetime64("2000-01-01T12:00:00", "ns"),
    }
    if AstropyTime is not None:
        ns.update(AstropyTime=AstropyTime, at=AstropyTime("2008-01-01T00:00:00", scale="utc"), at_jd=float(jd))

    out: list[Row] = []

    def scalar(operation, statement, peer_name, peer_statement, target=None, note="", astropy=False):
        """A row for a scalar operation; per call, from loops of many calls."""
        ours_n, peer_n = 1000, (20 if astropy else 1000)
        has_peer = peer_statement is not None and (AstropyTime is not None or not astropy)
        ours, peer, spread = compare(
            repeated(statement, ns, ours_n), repeated(peer_statement, ns, peer_n) if has_peer else None, repeat, budget
        )
        ours /= ours_n
        peer = peer / peer_n if peer is not None else None
        if astropy and AstropyTime is None:
            peer_name, note = "", NO_ASTROPY
        out.append(
            Row(
                operation,
                "scalar",
                ours,
                peer_name,
                peer,
                f"< {target * 1e9:.0f} ns" if target else "",
                ours < target if target else None,
                spread,
                note,
            )
        )

    def array(operation, size, statement, peer_name, peer_statement, target=None, note="", astropy=False):
        has_peer = peer_statement is not None and (AstropyTime is not None or not astropy)
        ours, peer, spread = compare(
            repeated(statement, ns, 1), repeated(peer_statement, ns, 1) if has_peer else None, repeat, budget
        )
        if astropy and AstropyTime is None:
            peer_name, note = "", NO_ASTROPY
        out.append(
            Row(
                operation,
                f"{size:,} epochs",
                ours,
                peer_name,
                peer,
                f"< {target * 1e3:.0f} ms" if target else "",
                ours < target if target else None,
                spread,
                note,
            )
        )

    scalar(
        "Time('2008')", "Time('2008')", "astropy Time('2008-01-01')", "AstropyTime('2008-01-01')", 150e-9, astropy=True
    )
    scalar(
        "Time('2008-09-20T12:25:40.104192')",
        "Time('2008-09-20T12:25:40.104192')",
        "numpy datetime64(text)",
        "np.datetime64('2008-09-20T12:25:40.104192')",
    )
    scalar("t.jd", "t.jd", "astropy t.jd", "at.jd", 150e-9, astropy=True)
    scalar(
        "Time(jd, format='jd')",
        "Time(jd, format='jd')",
        "astropy Time(jd, format='jd')",
        "AstropyTime(at_jd, format='jd')",
        150e-9,
        astropy=True,
    )
    scalar(
        "jd - 1.0 + 264.51782528",
        "jd - 1.0 + 264.51782528",
        "the same on floats",
        "jd_float - 1.0 + 264.51782528",
        note="velmar keeps the two-part jd exact through the sum",
    )
    scalar("t - e", "t - e", "", None)

    numpy_seconds = "(epochs - origin) / np.timedelta64(1, 's')"
    array("Time(datetime64[ns])", n, "Time(epochs)", "numpy (epochs - origin) / 1 s", numpy_seconds, 20e-3)
    array("Time(datetime64[ns])", n_astropy, "Time(few)", "astropy Time(datetime64)", "AstropyTime(few)", astropy=True)
    array(
        "many - e",
        n,
        "many - e",
        "numpy (epochs - origin) / 1 s",
        numpy_seconds,
        note="velmar counts the leap seconds between the epochs; the numpy figure does not",
    )
    array("many.jd (UTC)", n, "many.jd", "", None)
    array("many.iso (UTC)", n_iso, "some.iso", "numpy datetime_as_string", "np.datetime_as_string(some_epochs)")

    many = ns["many"]
    # Both sides run in worker threads, so both allocate from the C library's
    # per-thread arenas (the main thread's arena hands pages back and faults
    # them in again, which would flatter the threads).
    with ThreadPoolExecutor(2) as pool, ThreadPoolExecutor(1) as alone:
        rounds = 5 if quick else 15
        ours, peer, spread, paired = compare(
            lambda: list(pool.map(lambda _: many.jd, range(2))),
            lambda: alone.submit(lambda: (many.jd, many.jd)).result(),
            rounds,
            budget,
            paired=True,
        )
    out.append(
        Row(
            "many.jd (UTC), two threads at once",
            f"2 x {n:,} epochs",
            ours,
            "one thread doing both",
            peer,
            ">= 1.7x",
            paired >= 1.7,
            spread,
            f"throughput of two threads over one: median of {rounds} paired rounds; two threads gain only "
            f"from a free core (load average {os.getloadavg()[0]:.1f} on {os.cpu_count()} cores)",
            paired=paired,
        )
    )
    return out


def main() -> None:
    from benchmarks.run import table

    print(table(rows("--quick" in sys.argv)))


if __name__ == "__main__":
    main()
