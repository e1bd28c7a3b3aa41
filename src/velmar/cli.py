"""The `velmar` command: everyday jobs on element-set catalogue files.

    velmar                       a short tour on the built-in sample catalogue
    velmar catalog FILE          one line per satellite
    velmar show FILE             printed forms of element sets
    velmar propagate FILE ...    an SGP4 (or two-body) ephemeris of one satellite
    velmar eop T [T ...]         Earth orientation and time-scale offsets
    velmar plot eop|orbit ...    the same as pictures (needs the `plot` extra)
"""

from __future__ import annotations

import argparse
import csv
import importlib.resources
import sys
import warnings
from collections.abc import Sequence

import numpy as np

ARCSEC = np.pi / 180.0 / 3600.0

PROPAGATE_NOTE = (
    "This is a two-body (Keplerian) propagation of the set's mean elements, not SGP4: "
    "it ignores the Earth's oblateness, drag and third bodies, and drifts by kilometres "
    "within hours for low orbits. Use it for geometry and quick looks."
)

SGP4_NOTE = (
    "SGP4, the theory the element sets are fitted to, computed by the sgp4 package; "
    "when the span crosses several sets of the satellite, each epoch is propagated from "
    "the set that governs it (--rule)."
)


class UserError(Exception):
    """A problem the user can fix; printed as one line."""


def sample_path():
    return importlib.resources.files("velmar") / "data" / "sample.tle"


# --- helpers ------------------------------------------------------------------


def _load(path) -> dict:
    from velmar.io import _describe_left_out, _load_catalog

    try:
        loaded = _load_catalog(path, verify=True, duplicates="drop")
    except FileNotFoundError:
        raise UserError(f"no such file: {path}") from None
    except IsADirectoryError:
        raise UserError(f"{path} is a folder, not a catalogue file") from None
    except ValueError as exc:  # a file without element sets, or the lines at fault
        raise UserError(str(exc)) from None
    if loaded.duplicates:
        print(f"velmar: {loaded.duplicates} duplicate element set(s) skipped (the same two lines as an earlier set)",
              file=sys.stderr)
    if loaded.left_out:
        print(f"velmar: {_describe_left_out(loaded.left_out)}", file=sys.stderr)
    return loaded.catalog


def _pick(catalog: dict, satno: int | None):
    if not catalog:
        raise UserError("the file holds no satellite with an integer catalogue number")
    if satno is None:
        if len(catalog) == 1:
            return next(iter(catalog.values()))
        raise UserError(f"the file holds {len(catalog)} satellites; choose one with --satno")
    try:
        return catalog[satno]
    except KeyError:
        known = ", ".join(str(n) for n in sorted(catalog)[:10])
        raise UserError(f"satellite {satno} is not in the file (it holds {known}{' ...' if len(catalog) > 10 else ''})") from None


def _time(text: str):
    from velmar.time.time import Time

    try:
        return Time(text)
    except (ValueError, TypeError) as exc:
        raise UserError(f"not a date: {text!r} ({exc})") from None


def _span(start: str, stop: str | None, step: float, default_length: float):
    """Epochs from start to stop (inclusive when it falls on a step)."""
    if step <= 0:
        raise UserError(f"--step must be positive, got {step}")
    t0 = _time(start)
    length = (_time(stop) - t0).item() if stop else default_length
    if length < 0:
        raise UserError("--stop is before --start")
    n = int(np.floor(length / step + 1e-9)) + 1
    if n > 10_000_000:
        raise UserError(f"{n} epochs requested; use a larger --step")
    return t0 + np.arange(n) * step


def _iso(t) -> str:
    return str(t.utc.iso)


def _write_rows(header: Sequence[str], rows, as_csv: bool, out=None) -> None:
    out = out or sys.stdout
    if as_csv:
        w = csv.writer(out, lineterminator="\n")
        w.writerow(header)
        w.writerows(rows)
        return
    rows = [list(map(str, r)) for r in rows]
    widths = [max(len(h), *(len(r[i]) for r in rows)) if rows else len(h) for i, h in enumerate(header)]
    print("  ".join(h.rjust(w) for h, w in zip(header, widths)), file=out)
    for r in rows:
        print("  ".join(c.rjust(w) for c, w in zip(r, widths)), file=out)


# --- jobs ---------------------------------------------------------------------


def catalog_rows(catalog: dict):
    for satno in sorted(catalog):
        e = catalog[satno]
        newest = e[-1]
        yield (
            satno,
            e.satname or "",
            e.size,
            _iso(e[0].epoch),
            _iso(newest.epoch),
            f"{newest.pge / 1000:.1f}",
            f"{newest.apg / 1000:.1f}",
        )


CATALOG_HEADER = ("satno", "name", "sets", "first epoch (UTC)", "last epoch (UTC)", "perigee km", "apogee km")


def cmd_catalog(args) -> None:
    _write_rows(CATALOG_HEADER, list(catalog_rows(_load(args.file))), args.csv)


def cmd_show(args) -> None:
    catalog = _load(args.file)
    chosen = [catalog[args.satno]] if args.satno is not None and args.satno in catalog else None
    if chosen is None:
        chosen = [_pick(catalog, args.satno)] if args.satno is not None else [catalog[n] for n in sorted(catalog)]
    for elset in chosen:
        members = list(elset)[-args.last :] if args.last else list(elset)
        for tle in members:
            print(tle)
            print()


def propagate_elset(elset, times):
    """Two-body ephemeris from the newest set at or before the first epoch."""
    from velmar.frames.frames import TEME
    from velmar.propagators.analytical.keplerian.keplerian import Keplerian
    from velmar.state.state import COE

    epochs = elset.epoch.int64
    first = int(np.atleast_1d(times.int64)[0])
    i = max(int(np.searchsorted(epochs, first, side="right")) - 1, 0)
    tle = elset[i]
    coe = COE(tle.epoch, TEME, tle.ecc, tle.sma, tle.inc, tle.raa, tle.arp, tle.tra)
    return tle, Keplerian().propagate_state(times, coe)


def sgp4_ephemeris(elset, times, rule: str = "latest"):
    """SGP4 ephemeris, each epoch from the member of `elset` that governs it.

    SGP4's warnings about epochs it cannot propagate (their rows are NaN) are
    printed as one line each on standard error.
    """
    from velmar.propagators.analytical.sgp4.sgp4 import SGP4

    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        eph = SGP4().propagate_elset(times, elset, rule=rule)
    for w in caught:
        print(f"velmar: warning: {w.message}", file=sys.stderr)
    return eph


def _sgp4_sources(elset, eph, rule: str) -> str:
    used = np.unique(eph.governing)
    if used.size == 1:
        return f"from the set of {_iso(elset[int(used[0])].epoch)} UTC"
    how = "the newest set at or before it" if rule == "latest" else "the set with the closest epoch"
    first, last = _iso(elset[int(used[0])].epoch), _iso(elset[int(used[-1])].epoch)
    return f"from {used.size} sets ({first} to {last} UTC), each epoch from {how}"


def cmd_propagate(args) -> None:
    elset = _pick(_load(args.file), args.satno)
    start = args.start or _iso(elset[-1].epoch)
    period = float(elset.orp[-1]) if np.isfinite(elset.orp[-1]) else 5400.0
    times = _span(start, args.stop, args.step, period)
    if args.model == "sgp4":
        eph = sgp4_ephemeris(elset, times, args.rule)
        source, note = f"SGP4 {_sgp4_sources(elset, eph, args.rule)}", SGP4_NOTE
    else:
        tle, eph = propagate_elset(elset, times)
        source, note = f"two-body from the set of {_iso(tle.epoch)} UTC", PROPAGATE_NOTE
    if not args.csv:
        print(f"# satellite {elset.satno} {elset.satname or ''}, {source}, frame TEME")
        print(f"# {note}")
    iso = times.utc.iso
    rows = [
        (iso[k], *(f"{x / 1000:.3f}" for x in eph.r[k]), *(f"{x / 1000:.6f}" for x in eph.v[k]))
        for k in range(eph.size)
    ]
    _write_rows(("epoch (UTC)", "x km", "y km", "z km", "vx km/s", "vy km/s", "vz km/s"), rows, args.csv)


EOP_HEADER = (
    "epoch (UTC)", "MJD", "pm_x arcsec", "pm_y arcsec", "UT1-UTC s", "LOD ms", "dX mas", "dY mas", "TAI-UTC s", "TT-UT1 s",
)


def eop_rows(times):
    from velmar.iers.eop import EOP

    mjd = np.atleast_1d(np.asarray(times.utc.mjd, dtype=np.float64))
    e = EOP(mjd)
    try:
        tt_ut1 = e.TT_UT1
        dut = e.dut
    except ValueError:
        raise UserError("an epoch lies outside the span of the packaged IERS Bulletin A; UT1 is not known there") from None
    cols = (e.pm_x / ARCSEC, e.pm_y / ARCSEC, dut, e.lod * 1e3, e.dX / ARCSEC * 1e3, e.dY / ARCSEC * 1e3, e.dat, tt_ut1)
    iso = np.atleast_1d(times.utc.iso)
    for k in range(mjd.size):
        yield (
            iso[k], f"{mjd[k]:.5f}", f"{cols[0][k]:.6f}", f"{cols[1][k]:.6f}", f"{cols[2][k]:.7f}", f"{cols[3][k]:.4f}",
            f"{cols[4][k]:.3f}", f"{cols[5][k]:.3f}", f"{cols[6][k]:.0f}", f"{cols[7][k]:.7f}",
        )


def _eop_times(args):
    from velmar.time.time import Time

    if args.start:
        return _span(args.start, args.stop, args.step, 0.0)
    if not args.epochs:
        raise UserError("give one or more epochs, or --start (with --stop and --step)")
    for text in args.epochs:
        _time(text)
    return Time(list(args.epochs))


def cmd_eop(args) -> None:
    rows = list(eop_rows(_eop_times(args)))
    if not args.csv:
        print("# Earth orientation (IERS Bulletin A, interpolated) and time-scale offsets (Bulletin C)")
        print("# polar motion in arcsec, UT1-UTC in s, length of day in ms, celestial pole offsets dX, dY in mas")
    _write_rows(EOP_HEADER, rows, args.csv)


def cmd_plot(args) -> None:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        raise UserError("plotting needs matplotlib: pip install 'velmar[plot]'") from None
    if args.what == "eop":
        from velmar.iers.eop import EOP

        start = args.start or "2016-01-01"
        times = _span(start, args.stop or None, args.step or 86400.0, 2 * 365.25 * 86400.0)
        mjd = np.asarray(times.utc.mjd, dtype=np.float64)
        e = EOP(mjd)
        fig, (a1, a2) = plt.subplots(2, 1, figsize=(9, 7), constrained_layout=True)
        a1.plot(e.pm_x / ARCSEC, e.pm_y / ARCSEC, lw=1)
        a1.set_xlabel("polar motion x (arcsec)")
        a1.set_ylabel("polar motion y (arcsec)")
        a1.set_title(f"Polar motion, {_iso(times[0])[:10]} to {_iso(times[-1])[:10]}")
        a1.invert_yaxis()
        a2.plot(mjd, e.dut, lw=1)
        a2.set_xlabel("MJD (UTC)")
        a2.set_ylabel("UT1 - UTC (s)")
        a2.set_title("UT1 - UTC (jumps are leap seconds)")
        a2.grid(alpha=0.3)
    else:
        if not args.file:
            raise UserError("plot orbit needs a catalogue FILE")
        elset = _pick(_load(args.file), args.satno)
        start = args.start or _iso(elset[-1].epoch)
        times = _span(start, args.stop, args.step or 30.0, float(elset.orp[-1]))
        tle, eph = propagate_elset(elset, times)
        r = np.asarray(eph.r) / 1000.0
        fig = plt.figure(figsize=(8, 8), constrained_layout=True)
        ax = fig.add_subplot(projection="3d")
        u, v = np.mgrid[0 : 2 * np.pi : 40j, 0 : np.pi : 20j]
        re = 6378.137
        ax.plot_surface(re * np.cos(u) * np.sin(v), re * np.sin(u) * np.sin(v), re * np.cos(v), color="tab:blue", alpha=0.3, lw=0)
        ax.plot(r[:, 0], r[:, 1], r[:, 2], color="tab:red", lw=1.5, label="two-body orbit")
        lim = np.abs(r).max() * 1.05
        ax.set(xlim=(-lim, lim), ylim=(-lim, lim), zlim=(-lim, lim), xlabel="x km (TEME)", ylabel="y km", zlabel="z km")
        ax.set_box_aspect((1, 1, 1))
        ax.set_title(f"{elset.satname or elset.satno}: two-body orbit from the set of {_iso(tle.epoch)[:19]} UTC")
        ax.legend()
    fig.savefig(args.output, dpi=110)
    print(f"wrote {args.output}")


def cmd_tour(args) -> None:
    from velmar.time.time import Time

    path = sample_path()
    catalog = _load(path)
    print("velmar tour: the built-in sample catalogue\n")
    _write_rows(CATALOG_HEADER, list(catalog_rows(catalog)), False)
    iss = catalog[25544]
    tle = iss[-1]
    print("\nThe ISS element set, as velmar prints it:\n")
    print(tle)
    print("\nSGP4 and two-body ephemerides from that set over one orbit, every 15 minutes (TEME, km):")
    print(
        "(SGP4 is the theory the element sets are fitted to. The two-body propagation of the same mean\n"
        "elements ignores the Earth's oblateness, drag and third bodies, and parts from it within hours.)\n"
    )
    times = _span(_iso(tle.epoch), None, 900.0, float(tle.orp))
    one_orbit = tle.epoch + float(tle.orp)
    both = Time(np.append(np.atleast_1d(times.int64), one_orbit.int64))
    sgp4 = sgp4_ephemeris(iss[-1:], both)
    _, kepler = propagate_elset(iss[-1:], both)
    gap = np.linalg.norm(np.asarray(sgp4.r) - np.asarray(kepler.r), axis=1) / 1000
    iso = times.utc.iso
    rows = [
        (iso[k], *(f"{x / 1000:.3f}" for x in sgp4.r[k]), *(f"{x / 1000:.3f}" for x in kepler.r[k]), f"{gap[k]:.3f}")
        for k in range(times.size)
    ]
    header = ("epoch (UTC)", "SGP4 x", "SGP4 y", "SGP4 z", "two-body x", "two-body y", "two-body z", "apart km")
    _write_rows(header, rows, False)
    print(f"\nAfter one orbit ({float(tle.orp) / 60:.1f} min) the two-body position is {gap[-1]:.1f} km from SGP4's.")
    print("\nEarth orientation and time-scale offsets at the set's epoch:\n")
    _write_rows(EOP_HEADER, list(eop_rows(tle.epoch)), False)
    print("\nMore: velmar catalog FILE | show FILE | propagate FILE --satno N | eop T | plot eop -o FILE.png")


# --- command line -------------------------------------------------------------


def build_parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog="velmar",
        description="Element sets, two-body ephemerides and Earth orientation from the command line. "
        "Without a subcommand, a short tour on a built-in sample catalogue.",
    )
    p.add_argument("--debug", action="store_true", help="show the full traceback on errors")
    sub = p.add_subparsers(dest="command", metavar="COMMAND")

    c = sub.add_parser("catalog", help="one line per satellite of a catalogue file")
    c.add_argument("file", help="a two- or three-line element-set file (gzip is fine)")
    c.add_argument("--csv", action="store_true", help="comma-separated output")
    c.set_defaults(run=cmd_catalog)

    s = sub.add_parser("show", help="printed forms of element sets")
    s.add_argument("file")
    s.add_argument("--satno", type=int, help="only this satellite")
    s.add_argument("--last", type=int, metavar="K", help="only the K newest sets of each satellite")
    s.set_defaults(run=cmd_show)

    pr = sub.add_parser(
        "propagate",
        help="SGP4 (or two-body) ephemeris of one satellite",
        description=f"{SGP4_NOTE} With --model kepler: {PROPAGATE_NOTE}",
    )
    pr.add_argument("file")
    pr.add_argument("--satno", type=int, help="the satellite (needed when the file holds several)")
    pr.add_argument("--start", help="first epoch, UTC (default: the newest set's epoch)")
    pr.add_argument("--stop", help="last epoch, UTC (default: one orbital period after --start)")
    pr.add_argument("--step", type=float, default=60.0, help="seconds between epochs (default 60)")
    pr.add_argument("--model", choices=["sgp4", "kepler"], default="sgp4", help="SGP4 (default) or two-body")
    pr.add_argument(
        "--rule",
        choices=["latest", "nearest"],
        default="latest",
        help="SGP4: the set that governs an epoch, the newest at or before it (default) or the closest",
    )
    pr.add_argument("--csv", action="store_true")
    pr.set_defaults(run=cmd_propagate)

    e = sub.add_parser("eop", help="Earth orientation parameters and time-scale offsets at epochs")
    e.add_argument("epochs", nargs="*", help="UTC epochs, e.g. 2016-12-31T12:00:00")
    e.add_argument("--start")
    e.add_argument("--stop")
    e.add_argument("--step", type=float, default=86400.0, help="seconds between epochs (default one day)")
    e.add_argument("--csv", action="store_true")
    e.set_defaults(run=cmd_eop)

    pl = sub.add_parser("plot", help="polar motion and UT1-UTC, or an orbit in 3-D (needs matplotlib)")
    pl.add_argument("what", choices=["eop", "orbit"])
    pl.add_argument("file", nargs="?", help="catalogue file (plot orbit)")
    pl.add_argument("--satno", type=int)
    pl.add_argument("--start")
    pl.add_argument("--stop")
    pl.add_argument("--step", type=float)
    pl.add_argument("-o", "--output", required=True, help="PNG file to write")
    pl.set_defaults(run=cmd_plot)
    return p


def main(argv: Sequence[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    run = getattr(args, "run", cmd_tour)
    try:
        run(args)
    except UserError as exc:
        if args.debug:
            raise
        print(f"velmar: {exc}", file=sys.stderr)
        return 2
    except BrokenPipeError:
        return 0
    except Exception as exc:  # one line for the user, the traceback with --debug
        if args.debug:
            raise
        print(f"velmar: {type(exc).__name__}: {exc}", file=sys.stderr)
        return 1
    return 0
