"""TLE: fixed-column reading, exact epochs, SI and derived elements, printed form."""

import copy
import ctypes
import ctypes.util
import datetime
import gc
import math
import pickle
import re
import subprocess
import sys
import tracemalloc

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from velmar.bodies.bodies import Earth
from velmar.propagators.analytical.sgp4.tle import ELSET, TLE
from velmar.time.time import Time

ISS1 = "1 25544U 98067A   08264.51782528 -.00002182  00000-0 -11606-4 0  2927"
ISS2 = "2 25544  51.6416 247.4627 0006703 130.5360 325.0288 15.72125391563537"

GM = 3.986004418e14
RE = 6378137.0
TWO_PI = 2.0 * math.pi


def put(line, first, text):
    """`line` with `text` written from column `first` (counted from 1)."""
    line = line.ljust(69)
    return line[: first - 1] + text + line[first - 1 + len(text) :]


def epoch_ns(tle):
    return tle.epoch.int64


def ns_of(text):
    return Time(text).int64


# --- reading fields by column --------------------------------------------------


class TestFields:
    def test_published_iss_set(self):
        t = TLE(ISS1, ISS2)
        assert t.satno == 25544
        assert t.inc == 51.6416 * math.pi / 180
        assert t.raa == 247.4627 * math.pi / 180
        assert t.ecc == 0.0006703
        assert t.arp == 130.5360 * math.pi / 180
        assert t.mea == 325.0288 * math.pi / 180
        assert t.mnm == 15.72125391 * TWO_PI / 86400

    @pytest.mark.parametrize(
        "field, expected",
        [("25544", 25544), (" 1234", 1234), ("A1234", "A1234"), ("     ", ""), ("00042", 42), (" 12 3", "12 3")],
    )
    def test_satno(self, field, expected):
        t = TLE(put(ISS1, 3, field), ISS2)
        assert t.satno == expected and type(t.satno) is type(expected)
        assert t.satno == t.satno

    @pytest.mark.parametrize(
        "year_field, year",
        [
            ("57", 1957),
            ("56", 2056),
            ("00", 2000),
            ("  ", 2000),
            ("99", 1999),
            ("-1", 1999),
            ("+5", 2005),
            ("08", 2008),
        ],
    )
    def test_year_pivot(self, year_field, year):
        t = TLE(put(put(ISS1, 19, year_field), 21, "001.00000000"), ISS2)
        assert epoch_ns(t) == ns_of(f"{year}-01-01T00:00:00")

    @pytest.mark.parametrize(
        "day_field, iso",
        [
            ("001.00000000", "2008-01-01T00:00:00"),
            ("001.50000000", "2008-01-01T12:00:00"),
            ("032.25000000", "2008-02-01T06:00:00"),
            ("365.75000000", "2008-12-30T18:00:00"),
        ],
    )
    def test_day_of_year(self, day_field, iso):
        t = TLE(put(put(ISS1, 19, "08"), 21, day_field), ISS2)
        assert abs(epoch_ns(t) - ns_of(iso)) <= 1000

    @pytest.mark.parametrize(
        "field, ecc", [("0006703", 0.0006703), (" 006703", 0.0), ("1234567", 0.1234567), ("       ", 0.0), ("5", 0.5)]
    )
    def test_eccentricity_implied_point(self, field, ecc):
        assert TLE(ISS1, put(ISS2, 27, field.ljust(7))).ecc == ecc

    @pytest.mark.parametrize(
        "field, degrees",
        [
            ("51.6416 ", 51.6416),
            ("        ", 0.0),
            ("  +12.5 ", 12.5),
            ("12.5abc ", 12.5),
            ("1.5e1   ", 15.0),
            ("0x10    ", 16.0),
            ("   -.5  ", -0.5),
            (" 98.74  ", 98.74),
            ("   inf  ", math.inf),
        ],
    )
    def test_decimal_fields_read_like_atof(self, field, degrees):
        assert TLE(ISS1, put(ISS2, 9, field)).inc == degrees * (math.pi / 180)

    def test_fields_are_bounded_by_their_columns(self):
        # Inclination and node touch at column 17: a blank there ends the
        # inclination, a digit there is simply not read.
        t = TLE(ISS1, put(ISS2, 9, "11111111922222222"))
        assert t.inc == 11111111 * math.pi / 180
        assert t.raa == 22222222 * math.pi / 180

    def test_mean_motion_units(self):
        t = TLE(ISS1, put(ISS2, 53, "15.50000000"))
        assert t.mnm == 15.5 * TWO_PI / 86400

    def test_line2_fields_against_python_float(self, spot5_lines):
        for l1, l2 in spot5_lines[:50]:
            t = TLE(l1, l2)
            assert t.inc == float(l2[8:16]) * (math.pi / 180)
            assert t.raa == float(l2[17:25]) * (math.pi / 180)
            assert t.ecc == float("." + l2[26:33])
            assert t.arp == float(l2[34:42]) * (math.pi / 180)
            assert t.mea == float(l2[43:51]) * (math.pi / 180)
            assert t.mnm == float(l2[52:63]) * TWO_PI / 86400


_libc = ctypes.CDLL(ctypes.util.find_library("c"))
_libc.atof.restype = ctypes.c_double
_libc.atof.argtypes = [ctypes.c_char_p]


@settings(max_examples=300, deadline=None)
@given(st.text(alphabet="0123456789 +-.eExXabcdfinINpP", max_size=8))
def test_inclination_field_matches_c_atof(field):
    # The C library's own atof (this process keeps the "C" numeric locale) is
    # the reference for every text, numbers or not.
    line2 = put(ISS2, 9, field.ljust(8))
    expected = _libc.atof(field.ljust(8).encode()) * (math.pi / 180)
    got = TLE(ISS1, line2).inc
    assert got == expected or (math.isnan(got) and math.isnan(expected))


def test_reading_ignores_the_process_locale():
    code = (
        "import locale, sys\n"
        "for name in ('de_DE.UTF-8', 'de_DE.utf8', 'fr_FR.UTF-8', 'fr_FR.utf8'):\n"
        "    try:\n"
        "        locale.setlocale(locale.LC_NUMERIC, name); break\n"
        "    except locale.Error: pass\n"
        "else:\n"
        "    print('no-locale'); sys.exit(0)\n"
        "from velmar.propagators.analytical.sgp4.tle import TLE\n"
        f"t = TLE({ISS1!r}, {ISS2!r})\n"
        "print(repr(t.inc))\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout.strip()
    if out == "no-locale":
        pytest.skip("no decimal-comma locale installed on this machine")
    assert float(out) == 51.6416 * math.pi / 180


# --- lines kept verbatim -------------------------------------------------------


class TestLines:
    def test_short_line_padded(self):
        t = TLE(ISS1[:60], ISS2)
        assert t.line1 == ISS1[:60] + " " * 9

    def test_long_line_cut(self):
        t = TLE(ISS1 + "0123456789X", ISS2 + "Z" * 11)
        assert t.line1 == ISS1 and t.line2 == ISS2 and len(t.line1) == 69

    def test_empty_lines_give_zeros(self):
        t = TLE("", "")
        assert t.line1 == " " * 69
        assert (t.satno, t.inc, t.ecc, t.mnm) == ("", 0.0, 0.0, 0.0)
        assert epoch_ns(t) == ns_of("2000-01-01T00:00:00") - 86400 * 10**9  # day 0.0 of 2000

    def test_embedded_nul_zero_fills_the_rest(self):
        t = TLE(ISS1[:20] + "\0" + ISS1[21:], ISS2)
        assert t.line1 == ISS1[:20] + "\0" * 49
        assert t.satno == 25544
        # day field now begins after the NUL: nothing readable, day 0 of 2008
        assert epoch_ns(t) == ns_of("2008-01-01T00:00:00") - 86400 * 10**9

    def test_nothing_is_validated(self):
        bad1 = "9" + ISS1[1:68] + "0"
        bad2 = "7 99999" + ISS2[7:68] + "5"
        plain = TLE(bad1, bad2)
        for strict in (True, False):
            for t in (TLE(bad1, bad2, strict), TLE(line1=bad1, line2=bad2, strict_validation=strict)):
                assert all(getattr(t, k) == getattr(plain, k) for k in ELEMENTS + ("satno", "line1", "line2"))
                assert epoch_ns(t) == epoch_ns(plain)

    def test_non_ascii_refused_with_line_and_column(self):
        with pytest.raises(ValueError, match=r"line 2 .*'é'.* column 12\b"):
            TLE(ISS1, ISS2[:11] + "é" + ISS2[12:])
        with pytest.raises(ValueError, match=r"line 1 .* column 1\b"):
            TLE("\u2014" + ISS1[1:], ISS2)

    def test_non_ascii_past_column_69_is_cut_away(self):
        assert TLE(ISS1 + " ünïcode", ISS2).line1 == ISS1

    def test_lone_surrogate_is_an_encoding_error(self):
        with pytest.raises(UnicodeEncodeError):
            TLE(ISS1[:5] + "\ud800" + ISS1[6:], ISS2)


ELEMENTS = ("inc", "raa", "ecc", "mea", "arp", "mnm", "sma", "orp", "eca", "tra", "pge", "apg")


# --- the epoch -------------------------------------------------------------------


class TestEpoch:
    def test_iss_epoch_exact(self):
        t = TLE(ISS1, ISS2)
        assert abs(epoch_ns(t) - ns_of("2008-09-20T12:25:40.104192")) <= 1000

    def test_epoch_is_stored_time(self):
        t = TLE(ISS1, ISS2)
        assert isinstance(t.epoch, Time) and t.epoch is t.epoch

    @pytest.mark.parametrize("yy", ["57", "99", "00", "08", "16", "56"])
    def test_day_field_as_the_exact_julian_date_sum(self, yy):
        # The documented meaning of the fields, Time(Time(year).jd - 1.0 + day,
        # format='jd'), evaluated through JulianDate's own arithmetic: equal
        # to the nanosecond for every form the 12 columns can hold, and the
        # same error where that expression fails.
        import random

        rng = random.Random(int(yy))
        fields = [
            "001.00000000",
            "366.99999999",
            "  1.5       ",
            "-1.0        ",
            "12.123456789",
            "0.0000000001",
            "   .5       ",
            "+100.5      ",
            "99999999.999",
            "-0.000000001",
            "9.9999999999",
            "0000000000.5",
            "1e2         ",
            "   inf      ",
            "1.0e-3      ",
            "100.        ",
        ]
        for _ in range(150):
            decimals = rng.randint(0, 10)
            text = (
                str(rng.randint(0, 10 ** rng.randint(0, 10 - decimals)))
                + "."
                + "".join(rng.choice("0123456789") for _ in range(decimals))
            )
            fields.append(("-" if rng.random() < 0.1 else "") + text)
        year = 2000 + int(yy) if int(yy) < 57 else 1900 + int(yy)
        for field in fields:
            field = field[:12].rjust(12)
            try:
                expected = Time(Time(str(year)).jd - 1.0 + float(field), format="jd").int64
            except ValueError as exc:
                with pytest.raises(ValueError, match=re.escape(str(exc))):
                    TLE(put(ISS1, 19, yy + field), ISS2)
                continue
            tle = TLE(put(ISS1, 19, yy + field), ISS2)
            assert tle.epoch.int64 == expected, field
            assert tle.epoch is tle.epoch

    def test_spot5_epochs_exact_against_field_text(self, spot5_lines):
        # Integer arithmetic on the text: day-of-year and 8 decimals of a day
        # (one unit is 864 microseconds), through datetime, which has no leap
        # seconds to disagree about within these days.
        for l1, l2 in spot5_lines:
            yy, doy, frac = int(l1[18:20]), int(l1[20:23]), int(l1[24:32])
            year = 2000 + yy if yy < 57 else 1900 + yy
            expected = datetime.datetime(year, 1, 1) + datetime.timedelta(days=doy - 1, microseconds=frac * 864)
            assert abs(epoch_ns(TLE(l1, l2)) - Time(expected).int64) <= 1000, l1


# --- against a peer parser ---------------------------------------------------------


def test_spot5_against_sgp4(spot5_lines):
    sgp4_api = pytest.importorskip("sgp4.api")
    j2000 = Time(datetime.datetime(2000, 1, 1, 12)).int64
    for l1, l2 in spot5_lines:
        t = TLE(l1, l2)
        s = sgp4_api.Satrec.twoline2rv(l1, l2)
        assert t.satno == s.satnum
        for ours, theirs in ((t.inc, s.inclo), (t.raa, s.nodeo), (t.ecc, s.ecco), (t.arp, s.argpo), (t.mea, s.mo)):
            assert ours == pytest.approx(theirs, rel=1e-15, abs=1e-15)
        assert t.mnm * 60.0 == pytest.approx(s.no_kozai, rel=1e-14)
        # Days since J2000 (UTC; no leap second falls between), against the
        # peer's whole Julian day taken from J2000 first, to keep all digits.
        days = (epoch_ns(t) - j2000) / 86400e9 - (s.jdsatepoch - 2451545.0)
        assert days == pytest.approx(s.jdsatepochF, abs=2e-11)  # 2 microseconds


# --- derived elements ---------------------------------------------------------------


def anomaly_residual(a, b):
    """Difference of two angles, reduced to (-pi, pi]."""
    return math.remainder(a - b, TWO_PI)


class TestDerived:
    def check(self, t):
        n = t.mnm
        sma = (GM / n**2) ** (1.0 / 3.0)
        assert t.sma == pytest.approx(sma, rel=4e-15)  # pow(x, 1/3) is not quite a cube root
        assert t.orp == pytest.approx(TWO_PI / n, rel=1e-14)  # Kepler's third law
        # altitudes lose the digits of Re by cancellation: compare at the
        # precision of the distances themselves
        assert t.pge == pytest.approx(sma * (1 - t.ecc) - RE, abs=1e-15 * sma * 4)
        assert t.apg == pytest.approx(sma * (1 + t.ecc) - RE, abs=1e-15 * sma * 4)
        # Kepler's equation and the eccentric-to-true relation, as angles
        assert abs(anomaly_residual(t.eca - t.ecc * math.sin(t.eca), t.mea)) < 1e-13
        e, E = t.ecc, t.eca
        nu = math.atan2(math.sqrt(1 - e * e) * math.sin(E), math.cos(E) - e)
        assert abs(anomaly_residual(t.tra, nu)) < 1e-13
        assert 0.0 <= t.tra < TWO_PI

    def test_iss(self):
        self.check(TLE(ISS1, ISS2))

    def test_spot5(self, spot5_lines):
        for l1, l2 in spot5_lines:
            self.check(TLE(l1, l2))

    @pytest.mark.parametrize("ecc", ["9000000", "5000000", "0000001"])
    @pytest.mark.parametrize("mea", ["  0.0000", "  1.0000", "179.9999", "359.9999"])
    def test_eccentric_orbits(self, ecc, mea):
        self.check(TLE(ISS1, put(put(ISS2, 27, ecc), 44, mea)))

    def test_fifteen_and_a_half_revolutions(self):
        t = TLE(ISS1, put(ISS2, 53, "15.50000000"))
        assert t.orp == pytest.approx(86400 / 15.5, rel=1e-15)
        assert t.sma == pytest.approx((GM / (TWO_PI / 86400 * 15.5) ** 2) ** (1 / 3), rel=1e-15)
        assert "15.500 rev/day" in t._get_body()

    def test_circular(self):
        t = TLE(ISS1, put(ISS2, 27, "0000000"))
        assert abs(anomaly_residual(t.eca, t.mea)) < 1e-15
        assert abs(anomaly_residual(t.tra, t.mea)) < 1e-15
        assert t.pge == t.apg == pytest.approx(t.sma - RE, rel=1e-15)

    def test_blank_mean_motion_gives_infinity(self):
        t = TLE(ISS1, put(ISS2, 53, " " * 11))
        assert t.mnm == 0.0 and t.sma == math.inf and t.orp == math.inf
        assert t.pge == math.inf and t.apg == math.inf
        assert "inf m" in t._get_body()

    def test_earth_constants_read_at_use(self, monkeypatch):
        before = TLE(ISS1, ISS2)  # the constants as they stand, possibly kept by TLE
        monkeypatch.setattr(Earth, "Re", 6378000.0)
        t = TLE(ISS1, ISS2)
        assert t.pge == pytest.approx(t.sma * (1 - t.ecc) - 6378000.0, rel=1e-15)
        monkeypatch.setattr(Earth, "GM", 4 * GM)
        t = TLE(ISS1, ISS2)
        assert t.sma == pytest.approx((4 * GM / t.mnm**2) ** (1 / 3), rel=4e-15)
        monkeypatch.undo()
        assert TLE(ISS1, ISS2).sma == before.sma and TLE(ISS1, ISS2).pge == before.pge

    @pytest.mark.parametrize("name, value, error", [("GM", "398600", TypeError), ("Re", None, TypeError)])
    def test_earth_constant_not_a_number(self, monkeypatch, name, value, error):
        monkeypatch.setattr(Earth, name, value)
        with pytest.raises(error):
            TLE(ISS1, ISS2)


# --- printed form ----------------------------------------------------------------------


class Recording(TLE):
    """Replaces the Representable formatters with markers, keeping what they were given."""

    def _create_formatted_form(self, data):
        self.form_data = data
        return "<form>"

    def _create_formatted_frame(self, data):
        self.__dict__.setdefault("frames", []).append(data)
        return f"<frame{len(self.frames)}>"

    def _format_as_property(self, title):
        return f"<{title}>"


class TestPrintedForm:
    def test_header(self):
        assert TLE(ISS1, ISS2)._get_header() == "Two-line Elements (TLE)"

    @pytest.mark.parametrize("method", ["_get_header", "_get_body"])
    def test_methods_take_no_arguments(self, method):
        t = TLE(ISS1, ISS2)
        with pytest.raises(TypeError):
            getattr(t, method)(1)
        with pytest.raises(TypeError):
            getattr(t, method)(x=1)

    def test_body_layout_and_data(self):
        t = Recording(ISS1, ISS2)
        body = t._get_body()
        assert body == (
            f"{ISS1}\n{ISS2}\n{{fence}}\n<form>\n{{fence}}\n<Orbital Elements:>\n<frame1>\n{{fence}}\n"
            "<Derived Elements:>\n<frame2>"
        )
        assert t.form_data == {"epoch": repr(t.epoch.utc), "frame": "TEME"}
        deg = math.pi / 180
        coe, der = t.frames
        assert list(coe) == ["SI units", "Op. units"] and list(der) == ["SI units", "Op. units"]
        assert list(coe["SI units"]) == ["ecc", "sma", "inc", "raa", "arp", "tra"]
        assert list(der["Op. units"]) == ["orp", "mnm", "mea", "eca", "pge", "apg"]
        assert coe["SI units"]["ecc"] == coe["Op. units"]["ecc"] == "0.00067"
        assert coe["SI units"]["inc"] == "0.901 rad" and coe["Op. units"]["inc"] == "51.642 deg"
        assert coe["SI units"]["sma"] == f"{t.sma:.3f} m" and coe["Op. units"]["sma"] == f"{t.sma / 1000:.3f} km"
        assert coe["Op. units"]["tra"] == f"{t.tra / deg:.3f} deg"
        assert der["SI units"]["orp"] == f"{t.orp:.3f} s" and der["Op. units"]["orp"] == f"{t.orp / 3600:.3f} hour"
        assert der["SI units"]["mnm"] == "0.001 rad/s" and der["Op. units"]["mnm"] == "15.721 rev/day"
        assert der["Op. units"]["mea"] == "325.029 deg"
        assert der["Op. units"]["pge"] == f"{t.pge / 1000:.3f} km"

    def test_printed_through_representable(self):
        text = str(TLE(ISS1, ISS2))
        assert "Two-line Elements (TLE)" in text and ISS1 in text and ISS2 in text
        assert "{fence}" not in text
        assert "51.642 deg" in text and "TEME" in text and "2008-09-20" in text
        assert repr(TLE(ISS1, ISS2)) == text

    def test_body_starts_with_the_lines(self):
        body = TLE(ISS1[:50], ISS2)._get_body()
        assert body[:69] == ISS1[:50].ljust(69) and body[69] == "\n"
        assert body[70:139] == ISS2 and body[139:148] == "\n{fence}\n"


# --- the class ----------------------------------------------------------------------


class TestClass:
    @pytest.mark.parametrize("name", ELEMENTS + ("line1", "line2", "satno", "epoch"))
    def test_read_only(self, name):
        t = TLE(ISS1, ISS2)
        with pytest.raises(AttributeError):
            setattr(t, name, getattr(t, name))

    @pytest.mark.parametrize(
        "name, unit",
        [
            ("inc", "rad"),
            ("raa", "rad"),
            ("mea", "rad"),
            ("arp", "rad"),
            ("mnm", "rad/s"),
            ("sma", ", m"),
            ("orp", ", s"),
            ("eca", "rad"),
            ("tra", "rad"),
            ("pge", ", m"),
            ("apg", ", m"),
            ("ecc", "dimensionless"),
        ],
    )
    def test_docstrings_give_units(self, name, unit):
        assert unit in getattr(TLE, name).__doc__

    def test_extra_attributes_allowed(self):
        t = TLE(ISS1, ISS2)
        t.note = "mine"
        assert t.note == "mine" and t.__dict__ == {"note": "mine"}

    def test_size(self):
        assert sys.getsizeof(TLE(ISS1, ISS2)) <= 400

    def test_pickling_refused(self):
        t = TLE(ISS1, ISS2)
        with pytest.raises(TypeError):
            pickle.dumps(t)
        with pytest.raises(TypeError):
            copy.copy(t)

    def test_subclass(self):
        class Mine(TLE):
            def __init__(self, line1, line2, strict_validation=False):
                self.built = True

        m = Mine(ISS1, ISS2)
        assert m.built and isinstance(m, TLE)
        assert all(getattr(m, k) == getattr(TLE(ISS1, ISS2), k) for k in ELEMENTS)

    def test_exported_for_the_satellite_module(self):
        import velmar.propagators.analytical.sgp4.tle as module

        assert module.TLE is TLE and module.ELSET is ELSET


# --- bad arguments ------------------------------------------------------------------


class TestArguments:
    @pytest.mark.parametrize(
        "args, kwargs, text",
        [
            ((ISS1,), {}, "takes at least 2 positional arguments (1 given)"),
            ((ISS1, ISS2, True, 4), {}, "takes at most 3 positional arguments (4 given)"),
            ((ISS1, ISS2), {"strict": True}, "unexpected keyword argument 'strict'"),
            ((ISS1, ISS2), {"line1": ISS1}, "multiple values for keyword argument 'line1'"),
            ((1, ISS2), {}, "Argument 'line1' has incorrect type (expected str, got int)"),
            ((ISS1, b"2 25544"), {}, "Argument 'line2' has incorrect type (expected str, got bytes)"),
            ((None, ISS2), {}, "Argument 'line1' has incorrect type (expected str, got NoneType)"),
            ((ISS1, None), {}, "Argument 'line2' has incorrect type (expected str, got NoneType)"),
        ],
    )
    def test_type_errors(self, args, kwargs, text):
        with pytest.raises(TypeError) as info:
            TLE(*args, **kwargs)
        assert text in str(info.value)

    def test_str_subclass_refused(self):
        class Text(str):
            pass

        with pytest.raises(TypeError, match="expected str, got Text"):
            TLE(Text(ISS1), ISS2)

    def test_strict_validation_truth_error_propagates(self):
        class NoTruth:
            def __bool__(self):
                raise ZeroDivisionError("no truth")

        with pytest.raises(ZeroDivisionError):
            TLE(ISS1, ISS2, NoTruth())


@settings(max_examples=200, deadline=None)
@given(
    st.one_of(st.text(max_size=90), st.text(alphabet="0123456789 .-+\0\ud800eEinfax", max_size=80)),
    st.one_of(st.text(max_size=90), st.text(alphabet="0123456789 .-+\0eE", max_size=80), st.none(), st.integers()),
)
def test_any_text_gives_a_record_or_a_documented_error(line1, line2):
    try:
        t = TLE(line1, line2)
    except (TypeError, ValueError):
        return
    assert len(t.line1) == 69 and len(t.line2) == 69
    assert isinstance(t.epoch, Time)
    assert all(isinstance(getattr(t, k), float) for k in ELEMENTS)
    t._get_body()


def test_nothing_leaks_on_success_or_failure():
    bad = [(1, ISS2), (None, ISS2), (ISS1,), ("é", ISS2), ("\ud800", ISS2), (ISS1[:18] + "08inf", ISS2)]

    def work():
        t = TLE(ISS1, ISS2)
        t.satno, t.line1, t._get_body()
        for args in bad:
            with pytest.raises((TypeError, ValueError)):
                TLE(*args)

    work()
    gc.collect()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(500):
            work()
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert grown < 20_000
