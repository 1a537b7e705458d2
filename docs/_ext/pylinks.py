"""Resolves references to Python's own names (str, ValueError, typing.TypedDict, ...) to
the pages of the Python documentation, so that the site's reference can link them and a
nitpicky build still proves that every other reference resolves. Intersphinx would need the
network at build time; the few names the reference uses are listed here instead."""

from __future__ import annotations

import builtins

from docutils import nodes
from sphinx.application import Sphinx

PYDOCS = "https://docs.python.org/3/"

# Names outside builtins, by the page that documents them.
PAGES = {
    "Sequence": "library/collections.abc.html#collections.abc.Sequence",
    "collections.abc.Sequence": "library/collections.abc.html#collections.abc.Sequence",
    "TypedDict": "library/typing.html#typing.TypedDict",
    "typing.TypedDict": "library/typing.html#typing.TypedDict",
    "ClassVar": "library/typing.html#typing.ClassVar",
    "typing.ClassVar": "library/typing.html#typing.ClassVar",
    "None": "library/constants.html#None",
    "True": "library/constants.html#True",
    "False": "library/constants.html#False",
    "BaseException.add_note": "library/exceptions.html#BaseException.add_note",
    "BaseException.__notes__": "library/exceptions.html#BaseException.__notes__",
    "copy.deepcopy": "library/copy.html#copy.deepcopy",
    "pickle.dumps": "library/pickle.html#pickle.dumps",
    "concurrent.futures.ThreadPoolExecutor": "library/concurrent.futures.html#concurrent.futures.ThreadPoolExecutor",
    "concurrent.futures.InterpreterPoolExecutor": "library/concurrent.futures.html#concurrent.futures.InterpreterPoolExecutor",
    "decimal.Decimal": "library/decimal.html#decimal.Decimal",
}


def url_of(target: str) -> str | None:
    if target in PAGES:
        return PYDOCS + PAGES[target]
    name = target.removeprefix("builtins.")
    obj = getattr(builtins, name, None)
    if obj is None:
        return None
    if isinstance(obj, type) and issubclass(obj, BaseException):
        return f"{PYDOCS}library/exceptions.html#{name}"
    if isinstance(obj, type):
        return f"{PYDOCS}library/stdtypes.html#{name}" if name in {"str", "list", "dict", "tuple", "int", "bool"} \
            else f"{PYDOCS}library/functions.html#{name}"
    return f"{PYDOCS}library/functions.html#{name}"


def resolve(app: Sphinx, env, node, contnode):
    if node.get("refdomain") != "py":
        return None
    target = node["reftarget"]
    url = url_of(target)
    if url is None and target.startswith("tallyforge."):
        url = url_of(target.removeprefix("tallyforge."))
    if url is None:
        return None
    ref = nodes.reference("", "", internal=False, refuri=url, reftitle=f"(in Python) {target}")
    ref.append(contnode)
    return ref


def setup(app: Sphinx) -> dict:
    # After the Python domain's own lookup: only what the site does not define comes here.
    app.connect("missing-reference", resolve)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
