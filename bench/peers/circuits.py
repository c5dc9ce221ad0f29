"""Benchmark circuits as a neutral description that every runner reads.

A circuit is a dict:
    {"name": str, "family": str, "n": qubits, "clbits": classical bits,
     "ops": [op, ...]}
and an op is one of
    {"g": gate name, "q": [qubits], "p": [radians]}        (a gate; "p" only for Rx Ry Rz P)
    {"g": "MEASURE", "q": [qubit], "c": [clbit]}            (mid-circuit measurement)
    {"g": gate, "q": [...], "if": [clbit, 1]}               (applies when the bit is 1)
Gate names are kovra's; qubit 0 is the most significant bit of the state index.
Pure Python, so the project venv and the peers venv generate the same circuits.

Circuits of the user's (`driver.py --circuit`) are checked by `validate` and
put into the form every engine can race by `race_form`.
"""

import json
import math
import random
import re

ONE_QUBIT = ["H", "X", "Y", "Z", "S", "Sd", "T", "Td", "X90", "Y90", "Rx", "Ry", "Rz", "P"]
ANGLED = {"Rx", "Ry", "Rz", "P"}
TWO_QUBIT = ["CNOT", "ZCON", "YCON"]
# Gate -> qubit count, for every gate that all engines of the race can run
# ("I" only in user circuits, where race_form drops it). The controls of a
# gate are all its qubits but the last.
ARITY = dict({g: 1 for g in ONE_QUBIT + ["I"]}, **{g: 2 for g in TWO_QUBIT}, CCX=3)
NAME = re.compile(r"^[A-Za-z0-9][A-Za-z0-9_.+-]*$")


def _one_qubit_gate(rng, q):
    name = rng.choice(ONE_QUBIT)
    op = {"g": name, "q": [q]}
    if name in ANGLED:
        op["p"] = [rng.uniform(-2 * math.pi, 2 * math.pi)]
    return op


def random_layered(n, depth=20, seed=1):
    """Every layer touches each qubit once: a random one-qubit gate, or a
    share in a two-qubit gate (about 30%) or a Toffoli (about 5%)."""
    rng = random.Random(f"random-{n}-{depth}-{seed}")
    ops = []
    for _ in range(depth):
        qubits = list(range(n))
        rng.shuffle(qubits)
        while qubits:
            r = rng.random()
            if r < 0.05 and len(qubits) >= 3:
                ops.append({"g": "CCX", "q": [qubits.pop(), qubits.pop(), qubits.pop()]})
            elif r < 0.35 and len(qubits) >= 2:
                ops.append({"g": rng.choice(TWO_QUBIT), "q": [qubits.pop(), qubits.pop()]})
            else:
                ops.append(_one_qubit_gate(rng, qubits.pop()))
    return {"name": f"random-n{n}-d{depth}", "family": "random", "n": n, "clbits": 0, "ops": ops}


def quantum_volume(n, seed=1):
    """A quantum-volume circuit as transpilers lower it: n layers, each
    pairing the qubits at random, each pair a generic two-qubit block (Rz
    Ry Rz on each qubit, then three CNOTs between rotations, then Rz Ry Rz
    on each qubit), every angle random."""
    rng = random.Random(f"qv-{n}-{seed}")

    def euler(q):
        return [{"g": g, "q": [q], "p": [rng.uniform(-math.pi, math.pi)]} for g in ("Rz", "Ry", "Rz")]

    ops = []
    for _ in range(n):
        qubits = list(range(n))
        rng.shuffle(qubits)
        for a, b in zip(qubits[0::2], qubits[1::2]):
            ops += euler(a) + euler(b)
            for k in range(3):
                ops.append({"g": "CNOT", "q": [a, b] if k % 2 == 0 else [b, a]})
                if k < 2:
                    ops += [{"g": "Ry", "q": [a], "p": [rng.uniform(-math.pi, math.pi)]},
                            {"g": "Rz", "q": [b], "p": [rng.uniform(-math.pi, math.pi)]}]
            ops += euler(a) + euler(b)
    return {"name": f"qv-n{n}", "family": "qv", "n": n, "clbits": 0, "ops": ops}


def qft(n, seed=1):
    """A random product state, then the quantum Fourier transform with every
    controlled phase written as P and CNOT."""
    rng = random.Random(f"qft-{n}-{seed}")
    ops = []
    for q in range(n):
        ops.append({"g": "Ry", "q": [q], "p": [rng.uniform(0, math.pi)]})
        ops.append({"g": "Rz", "q": [q], "p": [rng.uniform(0, 2 * math.pi)]})
    for target in range(n):
        ops.append({"g": "H", "q": [target]})
        for control in range(target + 1, n):
            half = math.pi / 2 ** (control - target) / 2
            ops += [
                {"g": "P", "q": [control], "p": [half]},
                {"g": "CNOT", "q": [control, target]},
                {"g": "P", "q": [target], "p": [-half]},
                {"g": "CNOT", "q": [control, target]},
                {"g": "P", "q": [target], "p": [half]},
            ]
    return {"name": f"qft-n{n}", "family": "qft", "n": n, "clbits": 0, "ops": ops}


def teleport_chain(n, steps, depth=4, seed=1):
    """Entangles all n qubits with a few random layers, then teleports qubit 0
    along 0 -> 2 -> 4 ... `steps` times: each step measures two qubits into
    classical bits and corrects the receiver with X and Z conditioned on them."""
    if 2 * steps + 1 > n:
        raise ValueError("a chain of %d steps needs %d qubits" % (steps, 2 * steps + 1))
    circuit = random_layered(n, depth, seed)
    ops = list(circuit["ops"])
    source = 0
    for step in range(steps):
        link, receiver = source + 1, source + 2
        c_source, c_link = 2 * step, 2 * step + 1
        ops += [
            {"g": "H", "q": [link]},
            {"g": "CNOT", "q": [link, receiver]},
            {"g": "CNOT", "q": [source, link]},
            {"g": "H", "q": [source]},
            {"g": "MEASURE", "q": [source], "c": [c_source]},
            {"g": "MEASURE", "q": [link], "c": [c_link]},
            {"g": "X", "q": [receiver], "if": [c_link, 1]},
            {"g": "Z", "q": [receiver], "if": [c_source, 1]},
        ]
        source = receiver
    return {"name": f"teleport-n{n}-k{2 * steps}", "family": "teleport", "n": n,
            "clbits": 2 * steps, "ops": ops}


def fusion_probe(n, rotations, qubit=0, seed=1):
    """One H on every qubit, then `rotations` Rx of varying angles on one
    qubit. An engine that applies each gate pays for every rotation; one that
    fuses the run of rotations into a single matrix hardly notices them."""
    rng = random.Random(f"fusion-probe-{n}-{seed}")
    ops = [{"g": "H", "q": [q]} for q in range(n)]
    ops += [{"g": "Rx", "q": [qubit], "p": [rng.uniform(0.1, 3.0)]} for _ in range(rotations)]
    return {"name": f"fusion-probe-n{n}-r{rotations}", "family": "probe", "n": n, "clbits": 0, "ops": ops}


def deferred(circuit):
    """The same circuit with every measurement deferred to the end: a gate
    conditioned on a measured bit becomes the gate controlled by the measured
    qubit, and the measurement itself goes. The probabilities over all qubits
    are those of the branching run, which never renormalises."""
    measured = {}  # clbit -> qubit
    ops = []
    controlled = {"X": "CNOT", "Z": "ZCON"}
    for op in circuit["ops"]:
        if op["g"] == "MEASURE":
            for q, c in zip(op["q"], op["c"]):
                measured[c] = q
        elif "if" in op:
            bit, value = op["if"]
            if value != 1 or op["g"] not in controlled or len(op["q"]) != 1:
                raise ValueError("no deferred form for %r" % (op,))
            ops.append({"g": controlled[op["g"]], "q": [measured[bit], op["q"][0]]})
        else:
            ops.append(op)
    return dict(circuit, ops=ops, clbits=0, name=circuit["name"] + "-deferred")


def gate_count(circuit):
    return sum(1 for op in circuit["ops"] if op["g"] != "MEASURE")


def measurement_count(circuit):
    return sum(1 for op in circuit["ops"] if op["g"] == "MEASURE")


def _whole(value):
    return isinstance(value, int) and not isinstance(value, bool)


def _show(op):
    return json.dumps(op, separators=(", ", ": "))


def validate(circuit):
    """Raises ValueError naming the first thing in `circuit` (a neutral dict
    as read from a user's file) that no engine of the race could run."""
    if not isinstance(circuit, dict):
        raise ValueError("a circuit is a JSON object with \"n\" and \"ops\", not %s" % type(circuit).__name__)
    unknown = sorted(set(circuit) - {"name", "family", "n", "clbits", "ops"})
    if unknown:
        raise ValueError("unknown circuit keys %s (known: name, family, n, clbits, ops)" % ", ".join(unknown))
    if "name" in circuit and not (isinstance(circuit["name"], str) and NAME.match(circuit["name"])):
        raise ValueError("\"name\" must be letters, digits and _ . + -, got %r" % (circuit["name"],))
    n = circuit.get("n")
    if not _whole(n) or n < 1:
        raise ValueError("\"n\" must be a positive whole number of qubits, got %r" % (n,))
    clbits = circuit.get("clbits", 0)
    if not _whole(clbits) or clbits < 0:
        raise ValueError("\"clbits\" must be a whole number of classical bits, got %r" % (clbits,))
    ops = circuit.get("ops")
    if not isinstance(ops, list):
        raise ValueError("\"ops\" must be a list of operations, got %r" % (ops,))
    for index, op in enumerate(ops):
        _validate_op(index, op, n, clbits)


def _validate_op(index, op, n, clbits):
    where = "op %d" % index
    if not isinstance(op, dict):
        raise ValueError("%s: an operation is an object like {\"g\": \"H\", \"q\": [0]}, got %r" % (where, op))
    where = "op %d %s" % (index, _show(op))
    g = op.get("g")
    measure = g == "MEASURE"
    if not measure and g not in ARITY:
        raise ValueError("%s: unknown gate %r; the race runs %s and MEASURE" % (where, g, ", ".join(ARITY)))
    unknown = sorted(set(op) - ({"g", "q", "c"} if measure else {"g", "q", "p", "if"}))
    if unknown:
        raise ValueError("%s: unexpected key%s %s" % (where, "s" if len(unknown) > 1 else "", ", ".join(unknown)))
    qubits = op.get("q")
    if not isinstance(qubits, list) or not qubits or not all(_whole(q) for q in qubits):
        raise ValueError("%s: \"q\" must be a list of qubit indices" % where)
    if not measure and len(qubits) != ARITY[g]:
        raise ValueError("%s: %s acts on %d qubit%s, got %d" % (where, g, ARITY[g], "s" if ARITY[g] > 1 else "",
                                                               len(qubits)))
    for q in qubits:
        if not 0 <= q < n:
            raise ValueError("%s: qubit %d is out of range for %d qubits" % (where, q, n))
    if len(set(qubits)) != len(qubits):
        raise ValueError("%s: a qubit is listed twice" % where)
    if measure:
        bits = op.get("c")
        if not isinstance(bits, list) or len(bits) != len(qubits) or not all(_whole(c) for c in bits):
            raise ValueError("%s: \"c\" must list one classical bit for each measured qubit" % where)
        for c in bits:
            if not 0 <= c < clbits:
                raise ValueError("%s: classical bit %d is out of range for %d classical bits (\"clbits\")"
                                 % (where, c, clbits))
        return
    params = op.get("p")
    if g in ANGLED:
        if (not isinstance(params, list) or len(params) != 1 or isinstance(params[0], bool)
                or not isinstance(params[0], (int, float)) or not math.isfinite(params[0])):
            raise ValueError("%s: %s needs \"p\": [one finite angle in radians]" % (where, g))
    elif params not in (None, []):
        raise ValueError("%s: %s takes no angle, got \"p\": %r" % (where, g, params))
    if "if" in op:
        condition = op["if"]
        if (not isinstance(condition, list) or len(condition) != 2 or not _whole(condition[0])
                or condition[1] not in (0, 1) or isinstance(condition[1], bool)):
            raise ValueError("%s: \"if\" must be [one classical bit, 0 or 1]; conditions on several bits "
                             "are not raced" % where)
        if not 0 <= condition[0] < clbits:
            raise ValueError("%s: condition bit %d is out of range for %d classical bits (\"clbits\")"
                             % (where, condition[0], clbits))


def race_form(circuit):
    """`circuit` (validated) as every engine of the race runs it.

    Identity gates go, and so do terminal measurements: those of a qubit that
    no later gate touches into a bit that no later condition reads. They leave
    the probabilities over all qubits as they are, and kovra would otherwise
    follow 2^k branches. A measurement that stays must be one that kovra can
    run, whose qubit nothing touches afterwards (kovra never uses a measured
    qubit again, not even as a control), and one that `deferred` can turn
    into controls for the peers: every condition on its bit is "bit equals 1"
    on X or Z. Anything else raises ValueError naming the operation."""
    validate(circuit)
    ops = []
    for op in circuit["ops"]:
        if op["g"] == "MEASURE":
            ops += [{"g": "MEASURE", "q": [q], "c": [c]} for q, c in zip(op["q"], op["c"])]
        elif op["g"] != "I":
            ops.append(op)
    touched, read, kept = set(), set(), []
    for op in reversed(ops):
        if op["g"] == "MEASURE":
            q, c = op["q"][0], op["c"][0]
            if q not in touched and c not in read:
                continue
            read.discard(c)  # the reads after this write see this one
        else:
            touched.update(op["q"])
            if "if" in op:
                read.add(op["if"][0])
        kept.append(op)
    kept.reverse()
    _check_deferrable(kept)
    measured = any(op["g"] == "MEASURE" for op in kept)
    return dict(circuit, ops=kept, clbits=circuit.get("clbits", 0) if measured else 0)


def _check_deferrable(ops):
    written = {}  # classical bit -> the measurement that last wrote it
    collapsed = {}  # qubit -> the measurement that made it classical
    for op in ops:
        where = "op %s" % _show(op)
        for q in op["q"]:
            if q in collapsed:
                raise ValueError("%s acts on qubit %d after the mid-circuit measurement %s; kovra does not use a "
                                 "measured qubit again (only measurements that nothing follows are dropped)"
                                 % (where, q, _show(collapsed[q])))
        if op["g"] == "MEASURE":
            written[op["c"][0]] = op
            collapsed[op["q"][0]] = op
        elif "if" in op:
            bit, value = op["if"]
            if bit not in written:
                raise ValueError("%s reads classical bit %d before any measurement writes it" % (where, bit))
            if value != 1 or op["g"] not in ("X", "Z"):
                raise ValueError("%s: the peers run a condition as a control, which takes only X or Z "
                                 "conditioned on a bit equal to 1" % where)
