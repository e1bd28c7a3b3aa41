"""Two-body (Keplerian) orbit propagation and its Jacobian."""

from typing import Any

import numpy
from typing_extensions import disjoint_base

from velmar.propagators.propagators import Propagator
from velmar.state.ephemeris import StateVectorEphemeris
from velmar.state.state import State
from velmar.typing import DatetimeLike

@disjoint_base
class Keplerian(Propagator):
    """Keplerian (two-body) orbit propagator.

    Propagates an orbital state under unperturbed two-body motion: the
    classical elements stay fixed and the mean anomaly advances with the
    mean motion. Perturbations (J2, drag, lunisolar) are ignored.
    Parabolic and hyperbolic orbits (ecc >= 1.0) are not valid.

    Parameters
    ----------
    GM : float, optional
        Gravitational parameter used for propagation, in m^3/s^2.
        Defaults to Earth's.

    Examples
    --------
    >>> propagator = Keplerian(GM=398600.4418e9)
    >>> ephemeris = propagator.propagate(time_array, initial_state)
    """

    def __new__(cls, GM: float = ...) -> Keplerian: ...
    @property
    def GM(self) -> float:
        """Gravitational parameter used for propagation (m^3/s^2)."""

    def propagate_state(self, time: DatetimeLike, state: State, **kwargs: Any) -> StateVectorEphemeris:
        """Propagate a single initial state to one or more epochs (public API)."""

    def jacobian(self, eph: StateVectorEphemeris) -> numpy.ndarray:
        """Compute the Jacobian matrices (∂f/∂x) along an ephemeris trajectory."""
