import pathlib

import pytest

DATA = pathlib.Path(__file__).resolve().parents[1].parent / "shared" / "data"


@pytest.fixture(scope="session")
def spot5_path():
    """Path of the 250 real SPOT 5 element sets, or skip when the data folder is absent."""
    path = DATA / "spot-5.tle"
    if not path.exists():
        pytest.skip(f"reference data not found at {path} (the shared data folder is not beside this clone)")
    return path


@pytest.fixture(scope="session")
def spot5_lines(spot5_path):
    lines = [line.rstrip("\n") for line in spot5_path.read_text().splitlines() if line.strip()]
    return list(zip(lines[0::2], lines[1::2]))
