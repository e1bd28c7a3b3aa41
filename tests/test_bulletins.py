"""IERS bulletin tables: values against the raw files and published numbers."""

import datetime
import math
import os
import re
from importlib.resources import files

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from leap_seconds import LEAP_SECONDS as PUBLISHED_STEPS

from velmar.iers import bulletins
from velmar.iers.bulletins import BulletinA, BulletinC, IERSDataError, leap_second_table

DATA = files("astropy_iers_data") / "data"
FINALS = str(DATA / "finals2000A.all")
LEAP_SECONDS = str(DATA / "Leap_Second.dat")
RAD_PER_ARCSEC = math.radians(1.0) / 3600.0


def mjd_of(year, month, day):
    # MJD 0 is 1858-11-17; 2000-01-01 is MJD 51544.
    return float((datetime.date(year, month, day) - datetime.date(2000, 1, 1)).days + 51544)


def raw_finals_rows(path=FINALS):
    """The finals file read the slow, obvious way: one float() per field."""
    rows = []
    with open(path) as stream:
        for line in stream:

            def field(first, last):
                text = line[first - 1 : last]
                return float(text) if text.strip() else math.nan

            if not line[18:27].strip():
                continue
            rows.append(
                (
                    field(8, 15),
                    field(19, 27),
                    field(38, 46),
                    field(59, 68),
                    field(80, 86),
                    field(98, 106),
                    field(117, 125),
                )
            )
    return np.array(rows)


@pytest.fixture(scope="module")
def raw():
    return raw_finals_rows()


def finals_line(mjd, x, y, dut, lod=None, dx=None, dy=None):
    """One row in the finals2000A layout (columns as the IERS ReadMe gives them)."""
    date = datetime.date(1858, 11, 17) + datetime.timedelta(days=int(mjd))
    blank = lambda width: " " * width  # noqa: E731
    text = (
        f"{date.year % 100:2d}{date.month:2d}{date.day:2d} {mjd:8.2f} I "
        f"{x:9.6f}{0.0001:9.6f} {y:9.6f}{0.0001:9.6f}  I"
        f"{dut:10.7f}{0.00001:10.7f} "
        + (f"{lod:7.4f}{0.01:7.4f}" if lod is not None else blank(14))
        + "  I "
        + (f"{dx:9.3f}{0.1:9.3f} " if dx is not None else blank(19))
        + (f"{dy:9.3f}{0.1:9.3f}" if dy is not None else blank(18))
    )
    return text


def write_lines(path, lines, ending="\n"):
    path.write_bytes("".join(line + ending for line in lines).encode("ascii"))
    return path


def real_lines(count, start=0):
    with open(FINALS) as stream:
        return [line.rstrip("\n") for line in stream][start : start + count]


class TestLeapSecondTable:
    def test_steps_are_the_published_ones(self):
        mjd_utc, dat = leap_second_table()
        assert mjd_utc.tolist() == [mjd_of(*date) for date, _ in PUBLISHED_STEPS]
        assert dat.tolist() == [float(value) for _, value in PUBLISHED_STEPS]

    @pytest.mark.parametrize("date, expected", [((1972, 1, 1), 10.0), ((2017, 1, 1), 37.0)])
    def test_known_values(self, date, expected):
        mjd_utc, dat = leap_second_table()
        assert dat[list(mjd_utc).index(mjd_of(*date))] == expected

    def test_agrees_with_erfa(self):
        erfa = pytest.importorskip("erfa")
        mjd_utc, dat = leap_second_table()
        for mjd, value in zip(mjd_utc, dat):
            date = datetime.date(1858, 11, 17) + datetime.timedelta(days=int(mjd))
            assert erfa.dat(date.year, date.month, date.day, 0.0) == value

    def test_read_once_and_shared_with_bulletin_c(self):
        mjd_utc, dat = leap_second_table()
        again = leap_second_table()
        assert again[0] is mjd_utc and again[1] is dat
        c = BulletinC()
        assert c.mjd_utc is mjd_utc and c.dat is dat

    def test_arrays_are_read_only_for_good(self):
        for array in leap_second_table():
            assert array.dtype == np.float64 and array.ndim == 1
            with pytest.raises(ValueError):
                array[0] = 0.0
            with pytest.raises(ValueError):
                array.flags.writeable = True


class TestBulletinA:
    def test_every_row_matches_the_file(self, raw):
        a = BulletinA()
        assert len(a) == len(raw)
        np.testing.assert_array_equal(a.mjd_utc, raw[:, 0])
        np.testing.assert_array_equal(a.dut, raw[:, 3])
        np.testing.assert_allclose(a.pm_x, raw[:, 1] * RAD_PER_ARCSEC, rtol=0, atol=1e-15)
        np.testing.assert_allclose(a.pm_y, raw[:, 2] * RAD_PER_ARCSEC, rtol=0, atol=1e-15)
        np.testing.assert_allclose(a.lod, raw[:, 4] / 1000.0, rtol=1e-15, atol=0)
        np.testing.assert_allclose(a.dX_IAU2000A, raw[:, 5] * RAD_PER_ARCSEC / 1000.0, rtol=0, atol=1e-18)
        np.testing.assert_allclose(a.dY_IAU2000A, raw[:, 6] * RAD_PER_ARCSEC / 1000.0, rtol=0, atol=1e-18)

    def test_shape_of_the_table(self, raw):
        a = BulletinA()
        assert a.mjd_utc[0] == mjd_of(1973, 1, 2)
        assert np.all(np.diff(a.mjd_utc) > 0) and np.all(np.diff(a.mjd_ut1) > 0)
        for array in (a.pm_x, a.pm_y, a.dut):
            assert not np.isnan(array).any()
        # LOD stops at the last observed day, the pole offsets some months
        # into the predictions; both are NaN from there to the end.
        for array in (a.lod, a.dX_IAU2000A, a.dY_IAU2000A):
            given = np.flatnonzero(~np.isnan(array))
            assert given[0] == 0 and given[-1] < len(array) - 1
            assert np.isnan(array[given[-1] + 1 :]).all()

    def test_mjd_ut1(self):
        a = BulletinA()
        np.testing.assert_allclose((a.mjd_ut1 - a.mjd_utc) * 86400.0, a.dut, atol=1e-6)

    def test_published_value_before_the_2016_leap_second(self):
        a = BulletinA()
        row = list(a.mjd_utc).index(mjd_of(2016, 12, 31))
        assert a.dut[row] == pytest.approx(-0.408, abs=0.002)
        assert a.dut[row + 1] == pytest.approx(0.592, abs=0.002)

    def test_objects_share_one_read_only_table(self):
        first, second = BulletinA(), BulletinA()
        for name in ("mjd_utc", "mjd_ut1", "pm_x", "pm_y", "lod", "dX_IAU2000A", "dY_IAU2000A", "dut"):
            array = getattr(first, name)
            assert array is getattr(second, name)
            assert array.dtype == np.float64 and array.shape == (len(first),)
            with pytest.raises(ValueError):
                array[0] = 1.0
            with pytest.raises(ValueError):
                array.flags.writeable = True
        with pytest.raises(AttributeError):
            first.pm_x = np.zeros(3)

    def test_own_file_by_path(self, tmp_path):
        path = write_lines(tmp_path / "finals.all", real_lines(1000, start=5000))
        a = BulletinA(path)
        assert len(a) == 1000 and a.path == str(path)
        np.testing.assert_array_equal(a.dut, raw_finals_rows(path)[:, 3])
        assert BulletinA(str(path)).dut is a.dut
        # A newer copy at the same place is read again.
        write_lines(path, real_lines(1200, start=5000))
        assert len(BulletinA(path)) == 1200
        assert len(BulletinA()) > 1200

    @pytest.mark.parametrize("transform", ["crlf", "trailing blanks stripped", "no final newline"])
    def test_other_line_layouts_give_the_same_table(self, tmp_path, transform):
        lines = real_lines(400, start=19800)
        path = tmp_path / "finals.all"
        if transform == "crlf":
            write_lines(path, lines, ending="\r\n")
        elif transform == "trailing blanks stripped":
            write_lines(path, [line.rstrip() for line in lines])
        else:
            path.write_text("\n".join(lines))
        reference = BulletinA(write_lines(tmp_path / "reference.all", lines))
        a = BulletinA(path)
        for name in ("mjd_utc", "pm_x", "pm_y", "lod", "dX_IAU2000A", "dut"):
            np.testing.assert_array_equal(getattr(a, name), getattr(reference, name))

    @settings(max_examples=30, deadline=None)
    @given(
        st.lists(
            st.tuples(
                st.integers(-999999, 999999),
                st.integers(-999999, 999999),
                st.integers(-9999999, 9999999),
                st.integers(-99999, 99999),
                st.integers(-999999, 999999),
            ),
            min_size=1,
            max_size=12,
        )
    )
    def test_fixed_columns_decode_like_float(self, tmp_path_factory, samples):
        lines = [
            finals_line(50000 + i, x / 1e6, y / 1e6, dut / 1e7, lod / 1e4, dx / 1e3, -dx / 1e3)
            for i, (x, y, dut, lod, dx) in enumerate(samples)
        ]
        path = write_lines(tmp_path_factory.mktemp("finals") / "f.all", lines)
        a = BulletinA(path)
        expected = np.array(
            [[float(line[18:27]), float(line[58:68]), float(line[79:86]), float(line[97:106])] for line in lines]
        )
        np.testing.assert_array_equal(a.pm_x, expected[:, 0] * bulletins._ARCSEC)
        np.testing.assert_array_equal(a.dut, expected[:, 1])
        np.testing.assert_array_equal(a.lod, expected[:, 2] * 1e-3)
        np.testing.assert_array_equal(a.dX_IAU2000A, expected[:, 3] * bulletins._MILLIARCSEC)

    def test_last_observed_is_the_last_row_flagged_observed(self, tmp_path):
        # The flags of columns 17 (polar motion) and 58 (UT1-UTC): I for IERS
        # values, P for predictions.
        observed = None
        with open(FINALS) as stream:
            for line in stream:
                if line[16] == "I" and line[57] == "I":
                    observed = float(line[7:15])
        assert BulletinA().last_observed == observed
        assert BulletinA().mjd_utc[-1] > observed
        lines = [finals_line(50000.0 + k, 0.1, 0.2, 0.3) for k in range(6)]
        for k in (3, 4, 5):  # UT1-UTC predicted from row 4 on, polar motion from row 5
            lines[k] = lines[k][:57] + "P" + lines[k][58:]
        lines[4] = lines[4][:16] + "P" + lines[4][17:]
        lines[5] = lines[5][:16] + "P" + lines[5][17:]
        assert BulletinA(write_lines(tmp_path / "a.all", lines)).last_observed == 50002.0
        unflagged = [line[:16] + " " + line[17:57] + " " + line[58:] for line in lines]
        assert BulletinA(write_lines(tmp_path / "b.all", unflagged)).last_observed is None

    def test_packaged_release(self):
        import importlib.metadata

        version, date = bulletins.packaged_release()
        assert version == importlib.metadata.version("astropy-iers-data")
        # Its versions read 0.YYYY.MM.DD...
        assert date.isoformat() == "{:0>4}-{:0>2}-{:0>2}".format(*version.split(".")[1:4])

    def test_the_test_layout_matches_the_real_file(self, raw):
        line = real_lines(1, start=100)[0]
        # Field by field, which is what the decoder relies on.
        made = finals_line(*raw[100])
        for first, last in ((8, 15), (19, 27), (38, 46), (59, 68), (80, 86), (98, 106), (117, 125)):
            assert made[first - 1 : last] == line[first - 1 : last]


def damaged(kind):
    lines = real_lines(30, start=19000)
    if kind == "letter in a number":
        lines[11] = lines[11][:20] + "x" + lines[11][21:]
        return lines, 12
    if kind == "line cut inside a field":
        return lines[:20] + [lines[20][:40]], 21
    if kind == "line cut between fields":
        return lines[:20] + [lines[20][:37]], 21
    if kind == "epochs out of order":
        lines[7], lines[8] = lines[8], lines[7]
        return lines, 9
    if kind == "no MJD":
        lines[3] = " " * 8 + lines[3][8:]
        return lines, 4
    if kind == "misplaced decimal point":
        lines[5] = lines[5][:58] + lines[5][59:68] + " " + lines[5][68:]
        return lines, 6
    if kind == "impossible UT1-UTC":
        lines[2] = lines[2][:58] + " 8.0000000" + lines[2][68:]
        return lines, 3
    raise AssertionError(kind)


class TestBulletinADamaged:
    @pytest.mark.parametrize(
        "kind",
        [
            "letter in a number",
            "line cut inside a field",
            "line cut between fields",
            "epochs out of order",
            "no MJD",
            "misplaced decimal point",
            "impossible UT1-UTC",
        ],
    )
    def test_names_file_and_line(self, tmp_path, kind):
        lines, line = damaged(kind)
        path = write_lines(tmp_path / "finals.all", lines)
        with pytest.raises(IERSDataError, match=rf"^{re.escape(str(path))}, line {line}: ") as info:
            BulletinA(path)
        assert info.value.line == line and info.value.path == str(path)

    @pytest.mark.parametrize(
        "content, line",
        [(b"", 1), (b"   \n\n", 1), (b"73 1 2 41684.00\x00\n", 1), (b"73 1 2 41684.00\n73 1 3 41685.00\n", 2)],
    )
    def test_empty_or_not_text(self, tmp_path, content, line):
        path = tmp_path / "finals.all"
        path.write_bytes(content)
        with pytest.raises(IERSDataError, match=rf", line {line}: "):
            BulletinA(path)

    def test_missing_file_is_named(self, tmp_path):
        with pytest.raises(FileNotFoundError, match="nowhere.all"):
            BulletinA(tmp_path / "nowhere.all")

    def test_nothing_half_parsed_is_kept(self, tmp_path):
        path = tmp_path / "finals.all"
        lines, _ = damaged("line cut inside a field")
        write_lines(path, lines)
        with pytest.raises(IERSDataError):
            BulletinA(path)
        with pytest.raises(IERSDataError):
            BulletinA(path)
        write_lines(path, real_lines(25, start=19000))
        assert len(BulletinA(path)) == 25


class TestBulletinC:
    def test_mjd_ut1_uses_ut1_utc_after_each_step(self, raw):
        c = BulletinC()
        offsets = (c.mjd_ut1 - c.mjd_utc) * 86400.0
        for mjd, offset in zip(c.mjd_utc, offsets):
            if mjd < raw[0, 0]:
                expected = raw[0, 3]  # before the table: its first value
            else:
                expected = raw[list(raw[:, 0]).index(mjd), 3]
            assert offset == pytest.approx(expected, abs=1e-6)
        assert np.all(np.diff(c.mjd_ut1) > 0)

    def test_mjd_ut1_from_another_bulletin_a(self, tmp_path):
        # A Bulletin A that starts in 2016 puts every earlier step at its
        # first value and the 2017 step at the file's value on that day.
        lines = real_lines(400, start=16000)
        a = BulletinA(write_lines(tmp_path / "finals.all", lines))
        c = BulletinC(bulletin_a=a)
        offsets = (c.mjd_ut1 - c.mjd_utc) * 86400.0
        before = c.mjd_utc < a.mjd_utc[0]
        np.testing.assert_allclose(offsets[before], float(lines[0][58:68]), atol=1e-6)
        with pytest.raises(TypeError, match="bulletin_a"):
            BulletinC(bulletin_a="finals2000A.all")

    def test_expiry_date(self):
        with open(LEAP_SECONDS) as stream:
            stated = re.search(r"File expires on (.*)", stream.read()).group(1).strip()
        assert BulletinC().expires == datetime.datetime.strptime(stated, "%d %B %Y").date()

    def test_own_file_without_expiry_line(self, tmp_path):
        path = tmp_path / "Leap_Second.dat"
        path.write_text("# no expiry here\n    41317.0    1  1 1972       10\n    41499.0    1  7 1972       11\n")
        c = BulletinC(path)
        assert c.expires is None
        assert c.mjd_utc.tolist() == [41317.0, 41499.0] and c.dat.tolist() == [10.0, 11.0]
        assert leap_second_table()[1][-1] == 37.0  # the packaged table is untouched

    @pytest.mark.parametrize(
        "text, line",
        [
            ("#\n    41317.0    1  1 1972       10\n    41499.0    1  7 1972\n", 3),
            ("    41317.0    1  1 1972       10\n    41499.0    1  8 1972       11\n", 2),
            ("    41317.0    1  1 1972       10\n    41499.0    1  7 1972        1\n", 2),
            ("    41499.0    1  7 1972       11\n    41317.0    1  1 1972       10\n", 2),
            ("    41317.0    1  1 1972       1O\n", 1),
            ("#  File expires on 31 Juneish 2027\n    41317.0    1  1 1972       10\n", 1),
            ("# only comments\n#\n", 2),
            ("", 1),
        ],
    )
    def test_damaged_file_names_the_line(self, tmp_path, text, line):
        path = tmp_path / "Leap_Second.dat"
        path.write_text(text)
        with pytest.raises(IERSDataError, match=rf"^{re.escape(str(path))}, line {line}: "):
            BulletinC(path)

    def test_missing_file_is_named(self, tmp_path):
        with pytest.raises(FileNotFoundError, match="Leap_Nothing.dat"):
            BulletinC(os.path.join(tmp_path, "Leap_Nothing.dat"))
