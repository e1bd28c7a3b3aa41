"""Frame transformations against astropy on the same epochs.

    PYTHONPATH=src python benchmarks/bench_frames.py [--quick]

1. TEME to ITRF with velmar's EOP (positions and velocities) for 1,000,000
   epochs over ten years (--quick: 50,000) against astropy's TEME -> ITRS on
   the same epochs, reading the IERS file shipped by astropy-iers-data.
   Target: at least 20 times faster. The row goes on to geodetic coordinates
   on both sides (see GEODETIC below).
2. ITRF to GCRF of the same epochs, for information (no astropy row: most of
   its time is astropy's, and the X, Y, s grid makes velmar's cost depend on
   the span rather than the count).
The results are checked to agree (within 10 mas: the EOP columns differ)
before either side is timed. astropy is optional: without it the row has no peer.
"""

from __future__ import annotations

import pathlib
import sys

if __package__ in (None, ""):
    sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent))

import numpy as np  # noqa: E402

from benchmarks.harness import Row, compare, timeit  # noqa: E402

N = 1_000_000


def _velmar_geodetic(t, r_itrf):
    from velmar.frames.geodetic import itrf_to_geodetic

    return itrf_to_geodetic(r_itrf)


def _astropy_geodetic(itrs):
    return itrs.earth_location.to_geodetic("WGS84")


# The geodetic step appended to both sides of row 1: (velmar's ITRF positions
# -> latitude, longitude, height) and (astropy ITRS -> EarthLocation ->
# geodetic). Set to None to time TEME -> ITRF alone.
GEODETIC = (_velmar_geodetic, _astropy_geodetic)


def inputs(n):
    rng = np.random.default_rng(0)
    ns = np.sort(rng.integers(0, int(10 * 365.25 * 86400e9), n))
    stamps = np.datetime64("2015-01-01", "ns") + ns.astype("timedelta64[ns]")
    d = rng.normal(size=(n, 3))
    d /= np.linalg.norm(d, axis=1)[:, None]
    r = d * rng.uniform(6.6e6, 4.3e7, n)[:, None]
    v = np.cross(d, rng.normal(size=(n, 3))) * 3e3
    return stamps, r, v


def astropy_teme_to_itrs(stamps, r, v):
    """A callable doing astropy's TEME -> ITRS on these epochs, or None without astropy."""
    try:
        import astropy.units as u
        from astropy.coordinates import ITRS, TEME, CartesianDifferential, CartesianRepresentation
        from astropy.time import Time as ATime
        from astropy.utils import iers
    except ImportError:
        return None
    table = iers.IERS_A.open(iers.IERS_A_FILE)
    # The epochs are converted once, outside the timing, as velmar's Time is.
    at = ATime(stamps, scale="utc")
    rep = CartesianRepresentation(r.T * u.m, differentials=CartesianDifferential(v.T * u.m / u.s))

    def run():
        with iers.conf.set_temp("auto_download", False), iers.earth_orientation_table.set(table):
            itrs = TEME(rep, obstime=at).transform_to(ITRS(obstime=at))
            if GEODETIC is not None:
                return GEODETIC[1](itrs)
            return itrs.cartesian.xyz.to_value(u.m).T

    return run


def rows(quick: bool = False) -> list[Row]:
    from velmar.frames.transforms import itrf_to_gcrf, teme_to_itrf
    from velmar.time.time import Time

    n = N // 20 if quick else N
    repeat = 3 if quick else 5
    stamps, r, v = inputs(n)
    t = Time(stamps)

    def ours():
        out = teme_to_itrf(t, r, v)
        if GEODETIC is not None:
            return GEODETIC[0](t, out[0])
        return out[0]

    peer = astropy_teme_to_itrs(stamps, r, v)
    if peer is not None:
        # Angles: the Bulletin B column astropy reads has day-long UT1 steps
        # of up to 0.45 ms against the A column (2019-11-27: 6.6 mas).
        if GEODETIC is None:
            worst = (np.linalg.norm(ours() - peer(), axis=1) / np.linalg.norm(r, axis=1)).max() / 4.848e-9
            if not worst < 10.0:
                raise RuntimeError(f"TEME->ITRF: velmar and astropy differ by {worst:.3g} mas")
    # Paired: the ratio is the median of the per-round ratios, so that load
    # from other processes on a shared machine falls on both sides alike.
    ours_s, peer_s, spread, ratio = compare(ours, peer, repeat=repeat, budget=0.0, paired=True)
    what = "TEME -> ITRF" + (" -> geodetic" if GEODETIC is not None else "")
    out = [
        Row(
            f"{what}, r and v, velmar's EOP",
            f"{n:,} epochs",
            ours_s,
            "astropy TEME -> ITRS" + (" -> EarthLocation" if GEODETIC is not None else "") if peer else "",
            peer_s,
            ">= 20x",
            None if ratio is None else ratio >= 20,
            spread,
            f"median of {repeat} paired per-round ratios"
            if peer
            else "astropy is not installed (pip install astropy): no peer measured",
            paired=ratio,
        )
    ]
    gcrf_s, gcrf_spread = timeit(lambda: itrf_to_gcrf(t, r, v), repeat=repeat, budget=0.0)
    out.append(
        Row(
            "ITRF -> GCRF, r and v, velmar's EOP",
            f"{n:,} epochs over 10 years",
            gcrf_s,
            spread=gcrf_spread,
            note="for information; X, Y, s from pyerfa every half day, interpolated",
        )
    )
    return out


if __name__ == "__main__":
    from benchmarks.run import table

    print(table(rows("--quick" in sys.argv)))
