import gc
import inspect
import math
import re
import weakref

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from scipy.spatial.transform import Rotation

from velmar.bodies.bodies import Earth
from velmar.frames.frames import GCRF, TEME
from velmar.state.ephemeris import COEEphemeris, Ephemeris, GeoStateEphemeris, StateVectorEphemeris
from velmar.state.state import COE, GeoState, State, StateVector
from velmar.time.time import Time

EPOCH = Time("2024-03-01T00:00:00")
GM = 3.986004418e14
TWO_PI = 2 * math.pi


def expected_rv(ecc, sma, inc, raa, arp, tra, gm=GM):
    """Position and velocity from the elements, rotated by scipy (intrinsic z-x-z)."""
    slr = sma * (1 - ecc**2)
    radius = slr / (1 + ecc * math.cos(tra))
    r_pf = radius * np.array([math.cos(tra), math.sin(tra), 0.0])
    v_pf = math.sqrt(gm / slr) * np.array([-math.sin(tra), ecc + math.cos(tra), 0.0])
    rotation = Rotation.from_euler("ZXZ", [raa, inc, arp])
    return rotation.apply(r_pf), rotation.apply(v_pf)


def angle_gap(a, b):
    """Distance between two angles on the circle."""
    return abs((a - b + math.pi) % TWO_PI - math.pi)


def assert_same_state(sv, r, v, rtol=1e-12):
    assert np.linalg.norm(sv.r - r) <= rtol * np.linalg.norm(r)
    assert np.linalg.norm(sv.v - v) <= rtol * np.linalg.norm(v)


class TestVallado:
    # Vallado, Fundamentals of Astrodynamics and Applications, Examples 2-5 and 2-6.
    R = np.array([6524.834, 6862.875, 6448.296]) * 1e3
    V = np.array([4.901327, 5.533756, -1.976341]) * 1e3
    GM = 398600.4418e9
    ELEMENTS = dict(
        slr=11067.798343e3,
        sma=36127.337620e3,
        ecc=0.832853398,
        inc=87.869126,
        raa=227.898260,
        arp=53.384931,
        tra=92.335157,
    )

    def test_elements_from_position_and_velocity(self):
        coe = StateVector(EPOCH, GCRF, self.R, self.V, GM=self.GM).to_coe()
        e = self.ELEMENTS
        assert coe.slr == pytest.approx(e["slr"], abs=1e-3)
        assert coe.sma == pytest.approx(e["sma"], abs=1e-3)
        assert coe.ecc == pytest.approx(e["ecc"], abs=1e-9)
        for key in ("inc", "raa", "arp", "tra"):
            assert math.degrees(getattr(coe, key)) == pytest.approx(e[key], abs=1e-6), key

    def test_position_and_velocity_from_the_published_elements(self):
        e = self.ELEMENTS
        coe = COE(
            EPOCH, GCRF, e["ecc"], e["sma"], *(math.radians(e[k]) for k in ("inc", "raa", "arp", "tra")), GM=self.GM
        )
        sv = coe.to_sv()
        # The published elements carry 8 to 9 digits, which fixes the state to about 1e-8.
        np.testing.assert_allclose(sv.r, self.R, rtol=1e-7)
        np.testing.assert_allclose(sv.v, self.V, rtol=1e-7)

    def test_round_trip_is_exact(self):
        sv = StateVector(EPOCH, GCRF, self.R, self.V, GM=self.GM)
        assert_same_state(sv.to_coe().to_sv(), self.R, self.V, rtol=1e-14)


GRID_ECC = [0.0, 1e-9, 0.1, 0.9, 0.999]
GRID_INC = [0.0, 1e-9, 1.0, math.pi]
ANGLES = [(0.0, 0.0, 0.0), (0.3, 1.1, 2.0), (5.5, 4.0, 3.2), (2.0, 6.0, 6.2)]


class TestConversions:
    @pytest.mark.parametrize("ecc", GRID_ECC)
    @pytest.mark.parametrize("inc", GRID_INC)
    @pytest.mark.parametrize("raa, arp, tra", ANGLES)
    def test_elements_to_state_matches_an_independent_rotation(self, ecc, inc, raa, arp, tra):
        sma = 2.6e7
        sv = COE(EPOCH, GCRF, ecc, sma, inc, raa, arp, tra, GM=GM).to_sv()
        assert_same_state(sv, *expected_rv(ecc, sma, inc, raa, arp, tra), rtol=1e-14)

    @pytest.mark.parametrize("ecc", GRID_ECC)
    @pytest.mark.parametrize("inc", GRID_INC)
    @pytest.mark.parametrize("raa, arp, tra", ANGLES)
    def test_round_trip_through_elements(self, ecc, inc, raa, arp, tra):
        sma = 2.6e7
        r, v = expected_rv(ecc, sma, inc, raa, arp, tra)
        coe = StateVector(EPOCH, GCRF, r, v, GM=GM).to_coe()
        assert_same_state(coe.to_sv(), r, v)
        assert coe.ecc == pytest.approx(ecc, abs=1e-14)
        assert coe.slr == pytest.approx(sma * (1 - ecc**2), rel=1e-13)
        assert coe.sma == pytest.approx(sma, rel=1e-12)
        assert coe.inc == pytest.approx(inc, abs=1e-14)
        # The sum arp + tra (argument of latitude) is always defined; raa too unless equatorial.
        equatorial = inc in (0.0, math.pi)
        sign = -1.0 if inc == math.pi else 1.0
        assert angle_gap(coe.raa + sign * (coe.arp + coe.tra), raa + sign * (arp + tra)) < 1e-12
        if not equatorial:
            assert angle_gap(coe.raa, raa) < 1e-12
        if ecc >= 0.1:
            assert angle_gap(coe.tra, tra) < 1e-12
        for key in ("raa", "arp", "tra", "inc"):
            assert 0.0 <= getattr(coe, key) < TWO_PI

    @pytest.mark.parametrize(
        "ecc, inc, raa, arp, tra, expected",
        [
            # circular: arp = 0, tra from the node
            (0.0, 1.0, 0.5, 0.7, 0.2, dict(raa=0.5, arp=0.0, tra=0.9)),
            # equatorial prograde: raa = 0, arp from the x axis
            (0.2, 0.0, 0.5, 0.7, 0.2, dict(raa=0.0, arp=1.2, tra=0.2)),
            # equatorial retrograde: measured in the direction of motion
            (0.2, math.pi, 0.5, 0.7, 0.2, dict(raa=0.0, arp=0.2, tra=0.2)),
            # circular equatorial: tra is the true longitude
            (0.0, 0.0, 0.5, 0.7, 0.2, dict(raa=0.0, arp=0.0, tra=1.4)),
            (0.0, math.pi, 0.5, 0.7, 0.2, dict(raa=0.0, arp=0.0, tra=0.4)),
        ],
    )
    def test_conventions_for_undefined_angles(self, ecc, inc, raa, arp, tra, expected):
        coe = COE(EPOCH, GCRF, ecc, 7e6, inc, raa, arp, tra, GM=GM).to_sv().to_coe()
        assert coe.ecc == (0.0 if ecc == 0.0 else pytest.approx(ecc, rel=1e-12))
        assert coe.inc == inc
        for key, value in expected.items():
            assert angle_gap(getattr(coe, key), value) < 1e-12, key

    @pytest.mark.parametrize("ecc, tra", [(0.0, 0.3), (0.3, 2.0), (0.999, 3.0), (1.5, 1.8), (4.0, -1.5)])
    def test_closed_forms(self, ecc, tra):
        # r = p / (1 + e cos nu), |h| = sqrt(GM p), energy = -GM / (2 a), r.v / |r| = sqrt(GM / p) e sin nu,
        # h along (sin i sin raa, -sin i cos raa, cos i).
        slr, inc, raa = 9e6, 0.8, 2.5
        sma = slr / (1 - ecc**2)
        sv = COE(EPOCH, GCRF, ecc, sma, inc, raa, 1.0, tra, GM=GM).to_sv()
        radius, speed = np.linalg.norm(sv.r), np.linalg.norm(sv.v)
        assert radius == pytest.approx(slr / (1 + ecc * math.cos(tra)), rel=1e-14)
        assert speed**2 / 2 - GM / radius == pytest.approx(-GM / (2 * sma), rel=1e-12)
        h = np.cross(sv.r, sv.v)
        assert np.linalg.norm(h) == pytest.approx(math.sqrt(GM * slr), rel=1e-13)
        normal = [math.sin(inc) * math.sin(raa), -math.sin(inc) * math.cos(raa), math.cos(inc)]
        np.testing.assert_allclose(h / np.linalg.norm(h), normal, atol=1e-15)
        radial_speed = math.sqrt(GM / slr) * ecc * math.sin(tra)
        assert sv.r @ sv.v / radius == pytest.approx(radial_speed, rel=1e-12, abs=1e-14 * speed)

    @pytest.mark.parametrize("scale", [1.0, 1e3, 1e5, 1e8])
    def test_trigonometry_is_accurate_at_any_angle(self, scale):
        # A unit circular equatorial orbit puts the position at (cos arp, sin arp, 0) exactly.
        for angle in np.random.default_rng(4).uniform(-scale, scale, 300):
            r = COE(EPOCH, GCRF, 0.0, 1.0, 0.0, 0.0, angle, 0.0, GM=1.0).to_sv().r
            assert abs(r[0] - math.cos(angle)) < 2.5e-16 and abs(r[1] - math.sin(angle)) < 2.5e-16 and r[2] == 0

    def test_parabolic_state_gives_infinite_sma_and_exact_slr(self):
        # v^2 = 2 GM / r exactly at perigee r = p / 2: the energy is 0.
        slr = 8e6
        r = np.array([slr / 2, 0.0, 0.0])
        v = np.array([0.0, 2 * math.sqrt(GM / slr), 0.0])
        coe = StateVector(EPOCH, GCRF, r, v, GM=GM).to_coe()
        assert coe.ecc == pytest.approx(1.0, rel=1e-15) and abs(coe.sma) > 1e20
        assert coe.slr == pytest.approx(slr, rel=1e-15)
        assert_same_state(coe.to_sv(), r, v, rtol=1e-15)

    def test_hyperbolic_round_trip(self):
        coe = COE(EPOCH, TEME, 1.5, -2e7, 0.4, 1.0, 2.0, 0.5, GM=GM)
        assert coe.slr == pytest.approx(2e7 * 1.25) and coe.slr > 0
        back = coe.to_sv().to_coe()
        for key in ("ecc", "sma", "inc", "raa", "arp", "tra", "slr"):
            assert getattr(back, key) == pytest.approx(getattr(coe, key), rel=1e-13), key
        assert back.frame is TEME

    @settings(max_examples=60, deadline=None)
    @given(
        ecc=st.one_of(st.floats(0.0, 0.99), st.floats(1.01, 5.0)),
        slr=st.floats(6.6e6, 5e7),
        inc=st.floats(0.0, math.pi),
        raa=st.floats(0.0, TWO_PI),
        arp=st.floats(0.0, TWO_PI),
        fraction=st.floats(-0.95, 0.95),
    )
    def test_random_round_trips(self, ecc, slr, inc, raa, arp, fraction):
        # tra kept inside the asymptotes of a hyperbola
        limit = math.pi if ecc < 1 else math.acos(-1 / ecc)
        tra = fraction * limit
        r, v = expected_rv(ecc, slr / (1 - ecc**2), inc, raa, arp, tra)
        assert_same_state(StateVector(EPOCH, GCRF, r, v, GM=GM).to_coe().to_sv(), r, v, rtol=5e-12)


class TestConstruction:
    def test_state_vector_fields(self):
        sv = StateVector("2024-03-01", TEME, [1, 2, 3], (4.0, 5.0, 6.0), GM=1e14)
        assert isinstance(sv.epoch, Time) and sv.epoch.int64 == Time("2024-03-01").int64
        assert sv.frame is TEME and sv.GM == 1e14
        assert sv.r.dtype == np.float64 and sv.r.tolist() == [1, 2, 3] and sv.v.tolist() == [4, 5, 6]

    def test_a_time_epoch_is_kept(self):
        assert StateVector(EPOCH, GCRF, [1, 0, 0], [0, 1, 0]).epoch is EPOCH

    def test_coe_fields_and_derived_slr(self):
        coe = COE(EPOCH, GCRF, 0.25, 8e6, 0.1, 0.2, 0.3, 0.4)
        assert (coe.ecc, coe.sma, coe.inc, coe.raa, coe.arp, coe.tra) == (0.25, 8e6, 0.1, 0.2, 0.3, 0.4)
        assert coe.slr == 8e6 * (1 - 0.25**2)

    def test_default_gm_is_earths_when_constructed(self, monkeypatch):
        assert COE(EPOCH, GCRF, 0, 7e6, 0, 0, 0, 0).GM == Earth.GM == GM
        assert State(EPOCH, GCRF, GM=None).GM == GM
        monkeypatch.setattr(Earth, "GM", 1.0)
        assert StateVector(EPOCH, GCRF, [1, 0, 0], [0, 1, 0]).GM == 1.0

    def test_keywords(self):
        coe = COE(tra=4, arp=3, raa=2, inc=1, sma=7e6, ecc=0, frame=GCRF, epoch=EPOCH, GM=5.0)
        assert (coe.inc, coe.raa, coe.arp, coe.tra, coe.GM) == (1, 2, 3, 4, 5.0)

    def test_conversions_to_their_own_kind_return_the_object(self):
        sv = StateVector(EPOCH, GCRF, [7e6, 0, 0], [0, 7.5e3, 0])
        coe = COE(EPOCH, GCRF, 0, 7e6, 0, 0, 0, 0)
        assert sv.to_sv() is sv and coe.to_coe() is coe

    def test_conversions_keep_epoch_frame_and_gm(self):
        coe = COE(EPOCH, TEME, 0.1, 7e6, 1, 2, 3, 4, GM=3e14)
        sv = coe.to_sv()
        assert type(sv) is StateVector and sv.epoch is EPOCH and sv.frame is TEME and sv.GM == 3e14
        back = sv.to_coe()
        assert type(back) is COE and back.epoch is EPOCH and back.frame is TEME and back.GM == 3e14

    def test_geostate(self):
        g = GeoState(EPOCH, GCRF, 0.1, 0.2, 300.0)
        assert (g.lat, g.lon, g.alt) == (0.1, 0.2, 300.0) and isinstance(g, State)
        # Geodetic coordinates are Earth-fixed: only an ITRF GeoState has a position.
        with pytest.raises(ValueError, match="frame must be ITRF, got GCRF"):
            g.to_coe()

    def test_a_python_state_converts_through_to_sv(self):
        sv = StateVector(EPOCH, GCRF, [7e6, 0, 0], [0, 7.5e3, 1e3])

        class Custom(State):
            def to_sv(self):
                return sv

        coe = Custom(EPOCH, GCRF).to_coe()
        assert_same_state(coe.to_sv(), sv.r, sv.v)


class TestObjectModel:
    @pytest.mark.parametrize("name", ["ecc", "sma", "slr", "epoch", "frame", "GM"])
    def test_attributes_are_read_only(self, name):
        with pytest.raises(AttributeError):
            setattr(COE(EPOCH, GCRF, 0, 7e6, 0, 0, 0, 0), name, 1.0)

    @pytest.mark.parametrize(
        "cls, name, unit",
        [
            (COE, "sma", ", m"),
            (COE, "inc", "rad"),
            (COE, "slr", ", m"),
            (StateVector, "r", ", m"),
            (StateVector, "v", "m/s"),
            (State, "GM", "m^3/s^2"),
        ],
    )
    def test_docstrings_give_units(self, cls, name, unit):
        assert unit in getattr(cls, name).__doc__

    @pytest.mark.parametrize(
        "cls, names",
        [
            (StateVector, ["epoch", "frame", "r", "v", "GM"]),
            (COE, ["epoch", "frame", "ecc", "sma", "inc", "raa", "arp", "tra", "GM"]),
        ],
    )
    def test_signatures(self, cls, names):
        assert list(inspect.signature(cls).parameters) == names

    def test_returned_vectors_are_copies(self):
        sv = StateVector(EPOCH, GCRF, [1.0, 2, 3], [4.0, 5, 6])
        sv.r[0] = 99.0
        assert sv.r[0] == 1.0

    def test_instance_dictionary_and_cycle_collection(self):
        class Marker:
            pass

        sv = StateVector(EPOCH, GCRF, [1.0, 2, 3], [4.0, 5, 6])
        sv.note = Marker()
        sv.note.owner = sv
        assert sv.__dict__["note"].owner is sv
        alive = weakref.ref(sv.note)
        del sv
        gc.collect()
        assert alive() is None

    def test_python_subclass(self):
        class Mine(COE):
            pass

        m = Mine(EPOCH, GCRF, 0.1, 7e6, 0, 0, 0, 0)
        assert isinstance(m, COE) and isinstance(m, State) and type(m.to_sv().to_coe()) is COE


class TestMemorySafety:
    """Memory safety: a state keeps its numbers in the object itself, so the r
    and v it hands out are new arrays the caller owns; resizing one, as numpy
    allows on any array that owns its memory, cannot reach the state."""

    def test_resizing_a_returned_vector_leaves_the_state_whole(self):
        sv = StateVector(EPOCH, GCRF, [7e6, 1.0, 2.0], [3.0, 7.5e3, 4.0], GM=GM)
        for state in (sv, sv.to_coe().to_sv()):
            r, v = state.r, state.v
            r.resize(1_000_000, refcheck=False)
            v.resize((0,), refcheck=False)
            assert state.r.shape == state.v.shape == (3,) and state.r.dtype == np.float64
        assert sv.r.tolist() == [7e6, 1.0, 2.0] and sv.v.tolist() == [3.0, 7.5e3, 4.0]
        np.testing.assert_allclose(sv.to_coe().to_sv().r, [7e6, 1.0, 2.0], rtol=1e-15, atol=1e-8)


class TestBadInput:
    def test_negative_eccentricity(self):
        with pytest.raises(ValueError, match="ecc must be >= 0.*-0.1"):
            COE(EPOCH, GCRF, -0.1, 7e6, 0, 0, 0, 0)

    @pytest.mark.parametrize("v", [[0, 0, 0], [2.0, 0, 0], [-1e3, 0, 0]])
    def test_zero_angular_momentum(self, v):
        with pytest.raises(ValueError, match="zero angular momentum"):
            StateVector(EPOCH, GCRF, [7e6, 0, 0], v).to_coe()

    @pytest.mark.parametrize(
        "r, message",
        [
            ([1.0, 2.0], r"r must have shape \(3,\), got shape \(2,\)"),
            ([[1.0, 2.0, 3.0]], r"r must have shape \(3,\), got shape \(1, 3\)"),
            ([1j, 0, 0], "r must hold real numbers"),
            (["a", "b", "c"], "r must hold real numbers"),
        ],
    )
    def test_bad_vectors(self, r, message):
        with pytest.raises(ValueError, match=message):
            StateVector(EPOCH, GCRF, r, [0, 1, 0])

    def test_bad_frame(self):
        with pytest.raises(TypeError, match="Argument 'frame' has incorrect type"):
            COE(EPOCH, "GCRF", 0, 7e6, 0, 0, 0, 0)
        with pytest.raises(TypeError, match="Argument 'frame' has incorrect type"):
            StateVector(EPOCH, None, [1, 0, 0], [0, 1, 0])

    def test_epoch_must_be_single(self):
        with pytest.raises(ValueError, match="epoch must be a single epoch"):
            StateVector(Time(np.array([0, 1], dtype=np.int64)), GCRF, [1, 0, 0], [0, 1, 0])

    @pytest.mark.parametrize(
        "args, message",
        [
            ((EPOCH, GCRF, 0, 7e6, 0, 0, 0), r"COE\(\) takes at least 8 positional arguments \(7 given\)"),
            ((EPOCH, GCRF, 0, 7e6, 0, 0, 0, 0, 1.0, 2.0), r"COE\(\) takes at most 9 positional arguments"),
        ],
    )
    def test_argument_count(self, args, message):
        with pytest.raises(TypeError, match=message):
            COE(*args)

    def test_non_numeric_element(self):
        with pytest.raises(TypeError):
            COE(EPOCH, GCRF, 0, "7e6", 0, 0, 0, 0)

    @pytest.mark.parametrize("gm", [-1.0, 0.0, -0.0, math.nan, math.inf, -math.inf])
    def test_gm_must_be_positive_and_finite(self, gm, monkeypatch):
        # Every constructor that takes GM, states and ephemerides alike; with
        # GM = -1 a StateVector used to give elements with ecc 3.9e14.
        two = Time(["2024-03-01", "2024-03-02"])
        makers = [
            lambda **k: State(EPOCH, GCRF, **k),
            lambda **k: StateVector(EPOCH, GCRF, [7e6, 0, 0], [0, 7.5e3, 0], **k),
            lambda **k: COE(EPOCH, GCRF, 0.1, 7e6, 0, 0, 0, 0, **k),
            lambda **k: GeoState(EPOCH, GCRF, 0.1, 0.2, 300.0, **k),
            lambda **k: Ephemeris(two, GCRF, **k),
            lambda **k: StateVectorEphemeris(two, GCRF, np.ones((2, 3)), np.ones((2, 3)), **k),
            lambda **k: COEEphemeris(two, GCRF, *np.full((6, 2), 0.5), **k),
            lambda **k: GeoStateEphemeris(two, GCRF, np.zeros((2, 3)), **k),
        ]
        text = f"GM must be a positive finite gravitational parameter (m^3/s^2), got {gm!r}"
        for make in makers:
            with pytest.raises(ValueError) as info:
                make(GM=gm)
            assert str(info.value) == text
        monkeypatch.setattr(Earth, "GM", gm)  # the default, read at construction, too
        for make in makers:
            with pytest.raises(ValueError, match="^GM must be a positive finite"):
                make()

    @pytest.mark.parametrize("ecc, sma", [(0.1, -7e6), (0.0, 0.0), (0.999, -1.0), (0.5, -0.0), (0.0, -math.inf)])
    def test_ellipse_needs_a_positive_semi_major_axis(self, ecc, sma):
        # Such elements gave an all-NaN ephemeris when propagated.
        with pytest.raises(ValueError) as info:
            COE(EPOCH, GCRF, ecc, sma, 0, 0, 0, 0)
        assert (
            str(info.value) == f"sma must be positive for an elliptic orbit (ecc < 1), got sma={sma!r} with ecc={ecc!r}"
        )

    def test_hyperbolic_and_parabolic_elements_still_accepted(self):
        hyperbola = COE(EPOCH, GCRF, 1.5, -2e7, 0.4, 1.0, 2.0, 0.5)
        assert hyperbola.sma == -2e7 and hyperbola.slr == -2e7 * (1 - 1.5**2)
        assert COE(EPOCH, GCRF, 1.0, 7e6, 0, 0, 0, 0).slr == 0.0

    @pytest.mark.parametrize("ecc, sma", [(1.5, 7e6), (3.0, 0.0), (1.0000001, math.inf)])
    def test_hyperbola_needs_a_negative_semi_major_axis(self, ecc, sma):
        # slr = sma (1 - ecc^2) < 0 placed the state at the mirrored position
        # with a NaN velocity.
        with pytest.raises(ValueError) as info:
            COE(EPOCH, GCRF, ecc, sma, 0, 0, 0, 0)
        assert (
            str(info.value)
            == f"sma must be negative for a hyperbolic orbit (ecc > 1), got sma={sma!r} with ecc={ecc!r}"
        )

    def test_element_arrays_follow_the_same_sign_rule(self):
        # The same elements one per epoch: the ephemeris gave mirrored
        # positions, where the single COE refuses them.
        two = Time(["2024-03-01", "2024-03-02"])
        for ecc, sma, says in (
            (
                [0.1, 0.1],
                [7e6, -7e6],
                "positive for an elliptic orbit (ecc < 1), got sma=-7000000.0 with ecc=0.1 at index 1",
            ),
            (
                [0.1, 2.0],
                [7e6, 7e6],
                "negative for a hyperbolic orbit (ecc > 1), got sma=7000000.0 with ecc=2.0 at index 1",
            ),
        ):
            with pytest.raises(ValueError, match=re.escape(says)):
                COEEphemeris(two, GCRF, ecc, sma, *np.zeros((4, 2)))
        hyperbola = COEEphemeris(two, GCRF, [1.5, 0.5], [-2e7, 7e6], *np.zeros((4, 2)))
        assert hyperbola.slr.tolist() == [-2e7 * (1 - 1.5**2), 7e6 * 0.75]
