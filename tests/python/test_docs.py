"""The user-facing documentation: the stubs document every public name, the examples of the
site (docs/) and of the README run and print what the pages say they print, and every
message the computations can raise is listed in the reference.

`make docs` runs the same examples through Sphinx; this file keeps them checked by
`make test`, where the site's toolchain is not installed."""

from __future__ import annotations

import ast
import contextlib
import doctest
import io
import re
import sys
from pathlib import Path

import pytest

import tallyforge

ROOT = Path(__file__).resolve().parents[2]
STUB = ROOT / "stubs" / "tallyforge-stubs" / "__init__.pyi"
README = ROOT / "README.md"
DOCS = ROOT / "docs"
PAGES = sorted(p for p in DOCS.rglob("*.md") if "_generated" not in p.parts)
MESSAGES_PAGE = DOCS / "reference" / "exceptions.md"
TYPED_MARKER = "% typed-example"

# What docs/conf.py gives every page's examples (doctest_global_setup).
GLOBAL_SETUP = "import sys\nimport tallyforge\nfrom tallyforge import Account, Category, LineType\n"


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


# ---------------------------------------------------------------------------
# Code blocks of the pages

FENCE = re.compile(r"^```(?:\{(?P<directive>[\w-]+)\}|(?P<lang>\w*))[^\n]*\n(?P<code>.*?)^```$", re.S | re.M)


def blocks(path: Path) -> list[tuple[str, str, str]]:
    """(kind, code, the text just before the block) for each fenced block of a page; kind
    is a MyST directive (doctest, testcode, testoutput) or a fence's language. A block whose
    `:skipif:` option holds on this interpreter (a 3.14-only example on 3.13) is left out."""
    text = path.read_text()
    out = []
    for m in FENCE.finditer(text):
        code = m["code"]
        if m["directive"]:
            # A directive's options (":hide:", ":skipif: ...") come first, then a blank line.
            lines = code.splitlines(keepends=True)
            options = []
            while lines and lines[0].startswith(":"):
                options.append(lines.pop(0))
            if lines and not lines[0].strip():
                lines.pop(0)
            code = "".join(lines)
            skip = [o.split(":", 2)[2].strip() for o in options if o.startswith(":skipif:")]
            if any(eval(condition, {"sys": sys}) for condition in skip):
                continue
        out.append((m["directive"] or m["lang"], code, text[max(0, m.start() - 200) : m.start()]))
    return out


def typed_example() -> tuple[str, str]:
    """The site's typed example and the output it states."""
    for page in PAGES:
        found = blocks(page)
        for k, (kind, code, before) in enumerate(found):
            if kind == "testcode" and TYPED_MARKER in before:
                assert found[k + 1][0] == "testoutput", "the typed example's output block is missing"
                return code, found[k + 1][1]
    raise AssertionError("no page has a typed example")


def run_page(path: Path) -> tuple[int, int, str]:
    """Runs a page's examples in order in one namespace, as Sphinx's doctest builder does:
    doctest blocks compared with their output, testcode blocks run (and compared with the
    testoutput block after them), and for the README its python blocks. Returns (tries,
    failures, report)."""
    namespace: dict[str, object] = {"__name__": path.stem}
    exec(GLOBAL_SETUP, namespace)
    parser = doctest.DocTestParser()
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    report = io.StringIO()
    found = blocks(path)
    for k, (kind, code, before) in enumerate(found):
        name = f"{path.relative_to(ROOT)} block {k}"
        if kind == "doctest" or (kind == "python" and ">>>" in code):
            test = parser.get_doctest(code, namespace, name, str(path), 0)
            runner.run(test, out=report.write, clear_globs=False)
            namespace.update(test.globs)  # the doctest ran on a copy
        elif kind in ("testcode", "python"):
            expected = found[k + 1][1] if k + 1 < len(found) and found[k + 1][0] == "testoutput" else None
            out = io.StringIO()
            with contextlib.redirect_stdout(out):
                exec(compile(code, name, "exec"), namespace)
            if expected is not None and out.getvalue() != expected:
                report.write(f"{name}: printed\n{out.getvalue()}instead of\n{expected}")
                return runner.tries + 1, runner.failures + 1, report.getvalue()
    return runner.tries, runner.failures, report.getvalue()


# doctest and redirect_stdout swap process-wide objects while an example runs: sys.stdout and
# linecache.getlines (a second runner in another thread would wrap the first one's patch).
SWAPS_PROCESS_OBJECTS = pytest.mark.thread_unsafe(reason="doctest and redirect_stdout swap sys.stdout and linecache.getlines process-wide")


@SWAPS_PROCESS_OBJECTS
@pytest.mark.parametrize("page", [README, *PAGES], ids=lambda p: str(p.relative_to(ROOT)))
def test_examples_print_what_the_page_shows(page):
    tries, failures, report = run_page(page)
    assert failures == 0, report


@SWAPS_PROCESS_OBJECTS
def test_the_pages_hold_many_examples():
    # A fence that the pattern above stopped recognising would silently test nothing.
    assert sum(run_page(p)[0] for p in PAGES) > 60
    assert run_page(README)[0] >= 1


@pytest.mark.thread_unsafe(reason="captures the process's standard output (capsys)")
def test_typed_example_runs(capsys):
    code, output = typed_example()
    exec(compile(code, "typed example", "exec"), {"__name__": "typed_example"})
    assert capsys.readouterr().out == output


# ---------------------------------------------------------------------------
# Messages


def _source_messages() -> list[str]:
    """The message texts written in the core's sources: string literals (adjacent ones
    joined) that read as a phrase."""
    found = []
    for path in (ROOT / "src" / "decimal.cpp", ROOT / "src" / "funcs.cpp"):
        text = path.read_text()
        for m in re.finditer(r'"((?:[^"\\]|\\.)*)"(?:\s*"((?:[^"\\]|\\.)*)")*', text):
            literal = "".join(re.findall(r'"((?:[^"\\]|\\.)*)"', m.group(0)))
            if re.match(r"[A-Z][a-z]+ [a-z]", literal):
                found.append(literal.strip())
    return found


def test_every_message_of_the_computations_is_in_the_reference():
    messages = _source_messages()
    assert len(messages) >= 20, messages
    page = MESSAGES_PAGE.read_text()
    missing = [m for m in messages if m not in page]
    assert missing == []
