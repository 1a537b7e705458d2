"""The installed extension module loads and names itself."""

import pytest

import tallyforge


def test_module_imports_as_extension():
    assert tallyforge.__name__ == "tallyforge"
    # The compiled module, not some directory of the work tree that happens to be importable.
    assert tallyforge.__file__ is not None
    assert tallyforge.__file__.endswith((".so", ".pyd"))


def test_isolated_subinterpreters_refuse_the_module():
    # The classes and value objects are shared by the whole process; an
    # interpreter with its own objects must not be handed them.
    interpreters = pytest.importorskip("_interpreters")
    interp = interpreters.create()
    try:
        failure = interpreters.exec(interp, "import tallyforge")
    finally:
        interpreters.destroy(interp)
    assert failure is not None
    assert failure.type.__name__ == "ImportError"
    assert "subinterpreters" in failure.msg
