"""The device client over the device library: every failure a device or the
network can cause reaches the caller as an exception on the right stream,
waits wake early and release the interpreter lock, and repeated runs leak
nothing."""

import os
import shutil
import signal
import subprocess
import sys
import threading

import pytest

import kovra_backends as kb

from kovra.builder import CircuitBuilder
from nmr_helpers import PYTHON_DIR, bell, closed_port, emulator, open_fd_count, thread_count


FAILURES = {
    "login rejected": (["--reject-login"], "^Login failed!$", "err"),
    "task refused": (["--refuse-task"], r"^The machine is not ready for the task\.$", "err"),
    "task failed": (["--fail-task"], "^Task failed!$", ("err", "The task 1 failed!")),
    "closed mid-task": (["--close-mid-task"], "^The connection has been closed!$", "out"),
    "login not JSON": (["--malformed", "login"], r"^\[json\.exception\.parse_error\.101\]", None),
    "push reply not JSON": (["--malformed", "push"], r"^\[json\.exception\.parse_error\.101\]", None),
    "result not JSON": (["--malformed", "finish"], r"^\[json\.exception\.parse_error\.101\]", None),
    "login code is text": (["--wrong-types", "login"], r"type must be number, but is string", None),
    "push code is text": (["--wrong-types", "push"], r"type must be number, but is string", None),
    "execution is text": (["--wrong-types", "finish"], r"type must be array, but is string", None),
}


@pytest.mark.parametrize("case", FAILURES)
def test_device_failures_reach_the_caller(case, capfd):
    options, message, stream = FAILURES[case]
    b = bell()
    with emulator(*options) as device:
        capfd.readouterr()
        with pytest.raises(RuntimeError, match=message) as raised:
            kb.NMR().execute(b.capsule(), device.config())
        captured = capfd.readouterr()
    if isinstance(stream, tuple):
        stream, text = stream
    else:
        text = str(raised.value)
    if stream is not None:
        assert text + "\n" in getattr(captured, stream)
    # The process is still fine: a healthy device gives a result right after.
    with emulator() as device:
        assert set(kb.NMR().execute(b.capsule(), device.config()).probabilities) == {"00", "11"}


def test_connection_refused(capfd):
    b = bell()
    with pytest.raises(RuntimeError, match="^Connect to server failed!$"):
        kb.NMR().execute(b.capsule(), {"port": closed_port()})
    assert capfd.readouterr().err == "Connect to server failed!\n"


def test_unresolvable_address(capfd):
    b = bell()
    with pytest.raises(RuntimeError, match="^Connect to server failed!$"):
        kb.NMR().execute(b.capsule(), {"ip": "not an address", "port": closed_port()})


def test_slow_device_still_answers():
    b = bell()
    with emulator("--delay", "0.2", "--task-time", "0.2") as device:
        result = kb.NMR().execute(b.capsule(), device.config())
    assert set(result.probabilities) == {"00", "11"}


def test_device_killed_mid_task(capfd):
    b = bell()
    with emulator("--task-time", "30") as device:
        timer = threading.Timer(0.3, device.process.kill)
        timer.start()
        try:
            with pytest.raises(RuntimeError, match="^The connection has been closed!$"):
                kb.NMR().execute(b.capsule(), device.config())
        finally:
            timer.cancel()
    assert "The connection has been closed!\n" in capfd.readouterr().out


def test_waiting_releases_the_interpreter():
    b = bell()
    ticks = []
    stop = threading.Event()

    def tick():
        while not stop.is_set():
            ticks.append(1)
            stop.wait(0.01)

    with emulator("--task-time", "0.5") as device:
        ticker = threading.Thread(target=tick)
        ticker.start()
        try:
            kb.NMR().execute(b.capsule(), device.config())
            during = len(ticks)
        finally:
            stop.set()
            ticker.join()
    assert during >= 10


def test_concurrent_callers_take_turns():
    b = bell()
    results, errors = [], []

    def one(config):
        try:
            results.append(kb.NMR().execute(b.capsule(), config).probabilities)
        except Exception as error:  # noqa: BLE001 - reported below
            errors.append(error)

    with emulator("--task-time", "0.1") as device:
        threads = [threading.Thread(target=one, args=(device.config(),)) for _ in range(3)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    assert errors == []
    assert [set(r) for r in results] == [{"00", "11"}] * 3


def test_hundred_runs_leak_nothing(capfd):
    b = bell()
    with emulator() as device:
        config = device.config()
        kb.NMR().execute(b.capsule(), config)
        fds, threads = open_fd_count(), thread_count()
        for _ in range(100):
            assert set(kb.NMR().execute(b.capsule(), config).probabilities) == {"00", "11"}
        assert (open_fd_count(), thread_count()) == (fds, threads)
        # Failed runs release their connection as well.
        for _ in range(5):
            with pytest.raises(RuntimeError):
                kb.NMR().execute(b.capsule(), {"port": closed_port()})
        assert (open_fd_count(), thread_count()) == (fds, threads)
    capfd.readouterr()


def test_login_timeout(capfd):
    b = bell()
    with emulator("--ignore-login") as device:
        with pytest.raises(RuntimeError, match="^Login timeout!$"):
            kb.NMR().execute(b.capsule(), device.config())
    assert capfd.readouterr().err.endswith("Login timeout!\n")


def test_missing_device_library(tmp_path):
    module = kb.__file__
    shutil.copy(module, tmp_path / os.path.basename(module))
    script = (
        "import kovra_backends as kb\n"
        "from kovra.builder import CircuitBuilder\n"
        "b = CircuitBuilder(); b.qreg(1); b.gate('H', [0])\n"
        "try:\n"
        "    kb.NMR().execute(b.capsule(), {'port': 1})\n"
        "except RuntimeError as e:\n"
        "    print(e)\n"
    )
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(tmp_path), PYTHON_DIR]))
    out = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True,
                         timeout=60)
    assert out.returncode == 0, out.stderr
    line = out.stdout.strip()
    assert line.startswith("cannot load the device library " + str(tmp_path) + "/libKovraInterface_")
    assert line.endswith(": cannot open shared object file: No such file or directory")


def test_ctrl_c_ends_the_wait_for_a_silent_device(capfd):
    b = bell()
    with emulator("--task-time", "60") as device:
        timer = threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT))
        timer.start()
        try:
            with pytest.raises(KeyboardInterrupt):
                kb.NMR().execute(b.capsule(), device.config())
        finally:
            timer.cancel()
        # The session was closed: the next run works.
        with emulator() as healthy:
            assert set(kb.NMR().execute(b.capsule(), healthy.config()).probabilities) == {"00", "11"}
    capfd.readouterr()


def test_signal_handler_cannot_reenter_a_waiting_run(capfd):
    b = bell()
    with emulator("--task-time", "60") as device:
        def handler(signum, frame):
            kb.NMR().execute(b.capsule(), device.config())

        previous = signal.signal(signal.SIGALRM, handler)
        signal.setitimer(signal.ITIMER_REAL, 0.3)
        try:
            with pytest.raises(RuntimeError, match="cannot run while this thread waits for the device"):
                kb.NMR().execute(b.capsule(), device.config())
        finally:
            signal.setitimer(signal.ITIMER_REAL, 0)
            signal.signal(signal.SIGALRM, previous)
    capfd.readouterr()


@pytest.mark.parametrize("first_indices", [(0, 1, 2), (2, 0, 1), (1, 2, 0)])
def test_keys_follow_graph_qubit_numbers_on_both_back_ends(first_indices, capfd):
    # Three one-qubit registers; X on the first, CNOT from it to the third.
    # Sequential mode concatenates the sub-circuits ({first, third}, then
    # {second}), yet its keys must read in graph qubit order, as the
    # device's do, whatever order the registers are declared in.
    b = CircuitBuilder()
    for first in first_indices:
        b.qreg(1, first=first)
    b.gate("X", [0])
    b.gate("CNOT", [0, 2])
    simulated = kb.BasicSimulator().execute(b.capsule(), {}).probabilities
    assert simulated == {"101": 1.0}
    with emulator() as device:
        measured = kb.NMR().execute(b.capsule(), device.config()).probabilities
    capfd.readouterr()
    assert measured.keys() == simulated.keys()
