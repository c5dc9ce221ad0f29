"""The example circuit on the NMR back end, against the local device
emulator (started here and stopped again), side by side with BasicSimulator."""
import math
import subprocess
import sys

import kovra_backends
from kovra.builder import CircuitBuilder


def example_circuit():
    """GHZ on three qubits via a sub-circuit, then a rotation."""
    b = CircuitBuilder()
    b.qreg(3)
    bell = b.define("bell")
    bell.gate("H", [0])
    bell.gate("CNOT", [0, 1])
    b.call("bell", [0, 1])
    b.gate("CNOT", [1, 2])
    b.gate("Ry", [2], [math.radians(60)])
    return b


def start_emulator():
    device = subprocess.Popen([sys.executable, "-m", "kovra.emulator", "--port", "0"],
                              stdout=subprocess.PIPE, text=True)
    line = device.stdout.readline()
    if "listening on" not in line:
        device.kill()
        raise SystemExit("the device emulator did not start")
    return device, int(line.rsplit(":", 1)[1])


def show(label, probabilities):
    print(f"{label:>15}: " + ", ".join(f"{k}: {p:.6f}" for k, p in probabilities.items()))


def main():
    builder = example_circuit()
    device, port = start_emulator()
    try:
        nmr = kovra_backends.NMR().execute(builder.capsule(), {"port": port, "shots": 1000})
    finally:
        device.terminate()
        device.wait(timeout=10)
    show("NMR (emulator)", nmr.probabilities)
    print(f"{'counts':>15}: {nmr.counts}")
    try:
        simulated = kovra_backends.BasicSimulator().execute(builder.capsule(), {})
    except RuntimeError as error:
        print(f"{'BasicSimulator':>15}: unavailable ({error})")
        return
    show("BasicSimulator", simulated.probabilities)
    worst = max(abs(nmr.probabilities.get(k, 0.0) - simulated.probabilities.get(k, 0.0))
                for k in set(nmr.probabilities) | set(simulated.probabilities))
    print(f"{'largest gap':>15}: {worst:.2e}")


if __name__ == "__main__":
    main()
