"""Command line: run an OpenQASM 2 program on a back end.

    python -m kovra run FILE.qasm [--shots N] [--sample] [--seed S]
                                  [--backend simulator|nmr]
                                  [--ip ADDRESS] [--port PORT] [--plot FILE.png]
"""

import argparse
import os
import sys

import kovra_backends

from . import plot
from .qasm import QasmError, load_file


def _parser():
    parser = argparse.ArgumentParser(prog="python -m kovra")
    commands = parser.add_subparsers(dest="command", required=True)
    run = commands.add_parser("run", help="run an OpenQASM 2 program")
    run.add_argument("file", help="the OpenQASM 2 program")
    run.add_argument("--shots", type=int, default=1024, help="shots for the counts (1024)")
    run.add_argument("--sample", action="store_true",
                     help="draw the counts as real samples (default: the documented rounding rule)")
    run.add_argument("--seed", type=int, help="seed of the samples, for reproducible counts (with --sample)")
    run.add_argument("--backend", choices=("simulator", "nmr"), default="simulator")
    run.add_argument("--ip", default="127.0.0.1", help="NMR device address (127.0.0.1)")
    run.add_argument("--port", type=int, default=55444, help="NMR device port (55444)")
    run.add_argument("--plot", metavar="FILE", help="also write a PNG plot of the distribution")
    return parser


def _execute(program, args):
    config = {"shots": args.shots}
    if program.measured:
        config["mqubits"] = sorted(program.measured)
    if args.backend == "simulator":
        return kovra_backends.BasicSimulator().execute(program.capsule(), config)
    if program.conditioned:
        raise QasmError("the NMR back end does not run classically conditioned gates")
    config.update({"ip": args.ip, "port": args.port})
    return kovra_backends.NMR().execute(program.capsule(), config)


def _measured_qubits(program):
    return sorted(program.measured) if program.measured else list(range(program.num_qubits))


def _counts(result, args):
    if args.sample:
        return result.sample_counts(args.shots, seed=args.seed)
    return result.counts


def _report(program, result, counts, args):
    qubits = _measured_qubits(program)
    print(f"backend: {args.backend}; keys list qubits {' '.join(map(str, qubits))} "
          f"(qubit {qubits[0] if qubits else '-'} first)")
    print("probabilities:")
    for key, p in result.probabilities.items():
        print(f"  {key or '(none)'}  {p:.10f}")
    how = f"sampled, seed {args.seed}" if args.sample and args.seed is not None else (
        "sampled" if args.sample else "rounded")
    print(f"counts ({args.shots} shots, {how}):")
    for key, n in counts.items():
        print(f"  {key or '(none)'}  {n}")


def _plot(program, result, counts, args):
    how = "sampled counts" if args.sample else "counts by the rounding rule"
    title = f"{os.path.basename(args.file)} on {args.backend}: {how} of {args.shots} shots above the bars"
    plot.write(args.plot, result.probability_array(), counts, _measured_qubits(program), title)


def main(argv=None):
    parser = _parser()
    args = parser.parse_args(argv)
    if args.seed is not None and not args.sample:
        parser.error("--seed needs --sample")
    try:
        # A plot that cannot be written is refused before the run.
        if args.plot:
            plot.prepare_destination(args.plot)
        program = load_file(args.file, measurements=args.backend == "simulator")
        result = _execute(program, args)
        counts = _counts(result, args)
    except (QasmError, OSError) as error:
        print(f"error: {error}", file=sys.stderr)
        return 2
    except (RuntimeError, ValueError, IndexError, MemoryError) as error:
        print(f"error: {error}", file=sys.stderr)
        return 1
    _report(program, result, counts, args)
    if args.plot:
        _plot(program, result, counts, args)
        print(f"plot written to {args.plot}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
