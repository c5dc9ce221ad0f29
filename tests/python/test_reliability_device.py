"""Device faults through the real device library: a scripted device on a
loopback port answers each connection with generated replies (malformed,
truncated, of the wrong type, oversized, dripped byte by byte, or nothing at
all) and then closes. Every run ends in a Result that is exactly what the
device sent, or in an exception; nothing leaks across hundreds of runs; and
two threads calling NMR.execute at once never see each other's results."""

import json
import math
import socket
import threading
import time

import pytest
from hypothesis import event, given, note
from hypothesis import strategies as st

import kovra_backends as kb

from fuzz_support import budget, keyed, watchdog
from nmr_helpers import bell, open_fd_count, thread_count

LOGIN_OK = b'{"type":"login_response","return_code":0}'
PUSH_OK = b'{"type":"push_task_response","return_code":0}'


def finished(execution, state="S"):
    return json.dumps({"type": "task_finished", "task_id": "7", "task_state": state,
                       "task_result": {"execution": execution}}).encode()


class ScriptedDevice:
    """Accepts connections on 127.0.0.1; answers the first line (login) with
    `login`, the second (push) with each of `push`, then closes. A reply of
    None sends nothing and closes at once; bytes are sent as they are (add
    the newline yourself); `drip` sends their start one byte at a time;
    `hold` keeps the connection open that many seconds after the replies."""

    def __init__(self):
        self.server = socket.socket()
        self.server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.server.bind(("127.0.0.1", 0))
        self.server.listen(8)
        self.server.settimeout(0.2)
        self.port = self.server.getsockname()[1]
        self.script = (LOGIN_OK + b"\n", [PUSH_OK + b"\n", finished([0.5, 0, 0, 0.5]) + b"\n"])
        self.drip = False
        self.hold = 0
        self.received = []
        self._stop = threading.Event()
        self._idle = threading.Event()  # no connection open on our side
        self._idle.set()
        self._thread = threading.Thread(target=self._serve, daemon=True)
        self._thread.start()

    def config(self):
        return {"ip": "127.0.0.1", "port": self.port}

    def _send(self, conn, data):
        if self.drip:
            # Byte by byte for the first 2 KiB (long replies would take minutes).
            for k in range(min(len(data), 2048)):
                conn.sendall(data[k:k + 1])
                time.sleep(0.0005)
            data = data[2048:]
        conn.sendall(data)

    def _serve(self):
        while not self._stop.is_set():
            try:
                conn, _ = self.server.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            self._idle.clear()
            with conn:
                try:
                    self._session(conn)
                except OSError:
                    pass
            self._idle.set()

    def wait_idle(self, seconds=5):
        """Until the device has closed its side of the last connection."""
        assert self._idle.wait(seconds), "the scripted device is still in a session"

    def _session(self, conn):
        conn.settimeout(2)
        reader = conn.makefile("rb")
        login, push = self.script
        line = reader.readline()
        self.received.append(line)
        if login is None or not line:
            return
        self._send(conn, login)
        line = reader.readline()
        self.received.append(line)
        if not line:
            return
        for reply in push:
            if reply is None:
                return
            self._send(conn, reply)
        time.sleep(self.hold)
        conn.shutdown(socket.SHUT_RDWR)

    def close(self):
        self._stop.set()
        self.server.close()
        self._thread.join(5)


@pytest.fixture(scope="module")
def device():
    d = ScriptedDevice()
    yield d
    d.close()


BELL = bell()


def run(device, **config):
    with watchdog(90):
        return kb.NMR().execute(BELL.capsule(), {**device.config(), **config})


def healthy(device):
    device.script = (LOGIN_OK + b"\n", [PUSH_OK + b"\n", finished([0.5, 0, 0, 0.5]) + b"\n"])
    device.drip = False
    device.hold = 0
    assert run(device).probabilities == {"00": 0.5, "11": 0.5}


# ---- generated replies -----------------------------------------------------

JSON_SCALARS = st.one_of(st.none(), st.booleans(), st.integers(-2 ** 70, 2 ** 70),
                         st.floats(allow_nan=False), st.text(max_size=5))
JSON_VALUES = st.recursive(JSON_SCALARS, lambda inner: st.one_of(
    st.lists(inner, max_size=4), st.dictionaries(st.text(max_size=4), inner, max_size=3)), max_leaves=10)
CODES = st.one_of(st.sampled_from([0, 1, -1, 0.0, -0.0, 0.5, 1e300, True, False, "0", None, [], {}, 2 ** 64]),
                  JSON_VALUES)


def _dumps(value):
    return json.dumps(value).encode()


def raw_lines():
    """Lines that are not what the protocol allows."""
    return st.one_of(
        st.binary(max_size=40).map(lambda b: b.replace(b"\n", b"")),
        st.sampled_from([
            b"", b"{", b"}", b"null", b"[]", b"\x00", b'{"type":"login_response","return_code":0\x00}',
            b'{"type":"login_response","return_code":\xff}', b"\xef\xbb\xbf{}", b"NaN", b"1e99999",
            b"[" * 100000 + b"]" * 100000, b"{\"a\":" * 50000 + b"1" + b"}" * 50000,
            b'{"type":"login_response","return_code":0,"type":"later"}',
            b'{"type":"telemetry","value":1}',
        ]),
    )


def replies(kind):
    typed = st.builds(lambda code, extra: {"type": kind, "return_code": code, **extra},
                      CODES, st.dictionaries(st.text(max_size=3), JSON_VALUES, max_size=2))
    untyped = st.builds(lambda code: {"return_code": code}, CODES)
    return st.one_of(typed.map(_dumps), untyped.map(_dumps), raw_lines(), JSON_VALUES.map(_dumps))


# Four values near a distribution: plausible ones, rounding, negatives, sums off 1.
NEAR_DISTRIBUTIONS = st.builds(
    lambda p, noise: [x + e for x, e in zip(p, noise)],
    st.sampled_from([[0.5, 0, 0, 0.5], [0.25] * 4, [1, 0, 0, 0], [0.9] * 4, [-0.5, 1.5, 0, 0]]),
    st.lists(st.sampled_from([0, 1e-9, -1e-9, 5e-7, -2e-6, 1e-3, -0.1]), min_size=4, max_size=4))
EXECUTIONS = st.one_of(
    NEAR_DISTRIBUTIONS,
    st.lists(st.floats(0, 1), min_size=4, max_size=4),
    st.lists(st.floats(allow_nan=False), max_size=9),
    st.lists(st.floats(0, 1), min_size=0, max_size=64),
    JSON_VALUES,
)


def finish_replies():
    good = st.builds(lambda e, state: {"type": "task_finished", "task_id": "7", "task_state": state,
                                       "task_result": {"execution": e}},
                     EXECUTIONS, st.sampled_from(["S", "S", "F", "", 5]))
    odd = st.builds(lambda tid, tr: {"type": "task_finished", "task_id": tid, "task_state": "S",
                                     "task_result": tr},
                    JSON_VALUES, JSON_VALUES)
    deep = st.builds(lambda depth, key: b'{"type":"task_finished","task_id":"7","task_state":"S",'
                                        b'"task_result":{"' + key + b'":' + b"[" * depth + b"]" * depth + b"}}",
                     st.sampled_from([63, 64, 65, 60000]), st.sampled_from([b"execution", b"other"]))
    return st.one_of(good.map(_dumps), odd.map(_dumps), raw_lines(), deep)


def sent_execution(line):
    """The execution list of a well-formed successful result line, else None."""
    try:
        message = json.loads(line)
        execution = message["task_result"]["execution"]
    except (ValueError, TypeError, KeyError, UnicodeDecodeError):
        return None
    if message.get("task_state") != "S" or not isinstance(execution, list):
        return None
    return execution


@budget(200)
@given(data=st.data())
def test_generated_replies_end_in_an_exact_result_or_an_exception(device, data, capfd):
    step = data.draw(st.sampled_from(["login", "push", "finish", "finish", "order"]))
    login, push, fin = LOGIN_OK, PUSH_OK, finished([0.5, 0, 0, 0.5])
    if step == "login":
        login = data.draw(replies("login_response"))
    elif step == "push":
        push = data.draw(replies("push_task_response"))
    elif step == "finish":
        fin = data.draw(finish_replies())
    truncate = data.draw(st.booleans())  # the last reply without its newline
    script = [login + b"\n", [push + b"\n", fin + (b"" if truncate else b"\n")]]
    if step == "order":
        # The replies in another order, some repeated or missing.
        pool = [LOGIN_OK, PUSH_OK, fin]
        script[1] = [r + b"\n" for r in data.draw(st.lists(st.sampled_from(pool), max_size=4))]
    device.script = tuple(script)
    device.drip = data.draw(st.integers(0, 9)) == 0
    note(f"script {device.script!r}")
    try:
        result = run(device)
    except SystemError as error:
        pytest.fail(f"SystemError: {error}")
    except Exception as error:  # noqa: BLE001 - any ordinary exception is fine
        assert str(error), f"{type(error).__name__} without a message"
        event(f"raised {type(error).__name__}")
        return
    finally:
        capfd.readouterr()
    event("result")
    # A result is only ever made of exactly what a successful reply carried:
    # four finite probabilities for the two qubits.
    execution = sent_execution(fin) if step != "order" else [0.5, 0, 0, 0.5]
    assert execution is not None
    assert len(execution) == 4
    assert all(isinstance(p, (int, float)) and math.isfinite(p) for p in execution)
    # ... that are probabilities, up to the documented tolerance.
    assert min(execution) >= -1e-6 and abs(sum(execution) - 1) <= 1e-6
    assert result.probabilities == keyed(execution, 2)


def test_faults_leak_no_descriptor_or_thread(device, capfd):
    healthy(device)
    device.wait_idle()
    fds, threads = open_fd_count(), thread_count()
    faults = [
        (LOGIN_OK + b"\n", [PUSH_OK + b"\n", None]),            # closed mid-task
        (None, []),                                              # closed before the login answer
        (b"{\n", []),                                            # malformed login reply
        (LOGIN_OK + b"\n", [b'{"type":"push_task_response","return_code":1}\n']),  # refused
        (LOGIN_OK + b"\n", [PUSH_OK + b"\n", finished([0.5], "F") + b"\n"]),    # task failed
        (LOGIN_OK + b"\n", [PUSH_OK + b"\n", b"[" * 100000 + b"\n"]),           # deep nesting
    ]
    runs = 0
    for k in range(200):
        script = faults[k % len(faults)] if k % 4 else None
        if script is None:
            healthy(device)
        else:
            device.script = script
            with pytest.raises(RuntimeError):
                run(device)
        runs += 1
    capfd.readouterr()
    healthy(device)
    # The scripted device closes its side on its own thread; give it a moment
    # to settle before counting. A real leak stays and grows with the runs; a
    # thread of an earlier test may still have been winding down when the
    # baseline was taken, so the counts may also end below it.
    device.wait_idle()

    def grown():
        return open_fd_count() > fds or thread_count() > threads

    deadline = time.monotonic() + 5
    while grown() and time.monotonic() < deadline:
        time.sleep(0.05)
    assert not grown(), ((open_fd_count(), thread_count()), (fds, threads))
    assert runs == 200


def test_oversized_reply_ends_the_run(device, capfd):
    # A line past the library's 16 MiB limit, never terminated.
    device.script = (LOGIN_OK + b"\n", [PUSH_OK + b"\n", b'{"type":"task_finished","x":"' + b"a" * (17 << 20)])
    with pytest.raises(RuntimeError):
        run(device)
    # A long but well-formed result with far too many probabilities.
    device.script = (LOGIN_OK + b"\n", [PUSH_OK + b"\n", finished([0.0] * 500000) + b"\n"])
    with pytest.raises(RuntimeError, match="probabilit"):
        run(device)
    capfd.readouterr()
    healthy(device)


@pytest.mark.parametrize("execution", [
    [0.25] * 8,                   # three qubits' worth for two qubits
    [1.0],                        # too few
    [],                           # none at all
    [0.5, 0.0, 0.0, 0.5, 0.7],    # one extra outcome that would alias "00"
    [0.5, 1e400, 0.0, 0.5],       # not a double
])
def test_results_that_do_not_fit_the_measured_qubits_are_refused(device, capfd, execution):
    text = json.dumps({"type": "task_finished", "task_id": "7", "task_state": "S",
                       "task_result": {"execution": execution}}).replace("Infinity", "1e400").encode()
    device.script = (LOGIN_OK + b"\n", [PUSH_OK + b"\n", text + b"\n"])
    with pytest.raises(RuntimeError, match="probabilities|number overflow"):
        run(device)
    capfd.readouterr()
    healthy(device)


@pytest.mark.parametrize("login, push", [
    (b'{"type":"login_response","return_code":\xff}\n', []),
    (LOGIN_OK + b"\n", [PUSH_OK + b"\n", b"\xc3\x28 not json\n"]),
])
def test_replies_with_stray_bytes_are_reported_as_parse_errors(device, capfd, login, push):
    device.script = (login, push)
    with pytest.raises(RuntimeError, match=r"parse error.*\\x(ff|c3)"):
        run(device)
    capfd.readouterr()


def test_two_threads_never_see_each_others_results(capfd):
    # Two devices: one answers slowly with a distinct result, the other
    # closes mid-task. Each caller gets its own outcome.
    slow, broken = ScriptedDevice(), ScriptedDevice()
    try:
        slow.script = (LOGIN_OK + b"\n", [PUSH_OK + b"\n", finished([0.0, 0.25, 0.75, 0.0]) + b"\n"])
        slow.drip = True
        broken.script = (LOGIN_OK + b"\n", [PUSH_OK + b"\n", None])
        outcomes = {}

        def call(name, dev):
            try:
                outcomes[name] = run(dev).probabilities
            except Exception as error:  # noqa: BLE001 - checked below
                outcomes[name] = error

        for _ in range(5):
            outcomes.clear()
            threads = [threading.Thread(target=call, args=("slow", slow)),
                       threading.Thread(target=call, args=("broken", broken))]
            for t in threads:
                t.start()
            for t in threads:
                t.join(120)
            assert outcomes["slow"] == {"01": 0.25, "10": 0.75}
            assert isinstance(outcomes["broken"], RuntimeError)
            assert "closed" in str(outcomes["broken"])
    finally:
        slow.close()
        broken.close()
        capfd.readouterr()


# ---- replies that are well-formed but wrong ------------------------------------

DEEP = b"[" * 60000 + b"]" * 60000


@pytest.mark.parametrize("where", ["login", "result"])
def test_deeply_nested_replies_are_refused_by_their_depth(device, capfd, where):
    # 60,000 levels in 120 KB: copying it would overflow the callback
    # thread's stack and end the process.
    deep_result = b'{"type":"task_finished","task_id":"7","task_state":"S","task_result":' + DEEP + b"}"
    if where == "login":
        device.script = (b'{"type":"login_response","return_code":' + DEEP + b"}\n", [])
    else:
        device.script = (LOGIN_OK + b"\n", [PUSH_OK + b"\n", deep_result + b"\n"])
    with pytest.raises(RuntimeError, match="nested deeper than 64 levels"):
        run(device)
    capfd.readouterr()
    healthy(device)


@pytest.mark.parametrize("execution", [
    [-0.5, 1.5, 0, 0],            # a negative probability
    [0.9, 0.9, 0.9, 0.9],         # sums to 3.6
    [0.25, 0.25, 0.25, 0.2],      # sums to 0.95
    [0.5, 0.5, 1e-3, 0],          # a little over 1
])
def test_values_that_are_no_probabilities_are_refused(device, capfd, execution):
    device.script = (LOGIN_OK + b"\n", [PUSH_OK + b"\n", finished(execution) + b"\n"])
    with pytest.raises(RuntimeError, match=r"which are no probabilities") as raised:
        run(device)
    assert str(execution[1]) in str(raised.value)
    capfd.readouterr()


def test_rounding_of_the_device_is_tolerated(device, capfd):
    device.script = (LOGIN_OK + b"\n", [PUSH_OK + b"\n", finished([0.5 + 4e-7, -1e-9, 0, 0.5]) + b"\n"])
    assert run(device).probabilities == {"00": 0.5 + 4e-7, "11": 0.5}
    capfd.readouterr()


def test_only_the_first_result_of_a_task_counts(device, capfd):
    device.script = (LOGIN_OK + b"\n", [PUSH_OK + b"\n" + finished([0.5, 0, 0, 0.5]) + b"\n" +
                                         finished([0, 1.0, 0, 0]) + b"\n"])
    for _ in range(5):
        assert run(device).probabilities == {"00": 0.5, "11": 0.5}
    capfd.readouterr()


def test_a_result_before_the_task_is_refused(device, capfd):
    device.script = (finished([0.5, 0, 0, 0.5]) + b"\n" + LOGIN_OK + b"\n", [PUSH_OK + b"\n", None])
    with pytest.raises(RuntimeError, match="finished task before the task was pushed"):
        run(device)
    capfd.readouterr()
    healthy(device)


# ---- time and size limits ------------------------------------------------------


def test_a_device_that_never_finishes_runs_into_the_timeout(device, capfd):
    device.script = (LOGIN_OK + b"\n", [PUSH_OK + b"\n"])
    device.hold = 3
    started = time.monotonic()
    with pytest.raises(RuntimeError, match=r"did not finish the task within 0\.5 s"):
        run(device, timeout=0.5)
    assert time.monotonic() - started < 2.5
    device.wait_idle()
    capfd.readouterr()
    healthy(device)


@pytest.mark.parametrize("timeout", [0, -1, math.nan, math.inf, "1"])
def test_timeouts_that_are_no_positive_number_are_refused(timeout):
    with pytest.raises((ValueError, RuntimeError), match="timeout|cast"):
        kb.NMR().execute(BELL.capsule(), {"port": 9, "timeout": timeout})


def test_waiting_for_the_turn_can_be_interrupted(device, capfd):
    import os
    import signal

    device.script = (LOGIN_OK + b"\n", [PUSH_OK + b"\n"])
    device.hold = 3
    holder = threading.Thread(target=lambda: pytest.raises(RuntimeError, run, device, timeout=2))
    holder.start()
    time.sleep(0.5)  # the holder is in its session
    timer = threading.Timer(0.5, os.kill, (os.getpid(), signal.SIGINT))
    timer.start()
    started = time.monotonic()
    try:
        with pytest.raises(KeyboardInterrupt):
            run(device)
        assert time.monotonic() - started < 1.5
    finally:
        timer.cancel()
        holder.join(10)
        device.wait_idle()
        capfd.readouterr()
    healthy(device)


def test_task_lines_over_the_device_limit_are_refused_before_connecting():
    from nmr_helpers import closed_port

    with pytest.raises(ValueError, match=r"task message would be \d+ bytes, over the device's line limit"):
        kb.NMR().execute(BELL.capsule(), {"port": closed_port(), "task_desc": "x" * (16 << 20)})
