import gc
import math
import weakref

import numpy as np
import pytest
from conftest import assert_child_ok
from scipy.spatial.transform import Rotation

from velmar.frames.frames import GCRF, ITRF, TEME
from velmar.propagators.analytical.keplerian.keplerian import Keplerian
from velmar.state.ephemeris import COEEphemeris, Ephemeris, GeoStateEphemeris, StateVectorEphemeris
from velmar.state.state import COE, StateVector
from velmar.time.time import Time

EPOCH = Time("2024-03-01T00:00:00")
GM = 3.986004418e14
KEYS = ("ecc", "sma", "inc", "raa", "arp", "tra")


def times(n):
    return Time(EPOCH.int64 + np.arange(n, dtype=np.int64) * 60_000_000_000)


def varied_elements(n, seed=1):
    """Elliptic and hyperbolic elements, every one different at every epoch."""
    rng = np.random.default_rng(seed)
    ecc = rng.uniform(0.0, 2.0, n)
    ecc[::7] = 0.0
    slr = rng.uniform(6.6e6, 4e7, n)
    elements = dict(
        ecc=ecc,
        sma=slr / (1 - ecc**2),
        inc=rng.uniform(0, math.pi, n),
        raa=rng.uniform(0, 2 * math.pi, n),
        arp=rng.uniform(0, 2 * math.pi, n),
    )
    limit = np.where(ecc < 1, math.pi, np.arccos(-1 / np.maximum(ecc, 1.0000001)))
    elements["tra"] = rng.uniform(-0.95, 0.95, n) * limit
    return elements


def expected_rv(ecc, sma, inc, raa, arp, tra, gm=GM):
    """Positions and velocities rotated by scipy (intrinsic z-x-z), one row per epoch."""
    slr = sma * (1 - ecc**2)
    radius = slr / (1 + ecc * np.cos(tra))
    zeros = np.zeros_like(tra)
    r_pf = np.stack([radius * np.cos(tra), radius * np.sin(tra), zeros], axis=1)
    v_pf = np.sqrt(gm / slr)[:, None] * np.stack([-np.sin(tra), ecc + np.cos(tra), zeros], axis=1)
    rotation = Rotation.from_euler("ZXZ", np.stack([raa, inc, arp], axis=1))
    return rotation.apply(r_pf), rotation.apply(v_pf)


def assert_rows_close(actual, expected, rtol):
    scale = np.linalg.norm(expected, axis=1)
    assert np.all(np.linalg.norm(actual - expected, axis=1) <= rtol * scale)


class TestCOEEphemerisToSV:
    @pytest.mark.parametrize("spread", [0.0, 50.0, 9e4, 1e7])
    def test_varied_elements_match_an_independent_rotation(self, spread):
        # Angles far outside one turn must convert as accurately as those within it.
        e = varied_elements(500)
        rng = np.random.default_rng(2)
        for key in ("inc", "raa", "arp"):
            e[key] = e[key] + spread * rng.uniform(-1, 1, 500)
        eph = COEEphemeris(times(500), GCRF, GM=GM, **e).to_sv()
        r, v = expected_rv(**e)
        assert_rows_close(eph.r, r, 1e-14)
        assert_rows_close(eph.v, v, 1e-14)

    def test_constant_orientation_like_a_propagated_orbit(self):
        # inc, raa, arp and slr repeat from epoch to epoch, as in a propagator's output.
        n = 200
        e = dict(
            ecc=np.full(n, 0.3),
            sma=np.full(n, 9e6),
            inc=np.full(n, 1.2),
            raa=np.full(n, 2.0),
            arp=np.full(n, 3.0),
            tra=np.linspace(-10, 10, n),
        )
        e["inc"][100:] = 0.4  # one change part way through
        eph = COEEphemeris(times(n), GCRF, GM=GM, **e).to_sv()
        r, v = expected_rv(**e)
        assert_rows_close(eph.r, r, 1e-14)
        assert_rows_close(eph.v, v, 1e-14)

    def test_keeps_time_frame_and_gm(self):
        t = times(3)
        e = {k: np.full(3, x) for k, x in zip(KEYS, (0.1, 7e6, 1, 2, 3, 4))}
        sv = COEEphemeris(t, frame=TEME, GM=2 * GM, **e).to_sv()
        assert type(sv) is StateVectorEphemeris and sv.time is t and sv.frame is TEME and sv.GM == 2 * GM
        assert sv.size == 3 and sv.r.shape == sv.v.shape == (3, 3)
        assert sv.r.flags.c_contiguous and sv.r.dtype == np.float64

    def test_slr_is_used_when_given_and_derived_otherwise(self):
        e = {k: np.full(2, x) for k, x in zip(KEYS, (0.5, 8e6, 1, 2, 3, 0.0))}
        derived = COEEphemeris(times(2), GCRF, **e)
        np.testing.assert_array_equal(derived.slr, 8e6 * 0.75)
        given = COEEphemeris(times(2), GCRF, **e, slr=np.full(2, 5e6)).to_sv()
        # at tra = 0 the radius is slr / (1 + ecc)
        np.testing.assert_allclose(np.linalg.norm(given.r, axis=1), 5e6 / 1.5, rtol=1e-15)

    def test_empty(self):
        e = {k: np.array([]) for k in KEYS}
        sv = COEEphemeris(Time(np.array([], dtype=np.int64)), GCRF, **e).to_sv()
        assert sv.size == 0 and sv.r.shape == (0, 3) and list(sv) == []

    def test_single_epoch_time(self):
        e = {k: np.array([x]) for k, x in zip(KEYS, (0.1, 7e6, 1, 2, 3, 4))}
        sv = COEEphemeris(EPOCH, GCRF, GM=GM, **e).to_sv()
        assert sv.size == 1 and sv[0].epoch is EPOCH
        np.testing.assert_allclose(sv[0].r, COE(EPOCH, GCRF, 0.1, 7e6, 1, 2, 3, 4, GM=GM).to_sv().r, rtol=1e-15)


class TestStateVectorEphemeris:
    def make(self, n=4):
        e = varied_elements(n, seed=3)
        r, v = expected_rv(**e)
        return StateVectorEphemeris(times(n), GCRF, r, v, GM=GM), r, v

    def test_holds_copies_read_only(self):
        eph, r, v = self.make()
        r[0, 0] = 1.0
        assert eph.r[0, 0] != 1.0
        with pytest.raises(ValueError):
            eph.r[0, 0] = 1.0
        assert eph.size == len(eph) == 4 and eph.GM == GM and eph.frame is GCRF

    def test_accepts_lists_and_strided_arrays(self):
        big = np.arange(24, dtype=float).reshape(4, 6) + 7e6
        eph = StateVectorEphemeris(times(4), GCRF, big[:, ::2], big[:, 1::2].tolist())
        np.testing.assert_array_equal(eph.r, big[:, ::2])
        assert eph.r.flags.c_contiguous and eph.v.dtype == np.float64

    @pytest.mark.parametrize("index", [0, 2, -1, -4])
    def test_indexing_gives_state_vectors(self, index):
        eph, r, v = self.make()
        sv = eph[index]
        assert type(sv) is StateVector and sv.frame is GCRF and sv.GM == GM
        assert sv.epoch.int64 == eph.time.int64[index]
        np.testing.assert_array_equal(sv.r, r[index])
        np.testing.assert_array_equal(sv.v, v[index])

    @pytest.mark.parametrize("index", [4, -5, 100])
    def test_index_out_of_range(self, index):
        with pytest.raises(IndexError):
            self.make()[0][index]

    def test_iteration_in_order(self):
        eph, r, _ = self.make()
        states = list(eph)
        assert len(states) == 4
        np.testing.assert_array_equal([s.r for s in states], r)

    def test_round_trip_through_element_ephemeris(self):
        n = 300
        e = varied_elements(n, seed=5)
        r, v = expected_rv(**e)
        coe = StateVectorEphemeris(times(n), GCRF, r, v, GM=GM).to_coe()
        assert type(coe) is COEEphemeris and coe.size == n
        np.testing.assert_allclose(coe.ecc, e["ecc"], rtol=1e-12, atol=1e-14)
        np.testing.assert_allclose(coe.slr, e["sma"] * (1 - e["ecc"] ** 2), rtol=1e-13)
        back = coe.to_sv()
        assert_rows_close(back.r, r, 1e-12)
        assert_rows_close(back.v, v, 1e-12)

    def test_element_rows_match_single_states(self):
        eph, _, _ = self.make()
        coe = eph.to_coe()
        for i in range(4):
            single = eph[i].to_coe()
            assert [getattr(coe[i], k) for k in KEYS + ("slr",)] == [getattr(single, k) for k in KEYS + ("slr",)]

    def test_conversions_to_their_own_kind_return_the_object(self):
        eph, _, _ = self.make()
        coe = eph.to_coe()
        assert eph.to_sv() is eph and coe.to_coe() is coe

    def test_radial_state_is_named_by_index(self):
        r = np.array([[7e6, 0, 0], [7e6, 0, 0]])
        v = np.array([[0, 7e3, 0], [1e3, 0, 0]])
        with pytest.raises(ValueError, match="index 1 has zero angular momentum"):
            StateVectorEphemeris(times(2), GCRF, r, v).to_coe()


class TestBadInput:
    @pytest.mark.parametrize(
        "r, v, message",
        [
            (np.zeros((3, 3)), np.zeros((4, 3)), "r has 3 rows but time holds 4 epochs"),
            (np.zeros((4, 3)), np.zeros((5, 3)), "v has 5 rows but time holds 4 epochs"),
            (np.zeros((4, 2)), np.zeros((4, 3)), r"r must have shape \(N, 3\), got shape \(4, 2\)"),
            (np.zeros(12), np.zeros((4, 3)), r"r must have shape \(N, 3\), got shape \(12,\)"),
            (np.zeros((4, 3)), np.zeros((4, 3), dtype=complex), r"v must hold real numbers \(float64\)"),
            (np.zeros((4, 3)), np.full((4, 3), "x"), "v must hold real numbers"),
        ],
    )
    def test_state_vector_arrays(self, r, v, message):
        with pytest.raises(ValueError, match=message):
            StateVectorEphemeris(times(4), GCRF, r, v)

    @pytest.mark.parametrize(
        "key, value, message",
        [
            ("inc", np.zeros(2), "inc has 2 values but time holds 3 epochs"),
            ("sma", np.zeros((3, 1)), r"sma must have shape \(N,\), got shape \(3, 1\)"),
            ("slr", np.zeros(3, dtype=complex), "slr must hold real numbers"),
            ("ecc", np.array([0.1, -0.2, 0.0]), r"ecc must be >= 0 .*-0.2 at index 1"),
        ],
    )
    def test_element_arrays(self, key, value, message):
        e = {k: np.zeros(3) for k in KEYS}
        e[key] = value
        with pytest.raises(ValueError, match=message):
            COEEphemeris(times(3), GCRF, **e)

    def test_missing_element(self):
        with pytest.raises(TypeError):
            COEEphemeris(times(1), GCRF, ecc=[0], sma=[1], inc=[0], raa=[0], arp=[0])

    @pytest.mark.parametrize("frame", ["GCRF", None, 1])
    def test_frame_must_be_a_frame(self, frame):
        with pytest.raises(TypeError, match="Argument 'frame' has incorrect type"):
            StateVectorEphemeris(times(1), frame, np.zeros((1, 3)), np.zeros((1, 3)))

    def test_item_index_must_be_an_integer(self):
        eph = StateVectorEphemeris(times(1), GCRF, np.ones((1, 3)), np.ones((1, 3)))
        with pytest.raises(TypeError):
            eph["0"]


class TestObjectModel:
    def test_cycle_through_attribute_dictionary_is_collected(self):
        class Marker:
            pass

        eph = StateVectorEphemeris(times(2), GCRF, np.ones((2, 3)), np.ones((2, 3)))
        eph.owner = Marker()
        eph.owner.eph = eph
        assert eph.__dict__["owner"].eph is eph
        alive = weakref.ref(eph.owner)
        del eph
        gc.collect()
        assert alive() is None

    def test_time_is_converted_when_not_a_time(self):
        eph = Ephemeris(["2024-01-01", "2024-01-02"], GCRF)
        assert isinstance(eph.time, Time) and eph.size == 2

    def test_geostate_ephemeris(self):
        lla = np.array([[0.1, 0.2, 300.0]])
        eph = GeoStateEphemeris(times(1), ITRF, lla)
        np.testing.assert_array_equal(eph.lla, lla)
        assert eph.size == 1 and isinstance(eph, Ephemeris)

    def test_python_subclass(self):
        class Mine(COEEphemeris):
            pass

        e = {k: np.full(2, x) for k, x in zip(KEYS, (0.1, 7e6, 1, 2, 3, 4))}
        mine = Mine(times(2), GCRF, **e)
        assert isinstance(mine, Ephemeris) and type(mine.to_sv()) is StateVectorEphemeris
        assert type(mine[0]) is COE

    @pytest.mark.parametrize("name", ["r", "v", "time", "frame", "GM", "size"])
    def test_attributes_are_read_only(self, name):
        with pytest.raises(AttributeError):
            setattr(StateVectorEphemeris(times(1), GCRF, np.ones((1, 3)), np.ones((1, 3))), name, None)


# A child interpreter runs each reproducer, so that a crash fails one test.
CHILD_PRELUDE = """
import numpy as np
from velmar.frames.frames import GCRF, ITRF
from velmar.propagators.analytical.keplerian.keplerian import Keplerian
from velmar.state.ephemeris import COEEphemeris, GeoStateEphemeris, StateVectorEphemeris
from velmar.state.state import COE
from velmar.time.time import Time
ep = Time("2024-03-01T00:00:00")
def times(n):
    return Time(ep.int64 + np.arange(n, dtype=np.int64) * 60_000_000_000)
"""


def propagated():
    """The issue's orbit, propagated to 4 epochs one second apart."""
    return Keplerian().propagate_state(EPOCH + np.arange(4.0), COE(EPOCH, GCRF, 0.1, 7.2e6, 0.9, 1, 2, 3))


def every_array_handed_out():
    """(owner, attribute) for every array attribute of every kind of ephemeris,
    made directly, by propagation and by each conversion."""
    e = varied_elements(5)
    made = COEEphemeris(times(5), GCRF, GM=GM, **e)
    sv = propagated()
    sources = [
        (sv, ("r", "v")),
        (sv.to_coe(), KEYS + ("slr",)),
        (made, KEYS + ("slr",)),
        (made.to_sv(), ("r", "v")),
        (StateVectorEphemeris(times(2), GCRF, np.ones((2, 3)), np.ones((2, 3))), ("r", "v")),
        (GeoStateEphemeris(times(2), ITRF, np.ones((2, 3))), ("lla",)),
    ]
    return [(owner, name) for owner, names in sources for name in names]


class TestMemorySafety:
    """Memory safety: an ephemeris hands out new views over memory it keeps,
    which nobody can resize or make writable, and its native loops check the
    lengths they rely on before they run."""

    def test_no_array_can_be_resized_or_unlocked(self):
        for owner, name in every_array_handed_out():
            array = getattr(owner, name)
            kept = array.copy()
            with pytest.raises(ValueError, match="does not own its data"):
                array.resize(50_000_000)
            with pytest.raises(ValueError):
                array.setflags(write=True)
            with pytest.raises(ValueError):
                array[0] = 0.0
            # No array over the stored memory is within reach of the caller.
            assert not isinstance(array.base, np.ndarray), (type(owner).__name__, name)
            again = getattr(owner, name)
            assert again is not array and np.shares_memory(again, array)
            assert again.dtype == np.float64 and again.shape == kept.shape
            np.testing.assert_array_equal(again, kept)

    def test_values_and_dtypes_are_unchanged(self):
        # The handed-out arrays still hold the independent two-body answer.
        e = varied_elements(50)
        eph = COEEphemeris(times(50), GCRF, GM=GM, **e).to_sv()
        r, v = expected_rv(**e)
        assert eph.r.dtype == eph.v.dtype == np.float64
        assert_rows_close(eph.r, r, 1e-13)
        assert_rows_close(eph.v, v, 1e-13)
        np.testing.assert_array_equal(COEEphemeris(times(50), GCRF, GM=GM, **e).ecc, e["ecc"])

    def test_resized_eccentricities_then_to_sv(self):
        # A segmentation fault when the resize went through.
        out = assert_child_ok(
            CHILD_PRELUDE
            + """
c = Keplerian().propagate_state(ep + np.arange(4.), COE(ep, GCRF, .1, 7.2e6, .9, 1, 2, 3)).to_coe()
try:
    c.ecc.resize(50_000_000)
except ValueError as error:
    print(error)
print(repr(c.to_sv().r.tolist()))
"""
        )
        message, rows = out.splitlines()
        assert "cannot resize this array" in message
        # The same answer as the same conversions without the attempt.
        np.testing.assert_array_equal(eval(rows), propagated().to_coe().to_sv().r)

    def test_resized_positions_then_to_coe(self):
        # A heap-buffer-overflow read in the conversion when the resize went through.
        out = assert_child_ok(
            CHILD_PRELUDE
            + """
eph = Keplerian().propagate_state(ep + np.arange(4.), COE(ep, GCRF, .1, 7.2e6, .9, 1, 2, 3))
try:
    eph.r.resize((4_000_000, 3))
except ValueError as error:
    print(error)
print(repr(eph.to_coe().ecc.tolist()))
"""
        )
        message, ecc = out.splitlines()
        assert "cannot resize this array" in message
        np.testing.assert_allclose(eval(ecc), 0.1, rtol=1e-13)

    def test_lengths_are_checked_before_every_loop(self):
        # Python cannot make the stored arrays disagree any more; ctypes swaps
        # a stored array for one of another length to show that every loop
        # refuses instead of reading past its end.
        out = assert_child_ok(
            CHILD_PRELUDE
            + """
import ctypes
def stored(eph, k):
    # The k-th array field follows the header, dict, time, frame and GM.
    return ctypes.c_void_p.from_address(id(eph) + object.__basicsize__ + 32 + 8 * k)
def attempts(eph, calls):
    for call in calls:
        try:
            call(eph)
            print("no error")
        except ValueError as error:
            print(error)
def swapped(a, b, k, calls):
    fa, fb = stored(a, k), stored(b, k)
    fa.value, fb.value = fb.value, fa.value
    try:
        attempts(a, calls)
    finally:
        fa.value, fb.value = fb.value, fa.value
e4 = dict(ecc=np.full(4, .1), sma=np.full(4, 7e6), inc=np.ones(4), raa=np.ones(4), arp=np.ones(4), tra=np.ones(4))
e3 = {k: x[:3] for k, x in e4.items()}
every = [lambda e: e.to_sv() if hasattr(e, "ecc") else e.to_coe(), lambda e: e[3], len, lambda e: e.size, repr]
swapped(COEEphemeris(times(4), GCRF, **e4), COEEphemeris(times(3), GCRF, **e3), 1, every)
sv4 = COEEphemeris(times(4), GCRF, **e4).to_sv()
swapped(sv4, COEEphemeris(times(3), GCRF, **e3).to_sv(), 1, every)
swapped(sv4, Keplerian().propagate_state(ep + np.arange(5.), COE(ep, GCRF, .1, 7e6, 1, 1, 1, 1)), 0, every)
swapped(GeoStateEphemeris(times(4), ITRF, np.ones((4, 3))), GeoStateEphemeris(times(3), ITRF, np.ones((3, 3))), 0,
        [len, lambda e: e.size, repr])
"""
        )
        lines = out.splitlines()
        assert lines[:5] == ["COEEphemeris.sma has 3 values but time holds 4 epochs"] * 5
        assert lines[5:10] == ["StateVectorEphemeris.v has 3 rows but time holds 4 epochs"] * 5
        assert lines[10:15] == ["StateVectorEphemeris.r has 5 rows but time holds 4 epochs"] * 5
        assert lines[15:] == ["GeoStateEphemeris.lla has 3 rows but time holds 4 epochs"] * 3
