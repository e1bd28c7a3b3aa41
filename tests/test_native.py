"""The native helper layer, exercised through the private velmar._native._probe extension."""

import importlib.util
import inspect

import numpy as np
import pytest
from conftest import assert_child_ok

probe = pytest.importorskip("velmar._native._probe")

RADIUS_SIG = "double (double const , double const )"


class TestArgumentBinding:
    def test_positional_keyword_and_defaults(self):
        assert probe.bind("a") == ("a", None, None)
        assert probe.bind("a", 1, flag=2) == ("a", 1, 2)
        assert probe.bind(number=3, text="t") == ("t", 3, None)

    @pytest.mark.parametrize(
        "call, message",
        [
            (lambda: probe.bind(), "bind() takes at least 1 positional argument (0 given)"),
            (lambda: probe.bind("a", 1, 2), "bind() takes at most 2 positional arguments (3 given)"),
            (lambda: probe.bind("a", nope=1), "bind() got an unexpected keyword argument 'nope'"),
            (lambda: probe.bind("a", text="b"), "bind() got multiple values for keyword argument 'text'"),
            (lambda: probe.bind(None), "Argument 'text' has incorrect type (expected str, got NoneType)"),
            (lambda: probe.bind(5), "Argument 'text' has incorrect type (expected str, got int)"),
        ],
    )
    def test_host_texts(self, call, message):
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == message

    def test_str_subclass_refused(self):
        class Text(str):
            pass

        with pytest.raises(TypeError, match=r"expected str, got Text"):
            probe.bind(Text("a"))

    def test_non_string_keywords(self):
        with pytest.raises(TypeError, match="keywords must be strings"):
            probe.bind("a", **{1: 2})


class TestBuffers:
    def test_any_stride_and_read_only(self):
        a = np.arange(12.0)
        assert probe.sum_doubles(a[::3]) == 0 + 3 + 6 + 9
        a.flags.writeable = False
        assert probe.sum_doubles(a) == 66.0
        assert probe.sum_doubles(memoryview(np.array([1.5, 2.5]))) == 4.0
        assert probe.sum_int64(np.array([2**40, -3], dtype=np.int64)) == 2**40 - 3

    @pytest.mark.parametrize(
        "array, message",
        [
            (np.zeros(3, np.float32), "Buffer dtype mismatch, expected 'double' but got 'float'"),
            (np.zeros(3, np.int64), "Buffer dtype mismatch, expected 'double' but got 'long'"),
            (np.zeros(3, np.complex128), "Buffer dtype mismatch, expected 'double' but got 'complex double'"),
            (np.zeros(3, bool), "Buffer dtype mismatch, expected 'double' but got 'bool'"),
            (np.zeros(3, np.float16), "Buffer dtype mismatch, expected 'double' but got 'half'"),
            (np.zeros((2, 2)), "Buffer has wrong number of dimensions (expected 1, got 2)"),
            (np.array(1.0), "Buffer has wrong number of dimensions (expected 1, got 0)"),
            (np.zeros(3, ">f8"), "Big-endian buffer not supported on little-endian compiler"),
        ],
    )
    def test_host_texts(self, array, message):
        with pytest.raises(ValueError) as info:
            probe.sum_doubles(array)
        assert str(info.value) == message

    def test_int64_view_refuses_floats(self):
        with pytest.raises(ValueError, match="expected 'int64_t' but got 'double'"):
            probe.sum_int64(np.zeros(2))

    @pytest.mark.parametrize("value", [None, [1.0, 2.0], "text"])
    def test_non_buffers(self, value):
        with pytest.raises(TypeError):
            probe.sum_doubles(value)

    def test_two_dimensional_writable_view(self):
        m = np.zeros((4, 6))[:, ::2]  # non-contiguous
        probe.fill_rows(m, 7.0)
        assert np.all(m == 7.0)
        ro = np.zeros((2, 2))
        ro.flags.writeable = False
        with pytest.raises((ValueError, BufferError)):
            probe.fill_rows(ro, 1.0)
        assert np.all(ro == 0.0)


class TestNativeExports:
    def test_function_with_matching_signature(self):
        assert probe.call_native("velmar._native._probe", "polar_radius", RADIUS_SIG, 3.0, 4.0) == 5.0

    def test_wrong_signature_names_module_name_and_both_signatures(self):
        with pytest.raises(ImportError) as info:
            probe.call_native("velmar._native._probe", "polar_radius", "double (double, double)", 3.0, 4.0)
        text = str(info.value)
        for part in ("polar_radius", "velmar._native._probe", RADIUS_SIG, "double (double, double)"):
            assert part in text

    @pytest.mark.parametrize(
        "module, name, error",
        [
            ("velmar._native._probe", "missing", ImportError),
            ("velmar.datamodel.structured", "anything", ImportError),
            ("velmar.no_such_module", "anything", ModuleNotFoundError),
        ],
    )
    def test_missing_pieces_fail(self, module, name, error):
        with pytest.raises(error):
            probe.call_native(module, name, RADIUS_SIG, 1.0, 1.0)

    def test_variable(self):
        assert probe.read_constant("velmar._native._probe", "exported_constant") == 42.5

    def test_type_size_check(self):
        assert probe.import_type("builtins", "object", 16) is object
        with pytest.raises(ImportError, match="basic size"):
            probe.import_type("builtins", "object", 10_000)
        with pytest.raises(ImportError, match="not a type"):
            probe.import_type("math", "pi", 16)


class TestFunctionObjects:
    def test_method_classmethod_and_property(self):
        a = probe.Annotated()
        assert a.scale(2) == (a, 2)
        assert probe.Annotated.owner() is probe.Annotated
        assert a.owner() is probe.Annotated
        assert a.answer == 42
        assert probe.Annotated.answer.__doc__ == "Annotated.answer: int"

    def test_introspection(self):
        f = probe.Annotated.scale
        assert f.__name__ == "scale" and f.__qualname__ == "Annotated.scale"
        assert f.__module__ == "velmar._native._probe"
        assert f.__annotations__ == {"factor": "float", "return": "tuple"}
        assert str(inspect.signature(f)) == "(self, factor)"
        assert str(inspect.signature(probe.Annotated().scale)) == "(factor)"
        assert "Annotated.scale(self, factor)" in f.__doc__

    def test_binding_errors_use_host_texts(self):
        with pytest.raises(TypeError, match=r"scale\(\) takes exactly 2 positional arguments \(1 given\)"):
            probe.Annotated().scale()


NATIVE_MODULES = {
    # module: a name its body defines, so an empty module is told from a working one
    "velmar.datamodel.structured": "LLA_dtype",
    "velmar.propagators.analytical.sgp4.tle": "TLE",
    "velmar.propagators.analytical.keplerian.keplerian": "Keplerian",
    "velmar.satellite.satellite": "Satellite",
    "velmar.iers.eop": "EOP",
}
INTERPRETER_CHANGE = "Interpreter change detected - this module can only be loaded into one interpreter per process."

# Runs `code` in a fresh subinterpreter and gives the text of the error it
# raised ('' when none): CPython 3.12 raises from run_string, 3.13 returns a
# description of the exception.
SUBINTERPRETER = """
try:
    import _interpreters as interpreters
except ImportError:
    import _xxsubinterpreters as interpreters

def in_subinterpreter(code):
    i = interpreters.create()
    try:
        try:
            failure = interpreters.run_string(i, code)
        except Exception as error:
            return str(error)
        return "" if failure is None else str(getattr(failure, "msg", failure))
    finally:
        interpreters.destroy(i)
"""


def have_subinterpreters():
    return any(importlib.util.find_spec(name) for name in ("_interpreters", "_xxsubinterpreters"))


class TestModuleLoading:
    @pytest.mark.parametrize("name", list(NATIVE_MODULES))
    def test_second_initialisation_refused(self, name):
        importlib.import_module(name)
        module_spec = importlib.util.find_spec(name)
        module = importlib.util.module_from_spec(module_spec)
        with pytest.raises(RuntimeError) as info:
            module_spec.loader.exec_module(module)
        short = name.rsplit(".", 1)[1]
        assert str(info.value) == f"Module '{short}' has already been imported. Re-initialisation is not supported."

    @pytest.mark.parametrize("name", list(NATIVE_MODULES))
    def test_a_freed_module_is_never_reborn_empty(self, name):
        # Dropped from sys.modules and from its package, the module is freed and
        # a new module object may take its address; each import after that must
        # refuse plainly or give a working module, never an empty one.
        code = f"""
import gc, importlib, sys
name, defined = {name!r}, {NATIVE_MODULES[name]!r}
parent, _, short = name.rpartition(".")
module = importlib.import_module(name)
assert importlib.reload(module) is module and hasattr(module, defined)

def drop():
    sys.modules.pop(name, None)
    if hasattr(sys.modules[parent], short):
        delattr(sys.modules[parent], short)
    gc.collect()

del module
drop()
for attempt in range(100):
    try:
        module = importlib.import_module(name)
    except RuntimeError as error:
        assert str(error) == f"Module '{{short}}' has already been imported. Re-initialisation is not supported."
    else:
        assert hasattr(module, defined), f"attempt {{attempt}}: empty module {{sorted(vars(module))}}"
        del module
    drop()
"""
        assert_child_ok(code)

    @pytest.mark.skipif(not have_subinterpreters(), reason="no subinterpreter module in this CPython")
    def test_only_the_main_interpreter_loads_the_modules(self):
        # A subinterpreter is refused whether it comes before or after the main
        # interpreter, and one that came first does not lock the main one out.
        code = (
            SUBINTERPRETER
            + f"""
import importlib
names = {list(NATIVE_MODULES)!r}
for name in names:
    assert {INTERPRETER_CHANGE!r} in in_subinterpreter("import " + name), name
import velmar.propagators.analytical.keplerian.keplerian as keplerian
import velmar.datamodel.structured as structured
assert keplerian.Keplerian(2.0).GM == 2.0 and structured.LLA_dtype.names
for name in names:
    importlib.import_module(name)
    assert {INTERPRETER_CHANGE!r} in in_subinterpreter("import " + name), name
"""
        )
        assert_child_ok(code)
