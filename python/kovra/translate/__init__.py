"""A Qiskit ``QuantumCircuit`` (an OpenQASM program parsed by Qiskit's
loader among them) walked onto the circuit graph: what both front ends,
``kovra.qiskit`` and ``kovra.qasm``, share.

Where each concern lives:
    circuit_walk  the walk that builds the graph (CircuitLowering)
    options       what a front end passes to that walk
    gate_table    each gate name's lowering onto the gate catalogue
    unrolling     how far loops unroll before the walk is refused
    conditions, flags, arm_scan, loop_exits
                  classical conditions, branches and loop exits
    angles        parameters and angle expressions on the graph
    noise         channel instructions and Qiskit Aer noise models as graph channels
"""
