"""The reference pages, generated from the docstrings of the stub package
(stubs/tallyforge-stubs/__init__.pyi), so that editors and the site show one text.

The stub is parsed with ``ast`` (it is never imported: its names do not exist at run time)
and each part is written out as Python-domain directives, which Sphinx then parses like any
hand-written reference:

    ```{tallyforge-stub} functions
    ```

The argument is one of ``module`` (the module's docstring and ``__version__``),
``functions``, ``enumerations`` or ``dictionaries``. Google-style sections (Args, Returns,
Raises) become field lists, and a literal that names a documented object (````py_get_totals````,
````LineType.BasePrice````) becomes a link to it.
"""

from __future__ import annotations

import ast
import re
from dataclasses import dataclass, field
from pathlib import Path

from docutils import nodes
from docutils.statemachine import StringList
from sphinx.application import Sphinx
from sphinx.util.docutils import SphinxDirective
from sphinx.util.nodes import nested_parse_with_titles

STUB = Path(__file__).resolve().parents[2] / "stubs" / "tallyforge-stubs" / "__init__.pyi"
MODULE = "tallyforge"
SECTIONS = ("Args", "Returns", "Raises")


@dataclass
class Member:
    name: str
    kind: str  # "attribute" or "method"
    annotation: str = ""
    signature: str = ""
    doc: str = ""


@dataclass
class Entry:
    name: str
    kind: str  # "function", "enumeration", "dictionary", "data"
    signature: str = ""
    doc: str = ""
    bases: list[str] = field(default_factory=list)
    members: list[Member] = field(default_factory=list)


@dataclass
class Stub:
    doc: str
    entries: list[Entry]

    def names(self) -> set[str]:
        out = set()
        for e in self.entries:
            out.add(e.name)
            out.update(f"{e.name}.{m.name}" for m in e.members)
        return out


def _docstring_after(body: list[ast.stmt], i: int) -> str:
    nxt = body[i + 1] if i + 1 < len(body) else None
    if isinstance(nxt, ast.Expr) and isinstance(nxt.value, ast.Constant) and isinstance(nxt.value.value, str):
        return _clean(nxt.value.value)
    return ""


def _clean(text: str) -> str:
    import inspect

    return inspect.cleandoc(text)


def _signature(node: ast.FunctionDef, drop_self: bool) -> str:
    args = node.args
    params = []
    positional = args.posonlyargs + args.args
    for k, a in enumerate(positional):
        if drop_self and k == 0:
            continue
        text = a.arg + (f": {ast.unparse(a.annotation)}" if a.annotation else "")
        params.append(text)
        if args.posonlyargs and a is args.posonlyargs[-1]:
            params.append("/")
    ret = f" -> {ast.unparse(node.returns)}" if node.returns else ""
    return f"({', '.join(params)}){ret}"


def parse_stub(path: Path = STUB) -> Stub:
    module = ast.parse(path.read_text())
    entries: list[Entry] = []
    for i, node in enumerate(module.body):
        if isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            entries.append(Entry(node.target.id, "data", ast.unparse(node.annotation), _docstring_after(module.body, i)))
        elif isinstance(node, ast.FunctionDef):
            entries.append(Entry(node.name, "function", _signature(node, False), _clean(ast.get_docstring(node) or "")))
        elif isinstance(node, ast.ClassDef):
            bases = [ast.unparse(b) for b in node.bases]
            kind = "dictionary" if "TypedDict" in bases else "enumeration"
            entry = Entry(node.name, kind, doc=ast.get_docstring(node) or "", bases=bases)
            for j, member in enumerate(node.body):
                if isinstance(member, ast.AnnAssign) and isinstance(member.target, ast.Name):
                    name = member.target.id
                    if name.startswith("__"):
                        continue
                    annotation = ast.unparse(member.annotation)
                    if annotation.startswith("ClassVar["):
                        annotation = annotation[len("ClassVar["):-1]
                    entry.members.append(Member(name, "attribute", annotation, doc=_docstring_after(node.body, j)))
                elif isinstance(member, ast.FunctionDef):
                    entry.members.append(Member(member.name, "method", signature=_signature(member, True),
                                                doc=_clean(ast.get_docstring(member) or "")))
            entries.append(entry)
    return Stub(ast.get_docstring(module) or "", entries)


# ---------------------------------------------------------------------------
# Docstring text to reST


def _link_literals(text: str, names: set[str], here: str | None) -> str:
    """``name`` -> :py:obj:`name` where name is documented (and not the object itself)."""

    def repl(m: re.Match[str]) -> str:
        literal = m.group(1)
        name = literal.removesuffix("()")
        if name in names and name != here:
            return f":py:obj:`{literal} <{MODULE}.{name}>`"
        return m.group(0)

    return re.sub(r"``([A-Za-z_][\w.]*(?:\(\))?)``", repl, text)


def _sections(doc: str) -> tuple[list[str], dict[str, list[str]]]:
    """Splits a Google-style docstring into its prose and its sections."""
    prose: list[str] = []
    sections: dict[str, list[str]] = {}
    current: list[str] = prose
    for line in doc.splitlines():
        header = line.strip().rstrip(":")
        if line.strip().endswith(":") and header in SECTIONS and not line.startswith(" "):
            current = sections.setdefault(header, [])
            continue
        current.append(line)
    return prose, sections


def _items(lines: list[str]) -> list[tuple[str | None, list[str]]]:
    """The entries of an Args or Raises section: (name, description lines)."""
    items: list[tuple[str | None, list[str]]] = []
    for line in lines:
        if not line.strip():
            continue
        body = line[4:] if line.startswith("    ") else line.lstrip()
        m = re.match(r"(\w+): (.*)", body) if not body.startswith(" ") else None
        if m:
            items.append((m.group(1), [m.group(2)]))
        elif items and body.startswith(" "):
            items[-1][1].append(body.strip())
        else:
            items.append((None, [body.strip()]))
    return items


def docstring_rst(doc: str, names: set[str], here: str | None = None) -> list[str]:
    prose, sections = _sections(_link_literals(doc, names, here))
    out = [line for line in prose]
    while out and not out[-1].strip():
        out.pop()
    fields: list[str] = []
    after: list[str] = []
    for name, desc in _items(sections.get("Args", [])):
        fields.append(f":param {name}: " + " ".join(desc))
    if "Returns" in sections:
        text = " ".join(line.strip() for line in sections["Returns"] if line.strip())
        fields.append(":returns: " + text)
    for name, desc in _items(sections.get("Raises", [])):
        if name is None:
            after.append(" ".join(desc))
        else:
            fields.append(f":raises {name}: " + " ".join(desc))
    if fields:
        out += ["", *fields]
    if after:
        out += ["", "Raises: " + " ".join(after)]
    return out


def _indent(lines: list[str], n: int = 3) -> list[str]:
    return [(" " * n + line) if line.strip() else "" for line in lines]


def entry_rst(entry: Entry, names: set[str]) -> list[str]:
    doc = docstring_rst(entry.doc, names, entry.name)
    if entry.kind == "function":
        return [f".. py:function:: {entry.name}{entry.signature}", "", *_indent(doc), ""]
    if entry.kind == "data":
        return [f".. py:data:: {entry.name}", f"   :type: {entry.signature}", "", *_indent(doc), ""]
    out = [f".. py:class:: {entry.name}", "   :final:" if entry.kind == "enumeration" else "   ", ""]
    if entry.kind == "dictionary":
        out += ["   Bases: :py:class:`~typing.TypedDict` (for type checkers only; import it under",
                "   ``typing.TYPE_CHECKING``).", ""]
    out += _indent(doc) + [""]
    if entry.kind == "dictionary":
        out += ["   Keys:", ""]
    for m in entry.members:
        mdoc = docstring_rst(m.doc, names, f"{entry.name}.{m.name}")
        if m.kind == "method":
            out += [f"   .. py:method:: {m.name}{m.signature}", "", *_indent(mdoc, 6), ""]
        else:
            out += [f"   .. py:attribute:: {m.name}", f"      :type: {m.annotation}", "", *_indent(mdoc, 6), ""]
    return out


def section_rst(stub: Stub, what: str) -> list[str]:
    names = stub.names()
    if what == "module":
        out = [f".. py:module:: {MODULE}", "", *docstring_rst(stub.doc, names), ""]
        for e in stub.entries:
            if e.kind == "data":
                out += entry_rst(e, names)
        return out
    kind = {"functions": "function", "enumerations": "enumeration", "dictionaries": "dictionary"}[what]
    out = [f".. py:currentmodule:: {MODULE}", ""]
    for e in stub.entries:
        if e.kind == kind:
            out += entry_rst(e, names)
    return out


class StubDirective(SphinxDirective):
    required_arguments = 1
    has_content = False

    def run(self) -> list[nodes.Node]:
        what = self.arguments[0]
        if what not in ("module", "functions", "enumerations", "dictionaries"):
            raise self.error(f"tallyforge-stub: unknown part {what!r}")
        self.env.note_dependency(str(STUB))
        lines = section_rst(parse_stub(), what)
        container = nodes.section() if what == "module" else nodes.container()
        content = StringList(lines, source=str(STUB))
        nested_parse_with_titles(self.state, content, container)
        return container.children


def setup(app: Sphinx) -> dict:
    app.add_directive("tallyforge-stub", StubDirective)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
