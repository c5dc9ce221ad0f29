"""The device emulator on its own: its gate arithmetic through identities that
hold for the real gates, its task checks, and the protocol on the wire."""

import asyncio
import json
import socket

import numpy as np
import pytest

from kovra import emulator as emu

from nmr_helpers import emulator


def op(name, target, control=-1, control2=-1, angle=0, slot=0):
    return {"type": name, "qubitIndex": target, "controlQubit": control, "controlQubit2": control2,
            "angle": angle, "timeslot": slot, "delay": 0}


def sequence(qubits, *ops):
    return emu.run_task({"gates": [dict(o, timeslot=i) for i, o in enumerate(ops)]}, qubits)


@pytest.mark.parametrize("ops, expected", [
    ([op("I", 0)], [1, 0]),
    ([op("H", 0), op("H", 0)], [1, 0]),
    ([op("Y", 0)], [0, 1]),
    ([op("X90", 0), op("X90", 0)], [0, 1]),
    ([op("Y90", 0), op("Y90", 0)], [0, 1]),
    ([op("H", 0), op("Z", 0), op("H", 0)], [0, 1]),
    ([op("H", 0), op("S", 0), op("S", 0), op("H", 0)], [0, 1]),
    ([op("H", 0), op("Z90", 0), op("Sd", 0), op("H", 0)], [1, 0]),
    ([op("H", 0)] + [op("T", 0)] * 4 + [op("H", 0)], [0, 1]),
    ([op("H", 0), op("T", 0), op("Td", 0), op("H", 0)], [1, 0]),
    ([op("Rx", 0, angle=90)], [0.5, 0.5]),
    ([op("Ry", 0, angle=120)], [0.25, 0.75]),
    ([op("Rx", 0, angle=720)], [1, 0]),
    ([op("H", 0), op("Rz", 0, angle=180), op("H", 0)], [0, 1]),
    ([op("H", 0), op("P", 0, angle=180), op("H", 0)], [0, 1]),
    ([op("X", 0), op("CNOT", 1, 0)], [0, 0, 0, 1]),
    ([op("X", 1), op("CNOT", 0, 1)], [0, 0, 0, 1]),
    ([op("CNOT", 1, 0)], [1, 0, 0, 0]),
    ([op("X", 0), op("YCON", 1, 0)], [0, 0, 0, 1]),
    ([op("H", 0), op("H", 1), op("ZCON", 1, 0), op("H", 1)], [0.5, 0, 0, 0.5]),
    ([op("X", 0), op("X", 2), op("CCX", 1, 0, 2)], [0, 0, 0, 0, 0, 0, 0, 1]),
    ([op("X", 0), op("CCX", 2, 0, 1)], [0, 0, 0, 0, 1, 0, 0, 0]),
    ([op("H", 0), op("MEASURE", 0), op("H", 0)], [0.5, 0.5]),
])
def test_gate_identities(ops, expected):
    qubits = max(max(o["qubitIndex"], o["controlQubit"], o["controlQubit2"]) for o in ops) + 1
    assert sequence(qubits, *ops) == pytest.approx(expected, abs=1e-9)


def test_matrices_are_unitary():
    for name in list(emu.FIXED_GATES) + list(emu.ROTATIONS):
        m = emu.gate_matrix(name, 37.5)
        assert np.allclose(m @ m.conj().T, np.eye(len(m)), atol=1e-9), name


def test_time_slot_order_and_measures():
    # Listed out of order: X (slot 1) must follow H (slot 0) on qubit 0.
    task = {"gates": [op("X", 1, slot=1), op("H", 0, slot=0), op("X", 0, slot=1)], "measures": [0, 1]}
    assert emu.run_task(task, 2) == pytest.approx([0, 1], abs=1e-9)
    task["measures"] = [1, 0]
    assert emu.run_task(task, 2) == pytest.approx([0.5, 0.5], abs=1e-9)
    task["measures"] = [0, 0]
    assert emu.run_task(task, 2) == pytest.approx([1.0], abs=1e-9)


@pytest.mark.parametrize("bad", [
    op("Hadamard", 0), op("h", 0), op("MEASURE", 0, control=1), op("CNOT", 0), op("H", 0, control=1),
    op("CCX", 2, control=0), op("X", 3), op("CNOT", 1, control=1), op("X", -2),
])
def test_task_failures(bad):
    with pytest.raises(emu.TaskError):
        sequence(3, bad)


@pytest.mark.parametrize("document, qubits", [
    ("not json", 1), ('{"gates": {}}', 1), ("[]", 1), ('{"gates": [1]}', 1),
    (json.dumps({"gates": [dict(op("H", 0), qubitIndex=True)]}), 1),
    (json.dumps({"gates": [dict(op("H", 0), angle="90")]}), 1),
    (json.dumps({"gates": [op("H", 0)], "measures": [1]}), 2),
    (json.dumps({"gates": [op("H", 0)], "measures": [2, 0]}), 2),
    (json.dumps({"gates": []}), 4), (json.dumps({"gates": []}), 0), (json.dumps({"gates": []}), "1"),
])
def test_malformed_tasks(document, qubits):
    with pytest.raises(ValueError):
        emu.parse_task(document, qubits)


class Wire:
    def __init__(self, port):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=10)
        self.lines = self.sock.makefile("r")

    def ask(self, **message):
        self.sock.sendall(json.dumps(message).encode() + b"\n")
        return json.loads(self.lines.readline())

    def next(self):
        return json.loads(self.lines.readline())

    def close(self):
        self.lines.close()
        self.sock.close()


TASK = json.dumps({"gates": [op("H", 0)]})


def test_protocol_on_the_wire():
    with emulator("--user", "u", "--password", "p", "--task-time", "0.3") as device:
        a, b = Wire(device.port), Wire(device.port)
        try:
            assert a.ask(type="push_task", task=TASK, qubits=1, task_name="t", task_desc="")["return_code"] == 1
            assert a.ask(type="login", username="u", password="x") == {"type": "login_response",
                                                                      "return_code": 1}
            assert a.ask(type="login", username="u", password="p")["return_code"] == 0
            assert b.ask(type="login", username="u", password="p")["return_code"] == 0
            assert a.ask(type="push_task", task="{", qubits=1, task_name="t", task_desc="")["return_code"] == 1
            assert a.ask(type="push_task", task=TASK, qubits=1, task_name="t", task_desc="")["return_code"] == 0
            # One task at a time: the second connection is refused while it runs.
            assert b.ask(type="push_task", task=TASK, qubits=1, task_name="t", task_desc="")["return_code"] == 1
            done = a.next()
            assert (done["type"], done["task_state"]) == ("task_finished", "S")
            assert isinstance(done["task_id"], str)
            assert done["task_result"]["execution"] == pytest.approx([0.5, 0.5], abs=1e-9)
            unknown = json.dumps({"gates": [op("Q", 0)]})
            assert b.ask(type="push_task", task=unknown, qubits=1, task_name="t", task_desc="")["return_code"] == 0
            failed = b.next()
            assert failed["task_state"] == "F" and failed["task_id"] != done["task_id"]
        finally:
            a.close()
            b.close()


def test_command_line_checks():
    with pytest.raises(SystemExit):
        emu.parse_arguments(["--user", "only"])
    options = emu.parse_arguments(["--port", "0", "--malformed", "finish", "--delay", "0.5"])
    assert (options.host, options.port, options.malformed, options.delay) == ("127.0.0.1", 0, "finish", 0.5)


@pytest.mark.parametrize("seed", range(4))
def test_relaxation_is_the_thermal_relaxation_of_every_qubit_after_each_slot(seed):
    """The emulator's decoherence against kovra's density matrix with Aer's
    thermal-relaxation channel on every qubit after each operation."""
    qiskit_aer = pytest.importorskip("qiskit_aer")
    import kovra_backends
    from kovra.builder import CircuitBuilder
    from qiskit.quantum_info import Kraus

    rng = np.random.default_rng(seed)
    t1, t2, times = 50e-6, 70e-6, {"H": 3e-6, "Rx": 5e-6, "CNOT": 20e-6, "X": 4e-6}
    relaxation = emu.Relaxation(t1, t2, times)
    builder = CircuitBuilder()
    builder.qreg(2)
    ops = []
    for _ in range(8):
        name = str(rng.choice(list(times)))
        qubit = int(rng.integers(2))
        angle = float(rng.uniform(0, 360)) if name == "Rx" else 0
        if name == "CNOT":
            ops.append(op(name, 1 - qubit, control=qubit))
            builder.gate(name, [qubit, 1 - qubit])
        else:
            ops.append(op(name, qubit, angle=angle))
            builder.gate(name, [qubit], params=[angle * emu.PI / 180] if name == "Rx" else None)
        decay = Kraus(qiskit_aer.noise.thermal_relaxation_error(t1, t2, times[name])).data
        for q in range(2):
            builder.kraus([q], decay)
    task = {"gates": [dict(o, timeslot=i) for i, o in enumerate(ops)]}
    expected = kovra_backends.BasicSimulator().execute(builder.graph(), {}).probability_array()
    assert emu.run_task(task, 2, relaxation) == pytest.approx(list(expected), abs=1e-9)
    assert emu.run_task(task, 2) != pytest.approx(list(expected), abs=1e-3)


@pytest.mark.parametrize("argv", [["--t1", "1e-5"], ["--t1", "1e-5", "--t2", "3e-5"], ["--gate-time", "H"]])
def test_bad_relaxation_options_are_refused(argv, capsys):
    with pytest.raises(SystemExit):
        emu.parse_arguments(argv)
    assert any(word in capsys.readouterr().err for word in ("--t1", "T2 <= 2 T1", "NAME=SECONDS"))


@pytest.mark.parametrize("option, value", [
    ("--default-gate-time", "nan"), ("--default-gate-time", "-1e-6"), ("--gate-time", "H=nan"),
    ("--gate-time", "CNOT=-2e-6"), ("--gate-time", "H=inf"), ("--t1", "inf"), ("--delay", "nan"),
])
def test_times_that_are_not_finite_or_negative_are_refused_by_name(option, value, capsys):
    with pytest.raises(SystemExit) as exited:
        emu.parse_arguments(["--t1", "1e-4", "--t2", "1e-4", option, value])
    assert exited.value.code == 2
    assert option in capsys.readouterr().err


class _Wire:
    def __init__(self):
        self.lines = []

    def write(self, data):
        self.lines.append(data.decode())

    async def drain(self):
        pass

    def is_closing(self):
        return False


def test_a_result_that_is_not_finite_fails_the_task_in_plain_json():
    # Infinite T1, T2 and gate time pass Relaxation's own check (as a caller
    # building one directly may) and make the Kraus operators NaN.
    options = emu.parse_arguments([])
    device = emu.Emulator(options)
    device.relaxation = emu.Relaxation(float("inf"), float("inf"), default_time=float("inf"))
    wire = _Wire()
    task = json.dumps({"gates": [op("H", 0)]})
    asyncio.run(device.push(wire, {"type": "push_task", "task": task, "qubits": 1}, True))
    replies = [json.loads(line, parse_constant=lambda c: pytest.fail(f"{c} on the wire")) for line in wire.lines]
    assert replies[-1]["type"] == "task_finished" and replies[-1]["task_state"] == "F"
    assert "not finite" in replies[-1]["message"]
