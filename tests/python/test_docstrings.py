"""Every public class, function and method of the kovra package says what
it takes and gives: help() is where a Python user looks first."""

import importlib
import inspect
import pkgutil

import pytest

_PACKAGES = ("kovra.qiskit", "kovra.qasm", "kovra.tools")
_MODULES = ("kovra", "kovra.builder", "kovra.gate_names", "kovra.suggest")


def _modules():
    """The public modules, each package's own modules included; one whose
    optional dependency is missing (qiskit, matplotlib) is left out."""
    names = list(_MODULES)
    for package in _PACKAGES:
        try:
            names += [package] + [f"{package}.{m.name}" for m in
                                  pkgutil.iter_modules(importlib.import_module(package).__path__)
                                  if not m.name.startswith("_")]
        except ImportError:
            continue
    for name in names:
        try:
            yield importlib.import_module(name)
        except ImportError:
            continue


def _public_callables():
    for module in _modules():
        yield module.__name__, module
        for name, value in vars(module).items():
            if name.startswith("_") or not callable(value) or getattr(value, "__module__", None) != module.__name__:
                continue
            yield f"{module.__name__}.{name}", value
            if inspect.isclass(value):
                for attribute, member in vars(value).items():
                    member = getattr(member, "__func__", member)  # static and class methods
                    if not attribute.startswith("_") and (callable(member) or isinstance(member, property)):
                        yield f"{module.__name__}.{name}.{attribute}", member


_CASES = dict(_public_callables())


@pytest.mark.parametrize("name", sorted(_CASES))
def test_every_public_callable_has_a_docstring(name):
    value = _CASES[name]
    # The class's own __doc__, not one inherited from a Qiskit base.
    doc = vars(value).get("__doc__") if inspect.isclass(value) else value.__doc__
    assert doc and doc.strip(), f"{name} has no docstring"

