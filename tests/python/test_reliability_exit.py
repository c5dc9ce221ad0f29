"""A daemon thread still inside a call when the main thread returns: the
interpreter exits normally (status 0, nothing on standard error), whether
the call waits for a device that never finishes or runs a long simulation,
and a circuit run by an exit handler still runs."""

import os
import subprocess
import sys
import textwrap

import pytest

HERE = os.path.dirname(__file__)
PATHS = [HERE, os.path.join(HERE, "..", "..", "python")]

PRELUDE = f"""
import atexit, socket, sys, threading
sys.path[:0] = {PATHS!r}
import kovra_backends as kb
from kovra.builder import CircuitBuilder
from nmr_helpers import bell

# Registered before any call: it runs after the module has noticed the exit.
atexit.register(lambda: print("exit handler ran", sorted(kb.BasicSimulator().execute(bell().capsule(), {{}}).probabilities)))
busy = threading.Event()
"""

# A device that accepts the login and the task, then never answers.
SILENT_DEVICE = """
server = socket.socket()
server.bind(("127.0.0.1", 0))
server.listen(1)

def serve():
    conn, _ = server.accept()
    lines = conn.makefile("rb")
    lines.readline()
    conn.sendall(b'{"type":"login_response","return_code":0}\\n')
    lines.readline()
    conn.sendall(b'{"type":"push_task_response","return_code":0}\\n')
    busy.set()
    threading.Event().wait()

threading.Thread(target=serve, daemon=True).start()
config = {"ip": "127.0.0.1", "port": server.getsockname()[1]}
call = lambda: kb.NMR().execute(bell().capsule(), config)
"""

# A run of several seconds; the parameter function of its last vertex tells
# that the lowering is about done.
LONG_RUN = """
b = CircuitBuilder()
b.qreg(22)
b.define("started").gate("Rx", [0], params=[lambda a: busy.set() or a], pindex=[0])
for k in range(400):
    b.gate("H", [k % 22])
b.call("started", [21], params=[0.5])
call = lambda: kb.BasicSimulator().execute(b.capsule(), {"fusion": False})
"""

START_AND_RETURN = """
threading.Thread(target=call, daemon=True).start()
assert busy.wait(30)
print("main returns")
"""


@pytest.mark.parametrize("call", [SILENT_DEVICE, LONG_RUN], ids=["NMR waiting", "BasicSimulator running"])
def test_the_interpreter_exits_normally_past_a_daemon_thread_in_a_call(call):
    script = textwrap.dedent(PRELUDE) + textwrap.dedent(call) + textwrap.dedent(START_AND_RETURN)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert (done.returncode, done.stderr) == (0, ""), done.stdout
    assert "main returns\nexit handler ran ['00', '11']" in done.stdout
