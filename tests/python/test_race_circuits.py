"""User circuits of the race (bench/peers): the OpenQASM converter and the
race form, checked against the numpy reference simulator and against kovra
running the program through its own importer."""

import json
import math
import os
import subprocess
import sys

import pytest

pytest.importorskip("qiskit")

import kovra_backends  # noqa: E402
from kovra.builder import EQUAL  # noqa: E402
from kovra.qasm import QasmError, loads  # noqa: E402

from fuzz_support import Reference, assert_close_maps  # noqa: E402

PEERS_DIR = os.path.join(os.path.dirname(__file__), "..", "..", "bench", "peers")
sys.path.insert(0, PEERS_DIR)

import circuits as C  # noqa: E402
import run_kovra  # noqa: E402
from qasm_to_neutral import convert  # noqa: E402

HEADER = 'OPENQASM 2.0;\ninclude "qelib1.inc";\n'


def reference(circuit):
    """Probabilities over all qubits of the branching run (never renormalised)."""
    ref = Reference(circuit["n"], circuit.get("clbits", 0))
    for op in circuit["ops"]:
        if op["g"] == "MEASURE":
            for q, c in zip(op["q"], op["c"]):
                ref.measure(q, c)
        else:
            condition = ([op["if"][0]], EQUAL, op["if"][1]) if "if" in op else None
            ref.gate(op["g"], op["q"], op.get("p", [None])[0], condition)
    return ref.probabilities()


def kovra(builder):
    """Kovra's probabilities of a graph builder (or a loaded program)."""
    return kovra_backends.BasicSimulator().execute(builder.capsule(), {}).probabilities


def circuit(n, ops, clbits=0):
    return {"name": "c", "family": "user", "n": n, "clbits": clbits, "ops": ops}


def m(q, c):
    return {"g": "MEASURE", "q": [q], "c": [c]}


H0 = {"g": "H", "q": [0]}
H1 = {"g": "H", "q": [1]}

# name -> (circuit, measurements left in the race form)
KEPT = {
    "terminal measurements go": (
        circuit(2, [H0, {"g": "CNOT", "q": [0, 1]}, m(0, 0), m(1, 1)], clbits=2), 0),
    "one op measuring several qubits": (
        circuit(3, [H0, {"g": "Ry", "q": [2], "p": [0.4]}, {"g": "MEASURE", "q": [0, 2], "c": [1, 0]}], clbits=2),
        0),
    "a read bit keeps its measurement": (
        circuit(2, [H0, m(0, 0), {"g": "X", "q": [1], "if": [0, 1]}], clbits=1), 1),
    "a measurement that nothing follows goes, though its qubit was measured before": (
        circuit(3, [H0, m(0, 0), {"g": "X", "q": [1], "if": [0, 1]}, m(0, 1), {"g": "Ry", "q": [2], "p": [0.7]}],
                clbits=2), 1),
    "an overwritten bit frees the first write": (
        circuit(3, [H0, H1, m(0, 0), m(1, 0), {"g": "Z", "q": [2], "if": [0, 1]}, {"g": "H", "q": [2]}],
                clbits=1), 1),
    "teleportation chain": (C.teleport_chain(7, 3), 6),
    "teleportation with its receiver measured at the end": (
        dict(C.teleport_chain(5, 2), ops=C.teleport_chain(5, 2)["ops"] + [m(4, 0)]), 4),
}


@pytest.mark.parametrize("name", KEPT)
def test_race_form_keeps_the_probabilities(name):
    original, kept = KEPT[name]
    raced = C.race_form(original)
    assert C.measurement_count(raced) == kept
    assert all(len(op["q"]) == 1 for op in raced["ops"] if op["g"] == "MEASURE")
    want = reference(original)
    # What kovra runs, and what the peers run.
    assert_close_maps(kovra(run_kovra.build(raced)), want)
    assert_close_maps(reference(C.deferred(raced)), want)


def test_race_form_drops_identities_and_unused_bits():
    raced = C.race_form(circuit(2, [{"g": "I", "q": [1]}, H0, m(0, 1)], clbits=2))
    assert raced["ops"] == [H0]
    assert raced["clbits"] == 0


@pytest.mark.parametrize("ops, message", [
    ([H0, m(0, 0), {"g": "X", "q": [1], "if": [0, 0]}], "equal to 1"),
    ([H0, m(0, 0), {"g": "Y", "q": [1], "if": [0, 1]}], "only X or Z"),
    ([H0, m(0, 0), H0, {"g": "X", "q": [1], "if": [0, 1]}], "acts on qubit 0 after the mid-circuit measurement"),
    ([H0, m(0, 0), H0], "acts on qubit 0"),
    ([H0, m(1, 0), {"g": "CNOT", "q": [0, 1]}], "acts on qubit 1"),
    ([H0, m(0, 0), {"g": "CNOT", "q": [0, 1]}], "acts on qubit 0"),
    ([H0, m(0, 0), {"g": "X", "q": [0], "if": [0, 1]}], "acts on qubit 0"),
    ([H0, m(0, 0), {"g": "X", "q": [1], "if": [0, 1]}, m(0, 1), {"g": "Z", "q": [1], "if": [1, 1]}],
     "MEASURE.*acts on qubit 0"),
    ([{"g": "X", "q": [1], "if": [0, 1]}], "before any measurement writes it"),
])
def test_race_form_refuses_what_the_peers_cannot_defer(ops, message):
    with pytest.raises(ValueError, match=message):
        C.race_form(circuit(2, ops, clbits=2))


@pytest.mark.parametrize("bad, message", [
    ([], "JSON object"),
    ({"n": 0, "ops": []}, '"n" must be a positive'),
    ({"n": 2.0, "ops": []}, '"n" must be a positive'),
    ({"n": 2}, '"ops" must be a list'),
    ({"n": 2, "ops": [], "qubits": 3}, "unknown circuit keys qubits"),
    ({"n": 2, "ops": [], "name": "../x"}, '"name" must be'),
    ({"n": 2, "ops": [{"g": "U3", "q": [0]}]}, "op 0 .*unknown gate 'U3'"),
    ({"n": 2, "ops": [H0, {"g": "h", "q": [0]}]}, "op 1 .*unknown gate 'h'"),
    ({"n": 2, "ops": [{"g": "CNOT", "q": [0]}]}, "CNOT acts on 2 qubits, got 1"),
    ({"n": 2, "ops": [{"g": "H", "q": [2]}]}, "qubit 2 is out of range for 2 qubits"),
    ({"n": 2, "ops": [{"g": "H", "q": [-1]}]}, "qubit -1 is out of range"),
    ({"n": 2, "ops": [{"g": "ZCON", "q": [1, 1]}]}, "listed twice"),
    ({"n": 2, "ops": [{"g": "H", "q": 0}]}, '"q" must be a list'),
    ({"n": 2, "ops": [{"g": "Rx", "q": [0]}]}, "Rx needs \"p\""),
    ({"n": 2, "ops": [{"g": "Rz", "q": [0], "p": [0.1, 0.2]}]}, "Rz needs \"p\""),
    ({"n": 2, "ops": [{"g": "P", "q": [0], "p": ["pi"]}]}, "P needs \"p\""),
    ({"n": 2, "ops": [{"g": "Ry", "q": [0], "p": [math.nan]}]}, "one finite angle"),
    ({"n": 2, "ops": [{"g": "H", "q": [0], "p": [0.5]}]}, "H takes no angle"),
    ({"n": 2, "ops": [m(0, 0)]}, "classical bit 0 is out of range for 0 classical bits"),
    ({"n": 2, "clbits": 1, "ops": [{"g": "MEASURE", "q": [0, 1], "c": [0]}]}, "one classical bit for each"),
    ({"n": 2, "clbits": 2, "ops": [{"g": "X", "q": [0], "if": [[0, 1], 3]}]}, "several bits"),
    ({"n": 2, "clbits": 1, "ops": [{"g": "X", "q": [0], "if": [0, 2]}]}, "0 or 1"),
    ({"n": 2, "clbits": 1, "ops": [{"g": "X", "q": [0], "if": [1, 1]}]}, "condition bit 1 is out of range"),
    ({"n": 2, "ops": [{"g": "X", "q": [0], "target": 1}]}, "unexpected key target"),
])
def test_validate_names_the_fault(bad, message):
    with pytest.raises(ValueError, match=message):
        C.race_form(bad)


PROGRAMS = {
    "registers in order": "qreg a[2];\nqreg b[3];\nh a[1];\nrx(0.3) b[0];\ncx a[1], b[2];\nccx b[2], a[0], b[1];\n"
    "ry(-1.2) a[0];\np(pi/5) b[2];\n",
    "defined gates and qelib names": "qreg q[3];\ngate bell a, b { h a; cx a, b; }\n"
    "gate twist(t) a { rx(t/2) a; rz(t) a; }\nbell q[2], q[0];\ntwist(0.8) q[1];\nsx q[0];\nu1(0.4) q[2];\n"
    "sdg q[1];\ntdg q[0];\ncz q[0], q[1];\ny q[2];\nid q[1];\n",
    "teleportation": "qreg q[3];\ncreg m0[1];\ncreg m1[1];\nry(0.9) q[0];\nh q[1];\ncx q[1], q[2];\n"
    "cx q[0], q[1];\nh q[0];\nmeasure q[0] -> m0[0];\nmeasure q[1] -> m1[0];\nif (m1==1) x q[2];\n"
    "if (m0==1) z q[2];\n",
    "broadcast measurement": "qreg q[2];\ncreg c[2];\nh q[0];\ncx q[0], q[1];\nbarrier q;\nmeasure q -> c;\n",
}


@pytest.mark.parametrize("name", PROGRAMS)
def test_converted_program_runs_like_the_importer_graph(name):
    source = HEADER + PROGRAMS[name]
    neutral = convert(source)
    C.validate(neutral)
    want = kovra(loads(source))
    assert_close_maps(kovra(run_kovra.build(neutral)), want)
    assert_close_maps(kovra(run_kovra.build(C.race_form(neutral))), want)


def test_converter_numbers_registers_one_after_another():
    source = HEADER + "qreg a[2];\nqreg b[2];\ncreg c[1];\ncreg d[2];\nrx(0.25) b[1];\ncx a[1], b[0];\n" \
                      "measure b[1] -> d[1];\nif (c==1) z a[0];\n"
    assert convert(source) == {"n": 4, "clbits": 3, "ops": [
        {"g": "Rx", "q": [3], "p": [0.25]}, {"g": "CNOT", "q": [1, 2]},
        {"g": "MEASURE", "q": [3], "c": [2]}, {"g": "Z", "q": [0], "if": [0, 1]}]}


@pytest.mark.parametrize("body, message", [
    ("qreg q[2];\ncreg c[2];\nmeasure q -> c;\nif (c==2) x q[0];\n", "conditioned on 2 classical bits"),
    ("qreg q[1];\nopaque zap(t) a;\nzap(0.1) q[0];\n", "'zap'.*line 5"),
    ("qreg q[1];\nh q[1];\n", "input>:4,4: index 1 is out-of-range"),
])
def test_converter_refuses(body, message):
    with pytest.raises(QasmError, match=message):
        convert(HEADER + body)


@pytest.mark.parametrize("body, status", [("qreg q[1];\nh q[0];\n", 0), ("qreg q[1];\nopaque zap a;\nzap q[0];\n", 1)])
def test_converter_script(tmp_path, body, status):
    program = tmp_path / "p.qasm"
    program.write_text(HEADER + body)
    proc = subprocess.run([sys.executable, os.path.join(PEERS_DIR, "qasm_to_neutral.py"), str(program)],
                          capture_output=True, text=True)
    assert proc.returncode == status
    if status == 0:
        assert json.loads(proc.stdout) == {"n": 1, "clbits": 0, "ops": [{"g": "H", "q": [0]}]}
    else:
        assert "zap" in proc.stderr and "Traceback" not in proc.stderr


def test_fusion_probe_circuit():
    probe = C.fusion_probe(5, 40, qubit=2)
    rotations = [op for op in probe["ops"] if op["g"] == "Rx"]
    assert len(rotations) == 40 and {tuple(op["q"]) for op in rotations} == {(2,)}
    assert len({op["p"][0] for op in rotations}) == 40
    C.validate(probe)


def _results(probe):
    """A race result of one circuit at one thread: aer is the fastest peer in its fusion-off
    setting, qsim in its least-fused one; qulacs is slower in both."""
    def run(engine, fusion, median):
        return {"engine": engine, "threads": 1, "fusion": fusion, "mode": "statevector", "median": median,
                "peak_mib": 1.0, "baseline_mib": 1.0}

    entry = {"name": "c", "family": "random", "n": 4, "gates": 10, "measurements": 0, "agreement": {},
             "runs": [run("kovra", False, 1.0), run("aer", False, 2.0), run("aer", True, 2.5),
                      run("qulacs", False, 3.0), run("qulacs", True, 3.5), run("qsim", False, 0.5),
                      run("qsim", True, 0.6)],
             "blocking": {"gates": 10, "passes": 2, "gate_by_gate_s": 1.0, "blocked_s": 0.25}}
    results = {"settings": {"peers": ["aer", "qulacs", "qsim"], "threads": [1]}, "circuits": [entry],
               "bandwidth": {}}
    if probe is not None:
        results["fusion_probe"] = {"engines": {e: ({"fusing": f} if f is not None else {"error": "failed"})
                                               for e, f in probe.items()}}
    return results


@pytest.mark.parametrize("probe, without_fusion, always_fused, least_fused, fused_peer", [
    (None, "aer 2.0000", "qsim", "qsim 0.5000", "qsim least-fused 0.5 | **0.50**"),  # from before the probe
    ({"aer": False, "qulacs": False, "qsim": True}, "aer 2.0000", "qsim", "qsim 0.5000",
     "qsim least-fused 0.5 | **0.50**"),
    ({"aer": True, "qulacs": False, "qsim": True}, "qulacs 3.0000", "aer/qsim", "qsim 0.5000",
     "qsim least-fused 0.5 | **0.50**"),
    ({"aer": True, "qulacs": False, "qsim": False}, "qsim 0.5000", "aer", "aer 2.0000",
     "qsim+fusion 0.6 | **0.42**"),
    ({"aer": None, "qulacs": False, "qsim": True}, "qulacs 3.0000", "qsim", "qsim 0.5000",
     "qsim least-fused 0.5 | **0.50**"),
])
def test_report_counts_only_probed_unfused_engines_as_without_fusion(probe, without_fusion, always_fused,
                                                                     least_fused, fused_peer):
    import report

    results = _results(probe)
    head, _, row = report.summary_table(results).splitlines()
    assert "| %s, least fusion (fusion always on) |" % always_fused in head
    row = row.split(" | ")
    assert row[3] == without_fusion
    assert row[5] == least_fused
    assert "| %s |" % fused_peer in report.blocking_text(results)
