"""The velmar command, run as a user runs it: in a subprocess."""

import csv
import datetime
import importlib.metadata
import io
import re
import subprocess
import sys
from decimal import Decimal
from pathlib import Path

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
    result = subprocess.run(
        [sys.executable, "-m", "velmar", *map(str, args)], capture_output=True, text=True, timeout=120
    )
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
    out = velmar(
        "propagate",
        catalog,
        "--model",
        "kepler",
        "--start",
        "2008-09-20T12:25:40.104192",
        "--stop",
        "2008-09-20T12:35:40.104192",
        "--step",
        300,
        "--csv",
    ).stdout
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


def test_eop_tai_utc_inside_a_leap_second():
    # Bulletin C: TAI-UTC was 36 s from 2015-07-01 until the leap second
    # 2016-12-31T23:59:60 had ended, 37 s from 2017-01-01T00:00:00 on.
    out = velmar(
        "eop",
        "2016-12-31T23:59:59",
        "2016-12-31T23:59:60",
        "2016-12-31T23:59:60.5",
        "2017-01-01T00:00:00",
        "1965-06-01",
        "--csv",
    ).stdout
    rows = list(csv.DictReader(io.StringIO(out)))
    # Before 1972, the 10 s of 1972-01-01, as Time takes it.
    assert [float(r["TAI-UTC s"]) for r in rows] == [36.0, 36.0, 36.0, 37.0, 10.0]
    # UT1 runs on through the leap second while UTC holds: UT1-UTC stays
    # about -0.408 s inside it and is one second more after it.
    dut = [float(r["UT1-UTC s"]) for r in rows]
    assert dut[0] == pytest.approx(-0.408, abs=0.002)
    assert dut[1] == pytest.approx(dut[0], abs=1e-6) and dut[2] == pytest.approx(dut[0], abs=1e-6)
    assert dut[3] - dut[0] == pytest.approx(1.0, abs=1e-6)


def finals_ends():
    """From the IERS file itself: last MJD of each column, the first MJD, and
    the last MJD whose polar motion and UT1-UTC are flagged I (observed)."""
    from importlib.resources import files

    last, first, observed = {}, None, None
    columns = {"polar motion and UT1-UTC": (18, 27), "LOD": (79, 86), "dX and dY": (97, 106)}
    with open(files("astropy_iers_data") / "data" / "finals2000A.all") as stream:
        for line in stream:
            mjd = float(line[7:15])
            for name, (start, stop) in columns.items():
                if line[start:stop].strip():
                    last[name] = mjd
                    first = mjd if first is None else first
            if line[16] == "I" and line[57] == "I":
                observed = mjd
    return first, last, observed


def iso_day(mjd):
    return (datetime.date(1858, 11, 17) + datetime.timedelta(days=int(mjd))).isoformat()


def test_eop_outside_the_data_is_nan_with_a_note():
    first, last, _ = finals_ends()
    epochs = [
        iso_day(first - 1),
        "2016-12-31T12:00:00",
        iso_day(last["LOD"] + 1),
        iso_day(last["dX and dY"] + 1),
        iso_day(last["polar motion and UT1-UTC"] + 1),
    ]
    result = velmar("eop", *epochs, "--csv")
    rows = list(csv.DictReader(io.StringIO(result.stdout)))
    nan = [[name for name, value in row.items() if value == "nan"] for row in rows]
    eop = ["pm_x arcsec", "pm_y arcsec", "UT1-UTC s", "LOD ms", "dX mas", "dY mas", "TT-UT1 s"]
    assert nan[0] == eop and nan[1] == [] and nan[2] == ["LOD ms"]
    assert nan[3] == ["LOD ms", "dX mas", "dY mas"] and nan[4] == eop
    assert [float(row["TAI-UTC s"]) for row in rows] == [12.0, 36.0, 37.0, 37.0, 37.0]
    note = result.stderr.strip().splitlines()
    assert len(note) == 1 and note[0].startswith("velmar: note: nan ")
    for name, mjd in last.items():
        assert f"{name} {iso_day(mjd)}" in note[0]
    assert iso_day(first) in note[0]
    # Inside the data there is no note.
    assert velmar("eop", "2016-12-31T12:00:00").stderr == ""


def test_eop_info_names_the_data_and_its_reach():
    version = importlib.metadata.version("astropy-iers-data")
    first, last, observed = finals_ends()
    out = velmar("eop", "--info").stdout
    assert f"astropy-iers-data {version}" in out
    assert re.search(rf"last observed +{iso_day(observed)}", out)
    assert re.search(rf"last predicted +{iso_day(last['polar motion and UT1-UTC'])}", out)
    for name, mjd in last.items():
        assert re.search(rf"{name} +to {iso_day(mjd)}", out)
    # Every table names the data it comes from.
    header = velmar("eop", "2020-01-01").stdout.splitlines()[2]
    assert iso_day(observed) in header and "--info" in header


def test_eop_span():
    out = velmar("eop", "--start", "2020-01-01", "--stop", "2020-01-03", "--step", 86400, "--csv").stdout
    assert len(out.strip().splitlines()) == 1 + 3


@pytest.mark.parametrize(
    "args, words",
    [
        (("catalog", "/no/such/file.tle"), "no such file"),
        (("eop", "not-a-date"), "not a date"),
        (("propagate", "CATALOG", "--satno", 99999), "satellite 99999 is not in the file"),
        (("propagate", "CATALOG", "--step", -1), "argument --step: must be positive and finite (seconds), got '-1'"),
        (("propagate", "CATALOG", "--step", "nan"), "got 'nan'"),
        (("propagate", "CATALOG", "--step", "inf"), "got 'inf'"),
        (("propagate", "CATALOG", "--step", 0), "got '0'"),
        (("propagate", "CATALOG", "--step", "1e-12"), "got '1e-12'"),
        (
            ("propagate", "CATALOG", "--start", "2016-12-31T23:59:60.5"),
            "--start 2016-12-31T23:59:60.5 falls inside a leap second",
        ),
        (
            ("propagate", "CATALOG", "--start", "2008-09-21", "--stop", "2008-09-20"),
            "--stop 2008-09-20 is before --start 2008-09-21",
        ),
        (("show", "CATALOG", "--last", 0), "argument --last: must be a whole number of 1 or more, got '0'"),
        (("show", "CATALOG", "--last", -1), "got '-1'"),
        (
            ("eop", "2016-12-31", "--start", "2016-01-01"),
            "give epochs (2016-12-31) or a span (--start 2016-01-01), not both",
        ),
        (("eop", "2016-12-31", "--stop", "2017-01-01"), "not both"),
        (
            ("plot", "eop", "--start", "2040-01-01", "-o", "eop.png"),
            "2040-01-01T00:00:00 to 2041-12-31T00:00:00 is not within the IERS Bulletin A data, which runs from 1973-01-02 to",
        ),
        (
            ("plot", "eop", "--start", "1960-01-01", "--stop", "1980-01-01", "-o", "eop.png"),
            "1960-01-01T00:00:00 to 1980-01-01T00:00:00 is not within",
        ),
        (("catalog", "BAD"), "checksum"),
        (("passes", "CATALOG", "--site", "43.6,abc"), "--site must be LAT,LON or LAT,LON,HEIGHT_M"),
        (("passes", "CATALOG", "--site", "95,1"), "--site latitude must be between -90 and 90 degrees, got 95"),
        (("passes", "CATALOG", "--site", "43.6,1.4", "--min-elevation", 90), "--min-elevation must be between"),
        (("plot", "sky", "CATALOG", "-o", "sky.png"), "plot sky needs --site"),
        (
            ("passes", "CATALOG", "--site", "43.6,1.4", "--start", "2045-01-01"),
            "goes outside the Earth orientation data",
        ),
        (
            ("propagate", "CATALOG", "--start", "2262-04-12"),
            "--start 2262-04-12 is after 2262-04-11T23:47:16.854775807",
        ),
        (
            ("propagate", "CATALOG", "--start", "2262-04-11T23:00", "--step", 600),
            "run past 2262-04-11T23:47:16.854775807",
        ),
        (
            ("eop", "--start", "2262-04-11", "--stop", "2262-04-12"),
            "--stop 2262-04-12 is after 2262-04-11T23:47:16.854775807",
        ),
        # A catalogue service's error document holds no element sets: not an empty success.
        (("catalog", "EMPTY"), "holds no element sets"),
        (("show", "EMPTY"), "holds no element sets"),
    ],
)
def test_errors_are_one_line_without_traceback(args, words, catalog, tmp_path):
    bad = tmp_path / "bad.tle"
    bad.write_text(ISS[0] + "\n" + ISS[1][:68] + "0\n")
    one_line = "BAD" not in args  # a damaged file lists its bad lines, one each
    empty = tmp_path / "error.json"
    empty.write_text('{"error": "You must be logged in"}\n')
    files = {"CATALOG": catalog, "BAD": bad, "EMPTY": empty}
    args = [str(files.get(a, a)) for a in args]
    result = velmar(*args, check=False)
    assert result.returncode != 0
    assert "Traceback" not in result.stderr
    assert words in result.stderr
    assert result.stderr.startswith("velmar: ") and (len(result.stderr.splitlines()) == 1 or not one_line)


def test_debug_shows_the_traceback():
    result = velmar("--debug", "catalog", "/no/such/file.tle", check=False)
    assert result.returncode != 0 and "Traceback" in result.stderr


@pytest.mark.parametrize(
    "what", [("orbit",), ("orbit", "--model", "kepler"), ("track",), ("sky", "--site", "43.6,1.44")]
)
def test_plot_without_matplotlib_or_with_it(tmp_path, catalog, what):
    out = tmp_path / "plot.png"
    result = velmar("plot", what[0], catalog, *what[1:], "-o", out, check=False)
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        assert result.returncode != 0 and "velmar[plot]" in result.stderr
    else:
        assert result.returncode == 0, result.stderr
        assert out.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


@pytest.mark.filterwarnings("ignore:Setting the dtype:DeprecationWarning")
def test_passes_and_track_against_skyfield(catalog):
    api = pytest.importorskip("skyfield.api")
    ts = api.load.timescale(builtin=True)
    sat = api.EarthSatellite(*ISS, ts=ts)
    toulouse = api.wgs84.latlon(43.6045, 1.444, 150.0)
    rows = list(
        csv.reader(
            io.StringIO(velmar("passes", catalog, "--site", "43.6045,1.444,150", "--min-elevation", 10, "--csv").stdout)
        )
    )
    assert rows[0] == ["rise (UTC)", "az", "culmination (UTC)", "el max", "az", "set (UTC)", "az", "visible"]
    t, events = sat.find_events(
        toulouse, ts.utc(2008, 9, 20, 12, 25, 40.104192), ts.utc(2008, 9, 21, 12, 25, 40.104192), 10.0
    )
    theirs = [x.utc_strftime("%Y-%m-%d %H:%M:%S.%f") for x, e in zip(t, events) if e == 0]
    assert len(rows) - 1 == len(theirs) == 6
    for row, rise in zip(rows[1:], theirs):
        # Printed to the nearest second.
        got = datetime.datetime.fromisoformat(row[0])
        assert abs((got - datetime.datetime.fromisoformat(rise)).total_seconds()) <= 0.5 + 0.01
    assert [r[7] for r in rows[1:]] == ["no", "yes", "no", "no", "no", "no"]

    out = velmar(
        "track",
        catalog,
        "--start",
        "2008-09-20T12:25:40.104192",
        "--stop",
        "2008-09-20T14:00:40.104192",
        "--step",
        300,
        "--csv",
    ).stdout
    rows = list(csv.reader(io.StringIO(out)))
    assert rows[0] == ["epoch (UTC)", "latitude deg", "longitude deg", "height km"] and len(rows) == 1 + 20
    seconds = 40.104192 + 300 * np.arange(20)
    where = api.wgs84.geographic_position_of(sat.at(ts.utc(2008, 9, 20, 12, 25, seconds)))
    got = np.array([[float(x) for x in r[1:]] for r in rows[1:]])
    # skyfield leaves out polar motion (0.4 arcsec, about 12 m on the ground then).
    assert np.abs(got[:, 0] - where.latitude.degrees).max() < 2e-4
    assert np.abs((got[:, 1] - where.longitude.degrees + 180) % 360 - 180).max() < 2e-4
    assert np.abs(got[:, 2] - where.elevation.km).max() < 0.02


def test_readme_tour_block_is_the_tour():
    readme = (Path(__file__).resolve().parents[1] / "README.md").read_text()
    start = readme.index("velmar tour: the built-in sample catalogue")
    assert readme[start : readme.index("```", start)] == velmar().stdout


def tle_lines(satno, epoch_field, name=None, mean_motion="15.72125391"):
    """An element set of the ISS's elements with its own number and epoch, checksums computed here."""

    def with_checksum(line):
        return line + str(sum(int(c) if c.isdigit() else c == "-" for c in line) % 10)

    line1 = with_checksum(f"1 {satno:05d}U 98067A   {epoch_field} -.00002182  00000-0 -11606-4 0  292")
    line2 = with_checksum(f"2 {satno:05d}  51.6416 247.4627 0006703 130.5360 325.0288 {mean_motion}56353")
    return ([name] if name else []) + [line1, line2]


def epochs_of(out):
    return [row[0] for row in csv.reader(io.StringIO(out))][1:]


def test_show_last_takes_the_newest_sets(tmp_path):
    path = tmp_path / "three.tle"
    fields = ["08264.51782528", "08266.51782528", "08265.51782528"]
    path.write_text("\n".join(line for f in fields for line in tle_lines(25544, f)) + "\n")
    out = velmar("show", path, "--last", 2).stdout
    assert out.count("Two-line Elements") == 2
    assert "08265.51782528" in out and "08266.51782528" in out and "08264.51782528" not in out


def test_the_grid_runs_on_the_utc_clock_across_a_leap_second(tmp_path):
    # One set at 2016-12-31T12:00:00 UTC (day 366.5 of the leap year); a leap
    # second, 2016-12-31T23:59:60, was inserted twelve hours later.
    path = tmp_path / "leap.tle"
    path.write_text("\n".join(tle_lines(25544, "16366.50000000")) + "\n")
    out = velmar(
        "propagate", path, "--start", "2016-12-31T23:58", "--stop", "2017-01-01T00:02", "--step", 60, "--csv"
    ).stdout
    rows = list(csv.DictReader(io.StringIO(out)))
    assert [r["epoch (UTC)"] for r in rows] == [
        "2016-12-31T23:58:00",
        "2016-12-31T23:59:00",
        "2017-01-01T00:00:00",
        "2017-01-01T00:01:00",
        "2017-01-01T00:02:00",
    ]
    # SGP4 from the sgp4 package at the same clock readings, to the printed digit.
    from sgp4.api import WGS72, Satrec, jday

    sat = Satrec.twoline2rv(*tle_lines(25544, "16366.50000000"), WGS72)
    for row in rows:
        t = datetime.datetime.fromisoformat(row["epoch (UTC)"])
        _, r, v = sat.sgp4(*jday(t.year, t.month, t.day, t.hour, t.minute, t.second))
        assert [row[k] for k in ("x km", "y km", "z km")] == [f"{x:.3f}" for x in r]
        assert [row[k] for k in ("vx km/s", "vy km/s", "vz km/s")] == [f"{x:.6f}" for x in v]
        # Elapsed days from the set's epoch, the leap second counted once passed.
        seconds = (t - datetime.datetime(2016, 12, 31, 12)).total_seconds() + (t.year == 2017)
        assert row["set age days"] == f"{Decimal(int(seconds)) / 86400:.6f}"
    # Steps that are not whole seconds land exactly on the stop too, and the table form agrees.
    out = velmar(
        "propagate", path, "--start", "2016-12-31T23:59:59.7", "--stop", "2017-01-01T00:00:00.3", "--step", 0.1
    ).stdout
    epochs = [line.split()[0] for line in out.splitlines()[3:]]
    assert epochs == [f"2016-12-31T23:59:59.{d}00" for d in range(7, 10)] + [
        f"2017-01-01T00:00:00.{d}00" for d in range(4)
    ]


def test_set_age_column_and_the_warning_far_from_a_set(tmp_path):
    # Two sets of one satellite 60 days apart, 2008-01-01 and 2008-03-01; no name line.
    path = tmp_path / "two.tle"
    path.write_text("\n".join(tle_lines(25544, "08001.00000000") + tle_lines(25544, "08061.00000000")) + "\n")
    span = ("--start", "2007-12-30", "--stop", "2008-03-03", "--step", 86400 * 4)
    result = velmar("propagate", path, *span, "--csv")
    rows = list(csv.DictReader(io.StringIO(result.stdout)))
    newest_before = {True: datetime.datetime(2008, 1, 1), False: datetime.datetime(2008, 3, 1)}
    for row in rows:
        t = datetime.datetime.fromisoformat(row["epoch (UTC)"])
        governing = newest_before[t < datetime.datetime(2008, 3, 1)]
        assert row["set age days"] == f"{(t - governing).total_seconds() / 86400:.6f}"
    assert rows[0]["set age days"] == "-2.000000"
    warning = [line for line in result.stderr.splitlines() if "days from the epoch" in line]
    # 2008-01-31 is 30 days from its set, not more; 2008-02-04 is the first beyond.
    assert len(warning) == 1 and "2008-02-04T00:00:00 UTC is +34.0 days" in warning[0]
    # Within 30 days of the sets: no warning. The header names the satellite without a dangling comma.
    near = velmar("propagate", path, "--start", "2008-01-01", "--stop", "2008-01-30", "--step", 86400)
    assert "days from the epoch" not in near.stderr
    assert near.stdout.startswith("# satellite 25544, SGP4 from the set of 2008-01-01T00:00:00 UTC")
    header = velmar("propagate", path, *span).stdout.splitlines()[0]
    assert header.startswith("# satellite 25544, SGP4 from the sets of 2008-01-01T00:00:00 to 2008-03-01T00:00:00 UTC")


def test_long_ephemeris_streams_and_a_closed_pipe_ends_quietly(catalog):
    # 17 million epochs, gigabytes of text: the first rows come at once, and a
    # reader that stops early ends the command without a traceback.
    args = ["propagate", str(catalog), "--start", "2008-09-20", "--stop", "2009-04-08", "--step", "1", "--csv"]
    child = subprocess.Popen([sys.executable, "-m", "velmar", *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    head = [child.stdout.readline() for _ in range(3)]
    child.stdout.close()
    try:
        returncode = child.wait(timeout=120)
    finally:
        child.kill()
    stderr = child.stderr.read().decode()
    child.stderr.close()
    assert head[0].startswith(b"epoch (UTC),x km") and head[1].startswith(b"2008-09-20T00:00:00,")
    assert head[2].startswith(b"2008-09-20T00:00:01,")
    assert returncode == 0, stderr
    assert "Traceback" not in stderr and "Exception ignored" not in stderr and "BrokenPipe" not in stderr


def test_block_text_is_what_python_prints():
    from velmar.cli import _block_bytes, _Numbers

    rng = np.random.default_rng(17)
    halves = (rng.integers(-(10**9), 10**9, 2000) + 0.5) / 1e3
    x = np.concatenate(
        [
            halves,
            np.nextafter(halves, np.inf),
            np.nextafter(halves, -np.inf),
            rng.normal(0, 1e4, 2000),
            [0.0, -0.0, -1e-9, 0.0625, -0.0005, 2.5e-4, 1e15, -1e300, np.nan, -np.nan, np.inf, -np.inf, 5e-324],
        ]
    )
    days_ns = rng.integers(-(10**16), 10**16, x.size)
    days_ns[:4] = [43_200_000, -43_200_000, 129_600_000, 0]  # exact halves of the last digit
    expected_days = [f"{Decimal(int(n)) / 86_400_000_000_000:.6f}" for n in days_ns]
    for as_csv in (True, False):
        columns = [_Numbers.fixed(x, 3), _Numbers.fixed(x, 6), _Numbers.days(days_ns)]
        lines = _block_bytes(columns, (10, 10, 12), as_csv).decode().splitlines()
        cells = [line.split(",") if as_csv else line.split() for line in lines]
        assert [c[0] for c in cells] == [f"{v:.3f}" for v in x]
        assert [c[1] for c in cells] == [f"{v:.6f}" for v in x]
        assert [c[2] for c in cells] == expected_days
    # Table rows keep their columns right-justified; only a row with a value too wide for its column is longer.
    fit = [len(c[0]) <= 10 and len(c[1]) <= 10 and len(c[2]) <= 12 for c in cells]
    assert [len(line) == 10 + 2 + 10 + 2 + 12 for line in lines] == fit and not all(fit)


def test_plot_names_the_extra_to_install(tmp_path, catalog):
    code = (
        "import sys; sys.modules['matplotlib'] = None\n"
        "from velmar.cli import main\n"
        f"sys.exit(main(['plot', 'orbit', {str(catalog)!r}, '-o', {str(tmp_path / 'orbit')!r}]))"
    )
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert result.returncode == 2
    assert "pip install 'velmar[plot]'" in result.stderr and len(result.stderr.splitlines()) == 1


def test_plot_reports_the_file_it_wrote(tmp_path, catalog):
    pytest.importorskip("matplotlib")
    result = velmar("plot", "orbit", catalog, "-o", tmp_path / "adir")
    written = tmp_path / "adir.png"
    assert result.stdout.strip() == f"wrote {written}"
    assert written.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


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


def test_omm_rounding_is_one_note_on_stderr(tmp_path):
    # A mean motion with more digits than its column holds (15.72125391 rev/day
    # in the two lines) is rounded by 2.3456e-9 rev/day.
    record = {
        "OBJECT_NAME": "ISS (ZARYA)",
        "OBJECT_ID": "1998-067A",
        "EPOCH": "2008-09-20T12:25:40.104192",
        "MEAN_MOTION": "15.7212539123456",
        "ECCENTRICITY": ".0006703",
        "INCLINATION": "51.6416",
        "RA_OF_ASC_NODE": "247.4627",
        "ARG_OF_PERICENTER": "130.5360",
        "MEAN_ANOMALY": "325.0288",
        "EPHEMERIS_TYPE": "0",
        "CLASSIFICATION_TYPE": "U",
        "NORAD_CAT_ID": "25544",
        "ELEMENT_SET_NO": "292",
        "REV_AT_EPOCH": "56353",
        "BSTAR": "-.11606E-4",
        "MEAN_MOTION_DOT": "-.00002182",
        "MEAN_MOTION_DDOT": "0",
    }
    path = tmp_path / "iss.json"
    path.write_text(__import__("json").dumps([record]))
    result = velmar("catalog", path)
    assert result.stderr.count("\n") == 1
    assert (
        result.stderr.startswith(f"velmar: note: {path}: 1 value(s) rounded")
        and "MEAN_MOTION by 2.35e-09" in result.stderr
    )
    assert "25544" in result.stdout
