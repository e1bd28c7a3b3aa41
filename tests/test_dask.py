"""velmar.dask and `velmar archive`: a generated month of daily catalogue files on a
two-worker LocalCluster of processes, against the same jobs done in one process."""

from __future__ import annotations

import gzip
import io
import math
import os
import signal
import threading
import time

import numpy as np
import pytest

pytest.importorskip("distributed")
pytest.importorskip("pyarrow")

import dask  # noqa: E402
import distributed  # noqa: E402
import pandas as pd  # noqa: E402
from sgp4.api import WGS72, Satrec  # noqa: E402

import velmar.dask as vd  # noqa: E402
from velmar import cli  # noqa: E402
from velmar.io import checksum, load_catalog, read_tles  # noqa: E402
from velmar.propagators.analytical.sgp4.sgp4 import SGP4  # noqa: E402
from velmar.time.time import Time  # noqa: E402

SATELLITES = range(10001, 10301)
DAYS = 30
YEAR = 2024


def _base_pairs():
    """The real element sets of the built-in sample, as (line1, line2)."""
    lines = [line for line in cli.sample_path().read_text().splitlines() if line.strip()]
    return [(lines[k + 1], lines[k + 2]) for k in range(0, len(lines), 3)]


def _signed(line: str) -> str:
    return line[:68] + str(checksum(line))


def _element_set(base, satno: int, day: float, mean_anomaly: float):
    """A real set given another number, epoch (day of YEAR, from 1) and mean anomaly."""
    line1, line2 = base
    epoch = f"{YEAR % 100:02d}{day:012.8f}"
    line1 = _signed(f"{line1[:2]}{satno:05d}{line1[7:18]}{epoch}{line1[32:]}")
    line2 = _signed(f"{line2[:2]}{satno:05d}{line2[7:43]}{mean_anomaly:8.4f}{line2[51:]}")
    return line1, line2


def _history(satno: int):
    """Set epochs of one satellite: a new set every 1 to 4 days; some appear late, some vanish."""
    period = 1 + satno % 4
    first = 10 if satno % 10 == 3 else 0
    last = 20 if satno % 10 == 7 else DAYS
    fraction = round((satno * 0.6180339887) % 1.0, 8)
    return [day + 1 + fraction for day in range(first, last, period)]


def _daily_sets(day: int, bases):
    """What file `day` (0-based) holds: the newest set of every satellite alive that day."""
    out = []
    for satno in SATELLITES:
        known = [d for d in _history(satno) if d < day + 2]
        if not known or (satno % 10 == 7 and day >= 20):
            continue
        d = known[-1]
        out.append((f"SAT {satno}", *_element_set(bases[satno % len(bases)], satno, d, (satno * 7.3 + d) % 360.0)))
    return out


def _write_day(folder, day: int, bases) -> str:
    sets = _daily_sets(day, bases)
    kind = day % 4  # two-line, three-line, three-line CRLF, three-line gzip
    lines = [line for name, l1, l2 in sets for line in ((l1, l2) if kind == 0 else (f"0 {name}", l1, l2))]
    text = ("\r\n" if kind == 2 else "\n").join(lines) + "\n"
    path = os.path.join(folder, f"{YEAR}-01-{day + 1:02d}.{'tle.gz' if kind == 3 else 'tle'}")
    data = text.encode()
    with open(path, "wb") as f:
        f.write(gzip.compress(data) if kind == 3 else data)
    return path


@pytest.fixture(scope="module")
def archive(tmp_path_factory):
    folder = tmp_path_factory.mktemp("archive")
    bases = _base_pairs()
    return [_write_day(str(folder), day, bases) for day in range(DAYS)]


@pytest.fixture(scope="module")
def client():
    with (
        distributed.LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0", silence_logs=50
        ) as cluster,
        distributed.Client(cluster) as c,
    ):
        yield c


def _all_text(files) -> bytes:
    out = []
    for path in files:
        with open(path, "rb") as f:
            data = f.read()
        out.append(gzip.decompress(data) if data[:2] == b"\x1f\x8b" else data)
    return b"".join(out)


@pytest.fixture(scope="module")
def reference(archive):
    """The single-process results: every file read in turn, and one catalogue of them all."""
    sets = [(name, tle) for path in archive for name, tle in read_tles(path)]
    catalog = load_catalog(io.BytesIO(_all_text(archive)))
    return sets, catalog


GRID = np.datetime64(f"{YEAR}-01-03T00:00:00", "ns") + np.arange(0, 29 * 86400, 7200) * np.timedelta64(1, "s")


def _by_order(frame):
    return frame.sort_values("order", kind="stable").reset_index(drop=True)


class TestPartitions:
    def _records(self, crlf: bool, names: bool) -> list[bytes]:
        """Element sets as text, each with what precedes it (a blank line, its name line)."""
        bases = _base_pairs()
        end = "\r\n" if crlf else "\n"
        records = []
        for k in range(4):
            l1, l2 = _element_set(bases[k % len(bases)], 20000 + k, 10.5 + k, 12.0 * k)
            lines = ([""] if k == 2 else []) + ([f"0 NAME {k}"] if names else []) + [l1, l2]
            records.append("".join(line + end for line in lines).encode())
        return records

    @pytest.mark.parametrize("crlf, names", [(False, False), (False, True), (True, True)])
    def test_a_cut_anywhere_loses_and_duplicates_nothing(self, tmp_path, crlf, names):
        # A boundary at every byte: inside name lines, line 1, line 2, the CR of a CRLF, a blank line.
        records = self._records(crlf, names)
        data = b"".join(records)
        path = tmp_path / "cut.tle"
        path.write_bytes(data)
        size = len(data)
        ends = [0, *np.cumsum([len(r) for r in records]).tolist()]
        with open(path, "rb") as f:
            cuts = [vd._cut(f, x, size) for x in range(size + 1)]
        # The boundary moves to the end of the first set whose line 2 ends at or after it.
        assert cuts == [min(e for e in ends if e >= x) for x in range(size + 1)]
        whole = [(name, t.line1, t.line2) for name, t in read_tles(str(path))]
        for x in ends:
            pieces = [vd._read_partition(vd.Partition(0, str(path), a, b, size, False)) for a, b in ((0, x), (x, size))]
            got = pd.concat(pieces)
            assert (
                list(zip(got["name"].astype(object).where(got["name"].notna(), None), got["line1"], got["line2"]))
                == whole
            ), x
            assert got["order"].is_monotonic_increasing and got["order"].is_unique

    def test_gzip_and_omm_files_are_one_partition(self, tmp_path):
        data = b"".join(self._records(False, True))
        gz = tmp_path / "a.tle.gz"
        gz.write_bytes(gzip.compress(data))
        parts = vd.partitions([str(gz)], blocksize=100)
        assert len(parts) == 1 and parts[0].whole
        records = [
            {
                "OBJECT_NAME": f"N{k}",
                "NORAD_CAT_ID": 20000 + k,
                "EPOCH": f"2024-01-{10 + k}T12:00:00.000000",
                "MEAN_MOTION": 15.5,
                "ECCENTRICITY": 0.001,
                "INCLINATION": 51.6,
                "RA_OF_ASC_NODE": 10.0,
                "ARG_OF_PERICENTER": 20.0,
                "MEAN_ANOMALY": 30.0,
                "EPHEMERIS_TYPE": 0,
                "CLASSIFICATION_TYPE": "U",
                "OBJECT_ID": "2024-001A",
                "ELEMENT_SET_NO": 999,
                "REV_AT_EPOCH": 1,
                "BSTAR": 0.0,
                "MEAN_MOTION_DOT": 0.0,
                "MEAN_MOTION_DDOT": 0.0,
            }
            for k in range(5)
        ]
        import json

        omm_path = tmp_path / "a.json"
        omm_path.write_text(json.dumps(records))
        expected = [t.line1 for _, t in read_tles(str(omm_path))]
        parts = vd.partitions([str(omm_path)], blocksize=64)
        got = pd.concat([vd._read_partition(p) for p in parts])
        assert len(parts) > 1 and list(got["line1"]) == expected


def test_sets_equal_the_single_process_read(archive, reference, client):
    sets, _ = reference
    frame = _by_order(vd.read_archive(archive, blocksize=20_000).compute())
    assert len(frame) == len(sets) and frame["order"].is_unique
    assert list(frame["line1"]) == [t.line1 for _, t in sets]
    assert list(frame["line2"]) == [t.line2 for _, t in sets]
    assert list(frame["name"].astype(object).where(frame["name"].notna(), None)) == [n for n, _ in sets]
    for key in vd.ELEMENTS:
        assert np.array_equal(frame[key].to_numpy(), np.array([getattr(t, key) for _, t in sets])), key
    # Epochs and mean motion read independently from the text: day of year, revolutions per day.
    day = np.array([float(t.line1[20:32]) for _, t in sets])
    start = np.datetime64(f"{YEAR}-01-01", "ns")
    assert np.all(np.abs((frame["epoch"].to_numpy() - start).astype(np.int64) - (day - 1) * 86400e9) < 1e3)
    rev_per_day = np.array([float(t.line2[52:63]) for _, t in sets])
    assert np.allclose(frame["mnm"].to_numpy(), rev_per_day * 2 * math.pi / 86400, rtol=1e-15, atol=0)


def test_histories_equal_load_catalog_and_the_generator(archive, reference, client):
    _, catalog = reference
    sets = vd.read_archive(archive, blocksize=20_000)
    rows, summary = dask.compute(vd.history_sets(sets), vd.history_summary(sets, gap=2.5 * 86400))
    rows = rows.sort_values(["satno", "epoch"], kind="stable")
    summary = summary.set_index("satno").sort_index()
    assert sorted(catalog) == list(summary.index) == list(SATELLITES)
    for satno, elset in catalog.items():
        mine = rows[rows["satno"] == satno]
        t = np.asarray(elset.epoch.utc.datetime64, dtype="datetime64[ns]")
        assert np.array_equal(mine["epoch"].to_numpy(), t)
        for key in ("pge", "apg", "mnm"):
            assert np.array_equal(mine[key].to_numpy(), np.asarray(getattr(elset, key))), (satno, key)
        # What the generator made: one distinct set per history day, the gaps between them.
        days = _history(satno)
        row = summary.loc[satno]
        assert row["sets"] == len(days) and row["name"] == f"SAT {satno}"
        steps = np.diff(days)
        assert row["gaps"] == int(np.sum(steps > 2.5)) == (len(days) - 1 if 1 + satno % 4 > 2.5 else 0)
        assert abs(row["longest_gap"].total_seconds() - (steps.max() * 86400 if steps.size else 0)) < 1e-3
        assert row["first_epoch"] == t[0] and row["last_epoch"] == t[-1]


@pytest.mark.parametrize("frame", ["TEME", "ITRF"])
def test_ephemerides_equal_the_single_process_loop(archive, reference, client, frame):
    from velmar.frames.geodetic import itrf_to_geodetic
    from velmar.frames.transforms import teme_to_itrf

    _, catalog = reference
    out = vd.ephemerides(vd.read_archive(archive, blocksize=50_000), GRID, frame=frame, max_age=3 * 86400).compute()
    out = out.sort_values(["satno", "epoch"], kind="stable")
    suffix = frame.lower()
    checked = 0
    for satno, elset in catalog.items():
        if frame == "ITRF" and satno % 5:
            continue  # the Earth-fixed rows of a fifth of the satellites: each taken apart from the others
        eph = SGP4().propagate_elset(Time(GRID), elset)
        set_epochs = np.asarray(elset.epoch.utc.datetime64, dtype="datetime64[ns]")[np.asarray(eph.governing)]
        keep = np.abs((GRID - set_epochs).astype(np.int64)) <= 3 * 86400 * 10**9
        r, v = np.asarray(eph.r)[keep], np.asarray(eph.v)[keep]
        if frame == "ITRF":
            r, v = teme_to_itrf(Time(GRID[keep]), r, v)
        mine = out[out["satno"] == satno]
        assert np.array_equal(mine["epoch"].to_numpy(), GRID[keep]), satno
        assert np.array_equal(mine["set_epoch"].to_numpy(), set_epochs[keep])
        got = mine[[f"{k}_{suffix}" for k in ("x", "y", "z", "vx", "vy", "vz")]].to_numpy()
        assert np.array_equal(got, np.hstack([r, v]), equal_nan=True), satno
        if frame == "ITRF":
            lla = itrf_to_geodetic(r)
            assert np.array_equal(mine["lat"].to_numpy(), np.asarray(lla["lat"]), equal_nan=True)
        elif satno % 50 == 1 and keep.any():
            # The sgp4 package on the governing set's own lines, one epoch.
            k = int(np.flatnonzero(keep)[-1])
            tle = elset[int(np.asarray(eph.governing)[k])]
            ns = int(GRID[k].astype(np.int64))
            e, r_km, _ = Satrec.twoline2rv(tle.line1, tle.line2, WGS72).sgp4(
                2440587.5 + ns // 86400e9, (ns % 86400e9) / 86400e9
            )
            assert e == 0 and np.allclose(got[-1, :3], np.array(r_km) * 1000, rtol=0, atol=1e-6)
            checked += 1
    assert frame == "ITRF" or checked > 0
    # Satellites that vanish on day 20 have no rows a few days later.
    late = out[out["epoch"] > np.datetime64(f"{YEAR}-01-25")]
    assert not set(late["satno"]) & {s for s in SATELLITES if s % 10 == 7}


def test_a_failed_job_leaves_nothing_under_the_final_name(tmp_path, archive, client):
    bad = tmp_path / "bad.tle"
    with open(archive[1]) as f:
        text = f.read().splitlines()
    text[4] = text[4][:68] + str((int(text[4][68]) + 1) % 10)  # a checksum off
    bad.write_text("\n".join(text) + "\n")
    out = tmp_path / "out.parquet"
    with pytest.raises(ValueError, match="checksum"):
        vd.write_parquet(vd.history_summary(vd.read_archive([archive[0], str(bad)])), out)
    assert os.listdir(tmp_path) == ["bad.tle"]
    (tmp_path / "there.parquet").mkdir()
    with pytest.raises(FileExistsError, match="there.parquet exists"):
        vd.write_parquet(vd.history_summary(vd.read_archive(archive[:1])), tmp_path / "there.parquet")


def test_cli_archive_on_a_scheduler(tmp_path, archive, reference, client, capsys):
    out = tmp_path / "eph.parquet"
    argv = [
        "archive",
        *archive,
        "--grid",
        f"{YEAR}-01-10",
        f"{YEAR}-01-11",
        "3600",
        "--out",
        str(out),
        "--scheduler",
        client.scheduler.address,
        "--max-age",
        "2",
    ]
    assert cli.main(argv) == 0
    written = pd.read_parquet(out)
    summary = capsys.readouterr().out
    grid = np.datetime64("2024-01-10", "ns") + np.arange(25) * np.timedelta64(3600, "s")
    _, catalog = reference
    expected, satellites = 0, 0
    for satno, elset in catalog.items():
        eph = SGP4().propagate_elset(Time(grid), elset)
        set_epochs = np.asarray(elset.epoch.utc.datetime64, dtype="datetime64[ns]")[np.asarray(eph.governing)]
        keep = np.abs((grid - set_epochs).astype(np.int64)) <= 2 * 86400 * 10**9
        expected += int(keep.sum())
        satellites += bool(keep.any())
        if satno % 100 == 1:
            mine = written[written["satno"] == satno].sort_values("epoch")
            assert np.array_equal(mine["x_teme"].to_numpy(), np.asarray(eph.r)[keep, 0])
    assert len(written) == expected
    assert (
        f"wrote {out}: SGP4 ephemerides on 25 epochs, frame TEME; {satellites} satellites, {expected} rows;" in summary
    )
    assert cli.main(argv) == 2 and "exists" in capsys.readouterr().err
    hist = tmp_path / "hist.parquet"
    argv = ["archive", *archive[:3], "--history", "--out", str(hist), "--scheduler", client.scheduler.address]
    assert cli.main(argv) == 0
    assert sorted(os.listdir(hist)) == ["satellites", "sets"]
    assert len(pd.read_parquet(hist / "satellites")) == len(load_catalog(io.BytesIO(_all_text(archive[:3]))))


def test_cli_archive_starts_and_stops_a_local_cluster(tmp_path, archive, capsys):
    out = tmp_path / "h.parquet"
    assert cli.main(["archive", *archive[:2], "--history", "--out", str(out), "--workers", "1"]) == 0
    assert "a local cluster of 1 worker process(es)" in capsys.readouterr().err
    summary = pd.read_parquet(out / "satellites")
    assert list(summary.sort_values("satno")["sets"]) == [
        e.size for _, e in sorted(load_catalog(io.BytesIO(_all_text(archive[:2]))).items())
    ]


@pytest.mark.parametrize(
    "argv, message",
    [
        (["archive", "nowhere.tle", "--history", "--out", "o"], "no such file: nowhere.tle"),
        (["archive", "{f}", "--out", "o"], "give --grid START STOP STEP"),
        (["archive", "{f}", "--grid", "2024-01-02", "2024-01-01", "60", "--out", "o"], "is before --start"),
        (["archive", "{f}", "--grid", "2024-01-01", "2024-01-02", "-1", "--out", "o"], "--grid STEP must be positive"),
    ],
)
def test_cli_archive_refuses_before_starting_a_cluster(archive, capsys, argv, message):
    assert cli.main([a.replace("{f}", archive[0]) for a in argv]) == 2
    assert message in capsys.readouterr().err


def test_a_worker_killed_mid_job(tmp_path, archive, reference, client):
    # Last in the file: the cluster is left with a new worker in place of the killed one.
    out = tmp_path / "killed.parquet"
    job = vd.history_sets(vd.read_archive(archive, blocksize=16_000), npartitions=8)
    result = {}

    def write():
        try:
            result["path"] = vd.write_parquet(job, out)
        except Exception as exc:  # noqa: BLE001 - shown by the assertion below
            result["path"] = exc

    runner = threading.Thread(target=write, daemon=True)
    pids = client.run(os.getpid)
    runner.start()

    def done_tasks(dask_scheduler):
        return sum(ts.state == "memory" for ts in dask_scheduler.tasks.values())

    deadline = time.monotonic() + 60
    while client.run_on_scheduler(done_tasks) < 10 and runner.is_alive() and time.monotonic() < deadline:
        time.sleep(0.005)
    assert runner.is_alive(), "the job ended before a worker could be killed"
    assert not out.exists()
    os.kill(next(iter(pids.values())), signal.SIGKILL)
    runner.join(120)
    assert not runner.is_alive() and result["path"] == str(out)
    assert [p for p in os.listdir(tmp_path)] == ["killed.parquet"]
    written = pd.read_parquet(out).sort_values(["satno", "epoch"], kind="stable")
    _, catalog = reference
    expected = np.concatenate([np.asarray(catalog[n].pge) for n in sorted(catalog)])
    assert np.array_equal(written["pge"].to_numpy(), expected)
