"""Geodetic coordinates of 1e6 ITRF positions against astropy and pyerfa.

    PYTHONPATH=src python benchmarks/bench_geodetic.py [--quick]

Rows: itrf_to_geodetic against astropy's EarthLocation.from_geocentric(...)
.to_geodetic() (what an astropy user writes) and against erfa.gc2gde called
directly (the ufunc astropy uses underneath); topocentric azimuth, elevation,
range and range rate for information. (TEME -> ITRF -> geodetic against
astropy's TEME -> ITRS -> EarthLocation is the frames benchmark's row, with
itrf_to_geodetic as its geodetic step.) The results are checked to agree
before anything is timed. --quick: 2e5 positions.
"""

from __future__ import annotations

import pathlib
import sys

if __package__ in (None, ""):
    sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent))

import numpy as np  # noqa: E402

from benchmarks.harness import Row, compare, timeit  # noqa: E402

N = 1_000_000
A, F = 6378137.0, 1 / 298.257223563


def positions(n):
    rng = np.random.default_rng(0)
    d = rng.normal(size=(n, 3))
    return d / np.linalg.norm(d, axis=1)[:, None] * rng.uniform(6.6e6, 4.3e7, (n, 1))


def rows(quick: bool = False) -> list[Row]:
    import astropy.units as u
    import erfa
    from astropy.coordinates import EarthLocation

    from velmar.frames.frames import ENU
    from velmar.frames.geodetic import itrf_to_geodetic, topocentric

    n = N // 5 if quick else N
    repeat = 3 if quick else 5
    budget = 0.05 if quick else 0.2
    r = positions(n)
    out: list[Row] = []

    ours = itrf_to_geodetic(r)
    lon, lat, alt = erfa.gc2gde(A, F, r)
    if not (np.abs(ours["lat"] - lat).max() < 1e-9 and np.abs(ours["alt"] - alt).max() < 1e-3):
        raise AssertionError("itrf_to_geodetic and erfa.gc2gde disagree")

    def astropy_geodetic():
        return EarthLocation.from_geocentric(r[:, 0], r[:, 1], r[:, 2], unit=u.m).to_geodetic()

    t_ours, t_peer, spread = compare(lambda: itrf_to_geodetic(r), astropy_geodetic, repeat, budget)
    out.append(
        Row(
            "itrf_to_geodetic", f"{n:,} positions", t_ours, "astropy EarthLocation.to_geodetic()", t_peer, spread=spread
        )
    )
    t_ours, t_peer, spread = compare(lambda: itrf_to_geodetic(r), lambda: erfa.gc2gde(A, F, r), repeat, budget)
    out.append(
        Row("itrf_to_geodetic", f"{n:,} positions", t_ours, "erfa.gc2gde (one Halley step)", t_peer, spread=spread)
    )
    v = np.full_like(r, 100.0)
    station = ENU(0.7, -1.2, 350.0)
    t_ours, spread = timeit(lambda: topocentric(r, v, station), repeat, budget)
    out.append(
        Row(
            "topocentric (az, el, range, range rate)",
            f"{n:,} positions",
            t_ours,
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
