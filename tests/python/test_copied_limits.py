"""Limits that Python keeps beside the extension module, held to what the
module itself accepts: each holds at the Python value and is refused one
past it, so a change on either side shows here."""

import numpy as np
import pytest

pytest.importorskip("qiskit")

import kovra_backends as kb  # noqa: E402
from kovra.builder import CircuitBuilder  # noqa: E402
from nmr_helpers import emulator  # noqa: E402


def _kraus_compiles(qubits):
    b = CircuitBuilder()
    b.qreg(qubits)
    b.kraus(list(range(qubits)), [np.eye(2**qubits)])
    try:
        kb.compile(b.capsule(), {})
    except kb.CircuitError:
        return False
    return True


def _shots_run(shots):
    b = CircuitBuilder()
    b.qreg(1)
    b.gate("H", [0])
    try:
        result = kb.BasicSimulator().execute(b.capsule(), {"shots": shots})
    except RuntimeError as error:
        assert '"shots"' in str(error)
        return False
    return sum(result.counts.values()) == shots


def _device_runs(qubits):
    b = CircuitBuilder()
    b.qreg(qubits)
    b.gate("H", [0])
    with emulator() as device:
        try:
            kb.NMR().execute(b.capsule(), device.config())
        except RuntimeError as error:
            assert "qubits" in str(error)
            return False
    return True


def _value(path):
    module, name = path.rsplit(".", 1)
    return getattr(__import__(module, fromlist=[name]), name)


@pytest.mark.parametrize("path, accepted", [
    ("kovra.translate.noise.MAX_CHANNEL_QUBITS", _kraus_compiles),
    ("kovra.qiskit.MAX_SHOTS", _shots_run),
    ("kovra.tools.cli.MAX_SHOTS", _shots_run),
    ("kovra.tools.cli_run.NMR_MAX_QUBITS", _device_runs),
    ("kovra.tools.device_model.MAX_QUBITS", _device_runs),
])
def test_python_copy_is_the_modules_limit(path, accepted):
    limit = _value(path)
    assert accepted(limit) and not accepted(limit + 1), path

