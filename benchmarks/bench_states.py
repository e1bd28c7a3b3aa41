"""COEEphemeris.to_sv() for 1e6 epochs against the same conversion written in numpy.

Two inputs: a propagated orbit (inc, raa, arp and slr the same at every epoch,
only tra moving), which is what the two-body propagator hands over, and
elements that all differ from epoch to epoch. Target: under 100 ms for 1e6
epochs. Run:  PYTHONPATH=src python benchmarks/bench_states.py
"""

import statistics
import time

import numpy as np

from velmar.frames.frames import GCRF
from velmar.state.ephemeris import COEEphemeris
from velmar.time.time import Time

N = 1_000_000
GM = 3.986004418e14
REPEAT = 9


def numpy_to_sv(gm, ecc, slr, inc, raa, arp, tra):
    ci, si = np.cos(inc), np.sin(inc)
    co, so = np.cos(raa), np.sin(raa)
    cw, sw = np.cos(arp), np.sin(arp)
    c, s = np.cos(tra), np.sin(tra)
    p = np.stack([co * cw - so * sw * ci, so * cw + co * sw * ci, sw * si], axis=1)
    q = np.stack([-co * sw - so * cw * ci, -so * sw + co * cw * ci, cw * si], axis=1)
    radius = slr / (1 + ecc * c)
    scale = np.sqrt(gm / slr)
    r = (radius * c)[:, None] * p + (radius * s)[:, None] * q
    v = (-scale * s)[:, None] * p + (scale * (ecc + c))[:, None] * q
    return r, v


def median_ms(f):
    f()
    samples = []
    for _ in range(REPEAT):
        start = time.perf_counter()
        f()
        samples.append(time.perf_counter() - start)
    return 1e3 * statistics.median(samples)


def cases(rng):
    tra = np.linspace(0.0, 2000 * np.pi, N)
    yield "propagated orbit", dict(ecc=np.full(N, 0.1), sma=np.full(N, 7e6), inc=np.full(N, 1.0),
                                   raa=np.full(N, 0.5), arp=np.full(N, 2.0), tra=tra)
    yield "all elements vary", dict(ecc=rng.uniform(0, 0.9, N), sma=rng.uniform(7e6, 4e7, N),
                                    inc=rng.uniform(0, np.pi, N), raa=rng.uniform(0, 2 * np.pi, N),
                                    arp=rng.uniform(0, 2 * np.pi, N), tra=tra)


def main():
    epochs = Time(np.arange(N, dtype=np.int64) * 1_000_000_000)
    rng = np.random.default_rng(0)
    print(f"COEEphemeris.to_sv(), {N:,} epochs (median of {REPEAT})")
    for name, e in cases(rng):
        eph = COEEphemeris(epochs, GCRF, GM=GM, **e)
        slr = e["sma"] * (1 - e["ecc"] ** 2)
        r, v = numpy_to_sv(GM, e["ecc"], slr, e["inc"], e["raa"], e["arp"], e["tra"])
        out = eph.to_sv()
        assert np.allclose(out.r, r, rtol=0, atol=1e-6) and np.allclose(out.v, v, rtol=0, atol=1e-9)
        ours = median_ms(eph.to_sv)
        peer = median_ms(lambda: numpy_to_sv(GM, e["ecc"], slr, e["inc"], e["raa"], e["arp"], e["tra"]))
        verdict = "ok" if ours < 100 else "OVER 100 ms"
        print(f"  {name:18s} velmar {ours:7.1f} ms   numpy {peer:7.1f} ms   numpy/velmar {peer / ours:5.2f}"
              f"   [{verdict}]")

    eph = COEEphemeris(epochs, GCRF, GM=GM, **dict(cases(rng))["all elements vary"]).to_sv()
    ours = median_ms(eph.to_coe)
    print(f"StateVectorEphemeris.to_coe(), {N:,} epochs: velmar {ours:.1f} ms (for information)")


if __name__ == "__main__":
    main()
