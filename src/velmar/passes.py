"""Passes of a satellite over a ground station: rise, culmination and set, and whether it can be seen.

    from velmar.passes import find_passes
    passes = find_passes(elset, ENU(lat, lon, height), "2008-09-20", "2008-09-21", min_elevation=np.radians(10))

The satellite is propagated with SGP4 (an ELSET by its governing-set rule)
and looked at from the station, placed with velmar's EOP (geometric azimuth
and elevation above the ellipsoid's normal, no refraction). Epochs are
evaluated in vectorised calls: a bracketing grid, then every extremum and every
root refined together, a few calls in all; nothing loops in Python per epoch.
"""

from __future__ import annotations

import math
import warnings
from dataclasses import dataclass

import numpy as np

from velmar.frames.frames import ENU
from velmar.time.time import Time

__all__ = ["Pass", "find_passes", "look"]

_OMEGA_EARTH = 7.292115e-5  # rad/s
_MS = 1_000_000  # ns: events are refined to a bracket this wide
_NEWTON_STEP = 1_000_000  # ns: a Newton step this short is the last one (see _refine)
_SETTLED = 1e-4  # s: a Newton step leaving an error estimated below this is the last one
_TWILIGHT = math.radians(-6.0)  # civil twilight: the sky is dark enough to see a sunlit satellite
_VISIBILITY_SAMPLE = 10.0  # s between the epochs of a pass where sunlight is checked
_LONG_PASS = 1200.0  # s: passes longer than this are sampled for visibility whatever their events say
_STATION_ROW = 6 * 3600 * 10**9  # ns between the tabulated station positions
_SUN_ROW = 86400 * 10**9  # ns between the tabulated positions of the Sun
_FRAME_ROW = 60 * 86400 * 10**9  # ns at most between the epochs where GCRF to TEME is computed
_UTC_1972 = -883_655_990_000_000_000  # 1972-01-01T00:00:00 UTC (TAI 00:00:10) in ns from 2000-01-01T12:00 TAI


@dataclass(frozen=True)
class Pass:
    """One pass above the minimum elevation. Angles in rad; azimuth from north through east.

    `rise` is None when the satellite is already up at the start of the search (it
    rose more than one orbital period before the window), `set` None when it is
    still up one period after its end.
    """

    rise: Time | None
    culmination: Time
    set: Time | None
    rise_azimuth: float
    rise_elevation: float
    culmination_azimuth: float
    max_elevation: float
    set_azimuth: float
    set_elevation: float
    sunlit_rise: bool
    sunlit_culmination: bool
    sunlit_set: bool
    visible: bool  # sunlit while the Sun is below -6 deg at the station, at some epoch of the pass

    @property
    def culmination_elevation(self) -> float:
        return self.max_elevation

    @property
    def duration(self) -> float:
        """Seconds from rise to set (nan when either is unknown)."""
        if self.rise is None or self.set is None:
            return math.nan
        return (int(self.set.int64) - int(self.rise.int64)) / 1e9


class _Look:
    """Look angles of one satellite from one station at arrays of epochs (int64 TAI ns).

    SGP4 is called on the governing members directly rather than through
    SGP4.propagate_elset: the search makes a dozen or so calls on short arrays,
    and the ephemeris objects and per-call warnings would cost more than the
    propagation. Epochs SGP4 cannot propagate are NaN, counted in `failed`.
    """

    def __init__(self, source, station, rule: str):
        from velmar.frames.geodetic import geodetic_to_itrf
        from velmar.propagators.analytical.sgp4.sgp4 import _check_rule, _satrec
        from velmar.propagators.analytical.sgp4.tle import ELSET, TLE

        if not isinstance(station, ENU):
            raise TypeError(f"station must be an ENU frame, got {type(station).__name__}")
        _check_rule(rule)
        if isinstance(source, ELSET):
            members = list(source)
        elif isinstance(source, TLE):
            members = [source]
        else:
            raise TypeError(f"source must be a TLE or an ELSET, got {type(source).__name__}")
        self.rule = rule
        self.member_epochs = np.array([int(m.epoch.int64) for m in members], dtype=np.int64)
        self.satrecs = [_satrec(m) for m in members]
        self.station = station
        self.site = np.asarray(geodetic_to_itrf(station.lat, station.lon, station.alt), dtype=np.float64).reshape(3)
        cl = math.cos(station.lat)
        self.up = np.array([cl * math.cos(station.lon), cl * math.sin(station.lon), math.sin(station.lat)])
        self.periods = np.array([float(m.orp) for m in members])
        self.eccentricities = np.array([float(m.ecc) for m in members])
        self.failed = 0
        self.utc_offset: int | None = None  # TAI - UTC in ns over clock_span, when constant there
        self.clock_span = (0, -1)

    def itrf(self, ns, r=None, v=None) -> tuple[np.ndarray, np.ndarray | None]:
        """ITRF positions and velocities (m, m/s) at the epochs ns (TEME ones given as r, v are reused)."""
        from velmar.frames.transforms import teme_to_itrf

        ns = np.asarray(ns, dtype=np.int64).reshape(-1)
        if r is None:
            r, v = self.teme(ns)
        return teme_to_itrf(Time(ns), r, v)

    def _julian_dates(self, ns):
        """UTC Julian dates in two parts, as SGP4 takes them, at the epochs ns (int64 TAI ns).

        Inside the span given to cover() with no leap second in it, UTC is TAI
        less a constant number of nanoseconds, and the dates follow from the
        integers without building Time objects; otherwise Time reads them.
        """
        from velmar.propagators.analytical.sgp4.sgp4 import _JD_OF_1970, _NS_PER_DAY, _julian_dates

        offset = self.utc_offset
        if offset is None or ns.size == 0 or ns.min() < self.clock_span[0] or ns.max() > self.clock_span[1]:
            return _julian_dates(Time(ns))
        day, ns_of_day = np.divmod(ns - offset, _NS_PER_DAY)
        return _JD_OF_1970 + day.astype(np.float64), ns_of_day / float(_NS_PER_DAY)

    def teme(self, ns):
        """TEME positions and velocities (m, m/s) from SGP4 at the epochs ns."""
        from velmar.propagators.analytical.sgp4.sgp4 import governing_index

        ns = np.asarray(ns, dtype=np.int64).reshape(-1)
        jd, fr = self._julian_dates(ns)
        if len(self.satrecs) == 1:
            e, r, v = self.satrecs[0].sgp4_array(jd, fr)
        else:
            r = np.empty((ns.size, 3))
            v = np.empty((ns.size, 3))
            e = np.empty(ns.size, dtype=np.uint8)
            index = governing_index(self.member_epochs, ns, self.rule)
            for k in np.unique(index).tolist():
                where = index == k
                e[where], r[where], v[where] = self.satrecs[k].sgp4_array(jd[where], fr[where])
        bad = e != 0
        if bad.any():
            self.failed += int(np.count_nonzero(bad))
            r[bad] = np.nan
            v[bad] = np.nan
        r *= 1000.0
        v *= 1000.0
        return r, v

    def cover(self, first: int, last: int) -> None:
        """Tabulate the station in TEME every six hours over [first, last] (int64 TAI ns).

        Between two rows the station turns about the TEME z axis at the rate
        the rows themselves give: sidereal time is linear in UT1 to far below
        a micro-radian over six hours, UT1 - UTC departs from a straight line
        by a few microseconds (millimetres at the station) and polar motion
        by micro-arcseconds. So the search needs SGP4 alone per
        evaluation, not a full TEME to ITRF transformation.
        """
        from velmar.frames.transforms import itrf_to_teme

        row = _STATION_ROW
        count = (last - first) // row + 3
        ns = first - row + row * np.arange(count, dtype=np.int64)
        both = np.concatenate((np.tile(self.site, (count, 1)), np.tile(self.up, (count, 1))))
        rotated, _ = itrf_to_teme(Time(np.concatenate((ns, ns))), both)
        self.rows_ns = ns
        self.rows_site, self.rows_up = rotated[:count], rotated[count:]
        x, y = self.rows_site[:, 0], self.rows_site[:, 1]
        turn = np.arctan2(x[:-1] * y[1:] - y[:-1] * x[1:], x[:-1] * x[1:] + y[:-1] * y[1:])
        self.rows_rate = np.append(turn, turn[-1]) / (row / 1e9)  # rad/s
        ends = np.array([first, last], dtype=np.int64)
        utc = np.asarray(Time(ends).utc.datetime64, dtype="datetime64[ns]").view(np.int64)
        offset = ends - utc
        # Before 1972 UTC ran at a rate of its own, so its offset from TAI was not constant.
        if offset[0] == offset[1] and first >= _UTC_1972:
            self.utc_offset, self.clock_span = int(offset[0]), (first, last)

    def __call__(self, ns, second=False, position=False, level=None):
        """(elevation, elevation rate (rad/s)) at the epochs ns, inside the span given to cover(),
        followed as asked by the second derivative of the elevation's sine (see geometry()) and
        the TEME positions (N, 3)."""
        ns = np.asarray(ns, dtype=np.int64).reshape(-1)
        r, v = self.teme(ns)
        out = self.geometry(ns, r, v, second, level=level)
        return out + (r,) if position else out

    def geometry(self, ns, r, v, second=False, angle=False, guide=False, level=None):
        """(elevation, elevation rate (rad/s)) at the epochs ns of the TEME states r, v, followed
        as asked by: the second derivative of the sine of the elevation (1/s^2) in a central
        field (the J2 and drag accelerations SGP4 adds are a thousandth of the central one,
        which is all Newton's method and the first estimates need), the geocentric angle
        between station and satellite, the first two derivatives of c = r.s / |r|, and (with
        `second`) the height of the satellite above the cone of elevation `level` (m) with its
        first two derivatives."""
        from velmar.frames.geodetic import _look_geometry

        t = (np.asarray(ns, dtype=np.int64) - self.rows_ns[0]) / 1e9
        rows = _look_geometry(
            t,
            r,
            v,
            self.rows_site,
            self.rows_up,
            self.rows_rate,
            _STATION_ROW / 1e9,
            math.nan if level is None else float(level),
        )
        el, rate, acc, h, h1, h2, psi, c1, c2 = rows
        out = [el, rate]
        if second:
            out.append(acc)
            if level is not None:
                out.extend((h, h1, h2))
        if angle:
            out.append(psi)
        if guide:
            out.extend((c1, c2))
        return tuple(out)

    def reach(self, level: float) -> float:
        """The largest geocentric angle from the station at which the satellite can be above `level`.

        In the spherical model, el >= E at radius r needs psi <= arccos(rho_s cos E / r) - E;
        the geodetic vertical leans from the geocentric one by 0.2 deg at most, and SGP4's
        radius stays within 2 % of the mean apogee, both covered by the margins below.
        """
        e = np.clip(self.eccentricities, 0.0, 0.999)
        n = 2 * np.pi / self.periods
        sma = np.cbrt(3.986004418e14 / (n * n))
        apogee = 1.02 * float(np.nanmax(sma * (1 + e)))
        low = level - math.radians(1.0)
        ratio = float(np.linalg.norm(self.site)) * math.cos(low) / apogee
        return math.acos(min(ratio, 1.0)) - low if ratio < 1 else -math.inf

    def step(self) -> float:
        """Grid step (s) short enough that no elevation maximum or minimum escapes the grid.

        Seen from a station, the geocentric angle psi between station and
        satellite has one minimum (near culmination) and one maximum per
        revolution, half a revolution of argument of latitude u apart, and the
        elevation is a decreasing function of psi at a given radius. The
        station's own motion (the Earth's rotation) perturbs this by at most
        omega_E per second, so in a time h the line of sight sweeps at most
        (du/dt + omega_E) h of psi; du/dt peaks at perigee at
        n (1 + e)^2 / (1 - e^2)^1.5 (ten times the mean motion for a Molniya
        orbit). Limiting the sweep to pi/4 per step keeps at most one
        extremum in a grid interval with a fourfold margin on the pi
        separation, so every maximum is bracketed by a sign change of the
        elevation rate and refined, and every pass (a maximum above the
        minimum elevation) is found however grazing it is. The minimum
        elevation therefore does not shorten the step: a bracket on the
        elevation itself would need a step below the shortest pass, and a
        pass that just clears the minimum is arbitrarily short. Rise and set
        are then bracketed between consecutive extrema and grid epochs,
        where the elevation is monotonic.
        """
        e = np.clip(self.eccentricities, 0.0, 0.999)
        n = 2 * np.pi / self.periods
        fastest = float(np.nanmax(n * (1 + e) ** 2 / (1 - e * e) ** 1.5))
        if not math.isfinite(fastest) or fastest <= 0:
            raise ValueError("the element sets have no finite mean motion")
        return (math.pi / 4) / (fastest + _OMEGA_EARTH)


def _refine(look, lo, hi, which, level, ends, guide=None):
    """Refine sign changes bracketed by [lo, hi] (int64 ns) to 1 ms, all of them in one call per step.

    which: 0 for the epochs where the elevation is `level`, searched as the zeros
    of the satellite's height above the cone of that elevation (see geometry()),
    smooth across a whole pass; ends: that height and its first two derivatives
    at lo, then the same at hi. which: 1 for zeros of the elevation rate (maxima
    and minima of the elevation), searched on the rate of the sine of the
    elevation, smooth where the elevation itself turns sharply (a pass near the
    zenith); ends: the elevations and the first and second derivatives of their
    sines at lo, then the same at hi. The first estimate is the root of the
    Hermite polynomial matching what is known at both ends (for extrema, `guide`
    may give instead the values at lo and hi, then the derivatives at lo and hi,
    of a smoother function whose zero lies close by); then Newton's method, each
    evaluation giving the function and its derivative analytically (for the
    rate, its derivative in a central field, right to a few thousandths, so a
    step still divides the error by some hundreds). A Newton step shorter than
    _NEWTON_STEP (1 ms) is the last: the error left after it is a few
    microseconds; so is one whose error left, estimated from the curvature
    (the height's second derivative for roots, a difference of the last two
    second derivatives of the sine for extrema) and the slope's own error, is
    under _SETTLED (0.1 ms), which saves the round that would only confirm it.
    Every evaluation also narrows the bracket, so a step leaving it is replaced
    by a bisection, and bisection alone after a dozen steps bounds the worst
    case (the answer is then the middle of a 1 ms bracket).

    Returns the epochs, then the elevations, the two derivatives of their sines,
    and the height above the cone of `level` with its two derivatives there
    (extrapolated from the last evaluation).
    """
    lo, hi = lo.copy(), hi.copy()
    v_lo, d_lo, a_lo, v_hi, d_hi, a_hi = ends
    width = (hi - lo) / 1e9
    with np.errstate(invalid="ignore", divide="ignore", over="ignore"):
        if which == 0:
            # The quintic matching the height and its two derivatives at both ends.
            f0, f1 = v_lo, v_hi
            m0, m1 = d_lo * width, d_hi * width
            c0, c1 = a_lo * width * width, a_hi * width * width
            jump = f1 - f0
            poly = (
                f0,
                m0,
                0.5 * c0,
                10 * jump - 6 * m0 - 4 * m1 - 1.5 * c0 + 0.5 * c1,
                -15 * jump + 8 * m0 + 7 * m1 + 1.5 * c0 - c1,
                6 * jump - 3 * m0 - 3 * m1 - 0.5 * c0 + 0.5 * c1,
            )
        else:
            # The cubic matching a rate and its derivative at both ends: the sine's, or the guide's.
            f0, f1, m0, m1 = (d_lo, d_hi, a_lo, a_hi) if guide is None else guide
            m0, m1 = m0 * width, m1 * width
            poly = (f0, m0, -3 * f0 - 2 * m0 + 3 * f1 - m1, 2 * f0 + m0 - 2 * f1 + m1)
        slope = tuple(k * c for k, c in enumerate(poly))[1:]
        # Its root by Newton's method on the polynomial itself (no evaluation of the orbit),
        # from the chord's root, kept inside the bracket (np.minimum of np.maximum here and
        # below: np.clip's Python wrapper costs more than the arithmetic on these short arrays).
        s = np.minimum(np.maximum(f0 / (f0 - f1), 0.0), 1.0)
        for _ in range(8):
            value, derivative = poly[-1], slope[-1]
            for c in poly[-2::-1]:
                value = value * s + c
            for c in slope[-2::-1]:
                derivative = derivative * s + c
            moved, s = s, np.minimum(np.maximum(s - value / derivative, 0.0), 1.0)
            # A first estimate: a tenth of a millisecond of the widest bracket is plenty.
            if not (np.abs(s - moved) > 1e-7).any():
                break
        offset = s * width * 1e9
        x = lo + np.where(np.isfinite(offset), offset, -1.0).astype(np.int64)
    x = np.where((x > lo) & (x < hi), x, lo + (hi - lo) // 2)
    negative_at_lo = np.signbit(v_lo if which == 0 else d_lo)
    epochs = lo + (hi - lo) // 2
    # Elevation, sine rate, its rate, height and its two rates; a bracket already narrower than
    # 1 ms keeps the values at its start.
    found = [np.full(lo.size, np.nan) for _ in range(6)]
    for into, value in zip(found[3:] if which == 0 else found, ends[:3]):
        into[:] = value
    k = np.flatnonzero(hi - lo > _MS)
    # For extrema, the third derivative of the sine (the curvature of the function whose zero
    # is sought), first from the ends, then from the last two evaluations.
    third = np.abs(a_hi - a_lo) / width if which == 1 else None
    last_x, last_second = lo.astype(np.float64), np.asarray(a_lo, dtype=np.float64).copy()
    for step in range(96):
        if not k.size:
            break
        xk = x[k]
        el, rate, second, h, h1, h2 = look(xk, second=True, level=level)
        with np.errstate(invalid="ignore"):
            first = rate * np.cos(el)
        f, slope = (h, h1) if which == 0 else (first, second)
        past = np.signbit(f) == negative_at_lo[k]  # the answer is after xk
        a, b = np.where(past, xk, lo[k]), np.where(past, hi[k], xk)
        lo[k], hi[k] = a, b
        with np.errstate(invalid="ignore", divide="ignore", over="ignore"):
            delta = np.minimum(np.maximum(-f / slope * 1e9, -1e15), 1e15)
            # The error left after this Newton step: the quadratic term of the function's
            # curvature over its slope, doubled, plus the slope's own error (the central field
            # for extrema; for roots SGP4's velocity, consistent with its positions to a few
            # cm/s, against the height's rate in m/s).
            seconds = delta / 1e9
            if which == 0:
                curvature, relative = h2, 1e-4 + 0.05 / np.abs(h1)
            else:
                moved = (xk - last_x[k]) / 1e9
                fresh = np.abs(second - last_second[k]) / np.abs(moved)
                third[k] = np.where(np.isfinite(fresh) & (moved != 0), fresh, third[k])
                last_x[k], last_second[k] = xk, second
                curvature, relative = third[k], 5e-3
            left = np.abs(curvature / slope) * seconds * seconds + relative * np.abs(seconds)
        newton = np.isfinite(delta)
        delta = np.where(newton, delta, 0.0).astype(np.int64)
        target = xk + delta
        fine = newton & ((np.abs(delta) <= _NEWTON_STEP) | (left <= _SETTLED))
        done = fine | (b - a <= _MS)
        answer = np.where(fine, np.minimum(np.maximum(target, a), b), a + (b - a) // 2)
        dt = (answer - xk) / 1e9
        epochs[k] = np.where(done, answer, epochs[k])
        for into, value in zip(
            found, (el + rate * dt, first + second * dt, second, h + (h1 + 0.5 * h2 * dt) * dt, h1 + h2 * dt, h2)
        ):
            into[k] = np.where(done, value, into[k])
        x[k] = np.where(newton & (target > a) & (target < b) & (step < 12), target, a + (b - a) // 2)
        k = k[~done]
    return (epochs, *found)


def _at(ns: int) -> Time:
    return Time(np.array([ns], dtype=np.int64))[0]


def _ns(value) -> int:
    t = value if isinstance(value, Time) else Time(value)
    if not t.isscalar:
        raise ValueError("start and stop must be single epochs")
    return int(t.int64)


def find_passes(source, station: ENU, start, stop, min_elevation: float = 0.0, rule: str = "latest") -> list[Pass]:
    """Every pass of `source` (a TLE, or an ELSET by its governing-set `rule`) over `station`.

    A pass is an interval where the geometric elevation exceeds min_elevation
    (rad); the passes returned are those above it at some epoch between start
    and stop (anything Time() accepts). Rise, culmination (highest elevation)
    and set are found to 1 millisecond.
    """
    if not math.isfinite(min_elevation) or abs(min_elevation) >= math.pi / 2:
        raise ValueError(f"min_elevation must be in (-pi/2, pi/2) rad, got {min_elevation}")
    t0, t1 = _ns(start), _ns(stop)
    if t1 < t0:
        raise ValueError(f"stop {_at(t1)} is before start {_at(t0)}")
    look = _Look(source, station, rule)
    passes = _find(look, t0, t1, float(min_elevation))
    if look.failed:
        warnings.warn(
            f"SGP4 failed at {look.failed} of the epochs evaluated; no pass is reported where it could not propagate",
            RuntimeWarning,
            stacklevel=2,
        )
    return passes


def _find(look: _Look, t0: int, t1: int, level: float) -> list[Pass]:
    step = int(look.step() * 1e9)
    # A pass in progress at either end is followed for up to one period outside the window.
    pad = int(min(float(np.nanmax(look.periods)), 2 * 86400.0) * 1e9)
    count = (t1 - t0 + 2 * pad) // (2 * step) + 2
    coarse = t0 - pad + 2 * step * np.arange(count, dtype=np.int64)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # the error below says it once
        look.cover(int(coarse[0]), int(coarse[-1]))
    if not np.isfinite(look.rows_site).all():
        raise ValueError(
            f"the search from {_at(t0).utc.iso[:19]} to {_at(t1).utc.iso[:19]} UTC (and one orbital period "
            "either side) goes outside the Earth orientation data; no pass can be computed without them"
        )
    reach = look.reach(level)
    # The geocentric angle psi between station and satellite changes by at most pi/4 in a
    # step (see step()), so over an interval of two steps it stays above
    # (psi_a + psi_b - pi/2) / 2. Where that is beyond the reach of the level, the
    # elevation is below the level throughout and nothing there can be a pass: most of a
    # low orbit's intervals, which then need no epoch in the middle. The others get one.
    # Every quantity the brackets below need comes from the same evaluation (one native call).
    r, v = look.teme(coarse)
    grid_values = look.geometry(coarse, r, v, second=True, angle=True, guide=True, level=level)
    psi = grid_values[6]
    with np.errstate(invalid="ignore"):
        far = (psi[:-1] + psi[1:] - math.pi / 2) / 2 > reach
    middle = coarse[:-1][~far] + step
    r_m, v_m = look.teme(middle)
    middle_values = look.geometry(middle, r_m, v_m, second=True, angle=True, guide=True, level=level)
    order = np.argsort(np.concatenate((coarse, middle)), kind="stable")
    grid = np.concatenate((coarse, middle))[order]
    el, rate, acc, h, h1, h2, psi, c1, c2 = (np.concatenate(pair)[order] for pair in zip(grid_values, middle_values))
    with np.errstate(invalid="ignore"):
        sine_rate = rate * np.cos(el)
    finite = np.isfinite(el) & np.isfinite(rate)
    ok = finite[:-1] & finite[1:]
    rising = rate > 0
    above = el > level
    # Maxima: the rate turns from rising to falling. Minima matter only between two epochs
    # above the level, where a dip below it hides a set and a rise.
    turn = ok & (rising[:-1] != rising[1:])
    # So a maximum whose ends are both farther than reach + half the sweep between them
    # cannot rise above the level (the long intervals left above are all such).
    sweep = np.where(np.diff(grid) > step, math.pi / 2, math.pi / 4)
    with np.errstate(invalid="ignore"):
        near = (psi[:-1] + psi[1:] - sweep) / 2 <= reach
    k = np.flatnonzero(turn & ((rising[:-1] & near) | (above[:-1] & above[1:])))
    ends = (el[k], sine_rate[k], acc[k], el[k + 1], sine_rate[k + 1], acc[k + 1])
    # The extrema of the elevation lie within seconds of those of the geocentric angle,
    # smooth where the elevation turns sharply (a pass near the zenith): its cosine
    # gives the first estimates.
    guide = (c1[k], c1[k + 1], c2[k], c2[k + 1])
    extrema, ext_el, _, _, ext_h, ext_h1, ext_h2 = _refine(look, grid[k], grid[k + 1], 1, level, ends, guide)

    # Between consecutive extrema and grid epochs the elevation is monotonic: one root at most.
    points = np.concatenate((grid, extrema))
    values = np.concatenate((el, ext_el))
    order = np.argsort(points, kind="stable")
    points, values = points[order], values[order]
    heights = np.concatenate((h, ext_h))[order]
    climbs = np.concatenate((h1, ext_h1))[order]
    bends = np.concatenate((h2, ext_h2))[order]
    above = values > level
    valid = np.isfinite(values)
    change = np.flatnonzero((above[:-1] != above[1:]) & valid[:-1] & valid[1:])
    ends = (heights[change], climbs[change], bends[change], heights[change + 1], climbs[change + 1], bends[change + 1])
    roots = _refine(look, points[change], points[change + 1], 0, level, ends)[0]

    # Runs of epochs above the level are the passes; roots at their ends are rise and set.
    edges = np.diff(np.concatenate(([0], above.view(np.int8), [0])))
    firsts, lasts = np.flatnonzero(edges == 1), np.flatnonzero(edges == -1) - 1
    root_of = np.zeros(points.size, dtype=np.int64)  # bracket index (points j, j + 1) -> its root
    has_root = np.zeros(points.size, dtype=bool)
    root_of[change], has_root[change] = roots, True
    # The highest epoch of each run (a refined maximum, unless the run is cut by the search's ends).
    lengths = lasts - firsts + 1
    inside = np.flatnonzero(above)
    run = np.repeat(np.arange(firsts.size), lengths)
    best = np.maximum.reduceat(values, firsts) if firsts.size else values[:0]
    hits = values[inside] == best[run]
    tops = inside[hits][np.unique(run[hits], return_index=True)[1]]
    before = np.maximum(firsts - 1, 0)
    has_rise = (firsts > 0) & has_root[before]
    has_set = has_root[lasts]  # the last point closes no bracket
    rise = np.where(has_rise, root_of[before], points[firsts])
    fall = np.where(has_set, root_of[lasts], points[lasts])
    keep = (rise <= t1) & (fall >= t0)
    if not keep.any():
        return []
    # A rise or set that is not known is reported at the culmination (and then dropped).
    culmination = points[tops][keep]
    has_rise, has_set = has_rise[keep], has_set[keep]
    events = np.column_stack(
        (np.where(has_rise, rise[keep], culmination), culmination, np.where(has_set, fall[keep], culmination))
    )
    return _describe(look, events, has_rise, has_set, level)


def _describe(look: _Look, events, has_rise, has_set, level: float) -> list[Pass]:
    """The passes whose rise, culmination and set are the rows of events (int64 ns; a rise or
    set not known, as has_rise and has_set say, is given as the culmination)."""
    import erfa

    from velmar.frames.geodetic import sun_position, sunlit, topocentric

    r_events, v_events = look.teme(events.reshape(-1))
    # The reported angles through the full transformation, as look() gives them.
    aer = topocentric(*look.itrf(events.reshape(-1), r_events, v_events), look.station)
    # The Sun in TEME on daily rows: it moves about 1 deg a day there, so a linear blend of
    # two rows is off the arc by 0.002 deg at most, inside the series' own 0.01 deg.
    first, last = int(look.rows_ns[0]), int(look.rows_ns[-1])
    sun_ns = first + _SUN_ROW * np.arange((last - first) // _SUN_ROW + 2, dtype=np.int64)
    # GCRF to TEME is precession-nutation to the true equator and equinox of date, then a turn
    # by the equation of the equinoxes to the mean equinox (IAU 2000B, from erfa: within 1 mas
    # of IAU 2006/2000A at a twentieth of the cost, and the Sun's series is good to 36"). All
    # slow: blended linearly between epochs two months apart it is off by under 1" (the
    # semi-annual nutation), so it is computed at a few epochs only.
    count = -(-(last - first) // _FRAME_ROW) + 1
    frame_ns = first + (last - first) * np.arange(count, dtype=np.int64) // max(count - 1, 1)
    tt = (frame_ns / 1e9 + 32.184) / 86400.0  # TT days from J2000 (TAI counts from 2000-01-01T12:00 TAI)
    columns = erfa.rxr(
        erfa.rz(erfa.ee00b(2451545.0, tt), np.tile(np.eye(3), (count, 1, 1))), erfa.pnm00b(2451545.0, tt)
    )
    columns = columns.transpose(0, 2, 1)  # columns[j, i]: GCRF axis i in TEME
    j = np.clip(np.searchsorted(frame_ns, sun_ns, side="right") - 1, 0, max(count - 2, 0))
    w = ((sun_ns - frame_ns[j]) / max(int(frame_ns[-1] - frame_ns[0]) / max(count - 1, 1), 1.0))[:, None]
    sun_gcrf = sun_position(Time(sun_ns))
    sun_rows = np.einsum("ni,nij->nj", sun_gcrf, columns[j]) * (1 - w)
    sun_rows += np.einsum("ni,nij->nj", sun_gcrf, columns[np.minimum(j + 1, count - 1)]) * w

    def lit_and_dark(ns, r_sat):
        k = np.minimum(np.maximum((ns - first) // _SUN_ROW, 0), sun_ns.size - 2)
        f = ((ns - sun_ns[k]) / _SUN_ROW)[:, None]
        sun = sun_rows[k] * (1 - f) + sun_rows[k + 1] * f
        # The Sun's elevation is the look geometry's, with the Sun in place of the satellite.
        sun_el = look.geometry(ns, sun, np.zeros_like(sun))[0]
        return np.asarray(sunlit(r_sat, sun)), sun_el < _TWILIGHT

    lit, dark = lit_and_dark(events.reshape(-1), r_events)
    lit3, dark3 = lit.reshape(-1, 3), dark.reshape(-1, 3)
    visible = (lit3 & dark3).any(axis=1)
    # Between the events sunlight and darkness each change at most once in a pass of a
    # low orbit (the shadow and the night are longer than a pass): if the events agree
    # and none is visible, none between is. Other passes, and long ones, are sampled.
    durations = (events[:, 2] - events[:, 0]) / 1e9
    mixed = ~visible & ((lit3.any(axis=1) & dark3.any(axis=1)) | (durations > _LONG_PASS))
    if mixed.any():
        samples, owner = [], []
        for i in np.flatnonzero(mixed).tolist():
            lo, hi = int(events[i, 0]), int(events[i, 2])
            count = max(2, min(2000, int((hi - lo) / 1e9 / _VISIBILITY_SAMPLE) + 2))
            samples.append(np.linspace(lo, hi, count).astype(np.int64))
            owner.append(np.full(count, i))
        ns = np.concatenate(samples)
        el_s, _, r_s = look(ns, position=True)
        lit_s, dark_s = lit_and_dark(ns, r_s)
        np.logical_or.at(visible, np.concatenate(owner), lit_s & dark_s & (el_s >= level - 1e-6))
    # The fields of every pass as columns, then one record per pass: the frozen dataclass's
    # own __init__ sets its fields one by one through object.__setattr__, which would be
    # most of the cost of a long list of passes.
    az, el = aer["azimuth"].reshape(-1, 3), aer["elevation"].reshape(-1, 3)
    times = list(Time(events.reshape(-1)))
    columns = {
        "rise": [t if known else None for t, known in zip(times[0::3], has_rise.tolist())],
        "culmination": times[1::3],
        "set": [t if known else None for t, known in zip(times[2::3], has_set.tolist())],
        "rise_azimuth": np.where(has_rise, az[:, 0], np.nan).tolist(),
        "rise_elevation": np.where(has_rise, el[:, 0], np.nan).tolist(),
        "culmination_azimuth": az[:, 1].tolist(),
        "max_elevation": el[:, 1].tolist(),
        "set_azimuth": np.where(has_set, az[:, 2], np.nan).tolist(),
        "set_elevation": np.where(has_set, el[:, 2], np.nan).tolist(),
        "sunlit_rise": (lit3[:, 0] & has_rise).tolist(),
        "sunlit_culmination": lit3[:, 1].tolist(),
        "sunlit_set": (lit3[:, 2] & has_set).tolist(),
        "visible": visible.tolist(),
    }
    names = tuple(columns)
    result = []
    for values in zip(*columns.values()):
        one = object.__new__(Pass)
        one.__dict__.update(zip(names, values))
        result.append(one)
    return result


def look(source, station: ENU, time, rule: str = "latest"):
    """Azimuth, elevation, range and range rate (AERR records) of `source` from `station` at `time`."""
    from velmar.frames.geodetic import topocentric

    sight = _Look(source, station, rule)
    r, v = sight.itrf(np.asarray((time if isinstance(time, Time) else Time(time)).int64))
    return topocentric(r, v, station)
