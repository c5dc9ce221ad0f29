"""Angles that stay free: a Qiskit ParameterExpression linear in its
parameters, carried through the gate lowerings' arithmetic and into the
graph in the form the simulator binds per run (docs/graph_format.md, free
parameters): parameter names mapped to coefficients, "" the constant.

A Qiskit parameter may be called anything, "" included, so the constant is
kept apart from the names (under None) until the graph is written, and the
names go into the graph escaped (``graph_name``): no name can then land on
the constant's key or on another parameter's name."""

import math
import numbers

# The key of the constant term while a Linear is being worked on.
CONSTANT = None
# The graph's key of the constant term.
GRAPH_CONSTANT = ""
# Prefixes a graph name that would otherwise be "" or start with it.
_ESCAPE = "%"

# Values a linear expression is probed at (besides 0, where the constant is
# read): an expression with a pole or a log at 0 (θ/φ, 1/θ, log θ) cannot be
# read there, but is refused for not being linear before that.
_PROBE_ERRORS = (ZeroDivisionError, ValueError, TypeError, ArithmeticError, RuntimeError)


def graph_name(name):
    """The graph's name of parameter `name`: the name itself, but "" and
    names that start with the escape get the escape in front (one-to-one,
    never "")."""
    return _ESCAPE + name if not name or name.startswith(_ESCAPE) else name


def parameter_name(graph):
    """The parameter name of a graph name (``graph_name`` undone)."""
    return graph[len(_ESCAPE):] if graph.startswith(_ESCAPE) else graph


def graph_angle(angle):
    """An angle as the graph takes it: a float as it is, a Linear as
    {escaped name: coefficient, ..., "": constant}."""
    return angle.graph() if isinstance(angle, Linear) else angle


class Linear(dict):
    """c + Σ a_k p_k, radians: {CONSTANT: c, name: a_k, ...}."""

    @classmethod
    def of(cls, expression, refuse):
        """`expression` (with free parameters) as a Linear; `refuse(why)`
        raises for one that is not linear in them. The slopes are checked
        before the expression is evaluated anywhere: one that is not linear
        may not be defined where the constant is read."""
        names = list(expression.parameters)
        not_linear = f"has the angle {expression}, which is not linear in its parameters"
        slopes = {}
        for parameter in names:
            try:
                slope = expression.gradient(parameter)
            except _PROBE_ERRORS:
                refuse(f"{not_linear} (its derivative in {parameter.name} cannot be taken)")
            if getattr(slope, "parameters", None):
                refuse(f"{not_linear} (not in {parameter.name}); a free angle must be c + a·p + b·q + ...")
            slopes[parameter.name] = complex(slope).real
        try:
            constant = complex(expression.bind({p: 0 for p in names})).real
        except _PROBE_ERRORS:
            refuse(f"{not_linear} (it has no value where they are all 0)")
        out = cls({CONSTANT: constant})
        out.update(slopes)
        if not all(math.isfinite(v) for v in out.values()):
            refuse(f"has the angle {expression}, whose terms are not all finite")
        return out

    def graph(self):
        """The graph's form: escaped names, the constant under ""."""
        return {GRAPH_CONSTANT if k is CONSTANT else graph_name(k): v for k, v in self.items()}

    def _scaled(self, factor):
        if not isinstance(factor, numbers.Real):
            return NotImplemented
        return Linear({k: v * factor for k, v in self.items()})

    def __add__(self, other):
        if isinstance(other, Linear):
            out = Linear(self)
            for k, v in other.items():
                out[k] = out.get(k, 0.0) + v
            return out
        if isinstance(other, numbers.Real):
            out = Linear(self)
            out[CONSTANT] = out.get(CONSTANT, 0.0) + other
            return out
        return NotImplemented

    __radd__ = __add__

    def __neg__(self):
        return self._scaled(-1)

    def __sub__(self, other):
        return self + (-other)

    def __rsub__(self, other):
        return (-self) + other

    def __mul__(self, factor):
        return self._scaled(factor)

    __rmul__ = __mul__

    def __truediv__(self, divisor):
        return self._scaled(1 / divisor) if isinstance(divisor, numbers.Real) else NotImplemented

    def __eq__(self, other):
        if isinstance(other, numbers.Real):
            return (all(v == 0 for k, v in self.items() if k is not CONSTANT)
                    and self.get(CONSTANT, 0.0) == other)
        return dict.__eq__(self, other)

    __hash__ = None
