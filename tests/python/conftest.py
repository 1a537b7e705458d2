"""Shared helpers for the tallyforge Python tests.

The builders return plain dictionaries in the key order the module reads them,
with realistic defaults, so that a test names only what it changes.
"""

from __future__ import annotations

import functools
import os
import subprocess
import sys
import sysconfig
import warnings
from pathlib import Path
from typing import Any

import pytest

try:
    from hypothesis import HealthCheck, settings
except ImportError:  # an isolated sub-interpreter (test_interpreters.py) refuses its native part
    pass
else:
    # For slow interpreters and instrumented builds (scripts/asan, scripts/refcount pass
    # --hypothesis-profile=slow): no deadline and no complaint about slow input generation.
    settings.register_profile("slow", deadline=None, suppress_health_check=[HealthCheck.too_slow])

# A free-threaded interpreter (3.13t) runs the suite with the GIL off; the session checks at
# its start and at its end that it stays off (pytest_sessionstart, pytest_sessionfinish).
FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))

# The module's first import in this process, with every warning it gave recorded: an extension
# that does not declare that it runs without the GIL turns the GIL on as it loads, with a
# RuntimeWarning. None when something imported the module before this file did.
FIRST_IMPORT_WARNINGS: list[str] | None = None
if "tallyforge" not in sys.modules:
    with warnings.catch_warnings(record=True) as _caught:
        warnings.simplefilter("always")
        try:
            import tallyforge  # noqa: F401 - imported for the warnings it may give
        except ImportError:
            pass
    FIRST_IMPORT_WARNINGS = [f"{w.category.__name__}: {w.message}" for w in _caught]

try:
    import tallyforge as tf
    from tallyforge import Account, Category, LineType
except ImportError:  # the module's tests then fail on their own import; the stub tests still run
    pass

# --- NumPy ---------------------------------------------------------------------------------
# Its scalars are among the values the tests pass. A run that cannot have NumPy says why in
# TALLYFORGE_WITHOUT_NUMPY, and the cases that need it skip with that reason; NumPy is then not
# imported at all (on the musl CPython of scripts/wheels, NumPy's musllinux wheel brings a
# libstdc++ and libgcc_s with packed relocations, DT_RELR, which only musl 1.2.4 and newer
# apply: loading them on Debian's musl 1.2.3 crashes the process). Anywhere else NumPy belongs to the test
# toolchain: without it (and without the variable) the files that use it fail on their import.
# `np` is imported only when a test file asks for it (`from conftest import np`), so that the
# runs and sub-interpreters that load these helpers without such a file never load NumPy.
WITHOUT_NUMPY = os.environ.get("TALLYFORGE_WITHOUT_NUMPY", "")


def __getattr__(name: str) -> Any:
    if name == "np":
        if WITHOUT_NUMPY:
            return None
        import numpy

        return numpy
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


NEEDS_NUMPY = pytest.mark.skipif(bool(WITHOUT_NUMPY), reason=f"needs NumPy, which this run lacks: {WITHOUT_NUMPY}")


def numpy_case(make: Any, n: int, id: str | None = None) -> Any:
    """A parametrised case of `n` values that `make()` builds from NumPy; in a run without
    NumPy, a case that skips (its values are never built)."""
    if WITHOUT_NUMPY:
        return pytest.param(*[None] * n, marks=NEEDS_NUMPY, id=id)
    return pytest.param(*make(), id=id)


def line(id: int = 1, amount: str = "0", priority: int = 0, percentage: str = "0", **fields: Any) -> dict:
    """A line dictionary; the common fields come first, the rest by keyword.
    Every builder lists its keys in the order the module reads them."""
    out = {
        "id": id,
        "priority": priority,
        "kind": LineType.AddOn,
        "amount": amount,
        "description": "",
        "frozen_value": None,
        "percentage": percentage,
        "category": Category.Payment,
        "destination_user_id": None,
        "destination_account": Account.Escrow,
        "back_into_percentage": False,
    }
    _override(out, fields)
    return {key: value for key, value in out.items() if value is not MISSING}


def plan(**fields: Any) -> dict:
    out = {
        "id": 1,
        "name": "Pro",
        "connection_fee_waived": False,
        "per_deliverable_price": "1.00",
        "max_simultaneous_orders": 5,
        "waitlisting": False,
        "paypal_invoicing": False,
        "shield_static_price": "0.75",
        "shield_percentage_price": "5",
    }
    _override(out, fields)
    return out


def pricing(**fields: Any) -> dict:
    out = {
        "plans": [plan()],
        "minimum_price": "5.00",
        "table_percentage": "10",
        "table_static": "0.50",
        "table_tax": "8.25",
        "processing_percentage": "2.9",
        "processing_static": "0.30",
        "international_conversion_percentage": "1.5",
        "preferred_plan": "Pro",
        "stripe_blended_rate_percentage": "2.9",
        "stripe_blended_rate_static": "0.30",
        "stripe_payout_cross_border_percentage": "1",
        "stripe_active_account_monthly_fee": "2.00",
        "stripe_payout_static": "0.25",
        "stripe_payout_percentage": "0.25",
    }
    _override(out, fields)
    return out


def tip_context(**fields: Any) -> dict:
    out = {"pricing": pricing(), "international": False, "quantization": 2}
    _override(out, fields)
    return out


def deliverable_context(**fields: Any) -> dict:
    out = {
        "base_price": "10.00",
        "table_product": False,
        "escrow_enabled": False,
        "international": False,
        "extra_lines": [],
        "plan_name": "Pro",
        "pricing": pricing(),
        "user_id": 42,
        "allow_soft_failure": False,
        "quantization": 2,
    }
    _override(out, fields)
    return out


class _Missing:
    """Marker: pass ``key=MISSING`` to a builder to leave the key out."""


MISSING = _Missing()


def _override(out: dict, fields: dict) -> None:
    for key, value in fields.items():
        if key not in out:
            raise AssertionError(f"unknown key {key!r} in test helper")
        if value is MISSING:
            del out[key]
        else:
            out[key] = value


LINE_KEYS = tuple(line())
PLAN_KEYS = tuple(plan())
PRICING_KEYS = tuple(pricing())
TIP_KEYS = tuple(tip_context())
DELIVERABLE_KEYS = tuple(deliverable_context())


def cause_chain(exc: BaseException | None) -> list[tuple[type, str]]:
    """(type, text) of the exception and of every ``__cause__`` below it."""
    chain = []
    while exc is not None:
        chain.append((type(exc), str(exc)))
        exc = exc.__cause__
    return chain


@functools.cache
def panic_class() -> type[BaseException]:
    """The class of internal failures; it is not a module attribute, so take
    it from a failure: a quantization beyond 28 places cannot build a quantum."""
    try:
        tf.py_divide_amount("1", 1, 29)
    except BaseException as exc:  # noqa: BLE001 - the point is to catch it
        return type(exc)
    raise AssertionError("a quantization of 29 did not fail")


@pytest.fixture
def panic_exc() -> type[BaseException]:
    return panic_class()


# Set by scripts/chroot-sid when the tests run under an emulator (qemu-user, some ten times
# slower): loops whose length only buys statistical weight run shorter, and children get
# longer to finish. What each test checks stays the same.
EMULATED = os.environ.get("TALLYFORGE_EMULATED") == "1"


def child_timeout(seconds: float) -> float:
    """A child interpreter's time limit, scaled for emulation."""
    return seconds * 10 if EMULATED else seconds


def examples(n: int) -> int:
    """A property test's number of examples: a quarter of it under emulation."""
    return max(n // 4, 25) if EMULATED else n


# What a child interpreter must inherit to load an instrumented build of the module: the
# sanitizer runtime preloaded into it, its options, and the allocator setting.
SANITIZER_VARIABLES = ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "PYTHONMALLOC")
# And whether this run goes without NumPy, for a child that imports these helpers.
INHERITED_VARIABLES = (*SANITIZER_VARIABLES, "TALLYFORGE_WITHOUT_NUMPY")


def child_env(**extra: str) -> dict[str, str]:
    """A clean environment for a child interpreter that imports this very module."""
    env = {"PYTHONPATH": str(Path(tf.__file__).resolve().parent), "PATH": ""}
    env.update((name, os.environ[name]) for name in INHERITED_VARIABLES if name in os.environ)
    env.update(extra)
    return env


# --- pytest configuration --------------------------------------------------------------


def pytest_configure(config: pytest.Config) -> None:
    # pytest-run-parallel (installed for the free-threaded runs only) runs a test marked so in
    # one thread; registered here too, so that other runs know the marker.
    config.addinivalue_line("markers", "thread_unsafe(reason): the test must not run in several threads at once")


# --- the GIL stays off ---------------------------------------------------------------------

# A fresh interpreter that imports the module with every warning turned into an error, so that
# an import that turns the GIL on fails; the child's environment is clean, so neither
# PYTHON_GIL nor -X gil of this process can hide the warning.
GIL_IMPORT_CHECK = "import sys, warnings; warnings.simplefilter('error'); import tallyforge; print(sys._is_gil_enabled())"


def gil_problems_at_start() -> list[str]:
    problems = []
    if sys._is_gil_enabled():
        problems.append("the GIL is on as the session starts")
    if FIRST_IMPORT_WARNINGS:
        problems.append(f"importing tallyforge warned: {FIRST_IMPORT_WARNINGS}")
    child = subprocess.run(
        [sys.executable, "-c", GIL_IMPORT_CHECK], capture_output=True, text=True, env=child_env(), timeout=child_timeout(60)
    )
    if child.returncode != 0 or child.stdout.strip() != "False":
        problems.append(
            f"a fresh interpreter importing tallyforge with warnings as errors exited with {child.returncode}, "
            f"printing {child.stdout.strip()!r}: {child.stderr.strip()[-800:]}"
        )
    return problems


def pytest_sessionstart(session: pytest.Session) -> None:
    if not FREE_THREADED:
        return
    problems = gil_problems_at_start()
    if problems:
        pytest.exit("the GIL must stay off: " + "; ".join(problems), returncode=pytest.ExitCode.TESTS_FAILED)


def pytest_sessionfinish(session: pytest.Session, exitstatus: int) -> None:
    # Whatever a test imported, the GIL must still be off: an extension module that turned it on
    # would have hidden every race of the run.
    if FREE_THREADED and sys._is_gil_enabled():
        reporter = session.config.pluginmanager.get_plugin("terminalreporter")
        if reporter is not None:
            reporter.write_line("the GIL was turned on during the session", red=True)
        if session.exitstatus == pytest.ExitCode.OK:
            session.exitstatus = pytest.ExitCode.TESTS_FAILED


# --- CPython's allocation-failure hooks ------------------------------------------------------


# The hooks make every allocation of the process fail, whichever thread asks.
ALLOCATIONS_FAIL = pytest.mark.thread_unsafe(reason="makes the process's allocations fail on purpose (_testcapi.set_nomemory)")


@pytest.fixture
def testcapi():
    """CPython's test module, for making the interpreter's allocations fail on purpose."""
    if FREE_THREADED:
        pytest.skip(
            "_testcapi.set_nomemory cannot run on the free-threaded build: the interpreter's own "
            "allocator (mimalloc, _mi_page_malloc) segfaults under it, even for a plain str.split"
        )
    module = pytest.importorskip("_testcapi")
    if not hasattr(module, "set_nomemory"):
        pytest.skip("_testcapi.set_nomemory is missing")
    return module


# --- every kind of call ------------------------------------------------------------------
# One entry per way a call can end: each function succeeding, and each kind of conversion
# error, computation error and internal failure. The arguments are built once, so that
# a call allocates nothing in the test itself; the objects are never changed, so threads may
# share them.


class Mapping:
    """A mapping that is not a dict: item access goes through __getitem__. With `fail`, an
    exception class, looking up "amount" raises a new instance of it."""

    def __init__(self, data: dict, fail: type[Exception] | None = None):
        self.data = data
        self.fail = fail

    def __getitem__(self, key: str) -> Any:
        if self.fail is not None and key == "amount":
            raise self.fail("lookup failed")
        return self.data[key]


class FailsMidway:
    """A sequence whose iteration raises a new `exc` after its first element."""

    def __init__(self, first: Any, exc: type[Exception]):
        self.first, self.exc = first, exc

    def __len__(self) -> int:
        return 3

    def __getitem__(self, index: int) -> Any:
        return self.first

    def __iter__(self):
        yield self.first
        raise self.exc("iteration failed")


class BadLength(list):
    """A list whose __len__ raises (the length is only a hint)."""

    def __len__(self) -> int:
        raise RuntimeError("no length")


MAX = "79228162514264337593543950335"


def call_kinds() -> dict[str, tuple[Any, tuple, dict]]:
    bill = [line(1, "100.00"), line(2, "0.335"), line(3, "-0.50", 1), line(4, "0", 2, "3", back_into_percentage=True)]
    frozen = [line(1, "x", frozen_value="10.5"), line(2, "y", frozen_value="-2.255")]
    nested_bad_plan = tip_context(pricing=pricing(plans=[plan(), plan(name=5)]))
    kinds = {
        # successes
        "totals": (tf.py_get_totals, (bill, 2), {}),
        "totals frozen": (tf.py_get_totals, (frozen, 2), {}),
        "totals by keyword, tuple, mapping": (tf.py_get_totals, (), {"quantization": 2, "lines": (Mapping(line(1, "1.005")),)}),
        "reckon": (tf.py_reckon_lines, (bill, 2), {}),
        "reckon, length fails": (tf.py_reckon_lines, (BadLength(bill), 2), {}),
        "divide": (tf.py_divide_amount, ("1000.00", 7, 2), {}),
        "tip": (tf.py_tip_fee_lines, (tip_context(international=True),), {}),
        "deliverable escrow": (tf.py_deliverable_lines, (deliverable_context(escrow_enabled=True, international=True, extra_lines=bill),), {}),
        "deliverable table": (tf.py_deliverable_lines, (deliverable_context(table_product=True),), {}),
        "deliverable soft failure": (tf.py_deliverable_lines, (deliverable_context(plan_name="None", allow_soft_failure=True),), {}),
        # binding
        "too many arguments": (tf.py_get_totals, ([], 2, 3), {}),
        "unexpected keyword": (tf.py_divide_amount, ("1", 2), {"scale": 2}),
        "missing arguments": (tf.py_divide_amount, (), {}),
        "multiple values": (tf.py_reckon_lines, ([],), {"lines": []}),
        # conversion
        "str for a list": (tf.py_get_totals, ("abc", 2), {}),
        "not a sequence": (tf.py_reckon_lines, ({}, 2), {}),
        "element not subscriptable": (tf.py_get_totals, ([5], 2), {}),
        "quantization out of range": (tf.py_get_totals, ([], -1), {}),
        "quantization beyond 64 bits": (tf.py_reckon_lines, ([], 2**70), {}),
        "quantization of wrong type": (tf.py_divide_amount, ("1", 2, "2"), {}),
        "amount of wrong type": (tf.py_get_totals, ([*bill, line(5, 5)], 2), {}),
        "lone surrogate": (tf.py_divide_amount, ("1\ud800", 2, 2), {}),
        "enum of wrong class": (tf.py_get_totals, ([line(kind=Category.Taxes)], 2), {}),
        "int for a bool": (tf.py_tip_fee_lines, (tip_context(international=1),), {}),
        "missing key": (tf.py_get_totals, ([line(1), line(2, percentage=MISSING)], 2), {}),
        "nested field error": (tf.py_tip_fee_lines, (nested_bad_plan,), {}),
        "nested missing key": (tf.py_deliverable_lines, (deliverable_context(extra_lines=[{"id": 1}]),), {}),
        "context not subscriptable": (tf.py_deliverable_lines, (None,), {}),
        "item access raises": (tf.py_reckon_lines, ([Mapping(line(), RuntimeError)], 2), {}),
        "iteration fails midway": (tf.py_get_totals, (FailsMidway(line(), ValueError), 2), {}),
        # computation errors
        "parse error": (tf.py_get_totals, ([line(1, "1,00")], 2), {}),
        "improperly quantized": (tf.py_divide_amount, ("1.005", 2, 2), {}),
        "no line for the difference": (tf.py_get_totals, ([line(1, "1.00"), line(2, "-0.009")], 2), {}),
        "pricing missing": (tf.py_tip_fee_lines, (tip_context(pricing=None),), {}),
        "plan not found": (tf.py_deliverable_lines, (deliverable_context(plan_name="pro"),), {}),
        # internal failures
        "panic: quantization 29": (tf.py_divide_amount, ("10.00", 3, 29), {}),
        "panic: division by zero": (tf.py_reckon_lines, ([line(1, "10"), line(2, "0", 1, "100", back_into_percentage=True)], 2), {}),
        "panic: deliverable quantization": (tf.py_deliverable_lines, (deliverable_context(quantization=2**32 - 1),), {}),
        "limit of the type": (tf.py_divide_amount, (MAX, 2, 0), {}),
    }
    return kinds


def outcome(func: Any, args: tuple, kwargs: dict | None = None) -> tuple:
    """What a call did, in a form that compares across threads and processes: the result,
    or the type, text and cause chain of the exception."""
    try:
        result = func(*args, **(kwargs or {}))
    except BaseException as exc:  # noqa: BLE001 - PanicException included
        return ("raised", [(t.__name__, text) for t, text in cause_chain(exc)])
    if isinstance(result, dict) and "subtotals" in result:
        result = {**result, "subtotals": sorted(result["subtotals"].items())}
    return ("returned", repr(result))
