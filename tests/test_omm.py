"""OMM files (JSON, CSV, XML) read as the two-line element sets they carry."""

import csv
import datetime as dt
import gzip
import io
import json
import subprocess
import sys
import warnings
from decimal import Decimal
from xml.sax.saxutils import escape

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from sgp4 import omm as sgp4_omm
from sgp4.api import Satrec
from sgp4.exporter import export_omm, export_tle

from velmar.io import checksum, load_catalog, read_tles
from velmar.omm import RoundingWarning, expand, tle_lines

ISS = (
    "1 25544U 98067A   08264.51782528 -.00002182  00000-0 -11606-4 0  2927",
    "2 25544  51.6416 247.4627 0006703 130.5360 325.0288 15.72125391563537",
)
# The ISS set above as a catalogue service writes it in JSON (values as text).
ISS_OMM = {
    "OBJECT_NAME": "ISS (ZARYA)",
    "OBJECT_ID": "1998-067A",
    "EPOCH": "2008-09-20T12:25:40.104192",
    "MEAN_MOTION": "15.72125391",
    "ECCENTRICITY": "0.0006703",
    "INCLINATION": "51.6416",
    "RA_OF_ASC_NODE": "247.4627",
    "ARG_OF_PERICENTER": "130.5360",
    "MEAN_ANOMALY": "325.0288",
    "EPHEMERIS_TYPE": "0",
    "CLASSIFICATION_TYPE": "U",
    "NORAD_CAT_ID": "25544",
    "ELEMENT_SET_NO": "292",
    "REV_AT_EPOCH": "56353",
    "BSTAR": "-0.000011606",
    "MEAN_MOTION_DOT": "-0.00002182",
    "MEAN_MOTION_DDOT": "0",
}

META = ("OBJECT_NAME", "OBJECT_ID", "CENTER_NAME", "REF_FRAME", "TIME_SYSTEM", "MEAN_ELEMENT_THEORY")
MEAN = ("EPOCH", "MEAN_MOTION", "ECCENTRICITY", "INCLINATION", "RA_OF_ASC_NODE", "ARG_OF_PERICENTER", "MEAN_ANOMALY")
TLE_PARAMETERS = (
    "EPHEMERIS_TYPE",
    "CLASSIFICATION_TYPE",
    "NORAD_CAT_ID",
    "ELEMENT_SET_NO",
    "REV_AT_EPOCH",
    "BSTAR",
    "MEAN_MOTION_DOT",
    "MEAN_MOTION_DDOT",
)


def ndm_xml(records, namespace=False):
    """A CCSDS NDM file of OMM messages, laid out as catalogue services write it."""

    def block(tag, record, keys):
        leaves = "".join(f"<{k}>{escape(str(record[k]))}</{k}>" for k in keys if record.get(k) is not None)
        return f"<{tag}>{leaves}</{tag}>"

    xmlns = ' xmlns="urn:ccsds:schema:ndmxml"' if namespace else ""
    omms = "".join(
        '<omm id="CCSDS_OMM_VERS" version="2.0"><header><CREATION_DATE>2024-01-01T00:00:00</CREATION_DATE>'
        "<ORIGINATOR>TEST</ORIGINATOR></header><body><segment>"
        + block("metadata", r, META)
        + "<data>"
        + block("meanElements", r, MEAN)
        + block("tleParameters", r, TLE_PARAMETERS)
        + "</data></segment></body></omm>\n"
        for r in records
    )
    return f'<?xml version="1.0" encoding="UTF-8"?>\n<ndm{xmlns}>\n{omms}</ndm>\n'


def omm_csv(records):
    out = io.StringIO()
    keys = list(dict.fromkeys(k for record in records for k in record))
    writer = csv.DictWriter(out, keys, quoting=csv.QUOTE_ALL)
    writer.writeheader()
    writer.writerows(records)
    return out.getvalue()


def sgp4_lines(fields):
    sat = Satrec()
    sgp4_omm.initialize(sat, fields)
    return export_tle(sat)


@pytest.fixture(scope="module")
def spot5_omm(spot5_lines):
    """The SPOT 5 sets exported to OMM by sgp4, as the dicts of its exporter."""
    return [export_omm(Satrec.twoline2rv(l1, l2), "SPOT 5") for l1, l2 in spot5_lines]


class TestAgainstSgp4:
    @pytest.mark.parametrize("flavour", ["json", "json-text", "csv", "xml", "xml-namespaced-gzip"])
    def test_every_flavour_gives_back_the_original_lines(self, flavour, spot5_omm, spot5_lines, tmp_path):
        path = tmp_path / f"spot5.{flavour}"
        if flavour == "json":
            path.write_text(json.dumps(spot5_omm, indent=1))
            reference = [sgp4_lines(r) for r in json.loads(path.read_text())]
        elif flavour == "json-text":  # every value a string, as some services send them
            path.write_text(json.dumps([{k: str(v) for k, v in r.items()} for r in spot5_omm]))
            reference = [sgp4_lines(r) for r in json.loads(path.read_text())]
        elif flavour == "csv":
            path.write_text(omm_csv(spot5_omm))
            with open(path, newline="") as f:
                reference = [sgp4_lines(r) for r in sgp4_omm.parse_csv(f)]
        elif flavour == "xml":
            path.write_text(ndm_xml(spot5_omm))
            reference = [sgp4_lines(r) for r in sgp4_omm.parse_xml(str(path))]
        else:
            path.write_bytes(gzip.compress(ndm_xml(spot5_omm, namespace=True).encode()))
            reference = spot5_lines
        # sgp4's own reader takes the file for the same sets: the file is a faithful OMM.
        assert reference == spot5_lines
        with warnings.catch_warnings():
            warnings.simplefilter("error")  # exact values: nothing may be reported as rounded
            sets = list(read_tles(path))
        assert [(t.line1, t.line2) for _, t in sets] == spot5_lines
        assert {name for name, _ in sets} == {"SPOT 5"}

    def test_catalogue_and_command_read_omm_like_the_three_line_file(self, spot5_omm, spot5_lines, tmp_path):
        path = tmp_path / "spot5.data"  # no telling suffix: the content decides
        path.write_text(json.dumps(spot5_omm))
        three_line = tmp_path / "spot5.tle"
        three_line.write_text("".join(f"SPOT 5\n{l1}\n{l2}\n" for l1, l2 in spot5_lines))
        from_omm, from_tle = load_catalog(path)[27421], load_catalog(three_line)[27421]
        for key in ("inc", "raa", "ecc", "arp", "mea", "mnm"):
            assert np.array_equal(getattr(from_omm, key), getattr(from_tle, key)), key
        assert np.array_equal(from_omm.epoch.jd, from_tle.epoch.jd) and from_omm.satname == "SPOT 5"

        def catalog(file):
            result = subprocess.run(
                [sys.executable, "-m", "velmar", "catalog", str(file)], capture_output=True, text=True, timeout=120
            )
            assert result.returncode == 0, result.stderr
            return result.stdout

        assert catalog(path) == catalog(three_line)

    def test_alphanumeric_number_as_sgp4_writes_it(self):
        line1 = "1 E8493U 02021A   02124.48976499 -.00021470  00000-0 -89879-2 0    2"
        line2 = "2 E8493  98.7490 199.5121 0001333 133.9522 226.1918 14.26113993    6"
        lines = (line1 + str(checksum(line1)), line2 + str(checksum(line2)))
        record = export_omm(Satrec.twoline2rv(*lines), "X")
        assert record["NORAD_CAT_ID"] == 148493
        assert tle_lines(record) == lines == export_tle(Satrec.twoline2rv(*lines))


def read_exponent(field):
    """The value of an assumed-decimal field such as '-11606-4', read independently."""
    return float(field[0].replace(" ", "") + "0." + field[1:6] + "e" + field[6:8])


class TestColumns:
    def test_published_set_from_text_values(self):
        assert tle_lines(ISS_OMM) == ISS

    @pytest.mark.parametrize(
        "bstar", ["0.5", "-0.999996", "1.23456e-12", "9.9999e-11", "0", "-0", "0.00028098", "123456789"]
    )
    def test_exponent_fields_hold_the_value_to_five_digits(self, bstar):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RoundingWarning)
            line1, _ = tle_lines({**ISS_OMM, "BSTAR": bstar, "MEAN_MOTION_DDOT": bstar})
        value = float(bstar)
        for field in (line1[53:61], line1[44:52]):
            assert field[6] in "+-" and field[0] in " -"
            assert field[1] != "0" or field[1:6] == "00000" or field[6:8] == "-9"  # normalised mantissa
            # within half a unit of the fifth digit
            assert abs(read_exponent(field) - value) <= 0.5e-5 * max(abs(value), 1e-9) * 10 * (1 + 1e-12)
        assert line1[53:61] == {"0.5": " 50000+0", "0": " 00000+0", "-0": " 00000+0", "-0.999996": "-10000+1"}.get(
            bstar, line1[53:61]
        )
        assert line1[44:52] == {"0.5": " 50000-0", "0": " 00000-0"}.get(bstar, line1[44:52])

    @pytest.mark.parametrize(
        "epoch, day, rounded",
        [
            ("2002-05-04T11:45:15.695136", "02124.48976499", False),
            ("2002-124T11:45:15.695136Z", "02124.48976499", False),  # day-of-year form
            ("2002-05-04T11:45:15.695135", "02124.48976499", False),  # truncated to the microsecond, as sgp4 writes
            ("1957-01-01T00:00:00", "57001.00000000", False),
            ("2056-12-31T12:00:00.000000", "56366.50000000", False),
            ("2003-12-31T23:59:59.9999999", "04001.00000000", False),  # onto the next year, within a microsecond
            ("2004-12-31T23:59:59.9998", "05001.00000000", True),  # after a 29 February
            # 432 us is half of the column's 864 us step, 1296 us one and a half: half to even
            ("2000-01-01T00:00:00.000432", "00001.00000000", True),
            ("2000-01-01T00:00:00.001296", "00001.00000002", True),
        ],
    )
    def test_epoch_column(self, epoch, day, rounded):
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            line1, _ = tle_lines({**ISS_OMM, "EPOCH": epoch})
        assert line1[18:32] == day
        # Within a microsecond of the column is no rounding: OMM epochs are written to the microsecond.
        assert len(caught) == rounded

    def test_rounding_is_reported_once_per_file_with_the_largest(self):
        records = [
            {**ISS_OMM, "MEAN_MOTION": "15.721253914"},  # 4e-9 rev/day beyond the column
            {**ISS_OMM, "MEAN_MOTION": "15.7212539149", "EPOCH": "2008-09-20T12:25:40.140000"},
            {**ISS_OMM, "ECCENTRICITY": 0.00067031},
        ]
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            sets = list(read_tles(json.dumps(records) + "\n"))
        assert [t.line2[52:63] for _, t in sets] == ["15.72125391", "15.72125391", "15.72125391"]
        assert [t.line2[26:33] for _, t in sets] == ["0006703"] * 3
        (warning,) = caught
        assert warning.category is RoundingWarning and warning.filename == __file__
        text = str(warning.message)
        assert "4 value(s) rounded" in text
        assert "MEAN_MOTION by 4.9e-09 rev/day in record 2 (ISS (ZARYA), 25544)" in text
        # 40.140000 s is 41.444 steps of 864 us (1e-8 day) after the column's 40.104192 s
        assert "EPOCH by 0.000384 s in record 2" in text and "ECCENTRICITY by 1e-08 in record 3" in text

    @pytest.mark.parametrize(
        "key, value, says",
        [
            ("EPOCH", None, "EPOCH is missing"),
            ("MEAN_MOTION_DDOT", "", "MEAN_MOTION_DDOT is missing"),
            ("NORAD_CAT_ID", "340000", "beyond the two-line format"),
            ("NORAD_CAT_ID", "25544.5", "not a whole number"),
            ("ECCENTRICITY", "1.0", "outside 0 to 1"),
            ("ECCENTRICITY", "0.99999996", "rounds to 1"),
            ("MEAN_MOTION", "-15.7", "not positive"),
            ("MEAN_MOTION", "100", "overflows"),
            ("MEAN_MOTION", "nan", "not a number"),
            ("MEAN_MOTION_DOT", "-1.5", "overflows"),
            ("BSTAR", "1e10", "overflows"),
            # Beyond Decimal's exponents: InvalidOperation, naming nothing, escaped.
            ("BSTAR", "1e999999999999999999999", "exponent beyond"),
            ("MEAN_MOTION_DDOT", "-1e-999999999999999999999", "exponent beyond"),
            ("REV_AT_EPOCH", "100000", "beyond the two-line format"),
            ("ELEMENT_SET_NO", "-1", "beyond the two-line format"),
            ("INCLINATION", "180.5", "outside 0 to 180"),
            ("MEAN_ANOMALY", "-0.1", "outside 0 to 360"),
            ("EPOCH", "2057-01-01T00:00:00", "1957 to 2056"),
            ("EPOCH", "2016-12-31T23:59:60.5", "86400 seconds"),
            ("EPOCH", "2023-02-29T00:00:00", "not a date"),
            ("OBJECT_ID", "ZARYA", "international designator"),
            ("MEAN_ELEMENT_THEORY", "DSST", "only SGP4"),
            ("REF_FRAME", "GCRF", "TEME"),
        ],
    )
    def test_a_record_the_columns_cannot_hold_is_named(self, key, value, says):
        records = [dict(ISS_OMM), {**ISS_OMM, key: value}]
        for text in (json.dumps(records) + "\n", omm_csv(records), ndm_xml(records)):
            with pytest.raises(ValueError, match=r"1 record\(s\) cannot be written") as info:
                list(read_tles(text))
            named = value if key == "NORAD_CAT_ID" else 25544
            assert f"record 2 (ISS (ZARYA), {named}): {key}" in str(info.value) and says in str(info.value)

    def test_a_json_number_beyond_decimal_is_named(self):
        text = json.dumps([ISS_OMM]).replace('"15.72125391"', "1e999999999999999999999") + "\n"
        with pytest.raises(ValueError, match=r"record 1 \(ISS \(ZARYA\), 25544\): MEAN_MOTION .* exponent beyond"):
            list(read_tles(text))


class TestRecognition:
    def test_content_decides(self):
        text = "\n".join(ISS)
        # Not OMM: handed back untouched, line for line.
        for lines in (
            ["<!DOCTYPE html>", "<html><body>Log in</body></html>"],
            ["[ISS] (ZARYA)", *ISS],
            ["NAME,OTHER", "a,b"],
            [],
        ):
            assert list(expand(lines)) == lines
        assert list(expand(['{"error": "You must be logged in"}'])) == []
        # A single JSON object after a byte-order mark, Space-Track's quoted CSV, a prefixed XML namespace.
        for omm in (
            "\ufeff" + json.dumps(ISS_OMM),
            "\n\n" + omm_csv([ISS_OMM]),
            ndm_xml([ISS_OMM])
            .replace("<ndm>", '<n:ndm xmlns:n="urn:x">')
            .replace("</ndm>", "</n:ndm>")
            .replace("<omm ", "<n:omm ")
            .replace("</omm>", "</n:omm>"),
        ):
            assert list(expand(omm.splitlines())) == ["0 ISS (ZARYA)", *ISS]
        assert list(expand(json.dumps({**ISS_OMM, "OBJECT_NAME": ""}).splitlines())) == list(ISS)
        assert list(expand(ndm_xml([{**ISS_OMM, "OBJECT_NAME": "ISS\n (ZARYA)"}]).splitlines()))[0] == "0 ISS (ZARYA)"
        assert [t.line1 for _, t in read_tles(text + "\n")] == [ISS[0]]

    def test_broken_files_are_refused_with_their_name(self, tmp_path):
        for suffix, text in (
            ("json", json.dumps([ISS_OMM])[:-40]),
            ("xml", ndm_xml([ISS_OMM])[:-30]),
            ("json", "[1, 2]"),
            ("json", "[" * 100000),
            ("csv", omm_csv([ISS_OMM]).rstrip() + ',"extra"\n'),
        ):
            path = tmp_path / f"cut.{suffix}"
            path.write_text(text)
            with pytest.raises(ValueError, match=f"{path}: "):
                list(read_tles(path))


def decimal_text(low, high, places):
    return st.builds(
        lambda u, n: f"{Decimal(u) / 10**n:.{n}f}",
        st.integers(int(low * 10**places), int(high * 10**places)),
        st.just(places),
    ) | st.integers(int(low * 10 ** (places + 3)), int(high * 10 ** (places + 3))).map(
        lambda u: f"{Decimal(u) / 10 ** (places + 3):.{places + 3}f}"
    )


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(
    inc=decimal_text(0, 180, 4),
    raan=decimal_text(0, 360, 4),
    ecc=decimal_text(0, 0.9999999, 7),
    mnm=decimal_text(0.01, 99.99999999, 8),
    ndot=decimal_text(-0.99999999, 0.99999999, 8),
    bstar=st.floats(-0.99999e3, 0.99999e3).map(repr),
    nddot=st.floats(-1e-3, 1e-3).map(repr),
    epoch=st.datetimes(dt.datetime(1957, 1, 1), dt.datetime(2056, 12, 30)).map(
        lambda t: t.isoformat(timespec="microseconds")
    ),
    number=st.integers(0, 339999),
    rev=st.integers(0, 99999),
)
def test_any_record_reads_back_through_sgp4_to_its_values(inc, raan, ecc, mnm, ndot, bstar, nddot, epoch, number, rev):
    record = {
        **ISS_OMM,
        "INCLINATION": inc,
        "RA_OF_ASC_NODE": raan,
        "ARG_OF_PERICENTER": raan,
        "MEAN_ANOMALY": inc,
        "ECCENTRICITY": ecc,
        "MEAN_MOTION": mnm,
        "MEAN_MOTION_DOT": ndot,
        "BSTAR": bstar,
        "MEAN_MOTION_DDOT": nddot,
        "EPOCH": epoch,
        "NORAD_CAT_ID": number,
        "REV_AT_EPOCH": rev,
    }
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RoundingWarning)
        lines = tle_lines(record)
    ((_, tle),) = read_tles("\n".join(lines) + "\n")  # checksums and field formats verified
    back = export_omm(Satrec.twoline2rv(*lines), "X")  # an independent reader of every column
    assert back["NORAD_CAT_ID"] == number and back["REV_AT_EPOCH"] == rev
    for key, sent, step in (
        ("INCLINATION", inc, 1e-4),
        ("RA_OF_ASC_NODE", raan, 1e-4),
        ("ECCENTRICITY", ecc, 1e-7),
        ("MEAN_MOTION", mnm, 1e-8),
        ("MEAN_MOTION_DOT", ndot, 1e-8),
    ):
        assert abs(back[key] - float(sent)) <= step / 2 * (1 + 1e-6) + 1e-12, key
    for key, sent in (("BSTAR", bstar), ("MEAN_MOTION_DDOT", nddot)):
        value = float(sent)
        # five significant digits, or the 1e-14 granularity of the smallest exponent
        assert abs(back[key] - value) <= max(abs(value) * 5e-5, 0.5e-14) * (1 + 1e-6), key
    given_time = dt.datetime.fromisoformat(epoch)
    written = dt.datetime(2000 + int(lines[0][18:20]) - 100 * (int(lines[0][18:20]) >= 57), 1, 1) + dt.timedelta(
        days=float(lines[0][20:32]) - 1
    )
    assert abs((written - given_time).total_seconds()) <= 0.000432 + 2e-6
    assert abs(tle.inc - float(inc) * np.pi / 180) <= 1e-4 * np.pi / 180
