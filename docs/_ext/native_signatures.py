"""What the site shows of a native function, read without Sphinx: the ``.pyi`` stub's
typed signature and summary, and the docstring less its signature line."""

import ast
import inspect
import pathlib
import sys


def stub_entry(module, name):
    """``(args) -> result`` of `name` in the module's ``.pyi`` stub and the stub's
    docstring of it, or (None, None)."""
    # Beside the module in an install; beside the package's sources in an editable one,
    # whose built modules live in a build directory of their own.
    stem = module.__name__.rpartition(".")[2] + ".pyi"
    package = sys.modules[module.__name__.rpartition(".")[0]]
    places = [pathlib.Path(module.__file__).parent, pathlib.Path(package.__file__).parent]
    stub = next((place / stem for place in places if (place / stem).exists()), None)
    if stub is None:
        return None, None
    for node in ast.parse(stub.read_text()).body:
        if isinstance(node, ast.FunctionDef) and node.name == name:
            arguments = ast.unparse(node.args)
            result = f" -> {ast.unparse(node.returns)}" if node.returns is not None else ""
            return f"({arguments}){result}", ast.get_docstring(node)
    return None, None


def docstring_body(obj):
    """The docstring less its first line when that line is the call signature."""
    lines = inspect.cleandoc(obj.__doc__ or "").splitlines()
    if lines and lines[0].startswith(obj.__name__ + "("):
        head, lines = lines[0], lines[1:]
    else:
        head = None
    while lines and not lines[0].strip():
        lines.pop(0)
    return head, inspect.cleandoc("\n".join(lines)).splitlines() if lines else []
