"""OpenQASM 2 programs of 20 to 28 qubits in the shapes of the usual wide
benchmark suites, each measuring every qubit at the end.

Every engine of bench/wide reads the same text: kovra through its own
importer, Aer through qiskit's loader, qsim through cirq's. Pure Python with
no imports beyond the standard library, so either venv can write them.

    python programs.py DIR        writes DIR/<name>.qasm for every program
"""

import math
import os
import random
import sys

HEADER = 'OPENQASM 2.0;\ninclude "qelib1.inc";\n'


def _program(n, body, registers=None):
    """The program text: `registers` is [(name, size)] (default one q[n]),
    then the body lines, then a classical register c[n] that every qubit is
    measured into, in declaration order."""
    registers = registers or [("q", n)]
    assert sum(size for _, size in registers) == n
    lines = [HEADER.rstrip("\n")]
    lines += ["qreg %s[%d];" % r for r in registers]
    lines.append("creg c[%d];" % n)
    lines += body
    k = 0
    for name, size in registers:
        for i in range(size):
            lines.append("measure %s[%d] -> c[%d];" % (name, i, k))
            k += 1
    return "\n".join(lines) + "\n"


def _bits(value, width):
    return [i for i in range(width) if value >> i & 1]


# Cuccaro's ripple-carry adder, as the suites write it: MAJ and UMA as gates
# of the program's own, each with a Toffoli.
_MAJ_UMA = ["gate majority a,b,c { cx c,b; cx c,a; ccx a,b,c; }",
            "gate unmaj a,b,c { ccx a,b,c; cx c,a; cx a,b; }"]


def _ripple_add(a, b, carry_in, carry_out):
    """b += a (lists of qubit names, lowest bit first), the carry into
    `carry_out`; `carry_in` is a clean ancilla and ends clean, a unchanged."""
    k = len(a)
    body = ["majority %s,%s,%s;" % (carry_in, b[0], a[0])]
    body += ["majority %s,%s,%s;" % (a[i - 1], b[i], a[i]) for i in range(1, k)]
    body.append("cx %s,%s;" % (a[k - 1], carry_out))
    body += ["unmaj %s,%s,%s;" % (a[i - 1], b[i], a[i]) for i in range(k - 1, 0, -1)]
    body.append("unmaj %s,%s,%s;" % (carry_in, b[0], a[0]))
    return body


def adder(n=28):
    """a + b on (n - 2) / 2 bits each, with carry in and out: one outcome."""
    k = (n - 2) // 2
    assert 2 * k + 2 == n
    rng = random.Random("adder-%d" % n)
    x, y = rng.getrandbits(k), rng.getrandbits(k)
    a = ["a[%d]" % i for i in range(k)]
    b = ["b[%d]" % i for i in range(k)]
    body = list(_MAJ_UMA)
    body += ["x a[%d];" % i for i in _bits(x, k)] + ["x b[%d];" % i for i in _bits(y, k)]
    body += _ripple_add(a, b, "cin[0]", "cout[0]")
    return _program(n, body, [("cin", 1), ("a", k), ("b", k), ("cout", 1)])


def multiplier(n=26):
    """Schoolbook product prod = a * b of two (n - 1) / 5-bit numbers: for each
    bit of a, the partial product a_i & b goes into a scratch register pp by
    Toffolis, is added into prod at offset i by the ripple-carry adder and is
    cleared again. a starts in an equal superposition of its values, so the
    output has one outcome per value of a."""
    k = (n - 1) // 5
    assert 5 * k + 1 == n
    rng = random.Random("multiplier-%d" % n)
    y = rng.getrandbits(k) | 1 << (k - 1)
    body = list(_MAJ_UMA)
    body += ["h a[%d];" % i for i in range(k)] + ["x b[%d];" % i for i in _bits(y, k)]
    t = ["pp[%d]" % j for j in range(k)]
    for i in range(k):
        partial = ["ccx a[%d],b[%d],pp[%d];" % (i, j, j) for j in range(k)]
        body += partial
        body += _ripple_add(t, ["prod[%d]" % (i + j) for j in range(k)], "cin[0]", "prod[%d]" % (i + k))
        body += partial
    return _program(n, body, [("cin", 1), ("a", k), ("b", k), ("pp", k), ("prod", 2 * k)])


def wstate(n=27):
    """The W state: one excitation handed down the line by controlled Ry
    (written with cz between two ry) and a cx back; n outcomes."""
    body = ["x q[0];"]
    for k in range(n - 1):
        angle = math.acos(math.sqrt(1.0 / (n - k)))
        body += ["ry(%.17g) q[%d];" % (angle, k + 1), "cz q[%d],q[%d];" % (k, k + 1),
                 "ry(%.17g) q[%d];" % (-angle, k + 1), "cx q[%d],q[%d];" % (k + 1, k)]
    return _program(n, body)


def ising(n=26, steps=3, coupling=1.0, field=0.7, dt=0.25):
    """Trotterised time evolution of the transverse-field Ising chain from
    |+...+>: every step is exp(-i J dt ZZ) on each neighbouring pair (cx, rz,
    cx) and exp(-i h dt X) on each qubit. The output spreads over all 2^n
    outcomes."""
    body = ["h q[%d];" % i for i in range(n)]
    for _ in range(steps):
        for i in range(n - 1):
            body += ["cx q[%d],q[%d];" % (i, i + 1), "rz(%.17g) q[%d];" % (2 * coupling * dt, i + 1),
                     "cx q[%d],q[%d];" % (i, i + 1)]
        body += ["rx(%.17g) q[%d];" % (2 * field * dt, i) for i in range(n)]
    return _program(n, body)


def swap_test(n=25):
    """The swap test of two (n - 1) / 2-qubit product states, one cswap per
    pair; the output spreads over all 2^n outcomes."""
    k = (n - 1) // 2
    assert 2 * k + 1 == n
    rng = random.Random("swap-test-%d" % n)
    body = []
    for register in ("a", "b"):
        for i in range(k):
            body += ["ry(%.17g) %s[%d];" % (rng.uniform(0, math.pi), register, i),
                     "rz(%.17g) %s[%d];" % (rng.uniform(0, 2 * math.pi), register, i)]
    body.append("h anc[0];")
    body += ["cswap anc[0],a[%d],b[%d];" % (i, i) for i in range(k)]
    body.append("h anc[0];")
    return _program(n, body, [("anc", 1), ("a", k), ("b", k)])


def qft(n=24):
    """The quantum Fourier transform, with cu1 and the final swaps, of a
    basis state: every outcome has probability 2^-n."""
    rng = random.Random("qft-%d" % n)
    body = ["x q[%d];" % i for i in _bits(rng.getrandbits(n), n)]
    for target in range(n):
        body.append("h q[%d];" % target)
        for control in range(target + 1, n):
            body.append("cu1(%.17g) q[%d],q[%d];" % (math.pi / 2 ** (control - target), control, target))
    body += ["swap q[%d],q[%d];" % (i, n - 1 - i) for i in range(n // 2)]
    return _program(n, body)


def ghz(n=22):
    """h and a chain of cx: two outcomes."""
    return _program(n, ["h q[0];"] + ["cx q[%d],q[%d];" % (i, i + 1) for i in range(n - 1)])


def bernstein_vazirani(n=20):
    """n - 1 data qubits and the oracle's ancilla: one outcome per ancilla
    value, the data reading the secret."""
    rng = random.Random("bv-%d" % n)
    secret = rng.getrandbits(n - 1)
    body = ["x q[%d];" % (n - 1)] + ["h q[%d];" % i for i in range(n)]
    body += ["cx q[%d],q[%d];" % (i, n - 1) for i in _bits(secret, n - 1)]
    body += ["h q[%d];" % i for i in range(n - 1)]
    return _program(n, body)


# name -> text, the race's programs in the order it runs them.
PROGRAMS = {
    "adder_n28": lambda: adder(28),
    "wstate_n27": lambda: wstate(27),
    "ising_n26": lambda: ising(26),
    "multiplier_n26": lambda: multiplier(26),
    "swap_test_n25": lambda: swap_test(25),
    "qft_n24": lambda: qft(24),
    "ghz_n22": lambda: ghz(22),
    "bv_n20": lambda: bernstein_vazirani(20),
}


def write_all(directory, names=None):
    """Writes the programs (all, or those named) as DIR/<name>.qasm; returns the paths."""
    os.makedirs(directory, exist_ok=True)
    paths = []
    for name in names or PROGRAMS:
        path = os.path.join(directory, name + ".qasm")
        with open(path, "w") as f:
            f.write(PROGRAMS[name]())
        paths.append(path)
    return paths


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit("usage: programs.py DIR")
    for p in write_all(sys.argv[1]):
        print(p)
