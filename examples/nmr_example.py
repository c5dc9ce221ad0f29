"""The main job's teleportation on the NMR back end, against the local device
emulator (started here and stopped again), side by side with BasicSimulator.

The device runs no classically conditioned gates, so the NMR circuit defers
the Bell measurement: the X and Z corrections become CNOT and ZCON controlled
by qubits 1 and 0. By the principle of deferred measurement the outcome
probabilities are those of the measured circuit that BasicSimulator runs."""
import math
import os
import subprocess
import sys

from _common import PYTHON_DIR
import kovra_backends
from teleportation import teleportation

THETA = 1.2


def start_emulator():
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [PYTHON_DIR, env.get("PYTHONPATH")]))
    device = subprocess.Popen([sys.executable, "-m", "kovra.emulator", "--port", "0"],
                              stdout=subprocess.PIPE, text=True, env=env)
    line = device.stdout.readline()
    if "listening on" not in line:
        device.kill()
        raise SystemExit("the device emulator did not start")
    return device, int(line.rsplit(":", 1)[1])


def main():
    nmr_circuit = teleportation(THETA, deferred=True)
    device, port = start_emulator()
    try:
        nmr = kovra_backends.NMR().execute(nmr_circuit.capsule(), {"port": port, "shots": 1000})
        received = kovra_backends.NMR().execute(nmr_circuit.capsule(), {"port": port, "mqubits": [2]})
    finally:
        device.terminate()
        device.wait(timeout=10)
    sys.stdout.flush()
    measured = teleportation(THETA)
    simulated = kovra_backends.BasicSimulator().execute(measured.capsule(), {})

    print(f"Teleporting Ry({THETA})|0> on the NMR emulator: qubit 2 reads 1 with probability "
          f"{received.probabilities.get('1', 0.0):.6f} (sin^2(theta/2) = {math.sin(THETA / 2) ** 2:.6f})")
    print("probabilities over (q0, q1, q2):      NMR    BasicSimulator")
    for key in sorted(set(nmr.probabilities) | set(simulated.probabilities)):
        print(f"  {key}: {nmr.probabilities.get(key, 0.0):18.6f} {simulated.probabilities.get(key, 0.0):17.6f}")
    print("NMR counts for 1000 shots:", nmr.counts)
    gap = max(abs(nmr.probabilities.get(k, 0.0) - simulated.probabilities.get(k, 0.0))
              for k in set(nmr.probabilities) | set(simulated.probabilities))
    # The task document carries angles with 6 significant digits.
    print(f"largest difference: {gap:.1e}")


if __name__ == "__main__":
    main()
