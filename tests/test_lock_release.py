"""Long native loops let go of the interpreter lock, and Ctrl-C still stops them.

With a switch interval of 1,000 s the interpreter never takes the lock away
from a running thread, so a second thread runs Python code during a call only
where that call's native loop has let go of the lock: no clock is read.
"""

import sys
import threading

import numpy as np
import pytest
from conftest import assert_child_ok

from velmar.io import read_tles
from velmar.time.time import Time

N = 1_000_000
SAMPLE_SET = (
    "1 25544U 98067A   08264.51782528 -.00002182  00000-0 -11606-4 0  2927",
    "2 25544  51.6416 247.4627 0006703 130.5360 325.0288 15.72125391563537",
)


def runs_beside(call):
    """True when another thread ran Python code while `call()` was inside native code."""
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1000.0)
    try:
        # On a busy machine the other thread may not be scheduled during one
        # call of a few milliseconds; a loop that keeps the lock fails every attempt.
        for _ in range(30):
            go, calling, seen = threading.Event(), [False], []

            def beside(go=go, calling=calling, seen=seen):
                go.wait()
                seen.append(calling[0])

            other = threading.Thread(target=beside)
            other.start()
            calling[0] = True
            go.set()
            call()
            calling[0] = False
            other.join()
            if seen[0]:
                return True
        return False
    finally:
        sys.setswitchinterval(interval)


@pytest.fixture(scope="module")
def inputs():
    # Made here: numpy itself lets go of the lock in its long loops.
    ns = np.arange(N, dtype=np.int64) * 3_600_123_456_789 - 10**18
    t, e = Time._from_int64(ns, "utc"), Time._from_int64(ns[::-1].copy(), "tai")
    _ = t[:1].jd  # the leap-second table is read (its files opened) beforehand
    return {
        "t": t,
        "e": e,
        "short": t[:200_000],
        "seconds": np.linspace(-1e6, 1e6, N),
        "jd": np.linspace(2.4e6, 2.5e6, N),
        "dt64": np.arange(N).astype("M8[s]"),
    }


CALLS = {
    "jd": lambda v: v["t"].jd,
    "mjd on tai": lambda v: v["e"].mjd,
    "iso": lambda v: v["short"].iso,
    "datetime64": lambda v: v["t"].datetime64,
    "difference": lambda v: v["t"] - v["e"],
    "shift by an array": lambda v: v["t"] + v["seconds"],
    "comparison": lambda v: v["t"] < v["e"],
    "from julian dates": lambda v: Time(v["jd"], format="jd"),
    "from datetime64": lambda v: Time(v["dt64"]),
}


# Either side of the block boundaries, where the loop lets go of the lock and takes it back.
PICKED = np.array([0, 1, 65_535, 65_536, 65_537, 131_071, 131_072, 199_999])


def values(result):
    return np.asarray(getattr(result, "int64", result))


@pytest.mark.parametrize("name", CALLS)
def test_time_conversions_let_other_threads_run(inputs, name):
    results = []
    assert runs_beside(lambda: results.append(CALLS[name](inputs)))
    # The blocks give what the same conversion of the single epochs gives
    # (short arrays run in one block, the lock held).
    single = CALLS[name]({key: value[PICKED] for key, value in inputs.items()})
    assert np.array_equal(values(results[0])[PICKED], values(single))


def test_short_arrays_keep_the_lock(inputs):
    # A hand-over costs more than it gains below a few thousand epochs.
    short = {"t": inputs["t"][:1000]}
    assert not runs_beside(lambda: CALLS["jd"](short))


def test_catalogue_screen_lets_other_threads_run():
    # 90,000 lines in one chunk: screened in two runs of at most 65,536 lines,
    # the second starting between a pair's lines and inside a CR LF.
    text = "\r\n".join(["ISS (ZARYA)", *SAMPLE_SET] * 30_000) + "\r\n"
    sets = []
    assert runs_beside(lambda: sets.append(list(read_tles(text))))
    assert len(sets[-1]) == 30_000
    assert {(name, tle.line1, tle.line2) for name, tle in sets[-1]} == {("ISS (ZARYA)", *SAMPLE_SET)}


def test_ctrl_c_stops_a_long_time_conversion():
    # The other thread runs only while the main thread is inside the
    # conversion, and sends SIGINT from there; `got` stays None only if the
    # conversion itself stopped (a signal handled after it returned would
    # raise only after the assignment).
    out = assert_child_ok("""
import os, signal, sys, threading
import numpy as np
from velmar.time.time import Time
t = Time._from_int64(np.arange(8_000_000, dtype=np.int64) * 10**9, "utc")
t[:1].jd  # the leap-second table is read (its files opened) beforehand
sys.setswitchinterval(1000.0)
for attempt in range(20):
    go, calling, sent = threading.Event(), [False], []
    def interrupt():
        go.wait()
        if calling[0]:
            sent.append(True)
            os.kill(os.getpid(), signal.SIGINT)
    other = threading.Thread(target=interrupt)
    other.start()
    got = None
    try:
        calling[0] = True
        go.set()
        got = t.jd
        calling[0] = False
    except KeyboardInterrupt:
        calling[0] = False
        print("interrupted", got is None)
    other.join()
    if sent:
        break
""")
    assert out.split() == ["interrupted", "True"]
