"""The type stubs say what the code does: same parameters, in order, with the same defaults."""

import ast
import importlib
import inspect
import pathlib
import re

import pytest

import varnex

PACKAGE = pathlib.Path(__file__).resolve().parent.parent / "varnex"
NATIVE = {
    "varnex.algorithms.src.densa.binaries.densa_core": "densa_main",
    "varnex.algorithms.src.densa.binaries.densa_postprocess": "densa_postprocess",
    "varnex.algorithms.src.linka.binaries.linka_bfs": "find_connected_components",
    "varnex.algorithms.src.linka.binaries.linka_connect": "connect_unlabeled",
    "varnex.algorithms.src.linka.binaries.linka_lp": "weighted_label_propagation",
    "varnex.algorithms.src.linka.binaries.linka_sweep": "propagate",
}


def stub_function(path, name):
    tree = ast.parse(path.read_text())
    for node in ast.walk(tree):
        if isinstance(node, ast.FunctionDef) and node.name == name:
            return node
    raise AssertionError(f"{path} has no function {name}")


def stub_parameters(function):
    """[(name, default as Python value or inspect.Parameter.empty)] of a stub function."""
    arguments = function.args.args
    defaults = [inspect.Parameter.empty] * (len(arguments) - len(function.args.defaults))
    defaults += [ast.literal_eval(default) for default in function.args.defaults]
    return [(argument.arg, default) for argument, default in zip(arguments, defaults)]


def documented_parameters(doc):
    """Parameter names and defaults of the signature line that starts a native docstring,
    e.g. "f(double[:, ::1] points, str metric='minkowski') -> ndarray"."""
    line = doc.splitlines()[0]
    inside = line[line.index("(") + 1:line.rindex(")")]
    parameters = []
    for part in re.split(r",\s*(?![^\[]*\])", inside):   # commas inside [:, ::1] do not split
        declaration, _, default = part.partition("=")
        name = declaration.split()[-1]
        parameters.append((name, ast.literal_eval(default) if default else inspect.Parameter.empty))
    return parameters


# Array entry points, several to a module.
ARRAY_ENTRIES = [
    *[("varnex.algorithms.src.densa.binaries.densa_arrays", name)
      for name in ("cluster_neighbourhoods", "cluster_weighted_neighbourhoods", "neighbourhoods_from_pairs",
                   "close_pairs")],
    *[("varnex.algorithms.src.linka.binaries.linka_arrays", name)
      for name in ("components", "connect", "join", "closed_groups")],
]


@pytest.mark.parametrize("module, name", [*NATIVE.items(), *ARRAY_ENTRIES])
def test_native_stub_matches_the_documented_signature(module, name):
    function = getattr(importlib.import_module(module), name)
    path = PACKAGE.parent / (module.replace(".", "/") + ".pyi")
    assert stub_parameters(stub_function(path, name)) == documented_parameters(function.__doc__)


@pytest.mark.parametrize("name", varnex.__all__)
def test_estimator_stub_matches_the_class(name):
    cls = getattr(varnex, name)
    path = PACKAGE / (cls.__module__.split(".")[-1] + ".pyi")
    tree = ast.parse(path.read_text())
    (stub_class,) = [node for node in tree.body if isinstance(node, ast.ClassDef) and node.name == cls.__name__]
    methods = {node.name: node for node in stub_class.body if isinstance(node, ast.FunctionDef)}
    for name, method in methods.items():
        actual = [(p.name, p.default) for p in inspect.signature(getattr(cls, name)).parameters.values()
                  if p.kind not in (p.VAR_KEYWORD, p.VAR_POSITIONAL)]
        assert stub_parameters(method) == actual, name
    public = {name for name, value in vars(cls).items() if callable(value) and not name.startswith("_")}
    assert public <= set(methods)
