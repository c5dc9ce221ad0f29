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

# The device's physics; tests and callers reach its names here too.
from .device_model import (  # noqa: F401
    FIXED_GATES, MAX_QUBITS, PI, ROTATIONS, Relaxation, TaskError, gate_matrix, parse_task, run_task,
)

MAX_LINE = 16 * 1024 * 1024


class Emulator:
    """The device's side of the wire protocol (docs/device_protocol.md) for
    the parsed command-line `options`: logs clients in, runs their tasks on
    a density matrix and answers with the results."""

    def __init__(self, options):
        self.options = options
        self.relaxation = None
        if options.t1 is not None:
            self.relaxation = Relaxation(options.t1, options.t2, dict(options.gate_time),
                                         options.default_gate_time)
        self.busy = False
        self.task_ids = itertools.count(1)

    async def send(self, writer, message, raw=None):
        """Writes `message` as one JSON line (or the `raw` line as given),
        after the configured delay."""
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
        """Answers a login request; True when the client is logged in."""
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
        """Serves one connection until the client closes it."""
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
    """The emulator's options from `argv` (default: sys.argv[1:])."""
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
    """Listens with the parsed `options` and serves until cancelled."""
    emulator = Emulator(options)
    server = await asyncio.start_server(emulator.serve, options.host, options.port, limit=MAX_LINE)
    host, port = server.sockets[0].getsockname()[:2]
    print(f"kovra emulator listening on {host}:{port}", flush=True)
    async with server:
        await server.serve_forever()


def main(argv=None):
    """``python -m kovra.emulator``: serves until Ctrl-C."""
    options = parse_arguments(argv)
    try:
        asyncio.run(main_async(options))
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
