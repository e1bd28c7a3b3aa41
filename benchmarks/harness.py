"""Timing done one way for every benchmark of velmar.

`compare` times velmar's operation and its peer's alternately (so that the
drift of a shared machine hits both), after a warm-up, with the garbage
collector disabled inside each timed loop (`collector=True` leaves it as a
program runs, for the rows that build many objects, where the two differ),
and reports medians and spreads.
With `paired=True` it also returns the median of the per-round ratios (peer
time over ours within one round), which a burst of load on a shared machine
moves far less than the ratio of the two medians; a Row given it as `paired`
shows that ratio.
Each `bench_*.py` module exposes `rows(quick: bool) -> list[Row]`.
"""

from __future__ import annotations

import gc
import statistics
import time
import tracemalloc
from dataclasses import dataclass, field
from typing import Callable


@dataclass
class Row:
    operation: str
    size: str
    ours_s: float  # median seconds per call
    peer: str = ""
    peer_s: float | None = None
    target: str = ""
    met: bool | None = None
    spread: float = 0.0  # (max - min) / median of ours, over the repeats
    note: str = ""
    extra: dict = field(default_factory=dict)
    paired: float | None = None  # median of per-round ratios, when measured so

    @property
    def ratio(self) -> float | None:
        """How many times faster velmar is than the peer (> 1 is faster)."""
        if self.paired is not None:
            return self.paired
        return None if self.peer_s is None or self.ours_s == 0 else self.peer_s / self.ours_s


def _loop_time(fn: Callable[[], object], number: int, collector: bool = False) -> float:
    enabled = gc.isenabled()
    if collector:
        gc.enable()
    else:
        gc.disable()
    try:
        t0 = time.perf_counter_ns()
        for _ in range(number):
            fn()
        return (time.perf_counter_ns() - t0) / 1e9 / number
    finally:
        if enabled:
            gc.enable()
        else:
            gc.disable()


def _calibrate(fn: Callable[[], object], budget: float, collector: bool = False) -> int:
    """Calls per repeat so that one repeat lasts about `budget` seconds."""
    number = 1
    while True:
        t = _loop_time(fn, number, collector) * number
        if t >= budget / 4 or number >= 1 << 24:
            return max(1, int(number * budget / max(t, 1e-9)))
        number *= 4


def timeit(fn: Callable[[], object], repeat: int = 7, budget: float = 0.05) -> tuple[float, float]:
    """Median seconds per call and relative spread."""
    fn()  # warm-up
    number = _calibrate(fn, budget)
    times = [_loop_time(fn, number) for _ in range(repeat)]
    med = statistics.median(times)
    return med, (max(times) - min(times)) / med if med else 0.0


def compare(
    ours: Callable[[], object],
    peer: Callable[[], object] | None,
    repeat: int = 7,
    budget: float = 0.05,
    paired: bool = False,
    collector: bool = False,
):
    """Median seconds per call of ours and of the peer, timed alternately; and ours' spread.

    With `paired`, a fourth value: the median over the rounds of the peer's
    time divided by ours in the same round (None without a peer). With
    `collector`, the garbage collector runs during the timed loops."""
    ours()
    if peer is not None:
        peer()
    n_ours = _calibrate(ours, budget, collector)
    n_peer = _calibrate(peer, budget, collector) if peer is not None else 0
    a, b = [], []
    for _ in range(repeat):
        a.append(_loop_time(ours, n_ours, collector))
        if peer is not None:
            b.append(_loop_time(peer, n_peer, collector))
    med = statistics.median(a)
    result = med, (statistics.median(b) if b else None), (max(a) - min(a)) / med if med else 0.0
    if not paired:
        return result
    return (*result, statistics.median(y / x for x, y in zip(a, b)) if b else None)


def with_collector(
    row: Row,
    ours: Callable[[], object],
    peer: Callable[[], object] | None,
    repeat: int = 5,
    budget: float = 0.05,
    per: float = 1.0,
    met: Callable[[float, float | None], bool | None] | None = None,
) -> Row:
    """`row` timed again with the garbage collector running, as in a program.

    For the rows that build many Python objects, where the collector's passes
    change the figures. Each round times every side with the collector off
    and then on, back to back, so the change in the note (the median of the
    per-round ratios) is not the machine's drift between two measurements.
    `per` divides the times as it did for `row`; `met(ours, peer)` judges the
    row's target on the new figures."""
    sides = [ours] if peer is None else [ours, peer]
    for fn in sides:
        fn()
    numbers = [_calibrate(fn, budget) for fn in sides]
    off: list[list[float]] = [[] for _ in sides]
    on: list[list[float]] = [[] for _ in sides]
    for r in range(repeat):
        for k, (fn, number) in enumerate(zip(sides, numbers)):
            # Which goes first alternates: the first loop after another
            # function's may pay for the memory that one left behind.
            for collector in (False, True) if r % 2 == 0 else (True, False):
                (on if collector else off)[k].append(_loop_time(fn, number, collector))
    medians = [statistics.median(times) / per for times in on]
    changes = [statistics.median(b / a for a, b in zip(x, y)) - 1 for x, y in zip(off, on)]
    o, p = medians[0], (medians[1] if peer is not None else None)
    note = f"velmar {changes[0]:+.0%}" + (f", peer {changes[1]:+.0%}" if peer is not None else "")
    spread = (max(on[0]) - min(on[0])) / statistics.median(on[0])
    return Row(
        f"{row.operation} (garbage collector on)",
        row.size,
        o,
        row.peer,
        p,
        row.target,
        met(o, p) if met else None,
        spread,
        f"{note} against the collector off (median of {repeat} rounds timing both back to back, in turn first)",
    )


def peak_memory(fn: Callable[[], object]) -> int:
    """Peak bytes allocated through Python's allocators while fn runs (tracemalloc)."""
    gc.collect()
    tracemalloc.start()
    try:
        tracemalloc.reset_peak()
        result = fn()
        _, peak = tracemalloc.get_traced_memory()
        del result
        return peak
    finally:
        tracemalloc.stop()


def fmt_seconds(s: float | None) -> str:
    if s is None:
        return "-"
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("µs", 1e-6), ("ns", 1e-9)):
        if s >= scale:
            return f"{s / scale:.3g} {unit}"
    return f"{s / 1e-9:.3g} ns"
