"""The base class of velmar's orbit propagators."""

from typing import Any

import numpy as np
import numpy.typing as npt
from typing_extensions import disjoint_base

@disjoint_base
class Propagator:
    """Base class of velmar's orbit propagators.

    A propagator turns one initial state into an ephemeris at many epochs:
    ``propagate(time_array, initial_state)`` calls the class's
    ``propagate_state(time_array, initial_state)``. The base accepts (and
    ignores) one gravitational parameter ``GM``, which its subclasses
    interpret, and holds no data of its own. Its native operations (gravity
    gradient, acceleration, state derivative) know no force model and raise
    ``NotImplementedError``; native subclasses replace them.
    """

    def __init__(self, GM: Any = None) -> None: ...
    def propagate(self, time_array: Any, initial_state: Any) -> Any:
        """Propagate ``initial_state`` to the epochs of ``time_array``: ``self.propagate_state(time_array, initial_state)``."""

    def propagate_state(self, time: Any, state: Any, **kwargs: Any) -> Any:
        """Propagate ``state`` to the epochs of ``time``; the base raises ``NotImplementedError``."""

    def _gravity_gradient(
        self, t: float, r: npt.NDArray[np.float64], v: npt.NDArray[np.float64]
    ) -> npt.NDArray[np.float64]:
        """The native gravity gradient (3 x 3, 1/s^2) at epoch t (s), position r (m), velocity v (m/s)."""

    def _acceleration(
        self, t: float, r: npt.NDArray[np.float64], v: npt.NDArray[np.float64]
    ) -> npt.NDArray[np.float64]:
        """The native acceleration (m/s^2) at epoch t (s), position r (m), velocity v (m/s)."""

    def _state_derivative(self, t: float, x: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
        """The native state derivative (v, a) for the state x = (r, v) at epoch t (s)."""
