"""A local NMR device: a TCP server that speaks the device protocol.

Run it as

    python -m kovra.emulator [--host 127.0.0.1] [--port 55444]
                             [--user U --password P] [fault options]

It accepts a login (any credentials unless --user/--password are given),
accepts one task at a time, runs the task document on a state vector of at
most 3 qubits and answers with the probabilities of the measured qubits. The
computation is numpy's and shares nothing with the extension module, so the
two back ends check each other.

It is ideal unless given relaxation times: with ``--t1`` and ``--t2``
(seconds) every qubit relaxes towards |0> during each time slot, for as long
as the slot's slowest operation takes (``--gate-time NAME=SECONDS``, else
``--default-gate-time``), so that the device path can be rehearsed with the
answers a decohering device would give.

The fault options make it misbehave in the ways a real device or network
can; the tests use them. Once listening it prints one line,
"kovra emulator listening on HOST:PORT", on standard output (with --port 0
the port is the one the system chose). The wire format is described in
docs/device_protocol.md.
"""

import argparse
import asyncio
import itertools
import json
import math
import sys

import numpy as np

MAX_QUBITS = 3
MAX_LINE = 16 * 1024 * 1024

# The constants of the gate catalogue: the Hadamard entry and the value of pi
# used to turn degrees into radians.
C = 0.707106781173095
PI = 3.1415926532


def _fixed(rows):
    return np.array(rows, dtype=complex)


FIXED_GATES = {
    "I": _fixed([[1, 0], [0, 1]]),
    "H": _fixed([[C, C], [C, -C]]),
    "X": _fixed([[0, 1], [1, 0]]),
    "Y": _fixed([[0, -1j], [1j, 0]]),
    "Z": _fixed([[1, 0], [0, -1]]),
    "X90": _fixed([[0.5 + 0.5j, 0.5 - 0.5j], [0.5 - 0.5j, 0.5 + 0.5j]]),
    "Y90": _fixed([[0.5 + 0.5j, -0.5 - 0.5j], [0.5 + 0.5j, 0.5 + 0.5j]]),
    "Z90": _fixed([[1, 0], [0, 1j]]),
    "S": _fixed([[1, 0], [0, 1j]]),
    "Sd": _fixed([[1, 0], [0, -1j]]),
    "T": _fixed([[1, 0], [0, C + C * 1j]]),
    "Td": _fixed([[1, 0], [0, C - C * 1j]]),
    "CNOT": _fixed([[1, 0, 0, 0], [0, 1, 0, 0], [0, 0, 0, 1], [0, 0, 1, 0]]),
    "YCON": _fixed([[1, 0, 0, 0], [0, 1, 0, 0], [0, 0, 0, -1], [0, 0, 1, 0]]),
    "ZCON": _fixed([[1, 0, 0, 0], [0, 1, 0, 0], [0, 0, 1, 0], [0, 0, 0, -1]]),
    "CCX": np.eye(8, dtype=complex)[[0, 1, 2, 3, 4, 5, 7, 6]],
}


def _rx(a):
    c, s = np.cos(a / 2), np.sin(a / 2)
    return np.array([[c, -1j * s], [-1j * s, c]])


def _ry(a):
    c, s = np.cos(a / 2), np.sin(a / 2)
    return np.array([[c, -s], [s, c]], dtype=complex)


def _rz(a):
    return np.array([[np.exp(-0.5j * a), 0], [0, np.exp(0.5j * a)]])


def _p(a):
    return np.array([[1, 0], [0, np.exp(1j * a)]])


ROTATIONS = {"Rx": _rx, "Ry": _ry, "Rz": _rz, "P": _p}


class TaskError(Exception):
    """The task document cannot be run."""


def gate_matrix(name, degrees):
    if name in FIXED_GATES:
        return FIXED_GATES[name]
    if name in ROTATIONS:
        return ROTATIONS[name](degrees * PI / 180.0)
    raise TaskError(f"unknown operation {name!r}")


def _is_int(value):
    return isinstance(value, int) and not isinstance(value, bool)


def parse_task(document, qubits):
    """Checks the structure of a task document; raises ValueError if malformed."""
    if not _is_int(qubits) or not 1 <= qubits <= MAX_QUBITS:
        raise ValueError("qubit count")
    task = json.loads(document)
    if not isinstance(task, dict) or not isinstance(task.get("gates"), list):
        raise ValueError("gates")
    for op in task["gates"]:
        if not isinstance(op, dict) or not isinstance(op.get("type"), str):
            raise ValueError("operation")
        for key in ("controlQubit", "controlQubit2", "delay", "qubitIndex", "timeslot"):
            if not _is_int(op.get(key)):
                raise ValueError(key)
        angle = op.get("angle")
        if isinstance(angle, bool) or not isinstance(angle, (int, float)):
            raise ValueError("angle")
    measures = task.get("measures")
    if measures is not None:
        if (not isinstance(measures, list) or len(measures) != qubits
                or any(flag not in (0, 1) or isinstance(flag, bool) for flag in measures)):
            raise ValueError("measures")
    return task


def _apply(rho, tensor, targets, qubits):
    """rho -> U rho U^dagger for the gate tensor on `targets`."""
    arity = len(targets)
    inputs = list(range(arity, 2 * arity))
    for axes, factor in ((targets, tensor), ([qubits + q for q in targets], tensor.conj())):
        rho = np.tensordot(factor, rho, axes=(inputs, axes))
        rho = np.moveaxis(rho, list(range(arity)), axes)
    return rho


class Relaxation:
    """T1 and T2 (seconds, T2 <= 2 T1) and each operation's duration."""

    def __init__(self, t1, t2, gate_times=None, default_time=0.0):
        if not (t1 > 0 and 0 < t2 <= 2 * t1):
            raise ValueError(f"relaxation times need T1 > 0 and 0 < T2 <= 2 T1, got T1={t1}, T2={t2}")
        self.t1, self.t2 = t1, t2
        self.gate_times = dict(gate_times or {})
        self.default_time = default_time

    def duration(self, name):
        return self.gate_times.get(name, self.default_time)

    def kraus(self, time):
        """Amplitude damping to exp(-time/T1), then the dephasing that
        brings the coherences to exp(-time/T2)."""
        gamma = 1 - np.exp(-time / self.t1)
        kept = min(1.0, np.exp(-2 * time / self.t2 + time / self.t1))  # 1 - lambda
        a, p, l = np.sqrt(1 - gamma), np.sqrt(kept), np.sqrt(1 - kept)
        return [np.array(m, dtype=complex) for m in ([[1, 0], [0, a * p]], [[0, np.sqrt(gamma)], [0, 0]],
                                                     [[0, 0], [0, a * l]])]


def _relax(rho, relaxation, time, qubits):
    """Every qubit relaxes for `time` seconds."""
    if time <= 0:
        return rho
    operators = relaxation.kraus(time)
    for q in range(qubits):
        rho = sum(_apply(rho, k, [q], qubits) for k in operators)
    return rho


def _measure(rho, qubit, qubits):
    """A projective measurement whose outcome is not looked at: the
    coherences between the two values of the qubit vanish."""
    rho = rho.copy()
    for ket, bra in ((0, 1), (1, 0)):
        index = [slice(None)] * (2 * qubits)
        index[qubit], index[qubits + qubit] = ket, bra
        rho[tuple(index)] = 0
    return rho


def run_task(task, qubits, relaxation=None):
    """The probabilities of the measured qubits after the task's operations,
    the lowest-numbered measured qubit most significant, so that entry i is
    the result key that writes i in binary (docs/results.md, "Key order").
    Operations run in time-slot order; the density
    matrix lets a MEASURE operation inside the task act as the measurement
    it is. With `relaxation`, every qubit relaxes at the end of each slot
    for as long as its slowest operation takes."""
    rho = np.zeros((2,) * (2 * qubits), dtype=complex)
    rho[(0,) * (2 * qubits)] = 1.0
    ops = sorted(task["gates"], key=lambda op: op["timeslot"])
    for k, op in enumerate(ops):
        rho = _run_operation(rho, op, qubits)
        if relaxation is not None and (k + 1 == len(ops) or ops[k + 1]["timeslot"] != op["timeslot"]):
            slot = [o for o in ops if o["timeslot"] == op["timeslot"]]
            rho = _relax(rho, relaxation, max(relaxation.duration(o["type"]) for o in slot), qubits)
    size = 2 ** qubits
    probabilities = np.real(np.diagonal(rho.reshape(size, size))).reshape((2,) * qubits)
    flags = task.get("measures")
    if flags is not None:
        dropped = tuple(q for q in range(qubits) if not flags[q])
        if dropped:
            probabilities = probabilities.sum(axis=dropped)
    return [float(p) for p in np.ravel(probabilities)]


def _run_operation(rho, op, qubits):
    """One operation of a task on rho."""
    c1, c2, target = op["controlQubit"], op["controlQubit2"], op["qubitIndex"]
    if op["type"] == "MEASURE":
        if c1 != -1 or c2 != -1 or not 0 <= target < qubits:
            raise TaskError(f"MEASURE on qubit {target} of {qubits}")
        return _measure(rho, target, qubits)
    matrix = gate_matrix(op["type"], op["angle"])
    arity = matrix.shape[0].bit_length() - 1
    wires = {1: ([target], c1 == -1 and c2 == -1),
             2: ([c1, target], c1 != -1 and c2 == -1),
             3: ([c1, c2, target], c1 != -1 and c2 != -1)}
    targets, fits = wires[arity]
    if not fits:
        raise TaskError(f"{op['type']} acts on {arity} qubit(s)")
    if any(not 0 <= q < qubits for q in targets) or len(set(targets)) != arity:
        raise TaskError(f"{op['type']} on qubits {targets} of {qubits}")
    return _apply(rho, matrix.reshape((2,) * (2 * arity)), targets, qubits)


class Emulator:
    def __init__(self, options):
        self.options = options
        self.relaxation = None
        if options.t1 is not None:
            self.relaxation = Relaxation(options.t1, options.t2, dict(options.gate_time),
                                         options.default_gate_time)
        self.busy = False
        self.task_ids = itertools.count(1)

    async def send(self, writer, message, raw=None):
        if self.options.delay:
            await asyncio.sleep(self.options.delay)
        line = raw if raw is not None else json.dumps(message, allow_nan=False)
        writer.write(line.encode() + b"\n")
        await writer.drain()

    def faulty(self, which, kind):
        """The text to send instead of reply `kind`, or None."""
        if self.options.malformed == kind:
            return '{"type": "' + which + '", "return_code": '
        if self.options.wrong_types == kind:
            if kind == "finish":
                return json.dumps({"type": which, "task_state": "S", "task_id": "0",
                                   "task_result": {"execution": "0.5"}})
            return json.dumps({"type": which, "return_code": "0"})
        return None

    async def login(self, writer, message):
        opts = self.options
        if opts.ignore_login:
            return False
        accepted = not opts.reject_login and (
            opts.user is None or (message.get("username") == opts.user
                                  and message.get("password") == opts.password))
        raw = self.faulty("login_response", "login")
        await self.send(writer, {"type": "login_response", "return_code": 0 if accepted else 1}, raw)
        return accepted

    async def push(self, writer, message, logged_in):
        """Answers a push request and, if it accepts the task, runs it and sends task_finished."""
        opts = self.options
        try:
            task = parse_task(message.get("task"), message.get("qubits"))
        except (ValueError, TypeError):
            task = None
        accepted = task is not None and logged_in and not self.busy and not opts.refuse_task
        raw = self.faulty("push_task_response", "push")
        await self.send(writer, {"type": "push_task_response", "return_code": 0 if accepted else 1}, raw)
        if not accepted:
            return
        self.busy = True
        try:
            task_id = str(next(self.task_ids))
            if opts.task_time:
                await asyncio.sleep(opts.task_time)
            if opts.close_mid_task:
                writer.close()
                return
            reply = {"type": "task_finished", "task_id": task_id}
            try:
                if opts.fail_task:
                    raise TaskError("failure injected")
                execution = run_task(task, message["qubits"], self.relaxation)
                if not all(math.isfinite(p) for p in execution):
                    raise TaskError("the result is not finite")  # JSON has no NaN to carry it
                reply.update(task_state="S", task_result={"execution": execution})
            except TaskError as error:
                reply.update(task_state="F", message=str(error))
            await self.send(writer, reply, self.faulty("task_finished", "finish"))
        finally:
            self.busy = False

    async def serve(self, reader, writer):
        logged_in = False
        try:
            while True:
                try:
                    line = await reader.readline()
                except (ValueError, asyncio.LimitOverrunError):
                    break
                if not line:
                    break
                try:
                    message = json.loads(line)
                except ValueError:
                    continue
                if not isinstance(message, dict):
                    continue
                kind = message.get("type")
                if kind == "login":
                    logged_in = await self.login(writer, message)
                elif kind == "push_task":
                    await self.push(writer, message, logged_in)
                if writer.is_closing():
                    break
        except (ConnectionError, OSError):
            pass
        finally:
            writer.close()
            try:
                await writer.wait_closed()
            except (ConnectionError, OSError):
                pass


def _seconds(text):
    """A duration: a finite number of seconds, not negative. NaN would
    otherwise reach the results, and JSON has no NaN to send them in."""
    try:
        seconds = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"'{text}' is not a number of seconds") from None
    if not math.isfinite(seconds) or seconds < 0:
        raise argparse.ArgumentTypeError(f"{text}: a time must be a finite number of seconds, at least 0")
    return seconds


def _gate_time(text):
    name, equals, seconds = text.partition("=")
    if not name or not equals:
        raise argparse.ArgumentTypeError(f"expected NAME=SECONDS, got {text!r}")
    try:
        return name, _seconds(seconds)
    except argparse.ArgumentTypeError as error:
        raise argparse.ArgumentTypeError(f"{name}: {error}") from None


def parse_arguments(argv=None):
    parser = argparse.ArgumentParser(prog="python -m kovra.emulator", description=__doc__.splitlines()[0])
    parser.add_argument("--host", default="127.0.0.1", help="address to listen on (default 127.0.0.1)")
    parser.add_argument("--port", type=int, default=55444, help="port (default 55444; 0 picks a free one)")
    parser.add_argument("--user", help="the only user name accepted (default: any)")
    parser.add_argument("--password", help="the password that goes with --user")
    device = parser.add_argument_group("decoherence (ideal unless --t1 and --t2 are given)")
    device.add_argument("--t1", type=_seconds, help="relaxation time T1 in seconds")
    device.add_argument("--t2", type=_seconds, help="dephasing time T2 in seconds (at most 2 T1)")
    device.add_argument("--gate-time", action="append", default=[], type=_gate_time, metavar="NAME=SECONDS",
                        help="how long operation NAME takes (repeatable)")
    device.add_argument("--default-gate-time", type=_seconds, default=0.0,
                        help="how long other operations take (default 0)")
    faults = parser.add_argument_group("fault injection")
    faults.add_argument("--reject-login", action="store_true", help="answer every login with return_code 1")
    faults.add_argument("--ignore-login", action="store_true", help="never answer a login")
    faults.add_argument("--refuse-task", action="store_true", help="answer every task with return_code 1")
    faults.add_argument("--fail-task", action="store_true", help="finish every task with task_state F")
    faults.add_argument("--close-mid-task", action="store_true",
                        help="close the connection after accepting a task")
    faults.add_argument("--malformed", choices=["login", "push", "finish"],
                        help="send a line that is not JSON instead of this reply")
    faults.add_argument("--wrong-types", choices=["login", "push", "finish"],
                        help="send this reply with members of the wrong type")
    faults.add_argument("--delay", type=_seconds, default=0.0, help="seconds to wait before every reply")
    faults.add_argument("--task-time", type=_seconds, default=0.0, help="seconds a task takes")
    options = parser.parse_args(argv)
    if (options.user is None) != (options.password is None):
        parser.error("--user and --password go together")
    if (options.t1 is None) != (options.t2 is None):
        parser.error("--t1 and --t2 go together")
    if options.t1 is not None:
        try:
            Relaxation(options.t1, options.t2)
        except ValueError as e:
            parser.error(str(e))
    return options


async def main_async(options):
    emulator = Emulator(options)
    server = await asyncio.start_server(emulator.serve, options.host, options.port, limit=MAX_LINE)
    host, port = server.sockets[0].getsockname()[:2]
    print(f"kovra emulator listening on {host}:{port}", flush=True)
    async with server:
        await server.serve_forever()


def main(argv=None):
    options = parse_arguments(argv)
    try:
        asyncio.run(main_async(options))
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
