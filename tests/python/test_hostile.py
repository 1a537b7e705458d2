"""Hostile inputs: mappings and sequences that fail, lie or change under the reader, odd
subclasses, lone surrogates, the limits of the decimal type and of the quantization, and very
large bills. Each gives its own exception or result; none may crash, hang, raise
SystemError, or return a result with an exception set."""

from __future__ import annotations

import subprocess
import sys
import textwrap
from decimal import Decimal, localcontext

import pytest

import tallyforge as tf
from conftest import (
    ALLOCATIONS_FAIL,
    NEEDS_NUMPY,
    call_kinds,
    DELIVERABLE_KEYS,
    LINE_KEYS,
    MAX,
    PLAN_KEYS,
    PRICING_KEYS,
    TIP_KEYS,
    Mapping,
    cause_chain,
    np,
    child_env,
    child_timeout,
    deliverable_context,
    line,
    outcome,
    panic_class,
    plan,
    pricing,
    tip_context,
)

LINES = "argument 'lines': "
CONTEXT = "argument 'provided_lines_context': "
FIELD = "failed to extract field "


class SubTypeError(TypeError):
    pass


class Raises:
    """Item access always raises a new `exc`."""

    def __init__(self, exc: type[Exception]):
        self.exc = exc

    def __getitem__(self, key):
        raise self.exc("hostile")


class FailsAfterOne(list):
    """A list whose iteration raises a new `exc` after the first element."""

    def __init__(self, items, exc: type[Exception]):
        super().__init__(items)
        self.exc = exc

    def __iter__(self):
        yield self[0]
        raise self.exc("hostile")


# Where a hostile object sits, how to call with it there, and the field errors that wrap its
# exception on the way out (exactly TypeError at the top gets the argument prefix instead).
PLACES = {
    "line": (lambda bad: tf.py_get_totals([line(1), bad], 2), LINES, []),
    "context": (tf.py_tip_fee_lines, CONTEXT, []),
    "pricing": (lambda bad: tf.py_tip_fee_lines(tip_context(pricing=bad)), CONTEXT, ["TipLinesContext.pricing"]),
    "plan": (
        lambda bad: tf.py_deliverable_lines(deliverable_context(pricing=pricing(plans=[plan(), bad]))),
        CONTEXT,
        ["DeliverableLinesContext.pricing", "Pricing.plans"],
    ),
    "extra line": (lambda bad: tf.py_deliverable_lines(deliverable_context(extra_lines=[bad])), CONTEXT, ["DeliverableLinesContext.extra_lines"]),
}
# The same for a list that fails after its first element.
LISTS = {
    "lines": (lambda bad: tf.py_get_totals(bad, 2), [line(1), line(2)], LINES, []),
    "plans": (lambda bad: tf.py_tip_fee_lines(tip_context(pricing=pricing(plans=bad))), [plan(), plan()], CONTEXT, ["TipLinesContext.pricing", "Pricing.plans"]),
    "extra_lines": (lambda bad: tf.py_deliverable_lines(deliverable_context(extra_lines=bad)), [line(1), line(2)], CONTEXT, ["DeliverableLinesContext.extra_lines"]),
}
EXCEPTIONS = [ValueError, RuntimeError, KeyError, LookupError, ZeroDivisionError, OverflowError, MemoryError, RecursionError, TypeError, SubTypeError]


def expected_chain(prefix: str, fields: list[str], exc: type[Exception]) -> list[tuple[type, str]]:
    text = str(exc("hostile"))
    if not fields:
        return [(TypeError, prefix + text)] if exc is TypeError else [(exc, text)]
    return [(TypeError, (prefix if i == 0 else "") + FIELD + f) for i, f in enumerate(fields)] + [(exc, text)]


@pytest.mark.parametrize("exc", EXCEPTIONS, ids=lambda e: e.__name__)
@pytest.mark.parametrize("place", PLACES)
def test_failing_item_access(place, exc):
    call, prefix, fields = PLACES[place]
    with pytest.raises(BaseException) as info:
        call(Raises(exc))
    assert cause_chain(info.value) == expected_chain(prefix, fields, exc)


@pytest.mark.parametrize("exc", EXCEPTIONS, ids=lambda e: e.__name__)
@pytest.mark.parametrize("where", LISTS)
def test_iteration_failing_midway(where, exc):
    call, items, prefix, fields = LISTS[where]
    with pytest.raises(BaseException) as info:
        call(FailsAfterOne(items, exc))
    assert cause_chain(info.value) == expected_chain(prefix, fields, exc)


# --- every field of every record, read from a dict and from another mapping -----------------------

RECORDS = {
    # record: (builder of a valid record, keys, call with a record in its place, field errors above it)
    "LineItem": (line, LINE_KEYS, lambda r: tf.py_get_totals([r], 2), LINES, []),
    "ServicePlan": (plan, PLAN_KEYS, lambda r: tf.py_tip_fee_lines(tip_context(pricing=pricing(plans=[r]))), CONTEXT, ["TipLinesContext.pricing", "Pricing.plans"]),
    "Pricing": (pricing, PRICING_KEYS, lambda r: tf.py_tip_fee_lines(tip_context(pricing=r)), CONTEXT, ["TipLinesContext.pricing"]),
    "TipLinesContext": (tip_context, TIP_KEYS, tf.py_tip_fee_lines, CONTEXT, []),
    "DeliverableLinesContext": (deliverable_context, DELIVERABLE_KEYS, tf.py_deliverable_lines, CONTEXT, []),
}
BOOL_FIELDS = [(r, k) for r, (build, keys, *_) in RECORDS.items() for k in keys if type(build()[k]) is bool]
TEXT_FIELDS = [(r, k) for r, (build, keys, *_) in RECORDS.items() for k in keys if isinstance(build()[k], str)]
ALL_FIELDS = [(r, k) for r, (_, keys, *_) in RECORDS.items() for k in keys]


def with_field(record: str, key: str, value, as_mapping: bool = False):
    build, _, call, _, _ = RECORDS[record]
    data = {**build(), key: value}
    return call(Mapping(data) if as_mapping else data)


@pytest.mark.parametrize("record, key", ALL_FIELDS)
def test_wrong_type_in_every_field(record, key):
    # object() is no text, bool, integer, enumeration value, sequence or mapping: every field
    # refuses it with its own field error, the same through a dict and any other mapping.
    _, _, _, prefix, above = RECORDS[record]
    got = outcome(with_field, (record, key, object()))
    assert got == outcome(with_field, (record, key, object(), True))
    fields = [*above, f"{record}.{key}"]
    assert got[0] == "raised"
    assert got[1][: len(fields)] == [("TypeError", (prefix if i == 0 else "") + FIELD + f) for i, f in enumerate(fields)]


@pytest.mark.parametrize("record, key", TEXT_FIELDS)
def test_lone_surrogate_in_every_text_field(record, key):
    with pytest.raises(TypeError) as info:
        with_field(record, key, "ok\udc80")
    chain = cause_chain(info.value)
    assert chain[-2][1].endswith(f"{record}.{key}")
    assert chain[-1][0] is UnicodeEncodeError


@NEEDS_NUMPY
@pytest.mark.parametrize("record, key", BOOL_FIELDS)
@pytest.mark.parametrize("truth", [False, True])
def test_numpy_booleans_read_as_booleans(record, key, truth):
    assert outcome(with_field, (record, key, np.bool_(truth))) == outcome(with_field, (record, key, truth))


class CollidesWithAmount:
    """A key that hashes like "amount" and refuses to be compared once armed."""

    armed = False

    def __hash__(self):
        return hash("amount")

    def __eq__(self, other):
        if CollidesWithAmount.armed:
            raise RuntimeError("no comparing")
        return False


@pytest.mark.thread_unsafe(reason="arms a class attribute that every thread's key would see (monkeypatch)")
@pytest.mark.parametrize("func", [tf.py_get_totals, tf.py_reckon_lines])
def test_a_failing_key_lookup_raises_what_failed(func, monkeypatch):
    # Looking up "amount" meets the other key first and must compare with it.
    d = {CollidesWithAmount(): 1}
    d.update(line(1, "1.00"))
    monkeypatch.setattr(CollidesWithAmount, "armed", True)
    assert outcome(func, ([d], 2)) == ("raised", [("RuntimeError", "no comparing")])


def numpy_like(name, **namespace):
    return type(name, (), {"__module__": "numpy", **namespace})()


@pytest.mark.parametrize("record, key", BOOL_FIELDS[:2])
@pytest.mark.parametrize(
    "value, last",
    [
        (numpy_like("bool_", __bool__=lambda self: True), None),
        (numpy_like("bool", __bool__=lambda self: False), None),
        (numpy_like("bool"), ("TypeError", "object of type '<class 'numpy.bool'>' does not define a '__bool__' conversion")),
        (numpy_like("bool_", __bool__=lambda self: 1 / 0), ("ZeroDivisionError", "division by zero")),
    ],
    ids=["true", "false", "no __bool__", "__bool__ raises"],
)
def test_objects_named_like_numpy_booleans(record, key, value, last):
    # Taken as NumPy's booleans by their module and name, and read through their truth.
    got = outcome(with_field, (record, key, value))
    if last is None:
        assert got == outcome(with_field, (record, key, bool(value)))
    else:
        assert got[0] == "raised" and got[1][0][0] == "TypeError" and got[1][-1] == last


class Text(str):
    def __str__(self):
        return "999"

    def encode(self, *args):
        return b"999"


class Number(int):
    def __index__(self):
        return 999

    def __int__(self):
        return 999


@pytest.mark.parametrize(
    "key, value, plain",
    [
        ("amount", Text("1.50"), "1.50"),
        ("percentage", Text("10"), "10"),
        ("id", Number(7), 7),
        ("priority", Number(-3), -3),
        ("destination_user_id", Number(2**40), 2**40),
    ],
)
def test_str_and_int_subclasses_give_their_own_value(key, value, plain):
    # The stored value counts, not what an overridden method says.
    bill = [line(1, "100.00"), line(2, "0", 1, "3")]
    assert tf.py_get_totals([bill[0], {**bill[1], key: value}], 2) == tf.py_get_totals([bill[0], {**bill[1], key: plain}], 2)


# --- sequences that lie about their length or change while they are read ------------------------------


class Length(list):
    def __init__(self, items, length):
        super().__init__(items)
        self.length = length

    def __len__(self):
        if isinstance(self.length, type):
            raise self.length("no length")
        return self.length


@pytest.mark.parametrize("length", [RuntimeError, ValueError, -1, 0, 10**18, 10**19, 2**63, "3"], ids=repr)
@pytest.mark.parametrize("where", ["lines", "extra_lines", "plans"])
def test_a_failing_or_lying_length_is_only_a_hint(where, length):
    items = {"lines": [line(1, "1.005"), line(2, "2.00")], "extra_lines": [line(1, "5.00")], "plans": [plan(name="x"), plan()]}[where]
    calls = {
        "lines": lambda seq: tf.py_get_totals(seq, 2),
        "extra_lines": lambda seq: tf.py_deliverable_lines(deliverable_context(extra_lines=seq)),
        "plans": lambda seq: tf.py_deliverable_lines(deliverable_context(pricing=pricing(plans=seq))),
    }
    assert outcome(calls[where], (Length(items, length),)) == outcome(calls[where], (list(items),))


class Changes(dict):
    """A line that changes the list it sits in when its first key is read."""

    def __init__(self, data, change):
        super().__init__(data)
        self.change = change

    def __getitem__(self, key):
        if self.change is not None:
            change, self.change = self.change, None
            change()
        return super().__getitem__(key)


@pytest.mark.parametrize(
    "change, total",
    [
        (lambda lines: lines.clear(), "1.00"),  # the iteration ends after the line being read
        (lambda lines: lines.append(line(3, "3.00")), "6.00"),  # the new line is read too
        (lambda lines: lines.__setitem__(1, line(4, "4.00")), "5.00"),  # the replacement is read
        (lambda lines: lines.pop(), "1.00"),
    ],
)
def test_list_changed_while_it_is_read(change, total):
    lines = []
    lines += [Changes(line(1, "1.00"), lambda: change(lines)), line(2, "2.00")]
    assert tf.py_reckon_lines(lines, 2) == total


# --- limits of the decimal type and of the quantization -------------------------------------------

TINY = "0.0000000000000000000000000001"
LIMITS = [
    (tf.py_reckon_lines, ([line(1, MAX)], 0), MAX),
    (tf.py_reckon_lines, ([line(1, "-" + MAX)], 2), "-" + MAX),
    (tf.py_reckon_lines, ([line(1, MAX), line(2, "-" + MAX)], 2), "0"),
    (tf.py_reckon_lines, ([line(1, TINY)], 28), TINY),
    (tf.py_get_totals, ([line(1, TINY)], 2), {"total": "0.00", "discount": "0.00", "subtotals": {1: "0.00"}}),
    (tf.py_reckon_lines, ([line(1, "1.005")], 0), "1"),
    (tf.py_reckon_lines, ([line(1, "1.005")], 28), "1.005"),
    (tf.py_reckon_lines, ([line(1, "x", frozen_value="1.005")], 2**32 - 1), "1.005"),  # a frozen bill ignores it
    (tf.py_divide_amount, (MAX, 1, 0), [MAX]),
    (tf.py_divide_amount, ("-" + MAX, 1, 0), ["-" + MAX]),
    (tf.py_divide_amount, (TINY, 3, 28), [TINY, "0", "0"]),
    (tf.py_divide_amount, ("1", 2, 0), ["1", "0"]),
    (tf.py_tip_fee_lines, (tip_context(quantization=2**32 - 1),), len),  # read, not used
]


@pytest.mark.parametrize("func, args, expected", LIMITS)
def test_limits_of_the_type_and_the_quantization(func, args, expected):
    result = func(*args)
    assert result == expected or (callable(expected) and expected(result))


SCALE = "Scale exceeds the maximum precision allowed: {} > 28"


@pytest.mark.parametrize("q", [29, 2**32 - 1])
@pytest.mark.parametrize(
    "call",
    [
        lambda q: tf.py_get_totals([line(1, "1")], q),
        lambda q: tf.py_reckon_lines([], q),
        lambda q: tf.py_divide_amount("10", 3, q),
        lambda q: tf.py_deliverable_lines(deliverable_context(quantization=q)),
    ],
)
def test_unusable_quantizations_panic(call, q):
    with pytest.raises(panic_class()) as info:
        call(q)
    assert info.value.args == (SCALE.format(q),)


@pytest.mark.parametrize(
    "func, args",
    [
        (tf.py_get_totals, ([line(1, MAX), line(2, "1")], 0)),
        (tf.py_get_totals, ([line(1, MAX), line(2, "0.5")], 0)),
        (tf.py_get_totals, ([line(1, "-" + MAX), line(2, "-0.5")], 2)),
        (tf.py_get_totals, ([line(1, "-7922816251.4264337593543935172", 2), line(2, MAX, 2)], 12)),
        (tf.py_divide_amount, (MAX, 2, 0)),
        (tf.py_divide_amount, (MAX, 65535, 0)),
        (tf.py_divide_amount, ("7922816251426433759354395033", 7, 28)),
    ],
)
def test_beyond_the_type_fails_or_adds_up(func, args):
    # Sums and shares that need more than 96 bits: either a clear failure, or amounts that add
    # up exactly (Python's decimal module, with enough digits, is the judge).
    try:
        result = func(*args)
    except (ValueError, panic_class()):
        return
    with localcontext(prec=100):
        if func is tf.py_divide_amount:
            assert sum(map(Decimal, result)) == Decimal(args[0])
        else:
            assert sum(map(Decimal, result["subtotals"].values())) == Decimal(result["total"])


# --- very large bills -------------------------------------------------------------------------------


def test_bill_of_100000_lines():
    lines = [line(i, "0.335") for i in range(100_000)]
    out = tf.py_get_totals(lines, 2)
    assert out["total"] == "33500.00"
    values = list(out["subtotals"].values())
    assert len(values) == 100_000 and values.count("0.34") == 50_000 and values.count("0.33") == 50_000
    # every priority a tier of its own, percentages of everything below
    tiers = [line(i, "0.01", i % 65536 - 32768, "0.001") for i in range(100_000)]
    out = tf.py_get_totals(tiers, 2)
    with localcontext(prec=100):
        assert sum(map(Decimal, out["subtotals"].values())) == Decimal(out["total"])
    # equal lines are one line
    assert tf.py_get_totals([line(1, "-1.00")] * 100_000, 2)["subtotals"] == {1: "-1.00"}


# --- a huge field ------------------------------------------------------------------------------

HUGE = 100_000_000
# A child interpreter reads the peak of its resident memory before and after one failing call
# on a field of HUGE characters, built as one object so that nothing before the call peaked
# higher than what it still holds.
HUGE_FIELD = textwrap.dedent(
    """
    import resource, sys
    import tallyforge as tf

    def peak():
        return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024

    text = "1" * {size}
    line = dict(id=1, priority=0, kind=tf.LineType.AddOn, amount=text, description="",
                frozen_value=None, percentage="0", category=tf.Category.Payment,
                destination_user_id=None, destination_account=tf.Account.Escrow,
                back_into_percentage=False)
    calls = dict(divide=lambda: tf.py_divide_amount(text, 3, 2),
                 reckon=lambda: tf.py_reckon_lines([line], 2))
    call = calls[sys.argv[1]]
    before = peak()
    try:
        call()
    except ValueError as exc:
        print(len(exc.__notes__[0]), peak() - before, exc.__notes__[0][-40:])
    """
).format(size=HUGE)


@pytest.mark.thread_unsafe(reason="a child interpreter measures its peak memory on a text of 100 million characters")
@pytest.mark.parametrize(
    "call, place",
    [("divide", "source_amount"), ("reckon", "lines[0].amount")],
)
def test_failing_on_a_huge_field_keeps_the_note_and_memory_small(call, place):
    result = subprocess.run(
        [sys.executable, "-c", HUGE_FIELD, call], capture_output=True, text=True, timeout=child_timeout(300), env=child_env()
    )
    assert result.returncode == 0, result.stderr
    note_length, grown, tail = result.stdout.split(maxsplit=2)
    assert int(note_length) < 300
    assert tail.endswith(f"…' ({HUGE} characters)\n")
    # Reading a text argument copies it once, as every call does; the failure adds less than
    # half of it again (a note of the whole text took five copies).
    assert int(grown) < HUGE * 3 // 2, f"{int(grown) / HUGE:.2f} times the field"


@ALLOCATIONS_FAIL
@pytest.mark.parametrize(
    "call",
    [
        lambda: tf.py_get_totals([line(1, 5)], 2),  # an int where a text belongs
        lambda: tf.py_divide_amount(1.5, 2, 2),
    ],
    ids=["field", "argument"],
)
def test_type_errors_under_failing_allocations(call, testcapi):
    # Each allocation of the call fails in turn; naming the wrong type needs one, and its
    # failure must end in MemoryError, never in a crash or a message without the name.
    outcomes = set()
    for start in range(1, 40):
        testcapi.set_nomemory(start, start + 1)
        try:
            call()
            outcomes.add(None)
        except (MemoryError, TypeError) as exc:
            outcomes.add(type(exc))
        finally:
            testcapi.remove_mem_hooks()
    assert outcomes <= {MemoryError, TypeError} and MemoryError in outcomes


class _ModuleRaises(type):
    @property
    def __module__(cls):  # looked at to tell NumPy's booleans from others
        raise RuntimeError("no module")


def test_bool_field_whose_type_hides_its_module():
    odd = _ModuleRaises("Odd", (), {})()
    with pytest.raises(TypeError) as info:
        tf.py_get_totals([line(1, "1", back_into_percentage=odd)], 2)
    assert "LineItem.back_into_percentage" in str(info.value)
    assert type(info.value.__cause__) is RuntimeError and info.value.__cause__.args == ("no module",)


ALLOCATION_KINDS = {name: kind for name, kind in call_kinds().items()
                    if not name.startswith("panic")}


@ALLOCATIONS_FAIL
@pytest.mark.parametrize("kind", ALLOCATION_KINDS.values(), ids=ALLOCATION_KINDS.keys())
def test_every_allocation_of_a_call_may_fail(kind, testcapi):
    # After n allocations of the call the next one fails, for each n in turn: the call then
    # returns what it returns normally or raises MemoryError (perhaps as the cause of its
    # usual error), and never crashes, raises SystemError or returns a half-built result.
    func, args, kwargs = kind
    normal = outcome(func, args, kwargs)
    failed = 0
    for start in range(80):
        # Small dicts held alive empty the interpreter's free list of key tables, so that
        # the call's dicts must allocate theirs too.
        held = [{"held": i} for i in range(200)]  # noqa: F841 - held during the call
        testcapi.set_nomemory(start, start + 1)
        try:
            result = func(*args, **kwargs)
        except BaseException as exc:  # noqa: BLE001 - PanicException included
            testcapi.remove_mem_hooks()
            chain = cause_chain(exc)
            # MemoryError itself, or the call's usual error caused by one: never another.
            usual = normal[0] == "raised" and chain[0][0].__name__ == normal[1][0][0]
            if chain[0][0] is MemoryError or usual and any(t is MemoryError for t, _ in chain):
                failed += 1
                continue
            got = ("raised", [(t.__name__, text) for t, text in chain])
        else:
            testcapi.remove_mem_hooks()
            got = outcome(lambda: result, ())
        finally:
            testcapi.remove_mem_hooks()
        assert got == normal, f"allocation {start} failing"
    # Only an empty list (the interpreter keeps some) comes back without any allocation.
    assert failed or normal == ("returned", "[]"), "no allocation of the call failed"


@ALLOCATIONS_FAIL
def test_every_allocation_of_making_a_module_object_may_fail(testcapi):
    # Each new module object of the loaded extension runs the module's own setup again (the
    # interpreter's classes and strings already exist): after n allocations the next one
    # fails, for each n in turn. The setup then fails with MemoryError (or the panic it causes)
    # or makes a complete module; never SystemError, never a module without its names.
    import _imp
    import importlib.util

    spec = importlib.util.find_spec("tallyforge")
    failed = made = 0
    for start in range(400):
        testcapi.set_nomemory(start, start + 1)
        try:
            module = _imp.create_dynamic(spec)
            _imp.exec_dynamic(module)
        except BaseException as exc:  # noqa: BLE001 - PanicException included
            testcapi.remove_mem_hooks()
            chain = cause_chain(exc)
            # An __all__ that cannot grow is a broken invariant of the setup: a panic.
            grow = (chain[0][0].__name__, chain[0][1]) == ("PanicException", "could not append to __all__")
            assert grow or MemoryError in [t for t, _ in chain], chain
            assert SystemError not in [t for t, _ in chain], chain
            failed += 1
            continue
        finally:
            testcapi.remove_mem_hooks()
        assert module is not tf and module.__all__ == tf.__all__
        assert module.py_divide_amount("1.00", 3, 2) == ["0.34", "0.33", "0.33"]
        assert callable(module._enum_value)
        made += 1
    assert failed and made
