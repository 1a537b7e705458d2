"""The installed extension module loads and names itself."""

import importlib.metadata
import os
import subprocess
import sys
import sysconfig
import tomllib
from pathlib import Path

import pytest

import tallyforge
from conftest import FREE_THREADED, child_timeout

ROOT = Path(__file__).resolve().parents[2]
PYPROJECT = ROOT / "pyproject.toml"


def test_module_imports_as_extension():
    assert tallyforge.__name__ == "tallyforge"
    # The compiled module, not some directory of the work tree that happens to be importable.
    assert tallyforge.__file__ is not None
    assert tallyforge.__file__.endswith((".so", ".pyd"))


def test_module_file_carries_this_interpreters_extension_suffix():
    # A wheel's module is built for one version and C library and named for its interpreters (a
    # musl CPython loads *-linux-musl.so, a glibc one *-linux-gnu.so); a musllinux wheel is built
    # by a glibc interpreter told the musl suffix. A plain tallyforge.so would load anywhere,
    # also where it was not built for, and a suffix left from the building interpreter would not
    # load on the one the wheel is for.
    assert tallyforge.__file__ is not None
    assert Path(tallyforge.__file__).name == "tallyforge" + sysconfig.get_config_var("EXT_SUFFIX")


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


# --- the GIL stays off on a free-threaded interpreter (conftest.py checks it for every run) -----

GIL_TURNED_ON = """
import sys

def pytest_runtest_teardown(item):
    sys._is_gil_enabled = lambda: True  # as if a test had loaded a module that turned the GIL on
"""


@pytest.mark.skipif(not FREE_THREADED, reason="the GIL is off only on a free-threaded interpreter")
@pytest.mark.thread_unsafe(reason="runs pytest twice in child interpreters")
@pytest.mark.parametrize(
    "setting, plugin, message",
    [
        ({"PYTHON_GIL": "1"}, None, "the GIL must stay off: the GIL is on as the session starts"),
        ({}, GIL_TURNED_ON, "the GIL was turned on during the session"),
    ],
    ids=["on at the start", "on at the end"],
)
def test_a_session_with_the_gil_on_fails(tmp_path, setting, plugin, message):
    args = [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", __file__, "-k", "imports_as_extension"]
    if plugin is not None:
        (tmp_path / "gil_plugin.py").write_text(plugin)
        args += ["-p", "gil_plugin"]
    env = {**os.environ, **setting, "PYTHONPATH": str(tmp_path)}
    result = subprocess.run(args, capture_output=True, text=True, env=env, cwd=ROOT, timeout=child_timeout(120))
    assert result.returncode == 1, result.stdout + result.stderr
    assert message in result.stdout + result.stderr
