"""Angles that stay free: a Qiskit ParameterExpression linear in its
parameters, carried through the gate lowerings' arithmetic and into the
graph in the form the simulator binds per run (docs/graph_format.md, free
parameters): parameter names mapped to coefficients, "" the constant."""

import numbers


class Linear(dict):
    """c + Σ a_k p_k, radians: {name: a_k, ..., "": c}."""

    @classmethod
    def of(cls, expression, refuse):
        """`expression` (with free parameters) as a Linear; `refuse(why)`
        raises for one that is not linear in them."""
        names = list(expression.parameters)
        constant = complex(expression.bind({p: 0 for p in names}))
        out = cls({"": constant.real})
        for parameter in names:
            slope = expression.gradient(parameter)
            if getattr(slope, "parameters", None):
                refuse(f"has the angle {expression}, which is not linear in {parameter.name}")
            out[parameter.name] = complex(slope).real
        return out

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
            out[""] = out.get("", 0.0) + other
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
            return all(v == 0 for k, v in self.items() if k) and self.get("", 0.0) == other
        return dict.__eq__(self, other)

    __hash__ = None
