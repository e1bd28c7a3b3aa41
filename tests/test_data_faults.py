"""EOP when its IERS files are missing, empty, cut short, damaged, or an HTML
error page saved in place of the data (what a failed download leaves behind).

The bulletin classes are pointed at the bad file and put in place of the
names that velmar.iers.eop uses. The quantity asked for must fail with an
error that names the file and the line, the interpolator slots it needs must
stay None, and once good data is in the same file the next access must work
and give the file's values.

tests/test_bulletins.py covers the damaged-line cases of the parsers
themselves; here every fault goes through EOP.
"""

import math
import re
from importlib.resources import files

import numpy as np
import pytest
from conftest import EOP_SLOTS

from velmar.iers import bulletins, eop
from velmar.iers.bulletins import IERSDataError

EOP = eop.EOP
SLOTS = EOP_SLOTS
DATA = files("astropy_iers_data") / "data"
RAD_PER_ARCSEC = math.radians(1.0) / 3600.0

with open(DATA / "finals2000A.all") as stream:
    # 2016-02 to 2017-03: 400 daily rows across the leap second of 2017.
    FINALS_LINES = [line.rstrip("\n") for line in stream][16000:16400]
LEAP_LINES = (DATA / "Leap_Second.dat").read_text().splitlines()
LEAP_ENTRIES = [n for n, line in enumerate(LEAP_LINES, 1) if line.strip() and not line.lstrip().startswith("#")]
FINALS_MJD = np.array([float(line[7:15]) for line in FINALS_LINES])
EPOCHS = np.linspace(FINALS_MJD[1], FINALS_MJD[-2], 25)

HTML_PAGE = """<!DOCTYPE html>
<html>
<head><title>404 Not Found</title></head>
<body>
<h1>Not Found</h1>
<p>The requested URL /products/eop/rapid/standard/finals2000A.all was not found on this server.</p>
<hr>
<address>Apache Server at datacenter.example.org Port 443</address>
</body>
</html>
"""


def damaged(kind, lines):
    """The text of a damaged file and the line its error must name (None: any line of it)."""
    text = "\n".join(lines) + "\n"
    finals = lines is FINALS_LINES
    if kind == "empty":
        return "", 1
    if kind == "html error page":
        return HTML_PAGE, None
    if kind == "truncated mid-line":
        # Cut inside the polar motion y of the last row, or inside the
        # TAI-UTC value of the last leap second.
        cut = len(text) - len(lines[-1]) - 1 + (42 if finals else len(lines[-1]) - 1)
        return text[:cut], len(lines)
    if kind == "non-numeric field":
        if finals:
            row = 122  # 0-based: line 123; a letter in UT1-UTC
            changed = list(lines)
            changed[row] = changed[row][:61] + "x" + changed[row][62:]
            return "\n".join(changed) + "\n", row + 1
        row = LEAP_ENTRIES[5] - 1
        changed = list(lines)
        changed[row] = changed[row].replace("19", "1O", 1)
        return "\n".join(changed) + "\n", row + 1
    raise AssertionError(kind)


FAULTS = ["missing", "empty", "truncated mid-line", "non-numeric field", "html error page"]
# quantity asked -> slots it fills, for a bad Bulletin A file and a bad Bulletin C file.
CASES = [
    ("finals", "pm_x", {"_pm_x_spline"}),
    ("finals", "TAI_UT1", {"_TAI_UT1_interpolator"}),
    ("finals", "get_TT_UT1_from_mjd_ut1", {"_TAI_UT1_mjd_ut1_interpolator"}),
    ("leap seconds", "dat", {"_dat_interpolator"}),
    ("leap seconds", "dut", {"_dat_interpolator", "_TAI_UT1_interpolator"}),
    ("leap seconds", "get_TT_UT1_from_mjd_ut1", {"_dat_mjd_ut1_interpolator", "_TAI_UT1_mjd_ut1_interpolator"}),
]


@pytest.fixture
def empty_slots(eop_slots):
    for name in SLOTS:
        setattr(EOP, name, None)


def pointing_at(cls, path):
    """A bulletin class whose objects read `path` (EOP calls it with no argument)."""
    return type(cls.__name__, (cls,), {"__init__": lambda self: cls.__init__(self, path)})


def ask(quantity):
    if quantity == "get_TT_UT1_from_mjd_ut1":
        return EOP.get_TT_UT1_from_mjd_ut1(EPOCHS)
    return getattr(EOP(EPOCHS), quantity)


def filled():
    return {name for name in SLOTS if getattr(EOP, name) is not None}


@pytest.mark.parametrize("fault", FAULTS)
@pytest.mark.parametrize("which, quantity, needs", CASES)
def test_fault_named_then_good_data_works(tmp_path, monkeypatch, empty_slots, fault, which, quantity, needs):
    finals = which == "finals"
    path = tmp_path / ("finals2000A.all" if finals else "Leap_Second.dat")
    name = "BulletinA" if finals else "BulletinC"
    monkeypatch.setattr(eop, name, pointing_at(getattr(bulletins, name), path))
    good = FINALS_LINES if finals else LEAP_LINES

    if fault == "missing":
        with pytest.raises(FileNotFoundError) as info:
            ask(quantity)
        assert str(path) in str(info.value)
    else:
        text, line = damaged(fault, good)
        path.write_text(text)
        with pytest.raises(IERSDataError) as info:
            ask(quantity)
        assert str(info.value).startswith(f"{path}, line {info.value.line}: ")
        if line is None:
            assert 1 <= info.value.line <= len(text.splitlines())
        else:
            assert info.value.line == line, str(info.value)
    assert not filled() & needs, "a slot kept something built from a bad file"

    path.write_text("\n".join(good) + "\n")
    value = ask(quantity)
    assert np.isfinite(value).all() and value.shape == EPOCHS.shape
    assert needs <= filled()


def test_good_data_after_a_fault_gives_the_files_values(tmp_path, monkeypatch, empty_slots):
    finals, leap = tmp_path / "finals2000A.all", tmp_path / "Leap_Second.dat"
    monkeypatch.setattr(eop, "BulletinA", pointing_at(bulletins.BulletinA, finals))
    monkeypatch.setattr(eop, "BulletinC", pointing_at(bulletins.BulletinC, leap))
    finals.write_text(HTML_PAGE)
    leap.write_text(HTML_PAGE)
    e = EOP(FINALS_MJD)
    for quantity in ("pm_x", "dat", "TT_UT1"):
        with pytest.raises(IERSDataError, match=r", line \d+: "):
            getattr(e, quantity)
    assert filled() == set()

    # The spline passes through the samples; TAI-UTC steps where the file says.
    finals.write_text("\n".join(FINALS_LINES) + "\n")
    leap.write_text("\n".join(LEAP_LINES) + "\n")
    pm_x = np.array([float(line[18:27]) for line in FINALS_LINES]) * RAD_PER_ARCSEC
    np.testing.assert_allclose(e.pm_x, pm_x, rtol=1e-12, atol=1e-18)
    steps = {float(LEAP_LINES[n - 1].split()[0]): float(LEAP_LINES[n - 1].split()[4]) for n in LEAP_ENTRIES}
    expected_dat = [steps[max(m for m in steps if m <= t)] for t in FINALS_MJD]
    np.testing.assert_array_equal(e.dat, expected_dat)
    ut1_utc = np.array([float(line[58:68]) for line in FINALS_LINES])
    np.testing.assert_allclose(e.TT_UT1, 32.184 + np.array(expected_dat) - ut1_utc, rtol=0, atol=1e-9)


def test_a_file_damaged_after_a_good_read_keeps_the_good_table(tmp_path):
    # The table is stored only once a whole file has been read; a later,
    # damaged copy at the same place is refused and the good one stays usable.
    path = tmp_path / "Leap_Second.dat"
    path.write_text("\n".join(LEAP_LINES) + "\n")
    first = bulletins.BulletinC(path)
    path.write_text(HTML_PAGE)
    with pytest.raises(IERSDataError, match=re.escape(str(path))):
        bulletins.BulletinC(path)
    assert first.dat.tolist() == [float(LEAP_LINES[n - 1].split()[4]) for n in LEAP_ENTRIES]
