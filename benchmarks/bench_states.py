"""COEEphemeris.to_sv() for 1e6 epochs against the same conversion written in numpy.

    PYTHONPATH=src python benchmarks/bench_states.py [--quick]

Two inputs: a propagated orbit (inc, raa, arp and slr the same at every epoch,
only tra moving), which is what the two-body propagator hands over, and
elements that all differ from epoch to epoch. Target: under 100 ms for 1e6
epochs (--quick: 2e5 epochs, under 20 ms). The two conversions are checked to agree before either is timed.
StateVectorEphemeris.to_coe() of the same epochs is timed for information.
"""

from __future__ import annotations

import pathlib
import sys

if __package__ in (None, ""):
    sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent))

import numpy as np  # noqa: E402

from benchmarks.harness import Row, compare, fmt_seconds, timeit  # noqa: E402

N = 1_000_000
GM = 3.986004418e14


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


def cases(rng, n):
    tra = np.linspace(0.0, 2000 * np.pi, n)
    yield (
        "propagated orbit",
        dict(
            ecc=np.full(n, 0.1),
            sma=np.full(n, 7e6),
            inc=np.full(n, 1.0),
            raa=np.full(n, 0.5),
            arp=np.full(n, 2.0),
            tra=tra,
        ),
    )
    yield (
        "all elements vary",
        dict(
            ecc=rng.uniform(0, 0.9, n),
            sma=rng.uniform(7e6, 4e7, n),
            inc=rng.uniform(0, np.pi, n),
            raa=rng.uniform(0, 2 * np.pi, n),
            arp=rng.uniform(0, 2 * np.pi, n),
            tra=tra,
        ),
    )


def rows(quick: bool = False) -> list[Row]:
    from velmar.frames.frames import GCRF
    from velmar.state.ephemeris import COEEphemeris
    from velmar.time.time import Time

    n = N // 5 if quick else N
    target = 0.1 * n / N
    repeat = 3 if quick else 9
    budget = 0.02 if quick else 0.05
    epochs = Time(np.arange(n, dtype=np.int64) * 1_000_000_000)
    out: list[Row] = []
    eph = None
    for name, e in cases(np.random.default_rng(0), n):
        eph = COEEphemeris(epochs, GCRF, GM=GM, **e)
        slr = e["sma"] * (1 - e["ecc"] ** 2)

        def peer():
            return numpy_to_sv(GM, e["ecc"], slr, e["inc"], e["raa"], e["arp"], e["tra"])

        r, v = peer()
        sv = eph.to_sv()
        if not (np.allclose(sv.r, r, rtol=0, atol=1e-6) and np.allclose(sv.v, v, rtol=0, atol=1e-9)):
            raise AssertionError(f"COEEphemeris.to_sv() and the numpy conversion disagree ({name})")
        del r, v, sv
        ours, theirs, spread = compare(eph.to_sv, peer, repeat, budget)
        out.append(
            Row(
                "COEEphemeris.to_sv()",
                f"{n:,} epochs, {name}",
                ours,
                "numpy, same formulas",
                theirs,
                f"< {fmt_seconds(target)}",
                ours < target,
                spread,
            )
        )

    # The last case, all elements varying, back to elements.
    sv = eph.to_sv()
    ours, spread = timeit(sv.to_coe, repeat, budget)
    out.append(
        Row(
            "StateVectorEphemeris.to_coe()",
            f"{n:,} epochs, all elements vary",
            ours,
            spread=spread,
            note="for information: no target, no peer",
        )
    )
    return out


def main() -> None:
    from benchmarks.run import table

    print(table(rows("--quick" in sys.argv)))


if __name__ == "__main__":
    main()
