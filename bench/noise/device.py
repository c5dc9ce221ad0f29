"""Device noise, exactly: the programs of device_programs.py transpiled to
``GenericBackendV2(N, seed=SEED)`` (N the program's width, at least 5) and
run under ``NoiseModel.from_backend`` of that device (its relaxation pass on
delays removed: kovra refuses custom passes) as density matrices, kovra's
``KovraBackend.probabilities`` against ``AerSimulator(method=
"density_matrix")`` saving the same probabilities.

    PYTHONPATH=<module dir> python bench/noise/device.py [--threads 1,2] [--reps 3] [--only a,b]
        [--kovra-python DIR] [--out results.json] [--profile NAME]

Each side and thread count is a worker process of its own, pinned to that
many CPUs and kept for the whole benchmark; the calls are interleaved
(per repetition, per program, per thread count: kovra, then Aer) and the
table shows medians. The first call of a worker on a program is counted
apart ("cold"): it holds kovra's conversion of the errors the program meets.

Timed, for kovra: the whole ``probabilities(circuit)`` call (its own
transpilation onto the gate table, lowering, the noise channels, the run),
and inside it the simulator's ``execute`` ("run"). For Aer:
``run(circuit).result()`` on the circuit with its final measurements
replaced by the measurements' quantum errors and ``save_probabilities``;
the readout errors are folded in afterwards, untimed, to check both agree.

--kovra-python puts DIR first on kovra's path (an older kovra/ package, for
a before-and-after table). --profile runs one program under cProfile in this
process (one thread) and prints where kovra's time goes.
"""

import argparse
import json
import os
import statistics
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
# The devices' calibration draws: every worker builds the same devices.
SEED = 17
TRANSPILE_SEED = 5
MIN_DEVICE_QUBITS = 5


def device(width):
    from qiskit.providers.fake_provider import GenericBackendV2
    from qiskit_aer.noise import NoiseModel

    backend = GenericBackendV2(max(width, MIN_DEVICE_QUBITS), seed=SEED)
    model = NoiseModel.from_backend(backend)
    model._custom_noise_passes = []  # the relaxation on delays
    return backend, model


def prepared(name):
    """(transpiled circuit, noise model) of a program."""
    from qiskit import transpile

    from device_programs import PROGRAMS

    program = PROGRAMS[name]()
    backend, model = device(program.num_qubits)
    return transpile(program, backend, optimization_level=1, seed_transpiler=TRANSPILE_SEED), model


def aer_circuit(circuit, model):
    """The circuit's final measurements as their quantum errors and saved
    probabilities (bit b's qubit the b-th lowest), and the measured qubits."""
    qubits = {}
    body = circuit.copy_empty_like()
    for instruction in circuit.data:
        if instruction.operation.name == "measure":
            qubits[circuit.find_bit(instruction.clbits[0]).index] = circuit.find_bit(instruction.qubits[0]).index
        elif instruction.operation.name != "barrier":
            body.append(instruction)
    order = [qubits[b] for b in sorted(qubits)]
    for q in order:
        error = model._local_quantum_errors.get("measure", {}).get((q,))
        if error is not None:
            body.append(error.to_instruction(), [q])
    body.save_probabilities(order)
    return body, order


def folded(probabilities, model, order):
    import numpy as np

    tensor = np.asarray(probabilities).reshape([2] * len(order))  # axis k: bit len - 1 - k
    for b, q in enumerate(order):
        error = model._local_readout_errors.get((q,))
        if error is not None:
            axis = len(order) - 1 - b
            tensor = np.moveaxis(np.tensordot(tensor, np.asarray(error.probabilities), axes=([axis], [0])), -1, axis)
    return tensor.reshape(-1)


def worker(who, threads):
    """Answers "name" lines with the JSON of one timed call."""
    import time

    import numpy as np

    cache, spent = {}, [0.0]
    if who == "kovra":
        import kovra_backends
        from kovra.qiskit import KovraBackend

        real = kovra_backends.BasicSimulator

        class Timed:
            def execute(self, graph, config):
                start = time.perf_counter()
                result = real().execute(graph, config)
                spent[0] += time.perf_counter() - start
                return result

        kovra_backends.BasicSimulator = Timed
    else:
        from qiskit_aer import AerSimulator
    for line in sys.stdin:
        name = line.strip()
        cold = name not in cache
        if cold:
            circuit, model = prepared(name)
            if who == "kovra":
                cache[name] = (circuit, KovraBackend(noise_model=model))
            else:
                body, order = aer_circuit(circuit, model)
                simulator = AerSimulator(method="density_matrix", noise_model=model, max_parallel_threads=threads)
                cache[name] = (body, simulator, model, order)
        spent[0] = 0.0
        start = time.perf_counter()
        if who == "kovra":
            circuit, backend = cache[name]
            keyed = backend.probabilities(circuit)
            seconds, run = time.perf_counter() - start, spent[0]
            width = circuit.num_clbits
            p = np.zeros(2 ** width)
            for key, value in keyed.items():
                p[int(key.replace(" ", ""), 2)] = value
        else:
            body, simulator, model, order = cache[name]
            result = simulator.run(body).result()
            seconds, run = time.perf_counter() - start, None
            p = folded(result.data()["probabilities"], model, order)
        print(json.dumps({"seconds": seconds, "run": run, "cold": cold, "p": p.tolist() if cold else None}),
              flush=True)


def start(who, threads, kovra_python):
    path = [HERE] + ([kovra_python] if kovra_python and who == "kovra" else []) + [os.path.join(ROOT, "python")]
    env = dict(os.environ, OMP_NUM_THREADS=str(threads),
               PYTHONPATH=os.pathsep.join(path + [os.environ.get("PYTHONPATH", "")]))
    code = (f"import os, sys; os.sched_setaffinity(0, set(sorted(os.sched_getaffinity(0))[:{threads}])); "
            f"sys.path.insert(0, {HERE!r}); import device; device.worker({who!r}, {threads})")
    return subprocess.Popen([sys.executable, "-c", code], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
                            env=env)


def ask(process, name):
    process.stdin.write(name + "\n")
    process.stdin.flush()
    line = process.stdout.readline()
    if not line:
        raise RuntimeError(f"the worker died on {name}")
    return json.loads(line)


def profile(name):
    import cProfile
    import pstats

    from kovra.qiskit import KovraBackend

    circuit, model = prepared(name)
    backend = KovraBackend(noise_model=model)
    backend.probabilities(circuit)  # the errors converted, as in a warm worker
    profiler = cProfile.Profile()
    profiler.enable()
    backend.probabilities(circuit)
    profiler.disable()
    pstats.Stats(profiler).sort_stats("cumulative").print_stats(25)


def main():
    import numpy as np

    from device_programs import PROGRAMS

    parser = argparse.ArgumentParser()
    parser.add_argument("--threads", default="1,2")
    parser.add_argument("--reps", type=int, default=3)
    parser.add_argument("--only", default="")
    parser.add_argument("--kovra-python", default="")
    parser.add_argument("--out", default="")
    parser.add_argument("--profile", default="")
    args = parser.parse_args()
    if args.profile:
        sys.path[:0] = [HERE] + ([args.kovra_python] if args.kovra_python else []) + [os.path.join(ROOT, "python")]
        return profile(args.profile)
    names = args.only.split(",") if args.only else list(PROGRAMS)
    thread_counts = [int(t) for t in args.threads.split(",")]
    workers = {(who, t): start(who, t, args.kovra_python) for t in thread_counts for who in ("kovra", "aer")}
    rows = {(name, t): {"kovra": [], "run": [], "aer": []} for name in names for t in thread_counts}
    try:
        for rep in range(args.reps + 1):  # the first pass is the cold one
            for name in names:
                for t in thread_counts:
                    row = rows[name, t]
                    mine, aer = ask(workers["kovra", t], name), ask(workers["aer", t], name)
                    if rep == 0:
                        row["cold"] = mine["seconds"]
                        row["diff"] = float(np.abs(np.asarray(mine["p"]) - np.asarray(aer["p"])).max())
                        continue
                    row["kovra"].append(mine["seconds"])
                    row["run"].append(mine["run"])
                    row["aer"].append(aer["seconds"])
    finally:
        for process in workers.values():
            process.stdin.close()
            process.wait()
    table = report(rows, names, thread_counts)
    if args.out:
        with open(args.out, "w") as out:
            json.dump(table, out, indent=1)


def report(rows, names, thread_counts):
    print(f"{'program':18} {'thr':>3} {'kovra s':>8} {'run s':>8} {'cold s':>8} {'aer s':>8} {'ratio':>6} {'max diff':>9}")
    table, totals = [], {t: [0.0, 0.0] for t in thread_counts}
    for name in names:
        for t in thread_counts:
            row = rows[name, t]
            mine, run, aer = (statistics.median(row[k]) for k in ("kovra", "run", "aer"))
            totals[t][0] += mine
            totals[t][1] += aer
            table.append({"program": name, "threads": t, "kovra": mine, "run": run, "cold": row["cold"], "aer": aer,
                          "diff": row["diff"]})
            print(f"{name:18} {t:>3} {mine:>8.4f} {run:>8.4f} {row['cold']:>8.3f} {aer:>8.4f} {mine / aer:>6.2f} "
                  f"{row['diff']:>9.1e}", flush=True)
    for t, (mine, aer) in totals.items():
        worst = max((r for r in table if r["threads"] == t), key=lambda r: r["kovra"] / r["aer"])
        print(f"total, {t} thread(s): kovra {mine:.3f} s, aer {aer:.3f} s, ratio {mine / aer:.2f}; worst "
              f"{worst['program']} {worst['kovra'] / worst['aer']:.2f}")
    return table


if __name__ == "__main__":
    main()
