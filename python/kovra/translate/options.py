"""What a front end passes to the circuit lowering (``lowering``): its
options, and the angles of an operation as the graph takes them."""

import math
from dataclasses import dataclass
from typing import Callable, Optional

from .angles import Linear

# A while loop is unrolled this many times unless the front end says
# otherwise; the run is refused where it would go on longer.
DEFAULT_WHILE_LIMIT = 1000


@dataclass(frozen=True)
class LoweringOptions:
    """What a front end decides about its circuits.

    ``refuse(name, why)`` raises the front end's error for the operation
    ``name``; ``table_name(op)`` is the name under which ``op`` is in the
    gate table (``kovra.translate.gate_table.LOWERINGS``), or None; ``expands(op)`` tells
    whether an operation outside the table is applied as its definition.
    ``unknown_why`` finishes the refusal of an operation neither in the
    table nor expanded. Without ``measurements`` the measurements are only
    recorded, for back ends that measure at the end by themselves.
    Operations named in ``skipped`` are passed over. A while loop is
    unrolled ``while_limit`` times. ``noise`` (a ``noise.NoiseLookup``) adds
    its channels after each gate and reset it names, before each
    measurement, and its readout errors to the measurements.
    """

    refuse: Callable[[str, str], None]
    table_name: Callable[[object], Optional[str]]
    expands: Callable[[object], bool]
    unknown_why: str
    measurements: bool = True
    skipped: frozenset = frozenset({"barrier"})
    while_limit: int = DEFAULT_WHILE_LIMIT
    noise: Optional[object] = None


def finite_angles(name, op, refuse):
    """The parameters of `op` as floats, refusing those that are not finite
    (an overflowing literal such as 1e400 reads as infinity): the graph
    would carry them to the simulator, which can do nothing with them. A
    parameter that depends on free parameters stays free, as a Linear."""
    angles = []
    for p in op.params:
        if getattr(p, "parameters", None):
            angles.append(Linear.of(p, lambda why: refuse(name, why)))
            continue
        angle = float(p)
        if not math.isfinite(angle):
            refuse(name, f"has the parameter {angle}, which is not a finite number")
        angles.append(angle)
    return angles
