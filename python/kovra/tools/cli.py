"""Command line: run an OpenQASM 2 or 3 program on a back end.

    python -m kovra run FILE.qasm [--shots N] [--backend simulator|nmr]
                                  [--ip ADDRESS] [--port PORT] [--plot FILE.png]
                                  [--json] [--bit-order kovra|qiskit]
                                  [--sample [--seed S]] [--top K|all] [--counts-only]
                                  [--method M] [--noise RULES.json] [--threads N]
    python -m kovra --version

On the simulator, a program that measures is reported over its classical
bits (the value each bit holds at the end, OpenQASM 3's scalar `bit a;` by
its name); otherwise over its qubits. The text shows the --top most probable
outcomes (64 unless asked) and what the rest weigh; --json writes every
outcome unless --top is given. Outcomes over more than 20 bits (the
classical bits that measurements write, or the qubits) get no
probabilities: the simulator draws the shots from the amplitudes. A run
whose outcomes the memory could not hold is refused before it starts, as is
an OpenQASM 3 program with an `input` (the command line has no value to
give it).

Nothing here loads qiskit until a program is read, so --help and --version
work without the qasm extra.

Exit status: 0 done, 1 the run failed, 2 the program or an option is wrong,
130 interrupted (Ctrl-C).
"""

import argparse
import contextlib
import os
import sys

INTERRUPTED = 130  # the shell's status for a command ended by SIGINT

# Result.counts distributes a 32-bit signed shot count.
MAX_SHOTS = 2**31 - 1
# What the text shows unless --top says otherwise: a tall screenful, which
# a program of up to 6 keyed bits fills whole, as it always did.
DEFAULT_TOP = 64
# --top all: more than any run has outcomes.
ALL_OUTCOMES = sys.maxsize
# The simulator's "method" values (docs/configuration.md; the same as
# kovra.qiskit.estimates.METHODS, which needs qiskit to import).
METHODS = ("automatic", "statevector", "density_matrix", "trajectories")


def _whole(text, kind="a whole number"):
    """An option's text as an int, or argparse's refusal naming the text."""
    try:
        return int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"'{text}' is not {kind}") from None


def _shot_count(text):
    """--shots: a whole number from 1 to MAX_SHOTS, refused before anything runs."""
    shots = _whole(text)
    if shots < 1:
        raise argparse.ArgumentTypeError(f"{shots}: give at least 1 shot")
    if shots > MAX_SHOTS:
        raise argparse.ArgumentTypeError(f"{shots}: at most {MAX_SHOTS} shots (2^31 - 1)")
    return shots


def _port_number(text):
    port = _whole(text, "a port number")
    if not 0 < port < 65536:
        raise argparse.ArgumentTypeError(f"{port} is not a port number (1 to 65535)")
    return port


def _top_count(text):
    """--top: a whole number of outcomes from 1, or "all" (ALL_OUTCOMES)."""
    if text == "all":
        return ALL_OUTCOMES
    top = _whole(text, "a whole number or 'all'")
    if top < 1:
        raise argparse.ArgumentTypeError(f"{top}: show at least 1 outcome (or 'all')")
    return top


def _thread_count(text):
    threads = _whole(text)
    if threads < 1:
        raise argparse.ArgumentTypeError(f"{threads}: give at least 1 thread")
    return threads


def _version():
    from .. import __version__

    return __version__


def _parser():
    parser = argparse.ArgumentParser(
        prog="python -m kovra",
        description="Run an OpenQASM 2 or OpenQASM 3 program (the version it declares) on the exact "
                    "state-vector simulator or an NMR device.")
    parser.add_argument("--version", action="version", version=f"%(prog)s {_version()}")
    commands = parser.add_subparsers(dest="command", required=True)
    run = commands.add_parser("run", help="run an OpenQASM 2 or 3 program")
    run.add_argument("file", help="the OpenQASM 2 or 3 program")
    run.add_argument("--shots", type=_shot_count, default=1024,
                     help=f"shots for the counts, 1 to {MAX_SHOTS} (1024)")
    run.add_argument("--backend", choices=("simulator", "nmr"), default="simulator")
    run.add_argument("--ip", default="127.0.0.1", help="NMR device address (127.0.0.1)")
    run.add_argument("--port", type=_port_number, default=55444, help="NMR device port (55444)")
    run.add_argument("--json", action="store_true",
                     help="write the probabilities, counts and what the keys mean as JSON")
    run.add_argument("--top", type=_top_count, metavar="K|all",
                     help=f"show the K most probable outcomes and what the rest weigh (text: {DEFAULT_TOP}; "
                          "JSON: all)")
    run.add_argument("--counts-only", action="store_true", help="leave the probabilities out")
    run.add_argument("--plot", metavar="FILE", help="also write a PNG plot of the distribution")
    run.add_argument("--bit-order", choices=("kovra", "qiskit"), default="kovra",
                     help="key order: lowest bit first (kovra) or highest bit first (qiskit)")
    run.add_argument("--sample", action="store_true",
                     help="draw the counts as real samples (default: the documented rounding rule; outcomes "
                          "over more than 20 bits are always drawn)")
    run.add_argument("--seed", type=int, help="seed of the samples, for reproducible counts (with --sample)")
    run.add_argument("--method", choices=METHODS,
                     help="what the simulator evolves (automatic: a state vector, or with noise a density "
                          "matrix up to 14 qubits and trajectories above)")
    run.add_argument("--noise", metavar="RULES.json",
                     help="a JSON file of the simulator's noise rules (docs/configuration.md#noise)")
    run.add_argument("--threads", type=_thread_count, metavar="N",
                     help="run on N of the CPUs this process may use (all)")
    return parser


def _key_order(program, args, run):
    """("clbits", names) or ("qubits", numbers): what each key character
    reports, in key order."""
    kind, items = run.key_items(program, args)
    return kind, items[::-1] if args.bit_order == "qiskit" else items


def _key_meaning(program, args, run):
    kind, items = _key_order(program, args, run)
    if not items:
        return "keys are empty: the program has no qubits"
    names = items if kind == "clbits" else [f"qubit {q}" for q in items]
    what = "classical bit" if kind == "clbits" else "qubit"
    order = "highest first, as qiskit prints" if args.bit_order == "qiskit" else "lowest first"
    return f"one character per {what}, {', '.join(names)} in this order ({order}; {names[0]} first)"


def _counts_meaning(args, drawn):
    if drawn:
        how = "drawn from the amplitudes"
    elif args.sample:
        how = "sampled"
    else:
        return "rounded"
    return how if args.seed is None else f"{how}, seed {args.seed}"


def _outcomes(program, result, args, run, top):
    """The probabilities to print, or None where the run formed none."""
    from . import cli_report

    if args.counts_only or run.drawn(program, args):
        return None
    width = len(run.key_items(program, args)[1])
    reverse = args.bit_order == "qiskit"
    if args.backend == "nmr" or width > run.DRAWN_COUNT_BITS:
        # A device's few keys, or a wide register of which measurements
        # write few bits: the dict holds what the dense vector cannot.
        return cli_report.Outcomes.from_keys(result.probabilities, reverse, top)
    import kovra_backends

    kind = "keyed" if run.by_clbits(program, args) else "distribution"
    values = cli_report.probability_values(result, kind, kovra_backends.KEY_FLOOR)
    if reverse:
        values = cli_report.reversed_order(values, width)
    return cli_report.Outcomes(values, width, top)


def _report(program, result, counts, args, run):
    from . import cli_report

    drawn = run.drawn(program, args)
    top = args.top if args.top is not None else ALL_OUTCOMES if args.json else DEFAULT_TOP
    outcomes = _outcomes(program, result, args, run, top)
    shown = cli_report.Counts(counts, args.bit_order == "qiskit", top)
    meaning = _key_meaning(program, args, run)
    if args.json:
        kind, items = _key_order(program, args, run)
        head = {"file": args.file, "backend": args.backend, "keys": {kind: items, "meaning": meaning},
                "shots": args.shots}
        tail = {"counts_are": _counts_meaning(args, drawn)}
        if result.trajectories:
            tail["trajectories"] = result.trajectories
        cli_report.write_json(sys.stdout, head, outcomes, shown, tail, top != ALL_OUTCOMES)
        return
    header = f"backend: {args.backend}; keys: {meaning}"
    if drawn:
        header += (f"\n(outcomes over {run.outcome_bits(program, args)} bits, more than {run.DRAWN_COUNT_BITS}: "
                   "no probabilities; the shots are drawn from the amplitudes)")
    if result.trajectories:
        header += f"\n(estimates: averaged over {result.trajectories} trajectories)"
    sampled = f", {_counts_meaning(args, drawn)}" if args.sample or drawn else ""
    cli_report.write_text(sys.stdout, header, outcomes, shown, f"{args.shots} shots{sampled}")


def _plot(program, result, counts, args, run):
    from . import plot

    kind, labels = _key_order(program, args, run)
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


def _load_runner():
    """The modules a run needs: qiskit's loader (the qasm extra) comes in
    here, not at start-up."""
    try:
        from . import cli_run, plot
        from ..qasm import QasmError, load_file
    except ModuleNotFoundError as error:
        package = (error.name or "qiskit").split(".")[0]
        print(f"error: running a program needs {package}, which is not installed "
              "(pip install 'kovra_backends[qasm]')", file=sys.stderr)
        return None
    return cli_run, plot, QasmError, load_file


def _prepare(program, args, run):
    """What is refused before the run, beyond the program itself."""
    run.refuse_inputs(program, args)
    width = len(run.key_items(program, args)[1])
    if args.plot and width > run.DRAWN_COUNT_BITS:
        # The plot reads the dense vector: 2^width entries.
        raise run.UsageError(f"--plot: the keys have {width} bits; a plot takes at most {run.DRAWN_COUNT_BITS}")
    run.check_report_fits(program, args)


def _run(argv):
    parser = _parser()
    args = parser.parse_args(argv)
    if args.seed is not None and not args.sample:
        parser.error("--seed needs --sample")
    if args.backend == "nmr" and (args.noise or args.method or args.threads):
        parser.error("--noise, --method and --threads are options of the simulator, not the NMR device")
    loaded = _load_runner()
    if loaded is None:
        return 1
    run, plot, QasmError, load_file = loaded
    try:
        # A plot that cannot be written is refused before the run.
        if args.plot:
            args.plot = plot.prepare_destination(args.plot)
        noise = run.read_noise(args.noise) if args.noise else None
        # The device runs measurements where they stand too: one in the
        # middle of the program decoheres its qubit, which the gates after
        # it can show.
        program = load_file(args.file)
        _prepare(program, args, run)
        if args.threads:
            run.limit_threads(args.threads)
        result = run.execute(program, args, noise)
        # Drawn shots are samples already.
        if args.sample and not run.drawn(program, args):
            counts = result.sample_counts(args.shots, seed=args.seed)
        else:
            counts = result.counts
    except (QasmError, OSError, run.UsageError) as error:
        print(f"error: {error}", file=sys.stderr)
        return 2
    except (RuntimeError, ValueError, IndexError, MemoryError) as error:
        print(f"error: {error}", file=sys.stderr)
        return 1
    with _reader_may_leave():
        try:
            _report(program, result, counts, args, run)
        except MemoryError as error:
            print(f"error: {error}", file=sys.stderr)
            return 1
    if args.plot:
        try:
            _plot(program, result, counts, args, run)
        except (OSError, ValueError) as error:
            # Checked before the run, but the disk can still fill up or the
            # folder go away meanwhile.
            print(f"error: cannot write the plot to '{args.plot}': {error}", file=sys.stderr)
            return 1
        # On stderr under --json, so that stdout stays one JSON document.
        print(f"plot written to {args.plot}", file=sys.stderr if args.json else sys.stdout)
    return 0


def main(argv=None):
    """Runs ``python -m kovra`` with `argv` (default: sys.argv[1:]) and
    returns its exit status: 0 done, 1 the run failed, 2 the program or an
    option is wrong, 130 stopped with Ctrl-C."""
    try:
        return _run(argv)
    except KeyboardInterrupt:
        print("interrupted", file=sys.stderr)
        return INTERRUPTED


if __name__ == "__main__":
    sys.exit(main())
