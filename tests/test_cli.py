"""The velmar command, run as a user runs it: in a subprocess."""
import csv
import io
import subprocess
import sys

import numpy as np
import pytest

from velmar.frames.frames import TEME
from velmar.propagators.analytical.keplerian.keplerian import Keplerian
from velmar.propagators.analytical.sgp4.tle import TLE
from velmar.state.state import COE
from velmar.time.time import Time

ISS = (
    "1 25544U 98067A   08264.51782528 -.00002182  00000-0 -11606-4 0  2927",
    "2 25544  51.6416 247.4627 0006703 130.5360 325.0288 15.72125391563537",
)


def velmar(*args, check=True):
    result = subprocess.run([sys.executable, "-m", "velmar", *map(str, args)], capture_output=True, text=True, timeout=120)
    if check:
        assert result.returncode == 0, result.stderr
    return result


@pytest.fixture
def catalog(tmp_path):
    path = tmp_path / "iss.tle"
    path.write_text("ISS (ZARYA)\n" + "\n".join(ISS) + "\n")
    return path


def test_tour_on_the_sample():
    out = velmar().stdout
    assert "ISS (ZARYA)" in out and "Two-line Elements (TLE)" in out
    assert "TAI-UTC" in out and "UT1-UTC" in out
    assert "two-body" in out.lower()


def test_catalog_table(catalog):
    rows = list(csv.reader(io.StringIO(velmar("catalog", catalog, "--csv").stdout)))
    assert rows[0][0] == "satno"
    satno, name, sets, first, last, perigee, apogee = rows[1]
    tle = TLE(*ISS)
    assert (satno, name, sets) == ("25544", "ISS (ZARYA)", "1")
    assert first.startswith("2008-09-20T12:25:40")
    # Perigee and apogee altitudes from the closed form a(1 -+ e) - Re.
    a = (3.986004418e14 / tle.mnm**2) ** (1 / 3)
    assert float(perigee) == pytest.approx((a * (1 - tle.ecc) - 6378137.0) / 1e3, abs=0.06)
    assert float(apogee) == pytest.approx((a * (1 + tle.ecc) - 6378137.0) / 1e3, abs=0.06)


def test_show(catalog):
    out = velmar("show", catalog, "--satno", 25544, "--last", 1).stdout
    assert ISS[0] in out and ISS[1] in out and "Derived Elements:" in out


def test_propagate_two_body_csv_matches_the_propagator(catalog):
    out = velmar("propagate", catalog, "--model", "kepler", "--start", "2008-09-20T12:25:40.104192", "--stop", "2008-09-20T12:35:40.104192", "--step", 300, "--csv").stdout
    rows = list(csv.reader(io.StringIO(out)))
    assert len(rows) == 1 + 3
    tle = TLE(*ISS)
    coe = COE(tle.epoch, TEME, tle.ecc, tle.sma, tle.inc, tle.raa, tle.arp, tle.tra)
    eph = Keplerian().propagate_state(Time("2008-09-20T12:35:40.104192"), coe)
    assert [float(x) for x in rows[-1][1:4]] == pytest.approx(np.asarray(eph.r[0]) / 1e3, abs=1e-3)


def test_propagate_help_says_it_is_two_body_or_sgp4():
    out = velmar("propagate", "--help").stdout
    assert "two-body" in out.lower() and "sgp4" in out.lower()


def test_eop_units_and_values():
    out = velmar("eop", "2016-12-31T12:00:00", "2017-01-01T12:00:00", "--csv").stdout
    rows = list(csv.DictReader(io.StringIO(out)))
    assert [float(r["TAI-UTC s"]) for r in rows] == [36.0, 37.0]
    # UT1-UTC was about -0.408 s before the leap second and jumps by one second.
    assert float(rows[0]["UT1-UTC s"]) == pytest.approx(-0.408, abs=0.002)
    assert float(rows[1]["UT1-UTC s"]) - float(rows[0]["UT1-UTC s"]) == pytest.approx(1.0, abs=0.01)
    assert abs(float(rows[0]["pm_x arcsec"])) < 1.0
    header = velmar("eop", "2016-12-31").stdout
    assert "arcsec" in header and "mas" in header and "ms" in header


def test_eop_span():
    out = velmar("eop", "--start", "2020-01-01", "--stop", "2020-01-03", "--step", 86400, "--csv").stdout
    assert len(out.strip().splitlines()) == 1 + 3


@pytest.mark.parametrize(
    "args, words",
    [
        (("catalog", "/no/such/file.tle"), "no such file"),
        (("eop", "not-a-date"), "not a date"),
        (("propagate", "CATALOG", "--satno", 99999), "satellite 99999 is not in the file"),
        (("propagate", "CATALOG", "--step", -1), "--step must be positive"),
        (("catalog", "BAD"), "checksum"),
    ],
)
def test_errors_are_one_line_without_traceback(args, words, catalog, tmp_path):
    bad = tmp_path / "bad.tle"
    bad.write_text(ISS[0] + "\n" + ISS[1][:68] + "0\n")
    args = [str(catalog) if a == "CATALOG" else str(bad) if a == "BAD" else a for a in args]
    result = velmar(*args, check=False)
    assert result.returncode != 0
    assert "Traceback" not in result.stderr
    assert words in result.stderr
    assert result.stderr.startswith("velmar: ")


def test_debug_shows_the_traceback():
    result = velmar("--debug", "catalog", "/no/such/file.tle", check=False)
    assert result.returncode != 0 and "Traceback" in result.stderr


def test_plot_without_matplotlib_or_with_it(tmp_path, catalog):
    out = tmp_path / "orbit.png"
    result = velmar("plot", "orbit", catalog, "-o", out, check=False)
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        assert result.returncode != 0 and "velmar[plot]" in result.stderr
    else:
        assert result.returncode == 0, result.stderr
        assert out.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def alphanumeric_set():
    from velmar.io import checksum

    line1 = "1 A0001U 98067A   08264.51782528 -.00002182  00000-0 -11606-4 0  292"
    line2 = "2 A0001  51.6416 247.4627 0006703 130.5360 325.0288 15.7212539156353"
    return line1 + str(checksum(line1)), line2 + str(checksum(line2))


def test_a_file_without_element_sets_fails_every_subcommand(tmp_path):
    path = tmp_path / "login.html"
    path.write_text("<html><body>Please log in</body></html>\n")
    import importlib.util

    plot = (("plot", "orbit"),) if importlib.util.find_spec("matplotlib") else ()  # else refused before reading
    for args in (("catalog",), ("show",), ("propagate",), *plot):
        out = tmp_path / "orbit.png"
        result = velmar(*args, path, *(("-o", out) if args[0] == "plot" else ()), check=False)
        assert result.returncode != 0, args
        assert result.stderr == f"velmar: {path} holds no element sets\n", args
        assert result.stdout == ""


def test_duplicates_and_alphanumeric_numbers_are_said_in_one_line_each(tmp_path):
    path = tmp_path / "joined.tle"
    path.write_text("\n".join((*ISS, *alphanumeric_set(), "ISS (ZARYA)", *ISS, *ISS)) + "\n")
    result = velmar("catalog", path, "--csv")
    rows = list(csv.reader(io.StringIO(result.stdout)))
    assert [row[:3] for row in rows[1:]] == [["25544", "ISS (ZARYA)", "1"]]
    assert result.stderr.splitlines() == [
        "velmar: 2 duplicate element set(s) skipped (the same two lines as an earlier set)",
        "velmar: 1 element set(s) with alphanumeric satellite numbers left out (an ELSET needs an integer number): A0001",
    ]
