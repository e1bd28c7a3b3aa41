"""Time against astropy.time.Time and numpy datetime64, measured in one run.

    PYTHONPATH=src python benchmarks/bench_time.py

Prints, per operation, velmar's median time, the peer's median and the ratio
(peer / velmar: above 1 means velmar is faster). Targets: a scalar Time from
a 4-digit year, reading jd, and Time(jd, format='jd') under 150 ns each;
1e6 datetime64 values under 20 ms.
"""

import statistics
import timeit

import numpy as np

from velmar.time.time import Time

try:
    from astropy.time import Time as AstropyTime
except ImportError:  # the peer is optional: pip install astropy
    AstropyTime = None


def median_seconds(statement, namespace, repeat=7, budget=0.2):
    timer = timeit.Timer(statement, globals=namespace)
    number, elapsed = timer.autorange()
    number = max(1, int(number * budget / max(elapsed, 1e-9)))
    return statistics.median(t / number for t in timer.repeat(repeat, number))


def show(name, ours, peer_name, peer, target=None):
    def text(seconds):
        if seconds is None:
            return "-"
        return f"{seconds * 1e9:,.0f} ns" if seconds < 1e-4 else f"{seconds * 1e3:,.2f} ms"

    ratio = f"{peer / ours:8.1f}x" if peer else "       -"
    verdict = ""
    if target is not None:
        verdict = "  target %s %s" % (text(target), "met" if ours < target else "MISSED")
    print(f"{name:<38} {text(ours):>12}   {peer_name:<24} {text(peer):>12}  {ratio}{verdict}")


def main():
    epochs = (np.datetime64("1990-01-01T00:00:00", "ns")
              + np.arange(1_000_000, dtype=np.int64) * np.timedelta64(997_001_003, "ns"))
    jd = Time("2008").jd
    ns = {"Time": Time, "np": np, "jd": jd, "jd_float": float(jd), "epochs": epochs,
          "t": Time("2008"), "e": Time("2008-09-20T12:25:40.104192"), "many": Time(epochs),
          "origin": np.datetime64("2000-01-01T12:00:00", "ns")}
    if AstropyTime is not None:
        ns.update(AstropyTime=AstropyTime, at=AstropyTime("2008-01-01T00:00:00", scale="utc"),
                  at_jd=float(jd), at_epochs=epochs[:100_000])
    peer = AstropyTime is not None

    print(f"{'operation':<38} {'velmar':>12}   {'peer':<24} {'peer time':>12}     ratio")
    show("Time('2008')", median_seconds("Time('2008')", ns),
         "astropy Time('2008-01-01')", peer and median_seconds("AstropyTime('2008-01-01')", ns, repeat=3),
         target=150e-9)
    show("Time('2008-09-20T12:25:40.104192')", median_seconds("Time('2008-09-20T12:25:40.104192')", ns),
         "numpy datetime64(text)", median_seconds("np.datetime64('2008-09-20T12:25:40.104192')", ns))
    show("t.jd", median_seconds("t.jd", ns), "astropy t.jd", peer and median_seconds("at.jd", ns, repeat=3),
         target=150e-9)
    show("Time(jd, format='jd')", median_seconds("Time(jd, format='jd')", ns),
         "astropy Time(jd, 'jd')", peer and median_seconds("AstropyTime(at_jd, format='jd')", ns, repeat=3),
         target=150e-9)
    show("jd - 1.0 + 264.51782528", median_seconds("jd - 1.0 + 264.51782528", ns),
         "float arithmetic", median_seconds("jd_float - 1.0 + 264.51782528", ns))
    show("t - e", median_seconds("t - e", ns), "", None)
    show("Time(1e6 datetime64[ns])", median_seconds("Time(epochs)", ns, repeat=5),
         "numpy (epochs - origin) / 1 s", median_seconds("(epochs - origin) / np.timedelta64(1, 's')", ns),
         target=20e-3)
    if peer:
        ours = median_seconds("Time(epochs[:100_000])", ns)
        show("Time(1e5 datetime64[ns])", ours, "astropy Time(1e5 dt64)",
             median_seconds("AstropyTime(at_epochs)", ns, repeat=3))
    show("many - e (1e6 epochs)", median_seconds("many - e", ns, repeat=5),
         "numpy (epochs - origin) / 1 s", median_seconds("(epochs - origin) / np.timedelta64(1, 's')", ns))
    show("many.jd (1e6, UTC)", median_seconds("many.jd", ns, repeat=5), "", None)
    show("many.iso (1e6, UTC)", median_seconds("many.iso", ns, repeat=3),
         "numpy datetime_as_string", median_seconds("np.datetime_as_string(epochs)", ns, repeat=3))


if __name__ == "__main__":
    main()
