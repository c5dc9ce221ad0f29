"""Runs every case of distributed_cases.py on this MPI rank and writes what
it got to OUT/rank<R>.json. Started by test_distributed.py as
`mpirun -n R python mpi_worker.py OUT [--mpi4py]`; with --mpi4py, mpi4py
initialises MPI first, as a script that uses it would."""

import json
import os
import sys

if "--mpi4py" in sys.argv:
    from mpi4py import MPI  # noqa: F401  (initialises MPI before the module)

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "python"))
sys.path.insert(0, os.path.dirname(__file__))

import kovra_backends  # noqa: E402
from distributed_cases import CASES, build, outcome  # noqa: E402

results = {}
for name, case in CASES.items():
    builder, config = build(case)
    result = kovra_backends.BasicSimulator().execute(builder.capsule(), config)
    results[name] = outcome(result) | {"report": kovra_backends.distributed_run()}
info = kovra_backends.distributed_run()
with open(os.path.join(sys.argv[1], f"rank{info['rank']}.json"), "w") as f:
    json.dump(results, f)
