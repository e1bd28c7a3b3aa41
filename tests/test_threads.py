"""velmar from eight threads at once.

The modules take no locks of their own; users still call them from thread
pools. Eight threads parse TLEs, select from one ELSET, propagate with one
Keplerian and race for the first access of the EOP interpolators, with the
interpreter switching threads every few microseconds. Nothing may crash,
every result must be the one a single thread gets, and each EOP slot must
end up holding one working interpolator.

`--fuzz-long` runs each thread 1,000 times; the default run does fewer.
"""

import os
import sys
import threading
from importlib.resources import files

import numpy as np
from conftest import EOP_SLOTS
from scipy.interpolate import CubicSpline, interp1d

from velmar.frames.frames import GCRF
from velmar.iers.eop import EOP
from velmar.propagators.analytical.keplerian.keplerian import Keplerian
from velmar.propagators.analytical.sgp4.tle import ELSET, TLE
from velmar.state.state import COE
from velmar.time.time import Time

LONG = os.environ.get("VELMAR_FUZZ_LONG", "").strip().lower() not in ("", "0", "no", "false")
THREADS = 8
REPEATS = 1_000 if LONG else 100
EOP_RACES = 1_000 if LONG else 40

SAMPLE = (files("velmar") / "data" / "sample.tle").read_text(encoding="ascii").splitlines()
PAIRS = [(SAMPLE[i + 1], SAMPLE[i + 2]) for i in range(0, len(SAMPLE), 3)]
ELEMENTS = ("inc", "raa", "ecc", "mea", "arp", "mnm", "sma", "orp", "eca", "tra", "pge", "apg")
SLOTS = EOP_SLOTS
QUANTITIES = ["pm_x", "pm_y", "lod", "dX", "dY", "dat", "TAI_UT1", "dut", "TT_UT1"]


def together(task, repeats):
    """Run task(thread, repeat) in THREADS threads released at once; return each thread's results."""
    barrier = threading.Barrier(THREADS)
    results = [None] * THREADS
    errors = []

    def worker(index):
        try:
            barrier.wait()
            results[index] = [task(index, k) for k in range(repeats)]
        except BaseException as error:  # noqa: BLE001 - handed to the main thread
            errors.append(error)
            barrier.abort()

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(THREADS)]
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        sys.setswitchinterval(interval)
    if errors:
        raise errors[0]
    return results


def iss_on_day(day, inc):
    line1, line2 = PAIRS[0]
    return line1[:20] + f"{day:012.8f}" + line1[32:], line2[:8] + f"{inc:8.4f}" + line2[16:]


LINES = PAIRS + [iss_on_day(200.0 + 3.7 * k, 50.0 + 0.5 * k) for k in range(12)]


def reading(tle):
    return (
        tle.line1,
        tle.line2,
        tle.satno,
        tle.epoch.int64,
        tle.epoch.iso,
        str(tle),
        *(getattr(tle, name) for name in ELEMENTS),
    )


def test_tle_parsing():
    expected = [reading(TLE(*pair)) for pair in LINES]

    def parse(index, repeat):
        # Each thread starts at another line so that different lines meet.
        order = range(index + repeat, index + repeat + len(LINES))
        got = [(k % len(LINES), reading(TLE(*LINES[k % len(LINES)]))) for k in order]
        return all(value == expected[k] for k, value in got)

    assert all(all(done) for done in together(parse, REPEATS))


MEMBERS = [TLE(*pair) for pair in LINES[len(PAIRS) :]]
SHARED = ELSET(*MEMBERS[::-1], satname="ISS")
SELECTORS = [
    0,
    -1,
    5,
    slice(2, 9),
    slice(None, None, 3),
    [1, 1, 4],
    [k % 3 == 0 for k in range(12)],
    np.array([11, 0, 6]),
    slice(MEMBERS[3].epoch, MEMBERS[8].epoch),
    slice("2008-08-01", None),
]


def selected(result):
    """What a selection gave, as member positions: one int or a tuple of them."""
    if isinstance(result, TLE):
        return MEMBERS.index(result)
    return tuple(MEMBERS.index(result[i]) for i in range(result.size)), result.inc.tolist()


def test_elset_selection():
    expected = [selected(SHARED[s]) for s in SELECTORS]
    pairs = [(MEMBERS.index(a), MEMBERS.index(b)) for a, b in SHARED.pairwise()]

    def select(index, repeat):
        k = (index + repeat) % len(SELECTORS)
        ok = selected(SHARED[SELECTORS[k]]) == expected[k]
        return ok and [(MEMBERS.index(a), MEMBERS.index(b)) for a, b in SHARED.pairwise()] == pairs

    assert all(all(done) for done in together(select, REPEATS))
    assert SHARED.size == len(MEMBERS) and SHARED.satname == "ISS"


def test_keplerian_propagation():
    propagator = Keplerian()
    epoch = Time("2024-03-01T00:00:00")
    states = [
        COE(epoch, GCRF, ecc, 7.2e6 + 1e5 * k, 0.9, 1.0, 2.0, 0.5 * k)
        for k, ecc in enumerate((0.0, 0.1, 0.5, 0.9, 0.999))
    ]
    times = epoch + np.linspace(-9000.0, 90000.0, 200)
    expected = []
    for state in states:
        ephemeris = propagator.propagate_state(times, state)
        expected.append((ephemeris.r.copy(), ephemeris.v.copy(), propagator.jacobian(ephemeris)))

    def propagate(index, repeat):
        k = (index + repeat) % len(states)
        ephemeris = propagator.propagate_state(times, states[k])
        r, v, jacobian = expected[k]
        return (
            np.array_equal(ephemeris.r, r)
            and np.array_equal(ephemeris.v, v)
            and np.array_equal(propagator.jacobian(ephemeris), jacobian)
        )

    assert all(all(done) for done in together(propagate, REPEATS))


def test_eop_first_access(eop_slots):
    mjd = np.linspace(45000.0, 61000.0, 64)
    for name in SLOTS:
        setattr(EOP, name, None)
    expected = {name: getattr(EOP(mjd), name) for name in QUANTITIES}
    expected["TT-UT1 from MJD(UT1)"] = EOP.get_TT_UT1_from_mjd_ut1(mjd)

    def access(index, repeat):
        # Each thread asks in another order, so that every slot is raced for.
        names = list(expected)
        names = names[index % len(names) :] + names[: index % len(names)]
        e = EOP(mjd)
        for name in names:
            value = EOP.get_TT_UT1_from_mjd_ut1(mjd) if name == "TT-UT1 from MJD(UT1)" else getattr(e, name)
            if not np.array_equal(value, expected[name]):
                return name
        return None

    for _ in range(EOP_RACES):
        for name in SLOTS:
            setattr(EOP, name, None)
        wrong = [name for done in together(access, 1) for name in done if name]
        assert not wrong, f"different values from {wrong}"
        for name in SLOTS:
            slot = getattr(EOP, name)
            assert isinstance(slot, CubicSpline if name.endswith("_spline") else interp1d), (name, slot)
    # The interpolators left in place are the working ones.
    e = EOP(mjd)
    for name in QUANTITIES:
        np.testing.assert_array_equal(getattr(e, name), expected[name])
    np.testing.assert_array_equal(EOP.get_TT_UT1_from_mjd_ut1(mjd), expected["TT-UT1 from MJD(UT1)"])
