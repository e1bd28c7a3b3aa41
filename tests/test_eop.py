"""EOP: construction, the shared interpolator cache, and the quantities
checked against the raw IERS files, pyerfa and scipy fitted independently."""

import ctypes
import datetime
import inspect
import math
import subprocess
import sys
from importlib.resources import files

import numpy as np
import pytest
from conftest import EOP_SLOTS
from scipy.interpolate import CubicSpline, interp1d

eop = pytest.importorskip("velmar.iers.eop")
from velmar.iers import bulletins  # noqa: E402

EOP = eop.EOP
SLOTS = EOP_SLOTS
QUANTITIES = ["pm_x", "pm_y", "dut", "lod", "dX", "dY", "dat", "TAI_UT1", "TT_UT1"]
FINALS = str(files("astropy_iers_data") / "data" / "finals2000A.all")
RAD_PER_ARCSEC = math.radians(1.0) / 3600.0
LEAP_2017 = 57754.0


@pytest.fixture(autouse=True)
def keep_slots(eop_slots):
    """Each test may empty or fill the class cache; it is put back afterwards."""


@pytest.fixture
def empty():
    for name in SLOTS:
        setattr(EOP, name, None)


@pytest.fixture(scope="module")
def raw():
    """(MJD, pm x [rad], pm y [rad], UT1-UTC [s]) of every finals row, read with float()."""
    rows = []
    with open(FINALS) as stream:
        for line in stream:
            if line[18:27].strip():
                rows.append(
                    (
                        float(line[7:15]),
                        float(line[18:27]) * RAD_PER_ARCSEC,
                        float(line[37:46]) * RAD_PER_ARCSEC,
                        float(line[58:68]),
                    )
                )
    return np.array(rows)


def filled():
    return {name for name in SLOTS if getattr(EOP, name) is not None}


def epochs(start=42000.0, stop=60000.0, count=500, seed=1):
    return np.sort(np.random.default_rng(seed).uniform(start, stop, count))


def failing(*args, **kwargs):
    raise RuntimeError("bulletins unavailable")


class Counting:
    """Wraps a bulletin class and counts its constructions."""

    def __init__(self, cls):
        self.cls, self.calls = cls, 0

    def __call__(self, *args):
        assert args == ()
        self.calls += 1
        return self.cls()


def stub_bulletin_a(**arrays):
    base = dict(
        mjd_utc=np.arange(50000.0, 50010.0),
        mjd_ut1=np.arange(50000.0, 50010.0),
        pm_x=np.linspace(1e-6, 2e-6, 10),
        pm_y=np.linspace(2e-6, 1e-6, 10),
        lod=np.linspace(1e-3, 2e-3, 10),
        dX_IAU2000A=np.full(10, 1e-9),
        dY_IAU2000A=np.full(10, 2e-9),
        dut=np.full(10, 0.25),
    )
    base.update(arrays)
    return type("StubA", (), base)


class TestClass:
    def test_ordinary_class_with_nine_annotated_slots(self):
        assert type(EOP) is type and EOP.__bases__ == (object,)
        assert list(EOP.__annotations__.items()) == (
            [(name, "CubicSpline | None") for name in SLOTS[:5]] + [(name, "Callable | None") for name in SLOTS[5:]]
        )
        plain = ("__module__", "__doc__", "__annotations__", "__dict__", "__weakref__")
        names = [name for name in vars(EOP) if name not in plain]
        assert names == SLOTS + ["__init__", "get_TT_UT1_from_mjd_ut1"] + QUANTITIES
        e = EOP(np.zeros(3))
        e.note = "users may add attributes"
        assert set(vars(e)) == {"mjd_utc", "note"}

    def test_import_binds_names_in_order_and_slots_start_empty(self):
        code = (
            "import velmar.iers.eop as m\n"
            "print([k for k in vars(m) if not k.startswith('_')])\n"
            f"print([getattr(m.EOP, s) for s in {SLOTS!r}])\n"
            "import numpy, scipy.interpolate, typing, velmar.iers.bulletins as b\n"
            "print(m.numpy is numpy, m.CubicSpline is scipy.interpolate.CubicSpline,"
            " m.interp1d is scipy.interpolate.interp1d, m.BulletinA is b.BulletinA,"
            " m.BulletinC is b.BulletinC, m.Callable is typing.Callable)\n"
        )
        out = subprocess.run(
            [sys.executable, "-c", code], capture_output=True, text=True, check=True
        ).stdout.splitlines()
        assert out[0] == str(["numpy", "CubicSpline", "interp1d", "BulletinA", "BulletinC", "Callable", "EOP"])
        assert out[1] == str([None] * 9)
        assert out[2] == "True True True True True True"

    def test_import_fails_without_the_bulletins(self):
        code = (
            "import sys; sys.modules['velmar.iers.bulletins'] = None\n"
            "try:\n    import velmar.iers.eop\nexcept ImportError as e:\n    print('ImportError')\n"
        )
        out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
        assert out.stdout.strip() == "ImportError"

    def test_second_initialisation_refused(self):
        import importlib.util

        module = importlib.util.module_from_spec(eop.__spec__)
        with pytest.raises(
            RuntimeError,
            match=r"^Module 'eop' has already been imported\. "
            r"Re-initialisation is not supported\.$",
        ):
            eop.__spec__.loader.exec_module(module)

    def test_docstrings_and_signatures(self):
        doc = " ".join(EOP.__doc__.split())
        for text in (
            "irregularities of the Earth's rotation",
            "IERS",
            "bulletins",
            "mjd_utc",
            "Earth Orientation Parameters",
            "Interpolating IERS Earth Orientation Data",
            "Explanatory Supplement to IERS Bulletins A and B",
        ):
            assert text in doc
        init = EOP.__init__
        assert init.__doc__ == "EOP.__init__(self, ndarray mjd_utc) -> None"
        assert init.__annotations__ == {"return": "None"}
        assert str(inspect.signature(EOP)) == "(mjd_utc)"
        method = EOP.get_TT_UT1_from_mjd_ut1
        assert method.__self__ is EOP and EOP(np.zeros(1)).get_TT_UT1_from_mjd_ut1.__self__ is EOP
        assert method.__doc__.startswith("EOP.get_TT_UT1_from_mjd_ut1(cls, ndarray mjd_ut1) -> ndarray[double]\n")
        for text in ("Bulletin C", "Bulletin A", "previous", "linear", "tt_ut1", "(N,)"):
            assert text in method.__doc__
        assert method.__annotations__["return"] == "ndarray[double]"
        assert str(inspect.signature(method)) == "(mjd_ut1)"

    @pytest.mark.parametrize(
        "name, text",
        [
            ("pm_x", "Polar motion - x (in radians)"),
            ("pm_y", "Polar motion - y (in radians)"),
            ("dut", "The difference UT1 - UTC (in seconds)"),
            ("lod", "Length of Day (in seconds)"),
            ("dX", "IAU2000A Celestial Pole Offset Series - X (in radians)\n\nUsed to compute Earth's nutation"),
            ("dY", "IAU2000A Celestial Pole Offset Series - Y (in radians)\n\nUsed to compute Earth's nutation"),
            ("dat", "The difference TAI - UTC (in seconds)\n\nThe step of IERS Bulletin C in force"),
            ("TAI_UT1", "The difference TAI - UT1 (in seconds)"),
            ("TT_UT1", "The difference TT - UT1 (in seconds)"),
        ],
    )
    def test_read_only_properties(self, name, text):
        prop = vars(EOP)[name]
        assert isinstance(prop, property) and prop.fset is None and prop.fdel is None
        expected = f"EOP.{name}(self) -> ndarray[double]\n\n{text}"
        assert prop.__doc__ == prop.fget.__doc__
        assert prop.__doc__ == expected if name != "dat" else prop.__doc__.startswith(expected)
        assert prop.fget.__annotations__ == {"return": "ndarray[double]"}
        assert str(inspect.signature(prop.fget)) == "(self)"
        with pytest.raises(AttributeError):
            setattr(EOP(np.zeros(1)), name, np.zeros(1))


class TestConstructor:
    def test_stores_the_callers_object(self):
        for value in (np.arange(4.0), np.arange(8.0)[::2], np.arange(3.0).view(type("Sub", (np.ndarray,), {}))):
            assert EOP(value).mjd_utc is value
            assert EOP(mjd_utc=value).mjd_utc is value
        frozen = np.arange(3.0)
        frozen.flags.writeable = False
        assert EOP(frozen).mjd_utc is frozen

    @pytest.mark.parametrize(
        "args, kwargs, error, message",
        [
            ((), {}, TypeError, "__init__() takes exactly 2 positional arguments (1 given)"),
            ((np.zeros(1), np.zeros(1)), {}, TypeError, "__init__() takes exactly 2 positional arguments (3 given)"),
            ((), {"epochs": np.zeros(1)}, TypeError, "__init__() got an unexpected keyword argument 'epochs'"),
            (([1.0, 2.0],), {}, TypeError, "Argument 'mjd_utc' has incorrect type (expected numpy.ndarray, got list)"),
            ((60000.0,), {}, TypeError, "Argument 'mjd_utc' has incorrect type (expected numpy.ndarray, got float)"),
            ((np.zeros((2, 3)),), {}, ValueError, "Buffer has wrong number of dimensions (expected 1, got 2)"),
            ((np.zeros(()),), {}, ValueError, "Buffer has wrong number of dimensions (expected 1, got 0)"),
            ((np.zeros(2, np.int64),), {}, ValueError, "Buffer dtype mismatch, expected 'double' but got 'long'"),
            ((np.zeros(2, np.float32),), {}, ValueError, "Buffer dtype mismatch, expected 'double' but got 'float'"),
            (
                (np.zeros(2, np.complex128),),
                {},
                ValueError,
                "Buffer dtype mismatch, expected 'double' but got 'complex double'",
            ),
            ((np.zeros(2, bool),), {}, ValueError, "Buffer dtype mismatch, expected 'double' but got 'bool'"),
            (
                (None,),
                {},
                TypeError,
                "Argument 'mjd_utc' must be a one-dimensional float64 numpy array of MJD (UTC) epochs, not None",
            ),
            ((np.zeros(2, ">f8"),), {}, ValueError, "Big-endian buffer not supported on little-endian compiler"),
        ],
    )
    def test_refused_with_host_texts_and_nothing_set(self, args, kwargs, error, message):
        with pytest.raises(error) as info:
            EOP(*args, **kwargs)
        assert str(info.value) == message
        instance = object.__new__(EOP)
        with pytest.raises(error):
            EOP.__init__(instance, *args, **kwargs)
        assert vars(instance) == {}

    def test_non_string_keyword(self):
        # The interpreter refuses these before any call it makes itself, so
        # they are passed the way C code can, through vectorcall.
        call = getattr(ctypes.pythonapi, "PyObject_Vectorcall", None)
        if call is None:
            pytest.skip("PyObject_Vectorcall is not an exported function before Python 3.12")
        call.restype = ctypes.py_object
        call.argtypes = [ctypes.py_object, ctypes.c_void_p, ctypes.c_size_t, ctypes.py_object]
        for function, first in (
            (vars(EOP)["__init__"], object.__new__(EOP)),
            (vars(EOP)["get_TT_UT1_from_mjd_ut1"], EOP),
        ):
            items = (ctypes.py_object * 2)(first, np.zeros(1))
            with pytest.raises(TypeError) as info:
                call(function, ctypes.cast(items, ctypes.c_void_p), 1, (1,))
            assert str(info.value) == f"{function.__name__}() keywords must be strings"

    def test_reads_no_bulletin(self, monkeypatch, empty):
        monkeypatch.setattr(eop, "BulletinA", failing)
        monkeypatch.setattr(eop, "BulletinC", failing)
        EOP(np.arange(3.0))
        assert filled() == set()


class TestCache:
    @pytest.mark.parametrize(
        "quantity, slots",
        [
            ("pm_x", {"_pm_x_spline"}),
            ("pm_y", {"_pm_y_spline"}),
            ("lod", {"_lod_spline"}),
            ("dX", {"_dX_spline"}),
            ("dY", {"_dY_spline"}),
            ("dat", {"_dat_interpolator"}),
            ("TAI_UT1", {"_dat_interpolator", "_TAI_UT1_interpolator"}),
            ("dut", {"_dat_interpolator", "_TAI_UT1_interpolator"}),
            ("TT_UT1", {"_dat_interpolator", "_TAI_UT1_interpolator"}),
        ],
    )
    def test_first_access_fills_only_its_slots(self, empty, quantity, slots):
        getattr(EOP(epochs()), quantity)
        assert filled() == slots

    def test_mjd_ut1_method_fills_only_its_own_pair(self, empty):
        EOP.get_TT_UT1_from_mjd_ut1(epochs())
        assert filled() == {"_dat_mjd_ut1_interpolator", "_TAI_UT1_mjd_ut1_interpolator"}
        built = (EOP._dat_mjd_ut1_interpolator, EOP._TAI_UT1_mjd_ut1_interpolator)
        e = EOP(epochs())
        e.dut
        dat, tai_ut1 = EOP._dat_interpolator, EOP._TAI_UT1_interpolator
        EOP.get_TT_UT1_from_mjd_ut1(epochs())
        assert (EOP._dat_mjd_ut1_interpolator, EOP._TAI_UT1_mjd_ut1_interpolator) == built
        assert EOP._dat_interpolator is dat and EOP._TAI_UT1_interpolator is tai_ut1

    def test_one_interpolator_for_all_instances_and_subclasses(self, empty):
        class Sub(EOP):
            pass

        # A subclass builds into EOP itself, not into its own namespace.
        Sub(epochs(seed=2)).pm_x
        Sub(epochs(seed=2)).dut
        Sub.get_TT_UT1_from_mjd_ut1(epochs())
        assert filled() == {
            "_pm_x_spline",
            "_dat_interpolator",
            "_TAI_UT1_interpolator",
            "_dat_mjd_ut1_interpolator",
            "_TAI_UT1_mjd_ut1_interpolator",
        }
        assert not set(SLOTS) & set(vars(Sub))
        spline = EOP._pm_x_spline
        assert isinstance(spline, CubicSpline)
        EOP(epochs(seed=1)).pm_x
        EOP(epochs(seed=3)).pm_x
        assert EOP._pm_x_spline is spline

    def test_slots_are_found_through_the_module_name(self, monkeypatch):
        marker = np.array([42.0])
        stand_in = type("StandIn", (), {name: (lambda t: marker) for name in SLOTS})
        e = EOP(epochs())
        monkeypatch.setattr(eop, "EOP", stand_in)
        assert e.pm_x is marker and e.dat is marker and e.TAI_UT1 is marker
        np.testing.assert_array_equal(e.dut, [0.0])
        np.testing.assert_array_equal(EOP.get_TT_UT1_from_mjd_ut1(epochs()), [42.0 + 32.184])

    def test_each_attribute_read_uses_a_new_bulletin(self, monkeypatch, empty):
        a, c = Counting(bulletins.BulletinA), Counting(bulletins.BulletinC)
        monkeypatch.setattr(eop, "BulletinA", a)
        monkeypatch.setattr(eop, "BulletinC", c)
        e = EOP(epochs())
        steps = [
            (lambda: e.pm_x, 2, 0),
            (lambda: e.lod, 2, 0),
            (lambda: e.dat, 0, 2),
            (lambda: e.TAI_UT1, 2, 0),
            (lambda: e.TT_UT1, 0, 0),
            (lambda: EOP.get_TT_UT1_from_mjd_ut1(epochs()), 1, 1),
        ]
        for access, new_a, new_c in steps:
            before = a.calls, c.calls
            access()
            assert (a.calls - before[0], c.calls - before[1]) == (new_a, new_c)

    def test_spline_fitted_only_where_values_are_given(self, monkeypatch, empty):
        lod = np.linspace(1e-3, 2e-3, 10)
        lod[7:] = np.nan
        dX = np.full(10, 1e-9)
        dX[[0, 4]] = np.nan
        stub = stub_bulletin_a(lod=lod, dX_IAU2000A=dX)
        monkeypatch.setattr(eop, "BulletinA", stub)
        e = EOP(np.array([50001.5, 50006.0, 50008.0]))
        e.lod, e.dX
        np.testing.assert_array_equal(EOP._lod_spline.x, stub.mjd_utc[:7])
        np.testing.assert_array_equal(EOP._dX_spline.x, np.delete(stub.mjd_utc, [0, 4]))
        # Past the last sample with a value the quantity is NaN, not the spline's extrapolation.
        expected = CubicSpline(stub.mjd_utc[:7], lod[:7])(e.mjd_utc)
        np.testing.assert_array_equal(e.lod, [expected[0], expected[1], np.nan])

    @pytest.mark.parametrize("quantity", QUANTITIES + ["get_TT_UT1_from_mjd_ut1"])
    @pytest.mark.parametrize("which", ["BulletinA", "BulletinC"])
    def test_failed_build_leaves_none_and_is_retried(self, monkeypatch, empty, quantity, which):
        def ask():
            if quantity == "get_TT_UT1_from_mjd_ut1":
                return EOP.get_TT_UT1_from_mjd_ut1(epochs())
            return getattr(EOP(epochs()), quantity)

        monkeypatch.setattr(eop, which, failing)
        uses_c = quantity in ("dat", "dut", "TAI_UT1", "TT_UT1", "get_TT_UT1_from_mjd_ut1")
        uses_a = quantity != "dat"
        if (which == "BulletinC" and not uses_c) or (which == "BulletinA" and not uses_a):
            ask()
            return
        with pytest.raises(RuntimeError, match="bulletins unavailable"):
            ask()
        # What was built before the failure stays; the failing slot stays None.
        # dut reads dat first; the TAI-UT1 recipe reads Bulletin A first.
        if which == "BulletinA" and quantity == "dut":
            assert filled() == {"_dat_interpolator"}
        elif which == "BulletinA" and quantity == "get_TT_UT1_from_mjd_ut1":
            assert filled() == {"_dat_mjd_ut1_interpolator"}
        else:
            assert filled() == set()
        monkeypatch.undo()
        assert np.isfinite(ask()).all()

    @pytest.mark.parametrize(
        "stub, error",
        [
            (stub_bulletin_a(mjd_utc=np.arange(50000.0, 50010.0)[::-1]), "strictly increasing"),
            (stub_bulletin_a(pm_x=np.zeros(9), pm_y=np.zeros(9)), "length"),
        ],
    )
    def test_interpolator_errors_propagate(self, monkeypatch, empty, stub, error):
        monkeypatch.setattr(eop, "BulletinA", stub)
        with pytest.raises(ValueError, match=error):
            EOP(np.array([50003.0])).pm_x
        assert EOP._pm_x_spline is None

    @pytest.mark.parametrize("quantity", QUANTITIES)
    def test_epochs_none_refused_by_every_quantity(self, empty, quantity):
        # Rebound after construction, None fails each quantity as the
        # constructor fails, before any bulletin is read.
        e = EOP(epochs())
        e.mjd_utc = None
        with pytest.raises(TypeError) as info:
            getattr(e, quantity)
        assert str(info.value) == (
            "Argument 'mjd_utc' must be a one-dimensional float64 numpy array of MJD (UTC) epochs, not None"
        )
        assert filled() == set()
        with pytest.raises(
            TypeError,
            match=r"^Argument 'mjd_ut1' must be a one-dimensional float64 numpy "
            r"array of MJD \(UT1\) epochs, not None$",
        ):
            EOP.get_TT_UT1_from_mjd_ut1(None)


class TestQuantities:
    def test_polar_motion_and_dut_at_every_bulletin_epoch(self, raw):
        e = EOP(raw[:, 0].copy())
        np.testing.assert_allclose(e.pm_x, raw[:, 1], rtol=0, atol=1e-15)
        np.testing.assert_allclose(e.pm_y, raw[:, 2], rtol=0, atol=1e-15)
        np.testing.assert_allclose(e.dut, raw[:, 3], rtol=0, atol=1e-9)

    @pytest.mark.parametrize(
        "quantity, column",
        [("pm_x", "pm_x"), ("pm_y", "pm_y"), ("lod", "lod"), ("dX", "dX_IAU2000A"), ("dY", "dY_IAU2000A")],
    )
    def test_splines_are_scipy_defaults_inside(self, quantity, column):
        a = bulletins.BulletinA()
        y = getattr(a, column)
        given = ~np.isnan(y)
        x = a.mjd_utc[given]
        t = np.concatenate([epochs(x[0], x[-1]), x[[0, -1]]])
        expected = CubicSpline(x, y[given])(t)
        np.testing.assert_array_equal(getattr(EOP(t), quantity), expected)

    def test_dat_agrees_with_erfa(self):
        erfa = pytest.importorskip("erfa")
        today = (datetime.date.today() - datetime.date(1858, 11, 17)).days
        t = np.random.default_rng(7).uniform(41683.0, today, 1000)
        year, month, day, fraction = erfa.jd2cal(2400000.5, t)
        np.testing.assert_array_equal(EOP(t).dat, erfa.dat(year, month, day, fraction))

    def test_dat_steps_at_each_leap_second(self):
        mjd, dat = bulletins.leap_second_table()
        e = EOP(np.concatenate([mjd, mjd[1:] - 1e-9, [mjd[-1] + 20000.0]]))
        n = len(mjd)
        np.testing.assert_array_equal(e.dat[:n], dat)
        np.testing.assert_array_equal(e.dat[n : 2 * n - 1], dat[:-1])
        assert e.dat[-1] == dat[-1]
        np.testing.assert_array_equal(EOP(np.array([LEAP_2017 - 1e-9, LEAP_2017])).dat, [36.0, 37.0])

    def test_ut1_utc_across_the_2016_leap_second(self):
        assert EOP(np.array([57753.5])).dut[0] == pytest.approx(-0.408, abs=0.001)
        t = np.array([LEAP_2017 - 1e-9, LEAP_2017])
        e = EOP(t)
        tai_ut1, dut = e.TAI_UT1, e.dut
        assert abs(tai_ut1[1] - tai_ut1[0]) < 1e-9
        assert dut[1] - dut[0] == pytest.approx(1.0, abs=1e-9)

    def test_offsets_at_bulletin_epochs(self, raw):
        e = EOP(raw[:, 0].copy())
        tai_ut1 = e.TAI_UT1
        np.testing.assert_allclose(tai_ut1, e.dat - raw[:, 3], rtol=0, atol=1e-12)
        np.testing.assert_array_equal(e.dut, e.dat - tai_ut1)
        np.testing.assert_array_equal(e.TT_UT1, 32.184 + tai_ut1)

    def test_tai_ut1_is_linear_between_bulletin_epochs(self, raw):
        i = 1000  # any interior pair of samples
        lo, hi = raw[i, 0], raw[i + 1, 0]
        t = np.linspace(lo, hi, 7)
        dat = EOP(np.array([lo])).dat[0]
        expected = np.interp(t, [lo, hi], [dat - raw[i, 3], dat - raw[i + 1, 3]])
        np.testing.assert_allclose(EOP(t).TAI_UT1, expected, rtol=0, atol=1e-12)

    def test_tt_ut1_from_mjd_ut1(self, raw):
        a = bulletins.BulletinA()
        c = bulletins.BulletinC()
        step = interp1d(c.mjd_ut1, c.dat, kind="previous", assume_sorted=True, fill_value="extrapolate")
        t = epochs(42000.0, 61000.0, 2000)
        expected = 32.184 + np.interp(t, a.mjd_ut1, step(a.mjd_ut1) - a.dut)
        np.testing.assert_allclose(EOP.get_TT_UT1_from_mjd_ut1(t), expected, rtol=0, atol=1e-12)
        # Away from leap seconds it agrees with TT-UT1 at the same instant on UTC.
        utc = raw[5000:5010, 0]
        ut1 = utc + raw[5000:5010, 3] / 86400.0
        np.testing.assert_allclose(EOP.get_TT_UT1_from_mjd_ut1(ut1), EOP(utc).TT_UT1, atol=1e-9)
        assert EOP.get_TT_UT1_from_mjd_ut1(mjd_ut1=ut1[::2].copy()).shape == (5,)
        np.testing.assert_array_equal(
            EOP.get_TT_UT1_from_mjd_ut1(ut1[::2]), EOP.get_TT_UT1_from_mjd_ut1(ut1[::2].copy())
        )

    @pytest.mark.parametrize(
        "value, error, message",
        [
            ([60000.0], TypeError, "Argument 'mjd_ut1' has incorrect type (expected numpy.ndarray, got list)"),
            (np.zeros((1, 1)), ValueError, "Buffer has wrong number of dimensions (expected 1, got 2)"),
            (np.zeros(1, np.int64), ValueError, "Buffer dtype mismatch, expected 'double' but got 'long'"),
            (np.zeros(1, ">f8"), ValueError, "Big-endian buffer not supported on little-endian compiler"),
        ],
    )
    def test_mjd_ut1_argument_checks(self, empty, value, error, message):
        with pytest.raises(error) as info:
            EOP.get_TT_UT1_from_mjd_ut1(value)
        assert str(info.value) == message
        assert filled() == set()

    @pytest.mark.parametrize(
        "args, kwargs, message",
        [
            ((), {}, "get_TT_UT1_from_mjd_ut1() takes exactly 2 positional arguments (1 given)"),
            (
                (np.zeros(1), np.zeros(1)),
                {},
                "get_TT_UT1_from_mjd_ut1() takes exactly 2 positional arguments (3 given)",
            ),
            ((), {"mjd_utc": np.zeros(1)}, "get_TT_UT1_from_mjd_ut1() got an unexpected keyword argument 'mjd_utc'"),
        ],
    )
    def test_mjd_ut1_argument_count(self, args, kwargs, message):
        with pytest.raises(TypeError) as info:
            EOP.get_TT_UT1_from_mjd_ut1(*args, **kwargs)
        assert str(info.value) == message

    def test_every_access_reads_the_epochs_anew(self):
        t = np.array([50000.25, 55000.75])
        e = EOP(t)
        first = {q: getattr(e, q) for q in QUANTITIES}
        for q in QUANTITIES:
            again = getattr(e, q)
            assert again is not first[q] and again.dtype == np.float64 and again.shape == (2,)
            np.testing.assert_array_equal(again, first[q])
        t[0] = 58000.5
        assert e.pm_x[0] != first["pm_x"][0] and e.dut[0] != first["dut"][0]
        e.mjd_utc = np.array([51000.0, 52000.0, 53000.0])
        assert all(getattr(e, q).shape == (3,) for q in QUANTITIES)


# Fixed columns (1-based, inclusive) of the finals2000A format, as its ReadMe gives them.
FINALS_COLUMNS = {
    "pm_x": (19, 27),
    "pm_y": (38, 46),
    "lod": (80, 86),
    "dX": (98, 106),
    "dY": (117, 125),
    "UT1-UTC": (59, 68),
}
COLUMN_OF = {
    "pm_x": "pm_x",
    "pm_y": "pm_y",
    "lod": "lod",
    "dX": "dX",
    "dY": "dY",
    "dut": "UT1-UTC",
    "TAI_UT1": "UT1-UTC",
    "TT_UT1": "UT1-UTC",
}


@pytest.fixture(scope="module")
def file_ends():
    """First and last MJD(UTC) at which the IERS file gives each column, read
    from the file itself, and the MJD(UT1) of the first and last UT1-UTC."""
    given = {name: [] for name in FINALS_COLUMNS}
    with open(FINALS) as stream:
        for line in stream:
            for name, (first, last) in FINALS_COLUMNS.items():
                text = line[first - 1 : last]
                if text.strip():
                    given[name].append((float(line[7:15]), float(text)))
    ends = {name: (rows[0][0], rows[-1][0]) for name, rows in given.items()}
    ut1 = given["UT1-UTC"]
    ends["mjd_ut1"] = tuple(mjd + dut / 86400.0 for mjd, dut in (ut1[0], ut1[-1]))
    return ends


class TestOutsideTheData:
    @pytest.mark.parametrize("quantity", QUANTITIES[:6] + QUANTITIES[7:])  # all but dat
    def test_nan_outside_the_samples_of_each_quantity(self, file_ends, quantity):
        first, last = file_ends[COLUMN_OF[quantity]]
        inside = np.array([first, (first + last) / 2, last - 0.3, last])
        outside = np.array(
            [np.nextafter(first, -np.inf), np.nextafter(last, np.inf), last + 30.0, 30000.0, 99999.0, -np.inf, np.inf]
        )
        mixed = np.concatenate([outside[:3], inside, outside[3:]])
        values = getattr(EOP(mixed), quantity)
        assert np.isnan(values[[0, 1, 2, 7, 8, 9, 10]]).all()
        # One epoch outside fails nothing: the epochs inside get exactly the
        # values they get on their own.
        alone = getattr(EOP(inside), quantity)
        assert np.isfinite(alone).all()
        np.testing.assert_array_equal(values[3:7], alone)

    def test_tt_ut1_from_mjd_ut1_outside_the_samples(self, file_ends):
        first, last = file_ends["mjd_ut1"]
        t = np.array([np.nextafter(first, -np.inf), first, 55000.0, last, np.nextafter(last, np.inf), np.nan])
        values = EOP.get_TT_UT1_from_mjd_ut1(t)
        assert np.isnan(values[[0, 4, 5]]).all()
        np.testing.assert_array_equal(values[1:4], EOP.get_TT_UT1_from_mjd_ut1(t[1:4].copy()))
        assert np.isfinite(values[1:4]).all()

    def test_a_nan_epoch_gives_nan_for_every_quantity(self):
        e = EOP(np.array([np.nan, 58000.0]))
        for quantity in QUANTITIES:
            values = getattr(e, quantity)
            assert np.isnan(values[0]) and np.isfinite(values[1]), quantity

    def test_dat_agrees_with_time_before_1972_and_after_the_last_step(self):
        from velmar.time.time import Time

        mjd, dat = bulletins.leap_second_table()
        days = [
            datetime.date(1958, 1, 1),
            datetime.date(1965, 6, 1),
            datetime.date(1971, 12, 31),
            datetime.date(1972, 1, 1),
            datetime.date(2016, 12, 31),
            datetime.date(2017, 1, 1),
            datetime.date(2040, 1, 1),
        ]
        t = np.array([(day - datetime.date(1858, 11, 17)).days for day in days], dtype=float)
        # TAI-UTC as Time has it: the same reading on the two scales, TAI minus UTC.
        expected = [Time(day.isoformat(), scale="utc") - Time(day.isoformat(), scale="tai") for day in days]
        np.testing.assert_array_equal(EOP(t).dat, expected)
        np.testing.assert_array_equal(EOP(t).dat, [10, 10, 10, 10, 36, 37, dat[-1]])
        # The 1960s offsets were fractional (rubber seconds); the fixed 10 s is
        # within 10 s of them, as the docstring says.
        erfa = pytest.importorskip("erfa")
        assert abs(10.0 - erfa.dat(1965, 6, 1, 0.0)) < 10.0
        doc = " ".join(vars(EOP)["dat"].__doc__.split())
        assert "10 s" in doc and "rubber seconds" in doc and "holds on" in doc

    def test_interpolator_giving_the_wrong_number_of_values_is_refused(self, monkeypatch):
        class Short:
            x = np.array([0.0, 1.0])

            def __call__(self, t):
                return np.zeros(1)

        monkeypatch.setattr(EOP, "_pm_x_spline", Short())
        with pytest.raises(ValueError, match=r"^EOP\._pm_x_spline gave 1 values for 3 epochs$"):
            EOP(np.array([0.5, 2.0, 3.0])).pm_x
