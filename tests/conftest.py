import os
import pathlib

import pytest
from hypothesis import settings

# Real element sets the tests read; tests/data/README.md names their source and licence.
DATA = pathlib.Path(__file__).resolve().parent / "data"

# `--fuzz-long` (or VELMAR_FUZZ_LONG=1) runs the fuzz, leak and thread tests
# for minutes instead of seconds: tests/test_fuzz.py and its neighbours read
# the environment variable, which the option sets, when their module is
# imported; tests that leave max_examples to the profile get a larger one too.
FUZZ_LONG = "VELMAR_FUZZ_LONG"
# Set by scripts/sanitize.sh while the suite runs under ASan and UBSan.
SANITIZED = "VELMAR_SANITIZED"


def _flag(name):
    return os.environ.get(name, "").strip().lower() not in ("", "0", "no", "false")


def pytest_addoption(parser):
    parser.addoption(
        "--fuzz-long",
        action="store_true",
        default=False,
        help="run the fuzz, leak and thread tests for minutes (also: VELMAR_FUZZ_LONG=1)",
    )


def pytest_configure(config):
    if config.getoption("--fuzz-long"):
        os.environ[FUZZ_LONG] = "1"
    # Instrumented code runs several times slower: no deadline there.
    settings.register_profile("velmar-sanitized", deadline=None)
    settings.register_profile("velmar-long", max_examples=2000, deadline=None)
    if _flag(FUZZ_LONG):
        settings.load_profile("velmar-long")
    elif _flag(SANITIZED):
        settings.load_profile("velmar-sanitized")


def pytest_collection_modifyitems(config, items):
    if not _flag(SANITIZED):
        return
    # Under the sanitizer Python's own allocator is switched off
    # (PYTHONMALLOC=malloc), so free lists and quarantined blocks make
    # tracemalloc and the resident size drift by tens of kilobytes: memory
    # growth is measured in the normal build only.
    skip = pytest.mark.skip(reason="memory growth is measured without the sanitizer")
    for item in items:
        module = getattr(item, "module", None)
        if "leak" in item.name or getattr(module, "__name__", "") == "test_leaks":
            item.add_marker(skip)


@pytest.fixture(scope="session")
def spot5_path():
    """Path of the 250 real SPOT 5 element sets (epochs 2002-05-04 to 2002-06-24)."""
    return DATA / "spot-5.tle"


@pytest.fixture(scope="session")
def spot5_lines(spot5_path):
    lines = [line.rstrip("\n") for line in spot5_path.read_text().splitlines() if line.strip()]
    return list(zip(lines[0::2], lines[1::2]))


def run_child(code, timeout=120):
    """Run `code` in a fresh interpreter and return its CompletedProcess.

    Reproducers of crashes run here, so that a segmentation fault or a
    sanitizer report fails the one test that provoked it, not the whole run.
    The child inherits the environment, so under scripts/sanitize.sh it is
    instrumented as well.
    """
    import subprocess
    import sys

    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=timeout)


def assert_child_ok(code, timeout=120):
    """Run `code` in a child interpreter; fail with its stderr unless it exits 0. Returns its stdout."""
    result = run_child(code, timeout)
    assert result.returncode == 0, f"child exited with {result.returncode}:\n{result.stderr[-4000:]}"
    return result.stdout


# The class attributes where EOP keeps the interpolators it builds on first use.
EOP_SLOTS = [
    "_pm_x_spline",
    "_pm_y_spline",
    "_lod_spline",
    "_dX_spline",
    "_dY_spline",
    "_dat_interpolator",
    "_TAI_UT1_interpolator",
    "_dat_mjd_ut1_interpolator",
    "_TAI_UT1_mjd_ut1_interpolator",
]


@pytest.fixture
def eop_slots():
    """Puts EOP's interpolators back after a test that empties or replaces them."""
    from velmar.iers.eop import EOP

    saved = {name: getattr(EOP, name) for name in EOP_SLOTS}
    yield
    for name, value in saved.items():
        setattr(EOP, name, value)
