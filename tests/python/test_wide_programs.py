"""The programs of the wide race (bench/wide/programs.py) at a few qubits,
through the OpenQASM importer, exact and fused: each gives the outcomes its
construction promises. The race compares the engines on the large ones;
this holds the programs to what their names say, and kovra's import of
ccx, cswap, cu1 and the program's own gates to them."""

import math
import os
import random
import sys

import numpy as np
import pytest

import kovra_backends
from kovra.qasm import loads

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "bench", "wide"))
import programs  # noqa: E402

# The engine's fixed constants (its H divides by 1.4142135624) move
# probabilities by about 1e-10.
TOLERANCE = 1e-8


@pytest.fixture(params=[False, True], ids=["exact", "fused"])
def fusion(request):
    return request.param


def outcomes(text, fusion):
    """{key: probability} above 1e-9, keys qubit 0 first."""
    result = kovra_backends.BasicSimulator().execute(loads(text).capsule(), {"fusion": fusion})
    p = result.probability_array()
    n = int(math.log2(len(p)))
    return {format(k, "0%db" % n): float(p[k]) for k in np.flatnonzero(p > 1e-9)}


def value(bits):
    """The number a register's key characters spell, lowest bit first."""
    return sum(int(b) << i for i, b in enumerate(bits))


def test_adder_adds(fusion):
    n, k = 12, 5
    rng = random.Random("adder-%d" % n)
    x, y = rng.getrandbits(k), rng.getrandbits(k)
    (key, p), = outcomes(programs.adder(n), fusion).items()
    assert p == pytest.approx(1, abs=TOLERANCE)
    cin, a, b, cout = key[0], key[1:1 + k], key[1 + k:1 + 2 * k], key[-1]
    assert (cin, value(a)) == ("0", x)
    assert value(b) + (int(cout) << k) == x + y


def test_multiplier_multiplies_every_value_of_a(fusion):
    n, k = 11, 2
    found = outcomes(programs.multiplier(n), fusion)
    assert len(found) == 2 ** k
    for key, p in found.items():
        a, b, scratch, product = key[1:1 + k], key[1 + k:1 + 2 * k], key[1 + 2 * k:1 + 3 * k], key[1 + 3 * k:]
        assert p == pytest.approx(2.0 ** -k, abs=TOLERANCE)
        assert key[0] == "0" and value(scratch) == 0
        assert value(product) == value(a) * value(b)


def test_w_state_has_one_excitation_on_each_qubit(fusion):
    n = 6
    found = outcomes(programs.wstate(n), fusion)
    assert sorted(found) == sorted("0" * q + "1" + "0" * (n - 1 - q) for q in range(n))
    assert all(p == pytest.approx(1 / n, abs=TOLERANCE) for p in found.values())


def test_swap_test_reads_the_overlap(fusion):
    n, k = 9, 4
    rng = random.Random("swap-test-%d" % n)
    states = {}
    for register in ("a", "b"):
        states[register] = []
        for _ in range(k):
            theta, phi = rng.uniform(0, math.pi), rng.uniform(0, 2 * math.pi)
            states[register].append(np.array([math.cos(theta / 2) * np.exp(-0.5j * phi),
                                              math.sin(theta / 2) * np.exp(0.5j * phi)]))
    overlap = np.prod([np.vdot(a, b) for a, b in zip(states["a"], states["b"])])
    zero = sum(p for key, p in outcomes(programs.swap_test(n), fusion).items() if key[0] == "0")
    assert zero == pytest.approx((1 + abs(overlap) ** 2) / 2, abs=TOLERANCE)


def test_qft_of_a_basis_state_is_uniform(fusion):
    found = outcomes(programs.qft(6), fusion)
    assert len(found) == 64 and all(p == pytest.approx(1 / 64, abs=TOLERANCE) for p in found.values())


def test_ghz_and_bernstein_vazirani(fusion):
    assert outcomes(programs.ghz(5), fusion) == pytest.approx({"00000": 0.5, "11111": 0.5}, abs=TOLERANCE)
    n = 7
    secret = random.Random("bv-%d" % n).getrandbits(n - 1)
    data = "".join(str(secret >> i & 1) for i in range(n - 1))
    assert outcomes(programs.bernstein_vazirani(n), fusion) == pytest.approx(
        {data + "0": 0.5, data + "1": 0.5}, abs=TOLERANCE)


def test_ising_matches_its_trotter_product(fusion):
    n, steps, coupling, field, dt = 5, 3, 1.0, 0.7, 0.25
    z = np.array([1.0, -1.0])
    x = np.array([[0, 1], [1, 0]])

    def on(q, matrix):  # qubit 0 is the most significant bit
        out = np.eye(1)
        for k in range(n):
            out = np.kron(out, matrix if k == q else np.eye(2))
        return out

    state = np.full(2 ** n, 2 ** (-n / 2), dtype=complex)
    for _ in range(steps):
        for i in range(n - 1):
            parity = np.diag(on(i, np.diag(z))) * np.diag(on(i + 1, np.diag(z)))
            state = np.exp(-1j * coupling * dt * parity) * state
        for i in range(n):
            state = (math.cos(field * dt) * np.eye(2 ** n) - 1j * math.sin(field * dt) * on(i, x)) @ state
    expected = np.abs(state) ** 2
    found = outcomes(programs.ising(n, steps, coupling, field, dt), fusion)
    for k, p in enumerate(expected):
        assert found.get(format(k, "0%db" % n), 0.0) == pytest.approx(p, abs=TOLERANCE)
