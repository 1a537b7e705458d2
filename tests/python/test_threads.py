"""Calls from many threads at once give the results of serial calls; a list changed by one
thread while others read it gives consistent results; and many threads making the first use
of the module in a fresh process all get the same module."""

from __future__ import annotations

import subprocess
import sys
import textwrap
import threading
from concurrent.futures import ThreadPoolExecutor
from decimal import Decimal, localcontext

import tallyforge as tf
from conftest import call_kinds, child_env, child_timeout, line, outcome

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
            shared.append(line(1000 + i, "1.005", i % 4))
            shared[i % len(shared)] = line(2000 + i, "-0.25", i % 2)
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
