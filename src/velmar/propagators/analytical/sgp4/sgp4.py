"""SGP4 propagation of two-line element sets and of whole element-set histories.

The numbers come from the `sgp4` package (Vallado's C++ SGP4 behind its
vectorised `Satrec.sgp4_array`); this module only chooses which element set
governs each epoch, hands `sgp4` exact UTC Julian dates, converts kilometres to
metres and wraps the result as an ephemeris in the TEME frame.
"""

from __future__ import annotations

import sys
import warnings
from types import FrameType

import numpy as np
from sgp4.api import SGP4_ERRORS, WGS72, Satrec

from velmar.frames.frames import TEME
from velmar.propagators.analytical.sgp4.tle import ELSET, TLE
from velmar.propagators.propagators import Propagator
from velmar.state.ephemeris import StateVectorEphemeris
from velmar.time.time import Time

__all__ = ["SGP4", "SGP4Error", "SGP4Warning", "governing_index"]

# Element sets are fitted with the WGS-72 constants, and `sgp4` propagates them
# with those; the ephemeris carries the matching GM so that its elements agree.
GM_WGS72 = 398600.8e9  # m^3/s^2

_NS_PER_DAY = 86_400 * 10**9
_JD_OF_1970 = 2_440_587.5  # 1970-01-01T00:00, where datetime64 counts from
_RULES = ("latest", "nearest")
_ERRORS = ("warn", "raise")


class SGP4Warning(RuntimeWarning):
    """SGP4 could not propagate some epochs; their rows are NaN."""


class SGP4Error(RuntimeError):
    """SGP4 could not propagate some epochs (raised with errors="raise")."""


def governing_index(member_epochs, epochs, rule: str = "latest") -> np.ndarray:
    """Position of the member that governs each epoch (int64 array).

    `member_epochs` and `epochs` are the int64 forms of the epochs, the first in
    ascending order. "latest": the newest member at or before the epoch (the
    first member before the first epoch). "nearest": the member whose epoch is
    closest, a tie going to the earlier epoch. Of members with equal epochs,
    both rules take the last, the one given last being taken as the newer.
    """
    _check_rule(rule)
    members = np.asarray(member_epochs, dtype=np.int64)
    epochs = np.asarray(epochs, dtype=np.int64)
    before = np.searchsorted(members, epochs, side="right") - 1
    if rule == "latest" or members.size < 2:
        return np.maximum(before, 0)
    last = members.size - 1
    # The first member after the epoch, moved to the last of its equal-epoch run.
    run_end = np.flatnonzero(np.append(members[1:] != members[:-1], True))
    last_of_run = np.repeat(run_end, np.diff(np.append(-1, run_end)))
    after = last_of_run[np.minimum(before + 1, last)]
    below = np.maximum(before, 0)
    # Exact int64 differences; past either end only one side exists.
    to_below = epochs - members[below]
    to_after = members[after] - epochs
    take_after = (before < 0) | ((before < last) & (to_after < to_below))
    return np.where(take_after, after, below)


def _epochs(time) -> tuple[Time, np.ndarray]:
    """The epochs as an array Time and their int64 nanoseconds."""
    if not isinstance(time, Time):
        time = Time(time)
    raw = time.int64
    ns = np.asarray(raw, dtype=np.int64).reshape(-1)
    if np.ndim(raw) == 0:
        time = Time(ns)
    return time, ns


def _julian_dates(time: Time) -> tuple[np.ndarray, np.ndarray]:
    """UTC Julian dates in two parts: the day (at midnight, ending in .5) and its fraction.

    A float64 Julian date resolves only about 40 microseconds (30 cm along a low
    orbit), so the day and the fraction are split from Time's exact UTC reading
    in integer nanoseconds. Inside an inserted leap second that reading holds at
    the last nanosecond of the day, as any count of UTC days must.
    """
    utc_ns = np.asarray(time.utc.datetime64, dtype="datetime64[ns]").reshape(-1).view(np.int64)
    day, ns_of_day = np.divmod(utc_ns, _NS_PER_DAY)
    return _JD_OF_1970 + day.astype(np.float64), ns_of_day / float(_NS_PER_DAY)


def _satrec(tle) -> Satrec:
    return Satrec.twoline2rv(tle.line1, tle.line2, WGS72)


def _iso(ns: int) -> str:
    return str(Time(np.array([ns], dtype=np.int64)).utc.iso[0])


class SGP4(Propagator):
    """SGP4 propagation of two-line element sets, computed by the `sgp4` package.

    `propagate_state(time, tle)` gives the ephemeris of one element set;
    `propagate_elset(time, elset, rule="latest")` that of a satellite's whole
    history, each epoch propagated from the member that governs it. Results are
    StateVectorEphemeris objects in the TEME frame, in metres and metres per
    second, with the WGS-72 gravitational parameter. Epochs SGP4 cannot
    propagate (a decayed orbit, an eccentricity out of range) give NaN rows and
    an SGP4Warning, or an SGP4Error with errors="raise".
    """

    # Takes element sets, not the states the base class is written for.
    def propagate_state(self, time, tle, errors: str = "warn") -> StateVectorEphemeris:  # type: ignore[override]
        """Ephemeris of one TLE at the epochs of `time` (anything Time() accepts).

        An ELSET is propagated as propagate_elset(time, elset) does. Epochs SGP4
        cannot propagate are NaN rows and an SGP4Warning (errors="warn"), or
        raise an SGP4Error (errors="raise").
        """
        if isinstance(tle, ELSET):
            return self.propagate_elset(time, tle, errors=errors)
        if not isinstance(tle, TLE):
            raise TypeError(f"Argument 'tle' has incorrect type (expected TLE, got {type(tle).__name__})")
        _check_errors(errors)
        time, ns = _epochs(time)
        jd, fr = _julian_dates(time)
        e, r, v = _satrec(tle).sgp4_array(jd, fr)
        r *= 1000.0
        v *= 1000.0
        _report_failures(e, r, v, ns, lambda k: tle, errors)
        return StateVectorEphemeris(time, TEME, r, v, GM=GM_WGS72)

    def propagate_elset(self, time, elset, rule: str = "latest", errors: str = "warn") -> StateVectorEphemeris:
        """Ephemeris at the epochs of `time`, each from the member of `elset` that governs it.

        rule="latest": the newest set at or before the epoch (before the first
        set, the first); rule="nearest": the set whose epoch is closest (a tie
        goes to the earlier). Each member is propagated once, over all its
        epochs. The ephemeris' `governing` attribute is the int64 array of the
        members' positions in `elset`, one per epoch. `errors` as for
        propagate_state.
        """
        if not isinstance(elset, ELSET):
            raise TypeError(f"Argument 'elset' has incorrect type (expected ELSET, got {type(elset).__name__})")
        _check_errors(errors)
        _check_rule(rule)
        time, ns = _epochs(time)
        index = governing_index(elset.epoch.int64, ns, rule)
        jd, fr = _julian_dates(time)
        n = ns.size

        # Sorted epochs (the usual case) are already grouped by member.
        order = None
        if n > 1 and np.any(index[1:] < index[:-1]):
            order = np.argsort(index, kind="stable")
            jd, fr = jd[order], fr[order]
        grouped = index if order is None else index[order]
        starts = np.flatnonzero(np.concatenate(([n > 0], grouped[1:] != grouped[:-1])))
        stops = np.append(starts[1:], n)

        e = np.empty(n, dtype=np.uint8)
        r = np.empty((n, 3))
        v = np.empty((n, 3))
        for a, b in zip(starts.tolist(), stops.tolist()):
            e[a:b], r_km, v_km = _satrec(elset[int(grouped[a])]).sgp4_array(jd[a:b], fr[a:b])
            np.multiply(r_km, 1000.0, out=r[a:b])
            np.multiply(v_km, 1000.0, out=v[a:b])
        if order is not None:
            e[order], r[order], v[order] = e.copy(), r.copy(), v.copy()
        _report_failures(e, r, v, ns, lambda k: elset[int(index[k])], errors)
        ephemeris = StateVectorEphemeris(time, TEME, r, v, GM=GM_WGS72)
        index.flags.writeable = False
        ephemeris.governing = index  # type: ignore[attr-defined]  # in the instance dictionary, for SGP4 ephemerides only
        return ephemeris


def _check_rule(rule: str) -> None:
    if rule not in _RULES:
        raise ValueError(f"rule must be 'latest' or 'nearest', got {rule!r}")


def _check_errors(errors: str) -> None:
    if errors not in _ERRORS:
        raise ValueError(f"errors must be 'warn' or 'raise', got {errors!r}")


def _report_failures(e, r, v, ns, member_of, errors: str) -> None:
    """NaN rows where SGP4 failed, and a warning (or an error) saying where and why."""
    failed = e != 0
    count = int(np.count_nonzero(failed))
    if not count:
        return
    r[failed] = np.nan
    v[failed] = np.nan
    where = np.flatnonzero(failed)
    k = int(where[np.argmin(ns[where])])
    code = int(e[k])
    meaning = SGP4_ERRORS.get(code, "an error code this version of sgp4 does not describe")
    tle = member_of(k)
    message = (
        f"SGP4 failed at {count} of {ns.size} epochs; the first is {_iso(int(ns[k]))} UTC, "
        f"from the set of {tle.epoch.utc.iso} UTC: error {code}, {meaning}"
    )
    if errors == "raise":
        raise SGP4Error(message)
    warnings.warn(message, SGP4Warning, stacklevel=_caller_level())


def _caller_level() -> int:
    """The stack level of the first frame outside this module, so the warning points at the user's call."""
    frame: FrameType | None = sys._getframe(1)
    level = 1
    while frame is not None and frame.f_code.co_filename == __file__:
        frame, level = frame.f_back, level + 1
    return level
