"""py_divide_amount: splitting an amount into equal quantized shares."""

from __future__ import annotations

import subprocess
import sys
import textwrap
from decimal import Decimal

import pytest
from hypothesis import given
from hypothesis import strategies as st

import tallyforge as tf
from conftest import child_env, child_timeout

IMPROPER = "Amount is improperly quantized. Cannot divide."
NOT_DIVISIBLE = "Amount cannot be divided into shares at this quantization."

DIVISIONS = [
    ("10.00", 3, 2, ["3.34", "3.33", "3.33"]),
    ("10", 3, 2, ["3.34", "3.33", "3.33"]),
    ("-10.00", 3, 2, ["-3.34", "-3.33", "-3.33"]),
    ("1000.00", 7, 2, ["142.86"] * 5 + ["142.85"] * 2),
    ("1234567.89", 1000, 2, ["1234.57"] * 789 + ["1234.56"] * 211),
    ("-1234567.89", 1000, 2, ["-1234.57"] * 789 + ["-1234.56"] * 211),
    ("1", 8, 2, ["0.13"] * 4 + ["0.12"] * 4),
    ("0.05", 3, 2, ["0.02", "0.02", "0.01"]),
    ("-0.05", 3, 2, ["-0.02", "-0.02", "-0.01"]),
    ("0.01", 3, 2, ["0.01", "0.00", "0.00"]),
    ("1", 3, 0, ["1", "0", "0"]),
    ("-1", 3, 0, ["-1", "0", "0"]),
    ("10", 4, 2, ["2.50"] * 4),
    ("10", 4, 1, ["2.5"] * 4),
    ("10", 4, 3, ["2.50"] * 4),
    ("10", 5, 2, ["2"] * 5),
    ("10.00", 5, 2, ["2.00"] * 5),
    ("100", 8, 2, ["12.50"] * 8),
    ("1.500", 2, 2, ["0.75", "0.75"]),
    ("1_000.00", 4, 2, ["250.00"] * 4),
    ("0", 3, 2, ["0"] * 3),
    ("0.00", 3, 2, ["0"] * 3),
    ("-0.00", 2, 2, ["0"] * 2),
    ("7", 1, 2, ["7"]),
    ("1", 3, 28, ["0.3333333333333333333333333334"] + ["0.3333333333333333333333333333"] * 2),
]


@pytest.mark.parametrize("amount, divisor, q, expected", DIVISIONS)
def test_division_table(amount, divisor, q, expected):
    assert tf.py_divide_amount(amount, divisor, q) == expected


def test_large_divisor_puts_extra_quanta_first():
    shares = tf.py_divide_amount("1.00", 65535, 2)
    assert len(shares) == 65535
    assert shares[:100] == ["0.01"] * 100
    assert set(shares[100:]) == {"0.00"}


@pytest.mark.parametrize(
    "amount, divisor, q, message",
    [
        ("1.005", 2, 2, IMPROPER),
        ("1.005", 0, 2, IMPROPER),  # quantization is checked before the divisor
        ("0.1", 3, 0, IMPROPER),
        ("10.00", 0, 2, "Cannot divide by zero."),
        ("abc", 3, 2, "Invalid decimal: unknown character"),
        ("", 3, 2, "Invalid decimal: empty"),
        (" 1", 3, 2, "Invalid decimal: unknown character"),
        ("1e5", 3, 2, "Invalid decimal: unknown character"),
        ("-", 3, 2, "Invalid decimal: no digits found"),
        ("1.2.3", 3, 2, "Invalid decimal: two decimal points"),
        ("_1", 3, 2, "Invalid decimal: must start lead with a number"),
        ("79228162514264337593543950336", 3, 0, "Invalid decimal: overflow from too many digits"),
        ("1." + "0" * 29, 3, 2, "Number has a high precision that can not be represented."),
        ("abc", 0, 29, "Invalid decimal: unknown character"),  # parsing comes before the quantum
    ],
)
def test_division_errors(amount, divisor, q, message):
    with pytest.raises(ValueError) as info:
        tf.py_divide_amount(amount, divisor, q)
    assert type(info.value) is ValueError
    assert info.value.args == (message,)


@pytest.mark.thread_unsafe(reason="runs a child interpreter")
def test_shares_that_cannot_absorb_the_remainder_fail_promptly():
    # At 28 places the share of 100 / 3 has no room for a further quantum,
    # and the share of the large amount is rounded well before place 28:
    # handing out quanta one at a time would either leave shares that do not
    # add up or never finish. Both must be refused at once.
    script = textwrap.dedent(
        """
        import tallyforge as tf
        for amount, divisor in (("100", 3), ("7922816251426433759354395033", 7)):
            try:
                print(repr(tf.py_divide_amount(amount, divisor, 28)))
            except ValueError as exc:
                print("ValueError", exc)
        """
    )
    result = subprocess.run(
        [sys.executable, "-c", script], capture_output=True, text=True, timeout=child_timeout(60), env=child_env()
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [f"ValueError {NOT_DIVISIBLE}"] * 2


@given(
    coefficient=st.integers(-(10**15), 10**15),
    places=st.integers(0, 6),
    divisor=st.integers(1, 300),
    data=st.data(),
)
def test_shares_add_up_and_differ_by_at_most_one_quantum(coefficient, places, divisor, data):
    q = data.draw(st.integers(places, 10), label="q")
    amount = Decimal(coefficient).scaleb(-places)
    shares = tf.py_divide_amount(format(amount, "f"), divisor, q)
    values = [Decimal(s) for s in shares]
    assert len(values) == divisor
    assert sum(values) == amount
    quantum = Decimal(1).scaleb(-q)
    assert all(-v.as_tuple().exponent <= q for v in values)
    assert max(values) - min(values) <= quantum
    # The larger shares (in magnitude) come first.
    magnitudes = [abs(v) for v in values]
    assert magnitudes == sorted(magnitudes, reverse=True)
