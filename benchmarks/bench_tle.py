"""TLE and ELSET against what an sgp4 user would write.

    PYTHONPATH=src python benchmarks/bench_tle.py [--quick]

Rows (velmar's median, the peer's median from the same run, the ratio):
- TLE(line1, line2) over the 250 sets of spot-5.tle, per set, against
  sgp4's Satrec.twoline2rv on the same lines. twoline2rv also initialises its
  SGP4 propagator, so it does more than parse (the row says so); it is the
  call a user makes. The same against a peer that only parses: the fields
  read by column in plain Python, as velmar reads them (no checksum, which
  TLE does not check either), with the epoch as a Julian date.
- TLE(line1, line2) over 100,000 sets (--quick: 10,000), against
  twoline2rv.
Each row that builds thousands of objects (the 100,000 TLEs, the
100,000-member ELSET and the selection) is timed with the garbage collector
off, as every row, and again with it on, as a program runs: the collector's
passes over that many objects change some of these figures by more than 10 %.
- ELSET of the 250 sets and of 100,000 sets (spot-5 repeated with shifted
  epochs, shuffled), against a list of Satrec sorted by epoch plus
  numpy.array([...]) for each of twelve elements.
- Selecting 10 % of the 100,000 by a time range, against a mask on the
  epochs' Julian dates, the selected Satrec and their twelve arrays.
- Reading elset.inc (a view of the stored array; no peer).
The data file is tests/data/spot-5.tle.
"""

from __future__ import annotations

import pathlib
import random
import sys

if __package__ in (None, ""):
    sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent))

import numpy as np

from benchmarks.harness import Row, compare, fmt_seconds, timeit, with_collector

DATA = pathlib.Path(__file__).resolve().parents[1] / "tests" / "data" / "spot-5.tle"
SATREC_ELEMENTS = ("ecco", "a", "inclo", "nodeo", "argpo", "mo", "no_kozai", "altp", "alta", "bstar", "ndot", "nddot")


def spot5_lines() -> list[tuple[str, str]]:
    lines = [line for line in DATA.read_text().splitlines() if line.strip()]
    return list(zip(lines[0::2], lines[1::2]))


def shifted(lines: list[tuple[str, str]], copies: int) -> list[tuple[str, str]]:
    """`copies` copies of the sets, each in its own year (1957-2056) and season."""
    out = []
    for k in range(copies):
        year, season = divmod(k, 4)
        yy = f"{(57 + year) % 100:02d}"
        for l1, l2 in lines:
            day = float(l1[20:32]) + 55 * season
            out.append((l1[:18] + yy + f"{day:012.8f}" + l1[32:], l2))
    return out


def parse_fields(line1: str, line2: str) -> tuple:
    """What a user who only parses writes: every field velmar reads, by column."""
    year = int(line1[18:20])
    day = float(line1[20:32])
    year += 2000 if year < 57 else 1900
    # The Julian date of 0 January of the year, plus the day of the year.
    jd = 367 * year - (7 * year) // 4 + 30 + 1721013.5 + day
    return (
        line1[2:7],
        line1[7],
        line1[9:17],
        jd,
        float(line1[33:43]),
        float(line1[44] + "." + line1[45:50]) * 10.0 ** int(line1[50:52]),
        float(line1[53] + "." + line1[54:59]) * 10.0 ** int(line1[59:61]),
        int(line1[62]),
        int(line1[64:68]),
        float(line2[8:16]),
        float(line2[17:25]),
        float("0." + line2[26:33]),
        float(line2[34:42]),
        float(line2[43:51]),
        float(line2[52:63]),
        int(line2[63:68]),
    )


def satrec_collection(sats):
    ordered = sorted(sats, key=lambda s: s.jdsatepoch + s.jdsatepochF)
    return ordered, [np.array([getattr(s, name) for s in ordered]) for name in SATREC_ELEMENTS]


def rows(quick: bool = False) -> list[Row]:
    from sgp4.api import Satrec

    from velmar.propagators.analytical.sgp4.tle import ELSET, TLE

    if not DATA.exists():
        print(f"[bench_tle: {DATA} not found]", file=sys.stderr)
        return []
    repeat = 3 if quick else 7
    budget = 0.02 if quick else 0.05
    out: list[Row] = []

    # 1. parsing
    lines = spot5_lines()
    ours, peer, spread = compare(
        lambda: [TLE(a, b) for a, b in lines], lambda: [Satrec.twoline2rv(a, b) for a, b in lines], repeat, budget
    )
    n = len(lines)
    size = sys.getsizeof(TLE(*lines[0]))
    out.append(
        Row(
            "TLE(line1, line2)",
            f"per set, {n} sets",
            ours / n,
            "sgp4 Satrec.twoline2rv (parses, then initialises SGP4)",
            peer / n,
            "< 1 µs, >= 2.5x",
            ours / n < 1e-6 and peer / ours >= 2.5,
            spread,
            f"twoline2rv also initialises its propagator; sys.getsizeof(TLE) = {size} bytes (target <= 400)",
        )
    )
    # Both read the same epoch (within the float64 Julian date's rounding).
    assert all(abs(parse_fields(a, b)[3] - TLE(a, b).epoch.jd) < 1e-8 for a, b in lines)
    ours, peer, spread = compare(
        lambda: [TLE(a, b) for a, b in lines], lambda: [parse_fields(a, b) for a, b in lines], repeat, budget
    )
    out.append(
        Row(
            "TLE(line1, line2)",
            f"per set, {n} sets",
            ours / n,
            "plain Python: the fields by column",
            peer / n,
            "",
            None,
            spread,
            "a peer that only parses, as TLE does",
        )
    )

    # The same at 100,000 sets, where the garbage collector weighs.
    copies = 40 if quick else 400
    many_lines = shifted(lines, copies)
    big = len(many_lines)
    build = lambda: [TLE(a, b) for a, b in many_lines]
    build_peer = lambda: [Satrec.twoline2rv(a, b) for a, b in many_lines]
    ours, peer, spread = compare(build, build_peer, 3 if quick else 5, budget)
    out.append(
        Row(
            "TLE(line1, line2)",
            f"per set, {big:,} sets",
            ours / big,
            "sgp4 Satrec.twoline2rv (parses, then initialises SGP4)",
            peer / big,
            "",
            None,
            spread,
        )
    )
    out.append(with_collector(out[-1], build, build_peer, 3 if quick else 6, budget, per=big))

    # 2. collections of 250 and 100,000
    tles = [TLE(a, b) for a, b in lines]
    sats = [Satrec.twoline2rv(a, b) for a, b in lines]
    ours, peer, spread = compare(lambda: ELSET(*tles), lambda: satrec_collection(sats), repeat, budget)
    out.append(
        Row(
            "ELSET(*tles)",
            f"{n} members",
            ours,
            "sorted Satrec + 12 numpy.array",
            peer,
            "< 0.5 ms, >= 3x",
            ours < 5e-4 and peer / ours >= 3,
            spread,
        )
    )

    order = list(range(len(many_lines)))
    random.Random(2002).shuffle(order)
    many = [TLE(*many_lines[i]) for i in order]
    many_sats = [Satrec.twoline2rv(*many_lines[i]) for i in order]
    big = len(many)
    build = lambda: ELSET(*many)
    build_peer = lambda: satrec_collection(many_sats)
    ours, peer, spread = compare(build, build_peer, repeat, budget)
    target = 150e-3 * big / 100_000
    out.append(
        Row(
            "ELSET(*tles)",
            f"{big:,} members, shuffled",
            ours,
            "sorted Satrec + 12 numpy.array",
            peer,
            f"< {fmt_seconds(target)}, >= 3x",
            ours < target and peer / ours >= 3,
            spread,
        )
    )
    out.append(
        with_collector(
            out[-1], build, build_peer, 3 if quick else 6, budget, met=lambda o, p: o < target and p / o >= 3
        )
    )

    # 3. a time range holding 10 % of the members
    elset = ELSET(*many)
    start, stop = elset[int(0.45 * big)].epoch, elset[int(0.55 * big)].epoch
    jd = np.array([s.jdsatepoch + s.jdsatepochF for s in many_sats])
    jd_start, jd_stop = np.sort(jd)[int(0.45 * big)], np.sort(jd)[int(0.55 * big)]
    selected = elset[start:stop].size

    def peer_range():
        mask = (jd >= jd_start) & (jd < jd_stop)
        return satrec_collection([s for s, keep in zip(many_sats, mask) if keep])

    ours, peer, spread = compare(lambda: elset[start:stop], peer_range, repeat, budget)
    target = 30e-3 * big / 100_000
    out.append(
        Row(
            "elset[start:stop]",
            f"{selected:,} of {big:,}",
            ours,
            "jd mask + Satrec + 12 numpy.array",
            peer,
            f"< {fmt_seconds(target)}",
            ours < target,
            spread,
        )
    )
    out.append(
        with_collector(
            out[-1], lambda: elset[start:stop], peer_range, 3 if quick else 6, budget, met=lambda o, p: o < target
        )
    )

    # 4. an element array
    ours, spread = timeit(lambda: elset.inc, repeat, budget)
    out.append(Row("elset.inc", "view", ours, target="< 1 µs", met=ours < 1e-6, spread=spread))
    return out


def main() -> None:
    from benchmarks.run import table

    print(table(rows("--quick" in sys.argv)))


if __name__ == "__main__":
    main()
