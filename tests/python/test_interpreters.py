"""Sub-interpreters: isolated ones with their own GIL and legacy ones that share the main
GIL each import the module with their own classes, value objects and PanicException, and
compute exactly what the main interpreter computes; interpreters come and go without
leaving anything behind in the process.

The probes below run inside the interpreter under test: it imports this file (and conftest)
from the tests directory and writes what it saw, as plain data, into a file that the test
compares with the main interpreter's own findings.
"""

from __future__ import annotations

import copy
import gc
import os
import pickle
import subprocess
import sys
import sysconfig
import tempfile
import textwrap
import threading
from pathlib import Path

import pytest

import tallyforge as tf
from conftest import EMULATED, call_kinds, child_env, child_timeout, deliverable_context, line, tip_context

interpreters = pytest.importorskip("_interpreters")
pytestmark = pytest.mark.thread_unsafe(reason="creates and destroys interpreters and counts the process's blocks")
try:
    from concurrent import interpreters as public  # 3.14
    from concurrent.futures import InterpreterPoolExecutor
except ImportError:
    public = None

TESTS = str(Path(__file__).resolve().parent)
# The kinds of interpreter: through the private module (3.13 and 3.14), and on 3.14 through
# concurrent.interpreters as well, whose interpreters are isolated ones.
CONFIGS = ["isolated", "legacy"] + (["concurrent.interpreters"] if public else [])
# scripts/asan runs everything on the C allocator with a sanitizer's quarantine.
SANITIZED = os.environ.get("PYTHONMALLOC") == "malloc"

# ---- probes: run in any interpreter, return plain data ------------------------------------


def describe(exc: BaseException | None) -> list[tuple]:
    """An exception and its causes as type, args and notes."""
    out = []
    while exc is not None:
        kind = type(exc)
        out.append((kind.__module__, kind.__qualname__, repr(exc.args), getattr(exc, "__notes__", None)))
        exc = exc.__cause__
    return out


def every_outcome() -> dict[str, tuple]:
    """What each kind of call (conftest.call_kinds) does here: its result, or its exception
    with the whole cause chain, args and notes."""
    out = {}
    for name, (func, args, kwargs) in call_kinds().items():
        try:
            result = func(*args, **kwargs)
        except BaseException as exc:  # noqa: BLE001 - PanicException included
            out[name] = ("raised", describe(exc))
            continue
        if isinstance(result, dict) and "subtotals" in result:
            result = {**result, "subtotals": sorted(result["subtotals"].items())}
        out[name] = ("returned", repr(result))
    return out


def bill_lines() -> list[dict]:
    return [line(1, "10.005", kind=tf.LineType.AddOn), line(2, "0.335", 1, category=tf.Category.Taxes)]


def identity_facts() -> dict[str, bool]:
    """The identity, copy and pickle rules, each as one fact; the last ones reload the module."""
    import tallyforge as m

    values = [getattr(cls, name) for cls in (m.LineType, m.Account, m.Category) for name in vars(cls) if type(getattr(cls, name)) is cls]
    out = m.py_deliverable_lines(deliverable_context(escrow_enabled=True, international=True))
    facts = {
        "57 values": len(values) == 57,
        "attribute is itself": all(getattr(type(v), repr(v).split(".")[1]) is v for v in values),
        "copy is the object": all(copy.copy(v) is v and copy.deepcopy(v) is v for v in values),
        "pickle gives the object": all(pickle.loads(pickle.dumps(v, p)) is v for v in values for p in (0, 2, 5)),
        "results hold the class attributes": all(
            d["kind"] is getattr(m.LineType, repr(d["kind"]).split(".")[1])
            and d["category"] is getattr(m.Category, repr(d["category"]).split(".")[1])
            and d["destination_account"] is getattr(m.Account, repr(d["destination_account"]).split(".")[1])
            for d in out
        ),
        "module and qualname": all(
            c.__module__ == "builtins" and c.__qualname__ == c.__name__ for c in (m.LineType, m.Account, m.Category)
        ),
        "__all__": m.__all__ == ["py_get_totals", "py_reckon_lines", "py_divide_amount", "py_deliverable_lines", "py_tip_fee_lines", "LineType", "Account", "Category"],
    }
    classes, functions = (m.LineType, m.Account, m.Category), m.py_get_totals
    del sys.modules["tallyforge"]
    import tallyforge as again

    facts["reimport: a new module"] = again is not m and again.py_get_totals is not functions
    facts["reimport: the same classes"] = (again.LineType, again.Account, again.Category) == classes and again.LineType is classes[0]
    facts["reimport: old pickles load the same objects"] = pickle.loads(pickle.dumps(values)) == values and all(
        a is b for a, b in zip(pickle.loads(pickle.dumps(values)), values)
    )
    facts["reimport: results hold the same objects"] = again.py_tip_fee_lines(tip_context())[0]["kind"] is classes[0].Processing
    return facts


def immortal_values() -> list[bool]:
    """Whether the value objects of this interpreter are immortal, each kind of answer once."""
    import tallyforge as m

    immortal = getattr(sys, "_is_immortal", None) or (lambda x: sys.getrefcount(x) == sys.getrefcount(None))
    values = [v for c in (m.LineType, m.Account, m.Category) for v in vars(c).values() if type(v) is c]
    return sorted({immortal(v) for v in values})


def class_ids() -> dict[str, int]:
    panic = None
    try:
        tf.py_divide_amount("1", 1, 29)
    except BaseException as exc:  # noqa: BLE001
        panic = type(exc)
    return {"LineType": id(tf.LineType), "AddOn": id(tf.LineType.AddOn), "PanicException": id(panic)}


def panic_facts() -> dict[str, bool]:
    """A panic here is this interpreter's PanicException, outside `except Exception`."""
    caught_as_exception = False
    try:
        try:
            tf.py_divide_amount("10.00", 3, 29)
        except Exception:  # noqa: BLE001 - must not catch it
            caught_as_exception = True
    except BaseException as exc:  # noqa: BLE001
        panic = type(exc)
    try:
        tf.py_get_totals([line(1, "1,00")], 2)
    except ValueError as exc:
        value_error = type(exc) is ValueError
    return {
        "not an Exception": not caught_as_exception,
        "derives from BaseException only": panic.__bases__ == (BaseException,),
        "named as in the main interpreter": f"{panic.__module__}.{panic.__qualname__}" == "tallyforge.runtime.PanicException",
        "same class for every panic": all(type(e) is panic for e in panics()),
        "ValueError is this interpreter's": value_error,
    }


def panics() -> list[BaseException]:
    out = []
    for func, args in [(tf.py_divide_amount, ("1", 1, 29)), (tf.py_reckon_lines, ([line(1, "10"), line(2, "0", 1, "100", back_into_percentage=True)], 2))]:
        try:
            func(*args)
        except BaseException as exc:  # noqa: BLE001
            out.append(exc)
    return out


# ---- running a probe in a sub-interpreter -------------------------------------------------


def run_in(interp, probe: str, *args) -> object:
    """Calls probe(*args) of this file inside `interp` and returns what it returned."""
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "out.pickle")
        code = textwrap.dedent(f"""
            import pickle, sys
            if {TESTS!r} not in sys.path:
                sys.path.insert(0, {TESTS!r})
            import test_interpreters as probes
            with open({path!r}, "wb") as f:
                pickle.dump(probes.{probe}(*{args!r}), f)
        """)
        if isinstance(interp, int):
            failure = interpreters.exec(interp, code)
            assert failure is None, failure.formatted if failure else None
        else:
            interp.exec(code)  # raises ExecutionFailed on a failure
        with open(path, "rb") as f:
            return pickle.load(f)


def create(config: str):
    return public.create() if config == "concurrent.interpreters" else interpreters.create(config)


def destroy(interp) -> None:
    if isinstance(interp, int):
        interpreters.destroy(interp)
    else:
        interp.close()


def in_new(config: str, probe: str, *args) -> object:
    interp = create(config)
    try:
        return run_in(interp, probe, *args)
    finally:
        destroy(interp)


@pytest.fixture(scope="module")
def sub_outcomes() -> dict[str, dict[str, tuple]]:
    return {config: in_new(config, "every_outcome") for config in CONFIGS}


MAIN = every_outcome()
KINDS = list(MAIN)


@pytest.mark.parametrize("config", CONFIGS)
@pytest.mark.parametrize("kind", KINDS)
def test_every_kind_of_call_matches_the_main_interpreter(sub_outcomes, config, kind):
    assert sub_outcomes[config][kind] == MAIN[kind]


def test_the_outcomes_cover_results_and_every_kind_of_failure():
    kinds = {o[0] for o in MAIN.values()}
    raised = {o[1][0][1] for o in MAIN.values() if o[0] == "raised"}
    assert kinds == {"returned", "raised"}
    assert {"TypeError", "ValueError", "OverflowError", "KeyError", "PanicException"} <= raised
    # Notes travel too, so that a missing note inside an interpreter would show.
    assert any(o[1][0][3] for o in MAIN.values() if o[0] == "raised")


@pytest.mark.parametrize("config", CONFIGS)
def test_identity_copy_pickle_and_reimport_rules_hold_inside(config):
    facts = in_new(config, "identity_facts")
    assert facts == {name: True for name in facts}, facts


def test_identity_rules_hold_in_a_fresh_main_interpreter():
    # The same probe in the main interpreter of a fresh process (it reloads the module).
    code = f"import sys; sys.path.insert(0, {TESTS!r}); import test_interpreters as t; print(t.identity_facts())"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=child_env(), timeout=child_timeout(120))
    assert out.returncode == 0, out.stderr
    facts = eval(out.stdout)  # noqa: S307 - our own repr of a dict of bools
    assert facts and all(facts.values()), facts


FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))


def test_value_objects_of_the_main_interpreter_are_immortal_on_a_free_threaded_build():
    # Shared by every thread's results, they would otherwise take an atomic operation per
    # reference; the main interpreter ends with the process.
    assert immortal_values() == [FREE_THREADED]


@pytest.mark.parametrize("config", CONFIGS)
def test_value_objects_of_other_interpreters_are_not_immortal(config):
    # They are released when their interpreter ends (the lifecycle tests below).
    assert in_new(config, "immortal_values") == [False]


@pytest.mark.parametrize("config", CONFIGS)
def test_a_panic_inside_raises_that_interpreters_classes(config):
    facts = in_new(config, "panic_facts")
    assert facts == {name: True for name in facts}, facts
    assert panic_facts() == facts


@pytest.mark.parametrize("config", CONFIGS)
def test_each_interpreter_has_its_own_objects(config):
    # Both alive at once, so equal ids would mean one object.
    interp = create(config)
    try:
        sub = run_in(interp, "class_ids")
        main = class_ids()
        assert all(sub[name] != main[name] for name in main), (sub, main)
        assert run_in(interp, "class_ids") == sub  # and the same ones on a second visit
    finally:
        destroy(interp)
    assert class_ids() == main  # the main interpreter's objects are untouched


def ours(value) -> bool:
    """Whether a value object is this interpreter's own."""
    cls, name = repr(value).split(".")
    return value is getattr(getattr(tf, cls), name)


# Run in an interpreter that has not imported the module: 16 threads import it and use it for
# the first time at once, and write how many distinct sets of objects they saw.
FIRST_USE = """
import sys, threading
assert "tallyforge" not in sys.modules
barrier, seen = threading.Barrier(16), []

def first_use():
    barrier.wait()
    import tallyforge as m
    try:
        m.py_divide_amount("1", 1, 29)
    except BaseException as exc:
        seen.append((id(m.LineType), id(m.Category.Taxes), id(type(exc))))

threads = [threading.Thread(target=first_use) for _ in range(16)]
for t in threads:
    t.start()
for t in threads:
    t.join()
with open(PATH, "w") as f:
    f.write(f"{len(seen)} {len(set(seen))}")
"""


@pytest.mark.parametrize("config", CONFIGS)
def test_threads_making_the_first_use_inside_share_one_set(config):
    interp = create(config)
    try:
        with tempfile.TemporaryDirectory() as tmp:
            path = os.path.join(tmp, "seen")
            code = f"PATH = {path!r}\n" + FIRST_USE
            if isinstance(interp, int):
                failure = interpreters.exec(interp, code)
                assert failure is None, failure.formatted
            else:
                interp.exec(code)
            with open(path) as f:
                assert f.read() == "16 1"
    finally:
        destroy(interp)


def unpickle_lines(data: bytes) -> dict[str, object]:
    """Loads pickled line dicts here: they must hold this interpreter's value objects."""
    lines = pickle.loads(data)
    fields = ("kind", "category", "destination_account")
    return {
        "value objects are ours": all(ours(d[f]) for d in lines for f in fields),
        "totals": tf.py_get_totals(lines, 2),
    }


def pickled_lines() -> bytes:
    return pickle.dumps(bill_lines())


@pytest.mark.parametrize("config", CONFIGS)
def test_pickles_cross_interpreters_as_the_loaders_objects(config):
    expected = {"value objects are ours": True, "totals": tf.py_get_totals(bill_lines(), 2)}
    assert in_new(config, "unpickle_lines", pickled_lines()) == expected
    assert unpickle_lines(in_new(config, "pickled_lines")) == expected


def repeated_outcomes(rounds: int) -> bool:
    first = every_outcome()
    return all(every_outcome() == first for _ in range(rounds)) and first


@pytest.mark.parametrize("configs", [["isolated"] * 3, ["legacy"] * 2 + ["isolated"] * 2])
def test_several_interpreters_compute_at_once_from_threads(configs):
    interps = [create(c) for c in configs]
    results: list[object] = [None] * len(interps)
    barrier = threading.Barrier(len(interps) + 1)

    def work(i):
        barrier.wait()
        results[i] = run_in(interps[i], "repeated_outcomes", 5)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(len(interps))]
    try:
        for t in threads:
            t.start()
        barrier.wait()
        # The main interpreter keeps computing while they do.
        main = [every_outcome() for _ in range(3)]
        for t in threads:
            t.join()
    finally:
        for interp in interps:
            destroy(interp)
    assert all(m == MAIN for m in main)
    assert results == [MAIN] * len(interps)


# ---- lifecycle ---------------------------------------------------------------------------

# What each cycle runs inside its new interpreter: import, and call every function once
# (successes, failures and a panic); the same with the standard library's decimal module.
CYCLE_CODE = {
    "tallyforge": """
import tallyforge as tf
line = {"id": 1, "priority": 0, "kind": tf.LineType.AddOn, "amount": "1.005", "description": "",
        "frozen_value": None, "percentage": "0", "category": tf.Category.Taxes,
        "destination_user_id": None, "destination_account": tf.Account.Card,
        "back_into_percentage": False}
tf.py_get_totals([line], 2)
tf.py_reckon_lines([line], 2)
tf.py_divide_amount("10.00", 3, 2)
for call in (lambda: tf.py_tip_fee_lines({}), lambda: tf.py_deliverable_lines(None),
             lambda: tf.py_divide_amount("1", 1, 29), lambda: tf.py_get_totals("x", 2)):
    try:
        call()
    except BaseException:
        pass
""",
    "_decimal": """
import decimal
decimal.Decimal("1.005").quantize(decimal.Decimal("0.01")) + decimal.Decimal(3) / 7
""",
    # What the interpreter itself leaves behind per cycle (some CPython versions leave
    # megabytes with every isolated interpreter).
    "nothing": "pass",
}


def cycles(module: str, config: str, n: int) -> None:
    for _ in range(n):
        interp = interpreters.create(config)
        try:
            failure = interpreters.exec(interp, CYCLE_CODE[module])
        finally:
            interpreters.destroy(interp)
        assert failure is None, failure.formatted


def rss() -> int:
    """Resident memory now, or where /proc is not mounted (the 3.14 chroot) the peak so far,
    which a loop that only grows moves alike."""
    try:
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    except OSError:
        import resource

        return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def lifecycle_growth(config: str, n: int) -> dict[str, int]:
    """Resident memory gained over n create/import/call/close cycles, per module."""
    out = {}
    for module in ("nothing", "_decimal", "tallyforge"):
        cycles(module, config, 10)  # warm-up: the process's own caches
        gc.collect()
        before = rss()
        cycles(module, config, n)
        gc.collect()
        out[module] = rss() - before
    return out


# Isolated interpreters cost more memory while they live (an allocator of their own).
CYCLES = {"isolated": 200, "legacy": 200}


@pytest.mark.parametrize("config", ["isolated", "legacy"])
def test_create_import_call_close_loop_grows_no_more_than_decimal(config):
    # In a process of its own, so that nothing else of the test run moves its memory.
    # Under a sanitizer or an emulator: the cycles, not the memory (200 of them take some six
    # minutes emulated; the block count below still sees a lost interpreter's objects).
    cycles_only = SANITIZED or EMULATED
    n = 20 if cycles_only else CYCLES[config]
    code = f"import sys; sys.path.insert(0, {TESTS!r}); import test_interpreters as t; print(t.lifecycle_growth({config!r}, {n}))"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=child_env(), timeout=child_timeout(600))
    assert out.returncode == 0, out.stderr
    growth = eval(out.stdout)  # noqa: S307 - our own repr of a dict of ints
    if cycles_only:
        return  # the cycles ran clean; too few to weigh, or malloc with a sanitizer's quarantine
    ours, decimal = growth["tallyforge"] - growth["nothing"], growth["_decimal"] - growth["nothing"]
    # Losing the classes, value objects and key strings of every interpreter would be some
    # 30 kB a cycle: 6 MB or more here.
    assert ours <= max(decimal, 0) + 2 * 1024 * 1024, growth


def lifecycle_blocks(config: str, n: int) -> dict[str, float]:
    """Allocated blocks gained per create/import/call/close cycle, per module."""
    out = {}
    for module in ("nothing", "tallyforge"):
        cycles(module, config, 10)
        gc.collect()
        before = sys.getallocatedblocks()
        cycles(module, config, n)
        gc.collect()
        out[module] = (sys.getallocatedblocks() - before) / n
    return out


@pytest.mark.parametrize("config", ["isolated", "legacy"])
@pytest.mark.skipif(SANITIZED, reason="the C allocator counts no blocks")
def test_an_interpreter_gives_back_its_value_objects_and_classes(config):
    # The blocks an ended interpreter leaves stay counted in the process, so this sees
    # what the resident memory above cannot: keeping only the value objects of each
    # interpreter's three classes leaves some 175 blocks a cycle.
    code = f"import sys; sys.path.insert(0, {TESTS!r}); import test_interpreters as t; print(t.lifecycle_blocks({config!r}, {20 if EMULATED else 40}))"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=child_env(), timeout=child_timeout(600))
    assert out.returncode == 0, out.stderr
    growth = eval(out.stdout)  # noqa: S307 - our own repr of a dict of floats
    assert growth["tallyforge"] - growth["nothing"] < 50, growth


def test_the_main_interpreter_keeps_working_while_interpreters_come_and_go():
    before = every_outcome()
    for config in CONFIGS * 2:
        interp = create(config)
        try:
            assert run_in(interp, "every_outcome") == before
        finally:
            destroy(interp)
        assert every_outcome() == before
    assert all(ours(d["kind"]) for d in tf.py_tip_fee_lines(tip_context()))


# ---- InterpreterPoolExecutor (3.14) --------------------------------------------------------

# Calls whose arguments pickle by value (the pool pickles arguments, results and exceptions).
POOL_KINDS = [
    "totals", "totals frozen", "reckon", "divide", "tip", "deliverable escrow", "deliverable table",
    "deliverable soft failure", "str for a list", "quantization out of range", "amount of wrong type",
    "enum of wrong class", "missing key", "nested field error", "parse error", "improperly quantized",
    "pricing missing", "plan not found", "panic: quantization 29",
]


def pooled_outcome(future) -> tuple:
    try:
        result = future.result()
    except BaseException as exc:  # noqa: BLE001
        return ("raised", describe(exc)[:1])
    return ("returned", repr(result))


def direct_outcome(func, args, kwargs) -> tuple:
    try:
        result = func(*args, **kwargs)
    except BaseException as exc:  # noqa: BLE001
        return ("raised", describe(exc)[:1])
    return ("returned", repr(result))


@pytest.mark.skipif(public is None, reason="InterpreterPoolExecutor is new in 3.14")
def test_interpreter_pool_gives_what_direct_calls_give():
    kinds = call_kinds()
    with InterpreterPoolExecutor(max_workers=2) as pool:
        futures = {name: pool.submit(kinds[name][0], *kinds[name][1], **kinds[name][2]) for name in POOL_KINDS}
        pooled = {name: pooled_outcome(f) for name, f in futures.items()}
    for name in POOL_KINDS:
        direct = direct_outcome(*kinds[name])
        if name.startswith("panic"):
            # PanicException is not importable by name, so it cannot be pickled back: the pool
            # reports it as ExecutionFailed, naming it and its message.
            kind, [(module, qualname, args, _)] = pooled[name]
            assert (module, qualname) == ("concurrent.interpreters", "ExecutionFailed")
            assert "tallyforge.runtime.PanicException: " + eval(direct[1][0][2])[0] in args  # noqa: S307
        else:
            assert pooled[name] == direct, name
    # Lines that come back hold this interpreter's value objects.
    with InterpreterPoolExecutor(max_workers=1) as pool:
        lines = pool.submit(tf.py_deliverable_lines, deliverable_context(escrow_enabled=True)).result()
    assert lines and all(ours(d[f]) for d in lines for f in ("kind", "category", "destination_account"))
