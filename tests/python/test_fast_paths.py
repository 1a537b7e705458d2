"""Exact dicts, lists and tuples are read without the general protocol; the
results and failures must be exactly those of the general reading, which a
dict subclass or a list subclass takes."""

from __future__ import annotations

import copy
import random

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import tallyforge as tf
from conftest import WITHOUT_NUMPY, deliverable_context, examples, line, np, numpy_case, pricing, tip_context
from tallyforge import Account, Category, LineType


class SlowDict(dict):
    pass


class SlowList(list):
    pass


def slow(obj):
    """The same data in containers that only the general reading accepts."""
    if isinstance(obj, dict):
        return SlowDict({k: slow(v) for k, v in obj.items()})
    if isinstance(obj, (list, tuple)):
        return SlowList(slow(v) for v in obj)
    return obj


def slow_lines(lines):
    return SlowList(SlowDict(x) for x in lines)


def unshared_keys(obj):
    """The same data under keys equal to the field names but not the same objects."""
    if isinstance(obj, dict):
        return {"".join(list(k)) if isinstance(k, str) else k: unshared_keys(v) for k, v in obj.items()}
    if isinstance(obj, (list, tuple)):
        return type(obj)(unshared_keys(v) for v in obj)
    return obj


def outcome(func, *args):
    try:
        return ("ok", func(*args))
    except Exception as exc:  # noqa: BLE001 - failures are compared whole
        chain = []
        while exc is not None:
            chain.append((type(exc), str(exc), getattr(exc, "__notes__", None)))
            exc = exc.__cause__
        return ("error", chain)


VALUES = [
    0, 1, -1, 2**15 - 1, 2**15, -(2**15), -(2**15) - 1, 2**16 - 1, 2**16, 2**31 - 1, 2**31,
    -(2**31), -(2**31) - 1, 2**63 - 1, 2**63, -(2**63), -(2**63) - 1, True, False, None, 2.5,
    "1.00", "-0.335", "0", "", "abc", "é", "\ud800", LineType.AddOn, LineType.BasePrice,
    Category.Payment, Account.Escrow, [], {},
]
# NumPy's boolean, but in a run that goes without NumPy (conftest.py: TALLYFORGE_WITHOUT_NUMPY).
if not WITHOUT_NUMPY:
    VALUES.append(np.bool_(True))
LINE_KEYS = list(line())


def test_every_field_value_reads_fast_and_slow_alike():
    for key in LINE_KEYS:
        for value in VALUES:
            lines = [line(1, "1.005"), {**line(2, "2.005", 1), key: value}]
            for func in (tf.py_get_totals, tf.py_reckon_lines):
                expected = outcome(func, slow_lines(lines), 2)
                assert outcome(func, lines, 2) == expected, (key, value)
                assert outcome(func, tuple(lines), 2) == expected, (key, value)


@pytest.mark.parametrize("seed", range(16))
def test_lines_with_their_keys_in_any_order_read_alike(seed):
    # The one-pass reading of a dict expects the keys in the usual order; any other order,
    # with keys the record does not read among them, must give the same fields.
    rng = random.Random(seed)
    lines = [line(1, "1.005", 0, "0", description="a"), line(2, "-2.50", 1, "10", destination_user_id=7),
             line(3, "7", 2, "2.9", back_into_percentage=True)]
    expected = [outcome(func, lines, 2) for func in (tf.py_get_totals, tf.py_reckon_lines)]
    shuffled = []
    for d in lines:
        items = [*d.items(), *([("unread", 0), ("also unread", None)] if seed % 2 else [])]
        rng.shuffle(items)
        shuffled.append(dict(items))
    assert [outcome(func, shuffled, 2) for func in (tf.py_get_totals, tf.py_reckon_lines)] == expected


@st.composite
def line_dicts(draw):
    out = line(draw(st.integers(-3, 5)), draw(st.sampled_from(["1.005", "-2.50", "0.335", "7"])),
               draw(st.integers(-1, 2)), draw(st.sampled_from(["0", "10", "2.9"])))
    for key in draw(st.lists(st.sampled_from(list(out)), max_size=2)):
        out[key] = draw(st.sampled_from(VALUES))
    if draw(st.booleans()):
        out["extra"] = 1
    if draw(st.integers(0, 9)) == 0:
        del out[draw(st.sampled_from(list(out)))]
    if draw(st.integers(0, 9)) == 0:
        out[1] = "a key of another type"
    return out


@settings(max_examples=examples(400), deadline=None)
@given(lines=st.lists(line_dicts(), max_size=6), as_tuple=st.booleans(), q=st.integers(0, 3))
def test_lines_read_fast_and_slow_alike(lines, as_tuple, q):
    fast = tuple(lines) if as_tuple else lines
    for func in (tf.py_get_totals, tf.py_reckon_lines):
        expected = outcome(func, slow_lines(lines), q)
        assert outcome(func, fast, q) == expected
        assert outcome(func, unshared_keys(fast), q) == expected


CONTEXT_CHANGES = {
    "plain": {},
    "international": {"international": True},
    "extra lines": {"extra_lines": [line(1, "5.00"), line(2, "-1.005", 1, "10")]},
    "extra lines as tuple": {"extra_lines": (line(1, "5.00"),)},
    "plans as tuple": {"pricing": pricing(plans=tuple(pricing()["plans"]))},
    "no pricing": {"pricing": None},
    "bad plan field": {"pricing": pricing(plans=[{**pricing()["plans"][0], "waitlisting": 1}])},
    "bad extra line": {"extra_lines": [line(1, "5.00"), line(2, 5)]},
    "quantization too wide": {"quantization": -1},
}
CONTEXT_CASES = [pytest.param(change, id=name) for name, change in CONTEXT_CHANGES.items()]
CONTEXT_CASES.append(numpy_case(lambda: ({"international": np.bool_(True)},), 1, id="numpy flag"))


@pytest.mark.parametrize("change", CONTEXT_CASES)
@pytest.mark.parametrize("func, build", [
    (tf.py_deliverable_lines, lambda c: deliverable_context(escrow_enabled=True, **c)),
    (tf.py_tip_fee_lines, lambda c: tip_context(**{k: v for k, v in c.items() if k in tip_context()})),
])
def test_contexts_read_fast_and_slow_alike(func, build, change):
    context = build(copy.deepcopy(change))
    expected = outcome(func, slow(context))
    assert outcome(func, context) == expected
    assert outcome(func, unshared_keys(context)) == expected


class Mutating:
    """An integer whose conversion first changes a container of the call."""

    def __init__(self, value, action):
        self.value, self.action = value, action

    def __index__(self):
        action, self.action = self.action, None
        if action is not None:
            action()
        return self.value


@pytest.mark.parametrize("kind", ["exact", "subclass"])
@pytest.mark.parametrize("change, expected_ids", [
    ("append", {1: "1.00", 2: "2.00", 3: "3.00"}),
    ("remove last", {1: "1.00"}),
    ("replace amount", {1: "9.00", 2: "2.00"}),
])
def test_containers_changed_during_the_call(kind, change, expected_ids):
    # The list is read as iteration reads it, and a dict value fetched after
    # the change is the new value: an exact list or dict behaves as a subclass.
    lines = [line(1, "1.00"), line(2, "2.00")]
    if kind == "subclass":
        lines = SlowList(SlowDict(x) for x in lines)
    first = lines[0]
    actions = {
        "append": lambda: lines.append(line(3, "3.00")),
        "remove last": lambda: lines.pop(),
        "replace amount": lambda: first.__setitem__("amount", "9.00"),
    }
    first["id"] = Mutating(1, actions[change])
    assert tf.py_get_totals(lines, 2)["subtotals"] == expected_ids
