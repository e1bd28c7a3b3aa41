"""Building and dropping velmar objects in a loop leaks neither memory nor references.

Each kind of object is built, used and dropped many times, failures
included. Over a batch of rounds that follows a warm-up batch of the same
size, neither the process's resident size nor the memory that tracemalloc
sees may grow by 1 MB, the count of the interpreter's allocated blocks must
stay put, and the reference counts of the objects every call shares (classes,
frames, Earth, the bulletin tables, the EOP interpolators, numpy's dtypes)
must be exactly what they were.

Memory the allocator takes once (a new arena because earlier tests left the
heap fragmented, a cache filled on first use) shows up in one batch; memory
the code keeps grows in every batch. So a batch over the limits is followed
by another, up to three, and the smallest growth is what is judged.

By default 10,000 rounds per batch, of which tracemalloc, which slows the
interpreter fivefold, watches batches of 1,000; `--fuzz-long` runs 100,000.
"""

import datetime
import gc
import os
import sys
import tracemalloc
from importlib.resources import files

import numpy as np
import pytest

from velmar.bodies.bodies import Earth
from velmar.frames import frames
from velmar.frames.frames import GCRF, ITRF, TEME
from velmar.iers.bulletins import BulletinA, BulletinC, leap_second_table
from velmar.iers.eop import EOP
from velmar.propagators.analytical.keplerian.keplerian import Keplerian
from velmar.propagators.analytical.sgp4.tle import ELSET, TLE
from velmar.propagators.propagators import Propagator
from velmar.satellite.satellite import Satellite
from velmar.state.ephemeris import COEEphemeris, StateVectorEphemeris
from velmar.state.state import COE, GeoState, StateVector
from velmar.time.time import Time

LONG = os.environ.get("VELMAR_FUZZ_LONG", "").strip().lower() not in ("", "0", "no", "false")
ROUNDS = 100_000 if LONG else 10_000
TRACED_ROUNDS = 100_000 if LONG else 1_000
BATCHES = 3
LIMIT = 1 << 20  # bytes
# Blocks that free lists and caches may still hold after a round; a leak of
# one object per round exceeds it many times over.
BLOCKS = 1_000
PAGE = os.sysconf("SC_PAGE_SIZE")

SAMPLE = (files("velmar") / "data" / "sample.tle").read_text(encoding="ascii").splitlines()
ISS1, ISS2 = SAMPLE[1], SAMPLE[2]
VANGUARD1, VANGUARD2 = SAMPLE[4], SAMPLE[5]


def resident_bytes():
    with open("/proc/self/statm") as stream:
        return int(stream.read().split()[1]) * PAGE


def iss_on_day(day):
    return TLE(ISS1[:20] + f"{day:012.8f}" + ISS1[32:], ISS2)


MEMBERS = [iss_on_day(day) for day in (264.5, 265.5, 266.5, 267.5)]
EPOCH = Time("2024-03-01T00:00:00")
R, V = [7000e3, 0.0, 0.0], [0.0, 7.5e3, 1.0e3]
TIMES = EPOCH + np.linspace(0.0, 6000.0, 16)
MJD = np.linspace(50000.0, 60000.0, 16)
EOP.get_TT_UT1_from_mjd_ut1(MJD)
for quantity in ("pm_x", "pm_y", "lod", "dX", "dY", "dat", "TAI_UT1"):
    getattr(EOP(MJD), quantity)


def shared_objects():
    """What every round touches and nothing may keep a reference to."""
    a, c = BulletinA(), BulletinC()
    named = {
        "Time": Time,
        "Frame": frames.Frame,
        "GCRF": GCRF,
        "ITRF": ITRF,
        "TEME": TEME,
        "_GCRF": type(GCRF),
        "Earth": Earth,
        "TLE": TLE,
        "ELSET": ELSET,
        "Keplerian": Keplerian,
        "Propagator": Propagator,
        "Satellite": Satellite,
        "StateVector": StateVector,
        "COE": COE,
        "StateVectorEphemeris": StateVectorEphemeris,
        "COEEphemeris": COEEphemeris,
        "EOP": EOP,
        "leap_second_table mjd": leap_second_table()[0],
        "leap_second_table dat": leap_second_table()[1],
        "BulletinA.mjd_utc": a.mjd_utc,
        "BulletinA.pm_x": a.pm_x,
        "BulletinA.dut": a.dut,
        "BulletinC.mjd_utc": c.mjd_utc,
        "BulletinC.dat": c.dat,
        "BulletinC.mjd_ut1": c.mjd_ut1,
        "float64": np.dtype(np.float64),
        "int64": np.dtype(np.int64),
        "bool": np.dtype(bool),
        "ISS": MEMBERS[0],
        "ISS epoch": MEMBERS[0].epoch,
        "EPOCH": EPOCH,
        "TIMES": TIMES,
        "MJD": MJD,
    }
    named.update(
        {f"EOP.{slot}": getattr(EOP, slot) for slot in vars(EOP) if slot.endswith(("_spline", "_interpolator"))}
    )
    return named


def refused(call, *errors):
    try:
        call()
    except errors:
        return
    raise AssertionError(f"{call} did not fail")


# ------------------------------------------------------------------ the rounds


def tle_round():
    for line1, line2 in ((ISS1, ISS2), (VANGUARD1, VANGUARD2)):
        t = TLE(line1, line2)
        t.satno, t.line1, t.line2, t.epoch, t.sma, t.tra, t._get_header(), str(t)
    refused(lambda: TLE(None, ISS2), TypeError)
    refused(lambda: TLE(ISS1, ISS2[:20] + "é"), ValueError)
    refused(lambda: TLE(ISS1[:5] + "\ud800", ISS2), UnicodeEncodeError)
    refused(lambda: TLE(ISS1[:18] + "08inf", ISS2), ValueError)  # Time refuses the epoch


def elset_round():
    e = ELSET(*MEMBERS[::-1], satname="ISS")
    e[0], e[-1], e[1:], e[::2], e[[0, 2]], e[[True, False, True, True]]
    e[MEMBERS[1].epoch : MEMBERS[3].epoch], e["2008-09-22":], e.inc, e.epoch, e.size, str(e)
    list(e), list(e.pairwise())
    refused(lambda: ELSET(), AssertionError)
    refused(lambda: ELSET(MEMBERS[0], TLE(VANGUARD1, VANGUARD2)), AssertionError)
    refused(lambda: e[99], IndexError)
    refused(lambda: e[10:], AssertionError)
    refused(lambda: e[np.array(1)], AttributeError)
    refused(lambda: e[[True]], IndexError)
    refused(lambda: e["2030":], AssertionError)


def time_round():
    t = Time("2024-03-01T12:30:15.25Z")
    many = Time(["2020-01-01", "2021-06-30T23:59:59", "2016-12-31T23:59:60"])
    Time(2460000.5, format="jd", scale="tt"), Time(np.array([60000.5, 60001.5]), format="mjd")
    Time(datetime.datetime(2024, 1, 1, 6)), Time(np.array(["2024-01-01"], dtype="M8[s]"))
    Time(many.int64), Time(t, scale="tai")
    t.iso, t.jd, t.mjd, t.tai, t.tt, t.datetime64, t.datetime, repr(t)
    many.iso, many.jd, many.utc, many[1], many[1:], list(many), repr(many)
    t + 1.5, many + np.arange(3.0), many - t, t - t, t < many, t == t
    refused(lambda: Time("2024-13-01"), ValueError)
    refused(lambda: Time(b"2024"), TypeError)
    refused(lambda: Time(float("nan"), format="jd"), ValueError)
    refused(lambda: Time("2292-04-10") + 2 * 86400.0, OverflowError)
    refused(lambda: many - Time(["2020", "2021"]), ValueError)


def states_round():
    sv = StateVector(EPOCH, GCRF, R, V)
    coe = sv.to_coe()
    coe.to_sv().r, coe.ecc, sv.v
    COE(EPOCH, GCRF, 0.1, 7.2e6, 0.9, 1.0, 2.0, 3.0).to_sv()
    GeoState(EPOCH, ITRF, 0.5, 1.0, 100.0)
    rs, vs = np.tile(R, (16, 1)), np.tile(V, (16, 1))
    eph = StateVectorEphemeris(TIMES, GCRF, rs, vs)
    elements = eph.to_coe()
    elements.to_sv().r, eph[3], list(eph)[-1], elements[2].tra, eph.r, eph.v
    refused(lambda: StateVector(EPOCH, GCRF, [1.0, 2.0], V), ValueError)
    refused(lambda: StateVectorEphemeris(TIMES, GCRF, rs[:3], vs), ValueError)


def keplerian_round():
    k = Keplerian()
    coe = COE(EPOCH, GCRF, 0.1, 7.2e6, 0.9, 1.0, 2.0, 3.0)
    eph = k.propagate_state(TIMES, coe)
    k.propagate(TIMES, StateVector(EPOCH, GCRF, R, V))
    k.jacobian(eph), k.GM
    Keplerian(GM=3.986e14).propagate_state("2024-03-02", coe)
    refused(lambda: k.propagate_state(TIMES, COE(EPOCH, GCRF, 1.5, -7.2e6, 0.9, 1.0, 2.0, 3.0)), NotImplementedError)
    refused(lambda: k.propagate_state(TIMES, None), TypeError)
    refused(lambda: k.jacobian(coe), TypeError)


def eop_round():
    e = EOP(MJD)
    e.pm_x, e.pm_y, e.lod, e.dX, e.dY, e.dat, e.TAI_UT1, e.dut, e.TT_UT1
    EOP.get_TT_UT1_from_mjd_ut1(MJD[::2])
    BulletinA().mjd_utc, BulletinC().mjd_ut1
    refused(lambda: EOP([50000.0]), TypeError)
    refused(lambda: EOP(MJD.astype(np.float32)), ValueError)
    EOP(np.array([1e5, np.nan, 50000.0])).TAI_UT1  # epochs outside the data: NaN there
    refused(lambda: EOP(None), TypeError)


def satellite_round():
    state = StateVector(EPOCH, GCRF, R, V)
    eph = StateVectorEphemeris(TIMES[:2], GCRF, np.array([R, R]), np.array([V, V]))
    sat = Satellite(TIMES, state, Keplerian(), eph, " ISS ", "station")
    sat.time, sat.state, sat.propagator, sat.ephemeris
    sat.name = "  renamed "
    sat.description = None
    refused(lambda: Satellite(TIMES, state, "not a propagator"), TypeError)
    refused(lambda: setattr(sat, "name", 42), TypeError)
    refused(lambda: Satellite("2024-13-01", state), ValueError)


ROUNDS_BY_KIND = {
    "TLE": tle_round,
    "ELSET and its selections": elset_round,
    "Time": time_round,
    "states and ephemerides": states_round,
    "Keplerian propagations and Jacobians": keplerian_round,
    "EOP quantities": eop_round,
    "Satellite": satellite_round,
}


def rounds(work, count):
    for _ in range(count):
        work()
    gc.collect()


def traced_limit(count):
    return LIMIT * max(count, 10_000) // 100_000


def batches(work, count, probe, limit):
    """Smallest growth of `probe()` over up to BATCHES batches of `count` rounds, stopping below `limit`."""
    least = None
    for _ in range(BATCHES):
        before = probe()
        rounds(work, count)
        growth = tuple(after - was for after, was in zip(probe(), before))
        least = growth if least is None else tuple(map(min, least, growth))
        if all(value < bound for value, bound in zip(least, limit)):
            break
    return least


def measure(work, count=ROUNDS, traced_count=TRACED_ROUNDS):
    """Growth of resident size, allocated blocks and traced memory, and moved reference counts."""
    rounds(work, count)
    shared = shared_objects()
    counts = {name: sys.getrefcount(value) for name, value in shared.items()}
    resident, blocks = batches(work, count, lambda: (resident_bytes(), sys.getallocatedblocks()), (LIMIT, BLOCKS))
    changed = {
        name: sys.getrefcount(value) - counts[name]
        for name, value in shared.items()
        if sys.getrefcount(value) != counts[name]
    }
    tracemalloc.start()
    try:
        rounds(work, 1)
        (traced,) = batches(
            work, traced_count, lambda: tracemalloc.get_traced_memory()[:1], (traced_limit(traced_count),)
        )
    finally:
        tracemalloc.stop()
    return resident, blocks, traced, changed


@pytest.mark.parametrize("kind", list(ROUNDS_BY_KIND))
def test_build_and_drop_leaks_nothing(kind, record_property):
    resident, blocks, traced, changed = measure(ROUNDS_BY_KIND[kind])
    for name, value in (("resident growth", resident), ("block growth", blocks), ("traced growth", traced)):
        record_property(name, value)
    print(
        f"\n{kind}: {ROUNDS} rounds resident {resident:+d} B, blocks {blocks:+d}; "
        f"{TRACED_ROUNDS} rounds tracemalloc {traced:+d} B"
    )
    assert not changed, f"reference counts moved by {changed}"
    assert resident < LIMIT and blocks < BLOCKS, (resident, blocks)
    assert traced < traced_limit(TRACED_ROUNDS), traced


def test_the_measurement_sees_a_leak():
    kept = []

    def leaky():
        kept.append((Time("2024-03-01"), Earth, np.zeros(16)))

    resident, blocks, traced, changed = measure(leaky, count=2_000, traced_count=1_000)
    # Growing in every batch, it is measured over all of them.
    assert changed["Time"] == changed["Earth"] == BATCHES * 2_000 and changed["float64"] >= 2_000
    assert blocks >= 2 * 2_000 and traced > traced_limit(1_000)
