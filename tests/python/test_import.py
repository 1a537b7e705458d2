"""The installed extension module loads and names itself."""

import importlib.metadata
import tomllib
from pathlib import Path

import tallyforge

PYPROJECT = Path(__file__).resolve().parents[2] / "pyproject.toml"


def test_module_imports_as_extension():
    assert tallyforge.__name__ == "tallyforge"
    # The compiled module, not some directory of the work tree that happens to be importable.
    assert tallyforge.__file__ is not None
    assert tallyforge.__file__.endswith((".so", ".pyd"))


def test_version_is_the_package_version_and_adds_no_other_name():
    with PYPROJECT.open("rb") as f:
        declared = tomllib.load(f)["project"]["version"]
    assert tallyforge.__version__ == declared
    try:
        assert importlib.metadata.version("tallyforge") == declared
    except importlib.metadata.PackageNotFoundError:
        pass  # imported from a build tree (the 3.14 chroot), not installed
    public = {name for name in vars(tallyforge) if not name.startswith("_")}
    assert public == set(tallyforge.__all__)
