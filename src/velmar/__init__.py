"""velmar: compiled astrodynamics for Python.

Two-line element sets and their histories, two-body propagation and its
Jacobian, time scales, and Earth orientation parameters from the IERS
bulletins, as C++ extension modules over numpy arrays.

The everyday names are here (``velmar.TLE``, ``velmar.Time``, ``velmar.EOP``,
...); each is imported from its module the first time it is asked for, so
``import velmar`` itself loads nothing more, and scipy waits until ``EOP`` is
used.
"""

__version__ = "0.1.0"

# Each top-level name and the module that defines it.
_HOMES = {
    "TLE": "velmar.propagators.analytical.sgp4.tle",
    "ELSET": "velmar.propagators.analytical.sgp4.tle",
    "Time": "velmar.time.time",
    "Keplerian": "velmar.propagators.analytical.keplerian.keplerian",
    "Satellite": "velmar.satellite.satellite",
    "EOP": "velmar.iers.eop",
    "load_catalog": "velmar.io",
    "read_tles": "velmar.io",
    "GCRF": "velmar.frames.frames",
    "ITRF": "velmar.frames.frames",
    "TEME": "velmar.frames.frames",
    "ENU": "velmar.frames.frames",
    "transform": "velmar.frames.transforms",
    "teme_to_itrf": "velmar.frames.transforms",
    "itrf_to_teme": "velmar.frames.transforms",
    "itrf_to_gcrf": "velmar.frames.transforms",
    "gcrf_to_itrf": "velmar.frames.transforms",
}

# Written out (not list(_HOMES)) so that type checkers can read it.
__all__ = [
    "TLE",
    "ELSET",
    "Time",
    "Keplerian",
    "Satellite",
    "EOP",
    "load_catalog",
    "read_tles",
    "GCRF",
    "ITRF",
    "TEME",
    "ENU",
    "transform",
    "teme_to_itrf",
    "itrf_to_teme",
    "itrf_to_gcrf",
    "gcrf_to_itrf",
]

# Not typing.TYPE_CHECKING: importing typing would cost more than the rest of
# this module. Type checkers take any TYPE_CHECKING as true.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from velmar.frames.frames import ENU as ENU
    from velmar.frames.frames import GCRF as GCRF
    from velmar.frames.frames import ITRF as ITRF
    from velmar.frames.frames import TEME as TEME
    from velmar.frames.transforms import gcrf_to_itrf as gcrf_to_itrf
    from velmar.frames.transforms import itrf_to_gcrf as itrf_to_gcrf
    from velmar.frames.transforms import itrf_to_teme as itrf_to_teme
    from velmar.frames.transforms import teme_to_itrf as teme_to_itrf
    from velmar.frames.transforms import transform as transform
    from velmar.iers.eop import EOP as EOP
    from velmar.io import load_catalog as load_catalog
    from velmar.io import read_tles as read_tles
    from velmar.propagators.analytical.keplerian.keplerian import Keplerian as Keplerian
    from velmar.propagators.analytical.sgp4.tle import ELSET as ELSET
    from velmar.propagators.analytical.sgp4.tle import TLE as TLE
    from velmar.satellite.satellite import Satellite as Satellite
    from velmar.time.time import Time as Time


# Hidden from type checkers, which then see only the names above and flag a
# misspelt one.
if not TYPE_CHECKING:

    def __getattr__(name: str) -> object:
        home = _HOMES.get(name)
        if home is None:
            raise AttributeError(f"module 'velmar' has no attribute {name!r}")
        value = getattr(__import__(home, fromlist=[name]), name)
        globals()[name] = value  # later look-ups skip this function
        return value

    def __dir__() -> list[str]:
        return sorted(set(globals()) - {"TYPE_CHECKING"} | set(_HOMES))
