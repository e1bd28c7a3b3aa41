"""The README's Python examples run as pasted, from the root of a clone, and print what it shows."""

import pathlib
import re
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[1]
README = (ROOT / "README.md").read_text(encoding="utf-8")
FENCES = [
    (m.group(1), m.group(2), README.count("\n", 0, m.start()) + 1)
    for m in re.finditer(r"^```(\w*)\n(.*?)^```$", README, re.M | re.S)
]


def shown(i):
    """What the README shows the Python block FENCES[i] prints: the text block right after a block that prints."""
    if "print(" in FENCES[i][1] and i + 1 < len(FENCES) and FENCES[i + 1][0] == "text":
        return FENCES[i + 1][1]
    return None


EXAMPLES = [
    pytest.param(code, shown(i), id=f"README.md:{line}")
    for i, (kind, code, line) in enumerate(FENCES)
    if kind == "python"
]


@pytest.mark.parametrize(("code", "printed"), EXAMPLES)
def test_readme_example(code, printed):
    # A child interpreter in the clone's root, where the examples' paths lead.
    result = subprocess.run([sys.executable, "-c", code], cwd=ROOT, capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr[-4000:]
    if printed is not None:
        assert result.stdout.rstrip() == printed.rstrip()
