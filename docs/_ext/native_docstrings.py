"""``.. native-function:: dotted.name``: a native function's page entry, from the module.

The native modules' docstrings are part of their contract and are kept word for word;
they are not numpydoc (section headers with colons, underlines of other lengths), so
reading them as reStructuredText would garble them, and their functions are not
Python functions, which autodoc would document as data. So the entry is built here:
the typed signature from the ``.pyi`` stub beside the module, the docstring shown as
preformatted text, both read when the site is built.
"""

import ast
import importlib
import inspect
import pathlib

from docutils import nodes
from docutils.statemachine import StringList
from sphinx.util.docutils import SphinxDirective


def _stub_signature(module, name):
    """``(args) -> result`` of `name` in the module's ``.pyi`` stub, or None."""
    path = pathlib.Path(module.__file__)
    stub = path.with_name(path.name.split(".")[0] + ".pyi")
    if not stub.exists():
        return None
    for node in ast.parse(stub.read_text()).body:
        if isinstance(node, ast.FunctionDef) and node.name == name:
            arguments = ast.unparse(node.args)
            result = f" -> {ast.unparse(node.returns)}" if node.returns is not None else ""
            return f"({arguments}){result}"
    return None


def _docstring_body(obj):
    """The docstring less its first line when that line is the call signature."""
    lines = inspect.cleandoc(obj.__doc__ or "").splitlines()
    if lines and lines[0].startswith(obj.__name__ + "("):
        head, lines = lines[0], lines[1:]
    else:
        head = None
    while lines and not lines[0].strip():
        lines.pop(0)
    return head, inspect.cleandoc("\n".join(lines)).splitlines() if lines else []


class NativeFunction(SphinxDirective):
    required_arguments = 1

    def run(self):
        module_name, _, name = self.arguments[0].rpartition(".")
        try:
            module = importlib.import_module(module_name)
            obj = getattr(module, name)
        except (ImportError, AttributeError) as error:
            # A function that moved or was renamed must not vanish from the site quietly.
            raise self.error(f"cannot import {self.arguments[0]}: {error}") from error
        head, body = _docstring_body(obj)
        signature = _stub_signature(module, name) or (head[len(name):] if head else "()")
        text = [f".. py:function:: {name}{signature}", f"   :module: {module_name}", ""]
        if head:
            text += ["   As the module declares it::", "", f"      {head}", ""]
        if body:
            text += ["   ::", ""] + [f"      {line}".rstrip() for line in body] + [""]
        container = nodes.container()
        self.state.nested_parse(StringList(text, source=f"<docstring of {self.arguments[0]}>"),
                                self.content_offset, container)
        return container.children


def setup(app):
    app.add_directive("native-function", NativeFunction)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
