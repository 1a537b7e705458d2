"""Calls from many threads at once give the results of serial calls; dicts and lists that other
threads rewrite while a call reads them give well-formed results or the usual exceptions; value
objects copy and pickle to themselves while others compute; and many threads making the first
use of the module in a fresh process all get the same module, classes and value objects; and
calls in a thread other than the importing one leave every reference count as it was."""

from __future__ import annotations

import copy
import importlib.util
import json
import pickle
import random
import subprocess
import sys
import textwrap
import threading
import time
from concurrent.futures import ThreadPoolExecutor
from decimal import ROUND_DOWN, Decimal, InvalidOperation, localcontext
from pathlib import Path
from typing import Any, Callable

import pytest

import tallyforge as tf
from conftest import (
    EMULATED,
    LINE_KEYS,
    call_kinds,
    child_env,
    child_timeout,
    deliverable_context,
    line,
    outcome,
    plan,
    pricing,
    tip_context,
)
from tallyforge import Account, Category, LineType

pytestmark = pytest.mark.thread_unsafe(
    reason="starts threads of its own on shared objects, bounded by time, and sets the switch interval"
)

THREADS = 12
ROUNDS = 40  # passes over every kind of call per thread
SECONDS = 2.0 if EMULATED else 0.6  # how long the writers of one table row keep writing


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


# --- shared dicts and lists rewritten while they are read ----------------------------------
#
# Writers replace values with objects built at run time (so that the dict or list holds the only
# reference and the old value is freed as it is replaced), pop keys and add them again, swap in a
# value of a wrong type for a moment, and grow, shrink and empty lists. Readers call the module
# with the shared objects and check every outcome: a well-formed result, or one of the exceptions
# that input of that shape gives.

AMOUNTS = ("10.00", "0.335", "1.005", "-0.50", "2.25", "100", "0", "12.345", "-3.007", "0.01", "7.5")
PERCENTS = ("0", "1.5", "2.25", "3", "10")  # far from 100, where backing into a percentage divides by zero
NOT_NUMBERS = ("1,00", "abc", "１.00", "")
DESCRIPTIONS = ("", "Table service", "café ☕", "Überweisung", "tea for two")
PLAN_NAMES = ("Pro", "Basic", "pro", "Prö")
TEXTS = {*AMOUNTS, *PERCENTS, *NOT_NUMBERS, *DESCRIPTIONS, *PLAN_NAMES}
KEY_NAMES = {*LINE_KEYS, *plan(), *pricing(), *tip_context(), *deliverable_context()}
FEES = [-7, -9, -8, -10]  # card, payout, cross-border transfer, connect


def fresh(text: str) -> str:
    """An equal str built at run time: a new object, unless it has fewer than two characters (the
    interpreter shares those)."""
    return "".join([text[:1], text[1:]])


def fresh_int(number: int) -> int:
    """An equal int that is a new object outside the interpreter's small ints."""
    return int(f"{number}")


def new_line(line_id: int, rng: random.Random) -> dict:
    return line(fresh_int(line_id), fresh(rng.choice(AMOUNTS)), fresh_int(rng.choice((0, 1, 2, 700))), fresh(rng.choice(PERCENTS)))


# The values a writer gives each key: a usable one, and a wrong one that it puts there for a
# moment only (so that most calls still get through).
LINE_VALUES: dict[str, tuple[Callable[[random.Random, int], Any], Any]] = {
    "id": (lambda rng, i: fresh_int(i), str(2**31)),
    "priority": (lambda rng, i: fresh_int(rng.choice((0, 1, 2, 700))), 2**40),
    "kind": (lambda rng, i: rng.choice((LineType.AddOn, LineType.Tip, LineType.BasePrice)), Category.Payment),
    "amount": (lambda rng, i: fresh(rng.choice(AMOUNTS)), 5),
    "description": (lambda rng, i: fresh(rng.choice(DESCRIPTIONS)), 1.5),
    "frozen_value": (lambda rng, i: rng.choice((None, fresh(rng.choice(AMOUNTS)))), b"1.00"),
    "percentage": (lambda rng, i: fresh(rng.choice(PERCENTS)), None),
    "category": (lambda rng, i: rng.choice((Category.Payment, Category.Taxes)), Account.Fund),
    "destination_user_id": (lambda rng, i: rng.choice((None, fresh_int(10**12 + i))), "7"),
    "destination_account": (lambda rng, i: rng.choice((Account.Escrow, Account.Fund)), 313),
    "back_into_percentage": (lambda rng, i: rng.random() < 0.2, 1),
}


def rewrite(d: dict, key: str, good: Callable[[], Any], wrong: Any, rng: random.Random) -> None:
    """One writer step on one key of a shared dict; the key ends with a usable value."""
    r = rng.random()
    if r < 0.015:
        if r < 0.005:
            d[key] = wrong
        elif r < 0.0075:
            d[key] = fresh(rng.choice(NOT_NUMBERS))  # a text that is no number, or a str where none belongs
        else:
            # Missing for a moment, then added again at the end of the dict under a key that is
            # a new, uninterned str: a reader finds it by its text, and it is freed when popped.
            d.pop(key, None)
            time.sleep(0)
            d[fresh(key)] = good()
            return
        time.sleep(0)  # lets the readers run (with a GIL, too) while the key is so
    d[key] = good()


def rewrite_line(d: dict, line_id: int, rng: random.Random) -> None:
    key = rng.choice(LINE_KEYS)
    good, wrong = LINE_VALUES[key]
    rewrite(d, key, lambda: good(rng, line_id), wrong, rng)


def context_values(shared: dict) -> dict[str, tuple[Callable[[random.Random], Any], Any]]:
    schedule = shared["pricing"]
    return {
        "base_price": (lambda rng: fresh(rng.choice(AMOUNTS)), 10),
        "table_product": (lambda rng: rng.random() < 0.5, 1),
        "escrow_enabled": (lambda rng: rng.random() < 0.5, None),
        "international": (lambda rng: rng.random() < 0.5, "yes"),
        "extra_lines": (lambda rng: [new_line(5000 + k, rng) for k in range(rng.randint(0, 3))], "abc"),
        "plan_name": (lambda rng: rng.choice((None, fresh("Pro"), fresh("Pro"), fresh(rng.choice(PLAN_NAMES)))), 5),
        "pricing": (lambda rng: rng.choice((schedule, schedule, None, pricing(plans=[plan(name=fresh("Pro"))]))), []),
        "user_id": (lambda rng: fresh_int(rng.randint(10**6, 10**7)), "42"),
        "allow_soft_failure": (lambda rng: rng.random() < 0.5, 0),
        "quantization": (lambda rng: rng.choice((0, 2, 3)), 2**33),
    }


def pricing_values() -> dict[str, tuple[Callable[[random.Random], Any], Any]]:
    texts = lambda rng: fresh(rng.choice(AMOUNTS + PERCENTS))  # noqa: E731
    out = {key: (texts, 1) for key in pricing() if key not in ("plans", "preferred_plan")}
    out["plans"] = (lambda rng: [plan(name=fresh(name)) for name in ("Pro", rng.choice(PLAN_NAMES))], "Pro")
    out["preferred_plan"] = (lambda rng: fresh(rng.choice(PLAN_NAMES)), None)
    return out


PLAN_VALUES: dict[str, tuple[Callable[[random.Random], Any], Any]] = {
    "id": (lambda rng: fresh_int(rng.randint(1000, 2000)), 2**31),
    "connection_fee_waived": (lambda rng: rng.random() < 0.5, 0),
    "per_deliverable_price": (lambda rng: fresh(rng.choice(AMOUNTS)), 1.0),
    "max_simultaneous_orders": (lambda rng: fresh_int(rng.randint(300, 65535)), 65536),
    "waitlisting": (lambda rng: rng.random() < 0.5, "no"),
    "paypal_invoicing": (lambda rng: rng.random() < 0.5, None),
    "shield_static_price": (lambda rng: fresh(rng.choice(AMOUNTS)), 0.75),
    "shield_percentage_price": (lambda rng: fresh(rng.choice(PERCENTS)), 5),
}


def plan_values(name: str) -> dict[str, tuple[Callable[[random.Random], Any], Any]]:
    """The values of a plan that is mostly called `name`."""
    return {"name": (lambda rng: fresh(rng.choice((name, name, name, *PLAN_NAMES))), 3), **PLAN_VALUES}


def rewrite_any(d: dict, table: dict, rng: random.Random) -> None:
    key = rng.choice(list(table))
    good, wrong = table[key]
    rewrite(d, key, lambda: good(rng), wrong, rng)


def change_list(items: list, make: Callable[[random.Random], Any], rng: random.Random) -> None:
    """One writer step on a shared list. Elements move both ways (insertions, reversal), so a
    reader may meet one twice, as iteration would; the elements are never changed, so it meets an
    equal line, which a bill counts once."""
    try:
        change_list_once(items, make, rng)
    except (IndexError, ValueError):
        pass  # the other writer emptied the list between this one's looking and changing


def change_list_once(items: list, make: Callable[[random.Random], Any], rng: random.Random) -> None:
    if len(items) > 40:
        del items[: len(items) // 2]
        return
    r = rng.random()
    if r < 0.2 or len(items) < 2:
        items.append(make(rng))
    elif r < 0.3:
        items.insert(rng.randrange(len(items)), make(rng))
    elif r < 0.45:
        items.pop()
    elif r < 0.55:
        items.pop(0)
    elif r < 0.7:
        i = rng.randrange(len(items))
        j = rng.randint(i, len(items))
        items[i:j] = [make(rng) for _ in range(rng.randint(0, 4))]
    elif r < 0.8:
        items[rng.randrange(len(items))] = make(rng)
    elif r < 0.82:
        items.clear()
    elif r < 0.84:
        items[:] = [make(rng) for _ in range(rng.randint(0, 8))]
    elif r < 0.87:
        items.reverse()
    elif r < 0.885:
        # An element of a wrong type, for a moment: taken out again wherever it has moved to
        # (list.remove finds it under the list's lock; the writers never read the list without it).
        wrong = rng.choice((lambda: [None], lambda: fresh_int(10**9), lambda: fresh("line")))()
        items[rng.randrange(len(items))] = wrong
        time.sleep(0)
        items.remove(wrong)
    else:
        del items[rng.randrange(len(items))]


# --- checking an outcome ---------------------------------------------------------------


def known_text(text: Any) -> bool:
    """A text that a writer put in, or one that the module made (a decimal)."""
    if type(text) is not str:
        return False
    try:
        return text in TEXTS or Decimal(text).is_finite()
    except InvalidOperation:
        return False


def places(text: str) -> int:
    assert type(text) is str
    return -min(Decimal(text).as_tuple().exponent, 0)


def check_exception(exc: BaseException) -> None:
    assert type(exc) in (TypeError, ValueError, KeyError, OverflowError), repr(exc)
    chain, seen = exc, []
    while chain is not None and len(seen) < 10:
        seen.append(type(chain))
        chain = chain.__cause__ or chain.__context__
    assert SystemError not in seen, repr(exc)
    if type(exc) is ValueError:
        assert len(exc.args) == 1 and type(exc.args[0]) is str and exc.args[0], repr(exc)
    if type(exc) is KeyError:
        assert exc.args[0] in KEY_NAMES, repr(exc)


def check_line(d: Any) -> None:
    assert type(d) is dict and list(d) == list(LINE_KEYS), d
    assert type(d["id"]) is int and type(d["priority"]) is int, d
    for key, cls in (("kind", LineType), ("category", Category), ("destination_account", Account)):
        value = d[key]
        assert type(value) is cls and getattr(cls, repr(value).split(".", 1)[1]) is value, d
    assert known_text(d["amount"]) and known_text(d["percentage"]) and d["description"] in TEXTS, d
    assert d["frozen_value"] is None or known_text(d["frozen_value"]), d
    assert d["destination_user_id"] is None or type(d["destination_user_id"]) is int, d
    assert type(d["back_into_percentage"]) is bool, d


def check_totals(out: Any, q: int = 2) -> None:
    assert type(out) is dict and list(out) == ["total", "discount", "subtotals"], out
    assert places(out["total"]) <= q and places(out["discount"]) <= q, out
    subtotals = out["subtotals"]
    assert type(subtotals) is dict and all(type(k) is int and k > 0 for k in subtotals), out
    with localcontext(prec=80):
        added = sum(map(Decimal, subtotals.values()), Decimal(0))
        total = Decimal(out["total"])
        # A computed bill's lines add up to the total; a bill whose lines are all frozen keeps
        # their values and only cuts the total.
        assert added == total or added.quantize(Decimal(1).scaleb(-q), ROUND_DOWN) == total, out


def check_reckoned(out: Any) -> None:
    assert type(out) is str and Decimal(out).is_finite(), out


def check_tip(out: Any) -> None:
    assert type(out) is list and [d["id"] for d in out] in ([-1, -7, -9], [-1, -7, -9, -8]), out
    for d in out:
        check_line(d)


def check_deliverable(out: Any) -> None:
    assert type(out) is list, out
    for d in out:
        check_line(d)
    ids = [d["id"] for d in out]
    generated = ids[: next((k for k, i in enumerate(ids) if i > 0), len(ids))]
    assert all(i > 0 for i in ids[len(generated):]), ids  # the extra lines, at the end
    rest = generated[1:] if generated[:1] == [-1] else generated
    for middle in ([-3, -4], [-5], [-6]):  # table, shield or tracking
        if rest[: len(middle)] == middle:
            rest = rest[len(middle):]
            break
    fees = iter(FEES)
    assert all(i in fees for i in rest), ids  # fee lines in their order


def check_shares(out: Any, amount: str, divisor: int, q: int = 2) -> None:
    assert type(out) is list and len(out) == divisor, out
    shares = [Decimal(s) for s in out]
    assert all(places(s) <= q for s in out), out
    with localcontext(prec=80):
        assert sum(shares) == Decimal(amount), out
    assert max(shares) - min(shares) <= Decimal(1).scaleb(-q), out


# --- running writers against readers -------------------------------------------------------

Reader = tuple[Callable[[], Any], Callable[[Any], None]]


def hammer(writers: list[Callable[[random.Random], None]], readers: list[Reader], seconds: float = SECONDS) -> dict[str, int]:
    """Runs each writer and each reader in its own thread, all at once, until the time is up and
    every writer has made some changes (on a busy machine a thread may wait long for its turn),
    or at most twenty times as long; every outcome a reader sees is checked. Returns how many
    calls returned and how many raised."""
    stop = threading.Event()
    barrier = threading.Barrier(len(writers) + len(readers))
    steps = [0] * len(writers)  # each writer counts its own changes

    def write(k: int) -> int:
        rng = random.Random(k)
        barrier.wait()
        while not stop.is_set() and steps[k] < 2_000_000:
            writers[k](rng)
            steps[k] += 1
        return steps[k]

    def read(k: int) -> dict[str, int]:
        call, check = readers[k]
        tally = {"returned": 0, "raised": 0}
        barrier.wait()
        start = time.monotonic()  # when all threads have started
        try:
            for _ in range(1_000_000):
                elapsed = time.monotonic() - start
                if elapsed > seconds and min(steps) >= 100 or elapsed > 20 * seconds:
                    break
                try:
                    result = call()
                except (TypeError, ValueError, KeyError, OverflowError) as exc:
                    check_exception(exc)
                    tally["raised"] += 1
                else:
                    check(result)
                    tally["returned"] += 1
        finally:
            stop.set()  # the first reader done (or failing) ends the writing
        return tally

    switch = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)  # with a GIL: switch threads often, for more interleavings
    try:
        with ThreadPoolExecutor(len(writers) + len(readers)) as pool:
            written = [pool.submit(write, k) for k in range(len(writers))]
            read_ = [pool.submit(read, k) for k in range(len(readers))]
            tallies = [f.result() for f in read_]
            assert all(f.result() > 0 for f in written)
    finally:
        stop.set()
        sys.setswitchinterval(switch)
    return {key: sum(t[key] for t in tallies) for key in ("returned", "raised")}


def totals_readers(bill: list) -> list[Reader]:
    return [
        (lambda: tf.py_get_totals(bill, 2), check_totals),
        (lambda: tf.py_get_totals(lines=bill, quantization=2), check_totals),
        (lambda: tf.py_reckon_lines(bill, 2), check_reckoned),
    ]


def deliverable_reader(context: dict) -> Reader:
    return lambda: tf.py_deliverable_lines(context), check_deliverable


def tip_reader(context: dict) -> Reader:
    return lambda: tf.py_tip_fee_lines(context), check_tip


# Each case gives its writers and its readers, which share the objects the writers change.


def case_line_values():
    bill = [line(1000 + i, fresh(AMOUNTS[i % len(AMOUNTS)]), i % 3, PERCENTS[i % 2]) for i in range(12)]

    def writer(rng: random.Random) -> None:
        i = rng.randrange(len(bill))
        rewrite_line(bill[i], 1000 + i, rng)  # a line keeps its id: the subtotals must add up

    return [writer] * 2, [*totals_readers(bill), deliverable_reader(deliverable_context(extra_lines=bill))]


def case_context_values():
    context = deliverable_context(extra_lines=[line(3000, "1.00")])
    tip = tip_context(pricing=context["pricing"])
    table = context_values(context)
    schedule = tip["pricing"]
    tip_table = {key: table[key] for key in ("international", "quantization")}
    tip_table["pricing"] = (lambda rng: rng.choice((schedule, schedule, None)), "pricing")
    writers = [lambda rng: rewrite_any(context, table, rng), lambda rng: rewrite_any(tip, tip_table, rng)]
    return writers, [deliverable_reader(context), tip_reader(tip)] * 2


def case_pricing_values():
    shared = pricing()
    table = pricing_values()
    flags = ({}, {"escrow_enabled": True, "international": True}, {"table_product": True})
    readers = [deliverable_reader(deliverable_context(pricing=shared, **f)) for f in flags]
    return [lambda rng: rewrite_any(shared, table, rng)] * 2, [*readers, tip_reader(tip_context(pricing=shared, international=True))]


def case_plan_values():
    plans = [plan(), plan(id=2, name="Basic")]
    shared = pricing(plans=plans)
    tables = [plan_values("Pro"), plan_values("Basic")]

    def writer(rng: random.Random) -> None:
        k = rng.randrange(2)
        rewrite_any(plans[k], tables[k], rng)

    readers = [deliverable_reader(deliverable_context(pricing=shared, plan_name=name, escrow_enabled=True)) for name in ("Pro", "Basic")]
    return [writer] * 2, readers * 2


def case_lines_list():
    bill = [line(10 + i, "0.335", i % 3) for i in range(20)]
    # Every line gets an id of its own (each writer draws from its own range): lines sharing an
    # id would share one entry of the subtotals, which then need not add up to the total.
    ids = [iter(range(10**8 * k, 10**8 * (k + 1))) for k in (1, 2)]
    writers = [lambda rng, k=k: change_list(bill, lambda rng: new_line(next(ids[k]), rng), rng) for k in (0, 1)]
    return writers, [*totals_readers(bill), deliverable_reader(deliverable_context(extra_lines=bill, escrow_enabled=True))]


def case_plans_list():
    plans = [plan(), plan(id=2, name="Basic")]
    shared = pricing(plans=plans)

    def make(rng: random.Random) -> dict:
        return plan(id=fresh_int(rng.randint(300, 400)), name=fresh(rng.choice(PLAN_NAMES)))

    readers = [deliverable_reader(deliverable_context(pricing=shared, plan_name=name, allow_soft_failure=soft)) for name, soft in (("Pro", False), ("Basic", True))]
    return [lambda rng: change_list(plans, make, rng)] * 2, [*readers * 2, tip_reader(tip_context(pricing=shared))]


def case_divided_amounts():
    # The texts divided are built by writers and dropped by them at once: each call holds the
    # only other reference to its amount.
    amounts = [fresh(a) for a in ("1000.00", "-7.01", "0.05", "12.34")]

    def writer(rng: random.Random) -> None:
        amounts[rng.randrange(len(amounts))] = fresh(rng.choice(("1000.00", "-7.01", "0.05", "12.34", "99999.99")))

    def reader(divisor: int) -> Reader:
        picked: list[str] = []

        def call() -> Any:
            picked[:] = [amounts[divisor % len(amounts)]]
            return tf.py_divide_amount(picked[0], divisor, 2)

        return call, lambda out: check_shares(out, picked[0], divisor)

    return [writer] * 2, [reader(d) for d in (3, 7, 1, 12)]


def case_module_objects():
    # New module objects of the extension are made (each runs the module's setup again, which
    # looks up the interpreter's shared objects) and dropped while calls run and value objects
    # are pickled, which imports the module by name.
    spec = importlib.util.find_spec("tallyforge")
    bill = [line(1, "0.335"), line(2, "0.335", 1, "3"), line(3, "-1.005", 2)]

    def writer(rng: random.Random) -> None:
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        assert module is not tf and module.LineType is LineType and module.__all__ == tf.__all__

    def pickled() -> Any:
        return [pickle.loads(pickle.dumps(v)) is v for v in VALUE_OBJECTS]

    readers = [*totals_readers(bill), (pickled, lambda out: all(out) or pytest.fail("a value object unpickled to another object"))]
    return [writer] * 2, readers


CASES = {
    "line values": case_line_values,
    "context values": case_context_values,
    "pricing values": case_pricing_values,
    "plan values": case_plan_values,
    "lines list": case_lines_list,
    "plans list": case_plans_list,
    "divided amounts": case_divided_amounts,
    "module objects made and dropped": case_module_objects,
}


@pytest.mark.parametrize("case", CASES.values(), ids=CASES)
def test_shared_objects_rewritten_while_calls_read_them(case):
    writers, readers = case()
    tally = hammer(writers, readers)
    # Both kinds of outcome occurred where the writers put wrong values in: they reached the calls.
    assert tally["returned"] > 0
    assert tally["raised"] > 0 or case in (case_divided_amounts, case_module_objects)


# --- value objects copied and pickled while others compute ----------------------------------

VALUE_OBJECTS = [v for cls in (LineType, Account, Category) for v in vars(cls).values() if type(v) is cls]
COPIERS: dict[str, Callable[[Any, int], Any]] = {
    "copy.copy": lambda v, k: copy.copy(v),
    "copy.deepcopy": lambda v, k: copy.deepcopy(v),
    "pickle, every protocol": lambda v, k: pickle.loads(pickle.dumps(v, k % (pickle.HIGHEST_PROTOCOL + 1))),
}


@pytest.mark.parametrize("copier", COPIERS.values(), ids=COPIERS)
def test_value_objects_copy_and_pickle_to_themselves_while_others_compute(copier):
    kinds = [kind for name, kind in call_kinds().items() if not name.startswith("panic")]
    expected = [outcome(*kind) for kind in kinds]
    lines = tf.py_deliverable_lines(deliverable_context(escrow_enabled=True, international=True))
    deadline = time.monotonic() + SECONDS
    barrier = threading.Barrier(6)

    def copying(offset: int) -> int:
        barrier.wait()
        done = 0
        while time.monotonic() < deadline:
            for k, value in enumerate(VALUE_OBJECTS):
                assert copier(value, k + offset) is value, value
            copied = copier(lines, offset)
            assert copied == lines and all(d["kind"] is o["kind"] for d, o in zip(copied, lines))
            done += 1
        return done

    def computing(offset: int) -> int:
        barrier.wait()
        done = 0
        while time.monotonic() < deadline:
            k = (offset + done) % len(kinds)
            assert outcome(*kinds[k]) == expected[k], k
            done += 1
        return done

    with ThreadPoolExecutor(6) as pool:
        futures = [pool.submit(copying, k) for k in range(3)] + [pool.submit(computing, k) for k in range(3)]
        assert all(f.result() > 0 for f in futures)


# --- the first use in a fresh process -------------------------------------------------------

# Each thread makes its first use of the module in its own way: an import statement, unpickling
# a value object (which imports the module), importlib, a deep copy of an unpickled list, or a
# module object of its own, created and executed by importlib.util without the import lock (so
# that threads race to create the interpreter's classes and value objects). Then it touches every
# value object through pickle, copy, the class attribute, repr and int, raises PanicException
# and computes. All threads must see the same classes, value objects, PanicException and results.
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
    import copy, importlib, importlib.util, pickle, sys, threading
    N = int(sys.argv[1])
    ONE, ALL = bytes.fromhex(sys.argv[2]), bytes.fromhex(sys.argv[3])
    SPEC = importlib.util.find_spec("tallyforge")  # finds the file; imports nothing
    assert "tallyforge" not in sys.modules
    barrier = threading.Barrier(N)
    results = [None] * N

    def first_use(i):
        barrier.wait()
        way = i % 5
        if way == 0:
            import tallyforge as tf
        elif way == 1:
            pickle.loads(ONE)
        elif way == 2:
            importlib.import_module("tallyforge")
        elif way == 3:
            copy.deepcopy(pickle.loads(ALL))
        else:
            own = importlib.util.module_from_spec(SPEC)
            SPEC.loader.exec_module(own)
        tf = own if way == 4 else sys.modules["tallyforge"]
        values = pickle.loads(ALL)
        classes = (tf.LineType, tf.Account, tf.Category)
        for v in values:
            assert type(v) in classes and getattr(type(v), repr(v).split(".")[1]) is v, v
            assert copy.copy(v) is v and copy.deepcopy(v) is v and int(v) == v
        try:
            tf.py_divide_amount("1", 1, 29)
        except BaseException as exc:
            panic = type(exc)
        line = {"id": 1, "priority": 0, "kind": tf.LineType.BasePrice, "amount": "10.005",
                "description": "", "frozen_value": None, "percentage": "0",
                "category": tf.Category.Payment, "destination_user_id": None,
                "destination_account": tf.Account.Escrow, "back_into_percentage": False}
        results[i] = (list(map(id, classes)), list(map(id, values)), id(panic), tf.__all__,
                      tf.py_get_totals([line], 2)["total"], tf.py_divide_amount("10.00", 3, 2))

    threads = [threading.Thread(target=first_use, args=(i,)) for i in range(N)]
    for t in threads: t.start()
    for t in threads: t.join()
    assert None not in results and len(set(map(repr, results))) == 1, results
    print(results[0][4:])
    """
)


def test_many_threads_make_the_first_use_in_a_fresh_process():
    one, every = pickle.dumps(Account.Fund, 0).hex(), pickle.dumps(VALUE_OBJECTS, 2).hex()
    result = subprocess.run(
        [sys.executable, "-c", FIRST_USE, "40", one, every],
        capture_output=True, text=True, timeout=child_timeout(120), env=child_env(),
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "('10.00', ['3.34', '3.33', '3.33'])"
