"""Calls from many threads at once give the results of serial calls; a list, or the dicts in
it, changed by one thread while others read them gives consistent results; calls in a thread
other than the importing one leave every reference count as it was; and many threads making
the first use of the module in a fresh process all get the same module."""

from __future__ import annotations

import json
import subprocess
import sys
import textwrap
import threading
from concurrent.futures import ThreadPoolExecutor
from decimal import Decimal, localcontext
from pathlib import Path

import pytest

import tallyforge as tf
from conftest import call_kinds, child_env, child_timeout, deliverable_context, line, outcome
from tallyforge import Account, Category, LineType

THREADS = 12
ROUNDS = 40  # passes over every kind of call per thread


def test_concurrent_calls_match_serial_calls():
    kinds = list(call_kinds().values())  # shared by all threads
    expected = [outcome(*kind) for kind in kinds]
    barrier = threading.Barrier(THREADS)

    def worker(offset):
        barrier.wait()
        seen = []
        for r in range(ROUNDS * len(kinds)):
            k = (offset * 7 + r) % len(kinds)
            seen.append((k, outcome(*kinds[k])))
        return seen

    with ThreadPoolExecutor(THREADS) as pool:
        results = list(pool.map(worker, range(THREADS)))
    mismatches = [(k, got) for seen in results for k, got in seen if got != expected[k]]
    assert not mismatches
    assert sum(map(len, results)) == THREADS * ROUNDS * len(kinds)


def test_list_changed_by_another_thread_while_read():
    shared = [line(i, "0.335", i % 3) for i in range(1, 60)]
    stop = threading.Event()

    def writer():
        i = 0
        while not stop.is_set():
            i += 1
            # Ids of their own (lines sharing an id share one subtotal), however far the
            # writer gets: on a free-threaded build it passes i = 1000 while the readers run.
            shared.append(line(1_000_000 + i, "1.005", i % 4))
            shared[i % len(shared)] = line(2_000_000 + i, "-0.25", i % 2)
            if len(shared) > 80:
                del shared[:20]
            if i % 50 == 0:
                shared.reverse()

    def reader(_):
        for _ in range(150):
            out = tf.py_get_totals(shared, 2)
            with localcontext(prec=60):
                assert sum(map(Decimal, out["subtotals"].values())) == Decimal(out["total"])
            tf.py_reckon_lines(shared, 2)

    thread = threading.Thread(target=writer)
    thread.start()
    try:
        with ThreadPoolExecutor(8) as pool:
            list(pool.map(reader, range(8)))
    finally:
        stop.set()
        thread.join()


def test_dicts_changed_by_another_thread_while_read():
    # The values a line's dict holds are replaced while other threads read it: the texts by
    # new ones, the value objects by others (which a free-threaded build's fast reading holds
    # without a reference of its own). Exact dicts and a dict subclass (the general reading).
    kinds = [LineType.AddOn, LineType.Extra, LineType.Bonus]
    categories = [Category.Payment, Category.Taxes]
    accounts = [Account.Escrow, Account.Fund]

    class Slow(dict):
        pass

    shared = [line(i, "1.00", i % 3) for i in range(1, 40)] + [Slow(line(100 + i, "2.50")) for i in range(5)]
    stop = threading.Event()

    def writer():
        i = 0
        while not stop.is_set():
            i += 1
            d = shared[i % len(shared)]
            d["amount"] = f"{i % 50}.{i % 100:02d}"
            d["kind"] = kinds[i % 3]
            d["category"] = categories[i % 2]
            d["destination_account"] = accounts[i % 2]

    def reader(_):
        for _ in range(150):
            out = tf.py_get_totals(shared, 2)
            with localcontext(prec=60):
                assert sum(map(Decimal, out["subtotals"].values())) == Decimal(out["total"])
            lines = tf.py_deliverable_lines(deliverable_context(extra_lines=shared[:4]))
            assert {type(x["kind"]) for x in lines} == {LineType}

    thread = threading.Thread(target=writer)
    thread.start()
    try:
        with ThreadPoolExecutor(8) as pool:
            list(pool.map(reader, range(8)))
    finally:
        stop.set()
        thread.join()


# Every kind of call, repeated in a thread other than the one that imported the module (whose
# objects the value objects are, as in a server's request handlers), must leave the reference
# counts of the value objects and of every object its arguments hold as they were: a reference
# taken and not given back, or given back and not taken, moves them. In a child, so that no
# other thread (pytest-run-parallel's) calls at the same time.
COUNTS = textwrap.dedent(
    """
    import gc, json, sys, threading
    sys.path.insert(0, sys.argv[1])
    import tallyforge as tf
    from conftest import call_kinds, deliverable_context, line

    class Slow(dict):
        pass

    kinds = call_kinds()
    bill = [line(1, "100.00"), line(2, "0.335", 1, "10"), line(3, "-0.50", 2, "3", back_into_percentage=True)]
    kinds["totals, dict subclasses"] = (tf.py_get_totals, ([Slow(x) for x in bill], 2), {})
    kinds["deliverable, dict subclass"] = (tf.py_deliverable_lines, (Slow(deliverable_context(extra_lines=bill)),), {})
    kinds["deliverable, one line"] = (tf.py_deliverable_lines, (deliverable_context(plan_name="Basic", base_price="0"),), {})
    values = [v for c in (tf.LineType, tf.Account, tf.Category) for v in vars(c).values() if type(v) is c]

    def held(obj, out):
        out.append(obj)
        if isinstance(obj, dict):
            for v in obj.values():
                held(v, out)
        elif isinstance(obj, (list, tuple)):
            for v in obj:
                held(v, out)
        return out

    moved = {}

    def run():
        for name, (func, args, kwargs) in kinds.items():
            watched = values + held(list(args), []) + held(list(kwargs.values()), [])
            def calls(n):
                for _ in range(n):
                    try:
                        func(*args, **kwargs)
                    except BaseException:
                        pass
            calls(2)
            gc.collect()
            before = [sys.getrefcount(x) for x in watched]
            calls(50)
            gc.collect()
            after = [sys.getrefcount(x) for x in watched]
            changed = [(repr(x)[:40], a - b) for x, b, a in zip(watched, before, after) if a != b]
            if changed:
                moved[name] = changed

    thread = threading.Thread(target=run)
    thread.start()
    thread.join()
    print(json.dumps(moved))
    """
)


def test_calls_in_another_thread_leave_reference_counts_unchanged():
    tests = str(Path(__file__).resolve().parent)
    result = subprocess.run([sys.executable, "-c", COUNTS, tests], capture_output=True, text=True,
                            timeout=child_timeout(120), env=child_env())
    assert result.returncode == 0, result.stderr
    assert json.loads(result.stdout) == {}


FREE_THREADED_313 = sys.version_info[:2] == (3, 13) and not getattr(sys, "_is_gil_enabled", lambda: True)()


@pytest.mark.skipif(not FREE_THREADED_313, reason="how 3.13 counts references to module functions with the GIL off")
def test_functions_are_counted_as_a_method_tables_are():
    # A module function from a method table has its references counted the interpreter's own
    # way (on 3.13, made immortal once a second thread starts, as math.sqrt is); a function
    # object made otherwise would take an atomic operation per call from every thread.
    code = textwrap.dedent(
        """
        import math, sys, threading
        import tallyforge as tf
        threading.Thread(target=lambda: None).start()
        counts = {name: sys.getrefcount(getattr(tf, name)) for name in tf.__all__ if name.startswith("py_")}
        print(counts == dict.fromkeys(counts, sys.getrefcount(math.sqrt)), counts)
        """
    )
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                            timeout=child_timeout(60), env=child_env())
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("True"), result.stdout


FIRST_USE = textwrap.dedent(
    """
    import sys, threading
    N = int(sys.argv[1])
    barrier = threading.Barrier(N)
    results = [None] * N

    def first_use(i):
        barrier.wait()
        import tallyforge as tf
        try:
            tf.py_divide_amount("1", 1, 29)
        except BaseException as exc:
            panic = type(exc)
        line = {"id": 1, "priority": 0, "kind": tf.LineType.BasePrice, "amount": "10.005",
                "description": "", "frozen_value": None, "percentage": "0",
                "category": tf.Category.Payment, "destination_user_id": None,
                "destination_account": tf.Account.Escrow, "back_into_percentage": False}
        results[i] = (id(tf), id(tf.LineType), id(tf.Account.Fund), id(panic),
                      tf.py_get_totals([line], 2)["total"], tf.py_divide_amount("10.00", 3, 2))

    threads = [threading.Thread(target=first_use, args=(i,)) for i in range(N)]
    for t in threads: t.start()
    for t in threads: t.join()
    assert len(set(map(repr, results))) == 1, results
    print(results[0][4:])
    """
)


def test_many_threads_make_the_first_use_in_a_fresh_process():
    result = subprocess.run(
        [sys.executable, "-c", FIRST_USE, "32"], capture_output=True, text=True, timeout=child_timeout(120), env=child_env()
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "('10.00', ['3.34', '3.33', '3.33'])"
