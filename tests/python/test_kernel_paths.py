"""Every kernel path the CPU can run gives the same results: the plain
loops, forced with KOVRA_KERNELS=plain, and AVX2, forced with
KOVRA_KERNELS=avx2, against the widest path, each in a process of its own
(the path is chosen once per process)."""
import json
import os
import subprocess
import sys

import kovra_backends as kb

RUN = """
import json, random, kovra_backends as kb
from kovra.builder import CircuitBuilder
out = {"path": kb.kernel_path(), "runs": []}
for seed in range(6):
    rng = random.Random(seed)
    n = 17 if seed % 2 else 6
    b = CircuitBuilder()
    b.qreg(n)
    for _ in range(40):
        q = rng.sample(range(n), 2)
        b.gate(rng.choice(["H", "T", "Y90"]), [q[0]])
        b.gate("Rx", [q[1]], params=[rng.uniform(-3, 3)])
        b.gate("CNOT", q)
    terms = [("".join(rng.choice("IXYZ") for _ in range(n)), 1.0) for _ in range(5)]
    for fusion in (False, True):
        r = kb.BasicSimulator().execute(b.capsule(), {"fusion": fusion, "observables": [terms]})
        out["runs"].append({"fusion": fusion, "p": [v.hex() for v in r.probability_array()],
                            "ev": r.expectation_values})
print(json.dumps(out))
"""


def run(kernels):
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}
    env.pop("KOVRA_KERNELS", None)
    if kernels:
        env["KOVRA_KERNELS"] = kernels
    done = subprocess.run([sys.executable, "-c", RUN], capture_output=True, text=True, env=env, timeout=300)
    assert done.returncode == 0, done.stderr[-2000:]
    return json.loads(done.stdout.strip().splitlines()[-1])


def test_the_plain_path_agrees_with_the_widest():
    plain, widest = run("plain"), run(None)
    assert plain["path"] == "plain" and widest["path"] == kb.kernel_path()
    for a, b in zip(plain["runs"], widest["runs"]):
        if not a["fusion"]:
            # The exact kernels do the same arithmetic in the same order.
            assert a["p"] == b["p"]
        else:
            # Fused kernels use FMA where the CPU has it.
            assert all(abs(float.fromhex(x) - float.fromhex(y)) <= 1e-12 for x, y in zip(a["p"], b["p"]))
        assert all(abs(x - y) <= 1e-12 for x, y in zip(a["ev"], b["ev"]))


def test_the_avx2_path_agrees_with_the_widest_bit_for_bit():
    # AVX-512 widens the dense fused products with AVX2's own arithmetic.
    avx2, widest = run("avx2"), run(None)
    assert avx2["path"] == ("plain" if widest["path"] == "plain" else "avx2")
    assert avx2["runs"] == widest["runs"]
