"""velmar.mathtools.misc.misc: the polar angle atan2_asymmetric."""

import math

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from velmar._native import _probe
from velmar.mathtools.misc.misc import atan2_asymmetric

TWO_PI = 2.0 * math.pi
SIGNATURE = "double (double const , double const )"
finite = st.floats(min_value=-1e12, max_value=1e12, allow_nan=False)


class TestValues:
    @pytest.mark.parametrize(
        "y, x, expected",
        [
            (0.0, 1.0, 0.0),
            (1.0, 1.0, math.pi / 4),
            (1.0, 0.0, math.pi / 2),
            (1.0, -1.0, 3 * math.pi / 4),
            (0.0, -1.0, math.pi),
            (-0.0, -1.0, math.pi),
            (-1.0, -1.0, 5 * math.pi / 4),
            (-1.0, 0.0, 3 * math.pi / 2),
            (-1.0, 1.0, 7 * math.pi / 4),
            (math.sqrt(3.0), 1.0, math.pi / 3),
            (-1.0, math.sqrt(3.0), 11 * math.pi / 6),
        ],
    )
    def test_axes_and_quadrants(self, y, x, expected):
        assert atan2_asymmetric(y, x) == pytest.approx(expected, abs=1e-15)

    @pytest.mark.parametrize("y", [0.0, -0.0])
    def test_positive_x_axis_is_positive_zero(self, y):
        angle = atan2_asymmetric(y, 2.0)
        assert angle == 0.0 and math.copysign(1.0, angle) == 1.0

    @pytest.mark.parametrize("y", [-1e-300, -1e-17, -4e-16])
    def test_angle_just_below_the_axis_does_not_round_to_a_full_turn(self, y):
        angle = atan2_asymmetric(y, 1.0)
        assert 0.0 <= angle < TWO_PI
        # the true angle is a full turn minus |y|: either 0 or within one ulp of 2 pi
        assert angle == 0.0 or TWO_PI - angle <= 2 * abs(y) + 1e-15

    @given(finite, finite)
    @settings(max_examples=300, deadline=None)
    def test_matches_atan2_moved_into_one_turn(self, y, x):
        angle = atan2_asymmetric(y, x)
        assert 0.0 <= angle < TWO_PI
        reference = math.atan2(y, x) % TWO_PI
        # the two may sit on either side of the cut at 0 = 2 pi
        difference = abs(angle - reference)
        assert min(difference, TWO_PI - difference) <= 1e-15

    @pytest.mark.parametrize("y, x", [(math.nan, 1.0), (1.0, math.nan), (math.nan, math.nan)])
    def test_nan_gives_nan(self, y, x):
        assert math.isnan(atan2_asymmetric(y, x))

    def test_keywords_and_numbers_that_float_accepts(self):
        assert atan2_asymmetric(x=-1, y=0) == math.pi
        assert atan2_asymmetric(1, 0) == math.pi / 2


class TestNativeExport:
    @pytest.mark.parametrize("y, x", [(0.0, 1.0), (1.0, -1.0), (-1.0, -1e-3), (-1e-300, 1.0)])
    def test_native_function_gives_the_python_value(self, y, x):
        native = _probe.call_native("velmar.mathtools.misc.misc", "atan2_asymmetric", SIGNATURE, y, x)
        assert native == atan2_asymmetric(y, x)

    def test_wrong_signature_is_refused(self):
        with pytest.raises(ImportError, match="atan2_asymmetric"):
            _probe.call_native("velmar.mathtools.misc.misc", "atan2_asymmetric", "double (double)", 0.0, 1.0)


class TestBadArguments:
    def test_missing_argument(self):
        with pytest.raises(TypeError, match=r"atan2_asymmetric\(\) takes exactly 2 positional arguments \(1 given\)"):
            atan2_asymmetric(1.0)

    def test_unknown_keyword(self):
        with pytest.raises(TypeError, match="unexpected keyword argument 'z'"):
            atan2_asymmetric(1.0, 2.0, z=3.0)

    def test_not_a_number(self):
        with pytest.raises(TypeError):
            atan2_asymmetric("1", 2.0)
