from typing_extensions import disjoint_base

from velmar.propagators.propagators import Propagator
from velmar.state.ephemeris import StateVectorEphemeris
from velmar.state.state import State
from velmar.time.time import Time
from velmar.typing import DatetimeLike

@disjoint_base
class Satellite:
    def __init__(
        self,
        time: DatetimeLike,
        state: State,
        propagator: Propagator | None = None,
        ephemeris: StateVectorEphemeris | None = None,
        name: str | None = None,
        description: str | None = None,
    ) -> None: ...
    @property
    def time(self) -> Time: ...
    @property
    def _time(self) -> Time: ...
    @property
    def name(self) -> str | None: ...
    @name.setter
    def name(self, value: str | None) -> None: ...
    @property
    def description(self) -> str | None: ...
    @description.setter
    def description(self, value: str | None) -> None: ...
    @property
    def state(self) -> State: ...
    @property
    def propagator(self) -> Propagator | None: ...
    @property
    def ephemeris(self) -> StateVectorEphemeris | None: ...
