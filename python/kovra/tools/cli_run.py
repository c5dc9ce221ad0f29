"""The command line's run: the configuration it asks of a back end, what it
refuses before running, and the run itself.

Keys wider than DRAWN_COUNT_BITS are not given probabilities: the
simulator draws the shots from the final amplitudes ("probabilities":
False), as KovraBackend does, so a register measured on every qubit costs
its state vector and the shots, not a distribution of 2^bits entries that
nobody could read.
"""

import contextlib
import json
import os
import sys

import kovra_backends

from ..qasm import QasmError
from ..qasm.limits import available_memory, size_text

# The device back end's register.
NMR_MAX_QUBITS = 3
# As KovraBackend (kovra.qiskit.DRAWN_COUNT_BITS): past this many keyed bits
# the distribution would be a vector of 2^bits doubles beside the state.
DRAWN_COUNT_BITS = 20
# A run that keeps every outcome keyed by classical bits costs it a keyed
# entry, and its counts a Python string, int and slot, each with the
# key's characters: measured over 2^20 outcomes of 20 bits, 145 bytes in
# the run and 139 in the dict. Rounded up.
BYTES_PER_KEYED_OUTCOME = 300
# A shot drawn from the amplitudes costs the run at most a few hundred
# bytes (docs/results.md; 184 for 24-bit keys), and each distinct key the
# counts dict as above.
BYTES_PER_DRAWN_SHOT = 200
BYTES_PER_AMPLITUDE = 16


class UsageError(ValueError):
    """A request that cannot be carried out as given; nothing has run yet."""


def key_items(program, args):
    """("clbits", names) or ("qubits", numbers): what each key character
    reports, lowest bit first."""
    if by_clbits(program, args):
        return "clbits", list(program.clbit_names)
    return "qubits", sorted(program.measured) if program.measured else list(range(program.num_qubits))


def by_clbits(program, args):
    """Whether the keys report classical bits: the simulator's answer for a
    program that measures (the NMR device measures qubits at the end)."""
    return args.backend == "simulator" and bool(program.measured) and bool(program.clbit_names)


def outcome_bits(program, args):
    """The bits whose values the outcomes range over: the classical bits
    that measurements write (the others read 0), or the keyed qubits."""
    kind, items = key_items(program, args)
    return min(len(items), len(program.written)) if kind == "clbits" else len(items)


def drawn(program, args):
    """Whether the simulator draws the shots instead of forming the
    probabilities: outcomes too many for a distribution anyone would read."""
    return args.backend == "simulator" and outcome_bits(program, args) > DRAWN_COUNT_BITS


def refuse_inputs(program, args):
    """The command line has no values to give an OpenQASM 3 `input`."""
    if program.inputs:
        name, line = next(iter(program.inputs.items()))
        raise UsageError(f"input '{name}' (line {line} of {args.file}) needs a value, which the command line "
                         "cannot give; compile the program's graph with kovra_backends.compile(graph, config) "
                         "and run(values)")


def check_report_fits(program, args):
    """Refuses, before the run, outcomes that the memory may not hold.

    A program that writes more classical bits than it measures qubits
    (a qubit measured again, after a reset) or that conditions on them
    runs as branch states: the run keeps every outcome of the bits it
    writes, up to 2^bits of them, drawn or not. Otherwise the outcomes
    kept are those printed: every one of a distribution (at most 2^20),
    or the shots drawn and their distinct keys."""
    kind, items = key_items(program, args)
    if kind != "clbits" and not drawn(program, args):
        return  # the run checks its own dense vector
    written = outcome_bits(program, args)
    state = BYTES_PER_AMPLITUDE * 2.0 ** program.num_qubits
    branches = kind == "clbits" and (program.conditioned or written > len(program.measured))
    if drawn(program, args) and not branches:
        distinct = min(float(args.shots), 2.0 ** written)
        needed = state + args.shots * BYTES_PER_DRAWN_SHOT + distinct * (BYTES_PER_KEYED_OUTCOME + 2 * len(items))
        what = f"{args.shots} shots drawn over {written} bits"
    else:
        outcomes = 2.0 ** written
        needed = state + outcomes * (BYTES_PER_KEYED_OUTCOME + 2 * len(items))
        what = f"measurements write {written} classical bits, up to {outcomes:.0f} outcomes"
    free = available_memory()
    if free is not None and needed > free:
        raise MemoryError(f"{args.file}: {what}, which the run and the printed report need up to "
                          f"{size_text(needed)} for; {size_text(free)} are available")


def read_noise(path):
    """The "noise" rules of a JSON file: a list of rules, or an object
    holding them under "noise". The simulator checks each rule."""
    try:
        with open(path, encoding="utf-8") as f:
            document = json.load(f)
    except json.JSONDecodeError as error:
        raise UsageError(f"--noise {path}:{error.lineno}:{error.colno}: not JSON: {error.msg}") from None
    except UnicodeDecodeError:
        raise UsageError(f"--noise {path}: not UTF-8 text") from None
    if isinstance(document, dict) and "noise" in document:
        document = document["noise"]
    if not isinstance(document, list):
        raise UsageError(f"--noise {path}: holds a {type(document).__name__}; give a list of noise rules "
                         "(or an object with them under \"noise\")")
    return document


def limit_threads(count):
    """Keeps the run on `count` of the CPUs the process may use: the
    engine sizes its threads by the process's CPU affinity, read at its
    first run, and has no option of its own for it."""
    cpus = sorted(os.sched_getaffinity(0))
    if count > len(cpus):
        raise UsageError(f"--threads {count}: this process may run on {len(cpus)} CPUs")
    os.sched_setaffinity(0, cpus[:count])


def simulator_config(program, args, noise):
    """The BasicSimulator configuration for a loaded `program`, the parsed
    command line `args` and the `noise` rules (a list, or None)."""
    config = {"shots": args.shots}
    kind, items = key_items(program, args)
    if kind == "clbits":
        config["mcbits"] = list(range(len(items)))
    elif program.measured:
        config["mqubits"] = items
    if args.method is not None:
        config["method"] = args.method
    if noise is not None:
        config["noise"] = noise
    if drawn(program, args):
        config["probabilities"] = False
        if args.seed is not None:
            config["seed"] = args.seed
    return config


def execute(program, args, noise):
    """Runs `program` on the back end `args` names and returns its Result;
    a noise rule the simulator refuses is named with the --noise file."""
    if args.backend == "simulator":
        config = simulator_config(program, args, noise)
        try:
            return kovra_backends.BasicSimulator().execute(program.capsule(), config)
        except ValueError as error:
            # The simulator names the rule by its place in the list; the
            # reader wants the file too.
            if args.noise and str(error).startswith('"noise"'):
                raise ValueError(f"--noise {args.noise}: {error}") from None
            raise
    return _execute_nmr(program, args)


def _execute_nmr(program, args):
    """Refuses what the device cannot take before connecting; a device that
    cannot be reached is named with its address."""
    if program.conditioned:
        raise QasmError("the NMR back end does not run classically conditioned gates")
    if program.num_qubits > NMR_MAX_QUBITS:
        raise UsageError(f"{args.file} uses {program.num_qubits} qubits; the NMR back end "
                         f"runs at most {NMR_MAX_QUBITS}")
    config = {"shots": args.shots, "ip": args.ip, "port": args.port}
    if program.measured:
        config["mqubits"] = sorted(program.measured)
    address = f"{args.ip}:{args.port}"
    try:
        with _device_chatter_to_stderr() if args.json else contextlib.nullcontext():
            return kovra_backends.NMR().execute(program.capsule(), config)
    except RuntimeError as error:
        if "Connect to server failed" in str(error):
            raise RuntimeError(
                f"could not reach the NMR device at {address}; for the local emulator run "
                f"'python -m kovra.emulator --port {args.port}' first") from None
        raise RuntimeError(f"NMR device at {address}: {error}") from None


@contextlib.contextmanager
def _device_chatter_to_stderr():
    """The device client reports its connection on the process's stdout;
    under --json stdout must hold the JSON document alone."""
    sys.stdout.flush()
    saved = os.dup(1)
    os.dup2(2, 1)
    try:
        yield
    finally:
        os.dup2(saved, 1)
        os.close(saved)
