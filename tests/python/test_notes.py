"""Notes that echo an offending text show at most its first 200 characters: every
function's place that names a text, for texts short and long, plain and escaped."""

from __future__ import annotations

import functools
import itertools

import pytest

import tallyforge as tf
from conftest import deliverable_context, line, plan, pricing, tip_context

HEAD = 200
EMPTY = "Invalid decimal: empty"
UNKNOWN = "Invalid decimal: unknown character"
NOT_QUANTIZED = "Amount is improperly quantized. Cannot divide."
NOT_DIVISIBLE = "Amount cannot be divided into shares at this quantization."

# Characters cycled through to make a text of any length; the cycles of three put a
# character of another width or escape on either side of the cut.
KINDS = {
    "plain": ["z"],
    "control": ["\x00", "\x1b", "\n"],
    "non-ASCII": ["é", "€", "💰"],
    # repr writes these as \x00, \u202e and \U000e0001: four, six and ten characters
    "long escapes": ["\x00", "\u202e", "\U000e0001"],
    # a head of single quotes only is quoted with double quotes; the whole text has both
    "quotes": ["'", "z", "'"] * 80 + ['"'],
}
LENGTHS = [0, 1, HEAD - 1, HEAD, HEAD + 1, 10_000_000]


@functools.cache
def text(kind: str, length: int) -> str:
    return "".join(itertools.islice(itertools.cycle(KINDS[kind]), length))


def parse_error(t: str) -> str:
    return EMPTY if t == "" else UNKNOWN


# Where a text is echoed: the call with the text there, the note's place, and the
# exception's message for that text.
PLACES = {
    "source amount": (lambda t: tf.py_divide_amount(t, 3, 2), "source_amount", parse_error),
    "line amount": (lambda t: tf.py_get_totals([line(1, "1.00"), line(2, t)], 2), "lines[1].amount", parse_error),
    "line percentage": (lambda t: tf.py_reckon_lines([line(1, "1", 0, t)], 2), "lines[0].percentage", parse_error),
    "frozen value": (lambda t: tf.py_get_totals([line(1, frozen_value=t)], 2), "lines[0].frozen_value", parse_error),
    "tip processing percentage": (
        lambda t: tf.py_tip_fee_lines(tip_context(pricing=pricing(processing_percentage=t))),
        "provided_lines_context.pricing.processing_percentage",
        parse_error,
    ),
    "tip conversion percentage": (
        lambda t: tf.py_tip_fee_lines(
            tip_context(international=True, pricing=pricing(international_conversion_percentage=t))
        ),
        "provided_lines_context.pricing.international_conversion_percentage",
        parse_error,
    ),
    "base price": (
        lambda t: tf.py_deliverable_lines(deliverable_context(base_price=t)),
        "provided_lines_context.base_price",
        parse_error,
    ),
    "plan price": (
        lambda t: tf.py_deliverable_lines(deliverable_context(pricing=pricing(plans=[plan(per_deliverable_price=t)]))),
        "provided_lines_context.pricing.plans[0].per_deliverable_price",
        parse_error,
    ),
    "shield percentage": (
        lambda t: tf.py_deliverable_lines(
            deliverable_context(
                escrow_enabled=True,
                pricing=pricing(plans=[plan(name="A"), plan(shield_percentage_price=t)]),
            )
        ),
        "provided_lines_context.pricing.plans[1].shield_percentage_price",
        parse_error,
    ),
    "extra line": (
        lambda t: tf.py_deliverable_lines(deliverable_context(extra_lines=[line(1, "1"), line(2, t)])),
        "provided_lines_context.extra_lines[1].amount",
        parse_error,
    ),
    # The message names the plan in full; only the note is bounded.
    "plan name": (
        lambda t: tf.py_deliverable_lines(deliverable_context(plan_name=t)),
        "provided_lines_context.plan_name",
        lambda t: f"Could not find {t} in plan list.",
    ),
}


def shown(t: str) -> str:
    """The note's form of a text: its repr, of the head with an ellipsis inside the
    closing quote and the whole length after it when the text is longer."""
    if len(t) <= HEAD:
        return repr(t)
    head = repr(t[:HEAD])
    return f"{head[:-1]}…{head[-1]} ({len(t)} characters)"


def failure(call, t: str) -> ValueError:
    with pytest.raises(ValueError) as info:
        call(t)
    exc = info.value
    assert type(exc) is ValueError and exc.__cause__ is None
    return exc


@pytest.mark.parametrize("length", LENGTHS)
@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("call, place, message", PLACES.values(), ids=PLACES)
def test_notes_show_a_bounded_head_of_the_text(call, place, message, kind, length):
    t = text(kind, length)
    exc = failure(call, t)
    assert exc.args == (message(t),)
    assert exc.__notes__ == [f"{place}: {shown(t)}"]


@pytest.mark.parametrize("call, place, message", PLACES.values(), ids=PLACES)
def test_long_note_is_the_head_of_the_text_escaped_ellipsis_and_length(call, place, message):
    # Spelled out: a head of single quotes only is quoted with double quotes, and an escape
    # just before the cut is written whole.
    exc = failure(call, "'" * 199 + "\x00" + '"' * 50)
    assert exc.__notes__ == [f"""{place}: "{"'" * 199}\\x00…" (250 characters)"""]
    exc = failure(call, "0" * 100 + "z" * 9_999_900)
    assert exc.__notes__ == [f"{place}: '{'0' * 100}{'z' * 100}…' (10000000 characters)"]


# Texts that are decimals but cannot be divided; leading zeros make them as long as asked.
DIVISIONS = {
    "improperly quantized": ("1.005", 3, NOT_QUANTIZED),
    "not divisible": ("7922816251426433759354395033", 7, NOT_DIVISIBLE),
}


@pytest.mark.parametrize("length", LENGTHS[1:])
@pytest.mark.parametrize("amount, divisor, message", DIVISIONS.values(), ids=DIVISIONS)
def test_division_failures_bound_the_amount_they_echo(amount, divisor, message, length):
    t = "0" * max(0, length - len(amount)) + amount
    q = 2 if divisor == 3 else 28
    exc = failure(lambda t: tf.py_divide_amount(t, divisor, q), t)
    assert exc.args == (message,)
    assert exc.__notes__ == [f"source_amount: {shown(t)}"]
