"""
Kovra Backends
"""
from __future__ import annotations
import collections.abc
import typing
__all__: list[str] = ['BasicSimulator', 'NMR', 'Result', 'distributed_run']
class BasicSimulator:
    def __init__(self) -> None:
        ...
    def execute(self, arg0: typing.Any, arg1: dict) -> Result:
        ...
class NMR:
    def __init__(self) -> None:
        ...
    def execute(self, arg0: typing.Any, arg1: dict) -> Result:
        ...
class Result:
    def __init__(self) -> None:
        ...
    def get_random_reading(self) -> str:
        ...
    @property
    def counts(self) -> dict[str, int]:
        ...
    @property
    def probabilities(self) -> dict[str, float]:
        ...
    @probabilities.setter
    def probabilities(self, arg0: collections.abc.Mapping[str, typing.SupportsFloat | typing.SupportsIndex]) -> None:
        ...
    @property
    def states(self) -> list[complex]:
        ...
    @states.setter
    def states(self, arg0: collections.abc.Sequence[complex | typing.SupportsComplex | typing.SupportsFloat | typing.SupportsIndex]) -> None:
        ...
def distributed_run() -> dict:
    """
    The MPI world of this process and what this rank's last distributed run cost: swaps of a rank qubit with a local one, bytes this rank sent, the bytes the plain pairwise scheme would have sent, seconds spent exchanging and computing, and passes over the slice.
    """
