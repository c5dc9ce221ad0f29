"""Running the local NMR device emulator for the tests, the circuit they
send, and the counts that show a leak."""

import contextlib
import ctypes
import os
import signal
import subprocess
import sys

from kovra.builder import CircuitBuilder

PYTHON_DIR = os.path.join(os.path.dirname(__file__), "..", "..", "python")
PR_SET_PDEATHSIG = 1


def _end_with_parent():
    # Should the test process die without tearing down, the emulator follows.
    ctypes.CDLL(None).prctl(PR_SET_PDEATHSIG, signal.SIGTERM)


class EmulatorProcess:
    """`python -m kovra.emulator` on a free loopback port."""

    def __init__(self, *options):
        env = dict(os.environ)
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [PYTHON_DIR, env.get("PYTHONPATH")]))
        self.process = subprocess.Popen(
            [sys.executable, "-m", "kovra.emulator", "--port", "0", *options],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env,
            preexec_fn=_end_with_parent)
        line = self.process.stdout.readline()
        if "listening on" not in line:
            self.process.kill()
            raise RuntimeError("emulator did not start: " + line + self.process.stderr.read())
        self.port = int(line.rsplit(":", 1)[1])

    def config(self, **extra):
        return {"ip": "127.0.0.1", "port": self.port, **extra}

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.process.stdout.close()
        self.process.stderr.close()


@contextlib.contextmanager
def emulator(*options):
    device = EmulatorProcess(*options)
    try:
        yield device
    finally:
        device.stop()


def closed_port():
    """A loopback port on which nothing listens."""
    import socket

    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def bell():
    b = CircuitBuilder()
    b.qreg(2)
    b.gate("H", [0])
    b.gate("CNOT", [0, 1])
    return b


def open_fd_count():
    return len(os.listdir("/proc/self/fd"))


def thread_count():
    return len(os.listdir("/proc/self/task"))
