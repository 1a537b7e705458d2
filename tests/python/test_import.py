"""The installed extension module loads and names itself."""

import tallyforge


def test_module_imports_as_extension():
    assert tallyforge.__name__ == "tallyforge"
    # The compiled module, not some directory of the work tree that happens to be importable.
    assert tallyforge.__file__ is not None
    assert tallyforge.__file__.endswith((".so", ".pyd"))
