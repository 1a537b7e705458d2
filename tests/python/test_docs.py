"""The user-facing documentation: the stubs document every public name, and the
README's examples run and print what the README says they print."""

from __future__ import annotations

import ast
import contextlib
import doctest
import io
import re
import sys
from pathlib import Path

import tallyforge

ROOT = Path(__file__).resolve().parents[2]
STUB = ROOT / "stubs" / "tallyforge-stubs" / "__init__.pyi"
README = ROOT / "README.md"
TYPED_MARKER = "<!-- typed-example"
# A block after this marker needs CPython 3.14 (InterpreterPoolExecutor); it is left out on 3.13.
NEEDS_314_MARKER = "<!-- requires-python-3.14"


def _documented(body: list[ast.stmt], i: int) -> bool:
    """Whether body[i] is followed by a string literal (an attribute docstring)."""
    nxt = body[i + 1] if i + 1 < len(body) else None
    return isinstance(nxt, ast.Expr) and isinstance(nxt.value, ast.Constant) and isinstance(nxt.value.value, str)


def _undocumented() -> list[str]:
    module = ast.parse(STUB.read_text())
    missing = [] if ast.get_docstring(module) else ["<module>"]
    for i, node in enumerate(module.body):
        if isinstance(node, ast.AnnAssign) and node.target.id == "__version__" and not _documented(module.body, i):
            missing.append("__version__")
        if not isinstance(node, (ast.ClassDef, ast.FunctionDef)):
            continue
        if not ast.get_docstring(node):
            missing.append(node.name)
        if not isinstance(node, ast.ClassDef):
            continue
        # Methods, dictionary keys and enumeration values alike.
        for j, member in enumerate(node.body):
            if isinstance(member, ast.FunctionDef) and not ast.get_docstring(member):
                missing.append(f"{node.name}.{member.name}")
            if isinstance(member, ast.AnnAssign) and not member.target.id.startswith("__"):
                if not _documented(node.body, j):
                    missing.append(f"{node.name}.{member.target.id}")
    return missing


def test_every_public_name_in_the_stubs_is_documented():
    assert _undocumented() == []
    stub_names = {n.name for n in ast.parse(STUB.read_text()).body if isinstance(n, (ast.ClassDef, ast.FunctionDef))}
    assert set(tallyforge.__all__) <= stub_names


def _blocks() -> list[tuple[str, str, str]]:
    """(language, code, the text just before the block) for each fenced block of the README."""
    text = README.read_text()
    return [
        (m["lang"], m["code"], text[max(0, m.start() - 200) : m.start()])
        for m in re.finditer(r"^```(?P<lang>\w*)\n(?P<code>.*?)^```$", text, re.S | re.M)
    ]


def typed_example() -> tuple[str, str]:
    """The README's typed example and the output it states."""
    blocks = _blocks()
    for k, (lang, code, before) in enumerate(blocks):
        if lang == "python" and TYPED_MARKER in before:
            assert blocks[k + 1][0] == "text", "the typed example's output block is missing"
            return code, blocks[k + 1][1]
    raise AssertionError("README has no typed example")


def test_readme_examples_print_what_the_readme_shows():
    # Blocks without a prompt define names (line(), pricing) for the doctests after them.
    namespace: dict[str, object] = {"__name__": "readme"}
    skipped_for_version: list[int] = []
    parser, runner = doctest.DocTestParser(), doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    report = io.StringIO()
    for k, (lang, code, before) in enumerate(_blocks()):
        if lang != "python" or TYPED_MARKER in before:
            continue
        if NEEDS_314_MARKER in before[-120:] and sys.version_info < (3, 14):
            skipped_for_version.append(k)
            continue
        if ">>>" in code:
            test = parser.get_doctest(code, namespace, f"README block {k}", str(README), 0)
            runner.run(test, out=report.write, clear_globs=False)
            namespace.update(test.globs)  # the doctest ran on a copy
        else:
            with contextlib.redirect_stdout(io.StringIO()):
                exec(compile(code, f"README block {k}", "exec"), namespace)
    assert runner.failures == 0, report.getvalue()
    assert runner.tries > 10
    # The 3.14 example is there, and runs wherever the interpreter has what it needs.
    assert len(skipped_for_version) == (1 if sys.version_info < (3, 14) else 0)


def test_readme_typed_example_runs(capsys):
    code, output = typed_example()
    exec(compile(code, "README typed example", "exec"), {"__name__": "typed_example"})
    assert capsys.readouterr().out == output
