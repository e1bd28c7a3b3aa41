"""Time velmar's Kepler solver against a vectorised numpy Newton solver.

velmar's figure is ``velmar.state.coe.eca_from_mea_array``: the native solver
in one native loop, so what is timed is the solver itself (target: under
100 ns per solve, whatever the eccentricity). The peer is Newton's method on
whole numpy arrays, started from M + e sin M (from pi when e > 0.8, where a
start at M can diverge) and iterated until every correction is below 1e-14
rad. Both solve the same mean anomalies, uniform over one turn, and the
script checks that they agree before timing.

    PYTHONPATH=src python benchmarks/bench_kepler.py
"""

import statistics
import time

import numpy as np

from velmar.state.coe import eca_from_mea_array

N = 1_000_000
REPEATS = 7
ECCENTRICITIES = (0.0, 0.01, 0.1, 0.5, 0.9, 0.99, 0.999)


def newton(mea, ecc):
    eca = np.full_like(mea, np.pi) if ecc > 0.8 else mea + ecc * np.sin(mea)
    for _ in range(100):
        step = (eca - ecc * np.sin(eca) - mea) / (1.0 - ecc * np.cos(eca))
        eca -= step
        if np.max(np.abs(step)) < 1e-14:
            break
    return eca


def median_seconds(fn, *args):
    times = []
    for _ in range(REPEATS):
        start = time.perf_counter()
        fn(*args)
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def main():
    mea = np.random.default_rng(2024).uniform(0.0, 2.0 * np.pi, N)
    print(f"Kepler's equation, {N} mean anomalies in [0, 2 pi), median of {REPEATS} runs")
    print(f"{'ecc':>6} {'velmar ns/solve':>16} {'numpy Newton ns/solve':>22} {'ratio':>7}")
    for ecc in ECCENTRICITIES:
        ours = eca_from_mea_array(mea, ecc)
        peer = newton(mea, ecc)
        assert np.max(np.abs(ours - peer)) < 1e-12, "the two solvers disagree"
        t_ours = median_seconds(eca_from_mea_array, mea, ecc) / N * 1e9
        t_peer = median_seconds(newton, mea, ecc) / N * 1e9
        print(f"{ecc:>6} {t_ours:>16.1f} {t_peer:>22.1f} {t_ours / t_peer:>7.2f}")


if __name__ == "__main__":
    main()
