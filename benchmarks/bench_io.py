"""Reading catalogue files into one ELSET per satellite.

- load_catalog of a 100,000-set three-line file (--quick: 20,000). Peer: what
  a user would write with sgp4: read the pairs, Satrec.twoline2rv each, group
  by satellite number. (twoline2rv also initialises SGP4, which velmar does
  not do while reading: the row says so.) Target: at least 5 times the peer.
  Timed with the garbage collector off, as every row, and again with it on,
  which changes the peer's figure by more than 10 % (it builds 100,000
  objects the collector tracks).
- the peak resident memory of reading a 1,000,000-set file (--quick:
  200,000) in a fresh process, above the resident memory the finished
  catalogue keeps (both from the process's own counters: VmHWM for the
  peak, the resident size before and after the load; not ru_maxrss, which a
  child starts with its parent's peak in). Target: at most 500
  bytes per set. The time in the row is that of the load in the child.
"""

from __future__ import annotations

import json
import pathlib
import subprocess
import sys
import tempfile

if __package__ in (None, ""):
    sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent))

from benchmarks.harness import Row, compare  # noqa: E402
from velmar.io import checksum, load_catalog  # noqa: E402

SPOT5 = pathlib.Path(__file__).resolve().parents[1] / "tests" / "data" / "spot-5.tle"
ISS = (
    "1 25544U 98067A   08264.51782528 -.00002182  00000-0 -11606-4 0  2927",
    "2 25544  51.6416 247.4627 0006703 130.5360 325.0288 15.72125391563537",
)
MIB = 2.0**20


def base_pairs() -> list[tuple[str, str]]:
    if SPOT5.exists():
        lines = [line for line in SPOT5.read_text().splitlines() if line.strip()]
        return list(zip(lines[0::2], lines[1::2]))
    return [ISS]


def with_satno(line: str, satno: int) -> str:
    line = f"{line[:2]}{satno:05d}{line[7:68]}"
    return line + str(checksum(line))


def write_catalog(path: pathlib.Path, n_sets: int) -> None:
    """n_sets element sets: the base history given to as many satellites as
    needed, three-line form. The checksum is that of the base line without
    its number plus the digits of the new number, so a million sets are
    written in seconds."""
    pairs = base_pairs()
    parts = []
    for line1, line2 in pairs:
        blank1, blank2 = f"{line1[:2]}00000{line1[7:68]}", f"{line2[:2]}00000{line2[7:68]}"
        parts.append((blank1[:2], blank1[7:], checksum(blank1), blank2[:2], blank2[7:], checksum(blank2)))
    with open(path, "w") as f:
        out = []
        for k in range(n_sets):
            head1, tail1, sum1, head2, tail2, sum2 = parts[k % len(parts)]
            satno = 10000 + k // len(parts)
            digits = sum(map(int, str(satno)))
            out.append(
                f"SAT {satno}\n{head1}{satno:05d}{tail1}{(sum1 + digits) % 10}\n"
                f"{head2}{satno:05d}{tail2}{(sum2 + digits) % 10}\n"
            )
            if len(out) == 10_000:
                f.write("".join(out))
                out = []
        f.write("".join(out))


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


# Run in a fresh interpreter, so that the peak belongs to this one load.
CHILD = """
import json, resource, sys, time
import numpy
import velmar.io
from velmar.io import load_catalog

def resident():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * resource.getpagesize()

before = resident()
start = time.perf_counter()
catalog = load_catalog(sys.argv[1])
seconds = time.perf_counter() - start
after = resident()
with open("/proc/self/status") as f:
    peak = next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmHWM:"))
print(json.dumps({"before": before, "after": after, "peak": peak, "seconds": seconds,
                  "sets": sum(e.size for e in catalog.values())}))
"""


def memory_row(path: pathlib.Path, n: int) -> Row | None:
    if not pathlib.Path("/proc/self/statm").exists():
        return None
    done = subprocess.run([sys.executable, "-c", CHILD, str(path)], capture_output=True, text=True, check=True)
    m = json.loads(done.stdout)
    kept = m["after"] - m["before"]
    above = round((m["peak"] - m["after"]) / n)
    return Row(
        "load_catalog, peak resident memory above the result",
        f"{n:,} sets",
        m["seconds"],
        "",
        None,
        "<= 500 bytes/set",
        above <= 500 and m["sets"] == n,
        0.0,
        f"peak {m['peak'] / MIB:.0f} MiB for a catalogue keeping {kept / MIB:.0f} MiB "
        f"({kept / n:.0f} bytes/set): {above} bytes/set above it; time of the load in a fresh process",
    )


def rows(quick: bool) -> list[Row]:
    n = 20_000 if quick else 100_000
    n_big = 200_000 if quick else 1_000_000
    out = []
    with tempfile.TemporaryDirectory() as tmp:
        path = pathlib.Path(tmp) / "catalog.tle"
        write_catalog(path, n)
        try:
            import sgp4  # noqa: F401

            peer = lambda: sgp4_catalog(path)  # noqa: E731
        except ImportError:
            peer = None
        rounds = 5 if quick else 9
        for collector in (False, True):
            ours, theirs, spread, ratio = compare(
                lambda: load_catalog(path), peer, repeat=rounds, budget=0.2, paired=True, collector=collector
            )
            out.append(
                Row(
                    "load_catalog (verified) -> ELSET per satellite" + (" (garbage collector on)" if collector else ""),
                    f"{n:,} sets",
                    ours,
                    "sgp4 twoline2rv (parses, then initialises SGP4) + group",
                    theirs,
                    ">= 5x",
                    None if ratio is None else ratio >= 5,
                    spread,
                    note=f"twoline2rv also initialises SGP4 for each set; the ratio is the median of {rounds} "
                    "paired per-round ratios (this machine is shared)",
                    paired=ratio,
                )
            )
        big = pathlib.Path(tmp) / "big.tle"
        write_catalog(big, n_big)
        row = memory_row(big, n_big)
        if row is not None:
            out.append(row)
    return out


if __name__ == "__main__":
    from benchmarks.run import table

    print(table(rows("--quick" in sys.argv)))
