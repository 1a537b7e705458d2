"""scripts/apt-install, through which every script installs Debian packages: the package lists
are fetched only when installing from the ones apt has fails, and two of the project's apt runs
never overlap (`apt-get update` fails at once on another's lock of the lists, and CI runs the
wheels' one-time builds beside make check). A stand-in apt-get records what it is asked."""

from __future__ import annotations

import fcntl
import os
import shutil
import subprocess
import time
from pathlib import Path

import pytest

SCRIPT = Path(__file__).resolve().parents[2] / "scripts" / "apt-install"

pytestmark = [
    pytest.mark.skipif(not SCRIPT.exists() or shutil.which("flock") is None or shutil.which("bash") is None,
                       reason="needs scripts/apt-install, bash and flock"),
    pytest.mark.skipif(not hasattr(os, "geteuid") or os.geteuid() != 0, reason="apt-install runs as root only"),
    pytest.mark.thread_unsafe(reason="one lock file and one stand-in apt-get per test"),
]

FAKE_APT = """#!/bin/sh
echo "$*" >>"$APT_CALLS"
case "$*" in
  *install*) [ -e "$APT_FAIL_ONCE" ] && rm "$APT_FAIL_ONCE" && exit 100 ;;
esac
exit 0
"""


@pytest.fixture
def fake_apt(tmp_path):
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    (bin_dir / "apt-get").write_text(FAKE_APT)
    (bin_dir / "apt-get").chmod(0o755)
    env = dict(os.environ, PATH=f"{bin_dir}:{os.environ['PATH']}", APT_CALLS=str(tmp_path / "calls"),
               APT_FAIL_ONCE=str(tmp_path / "fail-once"), TALLYFORGE_APT_LOCK=str(tmp_path / "apt.lock"))
    return tmp_path, env


def verbs(tmp_path):
    """What apt-get was asked, in order: install (of the packages given) or update."""
    lines = (tmp_path / "calls").read_text().splitlines()
    assert all(line.endswith(" pkg1 pkg2") for line in lines if " install " in line)
    return [next(word for word in line.split() if word in ("install", "update")) for line in lines]


@pytest.mark.parametrize(
    ("lists_current", "expected"),
    [(True, ["install"]), (False, ["install", "update", "install"])],
    ids=["lists current", "lists stale"],
)
def test_lists_fetched_only_when_install_fails(fake_apt, lists_current, expected):
    tmp_path, env = fake_apt
    if not lists_current:
        (tmp_path / "fail-once").touch()
    subprocess.run(["bash", SCRIPT, "pkg1", "pkg2"], env=env, check=True, capture_output=True, timeout=60)
    assert verbs(tmp_path) == expected


def test_waits_for_another_apt_run_of_the_project(fake_apt):
    tmp_path, env = fake_apt
    with open(env["TALLYFORGE_APT_LOCK"], "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        proc = subprocess.Popen(["bash", SCRIPT, "pkg1", "pkg2"], env=env, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True)
        time.sleep(1.0)
        assert proc.poll() is None and not (tmp_path / "calls").exists()
    _, err = proc.communicate(timeout=60)
    assert proc.returncode == 0, err
    assert "waiting for it" in err
    assert verbs(tmp_path) == ["install"]
