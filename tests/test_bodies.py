import pytest

from velmar._native import _probe
from velmar.bodies import bodies
from velmar.bodies.bodies import CelestialBody, Earth, Moon, Sun

# Published values: IERS Conventions 2010 / WGS 84 for the Earth; JPL DE440
# (Park et al. 2021) for the GM of the Sun and Moon; IAU 2015 B3 nominal solar
# radius; IAU mean lunar radius.
PUBLISHED = [
    (Earth, 3.986004418e14, 6378137.0),
    (Sun, 132712440041.279419e9, 695700e3),
    (Moon, 4902.800118e9, 1737.4e3),
]


@pytest.mark.parametrize("body, gm, re", PUBLISHED)
def test_published_constants(body, gm, re):
    assert issubclass(body, CelestialBody)
    assert isinstance(body, type)
    assert body.GM == pytest.approx(gm, rel=1e-15)
    assert body.Re == re
    assert type(body.GM) is float and type(body.Re) is float


@pytest.mark.parametrize("name", ["CelestialBody", "Earth", "Sun", "Moon"])
def test_types_import_natively(name):
    assert _probe.import_type("velmar.bodies.bodies", name, 16) is getattr(bodies, name)


def test_constants_are_assignable_and_restorable():
    saved = Earth.GM
    try:
        Earth.GM = 3.986005e14  # WGS 72 value
        assert Earth.GM == 3.986005e14
        assert Sun.GM != Earth.GM
    finally:
        Earth.GM = saved
    assert Earth.GM == 3.986004418e14


def test_user_body_subclass():
    class Mars(CelestialBody):
        GM = 4.282837e13
        Re = 3396.19e3

    assert Mars.GM / Earth.GM == pytest.approx(0.10745, rel=1e-3)
