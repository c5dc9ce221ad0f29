"""Command line: run an OpenQASM 2 program on a back end.

    python -m kovra run FILE.qasm [--shots N] [--backend simulator|nmr]
                                  [--ip ADDRESS] [--port PORT] [--plot FILE.png]
"""

import argparse
import os
import sys

import kovra_backends

from .qasm import QasmError, load_file


def _parser():
    parser = argparse.ArgumentParser(prog="python -m kovra")
    commands = parser.add_subparsers(dest="command", required=True)
    run = commands.add_parser("run", help="run an OpenQASM 2 program")
    run.add_argument("file", help="the OpenQASM 2 program")
    run.add_argument("--shots", type=int, default=1024, help="shots for the counts (1024)")
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


def _report(program, result, args):
    qubits = sorted(program.measured) if program.measured else list(range(program.num_qubits))
    print(f"backend: {args.backend}; keys list qubits {' '.join(map(str, qubits))} "
          f"(qubit {qubits[0] if qubits else '-'} first)")
    print("probabilities:")
    for key, p in result.probabilities.items():
        print(f"  {key or '(none)'}  {p:.10f}")
    print(f"counts ({args.shots} shots):")
    for key, n in result.counts.items():
        print(f"  {key or '(none)'}  {n}")


def _plot(result, args):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    keys = list(result.probabilities)
    fig, ax = plt.subplots(figsize=(max(4, 0.5 * len(keys) + 2), 3.5))
    ax.bar(keys, [result.probabilities[k] for k in keys], color="#3b6ea8")
    counts = result.counts
    for x, key in enumerate(keys):
        ax.annotate(str(counts.get(key, 0)), (x, result.probabilities[key]),
                    ha="center", va="bottom", fontsize=8)
    ax.set_xlabel("outcome (qubit order as printed)")
    ax.set_ylabel("probability")
    name = os.path.basename(args.file)
    ax.set_title(f"{name} on {args.backend}\ncounts of {args.shots} shots above the bars",
                 fontsize=9)
    ax.set_ylim(0, 1.1 * max([*result.probabilities.values(), 1e-12]))
    plt.setp(ax.get_xticklabels(), rotation=90 if len(keys) > 8 else 0)
    fig.tight_layout()
    fig.savefig(args.plot, dpi=120)
    plt.close(fig)


def main(argv=None):
    args = _parser().parse_args(argv)
    try:
        program = load_file(args.file, measurements=args.backend == "simulator")
        result = _execute(program, args)
    except (QasmError, OSError) as error:
        print(f"error: {error}", file=sys.stderr)
        return 2
    except (RuntimeError, ValueError, IndexError, MemoryError) as error:
        print(f"error: {error}", file=sys.stderr)
        return 1
    _report(program, result, args)
    if args.plot:
        _plot(result, args)
        print(f"plot written to {args.plot}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
