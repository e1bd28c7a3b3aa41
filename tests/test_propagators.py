"""velmar.propagators.propagators: the Propagator base class."""

import gc
import inspect
import weakref

import numpy as np
import pytest

from velmar.propagators.propagators import Propagator


class Echo(Propagator):
    """A Python propagator whose propagate_state hands back what it was given."""

    def propagate_state(self, time, state, **kwargs):
        return ("propagated", time, state, kwargs)


class TestConstruction:
    @pytest.mark.parametrize(
        "args, kwargs", [((), {}), ((3.986004418e14,), {}), ((), {"GM": 1.0}), (("any object",), {}), ((None,), {})]
    )
    def test_no_argument_or_one_gm(self, args, kwargs):
        assert isinstance(Propagator(*args, **kwargs), Propagator)

    @pytest.mark.parametrize(
        "args, kwargs, message",
        [
            ((1.0, 2.0), {}, r"__init__\(\) takes at most 1 positional argument \(2 given\)"),
            ((), {"mu": 1.0}, r"__init__\(\) got an unexpected keyword argument 'mu'"),
            ((1.0,), {"GM": 2.0}, r"__init__\(\) got multiple values for keyword argument 'GM'"),
        ],
    )
    def test_other_arguments_are_refused(self, args, kwargs, message):
        with pytest.raises(TypeError, match=message):
            Propagator(*args, **kwargs)

    def test_signature(self):
        assert str(inspect.signature(Propagator)) == "(GM=None)"
        assert list(inspect.signature(Propagator.propagate).parameters) == ["self", "time_array", "initial_state"]

    def test_holds_no_attributes_and_is_not_tracked_by_the_collector(self):
        p = Propagator()
        with pytest.raises(AttributeError):
            p.GM = 1.0
        assert not gc.is_tracked(p)


class TestPropagate:
    def test_calls_propagate_state(self):
        state, times = object(), object()
        assert Echo().propagate(times, state) == ("propagated", times, state, {})
        assert Echo().propagate(initial_state=state, time_array=times) == ("propagated", times, state, {})

    def test_propagate_state_is_looked_up_on_the_instance(self):
        p = Echo()
        p.propagate_state = lambda time, state: ("instance", time, state)
        assert p.propagate(1, 2) == ("instance", 1, 2)

    def test_errors_of_propagate_state_pass_unchanged(self):
        error = ValueError("bad state")

        class Failing(Propagator):
            def propagate_state(self, time, state):
                raise error

        with pytest.raises(ValueError) as caught:
            Failing().propagate(0.0, None)
        assert caught.value is error

    @pytest.mark.parametrize("cls, name", [(Propagator, "Propagator"), (type("Bare", (Propagator,), {}), "Bare")])
    def test_a_class_without_propagate_state_says_so(self, cls, name):
        with pytest.raises(NotImplementedError, match=f"^{name} does not implement propagate_state$"):
            cls().propagate([0.0], None)
        with pytest.raises(NotImplementedError, match=f"^{name} does not implement propagate_state$"):
            cls().propagate_state([0.0], None, extra=1)

    def test_argument_errors(self):
        with pytest.raises(TypeError, match=r"propagate\(\) takes exactly 2 positional arguments \(1 given\)"):
            Echo().propagate(1.0)
        with pytest.raises(TypeError, match=r"propagate\(\) got an unexpected keyword argument 'frame'"):
            Echo().propagate(1.0, 2.0, frame=None)


class TestPythonSubclasses:
    def test_have_an_instance_dict_and_are_collected_in_cycles(self):
        p = Echo()
        p.name = "echo"
        p.me = p  # a reference cycle only the collector can break
        ref = weakref.ref(p)
        del p
        gc.collect()
        assert ref() is None

    def test_own_init_with_its_own_arguments(self):
        class Drag(Propagator):
            def __init__(self, area, mass, GM=None):
                super().__init__(GM=GM)
                self.ratio = area / mass

        assert Drag(2.0, 4.0, GM=1.0).ratio == 0.5

    def test_super_init_still_checks_what_it_is_given(self):
        class Wrong(Propagator):
            def __init__(self):
                super().__init__(1.0, 2.0)

        with pytest.raises(TypeError, match=r"takes at most 1 positional argument \(2 given\)"):
            Wrong()

    def test_own_new_passing_its_arguments_up(self):
        class Made(Propagator):
            def __new__(cls, *args, **kwargs):
                return super().__new__(cls, *args, **kwargs)

        assert isinstance(Made(GM=3.0), Made)
        with pytest.raises(TypeError, match="unexpected keyword argument 'x'"):
            Made(x=1)


class TestNativeOperations:
    r = np.array([7.0e6, 1.0e5, -2.0e5])
    v = np.array([10.0, 7.5e3, 1.0e2])

    @pytest.mark.parametrize("cls, name", [(Propagator, "Propagator"), (Echo, "Echo")])
    def test_base_has_no_force_model(self, cls, name):
        p = cls()
        with pytest.raises(NotImplementedError, match=rf"^{name} has no force model \(gravity_gradient is not"):
            p._gravity_gradient(0.0, self.r, self.v)
        with pytest.raises(NotImplementedError, match=rf"^{name} has no force model \(acceleration is not"):
            p._acceleration(0.0, self.r, self.v)
        # the state derivative is built on the acceleration of the object's table
        with pytest.raises(NotImplementedError, match=rf"^{name} has no force model \(acceleration is not"):
            p._state_derivative(0.0, np.concatenate([self.r, self.v]))

    def test_vectors_are_checked(self):
        p = Propagator()
        with pytest.raises(ValueError, match="r: expected 3 elements along axis 0, got 2"):
            p._gravity_gradient(0.0, self.r[:2], self.v)
        with pytest.raises(ValueError, match="x: expected 6 elements along axis 0, got 3"):
            p._state_derivative(0.0, self.r)
        with pytest.raises(ValueError, match="Buffer dtype mismatch, expected 'double' but got 'long'"):
            p._acceleration(0.0, self.r, np.arange(3))

    def test_a_native_subclass_is_reached_through_its_own_table(self):
        keplerian = pytest.importorskip("velmar.propagators.analytical.keplerian.keplerian")
        gm, radius = 3.986004418e14, 7.0e6
        k = keplerian.Keplerian(gm)
        # two-body gravity gradient on the x axis: GM / R^3 diag(2, -1, -1)
        gradient = k._gravity_gradient(0.0, np.array([radius, 0.0, 0.0]), self.v)
        np.testing.assert_allclose(gradient, gm / radius**3 * np.diag([2.0, -1.0, -1.0]), rtol=1e-14, atol=0.0)
        # the acceleration and the state derivative are the base's, inherited unchanged
        with pytest.raises(NotImplementedError, match="^Keplerian has no force model"):
            k._state_derivative(0.0, np.concatenate([self.r, self.v]))
