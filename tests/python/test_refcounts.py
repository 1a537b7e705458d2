"""Under a debug interpreter: every kind of call, repeated, leaves the interpreter's total of
references and its count of allocated blocks exactly where they were; so does every call in
which one allocation fails.

scripts/refcount runs this with Debian's python3.14-dbg and sets TALLYFORGE_EXPECT_DEBUG, so
that a release interpreter or a module built without the debug configuration fails instead
of skipping. Under a release interpreter the file skips (test_leaks.py covers that case).
"""

from __future__ import annotations

import gc
import os
import sys
from pathlib import Path

import pytest

import tallyforge as tf
from conftest import call_kinds

DEBUG = hasattr(sys, "gettotalrefcount")
EXPECTED = os.environ.get("TALLYFORGE_EXPECT_DEBUG") == "1"
pytestmark = [
    pytest.mark.skipif(not (DEBUG or EXPECTED), reason="needs a debug interpreter (scripts/refcount)"),
    pytest.mark.thread_unsafe(reason="counts the references and blocks of the whole process"),
]

KINDS = call_kinds()
ROUNDS = 4
CALLS_PER_ROUND = 300
# Written by scripts/refcount for RELIABILITY.md: the figures of every kind of call.
REPORT = os.environ.get("TALLYFORGE_REFCOUNT_REPORT")


def report(text: str) -> None:
    if REPORT:
        with open(REPORT, "a", encoding="utf-8") as f:
            f.write(text + "\n")


def leaked(gains: list[tuple[int, int]], per_round: int = 1) -> bool:
    """Whether a count rose by at least `per_round` in every round. A leak grows with every
    round; the interpreter's own caches fill in some rounds only (CPython's own leak hunts,
    regrtest -R, use the same rule)."""
    return any(all(g[i] >= per_round for g in gains) for i in (0, 1))


def test_interpreter_and_module_are_debug_builds():
    assert DEBUG, "not a debug interpreter"
    # Compiled with Py_DEBUG, every Py_INCREF also counts into the reference total through
    # this function; a module built against the release configuration never calls it, and
    # its references would then seem to leak (or to vanish) under the debug interpreter.
    assert b"_Py_INCREF_IncRefTotal" in Path(tf.__file__).read_bytes()


def run(func, args, kwargs, n: int) -> None:
    for _ in range(n):
        try:
            func(*args, **kwargs)
        except BaseException:  # noqa: BLE001 - the failing calls are part of the check
            pass


def gained(action) -> tuple[int, int]:
    """(references, blocks) that running `action` leaves behind, net of what measuring itself
    leaves (measured the same way around a call that does nothing)."""

    def measure(f) -> tuple[int, int]:
        gc.collect()
        refs, blocks = sys.gettotalrefcount(), sys.getallocatedblocks()
        f()
        gc.collect()
        return sys.gettotalrefcount() - refs, sys.getallocatedblocks() - blocks

    def nothing() -> None:
        pass

    (refs, blocks), (base_refs, base_blocks) = measure(action), measure(nothing)
    return refs - base_refs, blocks - base_blocks


@pytest.mark.parametrize("name", KINDS)
def test_repeated_calls_leave_counts_unchanged(name):
    func, args, kwargs = KINDS[name]
    run(func, args, kwargs, 20)  # warm-up: once-only objects and the interpreter's caches

    def calls() -> None:
        run(func, args, kwargs, CALLS_PER_ROUND)

    gains = [gained(calls) for _ in range(ROUNDS)]
    report(f"repeat {name!r}: {ROUNDS} x {CALLS_PER_ROUND} calls, (references, blocks) gained per round {gains}")
    # The same call leaks the same on every repetition, so a leak shows as at least one
    # reference per call; what the interpreter's caches take in passing stays far below that
    # (up to about 50 references in a round of 300 calls, and no more over 30 000 calls).
    assert not leaked(gains, CALLS_PER_ROUND // 2), gains


# Sweeps fail the 1st, 2nd, ... allocation of a call in turn, up to this many.
SWEEP = 120
SWEPT = [
    "totals",
    "totals frozen",
    "divide",
    "tip",
    "deliverable escrow",
    "nested field error",
    "missing key",
    "parse error",
    "panic: quantization 29",
    "unexpected keyword",
]


@pytest.mark.parametrize("name", SWEPT)
def test_failed_allocations_raise_memoryerror_and_leave_counts_unchanged(name, testcapi):
    func, args, kwargs = KINDS[name]
    try:
        func(*args, **kwargs)
        normal = None
    except BaseException as exc:  # noqa: BLE001
        normal = type(exc)

    seen: set[type | None] = set()

    def sweep(record: bool = False) -> None:
        for start in range(1, SWEEP + 1):
            testcapi.set_nomemory(start, start + 1)  # only allocation number `start` fails
            try:
                func(*args, **kwargs)
                outcome = None
            except BaseException as exc:  # noqa: BLE001
                outcome = type(exc)
            finally:
                testcapi.remove_mem_hooks()
            if record:
                seen.add(outcome)

    sweep(record=True)  # also the warm-up: the interpreter's caches fill on the first failures
    # A leak on one failure path shows as one reference per sweep: every round must be clean.
    gains = [gained(sweep) for _ in range(3)]
    report(f"nomemory {name!r}: {SWEEP} failing allocations, outcomes {sorted(t.__name__ if t else 'result' for t in seen)}, gained {gains}")
    assert not leaked(gains), gains
    assert MemoryError in seen
    # Nothing but the call's own outcome or MemoryError; in particular no SystemError from
    # an error path that returned NULL without an exception or a result with one.
    assert seen <= {MemoryError, normal}


# Interpreters created, used and closed: each round of cycles may leave no more behind in
# the process than the same cycles of an interpreter that runs nothing (what CPython itself
# leaves per interpreter differs from version to version). Losing an interpreter's classes,
# value objects and key strings would leave a few hundred blocks and references a cycle.
INTERPRETER_CYCLES = 40
PER_CYCLE_ALLOWANCE = 20


@pytest.mark.parametrize("config", ["isolated", "legacy"])
def test_interpreter_cycles_leave_counts_unchanged(config):
    interpreters = pytest.importorskip("_interpreters")
    from test_interpreters import cycles

    def per_round(module: str) -> list[tuple[int, int]]:
        cycles(module, config, 5)  # warm-up
        return [gained(lambda: cycles(module, config, INTERPRETER_CYCLES)) for _ in range(3)]

    nothing, ours = per_round("nothing"), per_round("tallyforge")
    report(f"interpreters {config!r}: {INTERPRETER_CYCLES} cycles a round, gained {ours}, by empty interpreters {nothing}")
    excess = [(o[0] - min(n[0] for n in nothing), o[1] - min(n[1] for n in nothing)) for o in ours]
    assert not leaked(excess, INTERPRETER_CYCLES * PER_CYCLE_ALLOWANCE), (ours, nothing)
    assert len(interpreters.list_all()) == 1  # only the main interpreter is left
