"""Time velmar's Kepler solver against a vectorised numpy Newton solver and numpy.sin.

    PYTHONPATH=src python benchmarks/bench_kepler.py [--quick]

velmar's figure is ``velmar.state.coe.eca_from_mea_array``: the array form of
the solver in one native loop (on the widest instruction set the processor
has), so what is timed is the solver itself. Peers:
- Newton's method on whole numpy arrays, the way a numpy user writes it:
  started from M + e sin M (from pi when e > 0.8, where a start at M can
  diverge) and stopped when the largest step stops shrinking (rounding then
  dominates, and more steps buy nothing). Its accuracy is reported next to
  its time: the largest error against Kepler's equation solved in extended
  precision (numpy.longdouble), and velmar's on the same values.
- numpy.sin over the same number of values: one evaluation of a library
  sine, a yardstick that travels between machines better than a time
  (target: the solve takes at most 2.5 times as long).
- the one-value solver c_eca_from_mea called once per value (as the TLE reader
  and a propagator with a foreign solver call it), against the solver velmar
  had before (Markley's, kept in the module for this row), in the same run
  (target: 1.5 times faster).
Both solve the same mean anomalies, uniform over one turn.
"""

from __future__ import annotations

import pathlib
import sys

if __package__ in (None, ""):
    sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent))

import numpy as np  # noqa: E402

from benchmarks.harness import Row, compare  # noqa: E402

ECCENTRICITIES = (0.0, 0.01, 0.1, 0.5, 0.9, 0.99, 0.999)
MAX_STEPS = 100  # never reached: the stop is the step that no longer shrinks


def newton(mea, ecc, steps=None):
    """The numpy solver; `steps`, a list, receives the number of Newton steps taken."""
    eca = np.full_like(mea, np.pi) if ecc > 0.8 else mea + ecc * np.sin(mea)
    last = np.inf
    for k in range(1, MAX_STEPS + 1):
        step = (eca - ecc * np.sin(eca) - mea) / (1.0 - ecc * np.cos(eca))
        eca -= step
        size = np.max(np.abs(step)) if step.size else 0.0
        if not size < last or size == 0.0:
            break
        last = size
    if steps is not None:
        steps.append(k)
    return eca


def reference(mea, ecc):
    """Kepler's equation by Newton's method in extended precision (numpy.longdouble), from pi."""
    M = mea.astype(np.longdouble)
    e = np.longdouble(ecc)
    E = np.full_like(M, np.pi)
    for _ in range(60):
        step = (E - e * np.sin(E) - M) / (1 - e * np.cos(E))
        E -= step
        if np.max(np.abs(step)) < 1e-19:
            break
    return E


def worst_error(eca, ref):
    return float(np.max(np.abs(eca.astype(np.longdouble) - ref)))


def rows(quick: bool = False) -> list[Row]:
    from velmar.state.coe import _one_by_one_array, eca_from_mea_array

    n = 20_000 if quick else 1_000_000
    repeat = 3 if quick else 7
    budget = 0.02 if quick else 0.05
    mea = np.random.default_rng(2024).uniform(0.0, 2.0 * np.pi, n)
    check = mea[: min(n, 100_000)]
    out: list[Row] = []
    for ecc in ECCENTRICITIES:
        steps: list[int] = []
        ref = reference(check, ecc)
        ours_error = worst_error(eca_from_mea_array(check, ecc), ref)
        peer_error = worst_error(newton(check, ecc, steps), ref)
        ours, peer, spread, paired = compare(
            lambda: eca_from_mea_array(mea, ecc), lambda: newton(mea, ecc), repeat, budget, paired=True
        )
        note = (
            f"ecc {ecc}: worst error {ours_error:.1e} rad (velmar), {peer_error:.1e} rad (numpy Newton, "
            f"{steps[0]} steps)"
        )
        out.append(
            Row(
                "eca_from_mea_array (Kepler's equation)",
                f"ecc {ecc}, per solve of {n:,}",
                ours / n,
                "numpy Newton, vectorised",
                peer / n,
                "< 100 ns",
                ours / n < 100e-9,
                spread,
                note,
                paired=paired,
            )
        )
    # ecc = 0 is E = M, no solve at all, so flatness is judged over the others.
    times = [r.ours_s for r, ecc in zip(out, ECCENTRICITIES) if ecc > 0]
    flat = (
        f"flat in ecc: over 0 < ecc <= {ECCENTRICITIES[-1]} the slowest eccentricity costs "
        f"{max(times) / min(times):.2f}x the fastest ({min(times) * 1e9:.1f} to {max(times) * 1e9:.1f} ns)"
    )
    out[-1].note = f"{out[-1].note}; {flat}"

    for ecc in (0.08, 0.7):
        ours, peer, spread, paired = compare(
            lambda: eca_from_mea_array(mea, ecc), lambda: np.sin(mea), repeat, budget, paired=True
        )
        out.append(
            Row(
                "eca_from_mea_array vs numpy.sin",
                f"ecc {ecc}, {n:,} anomalies",
                ours,
                "numpy.sin, same count",
                peer,
                "time <= 2.5x numpy.sin",
                1.0 / paired <= 2.5,
                spread,
                f"ecc {ecc}: the solve takes {1.0 / paired:.2f}x the time of numpy.sin",
                paired=paired,
            )
        )

    ecc = 0.7
    ours, peer, spread, paired = compare(
        lambda: _one_by_one_array(mea, ecc, False),
        lambda: _one_by_one_array(mea, ecc, True),
        repeat,
        budget,
        paired=True,
    )
    out.append(
        Row(
            "c_eca_from_mea, one value per call",
            f"ecc {ecc}, per solve of {n:,}",
            ours / n,
            "velmar's previous solver (Markley)",
            peer / n,
            ">= 1.5x",
            paired >= 1.5,
            spread,
            paired=paired,
        )
    )
    return out


def main() -> None:
    from benchmarks.run import table

    print(table(rows("--quick" in sys.argv)))


if __name__ == "__main__":
    main()
