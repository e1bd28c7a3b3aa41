import bisect
import datetime as dt
import warnings

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

sgp4_api = pytest.importorskip("sgp4.api")
Satrec, jday = sgp4_api.Satrec, sgp4_api.jday

from velmar.frames.frames import TEME  # noqa: E402
from velmar.propagators.analytical.sgp4.sgp4 import (  # noqa: E402
    SGP4,
    SGP4Error,
    SGP4Warning,
    governing_index,
)
from velmar.propagators.analytical.sgp4.tle import ELSET, TLE  # noqa: E402
from velmar.propagators.propagators import Propagator  # noqa: E402
from velmar.state.ephemeris import StateVectorEphemeris  # noqa: E402
from velmar.time.time import Time  # noqa: E402

ISS = (
    "1 25544U 98067A   08264.51782528 -.00002182  00000-0 -11606-4 0  2927",
    "2 25544  51.6416 247.4627 0006703 130.5360 325.0288 15.72125391563537",
)
MOLNIYA = (  # deep space, 12-hour resonance
    "1 08195U 75081A   06176.33215444  .00000099  00000-0  11873-3 0   813",
    "2 08195  64.1586 279.0717 6877146 264.7651  20.2257  2.00491383225656",
)
GEO = (  # deep space, 24-hour resonance
    "1 28626U 05008A   06176.46683397 -.00000205  00000-0  10000-3 0  2190",
    "2 28626   0.0019 286.9433 0000335  13.7918  55.6504  1.00270176  4891",
)
# The ISS set moved to the last day of 2016, which ended with a leap second.
ISS_2016 = (ISS[0][:18] + "16366.50000000" + ISS[0][32:], ISS[1])
# Drag a thousand times the usual: the mean eccentricity leaves [0, 1) within a day.
DOOMED = (
    "1 88888U          80275.98708465  .00073094  13844-3  66816-1 0    87",
    "2 88888  72.8435 115.9689 0086731  52.6988 110.5714 16.05824518  1058",
)


TAI_ORIGIN = dt.datetime(2000, 1, 1, 12)  # what Time's integers count from, on TAI
TAI_MINUS_UTC_2002 = dt.timedelta(seconds=32)


def utc_grid(start: dt.datetime, seconds) -> list[dt.datetime]:
    return [start + dt.timedelta(seconds=float(s)) for s in seconds]


def iso(moments) -> list[str]:
    return [m.isoformat(timespec="microseconds") for m in moments]


def reference(lines, moments):
    """sgp4 called directly, on Julian dates made from the UTC calendar readings."""
    parts = [jday(m.year, m.month, m.day, m.hour, m.minute, m.second + m.microsecond * 1e-6) for m in moments]
    jd, fr = (np.array(p) for p in zip(*parts))
    e, r, v = Satrec.twoline2rv(*lines).sgp4_array(jd, fr)
    return e, r * 1000.0, v * 1000.0


def epoch_of(lines) -> dt.datetime:
    s = Satrec.twoline2rv(*lines)
    return dt.datetime(2000, 1, 1) + dt.timedelta(days=s.jdsatepoch + s.jdsatepochF - 2451544.5)


@pytest.fixture(scope="module")
def spot5(spot5_lines):
    return ELSET(*(TLE(a, b) for a, b in spot5_lines))


# --- same numbers as sgp4 ---------------------------------------------------------


@pytest.mark.parametrize("lines", [ISS, MOLNIYA, GEO], ids=["iss", "molniya", "geo"])
def test_positions_and_velocities_are_those_of_sgp4(lines):
    offsets = np.concatenate([np.linspace(-86400.0, 3 * 86400.0, 97), [0.000001, 1234.567891]])
    moments = utc_grid(epoch_of(lines).replace(microsecond=0), offsets)
    eph = SGP4().propagate_state(Time(iso(moments)), TLE(*lines))
    e, r, v = reference(lines, moments)
    assert not e.any()
    np.testing.assert_allclose(eph.r, r, rtol=0, atol=1e-3)
    np.testing.assert_allclose(eph.v, v, rtol=0, atol=1e-6)


def test_epochs_across_a_leap_second_are_read_on_utc():
    # TAI runs 3 s from 23:59:59 to 00:00:01 over the inserted second, UTC 2 s:
    # a Julian date made from TAI (or off by the second) would put the ISS 7.7 km out.
    moments = [
        dt.datetime(2016, 12, 31, 23, 59, 58),
        dt.datetime(2016, 12, 31, 23, 59, 59, 500000),
        dt.datetime(2017, 1, 1),
        dt.datetime(2017, 1, 1, 0, 0, 1, 250000),
    ]
    eph = SGP4().propagate_state(Time(iso(moments)), TLE(*ISS_2016))
    _, r, _ = reference(ISS_2016, moments)
    np.testing.assert_allclose(eph.r, r, rtol=0, atol=1e-3)
    assert (Time(iso(moments[-1:])) - Time(iso(moments[:1])))[0] == pytest.approx(4.25)


def test_ephemeris_is_teme_with_the_wgs72_gm_and_one_row_per_epoch():
    moments = utc_grid(epoch_of(ISS), [0.0, 60.0, 120.0])
    eph = SGP4().propagate_state(Time(iso(moments)), TLE(*ISS))
    assert isinstance(eph, StateVectorEphemeris)
    assert eph.frame is TEME and eph.size == 3
    assert eph.GM == pytest.approx(398600.8e9)
    np.testing.assert_array_equal(eph.time.int64, Time(iso(moments)).int64)


def test_a_single_epoch_gives_a_one_row_ephemeris():
    moment = epoch_of(ISS) + dt.timedelta(minutes=45)
    eph = SGP4().propagate_state(moment.isoformat(), TLE(*ISS))
    _, r, _ = reference(ISS, [moment])
    assert eph.size == 1
    np.testing.assert_allclose(eph.r, r, rtol=0, atol=1e-3)


def test_is_a_propagator_and_propagate_goes_through_propagate_state():
    sgp4 = SGP4()
    assert isinstance(sgp4, Propagator)
    times = Time(iso(utc_grid(epoch_of(ISS), [0.0, 600.0])))
    np.testing.assert_array_equal(sgp4.propagate(times, TLE(*ISS)).r, sgp4.propagate_state(times, TLE(*ISS)).r)


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda s, t: s.propagate_state(t, ISS), TypeError),
        (lambda s, t: s.propagate_elset(t, TLE(*ISS)), TypeError),
        (lambda s, t: s.propagate_elset(t, ELSET(TLE(*ISS)), rule="closest"), ValueError),
        (lambda s, t: s.propagate_state(t, TLE(*ISS), errors="ignore"), ValueError),
    ],
)
def test_bad_arguments_are_refused(call, error):
    with pytest.raises(error):
        call(SGP4(), Time("2008-09-20T12:00:00"))


# --- which member governs ---------------------------------------------------------


def latest_reference(members, t):
    return max(bisect.bisect_right(members, t) - 1, 0)


def nearest_reference(members, t):
    best = 0
    for j, m in enumerate(members):
        if abs(t - m) < abs(t - members[best]) or m == members[best]:
            best = j
    return best


@settings(max_examples=60, deadline=None)
@given(
    st.lists(st.integers(-(10**6), 10**6), min_size=1, max_size=12).map(sorted),
    st.lists(st.integers(-2 * 10**6, 2 * 10**6), min_size=1, max_size=20),
)
def test_governing_index_matches_a_plain_reference(members, epochs):
    epochs = epochs + members + [m + 1 for m in members] + [m - 1 for m in members]
    epochs += [(a + b) // 2 for a, b in zip(members, members[1:])]
    got_latest = governing_index(members, epochs, "latest")
    got_nearest = governing_index(members, epochs, "nearest")
    assert got_latest.tolist() == [latest_reference(members, t) for t in epochs]
    assert got_nearest.tolist() == [nearest_reference(members, t) for t in epochs]


@pytest.mark.parametrize("rule, reference_rule", [("latest", latest_reference), ("nearest", nearest_reference)])
def test_spot5_history_is_governed_as_the_reference_says(spot5, rule, reference_rule):
    members = spot5.epoch.int64.tolist()
    day = 86_400 * 10**9
    rng = np.random.default_rng(5)
    epochs = (
        members
        + [m + d for m in members for d in (-1, 1)]
        + [(a + b) // 2 for a, b in zip(members, members[1:])]
        + [members[0] - day, members[0] - 1, members[-1] + 1, members[-1] + day]
        + rng.integers(members[0], members[-1], 500).tolist()
    )
    eph = SGP4().propagate_elset(Time(np.array(epochs, dtype=np.int64)), spot5, rule=rule)
    assert eph.governing.tolist() == [reference_rule(members, t) for t in epochs]


def test_each_row_comes_from_its_member_whatever_the_order_of_epochs(spot5):
    start = epoch_of((spot5[0].line1, spot5[0].line2))
    moments = utc_grid(start.replace(microsecond=0), np.random.default_rng(7).uniform(-3600.0, 50 * 86400.0, 400))
    eph = SGP4().propagate_elset(Time(iso(moments)), spot5, rule="nearest")
    for j in np.unique(eph.governing):
        rows = np.flatnonzero(eph.governing == j)
        member = spot5[int(j)]
        _, r, v = reference((member.line1, member.line2), [moments[k] for k in rows])
        np.testing.assert_allclose(eph.r[rows], r, rtol=0, atol=1e-3)
        np.testing.assert_allclose(eph.v[rows], v, rtol=0, atol=1e-6)
    ordered = np.argsort(eph.time.int64, kind="stable")
    again = SGP4().propagate_elset(Time(eph.time.int64[ordered]), spot5, rule="nearest")
    np.testing.assert_array_equal(again.r, eph.r[ordered])
    np.testing.assert_array_equal(again.governing, eph.governing[ordered])


def test_an_elset_given_to_propagate_state_is_propagated_as_a_history(spot5):
    times = Time(spot5.epoch.int64[[3, 100, 200]] + 10**9)
    np.testing.assert_array_equal(SGP4().propagate_state(times, spot5).governing, [3, 100, 200])


# --- continuity -------------------------------------------------------------------


def test_position_jumps_only_where_and_as_much_as_the_sets_disagree(spot5):
    step = 10.0
    members = spot5.epoch.int64
    start = int(members[0])
    times = Time(start + np.arange(int(12 * 86400 / step)).astype(np.int64) * int(step * 1e9))
    eph = SGP4().propagate_elset(times, spot5)
    r, v, g = np.asarray(eph.r), np.asarray(eph.v), eph.governing
    # Second-order prediction of each row from the one before, with two-body
    # gravity: good to about a metre over 10 s.
    a = -398600.8e9 * r / np.linalg.norm(r, axis=1)[:, None] ** 3
    predicted = r[:-1] + v[:-1] * step + 0.5 * a[:-1] * step**2
    jump = np.linalg.norm(r[1:] - predicted, axis=1)
    change = np.flatnonzero(g[1:] != g[:-1])
    assert change.size > 20
    steady = np.ones(jump.size, dtype=bool)
    steady[change] = False
    assert jump[steady].max() < 5.0

    # At a change the new row is the new set's position; the old set, carried
    # on to that epoch, lies where the smooth prediction does.
    for k in change:
        old, new = spot5[int(g[k])], spot5[int(g[k + 1])]
        moment = [TAI_ORIGIN - TAI_MINUS_UTC_2002 + dt.timedelta(microseconds=int(times.int64[k + 1]) // 1000)]
        _, r_old, _ = reference((old.line1, old.line2), moment)
        _, r_new, _ = reference((new.line1, new.line2), moment)
        disagreement = np.linalg.norm(r_new[0] - r_old[0])
        assert abs(jump[k] - disagreement) < 5.0


# --- failures ---------------------------------------------------------------------


def test_failed_epochs_are_nan_and_warned_about():
    start = epoch_of(DOOMED).replace(microsecond=0)
    moments = utc_grid(start, np.arange(0.0, 2 * 86400.0, 1800.0))
    e, _, _ = reference(DOOMED, moments)
    assert 0 < np.count_nonzero(e) < e.size
    first = moments[int(np.flatnonzero(e)[0])]
    with pytest.warns(SGP4Warning) as caught:
        eph = SGP4().propagate_state(Time(iso(moments)), TLE(*DOOMED))
    assert np.isnan(eph.r[e != 0]).all() and np.isnan(eph.v[e != 0]).all()
    assert np.isfinite(eph.r[e == 0]).all()
    message = str(caught[0].message)
    assert f"{np.count_nonzero(e)} of {e.size} epochs" in message
    assert first.isoformat()[:19] in message.replace(" ", "T")
    assert sgp4_api.SGP4_ERRORS[int(e[e != 0][0])] in message
    assert caught[0].filename == __file__


def test_errors_raise_raises_instead():
    moments = utc_grid(epoch_of(DOOMED), [0.0, 86400.0])
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(SGP4Error, match="1 of 2 epochs"):
            SGP4().propagate_state(Time(iso(moments)), TLE(*DOOMED), errors="raise")
