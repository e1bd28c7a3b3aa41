"""Import time of each velmar module in a fresh interpreter, numpy already imported.

numpy is imported first, so each figure is what velmar adds on top of it. No
peer: nothing else imports these modules, and numpy's own import is not one.
"""

from __future__ import annotations

import pathlib
import statistics
import subprocess
import sys

if __package__ in (None, ""):
    sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent))

from benchmarks.harness import Row  # noqa: E402

MODULES = [
    "velmar.datamodel.structured",
    "velmar.time.time",
    "velmar.propagators.analytical.sgp4.tle",
    "velmar.propagators.analytical.keplerian.keplerian",
    "velmar.satellite.satellite",
    "velmar.iers.eop",
]


def import_seconds(statement: str, repeat: int) -> float:
    code = f"import time; t = time.perf_counter(); {statement}; print(time.perf_counter() - t)"
    runs = [
        float(subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout)
        for _ in range(repeat)
    ]
    return statistics.median(runs)


def rows(quick: bool) -> list[Row]:
    repeat = 3 if quick else 7
    out = []
    for module in MODULES[:2] if quick else MODULES:
        ours = import_seconds(f"import numpy; t = time.perf_counter(); import {module}", repeat)
        out.append(Row(f"import {module} (after numpy)", "1", ours))
    return out


if __name__ == "__main__":
    from benchmarks.run import table

    print(table(rows("--quick" in sys.argv)))
