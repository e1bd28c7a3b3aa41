import gc
import pickle
import subprocess
import sys
import weakref

import numpy as np
import pytest
from conftest import assert_child_ok

from velmar.frames.frames import GCRF
from velmar.propagators.analytical.keplerian.keplerian import Keplerian
from velmar.propagators.propagators import Propagator
from velmar.satellite.satellite import Satellite
from velmar.state.ephemeris import StateVectorEphemeris
from velmar.state.state import StateVector
from velmar.time.time import Time

EPOCH = "2024-03-01T00:00:00"
R = [7000e3, 0.0, 0.0]
V = [0.0, 7.5e3, 1.0e3]


@pytest.fixture
def state():
    return StateVector(Time(EPOCH), GCRF, R, V)


@pytest.fixture
def ephemeris():
    t = Time(["2024-03-01T00:00:00", "2024-03-01T00:01:00"])
    return StateVectorEphemeris(t, GCRF, np.array([R, R]), np.array([V, V]))


class TestConstruction:
    def test_time_is_a_time_made_once(self, state):
        sat = Satellite(["2024-03-01", "2024-03-02"], state)
        assert isinstance(sat.time, Time)
        assert sat.time is sat.time is sat._time
        assert list(sat.time.int64) == list(Time(["2024-03-01", "2024-03-02"]).int64)

    def test_defaults(self, state):
        sat = Satellite(EPOCH, state)
        assert sat.name is None and sat.description is None
        assert sat.propagator is None and sat.ephemeris is None
        assert sat.state is state

    def test_keeps_what_it_is_given(self, state, ephemeris):
        prop = Keplerian()
        sat = Satellite(EPOCH, state, prop, ephemeris, "  ISS (ZARYA) ", "\tcrewed station\n")
        assert sat.propagator is prop and sat.ephemeris is ephemeris
        assert sat.name == "ISS (ZARYA)" and sat.description == "crewed station"

    def test_keywords(self, state):
        sat = Satellite(time=EPOCH, state=state, name="x", description=None)
        assert sat.name == "x" and sat.description is None

    def test_subclasses_are_accepted_where_a_class_is_named(self, state):
        class MyKeplerian(Keplerian):
            pass

        assert isinstance(Satellite(EPOCH, state, MyKeplerian()).propagator, Propagator)

    @pytest.mark.parametrize(
        "args, kwargs, message",
        [
            ((EPOCH,), {}, "__init__() takes at least 2 positional arguments (1 given)"),
            (
                (EPOCH, None, None, None, None, None, None),
                {},
                "__init__() takes at most 6 positional arguments (7 given)",
            ),
            ((EPOCH, None), {"colour": 1}, "__init__() got an unexpected keyword argument 'colour'"),
            ((EPOCH, None), {"time": EPOCH}, "__init__() got multiple values for keyword argument 'time'"),
            ((EPOCH, None, "kepler"), {}, "Argument 'propagator' has incorrect type"),
            ((EPOCH, None, None, [1.0]), {}, "Argument 'ephemeris' has incorrect type"),
            ((EPOCH, None, None, None, 42), {}, "Argument 'name' has incorrect type (expected str, got int)"),
            (
                (EPOCH, None, None, None, None, b"x"),
                {},
                "Argument 'description' has incorrect type (expected str, got bytes)",
            ),
        ],
    )
    def test_argument_errors(self, args, kwargs, message):
        with pytest.raises(TypeError) as info:
            Satellite(*args, **kwargs)
        assert message in str(info.value)

    def test_checks_run_in_parameter_order(self):
        with pytest.raises(TypeError, match="'propagator'"):
            Satellite(EPOCH, None, "p", "e", 1, 2)
        with pytest.raises(TypeError, match="'name'"):
            Satellite(EPOCH, None, None, None, 1, 2)

    def test_time_errors_propagate(self):
        with pytest.raises(ValueError, match="not a date"):
            Satellite("not a date", None)

    def test_str_subclass_name_refused(self):
        class Name(str):
            pass

        with pytest.raises(TypeError, match="expected str, got Name"):
            Satellite(EPOCH, None, name=Name("x"))


class TestNameAndDescription:
    @pytest.mark.parametrize("attr", ["name", "description"])
    def test_setter_normalises(self, state, attr):
        sat = Satellite(EPOCH, state)
        setattr(sat, attr, "  padded text\t")
        assert getattr(sat, attr) == "padded text"
        setattr(sat, attr, "")
        assert getattr(sat, attr) == ""
        setattr(sat, attr, None)
        assert getattr(sat, attr) == "None"

    @pytest.mark.parametrize("attr", ["name", "description"])
    def test_bad_values_leave_the_old_one(self, state, attr):
        class Text(str):
            pass

        sat = Satellite(EPOCH, state)
        setattr(sat, attr, "kept")
        for bad in (42, Text("sub"), b"bytes"):
            with pytest.raises(TypeError):
                setattr(sat, attr, bad)
        assert getattr(sat, attr) == "kept"
        with pytest.raises(NotImplementedError, match="^__del__$"):
            delattr(sat, attr)
        assert getattr(sat, attr) == "kept"

    @pytest.mark.parametrize("attr", ["time", "propagator", "ephemeris", "state"])
    def test_read_only(self, state, attr):
        with pytest.raises(AttributeError):
            setattr(Satellite(EPOCH, state), attr, None)

    def test_docstrings(self):
        assert Satellite.time.__doc__ == "Satellite.time: Time"
        assert Satellite.name.__doc__ == "Satellite.name: str | None"
        assert Satellite.description.__doc__ == "Satellite.description: str | None"


class TestLifecycle:
    def test_pickling_refused(self, state):
        with pytest.raises(TypeError):
            pickle.dumps(Satellite(EPOCH, state))

    def test_cycle_through_ephemeris_dict_is_collected(self, state):
        t = Time(["2024-03-01T00:00:00", "2024-03-01T00:01:00"])
        ephemeris = StateVectorEphemeris(t, GCRF, np.array([R, R]), np.array([V, V]))
        sat = Satellite(EPOCH, state, None, ephemeris)
        ephemeris.owner = sat
        ref = weakref.ref(sat)
        del sat, ephemeris
        gc.collect()
        assert ref() is None

    def test_cycle_through_its_own_dict_is_collected(self, state):
        class Tracked(Satellite):
            pass

        sat = Tracked(EPOCH, state)
        sat.friends = [sat]
        ref = weakref.ref(sat)
        del sat
        gc.collect()
        assert ref() is None

    def test_python_subclass(self, state):
        class Named(Satellite):
            def __init__(self, *args, **kwargs):
                super().__init__(*args, **kwargs)
                self.extra = 1

        sat = Named(EPOCH, state, name=" n ")
        assert sat.extra == 1 and sat.name == "n"

    def test_second_initialisation_refused_and_object_unchanged(self):
        # A live satellite's epochs are fixed: __init__ again, directly or from
        # a subclass, must not swap its Time or reset its name.
        code = """
from velmar.frames.frames import GCRF
from velmar.satellite.satellite import Satellite
from velmar.state.state import StateVector

class Named(Satellite):
    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)

state = StateVector("2024-03-01", GCRF, [7e6, 0, 0], [0, 7.5e3, 0])
for cls in (Satellite, Named):
    sat = cls("2024-03-01", state, name="ISS", description="station")
    sat.name = "renamed"
    before = (sat.time, sat.time.int64, sat.state, sat.propagator, sat.ephemeris, sat.name, sat.description)
    for again in (lambda: sat.__init__("2030-01-01", None), lambda: Satellite.__init__(sat, "2030-01-01", None)):
        try:
            again()
        except TypeError as error:
            assert cls.__name__ in str(error) and "already initialised" in str(error), str(error)
        else:
            raise AssertionError("second __init__ accepted")
        after = (sat.time, sat.time.int64, sat.state, sat.propagator, sat.ephemeris, sat.name, sat.description)
        assert after == before, (before, after)
# Never initialised (a subclass that skips super().__init__): the first call is allowed.
class Lazy(Satellite):
    def __init__(self, *args):
        pass

lazy = Lazy("2024-03-01", state)
assert lazy.time is None
Satellite.__init__(lazy, "2024-03-01", state, name=" late ")
assert str(lazy.time) and lazy.name == "late"
"""
        assert_child_ok(code)


def test_import_fails_without_the_element_set_module():
    code = (
        "import sys\nsys.modules['velmar.propagators.analytical.sgp4.tle'] = None\nimport velmar.satellite.satellite\n"
    )
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert result.returncode != 0
    assert "ImportError" in result.stderr or "ModuleNotFoundError" in result.stderr
    assert "velmar.propagators.analytical.sgp4.tle" in result.stderr
