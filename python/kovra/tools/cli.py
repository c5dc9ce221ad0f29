"""Command line: run an OpenQASM 2 program on a back end.

    python -m kovra run FILE.qasm [--shots N] [--backend simulator|nmr]
                                  [--ip ADDRESS] [--port PORT] [--plot FILE.png]
                                  [--json] [--bit-order kovra|qiskit]
                                  [--sample [--seed S]]

On the simulator, a program that measures is reported over its classical
bits (the value each bit holds at the end, OpenQASM 3's scalar `bit a;` by
its name); otherwise over its qubits. Every outcome is printed, so a program
whose measured bits could take more outcomes than the memory holds is
refused before the run, as is one with an OpenQASM 3 `input` (the command line has no value
to give it).

Exit status: 0 done, 1 the run failed, 2 the program or an option is wrong,
130 interrupted (Ctrl-C).
"""

import argparse
import contextlib
import json
import os
import sys

INTERRUPTED = 130  # the shell's status for a command ended by SIGINT

try:
    import kovra_backends

    from . import plot
    from ..qasm import QasmError, load_file
    from ..qasm.limits import available_memory, size_text
except KeyboardInterrupt:
    # Loading qiskit takes a second or two: Ctrl-C often lands here.
    print("interrupted", file=sys.stderr)
    sys.exit(INTERRUPTED)

# Result.counts distributes a 32-bit signed shot count.
MAX_SHOTS = 2**31 - 1
NMR_MAX_QUBITS = 3
# The command line prints every outcome. Keyed by classical bits, each costs
# the run a keyed entry and Python's dict a string, a float and a slot, each
# with the key's characters: measured over 2^20 outcomes of 20 bits, 145
# bytes in the run and 139 in the dict. Rounded up, for the printing.
BYTES_PER_KEYED_OUTCOME = 300


class UsageError(ValueError):
    """A request that cannot be carried out as given; nothing has run yet."""


def _shot_count(text):
    """--shots: a whole number from 1 to MAX_SHOTS, refused before anything runs."""
    try:
        shots = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"'{text}' is not a whole number") from None
    if shots < 1:
        raise argparse.ArgumentTypeError(f"{shots}: give at least 1 shot")
    if shots > MAX_SHOTS:
        raise argparse.ArgumentTypeError(f"{shots}: at most {MAX_SHOTS} shots (2^31 - 1)")
    return shots


def _port_number(text):
    try:
        port = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"'{text}' is not a port number") from None
    if not 0 < port < 65536:
        raise argparse.ArgumentTypeError(f"{port} is not a port number (1 to 65535)")
    return port


def _parser():
    parser = argparse.ArgumentParser(prog="python -m kovra")
    commands = parser.add_subparsers(dest="command", required=True)
    run = commands.add_parser("run", help="run an OpenQASM 2 program")
    run.add_argument("file", help="the OpenQASM 2 program")
    run.add_argument("--shots", type=_shot_count, default=1024,
                     help=f"shots for the counts, 1 to {MAX_SHOTS} (1024)")
    run.add_argument("--backend", choices=("simulator", "nmr"), default="simulator")
    run.add_argument("--ip", default="127.0.0.1", help="NMR device address (127.0.0.1)")
    run.add_argument("--port", type=_port_number, default=55444, help="NMR device port (55444)")
    run.add_argument("--json", action="store_true",
                     help="write the probabilities, counts and what the keys mean as JSON")
    run.add_argument("--plot", metavar="FILE", help="also write a PNG plot of the distribution")
    run.add_argument("--bit-order", choices=("kovra", "qiskit"), default="kovra",
                     help="key order: lowest bit first (kovra) or highest bit first (qiskit)")
    run.add_argument("--sample", action="store_true",
                     help="draw the counts as real samples (default: the documented rounding rule)")
    run.add_argument("--seed", type=int, help="seed of the samples, for reproducible counts (with --sample)")
    return parser


def _by_clbits(program, args):
    """Whether the keys report classical bits: the simulator's answer for a
    program that measures (the NMR device measures qubits at the end)."""
    return args.backend == "simulator" and bool(program.measured) and bool(program.clbit_names)


def _refuse_inputs(program, args):
    """The command line has no values to give an OpenQASM 3 `input`."""
    if program.inputs:
        name, line = next(iter(program.inputs.items()))
        raise UsageError(f"input '{name}' (line {line} of {args.file}) needs a value, which the command line "
                         "cannot give; compile the program's graph with kovra_backends.compile(graph, config) "
                         "and run(values)")


def _check_report_fits(program, args):
    """Refuses, before the run, outcomes keyed by classical bits that the
    memory may not hold: the run keeps every one and the command line
    prints every one. (Keyed by qubits, the run forms the dense vector
    it checks itself, and the dict of probabilities reserves its memory.)
    The outcomes are not known before the run: they are counted as every
    value of the bits that measurements write, so a program measuring 28
    bits is taken to have 2^28."""
    kind, items = _key_order(program, args)
    if kind != "clbits":
        return
    written = min(len(items), len(program.written))
    outcomes = 2.0 ** written
    needed = 16 * 2.0 ** program.num_qubits + outcomes * (BYTES_PER_KEYED_OUTCOME + 2 * len(items))
    free = available_memory()
    if free is not None and needed > free:
        raise MemoryError(f"{args.file}: measurements write {written} classical bits, up to {outcomes:.0f} "
                          f"outcomes, which the run and the printed report need up to {size_text(needed)} for; "
                          f"{size_text(free)} are available")


def _execute(program, args):
    config = {"shots": args.shots}
    if _by_clbits(program, args):
        config["mcbits"] = list(range(len(program.clbit_names)))
    elif program.measured:
        config["mqubits"] = sorted(program.measured)
    if args.backend == "simulator":
        return kovra_backends.BasicSimulator().execute(program.capsule(), config)
    return _execute_nmr(program, config, args)


def _execute_nmr(program, config, args):
    """Refuses what the device cannot take before connecting; a device that
    cannot be reached is named with its address."""
    if program.conditioned:
        raise QasmError("the NMR back end does not run classically conditioned gates")
    if program.num_qubits > NMR_MAX_QUBITS:
        raise UsageError(f"{args.file} uses {program.num_qubits} qubits; the NMR back end "
                         f"runs at most {NMR_MAX_QUBITS}")
    config.update({"ip": args.ip, "port": args.port})
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


def _key_qubits(program):
    """The qubits the keys report, in key order: character i is qubit [i]."""
    return sorted(program.measured) if program.measured else list(range(program.num_qubits))


def _key_order(program, args):
    """("clbits", names) or ("qubits", numbers): what each key character
    reports, in key order."""
    if _by_clbits(program, args):
        kind, items = "clbits", list(program.clbit_names)
    else:
        kind, items = "qubits", _key_qubits(program)
    return kind, items[::-1] if args.bit_order == "qiskit" else items


def _key_meaning(program, args):
    kind, items = _key_order(program, args)
    if not items:
        return "keys are empty: the program has no qubits"
    names = items if kind == "clbits" else [f"qubit {q}" for q in items]
    what = "classical bit" if kind == "clbits" else "qubit"
    order = "highest first, as qiskit prints" if args.bit_order == "qiskit" else "lowest first"
    return f"one character per {what}, {', '.join(names)} in this order ({order}; {names[0]} first)"


def _ordered(table, args):
    """Keys as the chosen bit order writes them."""
    if args.bit_order == "kovra":
        return table  # a copy would double the report's memory
    return {key[::-1]: value for key, value in sorted(table.items(), key=lambda kv: kv[0][::-1])}


def _counts(result, args):
    if args.sample:
        return result.sample_counts(args.shots, seed=args.seed)
    return result.counts


def _counts_meaning(args):
    if not args.sample:
        return "rounded"
    return "sampled" if args.seed is None else f"sampled, seed {args.seed}"


def _report_json(program, result, counts, args):
    document = {
        "file": args.file,
        "backend": args.backend,
        "keys": dict([_key_order(program, args)], meaning=_key_meaning(program, args)),
        "probabilities": _ordered(result.probabilities, args),
        "shots": args.shots,
        "counts": _ordered(counts, args),
        "counts_are": _counts_meaning(args),
    }
    json.dump(document, sys.stdout, indent=1)
    print()


def _report(program, result, counts, args):
    print(f"backend: {args.backend}; keys: {_key_meaning(program, args)}")
    print("probabilities:")
    for key, p in _ordered(result.probabilities, args).items():
        print(f"  {key or '(none)'}  {p:.10f}")
    sampled = f", {_counts_meaning(args)}" if args.sample else ""
    print(f"counts ({args.shots} shots{sampled}):")
    for key, n in _ordered(counts, args).items():
        print(f"  {key or '(none)'}  {n}")


def _plot(program, result, counts, args):
    kind, labels = _key_order(program, args)
    how = "sampled counts" if args.sample else "counts by the rounding rule"
    title = f"{os.path.basename(args.file)} on {args.backend}: {how} of {args.shots} shots above the bars"
    plot.write(args.plot, result.probability_array(), counts, labels, title,
               kind="classical bit" if kind == "clbits" else "qubit", reverse=args.bit_order == "qiskit")


@contextlib.contextmanager
def _reader_may_leave():
    """A reader that stops early (`| head`) closes the pipe. What is left to
    print then goes nowhere, quietly, and the rest of the run (a plot) still
    happens."""
    try:
        yield
    except BrokenPipeError:
        # Python flushes stdout once more at exit; it must find somewhere to
        # write, or it reports the broken pipe after all.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)


def _run(argv):
    parser = _parser()
    args = parser.parse_args(argv)
    if args.seed is not None and not args.sample:
        parser.error("--seed needs --sample")
    try:
        # A plot that cannot be written is refused before the run.
        if args.plot:
            args.plot = plot.prepare_destination(args.plot)
        # The device runs measurements where they stand too: one in the
        # middle of the program decoheres its qubit, which the gates after
        # it can show.
        program = load_file(args.file)
        _refuse_inputs(program, args)
        _check_report_fits(program, args)
        result = _execute(program, args)
        counts = _counts(result, args)
    except (QasmError, OSError, UsageError) as error:
        print(f"error: {error}", file=sys.stderr)
        return 2
    except (RuntimeError, ValueError, IndexError, MemoryError) as error:
        print(f"error: {error}", file=sys.stderr)
        return 1
    with _reader_may_leave():
        (_report_json if args.json else _report)(program, result, counts, args)
    if args.plot:
        try:
            _plot(program, result, counts, args)
        except (OSError, ValueError) as error:
            # Checked before the run, but the disk can still fill up or the
            # folder go away meanwhile.
            print(f"error: cannot write the plot to '{args.plot}': {error}", file=sys.stderr)
            return 1
        # On stderr under --json, so that stdout stays one JSON document.
        print(f"plot written to {args.plot}", file=sys.stderr if args.json else sys.stdout)
    return 0


def main(argv=None):
    try:
        return _run(argv)
    except KeyboardInterrupt:
        print("interrupted", file=sys.stderr)
        return INTERRUPTED


if __name__ == "__main__":
    sys.exit(main())
