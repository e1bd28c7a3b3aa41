import math
import pickle

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from velmar._native import _probe
from velmar.mathtools.ellipsoid import ellipsoid
from velmar.mathtools.ellipsoid.ellipsoid import GRS80, WGS72, WGS84, Ellipsoid

# Defining constants (a in m, 1/f) and, where published, the derived semi-minor
# axis and squared eccentricity (NIMA TR8350.2 for WGS 84, Moritz 1980 for GRS 80).
DEFINED = [
    ("WGS72", 6378135.0, 298.26, 6356750.52, None),
    ("WGS84", 6378137.0, 298.257223563, 6356752.314245, 6.69437999014e-3),
    ("GRS80", 6378137.0, 298.257222101, 6356752.314140, 6.69438002290e-3),
]


@pytest.mark.parametrize("name, a, inverse_f, b, e2", DEFINED)
def test_defining_and_derived_constants(name, a, inverse_f, b, e2):
    e = getattr(ellipsoid, name)
    assert e.a == a
    assert 1.0 / e.f == pytest.approx(inverse_f, rel=1e-15)
    assert e.b == pytest.approx(b, abs=0.005)
    if e2 is not None:
        assert e.e2 == pytest.approx(e2, rel=1e-11)
    # e2 from the axes, a different road from f (2 - f)
    assert e.e2 == pytest.approx((e.a**2 - e.b**2) / e.a**2, rel=1e-12)


@pytest.mark.parametrize("name", ["WGS72", "WGS84", "GRS80"])
def test_native_export(name):
    assert "PyObject *" in repr(ellipsoid.__capi__[name])
    assert _probe.import_type("velmar.mathtools.ellipsoid.ellipsoid", "Ellipsoid", 48) is Ellipsoid


def test_value_semantics():
    assert Ellipsoid(6378137.0, 1 / 298.257223563) == WGS84
    assert WGS84 != GRS80 and WGS84 != WGS72
    assert hash(Ellipsoid(WGS84.a, WGS84.f)) == hash(WGS84)
    assert pickle.loads(pickle.dumps(GRS80)) == GRS80
    assert repr(Ellipsoid(2.0, 0.5)) == "Ellipsoid(a=2.0, f=0.5)"
    with pytest.raises(AttributeError):
        WGS84.a = 1.0


@settings(max_examples=50, deadline=None)
@given(a=st.floats(1e-3, 1e9), f=st.floats(0.0, 0.999))
def test_derived_follow_closed_form(a, f):
    e = Ellipsoid(a, f)
    assert e.b == pytest.approx(a - a * f, rel=1e-14, abs=4e-16 * a)  # a - a f cancels as f -> 1
    assert e.e2 == pytest.approx(1.0 - (1.0 - f) ** 2, rel=1e-12, abs=1e-15)


@pytest.mark.parametrize(
    "args, error, text",
    [
        ((-1.0, 0.0), ValueError, "'a' must be finite and positive (m), got -1.0"),
        ((0.0, 0.0), ValueError, "got 0.0"),
        ((math.inf, 0.0), ValueError, "got inf"),
        ((math.nan, 0.0), ValueError, "got nan"),
        ((1.0, 1.0), ValueError, "'f' must lie in [0, 1), got 1.0"),
        ((1.0, -0.1), ValueError, "got -0.1"),
        ((1.0, math.nan), ValueError, "got nan"),
        (("6378137", 0.0), TypeError, "Argument 'a' has incorrect type (expected float, got str)"),
        ((1.0, None), TypeError, "Argument 'f' has incorrect type (expected float, got NoneType)"),
        ((1.0,), TypeError, "Ellipsoid() takes exactly 2 positional arguments (1 given)"),
    ],
)
def test_bad_input(args, error, text):
    with pytest.raises(error) as info:
        Ellipsoid(*args)
    assert text in str(info.value)
