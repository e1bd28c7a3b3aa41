"""Orbit Mean-Elements Messages (OMM) written as two-line element sets.

Catalogue services hand out the same element sets as two-line text and as
CCSDS OMM in JSON (a list of objects, one per set), CSV (a header row of the
OMM keys) and XML (``<ndm>`` with ``<omm>`` children, or a lone ``<omm>``,
namespaced or not). `expand` recognises these by their content and turns each
record into the name line and the two element lines that the two-line form of
the same set has, so everything downstream reads one format.

Each record needs NORAD_CAT_ID, EPOCH, MEAN_MOTION, ECCENTRICITY, INCLINATION,
RA_OF_ASC_NODE, ARG_OF_PERICENTER, MEAN_ANOMALY, BSTAR, MEAN_MOTION_DOT,
MEAN_MOTION_DDOT, ELEMENT_SET_NO and REV_AT_EPOCH. OBJECT_NAME gives the
name line and OBJECT_ID the international designator (blank without one);
CLASSIFICATION_TYPE and EPHEMERIS_TYPE default to "U" and 0, as the OMM
standard has them. A record that the columns cannot hold (a missing key, a
number beyond its column, an eccentricity of 1 or more, a mean motion that is
not positive, an epoch outside 1957-2056, elements of another mean-element
theory, frame or time system) is a ValueError naming the record (counted
from 1), its OBJECT_NAME and NORAD_CAT_ID, and the key.

A value with more digits than its column is rounded to the column (half to
even) and the file gets one `RoundingWarning` naming, for each rounded key,
the largest rounding. Not counted as rounding: an EPOCH within one
microsecond of its column value (OMM epochs are written to the microsecond,
and exporters truncate), and a number within a few units in the last place of
a double of its column value (a binary number printed in decimal).
"""

from __future__ import annotations

import csv
import itertools
import json
import math
import os
import re
import sys
import warnings
import xml.etree.ElementTree as ET
from collections.abc import Iterable, Mapping
from datetime import date
from decimal import ROUND_HALF_EVEN, Decimal
from types import FrameType
from typing import Any

import velmar.io as velmar_io  # a cycle: velmar.io imports this module; its names are read at call time

__all__ = ["RoundingWarning", "tle_lines", "expand"]

_MAX_REPORTED = 10
_PACKAGE = os.path.dirname(os.path.abspath(__file__)) + os.sep

_KEYS = (
    "OBJECT_NAME",
    "OBJECT_ID",
    "NORAD_CAT_ID",
    "EPOCH",
    "MEAN_MOTION",
    "ECCENTRICITY",
    "INCLINATION",
    "RA_OF_ASC_NODE",
    "ARG_OF_PERICENTER",
    "MEAN_ANOMALY",
    "BSTAR",
    "MEAN_MOTION_DOT",
    "MEAN_MOTION_DDOT",
    "ELEMENT_SET_NO",
    "REV_AT_EPOCH",
    "CLASSIFICATION_TYPE",
    "EPHEMERIS_TYPE",
)
_KEYSET = frozenset(_KEYS)
# The keys an element set is recognised by in a JSON object or a CSV header.
_CORE = frozenset(("NORAD_CAT_ID", "EPOCH", "MEAN_MOTION"))

# Alpha-5: the five-character satellite numbers of 100000-339999 (no I, no O).
_ALPHA5 = "ABCDEFGHJKLMNPQRSTUVWXYZ"

_NUMBER = re.compile(r"[+-]?(?:\d+\.?\d*|\.\d+)(?:[eE][+-]?\d+)?")
_INTEGER = re.compile(r"[+-]?\d+")
_EPOCH = re.compile(r"(\d{4})-(?:(\d{2})-(\d{2})|(\d{3}))[T ](\d{2}):(\d{2}):(\d{2})(\.\d+)?Z?")
_XML_ROOT = re.compile(r"<(?:[\w.-]+:)?(?:ndm|omm)[\s/>]")


class RoundingWarning(UserWarning):
    """OMM values had more digits than their two-line columns hold."""


class _Bad(ValueError):
    """What is wrong with one key of one record."""


# --- values --------------------------------------------------------------------


def _show(value: Any) -> str:
    text = repr(value) if isinstance(value, str) else str(value)
    return text if len(text) <= 40 else text[:36] + " ..."


def _text(fields: Mapping[str, Any], key: str) -> Any:
    value = fields.get(key)
    if value is None or (isinstance(value, str) and not value.strip()):
        raise _Bad(f"{key} is missing")
    return value


def _read_decimal(text: str) -> Decimal | None:
    """The Decimal of a number's text; None when its exponent is beyond what
    Decimal holds (it raises InvalidOperation, which names nothing)."""
    try:
        return Decimal(text)
    except ArithmeticError:
        return None


def _decimal(fields: Mapping[str, Any], key: str) -> Decimal:
    value = _text(fields, key)
    number: Decimal | None
    if isinstance(value, Decimal):
        number = value
    elif isinstance(value, (int, float)) and not isinstance(value, bool):
        number = Decimal(repr(value)) if isinstance(value, float) else Decimal(value)
    elif isinstance(value, str) and _NUMBER.fullmatch(value.strip()):
        number = _read_decimal(value.strip())
    else:
        raise _Bad(f"{key} {_show(value)} is not a number")
    if number is None:
        raise _Bad(f"{key} {_show(value)} has an exponent beyond any number a column can hold")
    if not number.is_finite():
        raise _Bad(f"{key} {_show(value)} is not a number")
    # Decimal arithmetic traps beyond its exponent range; no column comes near.
    if number and number.adjusted() > 99:
        raise _Bad(f"{key} {_show(value)} overflows its column")
    return number if not number or number.adjusted() > -99 else Decimal(0)


def _integer(fields: Mapping[str, Any], key: str, low: int, high: int, default: int | None = None) -> int:
    if default is not None and fields.get(key) in (None, ""):
        return default
    value = _text(fields, key)
    number = None
    if isinstance(value, Decimal):
        number = value
    elif isinstance(value, int) and not isinstance(value, bool):
        number = Decimal(value)
    elif isinstance(value, str) and _INTEGER.fullmatch(value.strip()):
        number = Decimal(value.strip())
    if number is None or not number.is_finite() or number != number.to_integral_value():
        raise _Bad(f"{key} {_show(value)} is not a whole number")
    # Compared before int(): a number of a million digits is refused, not built.
    if not low <= number <= high:
        raise _Bad(f"{key} {_show(value)} is beyond the two-line format ({low} to {high})")
    return int(number)


class _Roundings:
    """The largest rounding of each key, over a whole file."""

    def __init__(self) -> None:
        self.count = 0
        self.largest: dict[str, tuple[float, str, str]] = {}
        self.record = ""

    def note(self, key: str, given: Decimal, written: Decimal, unit: str) -> None:
        if given != written:
            lost = float(abs(given - written))
            # A few units in the last place of a double are a binary number
            # printed in decimal, not digits the column lost.
            if lost > 4 * math.ulp(float(written)):
                self.lost(key, lost, unit)

    def lost(self, key: str, lost: float, unit: str) -> None:
        self.count += 1
        if key not in self.largest or lost > self.largest[key][0]:
            self.largest[key] = (lost, unit, self.record)


def _rounded(value: Decimal, step: str) -> Decimal:
    q = value.quantize(Decimal(step), rounding=ROUND_HALF_EVEN)
    return abs(q) if q == 0 else q  # no "-0.0000"


def _angle(fields, key, high, roundings) -> str:
    value = _decimal(fields, key)
    if not 0 <= value <= high:
        raise _Bad(f"{key} {_show(value)} is outside 0 to {high} degrees")
    q = _rounded(value, "1.0000")
    roundings.note(key, value, q, "deg")
    return f"{q:8.4f}"


def _exponent_field(fields, key, zero_exponent, unit, roundings) -> str:
    """The assumed-decimal form: sign, five mantissa digits, exponent sign and
    digit, meaning +-0.ddddd x 10^e."""
    value = _decimal(fields, key)
    sign = "-" if value < 0 else " "
    size = abs(value)
    exponent = size.adjusted() + 1 if size else 0
    exponent = max(exponent, -9)  # smaller values lose digits to a leading zero
    mantissa = _rounded(size.scaleb(-exponent), "1.00000")
    if mantissa >= 1:
        mantissa, exponent = mantissa / 10, exponent + 1
    if exponent > 9:
        raise _Bad(f"{key} {_show(value)} overflows its column (at most 0.99999e+9)")
    written = mantissa.scaleb(exponent)
    roundings.note(key, size, written, unit)
    digits = f"{int(mantissa.scaleb(5)):05d}"
    if not int(digits):
        sign = " "
    power = zero_exponent if exponent == 0 else f"{'-' if exponent < 0 else '+'}{abs(exponent)}"
    return f"{sign}{digits}{power}"


def _epoch(fields, roundings) -> str:
    value = _text(fields, "EPOCH")
    match = _EPOCH.fullmatch(str(value).strip())
    if not match:
        raise _Bad(f"EPOCH {_show(value)} is not a date and time (YYYY-MM-DDThh:mm:ss.ssssss)")
    year, month, mday, yday, hour, minute, second, fraction = match.groups()
    year = int(year)
    if not 1957 <= year <= 2056:
        raise _Bad(f"EPOCH {_show(value)} is outside the years 1957 to 2056 that two digits name")
    jan1 = date(year, 1, 1).toordinal()
    length = date(year + 1, 1, 1).toordinal() - jan1
    try:
        day = int(yday) - 1 if yday is not None else date(year, int(month), int(mday)).toordinal() - jan1
    except ValueError:
        day = -1
    if not 0 <= day < length:
        raise _Bad(f"EPOCH {_show(value)} is not a date")
    if int(hour) > 23 or int(minute) > 59 or int(second) > 59:
        # 60 is a leap second, which a fraction of a day cannot express.
        raise _Bad(f"EPOCH {_show(value)} has no place on a day of 86400 seconds")
    if fraction and len(fraction) > 31:
        raise _Bad(f"EPOCH {_show(value)} has more decimals than any clock gives")
    # Whole numbers of 10^-digits s and of 1e-8 day (864 us) keep the
    # rounding exact: one day is 86400 * 10^digits units of the text.
    digits = len(fraction) - 1 if fraction else 0
    scale = 10**digits
    seconds = (int(hour) * 3600 + int(minute) * 60 + int(second)) * scale + (int(fraction[1:]) if fraction else 0)
    given = day * 86400 * scale + seconds  # since 1 January 00:00
    ticks, rest = divmod(given * 10**8, 86400 * scale)
    if 2 * rest > 86400 * scale or (2 * rest == 86400 * scale and ticks % 2):
        ticks += 1  # half to even, as the other columns
    lost = abs(ticks * 864 * scale - given * 10**6) / (10**6 * scale)
    if lost > 1e-6:
        roundings.lost("EPOCH", lost, "s")
    if ticks >= length * 10**8:  # rounded onto 1 January of the next year
        ticks -= length * 10**8
        year += 1
    if not 1957 <= year <= 2056:
        raise _Bad(f"EPOCH {_show(value)} is outside the years 1957 to 2056 that two digits name")
    whole, part = divmod(ticks, 10**8)
    return f"{year % 100:02d}{whole + 1:03d}.{part:08d}"


def _designator(fields) -> str:
    value = fields.get("OBJECT_ID")
    text = "" if value is None else str(value).strip()
    if not text or text.upper() == "UNKNOWN":
        return " " * 8
    match = re.fullmatch(r"(\d{4})-(\d{3})([A-Z]{1,3})", text.upper())
    if not match:
        raise _Bad(f"OBJECT_ID {_show(text)} is not an international designator (YYYY-NNNPPP)")
    return f"{match[1][2:]}{match[2]}{match[3]:<3}"


def _checked(line: str) -> str:
    return line + str(velmar_io.checksum(line))


def _lines(fields: Mapping[str, Any], roundings: _Roundings) -> tuple[str, str]:
    theory = str(fields.get("MEAN_ELEMENT_THEORY") or "SGP4").strip().upper()
    if theory not in ("SGP4", "SGP", "SGP4-XP"):
        raise _Bad(f"MEAN_ELEMENT_THEORY {_show(theory)}: only SGP4 mean elements are two-line elements")
    for key, expected in (("REF_FRAME", "TEME"), ("TIME_SYSTEM", "UTC"), ("CENTER_NAME", "EARTH")):
        given = str(fields.get(key) or expected).strip().upper()
        if given != expected:
            raise _Bad(f"{key} {_show(given)}: two-line elements are {expected}")

    number = _integer(fields, "NORAD_CAT_ID", 0, 339999)
    satno = f"{number:05d}" if number < 100000 else f"{_ALPHA5[number // 10000 - 10]}{number % 10000:04d}"
    classification = str(fields.get("CLASSIFICATION_TYPE") or "U").strip() or "U"
    if len(classification) != 1 or not classification.isascii() or not classification.isalpha():
        raise _Bad(f"CLASSIFICATION_TYPE {_show(classification)} is not one letter")

    ndot = _decimal(fields, "MEAN_MOTION_DOT")
    ndot_q = _rounded(ndot, "1.00000000") if abs(ndot) < 1 else ndot
    if abs(ndot_q) >= 1:
        raise _Bad(f"MEAN_MOTION_DOT {_show(ndot)} overflows its column (below 1 in size)")
    roundings.note("MEAN_MOTION_DOT", ndot, ndot_q, "rev/day^2")
    ndot_text = ("-" if ndot_q < 0 else " ") + f"{abs(ndot_q):.8f}"[1:]

    line1 = (
        f"1 {satno}{classification} {_designator(fields)} {_epoch(fields, roundings)} {ndot_text} "
        f"{_exponent_field(fields, 'MEAN_MOTION_DDOT', '-0', 'rev/day^3', roundings)} "
        f"{_exponent_field(fields, 'BSTAR', '+0', '1/earth radii', roundings)} "
        f"{_integer(fields, 'EPHEMERIS_TYPE', 0, 9, default=0)} {_integer(fields, 'ELEMENT_SET_NO', 0, 9999):4d}"
    )

    ecc = _decimal(fields, "ECCENTRICITY")
    if not 0 <= ecc < 1:
        raise _Bad(f"ECCENTRICITY {_show(ecc)} is outside 0 to 1 (1 excluded)")
    ecc_q = _rounded(ecc, "1.0000000")
    if ecc_q >= 1:
        raise _Bad(f"ECCENTRICITY {_show(ecc)} rounds to 1 in its seven digits")
    roundings.note("ECCENTRICITY", ecc, ecc_q, "")

    motion = _decimal(fields, "MEAN_MOTION")
    if not motion > 0:
        raise _Bad(f"MEAN_MOTION {_show(motion)} is not positive")
    motion_q = _rounded(motion, "1.00000000") if motion < 100 else motion
    if motion_q >= 100:
        raise _Bad(f"MEAN_MOTION {_show(motion)} overflows its column (below 100 rev/day)")
    if motion_q == 0:
        raise _Bad(f"MEAN_MOTION {_show(motion)} rounds to 0 in its eight decimals")
    roundings.note("MEAN_MOTION", motion, motion_q, "rev/day")

    line2 = (
        f"2 {satno} {_angle(fields, 'INCLINATION', 180, roundings)} "
        f"{_angle(fields, 'RA_OF_ASC_NODE', 360, roundings)} {int(ecc_q.scaleb(7)):07d} "
        f"{_angle(fields, 'ARG_OF_PERICENTER', 360, roundings)} {_angle(fields, 'MEAN_ANOMALY', 360, roundings)} "
        f"{motion_q:11.8f}{_integer(fields, 'REV_AT_EPOCH', 0, 99999):5d}"
    )
    return _checked(line1), _checked(line2)


def tle_lines(fields: Mapping[str, Any]) -> tuple[str, str]:
    """Line 1 and line 2, checksums included, of one OMM record (a mapping of
    its keys to texts or numbers). Raises ValueError naming the key a record
    cannot be written for; rounds values with more digits than their columns
    and says so in one `RoundingWarning`."""
    roundings = _Roundings()
    try:
        lines = _lines(fields, roundings)
    except _Bad as exc:
        raise ValueError(str(exc)) from None
    _warn(roundings, "OMM record")
    return lines


# --- files -----------------------------------------------------------------------


def _label(index: int, fields: Mapping[str, Any]) -> str:
    known = [str(fields[k]).strip()[:40] for k in ("OBJECT_NAME", "NORAD_CAT_ID") if fields.get(k) not in (None, "")]
    return f"record {index}" + (f" ({', '.join(known)})" if known else "")


def _json_float(text: str) -> Decimal | str:
    # A number Decimal cannot hold stays text, so that the record's key names it.
    number = _read_decimal(text)
    return text if number is None else number


def _from_json(text: str) -> list[Any]:
    data = json.loads(text, parse_float=_json_float, parse_int=Decimal)
    if isinstance(data, dict):
        # One record, or a document that holds none (an error message).
        return [data] if _CORE & data.keys() else []
    if not isinstance(data, list):
        return []
    return data


def _from_csv(lines: list[str]) -> list[Any]:
    reader = csv.reader(lines)
    header = [field.strip() for field in next(reader)]
    records: list[Any] = []
    for row in reader:
        if not any(field.strip() for field in row):
            continue
        if len(row) != len(header):
            records.append(f"has {len(row)} fields, the header {len(header)}")
        else:
            records.append(dict(zip(header, row)))
    return records


def _local(tag: Any) -> str:
    return tag.rsplit("}", 1)[-1] if isinstance(tag, str) else ""


def _from_xml(text: str) -> list[Any]:
    root = ET.fromstring(text)
    records: list[Any] = []
    for segment in root.iter():
        if _local(segment.tag) != "segment":
            continue
        fields: dict[str, Any] = {}
        for part in segment:
            blocks = (
                [part]
                if _local(part.tag) == "metadata"
                else (
                    [b for b in part if _local(b.tag) in ("meanElements", "tleParameters")]
                    if _local(part.tag) == "data"
                    else []
                )
            )
            for block in blocks:
                for leaf in block:
                    if len(leaf) == 0 and _local(leaf.tag) != "COMMENT":
                        fields[_local(leaf.tag)] = (leaf.text or "").strip()
        records.append(fields)
    return records


def _kind(first: str) -> str | None:
    """The OMM flavour a file's first non-blank line announces, if any; "xml?"
    when the root element has yet to be seen."""
    first = first.lstrip("\ufeff \t")
    if first[:1] in ("[", "{"):
        return "json"
    if first[:1] == "<":
        return "xml?"
    names = {field.strip().strip('"') for field in first.split(",")}
    if "," in first and len(names & _KEYSET) >= 2:
        return "csv"
    return None


def announced(head: str) -> bool:
    """Whether text starting with `head` (its first few kilobytes) is an OMM
    file: JSON, CSV with OMM keys in its header, or XML with an ndm or omm
    root. A catalogue file of element lines never is."""
    first = next((line for line in head.splitlines() if line.strip()), "")
    kind = _kind(first)
    if kind == "xml?":
        return bool(_XML_ROOT.search(head))
    return kind is not None


def _has_element_lines(lines: list[str]) -> bool:
    return any(re.match(r"1 [ 0-9A-Z]{5}[A-Z ] ", line) and len(line) > 60 for line in lines)


def _source_name(source: Any) -> str:
    if isinstance(source, str) and ("\n" in source or "\r" in source):
        return "<text>"
    if isinstance(source, (str, os.PathLike)):
        return os.fspath(source)
    return str(getattr(source, "name", "<file>"))


def expand(lines: Iterable[str], source: Any = None) -> Iterable[str]:
    """The lines of a catalogue file, with an OMM file (JSON, CSV, XML)
    replaced by the three-line text of its records: ``"0 " + OBJECT_NAME``
    (left out without a name), line 1, line 2. Any other text comes back
    unchanged and unread past its first non-blank line (and, for text that
    starts with "<", the few lines that show whether it is OMM XML).
    `source` only names the file in messages."""
    it = iter(lines)
    head: list[str] = []
    kind = None
    for line in it:
        head.append(line)
        if line.strip():
            kind = _kind(line)
            break
    if kind == "xml?":
        seen = len(head[-1])
        while not _XML_ROOT.search("\n".join(head[-50:])) and seen < 65536:
            nxt = next(it, None)
            if nxt is None:
                break
            head.append(nxt)
            seen += len(nxt)
        kind = "xml" if _XML_ROOT.search("\n".join(head)) else None
    if kind is None:
        return itertools.chain(head, it)
    name = _source_name(source)
    all_lines = head + list(it)
    all_lines[0] = all_lines[0].removeprefix("\ufeff")
    try:
        if kind == "json":
            raw = _from_json("\n".join(all_lines))
        elif kind == "xml":
            raw = _from_xml("\n".join(all_lines))
        else:
            raw = _from_csv([line for line in all_lines if line.strip()])
    except json.JSONDecodeError as exc:
        if _has_element_lines(all_lines):  # a name line that happens to start with "[" or "{"
            return all_lines
        raise ValueError(f"{name}: not a readable JSON file ({exc})") from None
    except RecursionError:
        raise ValueError(f"{name}: not a readable {kind.upper()} file (nested too deeply)") from None
    except ET.ParseError as exc:
        raise ValueError(f"{name}: not a readable XML file ({exc})") from None
    except csv.Error as exc:
        raise ValueError(f"{name}: not a readable CSV file ({exc})") from None
    return _convert(raw, name)


def _convert(raw: list[Any], name: str) -> list[str]:
    out: list[str] = []
    problems: list[str] = []
    roundings = _Roundings()
    for index, fields in enumerate(raw, start=1):
        if not isinstance(fields, Mapping):
            what = fields if isinstance(fields, str) else "is not an object of OMM keys"
            problems.append(f"record {index}: {what}")
            continue
        roundings.record = _label(index, fields)
        try:
            line1, line2 = _lines(fields, roundings)
        except _Bad as exc:
            problems.append(f"{roundings.record}: {exc}")
            continue
        title = fields.get("OBJECT_NAME")
        title = "" if title is None else " ".join(str(title).split())  # a line break would end the name line
        if title:
            out.append("0 " + title)
        out += (line1, line2)
    if problems:
        shown = "\n".join(f"  {p}" for p in problems[:_MAX_REPORTED])
        more = f"\n  ... and {len(problems) - _MAX_REPORTED} more" if len(problems) > _MAX_REPORTED else ""
        raise ValueError(
            f"{name}: {len(problems)} record(s) cannot be written as two-line element sets:\n{shown}{more}"
        )
    _warn(roundings, name)
    return out


def _stacklevel() -> int:
    # The first frame outside the package, whatever path led here (a
    # generator such as read_tles included).
    frame: FrameType | None = sys._getframe(1)
    level = 1
    while frame is not None and frame.f_code.co_filename.startswith(_PACKAGE):
        frame, level = frame.f_back, level + 1
    return level


def _warn(roundings: _Roundings, name: str) -> None:
    if not roundings.count:
        return
    largest = "; ".join(
        f"{key} by {lost:.3g}{' ' + unit if unit else ''} in {record}"
        for key, (lost, unit, record) in roundings.largest.items()
    )
    warnings.warn(
        f"{name}: {roundings.count} value(s) rounded to the two-line columns; the largest: {largest}",
        RoundingWarning,
        stacklevel=_stacklevel(),
    )
