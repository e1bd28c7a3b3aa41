"""Reading element-set catalogue files.

Catalogue services hand out two-line files (line 1, line 2, line 1, ...) and
three-line files (a name line before each pair, with or without a leading
"0 "), sometimes gzip-compressed, with CRLF line ends, blank lines and
trailing blanks, and OMM files in JSON, CSV and XML (`velmar.omm`).
`read_tles` reads all of these; `load_catalog` groups the
element sets by satellite into one `ELSET` each.

By default every pair is verified: the checksum in column 69 of both lines,
the line numbers, the column format of every field velmar reads, and that
line 2 follows line 1 of the same satellite. A line that starts like an
element line ("1 " or "2 " and a satellite-number field) is one whatever its
length, so a line cut short is reported, never taken for a name. A bad file
raises ValueError listing up to ten offending lines with what is wrong with
each; `verify=False` reads whatever parses. A source without a single element
set raises ValueError "SOURCE holds no element sets" either way.

Element lines are ASCII. Name lines are read as UTF-8, or as Latin-1 when they
are not UTF-8; a UTF-8 byte-order mark at the start is skipped.

Sources are read as a stream, a chunk at a time, so memory does not grow with
the size of the file beyond what is read from it; a line running past 1 MiB
(a binary file, a stream without line breaks) is refused. A gzip source whose text
would be more than 100 times its compressed size, once past the first 64 MiB,
is refused as damaged or not a catalogue: catalogue text compresses about
five to one.
"""

from __future__ import annotations

import contextlib
import gzip
import os
import re
import warnings
import zlib
from collections.abc import Callable, Iterator
from typing import IO, Literal, NamedTuple, Union

from velmar import omm
from velmar.propagators.analytical.sgp4.tle import ELSET, TLE, _scan_catalog

Source = Union[str, "os.PathLike[str]", IO[str], IO[bytes]]

__all__ = ["read_tles", "load_catalog", "checksum", "Source"]

_MAX_REPORTED = 10
_CHUNK = 1 << 20
# How much of a source is looked at to tell an OMM file from element lines.
_OMM_HEAD = 1 << 16
_GZIP_FLOOR = 64 << 20
_GZIP_RATIO = 100
_BOM = b"\xef\xbb\xbf"

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
_CLASS_PATTERN = {"D": r"[0-9]", "S": r"[ 0-9]", ".": r"\."}
_FIELD_PATTERNS = {
    number: [
        (what, start, start + len(form), re.compile("".join(_CLASS_PATTERN[c] for c in form)))
        for what, start, form in fields
    ]
    for number, fields in _FIELDS.items()
}


def _mask(number: int) -> bytes:
    columns = bytearray(b" " * 69)
    for _, start, form in _FIELDS[number]:
        columns[start : start + len(form)] = form.encode()
    return bytes(columns)


# The same table as the native pass's column screen, so that every pair the
# screen flags gets at least one line of diagnosis from `_problems`.
_MASKS = (_mask(1), _mask(2))

_STRUCTURE = {
    1: "line 1 without a line 2 after it",
    2: "line 2 without a line 1 before it",
    3: "a name line without an element set after it (is the file cut short?)",
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


# --- the bytes of a source ------------------------------------------------------


class _Stream:
    """The bytes of a source, a chunk at a time, with a look at its start."""

    def __init__(self, read: Callable[[], bytes], name: str):
        self._read = read
        self._head = b""
        self.name = name

    def peek(self, size: int) -> bytes:
        """The first `size` bytes not yet read (fewer at the end of the stream)."""
        while len(self._head) < size:
            more = self._read()
            if not more:
                break
            self._head += more
        return self._head[:size]

    def skip(self, size: int) -> None:
        self.peek(size)
        self._head = self._head[size:]

    def read(self) -> bytes:
        """The next chunk; b"" at the end."""
        if self._head:
            data, self._head = self._head, b""
            return data
        return self._read()


class _Compressed:
    """A stream as the file object gzip reads, counting what it hands over."""

    def __init__(self, stream: _Stream):
        self._stream = stream
        self._rest = memoryview(b"")
        self.size = 0

    def read(self, size: int = -1) -> bytes:
        if not self._rest:
            self._rest = memoryview(self._stream.read())
        if size < 0:
            size = len(self._rest)
        data = bytes(self._rest[:size])
        self._rest = self._rest[size:]
        self.size += len(data)
        return data


def _gunzipped(stream: _Stream) -> _Stream:
    compressed = _Compressed(stream)
    unpacked = gzip.GzipFile(fileobj=compressed, mode="rb")  # type: ignore[arg-type, call-overload]
    total = 0

    def read() -> bytes:
        nonlocal total
        try:
            data = unpacked.read(_CHUNK)
        except (OSError, EOFError, zlib.error) as exc:
            raise ValueError(f"{stream.name}: damaged gzip data ({exc})") from None
        total += len(data)
        if total > _GZIP_FLOOR and total > _GZIP_RATIO * compressed.size:
            raise ValueError(
                f"{stream.name}: the gzip data expands more than {_GZIP_RATIO} times "
                f"(past {_GZIP_FLOOR >> 20} MiB); refused as damaged or not a catalogue"
            )
        return data

    return _Stream(read, stream.name)


def _encoded(text: str) -> bytes:
    # A text file opened with errors="surrogateescape" gives its undecodable
    # bytes back this way; any other lone surrogate passes as it is.
    try:
        return text.encode("utf-8", "surrogateescape")
    except UnicodeEncodeError:
        return text.encode("utf-8", "surrogatepass")


def _open(source: Source, stack: contextlib.ExitStack) -> _Stream:
    if isinstance(source, str) and ("\n" in source or "\r" in source):
        chunks = iter((_encoded(source),))
        stream = _Stream(lambda: next(chunks, b""), "<text>")
    elif isinstance(source, (str, os.PathLike)):
        f = stack.enter_context(open(source, "rb", buffering=0))
        stream = _Stream(lambda: f.read(_CHUNK) or b"", os.fspath(source))
    else:

        def read() -> bytes:
            data = source.read(_CHUNK)
            if isinstance(data, str):
                return _encoded(data)
            return bytes(data) if data else b""

        stream = _Stream(read, str(getattr(source, "name", "<file>")))
    if stream.peek(2) == b"\x1f\x8b":
        stream = _gunzipped(stream)
    if stream.peek(3) == _BOM:
        stream.skip(3)
    return stream


def _element_text(stream: _Stream) -> Callable[[], bytes]:
    """What the native pass reads from `stream`: two- or three-line text, a
    chunk at a time. This is the one place where the content of a source
    decides how it is read; two- and three-line text goes through as it is.
    An OMM file (JSON, CSV, XML) is read whole, as its parsers need, and
    becomes the three-line text of its records."""
    if not omm.announced(stream.peek(_OMM_HEAD).decode("utf-8", errors="replace")):
        return stream.read
    data = b"".join(iter(stream.read, b""))
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError:
        text = data.decode("latin-1")
    lines = list(omm.expand(text.splitlines(), stream.name))
    converted = ("\n".join(lines) + "\n").encode("utf-8") if lines else b""
    chunks = iter((converted,))
    return lambda: next(chunks, b"")


# --- reading and verifying --------------------------------------------------------


def _problems(n1: int, line1: str, n2: int, line2: str) -> list[tuple[int, str]]:
    found = []
    for n, line, number in ((n1, line1, 1), (n2, line2, 2)):
        if len(line) < 69:
            found.append((n, f"line {number} has {len(line)} columns, 69 expected"))
        elif not "0" <= line[68] <= "9":
            found.append((n, f"no checksum digit in column 69 (found {line[68]!r})"))
        elif "\x00" in line[:69]:
            found.append((n, f"a NUL character in column {line.index(chr(0)) + 1}"))
        elif int(line[68]) != checksum(line):
            found.append((n, f"checksum {line[68]} in column 69, the line sums to {checksum(line)}"))
        wide = next((k for k, ch in enumerate(line[:69]) if ch > "\x7f"), None)
        if wide is not None:
            found.append((n, f"a non-ASCII byte {ord(line[wide]):#04x} in column {wide + 1} (element lines are ASCII)"))
        for what, start, stop, pattern in _FIELD_PATTERNS[number]:
            if not pattern.fullmatch(line[start:stop]):
                found.append(
                    (
                        n,
                        f"{what} in columns {start + 1}-{stop} does not read as a number in this format: {line[start:stop]!r}",
                    )
                )
    if line1[2:7] != line2[2:7]:
        found.append((n2, f"line 2 is of satellite {line2[2:7].strip()!r}, line 1 of {line1[2:7].strip()!r}"))
    return found


def _refuse(name: str, structure: list[tuple[int, int]], flagged: list[tuple[int, bytes, int, bytes]]) -> None:
    problems = [(n, _STRUCTURE[code]) for n, code in structure]
    for n1, line1, n2, line2 in flagged:
        # Latin-1 keeps one character per byte, so columns stay byte columns.
        found = _problems(n1, line1.decode("latin-1").rstrip(), n2, line2.decode("latin-1").rstrip())
        problems.extend(found or [(n1, "the pair does not pass the column check")])
    problems.sort()
    shown = "\n".join(f"  line {n}: {what}" for n, what in problems[:_MAX_REPORTED])
    more = f"\n  ... and {len(problems) - _MAX_REPORTED} more" if len(problems) > _MAX_REPORTED else ""
    raise ValueError(f"{len(problems)} problem(s) in the element sets of {name}:\n{shown}{more}")


def _scan(source: Source, verify: bool, group: bool, drop_duplicates: bool = False) -> tuple[list, int]:
    """The native pass over `source`: its sets (or groups) and the number of duplicates dropped."""
    with contextlib.ExitStack() as stack:
        stream = _open(source, stack)
        sets, structure, flagged, element_lines, pairs, dropped = _scan_catalog(
            _element_text(stream), _MASKS, verify, group, drop_duplicates
        )
    if verify and element_lines and (structure or flagged):
        _refuse(stream.name, structure, flagged)
    if not pairs:
        raise ValueError(f"{stream.name} holds no element sets")
    return sets, dropped


def read_tles(source: Source, verify: bool = True) -> Iterator[tuple[str | None, TLE]]:
    """Yield ``(name, TLE)`` for every element set of `source`, in file order.

    `source` is a path, a file object (text or binary, gzip-compressed or not)
    or the text itself (a str holding line breaks). `name` is the name line
    before the pair (without a leading "0 "), or None in a two-line file.
    With `verify` (the default), a file with bad checksums, fields that do not
    hold numbers, lines cut short, or broken pairs raises ValueError listing
    up to ten offending line numbers; nothing is yielded from such a file.
    Sets with alphanumeric satellite numbers are yielded like any other.
    """
    sets, _ = _scan(source, verify, group=False)
    yield from sets


class _Loaded(NamedTuple):
    catalog: dict[int, ELSET]
    left_out: dict[str, int]  # alphanumeric satellite number -> sets left out
    duplicates: int  # exact duplicate sets not kept


def _load_catalog(source: Source, verify: bool, duplicates: str) -> _Loaded:
    if duplicates not in ("drop", "keep"):
        raise ValueError(f"duplicates must be 'drop' or 'keep', not {duplicates!r}")
    groups, dropped = _scan(source, verify, group=True, drop_duplicates=duplicates == "drop")
    catalog: dict[int, ELSET] = {}
    left_out: dict[str, int] = {}
    for key, name, members in groups:
        if isinstance(key, int):
            catalog[key] = members  # the pass has made it an ELSET
        else:
            left_out[key] = len(members)
    return _Loaded(catalog, left_out, dropped)


def _describe_left_out(left_out: dict[str, int]) -> str:
    """One line naming the sets `load_catalog` leaves out for their alphanumeric numbers."""
    shown = ", ".join(sorted(left_out)[:_MAX_REPORTED]) + (" ..." if len(left_out) > _MAX_REPORTED else "")
    return (
        f"{sum(left_out.values())} element set(s) with alphanumeric satellite numbers left out "
        f"(an ELSET needs an integer number): {shown}"
    )


def load_catalog(source: Source, verify: bool = True, duplicates: Literal["drop", "keep"] = "drop") -> dict[int, ELSET]:
    """Group the element sets of `source` by satellite number, one `ELSET` each.

    `source` and `verify` are as for `read_tles`. Sets are grouped by the
    integer satellite number, so ``00005`` and ``    5`` are one satellite;
    the catalogue keeps the order in which the satellites first appear. Each
    collection is named from the last name line seen for that satellite.

    Exact duplicates (the same two lines, as when two downloads are joined)
    are kept once with ``duplicates="drop"`` (the default), all of them with
    ``duplicates="keep"``. Element sets whose satellite number is not an
    integer (the five-character alphanumeric numbers) cannot form an `ELSET`:
    they are left out with a warning that names them (`read_tles` yields them).
    """
    loaded = _load_catalog(source, verify, duplicates)
    if loaded.left_out:
        warnings.warn(_describe_left_out(loaded.left_out), stacklevel=2)
    return loaded.catalog
