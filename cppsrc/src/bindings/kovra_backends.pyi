"""
Kovra Backends
"""
from __future__ import annotations
import collections.abc
import numpy
import numpy.typing
import typing
__all__: list[str] = ['AUTO_DENSITY_QUBITS', 'BasicSimulator', 'CircuitError', 'CircuitIndexError', 'ConfigTypeError', 'KEY_FLOOR', 'MAX_CHANNEL_QUBITS', 'MAX_EXPANDED_VERTICES', 'MAX_QUBITS', 'MAX_TRAJECTORIES', 'NMR', 'ParameterError', 'Program', 'Result', 'compile', 'distributed_run', 'free_bytes', 'graph_capsule', 'kernel_path']
class CircuitError(RuntimeError, ValueError):
    """
    A vertex of the circuit graph the back ends cannot take; `vertex` is its id and `name` its "name".
    """
class CircuitIndexError(CircuitError, IndexError):
    """
    A qubit or classical bit that no register declares.
    """
class ParameterError(CircuitError, TypeError):
    """
    A parameter function of a definition body that is no function or gives no number.
    """
class ConfigTypeError(RuntimeError, TypeError):
    """
    A configuration value of a type its key does not take (or an integer outside the range it takes). A RuntimeError too, as such refusals were before they had a class of their own.
    """
class BasicSimulator:
    def __init__(self) -> None:
        ...
    def execute(self, graph: typing.Any, config: dict) -> Result:
        ...
class NMR:
    def __init__(self) -> None:
        ...
    def execute(self, graph: typing.Any, config: dict) -> Result:
        ...
class Program:
    """
    A circuit graph read once, with its configuration, for runs with many sets of values of its free parameters (kovra_backends.compile).
    """
    def expectation_values(self, values: typing.Any, *, errors: bool = False) -> numpy.typing.NDArray[numpy.float64] | tuple[numpy.typing.NDArray[numpy.float64], numpy.typing.NDArray[numpy.float64], numpy.typing.NDArray[numpy.int64]]:
        """
        <O> of each of the configuration's "observables" for each row of `values`: an array of one row per set and one column per observable. With `errors`: (values, standard errors of the same shape, the trajectories each row averaged), the errors and trajectories 0 where a row is exact.
        """
    def run(self, values: typing.Any) -> list[Result]:
        """
        One Result per row of `values` (a 2-D array, one column per parameter; a 1-D array is one row).
        """
    @property
    def parameters(self) -> list[str]:
        """
        The free parameters' names, in order of first use: the columns of `values`.
        """
class Result:
    def __init__(self) -> None:
        ...
    def get_random_reading(self) -> str:
        ...
    def probability_array(self) -> numpy.typing.NDArray[numpy.float64]:
        """
        The probabilities as a read-only float64 array shared with the result, without a copy: entry k is the outcome whose key is k in binary (the first key character the most significant bit), before small entries are dropped from `probabilities`.
        """
    def sample_counts(self, shots: typing.SupportsInt | typing.SupportsIndex, seed: typing.Any = None) -> dict[str, int]:
        """
        Counts of `shots` outcomes drawn independently with the probabilities of `probability_array()` (multinomial counts), from numpy.random.default_rng(seed).
        """
    def sample_memory(self, shots: typing.SupportsInt | typing.SupportsIndex, seed: typing.Any = None) -> list[str]:
        """
        The key of each of `shots` outcomes, in the order drawn; the same draws as `sample_counts` with the same seed.
        """
    def state_array(self) -> numpy.typing.NDArray[numpy.complex128] | numpy.typing.NDArray[numpy.complex64]:
        """
        The final state vector as a read-only array shared with the result, without a copy: complex128, or complex64 from a run with "precision": "single"; empty when `states` is.
        """
    @property
    def counts(self) -> dict[str, int]:
        ...
    @property
    def expectation_errors(self) -> list[float]:
        """
        The standard error of each of `expectation_values` where the run was an estimate ("method": "trajectories", or "automatic" on a noisy register too wide for a density matrix); empty for exact results.
        """
    @property
    def expectation_values(self) -> list[float]:
        """
        <O> of each observable of the configuration's "observables", in order: exact, over every measurement branch (empty without "observables").
        """
    @property
    def key_count(self) -> int:
        """
        How many keys `probabilities` holds, without building them: a caller can choose between the keyed probabilities and `probability_array()` (2^width entries) by what each costs.
        """
    @property
    def memory(self) -> list[str]:
        """
        With "memory": True (and "probabilities": False), the key of every shot drawn, in the order drawn: `counts` is its tally. Empty otherwise.
        """
    @property
    def probabilities(self) -> dict[str, float]:
        ...
    @probabilities.setter
    def probabilities(self, value: collections.abc.Mapping[str, typing.SupportsFloat | typing.SupportsIndex]) -> None:
        ...
    @property
    def probability_errors(self) -> dict[str, float]:
        """
        The standard error of each probability where the result is an estimate ("method": "trajectories"), keyed as `probabilities`; empty for exact results.
        """
    @property
    def states(self) -> list[complex]:
        ...
    @states.setter
    def states(self, value: collections.abc.Sequence[complex | typing.SupportsComplex | typing.SupportsFloat | typing.SupportsIndex]) -> None:
        ...
    @property
    def trajectories(self) -> int:
        """
        How many trajectories the run averaged: 0 for an exact result, else its probabilities and expectation values are estimates with standard errors (`probability_errors`, `expectation_errors`).
        """
def compile(graph: typing.Any, config: dict = {}) -> Program:
    """
    Reads the graph and the BasicSimulator configuration once; gates whose "params" name free parameters are bound per run (Program.run).
    """
def distributed_run() -> dict:
    """
    The MPI world of this process and what this rank's last distributed run cost: swaps of a rank qubit with a local one, bytes this rank sent, the bytes the plain pairwise scheme would have sent, seconds spent exchanging and computing, and passes over the slice.
    """
def free_bytes() -> float:
    """
    Bytes the process can still allocate, as the memory guard of a run counts them: the machine's available memory and, under an address-space limit or the memory limit of the process's cgroup (or of an ancestor), what is left of it (inf where nothing tells; negative past a limit).
    """
def graph_capsule(graph: typing.Any) -> typing.Any:
    """
    python-igraph's capsule of `graph`, as execute() takes it, that keeps the graph alive for as long as the capsule lives (a plain capsule from __graph_as_capsule() does not).
    """
def kernel_path() -> str:
    """
    The instruction set the kernels use: "avx2" or "plain" (the widest the CPU runs, unless the environment variable KOVRA_KERNELS asked for "plain" before the first run).
    """
AUTO_DENSITY_QUBITS: int = 14
KEY_FLOOR: float = 1e-10
MAX_CHANNEL_QUBITS: int = 2
MAX_EXPANDED_VERTICES: int = 4194304
MAX_QUBITS: int = 62
MAX_TRAJECTORIES: int = 100000000
