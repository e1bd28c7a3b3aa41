"""Reading a 100,000-set catalogue file into one ELSET per satellite.

Peer: what a user would write with sgp4: read the pairs, Satrec.twoline2rv
each, group by satellite number. (twoline2rv also initialises SGP4, which
velmar does not do while reading.)
"""

from __future__ import annotations

import pathlib
import sys
import tempfile

if __package__ in (None, ""):
    sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent))

from benchmarks.harness import Row, compare  # noqa: E402
from velmar.io import checksum, load_catalog  # noqa: E402

SPOT5 = pathlib.Path(__file__).resolve().parents[2] / "shared" / "data" / "spot-5.tle"
ISS = (
    "1 25544U 98067A   08264.51782528 -.00002182  00000-0 -11606-4 0  2927",
    "2 25544  51.6416 247.4627 0006703 130.5360 325.0288 15.72125391563537",
)


def base_pairs() -> list[tuple[str, str]]:
    if SPOT5.exists():
        lines = [line for line in SPOT5.read_text().splitlines() if line.strip()]
        return list(zip(lines[0::2], lines[1::2]))
    return [ISS]


def with_satno(line: str, satno: int) -> str:
    line = f"{line[:2]}{satno:05d}{line[7:68]}"
    return line + str(checksum(line))


def catalog_text(n_sets: int) -> str:
    """n_sets element sets: the base history given to as many satellites as needed, three-line form."""
    pairs = base_pairs()
    out = []
    for k in range(n_sets):
        line1, line2 = pairs[k % len(pairs)]
        satno = 10000 + k // len(pairs)
        out += [f"SAT {satno}", with_satno(line1, satno), with_satno(line2, satno)]
    return "\n".join(out) + "\n"


def sgp4_catalog(path):
    from sgp4.api import Satrec

    groups: dict[int, list] = {}
    lines = [line.rstrip() for line in open(path)]
    for k in range(0, len(lines) - 2, 3):
        sat = Satrec.twoline2rv(lines[k + 1], lines[k + 2])
        groups.setdefault(sat.satnum, []).append(sat)
    for sats in groups.values():
        sats.sort(key=lambda s: s.jdsatepoch + s.jdsatepochF)
    return groups


def rows(quick: bool) -> list[Row]:
    n = 20_000 if quick else 100_000
    with tempfile.TemporaryDirectory() as tmp:
        path = pathlib.Path(tmp) / "catalog.tle"
        path.write_text(catalog_text(n))
        try:
            import sgp4  # noqa: F401

            peer = lambda: sgp4_catalog(path)  # noqa: E731
        except ImportError:
            peer = None
        ours, theirs, spread = compare(lambda: load_catalog(path), peer, repeat=3 if quick else 5, budget=0.2)
    target = 0.5 * n / 100_000
    return [
        Row("load_catalog (verified) -> ELSET per satellite", f"{n:,} sets", ours, "sgp4 twoline2rv + group", theirs,
            f"< {target:.2g} s", ours < target, spread, note="twoline2rv also initialises SGP4 for each set"),
    ]


if __name__ == "__main__":
    from benchmarks.run import table

    print(table(rows("--quick" in sys.argv)))
