// A Bell pair, for the command line (from the repository root, in the venv):
//     python -m kovra run examples/bell.qasm --shots 1000 --sample --seed 7
OPENQASM 2.0;
include "qelib1.inc";
qreg q[2];
creg c[2];
h q[0];
cx q[0], q[1];
measure q -> c;
