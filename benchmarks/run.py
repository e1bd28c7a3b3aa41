"""Run every benchmark of velmar and print one table.

    python -m benchmarks [--quick] [--json FILE] [--only NAME ...]

Each row: operation, size, velmar's median, the peer's median measured in
the same run, the ratio (how many times faster velmar is), the target, and
whether it is met.
"""

from __future__ import annotations

import argparse
import importlib
import json
import pathlib
import platform
import sys
import time

if __package__ in (None, ""):
    sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent))

from benchmarks.harness import Row, fmt_seconds  # noqa: E402

MODULES = [
    "bench_time",
    "bench_kepler",
    "bench_states",
    "bench_tle",
    "bench_keplerian",
    "bench_eop",
    "bench_frames",
    "bench_sgp4",
    "bench_geodetic",
    "bench_passes",
    "bench_io",
    "bench_cli",
    "bench_import",
    "bench_dask",
]


def collect(quick: bool, only: list[str] | None) -> list[Row]:
    rows: list[Row] = []
    for name in MODULES:
        if only and not any(o in name for o in only):
            continue
        try:
            module = importlib.import_module(f"benchmarks.{name}")
        except ImportError as exc:
            print(f"[skipped {name}: {exc}]", file=sys.stderr)
            continue
        if not hasattr(module, "rows"):
            continue
        t0 = time.perf_counter()
        rows.extend(module.rows(quick))
        print(f"[{name}: {time.perf_counter() - t0:.1f} s]", file=sys.stderr)
    return rows


def table(rows: list[Row]) -> str:
    head = ("operation", "size", "velmar", "peer", "peer time", "ratio", "target", "met")
    body = []
    for r in rows:
        ratio = r.ratio
        body.append(
            (
                r.operation,
                r.size,
                fmt_seconds(r.ours_s),
                r.peer or "-",
                fmt_seconds(r.peer_s),
                f"{ratio:.2f}x" if ratio is not None else "-",
                r.target or "-",
                {True: "yes", False: "NO", None: "-"}[r.met],
            )
        )
    widths = [max(len(h), *(len(b[i]) for b in body)) if body else len(h) for i, h in enumerate(head)]
    lines = ["| " + " | ".join(h.ljust(w) for h, w in zip(head, widths)) + " |"]
    lines.append("|" + "|".join("-" * (w + 2) for w in widths) + "|")
    lines += ["| " + " | ".join(c.ljust(w) for c, w in zip(b, widths)) + " |" for b in body]
    notes = [f"- {r.operation}: {r.note}" for r in rows if r.note]
    return "\n".join(lines + ([""] + notes if notes else []))


def main(argv=None) -> int:
    p = argparse.ArgumentParser(prog="python -m benchmarks")
    p.add_argument("--quick", action="store_true", help="a reduced set, under 30 seconds")
    p.add_argument("--json", metavar="FILE", help="also write the rows as JSON")
    p.add_argument("--only", nargs="*", help="only benchmark modules whose name contains one of these")
    args = p.parse_args(argv)
    rows = collect(args.quick, args.only)
    print(f"velmar benchmarks on {platform.machine()} {platform.processor() or ''}, Python {platform.python_version()}")
    print(table(rows))
    if args.json:
        data = [dict(r.__dict__, ratio=r.ratio) for r in rows]
        pathlib.Path(args.json).write_text(json.dumps(data, indent=2))
    return 0


if __name__ == "__main__":
    sys.exit(main())
