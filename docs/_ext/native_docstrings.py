"""``.. native-function:: dotted.name``: a native function's page entry, from the module.

The native modules' docstrings are part of their contract and are kept word for word;
they are not numpydoc (section headers with colons, underlines of other lengths), so
reading them as reStructuredText would garble them, and their functions are not
Python functions, which autodoc would document as data. So the entry is built here:
the typed signature and its summary from the ``.pyi`` stub beside the module, the
docstring shown as preformatted text, all read when the site is built.
"""

import importlib

from docutils import nodes
from docutils.statemachine import StringList
from sphinx.util.docutils import SphinxDirective

from native_signatures import docstring_body, stub_entry


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
        head, body = docstring_body(obj)
        signature, summary = stub_entry(module, name)
        signature = signature or (head[len(name):] if head else "()")
        text = [f".. py:function:: {name}{signature}", f"   :module: {module_name}", ""]
        if summary:
            text += [f"   {line}" for line in summary.splitlines()] + [""]
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
