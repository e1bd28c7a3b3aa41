"""Earth orientation at a set of epochs, gathered for the native rotations of
velmar.frames.transforms.

Everything here is whole-array numpy work done once per call; the per-epoch
rotations run natively on what `prepare` returns. Kept in Python because it
talks to EOP, pyerfa and the warnings machinery, all Python-level services.
"""

import warnings

import numpy as np
import numpy.typing as npt

from velmar.time.time import Time

# What the transformation needs from the Earth orientation data.
NONE, TERRESTRIAL, CELESTIAL = 0, 1, 2

_NS_PER_DAY = 86_400_000_000_000
_TT_MINUS_TAI = 32.184

# X, Y, s of IAU 2006/2000A change slowly (their shortest terms with any
# weight have periods of several days), so for long arrays they are
# evaluated every half day and interpolated by an 8-point Lagrange
# polynomial. Measured against erfa.xys06a at 100,000 random epochs of
# 2000-2025, this grid errs by at most 0.023 micro-arcseconds in X and Y and
# 0.00003 in s (a 4-point cubic at the same step errs by 12 micro-arcseconds,
# 8 points at a one-day step by 3), well inside the 1 micro-arcsecond
# allowed; tests/test_transforms.py checks the whole chain against pyerfa.
GRID_STEP_DAYS = 0.5
GRID_POINTS = 8


class EOPValues:
    """Earth orientation given explicitly, instead of velmar's bulletins.

    Polar motion ``pm_x``, ``pm_y`` and celestial pole offsets ``dX``, ``dY``
    in radians, ``dut`` (UT1 - UTC) and ``lod`` (excess length of day) in
    seconds. Each is a scalar or an array broadcast against the epochs of the
    transformation.
    """

    __slots__ = ("pm_x", "pm_y", "dut", "lod", "dX", "dY")
    pm_x: npt.NDArray[np.float64]
    pm_y: npt.NDArray[np.float64]
    dut: npt.NDArray[np.float64]
    lod: npt.NDArray[np.float64]
    dX: npt.NDArray[np.float64]
    dY: npt.NDArray[np.float64]

    def __init__(self, pm_x, pm_y, dut, lod=0.0, dX=0.0, dY=0.0):
        for name, value in (("pm_x", pm_x), ("pm_y", pm_y), ("dut", dut), ("lod", lod), ("dX", dX), ("dY", dY)):
            array = np.asarray(value)
            if array.dtype.kind not in "fiu" or array.ndim > 1:
                raise TypeError(
                    f"EOPValues: {name} must be a real number or a one-dimensional array of them, got {value!r}"
                )
            array = array.astype(np.float64)
            array.flags.writeable = False
            object.__setattr__(self, name, array)

    def __setattr__(self, name, value):
        raise AttributeError("EOPValues is read-only")

    def __repr__(self):
        def show(a):
            return repr(float(a)) if a.ndim == 0 else f"array of {a.size}"

        fields = ", ".join(f"{n}={show(getattr(self, n))}" for n in self.__slots__)
        return f"EOPValues({fields})"


def _positions(value, name, n, scalar):
    if value is None:
        return None
    array = np.asarray(value)
    if array.dtype.kind not in "fiu":
        raise TypeError(f"{name} must hold real numbers (m or m/s), got dtype {array.dtype}")
    # No copy here: the native side copies into its results, under the lock.
    if scalar and array.shape == (3,):
        return np.asarray(array, dtype=np.float64).reshape(1, 3)
    if array.ndim != 2 or array.shape[1] != 3 or (array.shape[0] != n and not scalar):
        expected = "(3,) or (N, 3)" if scalar else f"({n}, 3) for {n} epochs"
        raise ValueError(f"{name} must have shape {expected}, got shape {array.shape}")
    return np.asarray(array, dtype=np.float64)


def _per_epoch(value, name, n):
    try:
        return np.broadcast_to(value, (n,))
    except ValueError:
        raise ValueError(f"EOPValues.{name} holds {value.size} values for {n} epochs") from None


def _data_span(EOP):
    # The interpolators answer between their first and last samples; the
    # transformation needs all three of polar motion and UT1.
    first, last = -np.inf, np.inf
    for slot in ("_pm_x_spline", "_pm_y_spline", "_TAI_UT1_interpolator"):
        x = getattr(getattr(EOP, slot, None), "x", None)
        if x is not None and len(x):
            first, last = max(first, float(x[0])), min(last, float(x[-1]))
    return first, last


def _warn_outside(EOP, missing, n, stacklevel=3):
    first, last = _data_span(EOP)
    if np.isfinite(first) and np.isfinite(last):
        span = Time([first, last], format="mjd", scale="utc").iso
        where = f"MJD {first:g} to {last:g} UTC ({span[0][:10]} to {span[1][:10]})"
    else:
        where = "nowhere"
    warnings.warn(
        f"Earth orientation data (velmar's EOP) cover {where}; {missing} of {n} epochs lie outside and give NaN rows",
        RuntimeWarning,
        stacklevel=stacklevel,
    )


def _cubic_table(spline):
    """(x, c) of a CubicSpline of one float64 column, as EOP fits them, or None."""
    from scipy.interpolate import CubicSpline

    if type(spline) is not CubicSpline:
        return None
    x, c = spline.x, spline.c
    if not (isinstance(x, np.ndarray) and isinstance(c, np.ndarray)):
        return None
    if x.dtype != np.float64 or c.dtype != np.float64 or x.ndim != 1 or x.size < 2:
        return None
    return (x, c) if c.shape == (4, x.size - 1) else None


def _linear_table(line):
    """(x, y) of an interp1d that hands over to numpy.interp, as EOP fits them, or None."""
    from scipy.interpolate import interp1d

    if type(line) is not interp1d or getattr(line, "_call", None) is not interp1d._call_linear_np:
        return None
    x, y = line.x, line.y
    if not (isinstance(x, np.ndarray) and isinstance(y, np.ndarray)):
        return None
    if x.dtype != np.float64 or y.dtype != np.float64 or x.ndim != 1 or y.shape != x.shape or x.size < 2:
        return None
    return x, y


def _native_rows(EOP, tai_ns, mjd_utc, rows, need):
    """Fill the rows from velmar's EOP in native passes over the epochs, with
    the values EOP gives (see transforms._cubic_into); False, touching
    nothing, when an interpolator is not built yet or not of the kind EOP fits
    (replaced by hand), for EOP itself to evaluate."""
    names = ["_pm_x_spline", "_pm_y_spline", "_lod_spline"]
    if need == CELESTIAL:
        names += ["_dX_spline", "_dY_spline"]
    cubics = [_cubic_table(getattr(EOP, name, None)) for name in names]
    line = _linear_table(getattr(EOP, "_TAI_UT1_interpolator", None))
    if line is None or any(table is None for table in cubics):
        return False
    from velmar.frames import transforms

    # TAI-UT1 goes into the row of the UT1 day fraction, which is made from it in place.
    tai_ut1 = rows[1]
    outside = transforms._linear_into(*line, mjd_utc, tai_ut1)
    outside += transforms._cubic_into(*cubics[0], mjd_utc, rows[2], np.nan)
    outside += transforms._cubic_into(*cubics[1], mjd_utc, rows[3], np.nan)
    # Where LOD is not known the nominal rate is used (zero excess); outside
    # their (shorter) span the pole offsets are taken as zero: the bare IAU
    # 2006/2000A model, off by well under a milliarcsecond.
    for table, row in zip(cubics[2:], (4, 6, 7)):
        transforms._cubic_into(*table, mjd_utc, rows[row], 0.0)
    if outside:  # NaN TAI-UT1 gives a NaN fraction, and only that
        missing = np.isnan(tai_ut1) | np.isnan(rows[2]) | np.isnan(rows[3])
    transforms._ut1_rows(tai_ns, tai_ut1, rows[0], rows[1], rows[5] if need == CELESTIAL else None)
    if outside:
        _warn_outside(EOP, int(missing.sum()), rows.shape[1], stacklevel=4)
    return True


def _xys(tt_days, rows):
    """X, Y, s of IAU 2006/2000A at the rows' TT epochs (days since J2000):
    at every epoch for short arrays, or a grid to interpolate for long ones."""
    import erfa

    n = tt_days.size
    if n == 0:
        return None, 0.0
    lo = int(np.floor(tt_days.min() / GRID_STEP_DAYS)) - GRID_POINTS
    hi = int(np.ceil(tt_days.max() / GRID_STEP_DAYS)) + GRID_POINTS
    nodes = hi - lo + 1
    if nodes >= n:
        x, y, s = erfa.xys06a(2451545.0, tt_days)
        rows[8], rows[9], rows[10] = x, y, s
        return None, 0.0
    t = (lo + np.arange(nodes)) * GRID_STEP_DAYS
    grid = np.empty((nodes, 3))
    grid[:, 0], grid[:, 1], grid[:, 2] = erfa.xys06a(2451545.0, t)
    return grid, lo * GRID_STEP_DAYS


def prepare(time, r, v, eop, need):
    """Check and lay out the inputs of one transformation.

    Returns (flat, r, v, params, grid, grid_start), flat telling that one
    epoch came with (3,) vectors and wants (3,) vectors back, r, v as (N, 3)
    float64 arrays of any layout, maybe the caller's own (v may be None), params a C-ordered (K, N) float64
    array of per-epoch quantities (rows: UT1 whole days and day fraction since
    J2000, x_p, y_p, LOD, TT days since J2000, dX, dY, X, Y, s), and grid an
    (M, 3) array of X, Y, s every GRID_STEP_DAYS from grid_start, or None.
    """
    if not isinstance(time, Time):
        raise TypeError(f"time must be a velmar Time, got {type(time).__name__}")
    if r is None:
        raise TypeError("r must be positions in m, shape (N, 3) or (3,), not None")
    scalar = bool(time.isscalar)
    flat = scalar and r is not None and np.ndim(r) == 1
    tai_ns = np.atleast_1d(np.asarray(time.int64, dtype=np.int64))
    n = tai_ns.size
    r = _positions(r, "r", n, scalar)
    v = _positions(v, "v", n, scalar)
    if scalar:
        rows_out = r.shape[0]
        if v is not None and v.shape != r.shape:
            raise ValueError(f"v must have the shape of r {r.shape}, got shape {v.shape}")
        tai_ns = np.broadcast_to(tai_ns, (rows_out,))
        n = rows_out
    if need == NONE:
        return flat, r, v, np.empty((0, n)), None, 0.0

    rows = np.zeros((11 if need == CELESTIAL else 5, n))
    if n == 0:
        return flat, r, v, rows, None, 0.0
    mjd_utc = np.atleast_1d(np.asarray(time.utc.mjd, dtype=np.float64))
    mjd_utc = np.broadcast_to(mjd_utc, (n,))

    from velmar.iers.eop import EOP

    if eop is None and _native_rows(EOP, tai_ns, mjd_utc, rows, need):
        grid, start = (None, 0.0) if need != CELESTIAL else _xys(rows[5], rows)
        return flat, r, v, rows, grid, start

    data = EOP(np.ascontiguousarray(mjd_utc))
    if eop is None:
        pm_x, pm_y, tai_ut1 = data.pm_x, data.pm_y, data.TAI_UT1
        lod = np.nan_to_num(data.lod, nan=0.0)
        if need == CELESTIAL:
            # Outside their (shorter) span the offsets are taken as zero: the
            # bare IAU 2006/2000A model, off by well under a milliarcsecond.
            rows[6] = np.nan_to_num(data.dX, nan=0.0)
            rows[7] = np.nan_to_num(data.dY, nan=0.0)
        missing = np.isnan(pm_x) | np.isnan(pm_y) | np.isnan(tai_ut1)
        if missing.any():
            _warn_outside(EOP, int(missing.sum()), n)
    else:
        if not isinstance(eop, EOPValues):
            raise TypeError(f"eop must be None or an EOPValues, got {type(eop).__name__}")
        pm_x = _per_epoch(eop.pm_x, "pm_x", n)
        pm_y = _per_epoch(eop.pm_y, "pm_y", n)
        tai_ut1 = data.dat - _per_epoch(eop.dut, "dut", n)
        lod = _per_epoch(eop.lod, "lod", n)
        if need == CELESTIAL:
            rows[6] = _per_epoch(eop.dX, "dX", n)
            rows[7] = _per_epoch(eop.dY, "dY", n)

    # UT1 days since J2000 split into whole days and a fraction, from the
    # exact nanosecond count, so the sidereal angle keeps its last digits.
    days, rest_ns = np.divmod(tai_ns, _NS_PER_DAY)
    rows[0] = days
    rows[1] = (rest_ns * 1e-9 - tai_ut1) / 86400.0
    rows[2], rows[3], rows[4] = pm_x, pm_y, lod
    grid, start = None, 0.0
    if need == CELESTIAL:
        # TT reads 32.184 s ahead of TAI, so the TT date is the TAI count
        # since 2000-01-01T12:00 TAI plus that (X, Y, s move ~50 micro-
        # arcseconds in those 32 s).
        rows[5] = days + (rest_ns * 1e-9 + _TT_MINUS_TAI) / 86400.0
        grid, start = _xys(rows[5], rows)
    return flat, r, v, rows, grid, start
