"""velmar.state.coe: Kepler's equation and the anomaly conversions.

Every number is checked against an independent calculation: published
solutions, Kepler's equation solved by bisection in 40-digit arithmetic
(mpmath), and the half-angle formula tan(v/2) = sqrt((1+e)/(1-e)) tan(E/2).
"""

import math

import mpmath as mp
import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from velmar._native import _probe
from velmar.state import coe
from velmar.state.coe import (
    eca_from_mea,
    eca_from_mea_array,
    eca_from_tra,
    mea_from_tra,
    tra_from_eca,
    tra_from_mea,
)

TWO_PI = 2.0 * math.pi
SIGNATURE = "double (double const , double const )"
mp.mp.dps = 40


def kepler_reference(mea, ecc):
    """E with E - ecc sin E = mea (the double taken exactly), as an mpf."""
    M, e = mp.mpf(mea), mp.mpf(ecc)
    turns = mp.nint(M / (2 * mp.pi))
    m = M - 2 * mp.pi * turns  # |m| <= pi, and f(-pi) <= 0 <= f(pi)
    lo, hi = -mp.pi, mp.pi
    for _ in range(56):
        mid = (lo + hi) / 2
        if mid - e * mp.sin(mid) - m > 0:
            hi = mid
        else:
            lo = mid
    E = (lo + hi) / 2
    for _ in range(3):  # f' >= 1 - e > 0: Newton polishes the bracket to full precision
        E -= (E - e * mp.sin(E) - m) / (1 - e * mp.cos(E))
    return E + 2 * mp.pi * turns


def residual(E, mea, ecc):
    E, e = mp.mpf(E), mp.mpf(ecc)
    return abs(E - e * mp.sin(E) - mp.mpf(mea))


def angle_distance(a, b):
    """Distance between two angles, whole turns ignored."""
    d = (a - b) % TWO_PI
    return min(d, TWO_PI - d)


def tra_half_angle(eca, ecc):
    return (2.0 * math.atan(math.sqrt((1 + ecc) / (1 - ecc)) * math.tan(eca / 2.0))) % TWO_PI


def eca_half_angle(tra, ecc):
    return (2.0 * math.atan(math.sqrt((1 - ecc) / (1 + ecc)) * math.tan(tra / 2.0))) % TWO_PI


class TestKeplerPublished:
    @pytest.mark.parametrize(
        "mea, ecc, eca, tolerance",
        [
            (math.radians(235.4), 0.4, 3.848661745097, 5e-13),  # Vallado, Example 2-1
            (4.586, 0.065, 4.522172385101093, 2e-15),
            (0.028, 0.999, 0.5511071508829587, 2e-15),
            (0.4, 0.995, 1.376224986032998, 2e-15),  # Newton started from M diverges here
        ],
    )
    def test_published_solutions(self, mea, ecc, eca, tolerance):
        E = eca_from_mea(mea, ecc)
        assert abs(E - eca) <= tolerance
        assert residual(E, mea, ecc) <= 2e-15

    def test_native_export_solves_the_same(self):
        native = _probe.call_native("velmar.state.coe", "c_eca_from_mea", SIGNATURE, 0.4, 0.995)
        assert abs(native - 1.376224986032998) <= 2e-15
        assert native == eca_from_mea(0.4, 0.995) == coe.c_eca_from_mea(0.4, 0.995)


class TestKeplerAccuracy:
    grid = np.concatenate([np.linspace(0.0, TWO_PI, 41)[1:-1], [1e-3, 1e-8, math.pi, -1.0, -3.0]])

    @pytest.mark.parametrize("ecc", [1e-9, 0.05, 0.3, 0.6, 0.9, 0.97, 0.99, 0.995, 0.999])
    def test_against_high_precision_over_one_turn(self, ecc):
        for mea in self.grid:
            E = eca_from_mea(mea, ecc)
            assert abs(mp.mpf(E) - kepler_reference(mea, ecc)) <= 2e-15, mea
            assert residual(E, mea, ecc) <= 2e-15, mea

    @pytest.mark.parametrize("ecc", [0.9, 0.99, 0.999, 0.999999])
    def test_near_perigee_with_eccentricity_close_to_one(self, ecc):
        # E and ecc sin E nearly cancel here while 1 - ecc cos E is tiny
        for mea in np.concatenate([np.geomspace(1e-14, 0.5, 25), -np.geomspace(1e-10, 0.1, 5)]):
            E = eca_from_mea(mea, ecc)
            assert abs(mp.mpf(E) - kepler_reference(mea, ecc)) <= 2e-15, mea
            assert residual(E, mea, ecc) <= 2e-15, mea

    @given(st.floats(0.0, TWO_PI), st.floats(0.0, 0.999))
    @settings(max_examples=60, deadline=None)
    def test_random_anomalies_and_eccentricities(self, mea, ecc):
        E = eca_from_mea(mea, ecc)
        assert abs(mp.mpf(E) - kepler_reference(mea, ecc)) <= 2e-15

    def test_circular_orbit_returns_the_mean_anomaly(self):
        for mea in [0.0, 1.0, -2.5, 1e9 + 0.3]:
            assert eca_from_mea(mea, 0.0) == mea


class TestKeplerAnyMeanAnomaly:
    @pytest.mark.parametrize(
        "mea",
        # the last two sit near perigee, where ecc = 0.999 magnifies any slip in the reduction
        [
            -7.0,
            100.5,
            -1000.3,
            12345.678,
            1e6 + 0.1,
            -3.3e9,
            1e12,
            -4e15,
            1e17,
            -1e300,
            1e6 * TWO_PI + 1e-3,
            -1e9 * TWO_PI - 1e-4,
        ],
    )
    @pytest.mark.parametrize("ecc", [0.1, 0.9, 0.999])
    def test_many_turns_keep_the_turns_and_solve_the_given_value(self, mea, ecc):
        E = eca_from_mea(mea, ecc)
        # the answer is the solution for mea exactly as given, to about an ulp of E
        assert abs(mp.mpf(E) - kepler_reference(mea, ecc)) <= 2 * np.spacing(abs(E)) + 2e-15

    @pytest.mark.parametrize("turns", [1, -1, 17, -250, 10**6, -(10**9)])
    @pytest.mark.parametrize("ecc", [0.1, 0.9])
    def test_true_anomaly_same_as_for_the_reduced_value(self, turns, ecc):
        mea = 0.7 + turns * TWO_PI
        E = kepler_reference(mea, ecc)
        e = mp.mpf(ecc)
        expected = float(mp.atan2(mp.sqrt(1 - e * e) * mp.sin(E), mp.cos(E) - e) % (2 * mp.pi))
        # E is returned with its turns, so it carries an ulp of mea into sin and cos
        assert angle_distance(tra_from_mea(mea, ecc), expected) <= 1e-14 + 10 * np.spacing(abs(mea))

    @given(st.floats(-60.0, 60.0), st.floats(0.0, 0.999))
    @settings(max_examples=200, deadline=None)
    def test_stays_in_the_half_turn_of_the_mean_anomaly(self, mea, ecc):
        # E - ecc sin E increases with E and equals E at every multiple of pi
        E = eca_from_mea(mea, ecc)
        k = math.floor(mea / math.pi)
        assert k * math.pi - 1e-14 <= E <= (k + 1) * math.pi + 1e-14

    @given(st.floats(-1e6, 1e6), st.floats(0.0, 0.999))
    @settings(max_examples=100, deadline=None)
    def test_odd_in_the_mean_anomaly(self, mea, ecc):
        assert eca_from_mea(-mea, ecc) == -eca_from_mea(mea, ecc)

    def test_one_turn_maps_into_one_turn(self):
        for ecc in [0.3, 0.999]:
            for mea in [0.0, 1e-300, 3.0, 4.0, TWO_PI - 1e-15, np.nextafter(TWO_PI, 0.0)]:
                assert 0.0 <= eca_from_mea(mea, ecc) < TWO_PI


class TestKeplerOutsideTheDomain:
    @pytest.mark.parametrize(
        "mea, ecc",
        [
            (math.nan, 0.5),
            (math.inf, 0.5),
            (-math.inf, 0.0),
            (1.0, math.nan),
            (1.0, 1.0),
            (1.0, 1.5),
            (1.0, -0.1),
        ],
    )
    def test_nan_for_nan_infinite_or_out_of_range_input(self, mea, ecc):
        assert math.isnan(eca_from_mea(mea, ecc))
        assert math.isnan(_probe.call_native("velmar.state.coe", "c_eca_from_mea", SIGNATURE, mea, ecc))


class TestKeplerArray:
    def test_same_as_one_at_a_time(self):
        mea = np.random.default_rng(7).uniform(-50.0, 50.0, 500)
        expected = [eca_from_mea(m, 0.8) for m in mea]
        np.testing.assert_array_equal(eca_from_mea_array(mea, 0.8), expected)

    def test_any_stride_and_empty(self):
        mea = np.linspace(0.0, 10.0, 30)
        strided = mea[::-3]
        np.testing.assert_array_equal(eca_from_mea_array(strided, 0.2), [eca_from_mea(m, 0.2) for m in strided])
        empty = eca_from_mea_array(np.zeros(0), 0.2)
        assert empty.shape == (0,) and empty.dtype == np.float64

    def test_wrong_dtype_and_shape(self):
        with pytest.raises(ValueError, match="Buffer dtype mismatch, expected 'double' but got 'long'"):
            eca_from_mea_array(np.arange(3, dtype=np.int64), 0.1)
        with pytest.raises(ValueError, match=r"Buffer has wrong number of dimensions \(expected 1, got 2\)"):
            eca_from_mea_array(np.zeros((2, 2)), 0.1)


class TestAnomalyConversions:
    @given(st.floats(-20.0, 20.0), st.floats(0.0, 0.99))
    @settings(max_examples=200, deadline=None)
    def test_true_from_eccentric_matches_half_angle_formula(self, eca, ecc):
        tra = tra_from_eca(eca, ecc)
        assert 0.0 <= tra < TWO_PI
        assert angle_distance(tra, tra_half_angle(eca, ecc)) <= 1e-12

    @given(st.floats(-20.0, 20.0), st.floats(0.0, 0.99))
    @settings(max_examples=200, deadline=None)
    def test_eccentric_from_true_matches_half_angle_formula(self, tra, ecc):
        eca = eca_from_tra(tra, ecc)
        assert 0.0 <= eca < TWO_PI
        assert angle_distance(eca, eca_half_angle(tra, ecc)) <= 1e-12

    @given(st.floats(0.0, TWO_PI), st.floats(0.0, 0.99))
    @settings(max_examples=100, deadline=None)
    def test_mean_from_true_is_keplers_equation_forward(self, tra, ecc):
        E = eca_half_angle(tra, ecc)
        mea = mea_from_tra(tra, ecc)
        assert 0.0 <= mea <= TWO_PI
        assert angle_distance(mea, E - ecc * math.sin(E)) <= 1e-12

    @pytest.mark.parametrize("mea, ecc", [(math.radians(235.4), 0.4), (0.028, 0.999), (0.4, 0.995), (5.0, 0.1)])
    def test_true_from_mean_against_high_precision(self, mea, ecc):
        E = kepler_reference(mea, ecc)
        expected = float((2 * mp.atan(mp.sqrt((1 + mp.mpf(ecc)) / (1 - mp.mpf(ecc))) * mp.tan(E / 2))) % (2 * mp.pi))
        assert angle_distance(tra_from_mea(mea, ecc), expected) <= 1e-14

    @given(st.floats(0.0, TWO_PI), st.floats(0.0, 0.99))
    @settings(max_examples=200, deadline=None)
    def test_round_trips(self, tra, ecc):
        assert angle_distance(tra_from_eca(eca_from_tra(tra, ecc), ecc), tra) <= 1e-12
        assert angle_distance(tra_from_mea(mea_from_tra(tra, ecc), ecc), tra) <= 1e-12

    @pytest.mark.parametrize("x", [0.0, 0.5, 3.0, 6.0, 7.5, -2.0])
    def test_circular_orbit_keeps_the_angle(self, x):
        for convert in (eca_from_tra, tra_from_eca, mea_from_tra, tra_from_mea):
            assert convert(x, 0.0) == pytest.approx(x % TWO_PI, abs=1e-15)

    @pytest.mark.parametrize("ecc", [0.0, 0.3, 0.9, 0.999])
    def test_zero_true_anomaly_is_zero_everywhere(self, ecc):
        assert eca_from_tra(0.0, ecc) == 0.0
        assert mea_from_tra(0.0, ecc) == 0.0
        assert tra_from_mea(0.0, ecc) == 0.0

    def test_nan_passes_through(self):
        for convert in (eca_from_tra, tra_from_eca, mea_from_tra, tra_from_mea):
            assert math.isnan(convert(math.nan, 0.1))


class TestBadArguments:
    @pytest.mark.parametrize("function", [eca_from_mea, eca_from_tra, tra_from_eca, tra_from_mea, mea_from_tra])
    def test_argument_count(self, function):
        name = function.__name__
        with pytest.raises(TypeError, match=rf"{name}\(\) takes exactly 2 positional arguments \(3 given\)"):
            function(1.0, 0.1, 2.0)

    def test_keywords(self):
        assert tra_from_mea(ecc=0.1, mea=1.0) == tra_from_mea(1.0, 0.1)
        with pytest.raises(TypeError, match="unexpected keyword argument 'e'"):
            eca_from_mea(1.0, e=0.1)

    def test_not_a_number(self):
        with pytest.raises(TypeError):
            eca_from_mea(1.0, "0.1")


def ulps_apart(a, b):
    """Distance in units in the last place between two float64 arrays of finite values."""
    ia, ib = (np.asarray(x, np.float64).view(np.int64) for x in (a, b))
    # map the sign-magnitude order of doubles onto the integers
    ia = np.where(ia < 0, np.int64(-(2**63)) - ia, ia)
    ib = np.where(ib < 0, np.int64(-(2**63)) - ib, ib)
    return np.abs(ia - ib)


def same_bits(a, b):
    a, b = np.asarray(a, np.float64), np.asarray(b, np.float64)
    both_nan = np.isnan(a) & np.isnan(b)
    return bool(np.all(both_nan | (a.view(np.int64) == b.view(np.int64))))


# Anomalies that reach every branch of the array forms: the pieces, the corner
# near perigee, many turns, beyond the loops' reduction, zeros and non-finite.
AWKWARD = np.concatenate(
    [
        np.random.default_rng(11).uniform(-20.0, 20.0, 3000),
        np.geomspace(1e-12, 0.2, 300),
        -np.geomspace(1e-12, 0.2, 50),
        [0.0, -0.0, math.pi, -math.pi, TWO_PI, 6.4e6, 6.6e6, -1e7, 1e15, -1e300, math.nan, math.inf, -math.inf],
        np.random.default_rng(12).uniform(-1e6, 1e6, 500),
    ]
)


class TestArrayForms:
    """The array forms run on every instruction set the processor has and give the bits of the one-value forms."""

    @pytest.fixture(params=coe._isa_paths())
    def isa(self, request):
        previous = coe._use_isa(request.param)
        yield request.param
        coe._use_isa(previous)

    @pytest.mark.parametrize("ecc", [0.0, 0.08, 0.5, 0.8999, 0.9, 0.95, 0.999, 0.999999, 1.0, math.nan])
    def test_every_conversion_bit_for_bit_on_every_path(self, isa, ecc):
        for array_form, one in [
            (coe.eca_from_mea_array, eca_from_mea),
            (coe.tra_from_mea_array, tra_from_mea),
            (coe.tra_from_eca_array, tra_from_eca),
            (coe.eca_from_tra_array, eca_from_tra),
            (coe.mea_from_tra_array, mea_from_tra),
        ]:
            got = array_form(AWKWARD, ecc)
            assert same_bits(got, [one(x, ecc) for x in AWKWARD]), (isa, array_form.__name__)

    def test_a_new_eccentricity_every_call_gives_the_same_bits(self):
        # A TLE reader solves once per set with that set's eccentricity: the one-value
        # solver then makes only the piece it needs, the array form all of them.
        rng = np.random.default_rng(29)
        for mea, ecc in zip(rng.uniform(-20.0, 20.0, 3000), rng.uniform(0.0, 0.999, 3000)):
            one = coe.c_eca_from_mea(mea, ecc)
            assert same_bits([one], coe.eca_from_mea_array(np.array([mea]), ecc)), (mea, ecc)
            assert abs(one - ecc * math.sin(one) - mea) < 4e-15 * max(1.0, abs(mea))

    def test_kernels_same_bits_on_every_path(self, isa):
        x = np.concatenate([AWKWARD, np.arange(-400, 400) * (math.pi / 2)])
        y = np.random.default_rng(13).permutation(x)
        coe._use_isa("baseline")
        s0, c0 = coe._sin_cos_array(x)
        a0 = coe._atan2_array(y, x)
        coe._use_isa(isa)
        s, c = coe._sin_cos_array(x)
        assert same_bits(s, s0) and same_bits(c, c0) and same_bits(coe._atan2_array(y, x), a0)

    def test_environment_picks_the_instruction_set_at_import(self):
        from conftest import assert_child_ok

        out = assert_child_ok(
            "import os; os.environ['VELMAR_ISA'] = 'baseline'\n"
            "from velmar.state import coe; print(coe._use_isa('baseline'))"
        )
        assert out == "baseline\n"

    def test_unknown_instruction_set_refused(self):
        with pytest.raises(ValueError, match="'sse9' is not an instruction set"):
            coe._use_isa("sse9")

    def test_piece_ends_against_high_precision(self):
        # E is cut into pieces at k pi / 12; the mean anomalies there, a few
        # ulps either side, are where a starter would go wrong first.
        for ecc in [0.3, 0.8999, 0.9, 0.97, 0.999]:
            ends = np.array([E - ecc * math.sin(E) for E in np.arange(1, 12) * (math.pi / 12)])
            mea = np.concatenate([np.nextafter(ends, 0.0), ends, np.nextafter(ends, 4.0), ends * (1 + 1e-9)])
            for m, E in zip(mea, eca_from_mea_array(mea, ecc)):
                assert abs(mp.mpf(E) - kepler_reference(m, ecc)) <= 2e-15, (ecc, m)


class TestTrigonometricKernels:
    """The sine, cosine and arctangent of the array forms are within 1 ulp of the C library (math)."""

    def test_sine_and_cosine(self):
        rng = np.random.default_rng(21)
        k = rng.integers(-200_000, 200_000, 400_000)
        x = np.concatenate(
            [
                rng.uniform(-4.0, 4.0, 600_000),
                rng.uniform(-1e6, 1e6, 300_000),
                # next to multiples of pi/2, where the reduction cancels
                k * (math.pi / 2) + rng.uniform(-1e-6, 1e-6, k.size),
                np.nextafter(k[:50_000] * (math.pi / 2), math.inf),
                rng.uniform(-1.0, 1.0, 100_000) * 10.0 ** rng.integers(-300, 300, 100_000),  # tiny and huge
            ]
        )
        s, c = coe._sin_cos_array(x)
        assert ulps_apart(s, list(map(math.sin, x))).max() <= 1
        assert ulps_apart(c, list(map(math.cos, x))).max() <= 1
        s, c = coe._sin_cos_array(np.array([math.inf, -math.inf, math.nan]))
        assert np.isnan(s).all() and np.isnan(c).all()

    def test_arctangent(self):
        rng = np.random.default_rng(22)
        n = 500_000
        y = rng.standard_normal(n) * 10.0 ** rng.integers(-5, 6, n)
        x = rng.standard_normal(n) * 10.0 ** rng.integers(-5, 6, n)
        x[:1000] = y[:1000] * rng.choice([7 / 16, 11 / 16, 19 / 16, 39 / 16, 1.0], 1000)  # the ends of the ranges
        special = [0.0, -0.0, 1.0, -1.0, 1e-310, math.inf, -math.inf]
        ys, xs = (np.array(v) for v in zip(*[(a, b) for a in special for b in special]))
        y, x = np.concatenate([y, ys]), np.concatenate([x, xs])
        got = coe._atan2_array(y, x)
        expected = np.array(list(map(math.atan2, y, x)))
        assert ulps_apart(got, expected).max() <= 1
        assert same_bits(np.signbit(got), np.signbit(expected))
        assert np.isnan(coe._atan2_array(np.array([math.nan, 1.0]), np.array([1.0, math.nan]))).all()
