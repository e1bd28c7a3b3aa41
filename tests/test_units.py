import math

import pytest

from velmar._native._probe import read_constant
from velmar.units import units

# Independent values: the definitions of the units in SI.
EXPECTED = {
    "m": 1.0,
    "km": 1e3,
    "s": 1.0,
    "ms": 1e-3,
    "minute": 60.0,
    "hour": 3600.0,
    "day": 86400.0,
    "rad": 1.0,
    "deg": math.radians(1.0),
    "rev": math.tau,
    "arcsec": math.radians(1.0 / 3600.0),
    "mas": math.radians(1.0 / 3600.0) / 1000.0,
}


@pytest.mark.parametrize("name, value", EXPECTED.items())
def test_python_float_and_native_export_agree_with_definition(name, value):
    attribute = getattr(units, name)
    assert type(attribute) is float
    assert attribute == pytest.approx(value, rel=1e-15, abs=0.0)
    assert read_constant("velmar.units.units", name) == attribute


def test_all_lists_every_unit():
    assert sorted(units.__all__) == sorted(EXPECTED)


def test_conversions_read_naturally():
    assert 180 * units.deg == pytest.approx(math.pi, rel=1e-16)
    assert units.rev / units.day * 86400 == pytest.approx(2 * math.pi, rel=1e-16)
    assert 3600 * units.arcsec == pytest.approx(units.deg, rel=1e-15)


def test_unknown_native_name_fails_with_import_error():
    with pytest.raises(ImportError, match="does not export 'furlong'"):
        read_constant("velmar.units.units", "furlong")
