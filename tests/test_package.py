"""The package as a whole: the names at its top and the signatures help() shows."""

import importlib
import inspect
import pkgutil
import types

import pytest
from conftest import assert_child_ok

import velmar


class TestTopLevelNames:
    def test_import_loads_nothing_until_a_name_is_asked_for(self):
        out = assert_child_ok(
            "import sys\n"
            "import velmar\n"
            "print(sorted(m for m in sys.modules if m.startswith(('velmar.', 'numpy', 'scipy'))))\n"
            "velmar.TLE, velmar.Time, velmar.GCRF, velmar.read_tles\n"
            "print('scipy' in sys.modules)\n"
            "print(velmar.EOP.__module__, 'scipy' in sys.modules)\n"
        )
        assert out.split("\n")[:3] == ["[]", "False", "velmar.iers.eop True"]

    def test_each_name_is_the_object_of_its_module(self):
        for name, home in velmar._HOMES.items():
            assert getattr(velmar, name) is getattr(importlib.import_module(home), name), name
            assert name in dir(velmar)

    def test_the_names_are_the_everyday_ones_and_no_others(self):
        assert (
            set(velmar.__all__)
            == set(velmar._HOMES)
            == {
                "TLE",
                "ELSET",
                "Time",
                "Keplerian",
                "Satellite",
                "EOP",
                "load_catalog",
                "read_tles",
                "GCRF",
                "ITRF",
                "TEME",
                "ENU",
                "transform",
                "teme_to_itrf",
                "itrf_to_teme",
                "itrf_to_gcrf",
                "gcrf_to_itrf",
            }
        )
        with pytest.raises(AttributeError, match="module 'velmar' has no attribute 'Tle'"):
            velmar.Tle  # noqa: B018


def _native_callables():
    """(qualified name, object) of every function, class and method of the extension modules."""
    for info in pkgutil.walk_packages(velmar.__path__, "velmar."):
        if info.name == "velmar.__main__":
            continue
        module = importlib.import_module(info.name)
        if not module.__file__.endswith((".so", ".pyd")):
            continue
        for name, obj in list(vars(module).items()):
            if name.startswith("__"):
                continue
            if isinstance(obj, types.BuiltinFunctionType):
                yield f"{info.name}.{name}", obj
            elif isinstance(obj, type) and obj.__module__ == info.name:
                yield f"{info.name}.{name}", obj
                for attr, member in list(vars(obj).items()):
                    if isinstance(member, (types.MethodDescriptorType, types.ClassMethodDescriptorType)):
                        yield f"{info.name}.{name}.{attr}", member


# Their docstrings open with a fixed, published signature line (for example
# "ELSET.pairwise(self) -> Iterator[tuple[TLE, TLE]]"), which must stay as it
# is; help() shows that line instead.
_RECORD_SIGNATURE_LINES = {
    f"velmar.propagators.analytical.sgp4.tle.ELSET.{name}"
    for name in ("__getitem__", "_getitem_integral", "_getitem_selection", "__iter__", "__next__", "pairwise")
}


def test_every_native_callable_shows_its_signature():
    missing = []
    for name, obj in _native_callables():
        try:
            inspect.signature(obj)
        except ValueError:
            if name not in _RECORD_SIGNATURE_LINES:
                missing.append(name)
        else:
            assert name not in _RECORD_SIGNATURE_LINES, f"{name} has a signature now: drop it from the list"
    assert missing == []


def test_signatures_of_note():
    from velmar.frames.frames import _GCRF
    from velmar.frames.geodetic import itrf_to_geodetic
    from velmar.propagators.analytical.sgp4.tle import ELSET, TLE

    # Each frame singleton's type takes no argument, not the base's name.
    assert str(inspect.signature(_GCRF)) == "()"
    with pytest.raises(TypeError, match=r"_GCRF\(\) takes exactly 0 positional arguments \(1 given\)"):
        _GCRF("x")
    # A default help() can show, and that means what not giving it means.
    assert inspect.signature(itrf_to_geodetic).parameters["ellipsoid"].default is None
    assert str(inspect.signature(ELSET._getitem_integral_slice)) == "(self, /, item)"
    assert str(inspect.signature(TLE._get_body)) == "(self, /)"
    assert TLE._get_header.__doc__ == 'Header of the printed form: "Two-line Elements (TLE)".'
