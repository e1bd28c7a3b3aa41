"""Fuzzing: whatever it is given, velmar ends in a valid object or one of its
documented exceptions, and never crashes the interpreter.

Each test is bounded to a few seconds; `--fuzz-long` (or VELMAR_FUZZ_LONG=1)
runs fifty times as many cases. tests/test_tle.py and tests/test_elset.py
already fuzz random text and the plain selector kinds against a list model;
here the inputs are damaged real element sets, arbitrary selector objects,
text and numbers for Time, arrays of every layout for EOP and corrupted
catalogue files.
"""

import datetime
import gzip
import io
import math
import os
import re
import warnings
from fractions import Fraction
from importlib.resources import files

import hypothesis.extra.numpy as hnp
import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from velmar.frames.frames import GCRF
from velmar.iers.bulletins import BulletinA
from velmar.iers.eop import EOP
from velmar.io import checksum, load_catalog, read_tles
from velmar.propagators.analytical.keplerian.keplerian import Keplerian
from velmar.propagators.analytical.sgp4.tle import ELSET, TLE
from velmar.state.state import COE, StateVector
from velmar.time.time import Time

LONG = os.environ.get("VELMAR_FUZZ_LONG", "").strip().lower() not in ("", "0", "no", "false")


def fuzz(examples, **options):
    return settings(
        max_examples=examples * (50 if LONG else 1),
        deadline=None,
        suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large, HealthCheck.filter_too_much],
        **options,
    )


# Any code point: lone surrogates and NUL included.
ANY_CHAR = st.characters(exclude_categories=())
ANY_TEXT = st.text(ANY_CHAR, max_size=120)

SAMPLE = (files("velmar") / "data" / "sample.tle").read_text(encoding="ascii")
SAMPLE_LINES = SAMPLE.splitlines()
LINE_PAIRS = [(SAMPLE_LINES[i + 1], SAMPLE_LINES[i + 2]) for i in range(0, len(SAMPLE_LINES), 3)]
ELEMENTS = ("inc", "raa", "ecc", "mea", "arp", "mnm", "sma", "orp", "eca", "tra", "pge", "apg")
TAI_ORIGIN = datetime.datetime(2000, 1, 1, 12)
NS = 10**9


# ------------------------------------------------------------------------- TLE


@st.composite
def damaged_line(draw, line):
    """A real line with a few characters replaced, inserted or deleted, cut or lengthened."""
    text = list(line)
    for _ in range(draw(st.integers(0, 4))):
        where = draw(st.integers(0, len(text)))
        kind = draw(st.sampled_from(["replace", "insert", "delete"]))
        if kind == "insert" or where == len(text):
            text[where:where] = draw(st.text(ANY_CHAR, min_size=1, max_size=3))
        elif kind == "replace":
            text[where] = draw(ANY_CHAR)
        else:
            del text[where]
    text = "".join(text)
    ending = draw(st.sampled_from(["keep", "cut", "long"]))
    if ending == "cut":
        text = text[: draw(st.integers(0, len(text)))]
    elif ending == "long":
        text += draw(st.text(ANY_CHAR, max_size=20)) * draw(st.integers(1, 500))
    return text


@st.composite
def damaged_pair(draw):
    line1, line2 = draw(st.sampled_from(LINE_PAIRS))
    return draw(damaged_line(line1)), draw(damaged_line(line2))


def stored_form(line):
    """What TLE keeps of a line: 69 characters, zero-filled after a NUL."""
    head = line.ljust(69)[:69]
    nul = head.find("\0")
    return head if nul < 0 else head[:nul] + "\0" * (69 - nul)


def first_non_ascii(lines):
    for number, line in enumerate(lines, 1):
        for column, char in enumerate(line.ljust(69)[:69], 1):
            if ord(char) > 127:
                return number, column, char
    return None


def day_is_plain(line1):
    """A day-of-year field of digits, blanks and a point with a modest value: nothing for Time to refuse."""
    field = stored_form(line1)[20:32].split("\0")[0]
    if field.strip(" 0123456789."):
        return False
    number = re.match(r" *(\d*\.?\d*)", field).group(1)
    return not re.search(r"\d", number) or float(number) < 1e4


@fuzz(300)
@given(damaged_pair())
def test_tle_damaged_real_lines(pair):
    line1, line2 = pair
    bad = first_non_ascii(pair)
    try:
        tle = TLE(line1, line2)
    except ValueError as error:
        if bad is None:
            # Only the epoch can be refused, by Time, for a day field it cannot hold.
            assert not day_is_plain(line1), error
            return
        number, column, char = bad
        if 0xD800 <= ord(char) <= 0xDFFF:
            assert isinstance(error, UnicodeEncodeError)
        else:
            assert f"line {number}" in str(error) and f"column {column}" in str(error)
        return
    assert bad is None, "a non-ASCII line was accepted"
    assert tle.line1 == stored_form(line1) and tle.line2 == stored_form(line2)
    assert isinstance(tle.epoch, Time) and tle.epoch.shape == ()
    assert all(type(getattr(tle, name)) is float for name in ELEMENTS)
    assert isinstance(tle.satno, (int, str))
    assert str(tle).count("\n") > 10


@fuzz(100)
@given(
    st.one_of(
        st.none(),
        st.integers(),
        st.floats(),
        st.binary(),
        st.lists(st.text(max_size=3)),
        st.builds(type("Text", (str,), {}), st.text(max_size=70)),
    ),
    st.booleans(),
)
def test_tle_lines_of_other_types(value, first):
    args = (value, LINE_PAIRS[0][1]) if first else (LINE_PAIRS[0][0], value)
    with pytest.raises(TypeError):
        TLE(*args)


# ----------------------------------------------------------------------- ELSET


def elset_member(day):
    line1, line2 = LINE_PAIRS[0]
    return TLE(line1[:18] + "08" + f"{day:012.8f}" + line1[32:], line2)


MEMBERS = [elset_member(day) for day in (3.25, 40.5, 40.5, 100.0, 250.75, 366.0)]
EPOCHS = [member.epoch.int64 for member in MEMBERS]
SELECTION_ERRORS = (TypeError, ValueError, IndexError, AssertionError, AttributeError, OverflowError)


def instants():
    """One epoch in any form Time reads, around the members' year."""
    moment = st.datetimes(datetime.datetime(2007, 12, 1), datetime.datetime(2009, 2, 1))
    return st.one_of(
        moment,
        moment.map(lambda d: d.isoformat()),
        moment.map(lambda d: np.datetime64(d, "us")),
        moment.map(lambda d: Time(d)),
        st.sampled_from([member.epoch for member in MEMBERS]),
    )


def selectors():
    anything = st.one_of(
        st.none(),
        st.integers(),
        st.floats(),
        ANY_TEXT,
        st.binary(max_size=4),
        st.booleans(),
        st.just(Ellipsis),
        st.dictionaries(st.integers(), st.integers(), max_size=2),
    )
    arrays = hnp.arrays(
        dtype=st.one_of(
            hnp.boolean_dtypes(),
            hnp.integer_dtypes(endianness="?"),
            hnp.floating_dtypes(),
            hnp.unicode_string_dtypes(max_len=2),
        ),
        shape=hnp.array_shapes(min_dims=0, max_dims=2, min_side=0, max_side=7),
    )
    bound = st.one_of(st.none(), st.integers(-8, 8), st.integers(), ANY_TEXT, st.floats(), instants())
    return st.one_of(
        anything,
        st.integers(-8, 8),
        st.sampled_from([np.int8, np.uint8, np.int64, np.uint64, np.bool_]).flatmap(
            lambda kind: st.integers(0, 7).map(kind)
        ),
        st.builds(slice, bound, bound, st.one_of(st.none(), st.integers(), ANY_TEXT)),
        st.builds(slice, instants(), instants()),
        st.lists(st.one_of(st.integers(-7, 6), st.booleans()), max_size=8),
        st.lists(st.lists(st.integers(-6, 5), max_size=3), max_size=3),
        st.tuples(st.integers(-6, 5), st.integers(-6, 5)),
        arrays,
    )


@fuzz(300)
@given(st.permutations(MEMBERS), selectors())
def test_elset_any_selector(members, selector):
    elset = ELSET(*members, satname="fuzz")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            result = elset[selector]
        except SELECTION_ERRORS:
            result = None
    if isinstance(result, TLE):
        assert any(result is member for member in MEMBERS)
    elif result is not None:
        assert isinstance(result, ELSET) and result.size >= 1 and result.satname is None
        chosen = [result[i] for i in range(result.size)]
        assert all(any(m is member for member in MEMBERS) for m in chosen)
        epochs = result.epoch.int64.tolist()
        assert epochs == sorted(epochs) == [m.epoch.int64 for m in chosen]
        assert result.inc.tolist() == [m.inc for m in chosen]
    # A selection never changes the collection.
    assert elset.size == len(MEMBERS) and elset.epoch.int64.tolist() == sorted(EPOCHS)


@fuzz(150)
@given(st.one_of(st.none(), instants()), st.one_of(st.none(), instants()))
def test_elset_time_range_is_half_open(start, stop):
    elset = ELSET(*MEMBERS)
    low = -math.inf if start is None else Time(start).int64
    high = math.inf if stop is None else Time(stop).int64
    expected = [m for m in sorted(MEMBERS, key=lambda m: m.epoch.int64) if low <= m.epoch.int64 < high]
    if not expected:
        with pytest.raises(AssertionError):
            elset[start:stop]
        return
    result = elset[start:stop]
    assert [result[i] for i in range(result.size)] == expected


@fuzz(100)
@given(st.one_of(st.integers(), st.floats(), st.none(), ANY_TEXT, st.integers(-8, 8)))
def test_elset_cursor_set_to_anything(cursor):
    elset = ELSET(*MEMBERS)
    elset.index = cursor
    try:
        member = next(elset)
    except (StopIteration, TypeError, IndexError, ValueError, OverflowError):
        return
    assert any(member is m for m in MEMBERS)


# ------------------------------------------------------------------------ Time


@fuzz(300)
@given(st.one_of(ANY_TEXT, st.text(alphabet="0123456789-:T .Zzt+", max_size=40)), st.sampled_from(["utc", "tai", "tt"]))
def test_time_any_text(text, scale):
    try:
        t = Time(text, scale=scale)
    except ValueError:
        return
    assert t.shape == () and t.scale == scale
    assert Time(t.iso, scale=scale).int64 == t.int64
    repr(t)


@st.composite
def iso_texts(draw):
    """ISO 8601 text, sometimes with a field out of range or of the wrong width.

    Returns the text and the TAI nanoseconds it names, or None when it names no instant.
    """

    def field(low, high, width):
        value = draw(st.integers(low, high))
        shown = draw(st.sampled_from([width, width, width, width - 1, width + 1]))
        text = f"{value:0{max(shown, 1)}d}"
        return value, text, len(text) == width

    year, text, good = field(1600, 2400, 4)
    parts, fields = [text], [year]
    depth = draw(st.integers(0, 5))
    for low, high, sep, width in ((0, 13, "-", 2), (0, 32, "-", 2), (0, 25, "T", 2), (0, 61, ":", 2), (0, 61, ":", 2))[
        :depth
    ]:
        if sep == "T":
            sep = draw(st.sampled_from(["T", "t", " "]))
        value, text, ok = field(low, high, width)
        parts.append(sep + text)
        fields.append(value)
        good &= ok
    if depth == 3:
        good = False  # an hour without minutes
    fraction = ""
    if depth == 5 and draw(st.booleans()):
        fraction = draw(st.text(alphabet="0123456789", min_size=1, max_size=14))
        parts.append("." + fraction)
    if depth >= 3 and draw(st.booleans()):
        parts.append(draw(st.sampled_from(["Z", "z"])))
    text = "".join(parts)
    if not good:
        return text, None
    y, mo, d, h, mi, s = (fields + [1, 1, 0, 0, 0][len(fields) - 1 :])[:6]
    try:
        moment = datetime.datetime(y, mo, d, h, mi, s)
    except ValueError:
        return text, None
    ns = (moment - TAI_ORIGIN) // datetime.timedelta(microseconds=1) * 1000
    if fraction:
        ns += math.floor(Fraction(f"0.{fraction}") * NS + Fraction(1, 2))
    return text, ns


@fuzz(300)
@given(iso_texts(), st.sampled_from(["tai", "tt"]))
def test_time_iso_text_against_the_calendar(case, scale):
    text, ns = case
    # Exactly the int64 range, on the scale's own reading.
    inside = ns is not None and -(2**63) <= ns - (32_184_000_000 if scale == "tt" else 0) < 2**63
    try:
        t = Time(text, scale=scale)
    except ValueError:
        assert not inside, f"{text!r} was refused"
        return
    assert ns is not None, f"{text!r} was accepted"
    # TT runs 32.184 s ahead of TAI.
    assert t.int64 == ns - (32_184_000_000 if scale == "tt" else 0)


def numpy_number(kind, x):
    with np.errstate(over="ignore"):
        return kind(x) if np.dtype(kind).kind == "f" else kind(int(abs(x)))


NUMBERS = st.one_of(
    st.floats(),
    st.integers(),
    st.floats(2.3e6, 2.6e6),
    st.floats(-1e5, 1.5e5),
    st.builds(
        numpy_number,
        st.sampled_from([np.float16, np.float32, np.float64, np.longdouble, np.int32, np.uint64]),
        st.floats(-1e6, 3e6),
    ),
)


@fuzz(300)
@given(NUMBERS, st.sampled_from(["jd", "mjd"]), st.sampled_from(["utc", "tai", "tt"]))
def test_time_any_number(value, form, scale):
    try:
        jd = float(value) + (2400000.5 if form == "mjd" else 0.0)
    except OverflowError:
        jd = math.inf
    # 1707-09-24 to 2292-04-09, a day inside the range of a Time on any scale.
    inside = 2344795.5 < jd < 2558294.5
    try:
        t = Time(value, format=form, scale=scale)
    except (ValueError, OverflowError):
        assert not inside
        return
    assert math.isfinite(jd) and 2344790 < jd < 2558300
    # The day count comes back to within float64 resolution of the input.
    shown = float(getattr(t, form))
    assert abs(shown - float(value)) <= 1e-9 * max(1.0, abs(float(value)))
    assert Time(t.iso, scale=scale).int64 == t.int64


@fuzz(200)
@given(
    hnp.arrays(
        dtype=hnp.scalar_dtypes() | hnp.floating_dtypes(endianness="?"),
        shape=hnp.array_shapes(min_dims=0, max_dims=2, min_side=0, max_side=5),
    ),
    st.sampled_from([None, "jd", "mjd"]),
)
def test_time_arrays_of_every_dtype(values, form):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            t = Time(values, format=form) if form else Time(values)
        except (TypeError, ValueError, OverflowError):
            return
    assert values.ndim <= 1 and t.size == values.size
    assert np.array_equal(Time(t.utc.iso).int64, Time(t).utc.int64)


# Any int64, and often one within two days of either end of the range.
INT64 = st.one_of(
    st.integers(-(2**63), 2**63 - 1),
    st.integers(-(2**63), -(2**63) + 2 * 86400 * NS),
    st.integers(2**63 - 1 - 2 * 86400 * NS, 2**63 - 1),
)


@fuzz(300)
@given(st.one_of(st.integers(), INT64), st.sampled_from(["utc", "tai", "tt"]))
def test_time_any_integer_epoch(value, scale):
    try:
        t = Time._from_int64(value, scale)
    except OverflowError:
        assert not -(2**63) <= value < 2**63
        return
    assert t.int64 == value
    # Every view of the epoch can be taken, even at the ends of the range.
    t.iso, t.jd, t.mjd, t.utc, t.tai, t.tt, repr(t)
    try:
        t.datetime64
    except OverflowError:
        assert t.utc.iso >= "2262-04-11"  # where datetime64[ns] ends
    # Every epoch's text reads back, to the last nanosecond at either end.
    assert Time(t.iso, scale=scale).int64 == value
    assert Time(t.utc.iso).int64 == Time(t.tai.iso, scale="tai").int64 == Time(t.tt.iso, scale="tt").int64 == value


@fuzz(200)
@given(INT64, st.one_of(INT64, st.lists(INT64, max_size=4)))
def test_time_differences_across_the_whole_range(a, b):
    later = Time._from_int64(a, "tai")
    earlier = Time._from_int64(np.array(b, dtype=np.int64) if isinstance(b, list) else b, "tai")
    elapsed = np.asarray(later - earlier, dtype=float).reshape(-1)
    exact = [Fraction(a - v, NS) for v in np.atleast_1d(b).tolist()]
    # Rounded once, or to well under a nanosecond for spans of centuries.
    assert all(
        abs(Fraction(x) - e) <= max(Fraction(1, 10**10), abs(e) * Fraction(1, 2**52))
        for x, e in zip(elapsed.tolist(), exact)
    )


UNITS = {
    "W": 604800,
    "D": 86400,
    "h": 3600,
    "m": 60,
    "s": 1,
    "ms": Fraction(1, 10**3),
    "us": Fraction(1, 10**6),
    "ns": Fraction(1, 10**9),
    "ps": Fraction(1, 10**12),
    "fs": Fraction(1, 10**15),
    "as": Fraction(1, 10**18),
}
SPANS = st.one_of(
    st.floats(),
    st.integers(),
    st.builds(datetime.timedelta, microseconds=st.integers(-(10**17), 10**17)),
    st.builds(np.timedelta64, st.integers(-(2**63) + 1, 2**63 - 1), st.sampled_from(list(UNITS))),
    hnp.arrays(np.float64, st.integers(0, 4)),
)


def seconds_of(span):
    if isinstance(span, np.timedelta64):
        unit, count = np.datetime_data(span.dtype)
        return float(int(span.astype(np.int64)) * count * UNITS[unit])
    if isinstance(span, datetime.timedelta):
        return span.total_seconds()
    return np.asarray(span, dtype=float)


@fuzz(300)
@given(INT64, SPANS)
def test_time_plus_any_span(start, span):
    t = Time._from_int64(start, "tai")
    try:
        later = t + span
    except (ValueError, OverflowError):
        return
    seconds = seconds_of(span)
    elapsed = np.asarray(later - t, dtype=float)
    assert np.all(np.abs(elapsed - seconds) <= 1e-9 * np.maximum(1.0, np.abs(seconds)) + 1e-9)


@fuzz(200)
@given(
    st.builds(
        lambda raw, dtype: raw.view(dtype),
        hnp.arrays(
            np.int64,
            st.integers(0, 4),
            elements=st.one_of(
                st.integers(-(2**63), 2**63 - 1),
                st.integers(-(10**6), 10**6),
                st.integers(-(2**63), -(2**63) + 10**6),
                st.integers(2**63 - 10**6, 2**63 - 1),
            ),
        ),
        hnp.datetime64_dtypes(endianness="?"),
    )
)
def test_time_datetime64_of_every_unit(values):
    try:
        t = Time(values)
    except (ValueError, OverflowError):
        return
    try:
        shown = t.datetime64
    except OverflowError:
        assert max(np.atleast_1d(t.iso).tolist()) >= "2262-04-11"  # where datetime64[ns] ends
        return
    if np.datetime_data(values.dtype)[0] not in ("ps", "fs", "as", "generic"):
        np.testing.assert_array_equal(shown, values.astype("M8[ns]"))


# ----------------------------------------------------- states and Keplerian

ANY_FLOAT = st.one_of(st.floats(), st.floats(-1e8, 1e8), st.sampled_from([0.0, -0.0, 1.0]))


@fuzz(200)
@given(
    st.lists(ANY_FLOAT, min_size=12, max_size=12),
    hnp.arrays(np.float64, st.integers(0, 5), elements=st.one_of(st.floats(), st.floats(-1e9, 1e9))),
)
def test_states_and_keplerian_on_any_numbers(numbers, offsets):
    epoch = Time("2024-03-01T00:00:00")
    try:
        times = epoch + offsets
    except (ValueError, OverflowError):
        times = epoch + np.zeros(offsets.size)
    propagator = Keplerian()
    states = [StateVector(epoch, GCRF, numbers[:3], numbers[3:6])]
    try:
        states.append(COE(epoch, GCRF, *numbers[6:]))
    except ValueError:
        pass  # a negative eccentricity, an ellipse with sma <= 0, or a GM that is not positive
    for state in states:
        try:
            state.to_coe().to_sv()
            ephemeris = propagator.propagate_state(times, state)
        except (ValueError, NotImplementedError):
            continue  # no orbital plane, or not an ellipse
        assert ephemeris.r.shape == ephemeris.v.shape == (offsets.size, 3)
        assert propagator.jacobian(ephemeris).shape == (offsets.size, 6, 6)
        try:
            ephemeris.to_coe().to_sv()
        except ValueError:
            pass  # a degenerate orbit (zero or infinite sma) has no plane left


# ------------------------------------------------------------------------- EOP


BULLETIN_A = BulletinA()
SPAN = (float(BULLETIN_A.mjd_utc[0]), float(BULLETIN_A.mjd_utc[-1]))


def every_array():
    dtypes = st.one_of(
        hnp.scalar_dtypes(),
        hnp.floating_dtypes(endianness="?"),
        hnp.integer_dtypes(endianness="?"),
        hnp.complex_number_dtypes(endianness="?"),
        hnp.byte_string_dtypes(),
        hnp.unicode_string_dtypes(),
        hnp.array_dtypes(allow_subarrays=True),
        st.just(np.dtype(object)),
        st.just(np.dtype("f8")),
    )
    return hnp.arrays(dtypes, hnp.array_shapes(min_dims=0, max_dims=3, min_side=0, max_side=6))


@st.composite
def laid_out(draw, arrays):
    """The array, or a strided, reversed, transposed or read-only view of it, or a subclass."""
    a = draw(arrays)
    how = draw(st.sampled_from(["plain", "stride", "reverse", "transpose", "readonly", "masked", "matrix-like"]))
    if how == "stride" and a.ndim:
        a = a[:: draw(st.integers(2, 3))]
    elif how == "reverse" and a.ndim:
        a = a[::-1]
    elif how == "transpose":
        a = a.T
    elif how == "readonly":
        a = a.view()
        a.flags.writeable = False
    elif how == "masked":
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # numpy's default fill value of a structured dtype
            a = np.ma.masked_array(a)
    elif how == "matrix-like":
        a = a.view(type("Sub", (np.ndarray,), {}))
    return a


MJD_VALUES = hnp.arrays(np.float64, st.integers(0, 6), elements=st.floats(SPAN[0] + 1, SPAN[1] - 1))


@fuzz(250)
@given(st.one_of(laid_out(every_array()), laid_out(MJD_VALUES)))
def test_eop_arrays_of_every_dtype_shape_stride_and_byte_order(values):
    # One dimension of native-order float64 is all that is asked; stride,
    # write access and the array subclass do not matter.
    if not (values.ndim == 1 and values.dtype == np.dtype("=f8")):
        with pytest.raises(ValueError):
            EOP(values)
        with pytest.raises(ValueError):
            EOP.get_TT_UT1_from_mjd_ut1(values)
        return
    e = EOP(values)
    assert e.mjd_utc is values
    if isinstance(values, np.ma.MaskedArray):
        try:
            e.pm_x
        except ValueError as error:
            assert "masked arrays" in str(error)  # scipy's refusal, passed on unchanged
        return
    if values.size and not (SPAN[0] + 1 <= values.min() and values.max() <= SPAN[1] - 1):
        return
    # Any layout gives what a plain copy gives.
    plain = np.array(values, dtype=np.float64)
    for quantity in ("pm_x", "lod", "dat", "dut"):
        np.testing.assert_array_equal(getattr(e, quantity), getattr(EOP(plain), quantity))
    np.testing.assert_array_equal(EOP.get_TT_UT1_from_mjd_ut1(values), EOP.get_TT_UT1_from_mjd_ut1(plain))


@fuzz(50)
@given(
    st.one_of(
        st.none(),
        st.integers(),
        st.floats(),
        st.lists(st.floats(), max_size=3),
        st.binary(max_size=16).map(memoryview),
        ANY_TEXT,
    )
)
def test_eop_non_arrays_are_refused(value):
    try:
        e = EOP(value)
    except TypeError as error:
        assert "mjd_utc" in str(error)
        return
    assert value is None and e.mjd_utc is None


# ------------------------------------------------------------- catalogue reader


def catalogue():
    """The sample catalogue plus three more element sets of the ISS."""
    iss1, iss2 = LINE_PAIRS[0]
    more = []
    for day in ("08265.51782528", "08266.51782528", "08267.51782528"):
        line1 = iss1[:18] + day + iss1[32:68]
        more += ["ISS (ZARYA)", line1 + str(checksum(line1)), iss2]
    return ("\n".join(SAMPLE_LINES + more) + "\n").encode("ascii")


CATALOGUE = catalogue()


@st.composite
def corrupted(draw):
    data = bytearray(CATALOGUE)
    for _ in range(draw(st.integers(1, 4))):
        kind = draw(st.sampled_from(["flip", "byte", "insert", "delete", "cut", "swap lines", "repeat line", "crlf"]))
        where = draw(st.integers(0, max(len(data) - 1, 0)))
        if kind == "flip" and data:
            data[where] ^= 1 << draw(st.integers(0, 7))
        elif kind == "byte" and data:
            data[where] = draw(st.integers(0, 255))
        elif kind == "insert":
            data[where:where] = draw(st.binary(min_size=1, max_size=8))
        elif kind == "delete":
            del data[where : where + draw(st.integers(1, 80))]
        elif kind == "cut":
            del data[where:]
        elif kind in ("swap lines", "repeat line"):
            lines = bytes(data).split(b"\n")
            i, j = draw(st.integers(0, len(lines) - 1)), draw(st.integers(0, len(lines) - 1))
            if kind == "swap lines":
                lines[i], lines[j] = lines[j], lines[i]
            else:
                lines.insert(j, lines[i])
            data = bytearray(b"\n".join(lines))
        elif kind == "crlf":
            data = bytearray(bytes(data).replace(b"\n", b"\r\n"))
    return bytes(data)


def check_catalogue(source_factory, verify):
    try:
        records = list(read_tles(source_factory(), verify=verify))
    except ValueError:
        records = None
    if records is not None:
        for name, tle in records:
            assert name is None or isinstance(name, str)
            assert isinstance(tle, TLE)
            if verify:
                # What verification lets through has sound lines.
                for line in (tle.line1, tle.line2):
                    assert line[68].isdigit() and int(line[68]) == checksum(line)
                assert tle.line1[2:7] == tle.line2[2:7]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            groups = load_catalog(source_factory(), verify=verify)
        except ValueError:
            return
    for satno, elset in groups.items():
        assert isinstance(elset, ELSET) and elset.satno == satno


@fuzz(200)
@given(data=corrupted(), verify=st.booleans(), how=st.sampled_from(["bytes", "text", "path"]))
def test_catalogue_reader_on_corrupted_files(data, verify, how, tmp_path_factory):
    if how == "text":
        try:
            text = data.decode("utf-8")
        except UnicodeDecodeError:
            text = data.decode("latin-1")
        if "\n" not in text and "\r" not in text:
            text += "\n"
        check_catalogue(lambda: text, verify)
    elif how == "path":
        path = tmp_path_factory.mktemp("catalogue") / "fuzz.tle"
        path.write_bytes(data)
        check_catalogue(lambda: path, verify)
    else:
        check_catalogue(lambda: io.BytesIO(data), verify)


@fuzz(100)
@given(corrupted(), st.booleans())
def test_catalogue_reader_on_gzip_files(data, verify):
    check_catalogue(lambda: io.BytesIO(gzip.compress(data)), verify)


@fuzz(100)
@given(st.data(), st.booleans())
def test_catalogue_reader_on_damaged_gzip_streams(data, verify):
    packed = bytearray(gzip.compress(CATALOGUE))
    kind = data.draw(st.sampled_from(["cut", "flip"]))
    where = data.draw(st.integers(2, len(packed) - 1))
    if kind == "cut":
        del packed[where:]
    else:
        packed[where] ^= 1 << data.draw(st.integers(0, 7))
    check_catalogue(lambda: io.BytesIO(bytes(packed)), verify)
