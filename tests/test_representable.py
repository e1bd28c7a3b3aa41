import gc
import weakref

import pytest
from conftest import assert_child_ok

from velmar.utils.representable import Representable


class Orbit(Representable):
    def __init__(self, body):
        self.body = body

    def _get_header(self):
        return "Orbit"

    def _get_body(self):
        return self.body


def lines_of(obj):
    return repr(obj).split("\n")


class TestPrintedForm:
    def test_header_rule_body_and_fences(self):
        assert repr(Orbit("first line\n{fence}\nlonger second line")) == (
            "Orbit\n==================\nfirst line\n------------------\nlonger second line"
        )

    def test_str_equals_repr(self):
        obj = Orbit("a\n{fence}\nb")
        assert str(obj) == repr(obj)

    @pytest.mark.parametrize(
        "body, width",
        [("", 5), ("ab", 5), ("a much longer line\n{fence}", 18), ("{fence}\n{fence}", 5), ("x\n  {fence}", 9)],
    )
    def test_rules_as_wide_as_widest_line(self, body, width):
        for line in lines_of(Orbit(body)):
            if set(line) in ({"="}, {"-"}):
                assert len(line) == width
        assert lines_of(Orbit(body))[1] == "=" * width

    def test_only_exact_fence_lines_become_rules(self):
        assert lines_of(Orbit("{fence} \nx{fence}"))[2:] == ["{fence} ", "x{fence}"]

    def test_widths_count_characters_not_bytes(self):
        assert lines_of(Orbit("ΔV ≈ 3\n{fence}"))[3] == "-" * 6

    def test_methods_looked_up_on_the_instance(self):
        obj = Orbit("x")
        obj._get_header = lambda: "Replaced"
        assert lines_of(obj)[0] == "Replaced"


class TestMissingMethods:
    def test_subclass_without_methods(self):
        class Bare(Representable):
            pass

        with pytest.raises(NotImplementedError, match=r"Bare does not define _get_header\(\)"):
            repr(Bare())

    def test_subclass_without_body(self):
        class HeaderOnly(Representable):
            def _get_header(self):
                return "h"

        with pytest.raises(NotImplementedError, match=r"HeaderOnly does not define _get_body\(\)"):
            str(HeaderOnly())

    def test_non_str_result(self):
        with pytest.raises(TypeError, match=r"Orbit._get_body\(\) must return str, not int"):
            repr(Orbit(3))

    def test_error_inside_method_propagates(self):
        class Failing(Orbit):
            def _get_body(self):
                raise KeyError("inner")

        with pytest.raises(KeyError, match="inner"):
            repr(Failing(""))


class TestBuildingBlocks:
    obj = Orbit("")

    def test_formatted_form_aligns_colons(self):
        form = self.obj._create_formatted_form({"epoch": "2008-09-20T12:25:40.104192 UTC", "frame": "TEME", "n": 3})
        assert form == "epoch : 2008-09-20T12:25:40.104192 UTC\nframe : TEME\nn     : 3"
        assert self.obj._create_formatted_form({}) == ""

    def test_formatted_frame_table(self):
        data = {
            "SI units": {"ecc": "0.00067", "sma": "6730960.680 m", "inc": "0.901 rad"},
            "Op. units": {"ecc": "0.00067", "sma": "6730.961 km", "inc": "51.642 deg"},
        }
        assert self.obj._create_formatted_frame(data) == (
            "         SI units        Op. units\n"
            "ecc         0.00067        0.00067\n"
            "sma   6730960.680 m     6730.961 km\n"
            "inc         0.901 rad     51.642 deg"
        )

    def test_frame_decimal_points_line_up(self):
        data = {"c": {"x": "1.5 m", "y": "-123.25 m", "z": "42", "w": "inf m"}}
        rows = self.obj._create_formatted_frame(data).split("\n")[1:]
        ends = [row.index(".") if "." in row else None for row in rows]
        assert ends[0] == ends[1] and rows[2].endswith("42") and rows[2].index("42") + 2 == ends[0]
        assert rows[3].index("inf") + 3 == ends[0]

    def test_frame_missing_labels_and_empty(self):
        table = self.obj._create_formatted_frame({"A": {"p": "1"}, "B": {"q": "2"}}).split("\n")
        assert [row.split() for row in table] == [["A", "B"], ["p", "1"], ["q", "2"]]
        assert table[2].index("2") > table[1].index("1")
        assert self.obj._create_formatted_frame({}) == ""

    def test_property_heading(self):
        assert self.obj._format_as_property("Orbital Elements:") == "Orbital Elements:"

    @pytest.mark.parametrize(
        "method, arg, text",
        [
            ("_create_formatted_form", ["x"], "Argument 'data' has incorrect type (expected dict, got list)"),
            ("_create_formatted_frame", {"A": 1}, "column 'A' of data must be a dict"),
            ("_format_as_property", 3, "Argument 'title' has incorrect type (expected str, got int)"),
        ],
    )
    def test_bad_arguments(self, method, arg, text):
        with pytest.raises(TypeError) as info:
            getattr(self.obj, method)(arg)
        assert text in str(info.value)


class TestInstances:
    def test_attribute_dictionary(self):
        base = Representable()
        base.x = 1
        assert base.__dict__ == {"x": 1}
        assert Representable.__dictoffset__ > 0

    def test_base_takes_no_arguments(self):
        with pytest.raises(TypeError, match="takes no arguments"):
            Representable(1)

    def test_cycles_through_dict_are_collected(self):
        obj = Orbit("x")
        obj.me = obj
        ref = weakref.ref(obj)
        del obj
        gc.collect()
        assert ref() is None


class TestMemorySafety:
    """str() of a label or value runs the caller's code, which may empty the
    dict being laid out; the layout holds its own references to every item."""

    CHILD = """
import gc
from velmar.utils.representable import Representable

class Orbit(Representable):
    def _get_header(self):
        return "Orbit"
    def _get_body(self):
        return ""

class Clearing:
    def __init__(self, text, victims):
        self.text, self.victims = text, victims
    def __str__(self):
        for victim in self.victims:
            victim.clear()
        # Reuse the freed memory, so a dangling key or value shows at once.
        junk = [object() for _ in range(10_000)]
        gc.collect()
        return self.text

def fresh(text):
    return (text + "#")[:-1]  # a new object (of two characters or more), owned by the dict alone

# Each dict is emptied by str() of one of its own keys, which frees the
# value paired with that key before the layout reads it.
form = {}
form.update({Clearing("a", [form]): fresh("10"), fresh("bb"): fresh("2.5 m"), fresh("ccc"): fresh("30")})
print(repr(Orbit()._create_formatted_form(form)), form)

frame = {}
column = {Clearing("p", [frame]): fresh("70"), fresh("qq"): fresh("80")}
frame.update({Clearing("A", [column]): column, fresh("B"): {fresh("xx"): fresh("1.5 m"), fresh("yy"): fresh("-2.25 m")}})
del column
print(repr(Orbit()._create_formatted_frame(frame)), frame)
"""

    def test_dict_emptied_by_str_while_laid_out(self):
        # A segmentation fault while PyDict_Next's borrowed items were held.
        lines = assert_child_ok(self.CHILD).splitlines()
        # The layout is that of the items as they were when it began.
        plain = Orbit("")
        form = plain._create_formatted_form({"a": "10", "bb": "2.5 m", "ccc": "30"})
        frame = plain._create_formatted_frame({"A": {"p": "70", "qq": "80"}, "B": {"xx": "1.5 m", "yy": "-2.25 m"}})
        assert lines == [f"{form!r} {{}}", f"{frame!r} {{}}"]
        assert form == "a   : 10\nbb  : 2.5 m\nccc : 30"
