"""Keplerian propagation and Jacobian against what a numpy user would write.

    PYTHONPATH=src python benchmarks/bench_keplerian.py [N]

Prints velmar's median, the peer's median from the same run, and their ratio:
- propagate_state of one StateVector to 1 and to N epochs (default 1,000,000),
  against a numpy-vectorised two-body propagation (elements from the state,
  Newton's method on the whole array of mean anomalies, true anomaly, rotation
  from the perifocal frame);
- the peak memory (tracemalloc) of one N-epoch propagation, against the bytes
  of the arrays the returned ephemeris holds;
- jacobian of an N-epoch ephemeris, against numpy.ones((N, 6, 6)).
"""

import statistics
import sys
import time
import tracemalloc

import numpy as np

from velmar.frames.frames import GCRF
from velmar.propagators.analytical.keplerian.keplerian import Keplerian
from velmar.state.state import StateVector
from velmar.time.time import Time

GM = 3.986004418e14
# Position and velocity of two orbits: low Earth orbit with ecc about 0.1, and
# a transfer-like orbit with ecc about 0.7, where Newton's method needs more
# steps while velmar's solver costs the same.
ORBITS = {
    "ecc 0.1": (np.array([6.5e6, 1.2e6, 0.9e6]), np.array([-1.1e3, 7.1e3, 2.9e3])),
    "ecc 0.7": (np.array([6.6e6, 0.0, 0.0]), np.array([0.0, 9.6e3, 3.2e3])),
}


def median_time(function, repeats):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        function()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def numpy_propagation(times, epoch, r0, v0, gm):
    """Two-body propagation the way a numpy user writes it."""
    dt = np.asarray(times - epoch, dtype=float).reshape(-1)
    h = np.cross(r0, v0)
    rn, hn = np.linalg.norm(r0), np.linalg.norm(h)
    e_vec = np.cross(v0, h) / gm - r0 / rn
    e = np.linalg.norm(e_vec)
    a = 1.0 / (2.0 / rn - v0 @ v0 / gm)
    p_hat = e_vec / e
    q_hat = np.cross(h / hn, p_hat)
    cos_nu0 = np.clip(p_hat @ r0 / rn, -1.0, 1.0)
    nu0 = np.arccos(cos_nu0) if q_hat @ r0 >= 0 else 2 * np.pi - np.arccos(cos_nu0)
    E0 = 2 * np.arctan(np.sqrt((1 - e) / (1 + e)) * np.tan(nu0 / 2))
    n = np.sqrt(gm / a**3)
    M = np.mod(E0 - e * np.sin(E0) + n * dt, 2 * np.pi)
    E = M + e * np.sin(M)
    for _ in range(50):
        correction = (E - e * np.sin(E) - M) / (1 - e * np.cos(E))
        E -= correction
        if np.abs(correction).max() < 1e-14:
            break
    nu = 2 * np.arctan2(np.sqrt(1 + e) * np.sin(E / 2), np.sqrt(1 - e) * np.cos(E / 2))
    p = a * (1 - e * e)
    radius = p / (1 + e * np.cos(nu))
    cos_nu, sin_nu = np.cos(nu), np.sin(nu)
    speed = np.sqrt(gm / p)
    r = np.outer(radius * cos_nu, p_hat) + np.outer(radius * sin_nu, q_hat)
    v = np.outer(-speed * sin_nu, p_hat) + np.outer(speed * (e + cos_nu), q_hat)
    return r, v


def report(label, ours, theirs, unit="s"):
    print(f"{label:<48} velmar {ours:.6f} {unit}   numpy {theirs:.6f} {unit}   ratio {theirs / ours:6.2f}x")


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    epoch = Time("2024-03-01T00:00:00")
    k = Keplerian(GM)
    one = epoch + 3600.0
    many = Time(epoch.int64 + np.arange(n, dtype=np.int64) * 6_000_000_000)  # one epoch every 6 s

    for name, (r0, v0) in ORBITS.items():
        state = StateVector(epoch, GCRF, r0, v0, GM=GM)
        print(f"{name}: ecc = {state.to_coe().ecc:.4f}")
        # The two agree before either is timed.
        r_ref, _ = numpy_propagation(many, epoch, r0, v0, GM)
        eph = k.propagate_state(many, state)
        worst = np.max(np.linalg.norm(eph.r - r_ref, axis=1) / np.linalg.norm(r_ref, axis=1))
        print(f"  largest relative position difference velmar - numpy over {n} epochs: {worst:.1e}")
        del eph, r_ref

        ours = median_time(lambda: k.propagate_state(one, state), 2001)
        theirs = median_time(lambda: numpy_propagation(one, epoch, r0, v0, GM), 2001)
        report("  propagate_state, 1 epoch", ours, theirs)
        ours = median_time(lambda: k.propagate_state(many, state), 7)
        theirs = median_time(lambda: numpy_propagation(many, epoch, r0, v0, GM), 5)
        report(f"  propagate_state, {n} epochs", ours, theirs)
        print(f"{'':<48} velmar {n / ours / 1e6:.2f} M epochs/s (target >= 5; ratio target >= 3x)")

    state = StateVector(epoch, GCRF, *ORBITS["ecc 0.1"], GM=GM)
    tracemalloc.start()
    tracemalloc.reset_peak()
    eph = k.propagate_state(many, state)
    _, peak = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    held = eph.r.nbytes + eph.v.nbytes
    print(f"{'peak memory of propagate_state, ' + str(n) + ' epochs':<48} {peak / 2**20:.1f} MiB, "
          f"{peak / held:.2f}x the {held / 2**20:.1f} MiB of r and v (target <= 2.5x)")

    ours = median_time(lambda: k.jacobian(eph), 7)
    theirs = median_time(lambda: np.ones((n, 6, 6)), 7)
    print(f"{'jacobian, ' + str(n) + ' epochs':<48} velmar {ours:.6f} s   numpy.ones {theirs:.6f} s   "
          f"velmar/ones {ours / theirs:.2f} (target <= 2)")


if __name__ == "__main__":
    main()
