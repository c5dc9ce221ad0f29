"""The gate names the builder writes into a graph, and Qiskit's lower-case
names taken as aliases of them.

The back ends read only the catalogue's own names ("CNOT", "Rz", ...): a
lower-case "cx" would reach them as an unknown gate. Qiskit users type
Qiskit's names, so the builder writes each alias as its catalogue name and
refuses a likely slip at once, with the name it was meant to be, rather than
at run time on a vertex number.
"""

from .suggest import closest
from .translate.gate_table import LOWERINGS

# The gate catalogue, as the back ends name its gates.
CATALOGUE = ("I", "H", "X", "Y", "Z", "X90", "Y90", "Z90", "Rx", "Ry", "Rz",
             "P", "S", "Sd", "T", "Td", "CNOT", "YCON", "ZCON", "CCX", "MEASURE")
# Vertices the builder's own methods and the loop lowering write under a
# gate's "type": resets, channels, stores and a while loop's bound.
OPERATIONS = ("RESET", "KRAUS", "STORE", "LOOP_LIMIT")

# An angle no lowering treats specially (0 is left out, pi/2 and pi are
# used as constants), to tell a pass-through from a rewritten angle.
_PROBE_ANGLE = 0.3721


def _single_step_aliases():
    """Qiskit name -> catalogue name, for the gates the gate table lowers
    to one catalogue gate on the same qubits in the same order, taking the
    angle unchanged (radians in both): the same gate with the same
    parameter convention, so writing the catalogue name loses nothing.
    Gates that lower to several steps or rescale their angle are left out."""
    aliases = {}
    for name, rule in LOWERINGS.items():
        steps = rule.steps(*[_PROBE_ANGLE] * rule.angles)
        if rule.angles > 1 or len(steps) != 1:
            continue
        step = steps[0]
        same_angle = step.angle is None if rule.angles == 0 else step.angle == _PROBE_ANGLE
        if step.positions == tuple(range(rule.qubits)) and same_angle:
            aliases[name] = step.name
    return aliases


ALIASES = _single_step_aliases()
_KNOWN = frozenset(CATALOGUE + OPERATIONS)


def canonical(name):
    """The name the graph gets for gate `name`: a catalogue name as given,
    a Qiskit alias ("cx") as its catalogue name. ValueError naming `name`
    for a likely slip: another case of a known name ("cnot"), a Qiskit
    gate with no single catalogue gate ("rzz"), or a name a few edits
    from a known one ("Hh"), with the name it was likely meant to be.

    Any other name is written as given: the NMR back end sends gate names
    to its device, which may know gates the catalogue does not, and the
    simulator refuses an unknown one naming its vertex. So is a name that
    is no str (bytes, say), as the builder writes odd entries."""
    if not isinstance(name, str) or name in _KNOWN:
        return name
    if name in ALIASES:
        return ALIASES[name]
    if name in LOWERINGS:
        raise ValueError(f"{name!r} is a Qiskit gate with no single catalogue gate of the same "
                         "convention; build it from catalogue gates, or run the circuit through "
                         "kovra.qiskit, which lowers it")
    known = sorted(_KNOWN | set(ALIASES))
    # A slip of case ("cnot", "RZ") is the likeliest one.
    match = next((k for k in known if k.lower() == name.lower()), None) or closest(name, known)
    if match is not None:
        raise ValueError(f"{name!r} is not a gate name; did you mean {match!r}?")
    return name
