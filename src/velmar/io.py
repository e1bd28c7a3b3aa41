"""Reading element-set catalogue files.

Catalogue services hand out two-line files (line 1, line 2, line 1, ...) and
three-line files (a name line before each pair, with or without a leading
"0 "), sometimes gzip-compressed, with CRLF line ends, blank lines and
trailing blanks, and OMM files in JSON, CSV and XML (`velmar.omm`).
`read_tles` reads all of these; `load_catalog` groups the
element sets by satellite into one `ELSET` each.

By default every pair is verified: the checksum in column 69 of both lines,
the line numbers, and that line 2 follows line 1 of the same satellite. A bad
file raises ValueError listing up to ten offending lines with what is wrong
with each. `verify=False` reads whatever parses.
"""

from __future__ import annotations

import gzip
import io
import os
import re
import warnings
import zlib
from collections.abc import Iterable, Iterator
from typing import IO, Union

import numpy as np

from velmar import omm
from velmar.propagators.analytical.sgp4.tle import ELSET, TLE

Source = Union[str, "os.PathLike[str]", IO[str], IO[bytes]]

__all__ = ["read_tles", "load_catalog", "checksum", "Source"]

_MAX_REPORTED = 10

# The fields velmar reads, column by column: "D" a digit, "S" a digit or a
# blank, "." the decimal point in its fixed column. The checksum alone misses
# a 0 turned into a letter or a decimal point turned into 0 (all count zero),
# which would silently change the field's value.
_FIELDS = {
    1: (("epoch year", 18, "SD"), ("epoch day", 20, "SSD.DDDDDDDD")),
    2: (
        ("inclination", 8, "SSD.DDDD"),
        ("right ascension", 17, "SSD.DDDD"),
        ("eccentricity", 26, "DDDDDDD"),
        ("argument of perigee", 34, "SSD.DDDD"),
        ("mean anomaly", 43, "SSD.DDDD"),
        ("mean motion", 52, "SD.DDDDDDDD"),
    ),
}
_CLASS_PATTERN = {"D": r"\d", "S": r"[ \d]", ".": r"\."}
_FIELD_PATTERNS = {
    number: [(what, start, start + len(form), re.compile("".join(_CLASS_PATTERN[c] for c in form)))
             for what, start, form in fields]
    for number, fields in _FIELDS.items()
}


def checksum(line: str) -> int:
    """The modulo-10 checksum of the first 68 columns: digits count their value, '-' counts 1."""
    total = 0
    for ch in line[:68]:
        if "0" <= ch <= "9":
            total += ord(ch) - 48
        elif ch == "-":
            total += 1
    return total % 10


def _text_lines(source: Source) -> Iterable[str]:
    if isinstance(source, str) and ("\n" in source or "\r" in source):
        return io.StringIO(source).read().splitlines()
    if isinstance(source, (str, os.PathLike)):
        with open(source, "rb") as f:
            data = f.read()
        return _decode(data, os.fspath(source)).splitlines()
    data = source.read()
    if isinstance(data, bytes):
        return _decode(data, getattr(source, "name", "<file>")).splitlines()
    return data.splitlines()


def _decode(data: bytes, name: str) -> str:
    if data[:2] == b"\x1f\x8b":
        try:
            data = gzip.decompress(data)
        except (OSError, EOFError, zlib.error) as exc:
            raise ValueError(f"{name}: damaged gzip data ({exc})") from None
    try:
        return data.decode("ascii")
    except UnicodeDecodeError as exc:
        # Element sets are ASCII; a name line may still carry Latin-1 or UTF-8.
        try:
            return data.decode("utf-8")
        except UnicodeDecodeError:
            raise ValueError(f"{name}: not a text file (byte {exc.start} is {data[exc.start]:#04x})") from None


def _problems(n1: int, line1: str, n2: int, line2: str) -> list[tuple[int, str]]:
    found = []
    for n, line, number in ((n1, line1, 1), (n2, line2, 2)):
        if len(line) < 69:
            found.append((n, f"line {number} has {len(line)} columns, 69 expected"))
        elif not line[68].isdigit():
            found.append((n, f"no checksum digit in column 69 (found {line[68]!r})"))
        elif "\x00" in line[:69]:
            found.append((n, f"a NUL character in column {line.index(chr(0)) + 1}"))
        elif int(line[68]) != checksum(line):
            found.append((n, f"checksum {line[68]} in column 69, the line sums to {checksum(line)}"))
        for what, start, stop, pattern in _FIELD_PATTERNS[number]:
            if not pattern.fullmatch(line[start:stop]):
                found.append((n, f"{what} in columns {start + 1}-{stop} does not read as a number in this format: {line[start:stop]!r}"))
    if line1[2:7] != line2[2:7]:
        found.append((n2, f"line 2 is of satellite {line2[2:7].strip()!r}, line 1 of {line1[2:7].strip()!r}"))
    return found


def _columns(lines: list[str]) -> np.ndarray:
    """The first 69 columns of the lines as an (n, 69) array of code points;
    columns past a short line's end hold 0."""
    if not lines:
        return np.zeros((0, 69), dtype=np.uint32)
    return np.array(lines, dtype="<U69").view(np.uint32).reshape(len(lines), 69)


def _suspect(c: np.ndarray, number: int) -> np.ndarray:
    """Rows of the column array `c` whose checksum or field formats fail: a
    vectorised screen, so a large catalogue is checked at numpy speed and only
    the few bad rows get the detailed, per-line diagnosis of `_problems`."""
    digit = (c >= 48) & (c <= 57)
    total = np.where(digit, c.astype(np.int64) - 48, 0) + (c == 45)
    bad = ~digit[:, 68] | (total[:, :68].sum(axis=1) % 10 != c[:, 68].astype(np.int64) - 48)
    # A NUL ends the line for TLE (it copies as strncpy does) but counts zero in
    # the checksum; short lines are already caught by column 69.
    bad |= (c == 0).any(axis=1)
    for _, start, form in _FIELDS[number]:
        for k, cls in enumerate(form):
            if cls == "D":
                bad |= ~digit[:, start + k]
            elif cls == "S":
                bad |= ~(digit[:, start + k] | (c[:, start + k] == 32))
            else:
                bad |= c[:, start + k] != 46
    return bad


def _records(source: Source, verify: bool) -> list[tuple[str | None, str, str]]:
    """(name, line 1, line 2) of every element set, verified unless told not to."""
    records: list[tuple[str | None, str, str]] = []
    numbers: list[tuple[int, int]] = []  # line numbers of each record's two lines
    problems: list[tuple[int, str]] = []
    name: str | None = None
    pending = 0  # line number of a line 1 waiting for its line 2
    line1 = ""
    # An OMM file (JSON, CSV, XML) is recognised by its content and read as the
    # three-line text of its records.
    for number, line in enumerate(omm.expand(_text_lines(source), source), start=1):
        head = line[:2]
        if head == "1 " and len(line) > 60:
            if pending:
                problems.append((pending, "line 1 without a line 2 after it"))
            pending, line1 = number, line
        elif head == "2 " and len(line) > 60:
            if not pending:
                problems.append((number, "line 2 without a line 1 before it"))
                continue
            # Blanks after column 69 are cut by TLE itself; short lines are padded.
            records.append((name, line1, line))
            numbers.append((pending, number))
            pending, name = 0, None
        else:
            text = line.strip()
            if not text:
                continue
            if pending:
                problems.append((pending, "line 1 without a line 2 after it"))
                pending = 0
            name = text[2:].strip() if text.startswith("0 ") else text
    if pending:
        problems.append((pending, "line 1 without a line 2 after it"))
    if verify and records:
        c1 = _columns([r[1] for r in records])
        c2 = _columns([r[2] for r in records])
        suspect = _suspect(c1, 1) | _suspect(c2, 2) | np.any(c1[:, 2:7] != c2[:, 2:7], axis=1)
        for k in np.flatnonzero(suspect):
            name, line1, line2 = records[k]
            problems.extend(_problems(numbers[k][0], line1.rstrip(), numbers[k][1], line2.rstrip()))
        problems.sort()
    if problems and verify:
        shown = "\n".join(f"  line {n}: {what}" for n, what in problems[:_MAX_REPORTED])
        more = f"\n  ... and {len(problems) - _MAX_REPORTED} more" if len(problems) > _MAX_REPORTED else ""
        raise ValueError(f"{len(problems)} problem(s) in the element sets:\n{shown}{more}")
    return records


def read_tles(source: Source, verify: bool = True) -> Iterator[tuple[str | None, TLE]]:
    """Yield ``(name, TLE)`` for every element set of `source`.

    `source` is a path, a file object (text or binary, gzip-compressed or not)
    or the text itself (a str holding line breaks). `name` is the name line
    before the pair (without a leading "0 "), or None in a two-line file.
    With `verify` (the default), a file with bad checksums, fields that do not
    hold numbers, or broken pairs raises ValueError listing up to ten
    offending line numbers; nothing is yielded from such a file.
    """
    for name, line1, line2 in _records(source, verify):
        yield name, TLE(line1, line2)


def load_catalog(source: Source, verify: bool = True) -> dict[int, ELSET]:
    """Group the element sets of `source` by satellite number, one `ELSET` each.

    Each collection is named from the last name line seen for that satellite.
    Element sets whose satellite number is not an integer (the five-character
    alphanumeric numbers) cannot form an `ELSET`: they are left out with a
    warning that names them.
    """
    # Grouped on the number's text (as TLE.satno reads it), so the text is
    # turned into an int once per satellite, not once per set; then the texts
    # of one number ("00005", "    5") are merged, or all but one of them
    # would be dropped.
    groups: dict[str, list[TLE]] = {}
    names: dict[str, tuple[int, str]] = {}  # the last name line of each text, with its place
    for place, (name, line1, line2) in enumerate(_records(source, verify)):
        key = line1[2:7].strip()
        members = groups.get(key)
        if members is None:
            members = groups[key] = []
        members.append(TLE(line1, line2))
        if name:
            names[key] = (place, name)
    merged: dict[int, list[TLE]] = {}
    named: dict[int, tuple[int, str]] = {}
    skipped: list[str] = []
    for key, members in groups.items():
        try:
            satno = int(key)
        except ValueError:
            skipped.append(key)
            continue
        merged.setdefault(satno, []).extend(members)
        if key in names and names[key] > named.get(satno, (-1, "")):
            named[satno] = names[key]
    catalog: dict[int, ELSET] = {
        satno: ELSET(*members, satname=named[satno][1] if satno in named else None)
        for satno, members in merged.items()
    }
    if skipped:
        warnings.warn(
            f"{sum(len(groups[k]) for k in skipped)} element set(s) with non-integer satellite numbers left out: "
            + ", ".join(sorted(skipped)[:_MAX_REPORTED])
            + (" ..." if len(skipped) > _MAX_REPORTED else ""),
            stacklevel=2,
        )
    return catalog
