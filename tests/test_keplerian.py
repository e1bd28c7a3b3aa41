import ctypes
import gc
import inspect
import pickle
import sys

import numpy as np
import pytest
from conftest import assert_child_ok
from hypothesis import given, settings
from hypothesis import strategies as st
from scipy.integrate import solve_ivp
from scipy.optimize import brentq

from velmar.bodies.bodies import Earth
from velmar.frames.frames import GCRF, TEME
from velmar.propagators.analytical.keplerian import keplerian as module
from velmar.propagators.analytical.keplerian.keplerian import Keplerian
from velmar.propagators.propagators import Propagator
from velmar.state import coe as coe_module
from velmar.state.ephemeris import COEEphemeris, StateVectorEphemeris
from velmar.state.state import COE, State, StateVector
from velmar.time.time import Time

GM = 398600.4418e9  # m^3/s^2
EPOCH = Time("2024-03-01T00:00:00")


def epochs_after(seconds):
    """A Time at EPOCH + seconds (rounded to its nanoseconds) and the exact elapsed seconds."""
    ticks = EPOCH.int64 + np.round(np.asarray(seconds, dtype=float) * 1e9).astype(np.int64)
    return Time(ticks), (ticks - EPOCH.int64) / 1e9


def rotation(inc, raa, arp):
    def r3(a):
        c, s = np.cos(a), np.sin(a)
        return np.array([[c, -s, 0], [s, c, 0], [0, 0, 1]])

    c, s = np.cos(inc), np.sin(inc)
    return r3(raa) @ np.array([[1, 0, 0], [0, c, -s], [0, s, c]]) @ r3(arp)


def elements_to_rv(gm, a, e, inc, raa, arp, nu):
    """Position and velocity from classical elements, in the perifocal frame then rotated."""
    p = a * (1 - e * e)
    rpf = p / (1 + e * np.cos(nu)) * np.array([np.cos(nu), np.sin(nu), 0.0])
    vpf = np.sqrt(gm / p) * np.array([-np.sin(nu), e + np.cos(nu), 0.0])
    q = rotation(inc, raa, arp)
    return q @ rpf, q @ vpf


def orbit_state(e, a=7.2e6, inc=0.9, raa=0.4, arp=1.1, nu=0.3, gm=GM):
    r, v = elements_to_rv(gm, a, e, inc, raa, arp, nu)
    return StateVector(EPOCH, GCRF, r, v, GM=gm)


def acceleration(gm, r):
    return -gm * r / np.linalg.norm(r) ** 3


def ks_matrix(u):
    u1, u2, u3, u4 = u
    return np.array([[u1, -u2, -u3, u4], [u2, u1, -u4, -u3], [u3, u4, u1, u2], [u4, -u3, u2, -u1]])


def integrate_two_body(r0, v0, targets):
    """Positions at the times `targets` (units with GM = 1) by integrating the two-body equations.

    They are integrated in Kustaanheimo-Stiefel form (a harmonic oscillator in
    a fictitious time s with dt/ds = |r|): in Cartesian form DOP853 at rtol
    1e-13 itself drifts by 1e-8 over ten periods at ecc 0.99.
    """
    rn = np.linalg.norm(r0)
    if r0[0] >= 0:
        u1 = np.sqrt((rn + r0[0]) / 2)
        u0 = np.array([u1, r0[1] / (2 * u1), r0[2] / (2 * u1), 0.0])
    else:
        u2 = np.sqrt((rn - r0[0]) / 2)
        u0 = np.array([r0[1] / (2 * u2), u2, 0.0, r0[2] / (2 * u2)])
    du0 = ks_matrix(u0).T @ np.append(v0, 0.0) / 2
    energy = v0 @ v0 / 2 - 1 / rn
    span = np.sign(targets[-1]) * (1.2 * np.abs(targets).max() + 10)
    sol = solve_ivp(
        lambda s, y: np.concatenate([y[4:8], energy / 2 * y[:4], [y[:4] @ y[:4]]]),
        (0.0, span),
        np.concatenate([u0, du0, [0.0]]),
        method="DOP853",
        rtol=1e-13,
        atol=1e-15,
        dense_output=True,
    )
    positions = []
    for t in targets:
        u = sol.sol(brentq(lambda s: sol.sol(s)[8] - t, 0.0, span, xtol=1e-14))[:4]
        positions.append((ks_matrix(u) @ u)[:3])
    return np.array(positions)


def native_table(obj, entries):
    """The function pointers at the head of the native table of a propagator."""
    table = ctypes.c_void_p.from_address(id(obj) + object.__basicsize__).value
    return list((ctypes.c_void_p * entries).from_address(table))


JACOBIAN = ctypes.PYFUNCTYPE(
    ctypes.c_int, ctypes.py_object, ctypes.POINTER(ctypes.c_double), ctypes.POINTER(ctypes.c_double)
)
PROPAGATE = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object, ctypes.py_object, ctypes.py_object)


def doubles(values):
    return (ctypes.c_double * len(values))(*values)


class TestClass:
    def test_derives_from_the_propagator_base_and_can_be_subclassed(self):
        class Mine(Keplerian):
            def extra(self):
                return self.GM

        assert issubclass(Keplerian, Propagator)
        assert Mine(GM=5.0).extra() == 5.0

    def test_default_gm_is_earth_gm_read_once_at_import(self, monkeypatch):
        imported = float(Earth.GM)
        monkeypatch.setattr(Earth, "GM", 1.0)
        assert Keplerian().GM == imported == 3.986004418e14

    @pytest.mark.parametrize("value", [3, 3.5, np.float32(0.25), np.int64(7), "2.5e14"])
    def test_gm_converted_as_float_converts(self, value):
        assert Keplerian(value).GM == float(value) == Keplerian(GM=value).GM
        assert type(Keplerian(value).GM) is float

    @pytest.mark.parametrize("value", [-3.986004418e14, 0, -0.0, float("nan"), "inf", -np.inf])
    def test_gm_must_be_positive_and_finite(self, value):
        with pytest.raises(ValueError) as info:
            Keplerian(value)
        assert (
            str(info.value) == f"GM must be a positive finite gravitational parameter (m^3/s^2), got {float(value)!r}"
        )

    def test_gm_read_only(self):
        with pytest.raises(AttributeError):
            Keplerian().GM = 1.0

    @pytest.mark.parametrize(
        "args, kwargs, error",
        [((1.0, 2.0), {}, TypeError), ((), {"gm": 1.0}, TypeError), (("x",), {}, ValueError), ((None,), {}, TypeError)],
    )
    def test_bad_construction(self, args, kwargs, error):
        with pytest.raises(error):
            Keplerian(*args, **kwargs)

    def test_pickling_refused(self):
        with pytest.raises(TypeError):
            pickle.dumps(Keplerian())

    def test_not_tracked_by_the_garbage_collector(self):
        assert not gc.is_tracked(Keplerian())

    def test_documentation(self):
        doc = Keplerian.__doc__
        assert doc.startswith("Keplerian (two-body) orbit propagator.")
        for text in [
            "m^3/s^2",
            "Earth",
            "J2, drag, lunisolar",
            "ecc >= 1.0",
            "Keplerian(GM=398600.4418e9)",
            "propagate(time_array, initial_state)",
        ]:
            assert text in doc
        assert Keplerian.propagate_state.__doc__.startswith(
            "Propagate a single initial state to one or more epochs (public API).\n"
        )
        jac = Keplerian.jacobian.__doc__
        assert jac.startswith("Compute the Jacobian matrices (∂f/∂x) along an ephemeris trajectory.\n")
        assert "Ephemeris for which to compute Jacobians." in jac and "Jacobian matrices at each epoch." in jac

    def test_annotations_and_signatures(self):
        assert Keplerian.propagate_state.__annotations__ == {
            "time": "DatetimeLike",
            "state": "State",
            "return": "StateVectorEphemeris",
        }
        assert Keplerian.jacobian.__annotations__ == {"eph": "StateVectorEphemeris", "return": "numpy.ndarray"}
        assert str(inspect.signature(Keplerian.propagate_state)) == "(self, time, state, **kwargs)"
        assert str(inspect.signature(Keplerian().jacobian)) == "(eph)"
        assert str(inspect.signature(Keplerian)) == f"(GM={float(Earth.GM)!r})"
        assert module.DatetimeLike is sys.modules["velmar.typing"].DatetimeLike

    def test_native_table_order(self):
        k, base = Keplerian(2.0), Propagator()
        mine, inherited = native_table(k, 6), native_table(base, 3)
        assert mine[0] != inherited[0] and mine[1:3] == inherited[1:3]
        assert type(k).__basicsize__ == object.__basicsize__ + 16  # table pointer, then GM


class TestPropagateState:
    def test_vallado_example_2_4(self):
        gm = 398600.4418e9
        sv = StateVector(
            EPOCH,
            GCRF,
            np.array([1131.340, -2282.343, 6672.423]) * 1e3,
            np.array([-5.64305, 4.30333, 2.42879]) * 1e3,
            GM=gm,
        )
        eph = Keplerian(gm).propagate_state(EPOCH + 2400.0, sv)
        assert isinstance(eph, StateVectorEphemeris) and eph.size == 1
        np.testing.assert_allclose(
            eph.r[0], np.array([-4219.752738, 4363.029177, -3958.766617]) * 1e3, atol=1e-3, rtol=0
        )
        np.testing.assert_allclose(
            eph.v[0], np.array([3.689866025, -1.916734777, -6.112511100]) * 1e3, atol=1e-6, rtol=0
        )

    @pytest.mark.parametrize("e", [0.0, 0.1, 0.7, 0.99])
    @pytest.mark.parametrize("sign", [1, -1])
    def test_against_numerical_integration_over_ten_periods(self, e, sign):
        a = 2.0e7
        sv = orbit_state(e, a=a, nu=2.0)
        n = np.sqrt(GM / a**3)
        times, dt = epochs_after(sign * (np.linspace(0.0, 10.0, 41)[1:] * 2 * np.pi / n + 123.4))
        eph = Keplerian(GM).propagate_state(times, sv)
        r_ref = integrate_two_body(sv.r / a, sv.v / (a * n), dt * n) * a
        error = np.linalg.norm(eph.r - r_ref, axis=1) / np.linalg.norm(r_ref, axis=1)
        assert error.max() < 1e-9

    @pytest.mark.parametrize("e", [0.0, 0.1, 0.7, 0.95])
    def test_energy_and_angular_momentum_are_kept(self, e):
        sv = orbit_state(e)
        times, _ = epochs_after(np.linspace(-3e5, 3e5, 501))
        eph = Keplerian(GM).propagate_state(times, sv)
        energy0 = sv.v @ sv.v / 2 - GM / np.linalg.norm(sv.r)
        energy = np.einsum("ij,ij->i", eph.v, eph.v) / 2 - GM / np.linalg.norm(eph.r, axis=1)
        np.testing.assert_allclose(energy, energy0, rtol=1e-13, atol=0)
        h0 = np.cross(sv.r, sv.v)
        assert np.abs(np.cross(eph.r, eph.v) - h0).max() < 1e-13 * np.linalg.norm(h0)

    @pytest.mark.parametrize("e", [0.0, 0.3, 0.999])
    def test_one_period_later_the_state_returns(self, e):
        a = 8.0e6
        coe = COE(EPOCH, GCRF, e, a, 0.9, 0.4, 1.1, 0.7, GM=GM)
        period = 2 * np.pi * np.sqrt(a**3 / GM)
        times, dt = epochs_after([0.0, period, -period])
        eph = Keplerian(GM).propagate_state(times, coe)
        # The epochs are whole nanoseconds, so allow for the part of the period they cannot hold.
        slack = np.abs(np.abs(dt[1:]) - period).max() * np.linalg.norm(eph.v[0]) * 2
        for r in eph.r[1:]:
            assert np.linalg.norm(r - eph.r[0]) <= 1e-12 * a + slack

    def test_many_epochs_in_one_call_equal_one_at_a_time(self):
        sv, k = orbit_state(0.4), Keplerian(GM)
        times, _ = epochs_after(np.linspace(-1e5, 1e5, 17))
        together = k.propagate_state(times, sv)
        for i, t in enumerate(times):
            alone = k.propagate_state(t, sv)
            assert alone.size == 1
            assert np.array_equal(alone.r[0], together.r[i]) and np.array_equal(alone.v[0], together.v[i])

    @pytest.mark.parametrize("isa", coe_module._isa_paths())
    def test_every_instruction_set_gives_the_bits_of_one_epoch_at_a_time_on_the_baseline(self, isa):
        # 300 epochs: a full block of the array kernels and part of another
        sv, k = orbit_state(0.95), Keplerian(GM)
        times, _ = epochs_after(np.linspace(-2e5, 2e5, 300))
        previous = coe_module._use_isa("baseline")
        try:
            alone = [k.propagate_state(t, sv) for t in times]
            coe_module._use_isa(isa)
            together = k.propagate_state(times, sv)
        finally:
            coe_module._use_isa(previous)
        assert np.array_equal(together.r, np.concatenate([a.r for a in alone]))
        assert np.array_equal(together.v, np.concatenate([a.v for a in alone]))

    def test_target_epoch_equal_to_the_state_epoch_gives_the_state(self):
        sv = orbit_state(0.2, nu=5.5)
        eph = Keplerian(GM).propagate_state(EPOCH, sv)
        np.testing.assert_allclose(eph.r[0], sv.r, rtol=1e-12)
        np.testing.assert_allclose(eph.v[0], sv.v, rtol=1e-12)

    @settings(max_examples=40, deadline=None)
    @given(
        e=st.floats(0.0, 0.9),
        a=st.floats(6.6e6, 4.2e7),
        inc=st.floats(0.0, np.pi),
        raa=st.floats(0.0, 6.28),
        arp=st.floats(0.0, 6.28),
        nu=st.floats(-3.1, 3.1),
        seconds=st.floats(-1e7, 1e7),
    )
    def test_matches_a_closed_form_model(self, e, a, inc, raa, arp, nu, seconds):
        times, dt = epochs_after([seconds])
        eph = Keplerian(GM).propagate_state(times, orbit_state(e, a, inc, raa, arp, nu))
        n = np.sqrt(GM / a**3)
        E0 = 2 * np.arctan(np.sqrt((1 - e) / (1 + e)) * np.tan(nu / 2))
        M = np.fmod(E0 - e * np.sin(E0) + n * dt[0], 2 * np.pi)
        E = M + e * np.sin(M) if e < 0.8 else np.pi
        for _ in range(60):
            E -= (E - e * np.sin(E) - M) / (1 - e * np.cos(E))
        nu1 = 2 * np.arctan2(np.sqrt(1 + e) * np.sin(E / 2), np.sqrt(1 - e) * np.cos(E / 2))
        r, v = elements_to_rv(GM, a, e, inc, raa, arp, nu1)
        # A mean anomaly of up to ~1e4 rad carries its rounding into the angle.
        assert np.linalg.norm(eph.r[0] - r) <= 1e-11 * a * (1 + abs(n * dt[0]))

    def test_circular_orbit_advances_the_true_anomaly_with_the_mean_motion(self):
        a, tra0 = 7.0e6, 0.25
        coe = COE(EPOCH, GCRF, 0.0, a, 0.5, 0.1, 0.0, tra0, GM=GM)
        times, dt = epochs_after([-5000.0, 0.0, 12345.0])
        elements = PROPAGATE(native_table(Keplerian(GM), 6)[4])(Keplerian(GM), times, coe)
        expected = np.mod(tra0 + np.sqrt(GM / a) / a * dt, 2 * np.pi)
        np.testing.assert_allclose(np.mod(elements.tra, 2 * np.pi), expected, atol=1e-12)

    def test_element_ephemeris_holds_the_constant_elements_frame_and_propagator_gm(self):
        coe = COE(EPOCH, TEME, 0.3, 9e6, 1.2, 2.0, 3.0, 4.0, GM=GM)
        k = Keplerian(2 * GM)
        times, _ = epochs_after([0.0, 60.0, 120.0])
        elements = PROPAGATE(native_table(k, 6)[4])(k, times, coe)
        assert isinstance(elements, COEEphemeris) and elements.frame is TEME and elements.GM == 2 * GM
        for key in ["ecc", "sma", "inc", "raa", "arp", "slr"]:
            assert np.array_equal(getattr(elements, key), np.full(3, getattr(coe, key)))

    def test_propagator_gm_sets_the_mean_motion(self):
        # Four times GM doubles the mean motion; positions do not depend on GM otherwise.
        coe = COE(EPOCH, GCRF, 0.3, 9e6, 1.2, 2.0, 3.0, 4.0, GM=GM)
        t1, _ = epochs_after([700.0])
        t2, _ = epochs_after([1400.0])
        np.testing.assert_allclose(
            Keplerian(4 * GM).propagate_state(t1, coe).r, Keplerian(GM).propagate_state(t2, coe).r, rtol=1e-12
        )

    def test_empty_epoch_array(self):
        eph = Keplerian(GM).propagate_state(Time(np.array([], dtype=np.int64)), orbit_state(0.1))
        assert eph.size == 0 and eph.r.shape == (0, 3)

    def test_extra_keywords_are_ignored_and_arguments_bind_by_name(self):
        sv = orbit_state(0.1)
        a = Keplerian(GM).propagate_state(EPOCH + 60.0, sv, step=1, anything="x")
        b = Keplerian(GM).propagate_state(state=sv, time=EPOCH + 60.0)
        assert np.array_equal(a.r, b.r)

    def test_base_propagate_uses_it(self):
        sv, k = orbit_state(0.1), Keplerian(GM)
        times, _ = epochs_after([10.0, 20.0])
        assert np.array_equal(k.propagate(times, sv).r, k.propagate_state(times, sv).r)

    def test_eccentricity_0_999_is_propagated(self):
        eph = Keplerian(GM).propagate_state(EPOCH + 1000.0, COE(EPOCH, GCRF, 0.999, 4e7, 1.0, 0.0, 0.0, 0.0, GM=GM))
        assert np.all(np.isfinite(eph.r))

    @pytest.mark.parametrize("e", [0.0, 0.3, 0.95, 0.999])
    def test_one_pass_agrees_with_the_element_ephemeris(self, e):
        # propagate_state makes r and v in one pass from the eccentric anomaly;
        # the table's element step goes through true anomalies, COEEphemeris and
        # its to_sv(): two routes to the same conic.
        k, sv = Keplerian(GM), orbit_state(e, a=2.4e7)
        times, _ = epochs_after(np.linspace(-3e5, 3e5, 1001))
        direct = k.propagate_state(times, sv)
        elements = PROPAGATE(native_table(k, 6)[4])(k, times, sv.to_coe())
        assert isinstance(elements, COEEphemeris) and not elements.tra.flags.writeable
        via = elements.to_sv()
        scale = np.linalg.norm(direct.r, axis=1).max()
        np.testing.assert_allclose(direct.r, via.r, rtol=0, atol=1e-13 * scale / (1 - e))
        np.testing.assert_allclose(direct.v, via.v, rtol=0, atol=1e-13 * np.abs(via.v).max() / (1 - e))

    def test_ctrl_c_interrupts_a_long_propagation(self):
        # Signals are looked at between blocks of epochs, with the lock taken
        # back: SIGINT, sent by a thread (which needs the lock let go to run at
        # all) every few milliseconds once the call has begun, ends the call
        # with KeyboardInterrupt long before its three million epochs are done.
        out = assert_child_ok("""
import os, signal, threading, time
import numpy as np
from velmar.frames.frames import GCRF
from velmar.propagators.analytical.keplerian.keplerian import Keplerian
from velmar.state.state import COE
from velmar.time.time import Time
epoch = Time("2024-03-01T00:00:00")
times = Time(epoch.int64 + np.arange(3_000_000, dtype=np.int64) * 1_000_000_000)
k, coe = Keplerian(), COE(epoch, GCRF, 0.3, 2.4e7, 0.9, 1.0, 2.0, 0.5)
start = time.perf_counter()
k.propagate_state(times, coe)
whole = time.perf_counter() - start
raised = []
def interrupt(signum, frame):  # the default handler's KeyboardInterrupt, once
    if not raised:
        raised.append(signum)
        raise KeyboardInterrupt
signal.signal(signal.SIGINT, interrupt)
go, done = threading.Event(), threading.Event()
def send():
    go.wait()
    while not done.wait(0.02):
        os.kill(os.getpid(), signal.SIGINT)
sender = threading.Thread(target=send)
sender.start()
start = time.perf_counter()
try:
    go.set()
    k.propagate_state(times, coe)
    print("finished")
except KeyboardInterrupt:
    # a KeyboardInterrupt raised only after the call would come after the whole run
    print("interrupted" if time.perf_counter() - start < 0.6 * whole else "interrupted late")
finally:
    done.set()
    sender.join()
""")
        assert out == "interrupted\n", out

    @pytest.mark.parametrize("e, a", [(1.0, 7e6), (1.5, -7e6)])
    def test_parabolic_and_hyperbolic_orbits_refused(self, e, a):
        coe = COE(EPOCH, GCRF, e, a, 1.0, 0.0, 0.0, 0.0, GM=GM)
        with pytest.raises(NotImplementedError) as info:
            Keplerian(GM).propagate_state(EPOCH, coe)
        assert info.value.args == ()


class TestStateConversions:
    def make_state_vector_class(self, to_coe_result=StateVector.to_coe, calls=None):
        class Counting(StateVector):
            def to_coe(self):
                calls.append("to_coe")
                return to_coe_result(self) if callable(to_coe_result) else to_coe_result

        return Counting

    def test_a_state_vector_is_converted_with_one_to_coe(self):
        calls = []
        sv = orbit_state(0.1)
        counted = self.make_state_vector_class(calls=calls)(EPOCH, GCRF, sv.r, sv.v, GM=GM)
        Keplerian(GM).propagate_state(EPOCH, counted)
        assert calls == ["to_coe"]

    def test_another_state_goes_through_to_sv_then_to_coe(self):
        sv = orbit_state(0.1)
        # A State that is neither a COE nor a StateVector.
        other = type("Other", (State,), {"to_sv": lambda self: sv})
        eph = Keplerian(GM).propagate_state(EPOCH + 60.0, other(EPOCH, GCRF))
        assert np.array_equal(eph.r, Keplerian(GM).propagate_state(EPOCH + 60.0, sv).r)

    def test_a_coe_is_used_without_conversion(self):
        def refuse(self):
            raise AssertionError("converted")

        Plain = type("Plain", (COE,), {"to_sv": refuse, "to_coe": refuse})
        coe = COE(EPOCH, GCRF, 0.2, 8e6, 1.0, 2.0, 3.0, 4.0, GM=GM)
        plain = Plain(EPOCH, GCRF, 0.2, 8e6, 1.0, 2.0, 3.0, 4.0, GM=GM)
        k = Keplerian(GM)
        assert np.array_equal(k.propagate_state(EPOCH + 99.0, plain).r, k.propagate_state(EPOCH + 99.0, coe).r)

    @pytest.mark.parametrize("result, shown", [(None, "None"), (1.5, "float")])
    def test_a_conversion_that_returns_no_coe_is_refused(self, result, shown):
        sv = orbit_state(0.1)
        bad = self.make_state_vector_class(to_coe_result=result, calls=[])(EPOCH, GCRF, sv.r, sv.v, GM=GM)
        with pytest.raises(TypeError, match=rf"to_coe\(\) returned {shown}, expected .*COE"):
            Keplerian(GM).propagate_state(EPOCH, bad)

    def test_to_sv_returning_none_is_refused(self):
        other = type("Other", (State,), {"to_sv": lambda self: None})
        with pytest.raises(TypeError, match=r"to_sv\(\) returned None"):
            Keplerian(GM).propagate_state(EPOCH, other(EPOCH, GCRF))

    @pytest.mark.parametrize("returned, shown", [(None, "None"), ("not an ephemeris", "str")])
    def test_element_ephemeris_conversion_must_give_a_state_vector_ephemeris(self, returned, shown):
        # Replace the native propagation step with one whose ephemeris converts to something else.
        class Odd(COEEphemeris):
            def to_sv(self):
                return returned

        k = Keplerian(GM)
        table = native_table(k, 6)
        real = PROPAGATE(table[4])

        @PROPAGATE
        def odd(self, time, coe):
            e = real(self, time, coe)
            return Odd(
                e.time,
                frame=e.frame,
                GM=e.GM,
                ecc=e.ecc,
                sma=e.sma,
                inc=e.inc,
                raa=e.raa,
                arp=e.arp,
                tra=e.tra,
                slr=e.slr,
            )

        patched = (ctypes.c_void_p * 6)(*table[:4], ctypes.cast(odd, ctypes.c_void_p).value, table[5])
        ctypes.c_void_p.from_address(id(k) + object.__basicsize__).value = ctypes.addressof(patched)
        try:
            with pytest.raises(TypeError, match=rf"to_sv\(\) returned {shown}, expected .*StateVectorEphemeris"):
                k.propagate_state(EPOCH, orbit_state(0.1))
        finally:
            ctypes.c_void_p.from_address(id(k) + object.__basicsize__).value = table_address(Keplerian(GM))


def table_address(obj):
    return ctypes.c_void_p.from_address(id(obj) + object.__basicsize__).value


class TestPropagateStateBadInput:
    @pytest.mark.parametrize("state", [None, 1.0, "state", GCRF])
    def test_state_that_is_not_a_state(self, state):
        with pytest.raises(TypeError, match="Argument 'state' has incorrect type"):
            Keplerian().propagate_state(EPOCH, state)

    def test_an_ephemeris_is_not_a_state(self):
        eph = Keplerian(GM).propagate_state(EPOCH, orbit_state(0.1))
        with pytest.raises(TypeError, match="Argument 'state' has incorrect type"):
            Keplerian().propagate_state(EPOCH, eph)

    def test_time_that_time_cannot_read(self):
        with pytest.raises(ValueError, match="not a date"):
            Keplerian().propagate_state("not a date", orbit_state(0.1))

    @pytest.mark.parametrize(
        "args, kwargs, message",
        [
            ((EPOCH,), {}, "propagate_state() takes exactly 2 positional arguments (1 given)"),
            ((EPOCH, None, None), {}, "propagate_state() takes exactly 2 positional arguments (3 given)"),
            ((EPOCH,), {"time": EPOCH}, "propagate_state() got multiple values for keyword argument 'time'"),
        ],
    )
    def test_argument_errors(self, args, kwargs, message):
        with pytest.raises(TypeError) as info:
            Keplerian().propagate_state(*args, **kwargs)
        assert str(info.value) == message

    def test_called_through_the_class_with_something_else_as_self(self):
        with pytest.raises(TypeError, match="doesn't apply to a '.*Propagator' object"):
            Keplerian.propagate_state(Propagator(), EPOCH, orbit_state(0.1))
        with pytest.raises(TypeError, match="needs an argument"):
            Keplerian.jacobian()

    def test_calls_leak_no_references(self):
        epoch, k = Time("2024-03-01T00:00:00"), Keplerian(GM)
        sv = StateVector(epoch, GCRF, *elements_to_rv(GM, 7e6, 0.1, 1.0, 2.0, 3.0, 4.0), GM=GM)
        bad = type("Bad", (StateVector,), {"to_coe": lambda self: None})(epoch, GCRF, sv.r, sv.v)
        gc.collect()
        before = sys.getrefcount(sv), sys.getrefcount(epoch), sys.getrefcount(bad)
        for _ in range(100):
            with pytest.raises(ValueError):
                k.propagate_state("not a date", sv)
            with pytest.raises(TypeError):
                k.propagate_state(epoch, bad)
            k.propagate_state(epoch, sv)
        assert (sys.getrefcount(sv), sys.getrefcount(epoch), sys.getrefcount(bad)) == before

    def test_no_nonsense_orbit_reaches_the_propagator(self):
        # Each of these used to propagate quietly: a negative or non-finite GM,
        # a state with GM = -1 (its elements had ecc 3.9e14) and an ellipse with
        # a negative semi-major axis (an all-NaN ephemeris).
        code = """
import math
from velmar.frames.frames import GCRF
from velmar.propagators.analytical.keplerian.keplerian import Keplerian
from velmar.state.state import COE, StateVector
from velmar.time.time import Time

epoch = Time("2024-03-01T00:00:00")
times = epoch + [0.0, 600.0, 1200.0]
attempts = {
    "Keplerian(-GM)": lambda: Keplerian(-3.986004418e14),
    "Keplerian(0)": lambda: Keplerian(0.0),
    "Keplerian(nan)": lambda: Keplerian(math.nan),
    "Keplerian(inf)": lambda: Keplerian(math.inf),
    "StateVector GM=-1": lambda: Keplerian().propagate_state(
        times, StateVector(epoch, GCRF, [7e6, 0, 0], [0, 7.5e3, 0], GM=-1)),
    "ellipse with sma < 0": lambda: Keplerian().propagate_state(times, COE(epoch, GCRF, 0.1, -7.2e6, 0.9, 1, 2, 3)),
}
for what, attempt in attempts.items():
    try:
        result = attempt()
    except ValueError:
        continue
    raise AssertionError(f"{what} accepted: {result!r}")
"""
        assert_child_ok(code)


def ephemeris(positions, velocities=None):
    positions = np.asarray(positions, dtype=float).reshape(-1, 3)
    velocities = np.zeros_like(positions) if velocities is None else np.asarray(velocities, dtype=float)
    times, _ = epochs_after(np.arange(len(positions), dtype=float))
    return StateVectorEphemeris(times, GCRF, positions, velocities)


POSITIONS = [[7.0e6, 0.0, 0.0], [1.1e6, -2.3e6, 6.7e6], [-3.0e7, 2.0e7, 1.0e7], [4e6, 4e6, -4e6]]


class TestJacobian:
    def test_gravity_gradient_against_finite_differences(self):
        jac = Keplerian(GM).jacobian(ephemeris(POSITIONS))
        assert jac.shape == (4, 6, 6) and jac.dtype == np.float64
        for r, J in zip(np.array(POSITIONS), jac):
            h = 1e-5 * np.linalg.norm(r)
            fd = np.column_stack(
                [(acceleration(GM, r + h * d) - acceleration(GM, r - h * d)) / (2 * h) for d in np.eye(3)]
            )
            np.testing.assert_allclose(J[3:, :3], fd, rtol=0, atol=1e-8 * np.abs(fd).max())
            np.testing.assert_array_equal(J[:3, 3:], np.eye(3))
            assert not J[:3, :3].any() and not J[3:, 3:].any()

    def test_gravity_gradient_invariants(self):
        for r, J in zip(np.array(POSITIONS), Keplerian(GM).jacobian(ephemeris(POSITIONS))):
            G = J[3:, :3]
            scale = GM / np.linalg.norm(r) ** 3
            np.testing.assert_array_equal(G, G.T)
            assert abs(np.trace(G)) < 1e-14 * scale
            np.testing.assert_allclose(G @ r, 2 * scale * r, rtol=1e-14)

    def test_on_the_x_axis(self):
        R = 7.0e6
        J = Keplerian(GM).jacobian(ephemeris([R, 0.0, 0.0]))[0]
        expected = np.zeros((6, 6))
        expected[0, 3] = expected[1, 4] = expected[2, 5] = 1.0
        expected[3, 0], expected[4, 1], expected[5, 2] = 2 * GM / R**3, -GM / R**3, -GM / R**3
        np.testing.assert_allclose(J, expected, rtol=1e-15, atol=0)

    def test_velocity_does_not_matter_and_gm_scales_the_gradient(self):
        eph = ephemeris([POSITIONS[1], POSITIONS[1]], [[1.0, 2.0, 3.0], [-7e3, 0.0, 5.0]])
        one, three = Keplerian(GM).jacobian(eph), Keplerian(3 * GM).jacobian(eph)
        assert np.array_equal(one[0], one[1])
        np.testing.assert_allclose(three[:, 3:, :3], 3 * one[:, 3:, :3], rtol=1e-15)
        assert np.array_equal(three[:, :3, 3:], one[:, :3, 3:])

    def test_empty_ephemeris(self):
        assert Keplerian().jacobian(ephemeris(np.zeros((0, 3)))).shape == (0, 6, 6)

    def test_native_operations_agree_with_jacobian(self):
        k = Keplerian(GM)
        table = native_table(k, 6)
        r = POSITIONS[2]
        out36 = doubles([np.nan] * 36)
        assert JACOBIAN(table[5])(k, doubles(r), out36) == 0
        expected = k.jacobian(ephemeris(r))[0]
        np.testing.assert_array_equal(np.array(out36[:]).reshape(6, 6), expected)
        # The base reaches the first table entry, the gravity gradient, by its own method.
        gradient = k._gravity_gradient(12.0, np.array(r), np.array([1.0, 2.0, 3.0]))
        np.testing.assert_array_equal(gradient, expected[3:, :3])

    @pytest.mark.parametrize("eph", [None, 1.0, "eph"])
    def test_not_a_state_vector_ephemeris(self, eph):
        with pytest.raises(TypeError, match="Argument 'eph' has incorrect type"):
            Keplerian().jacobian(eph)

    def test_an_element_ephemeris_is_refused(self):
        coe = COE(EPOCH, GCRF, 0.1, 7e6, 0.0, 0.0, 0.0, 0.0, GM=GM)
        elements = PROPAGATE(native_table(Keplerian(GM), 6)[4])(Keplerian(GM), EPOCH, coe)
        with pytest.raises(TypeError, match="Argument 'eph' has incorrect type"):
            Keplerian().jacobian(elements)

    @pytest.mark.parametrize("args", [(), (1, 2)])
    def test_argument_count(self, args):
        with pytest.raises(TypeError, match="jacobian\\(\\) takes exactly 1 positional argument"):
            Keplerian().jacobian(*args)

    @pytest.mark.parametrize("size, error", [(5, ValueError), (2.5, TypeError), ("2", TypeError)])
    def test_size_that_does_not_fit_the_arrays(self, size, error):
        class Sized(StateVectorEphemeris):
            @property
            def size(self):
                return size

        eph = Sized(*self.ephemeris_arguments(2))
        with pytest.raises(error):
            Keplerian().jacobian(eph)

    @staticmethod
    def ephemeris_arguments(n):
        times, _ = epochs_after(np.arange(n, dtype=float))
        return times, GCRF, np.ones((n, 3)) * 7e6, np.zeros((n, 3))

    def test_size_read_twice_bounds_the_loop(self):
        reads = iter([1, 3, 2, 1])

        class Shifting(StateVectorEphemeris):
            @property
            def size(self):
                return next(reads)

        eph = Shifting(*self.ephemeris_arguments(3))
        with pytest.raises(ValueError, match="changed from 1 to 3"):
            Keplerian().jacobian(eph)
        jac = Keplerian().jacobian(eph)
        assert jac.shape == (2, 6, 6) and jac[0, 3, 1] != 0 and not jac[1].any()

    def test_unset_position_array(self):
        # The size comes from the class, not from the array about to be unset.
        Sized = type("Sized", (StateVectorEphemeris,), {"size": 2})
        eph = Sized(*self.ephemeris_arguments(2))
        # The position field follows the header, dict, time, frame and GM of the ephemeris.
        field = ctypes.c_void_p.from_address(id(eph) + object.__basicsize__ + 32)
        stored = ctypes.cast(field.value, ctypes.py_object).value
        assert stored.ctypes.data == eph.r.ctypes.data and stored.shape == (2, 3)
        del stored
        saved, field.value = field.value, None
        try:
            with pytest.raises(AttributeError, match="position"):
                Keplerian().jacobian(eph)
        finally:
            field.value = saved
