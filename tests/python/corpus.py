"""A fixed corpus of calls whose outputs, error texts and notes must be the same
bytes on every machine, interpreter and build: bills at every quantization with
tiers, percentages, back-into lines, frozen lines and rounding differences to
hand out; amounts at the edge of the 96-bit coefficient; splits up to 65 535
shares; tip and purchase contexts; and inputs that fail.

Each call's outcome is written as one line of text (its result's repr, or the
exception's type, arguments, notes and causes), and the lines are hashed.
test_corpus.py compares the hash with corpus.sha256 beside this file.

    python tests/python/corpus.py            print the digest
    python tests/python/corpus.py --write    store it in corpus.sha256 (after a deliberate change)
    python tests/python/corpus.py --dump F   write the outcome lines to F (to compare two machines)
"""

from __future__ import annotations

import hashlib
import sys
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Any

import tallyforge as tf
from conftest import deliverable_context, line, plan, pricing, tip_context
from tallyforge import Account, Category, LineType

DIGEST_FILE = Path(__file__).with_name("corpus.sha256")

MAX = "79228162514264337593543950335"  # 2**96 - 1, the largest coefficient
Call = tuple[str, Callable[[], Any]]


def _bill(q: int) -> list[dict]:
    """Three tiers at quantization q: amounts with more places than q, percentages of the
    tiers below, a back-into percentage, a negative line and repeated ids."""
    third = "0." + "3" * 28
    return [
        line(1, "100.00"),
        line(2, third),
        line(3, "-" + third, category=Category.Correction),
        line(2, "0.0" + "5" * 27),
        line(4, "0", 1, "15", kind=LineType.Tip),
        line(5, "0.335", 1, "2.5", kind=LineType.Tax),
        line(6, "0", 2, "3", back_into_percentage=True, destination_account=Account.Fund),
        line(7, "1" + "0" * (28 - q) + "." + "7" * q if q else "17", 2),
    ]


def _calls() -> Iterator[Call]:
    for q in range(29):
        bill = _bill(q)
        yield f"bill q={q}", lambda bill=bill, q=q: tf.py_get_totals(bill, q)
        yield f"reckon q={q}", lambda bill=bill, q=q: tf.py_reckon_lines(bill, q)
        plain = [line(1, "19.99"), line(2, "0", 1, "7.25"), line(3, "0", 2, "2.9", back_into_percentage=True)]
        yield f"plain bill q={q}", lambda plain=plain, q=q: tf.py_get_totals(plain, q)
        small = [line(i, "0.0" + "1" * 26 + str(i)) for i in range(1, 8)]
        yield f"differences q={q}", lambda small=small, q=q: tf.py_get_totals(small, q)

    frozen = [line(1, "abc", frozen_value="10.5"), line(2, "", percentage="x", frozen_value="-2.255")]
    for q in (0, 2, 28, 29):
        yield f"frozen q={q}", lambda q=q: tf.py_get_totals(frozen, q)
    yield "partly frozen", lambda: tf.py_get_totals([line(1, "5.00", frozen_value="7.00"), line(2, "1.00")], 2)

    edge = {
        "max": [line(1, MAX)],
        "max and minus max": [line(1, MAX), line(2, "-" + MAX)],
        "max places": [line(1, "7.9228162514264337593543950335")],
        "sum overflows": [line(1, MAX), line(2, "1")],
        "percentage overflows": [line(1, MAX), line(2, "0", 1, "200")],
        "too many digits": [line(1, MAX + "0")],
        "too many places": [line(1, "0." + "1" * 29)],
    }
    for name, lines in edge.items():
        for q in (0, 28):
            yield f"edge {name} q={q}", lambda lines=lines, q=q: tf.py_get_totals(lines, q)

    splits = [("10.00", 3, 2), ("-10.00", 3, 2), ("1000.00", 65535, 2), ("655.35", 65535, 2),
              ("1", 65535, 28), (MAX, 65535, 0), ("7.9228162514264337593543950335", 7, 28),
              ("0.01", 2, 2), ("0", 65535, 5), ("10.00", 0, 2), ("1.00", 3, 29), ("abc", 3, 2)]
    for amount, divisor, q in splits:
        yield f"split {amount}/{divisor} q={q}", lambda a=amount, d=divisor, q=q: tf.py_divide_amount(a, d, q)
    for divisor in (1, 2, 7, 100, 4096, 65534, 65535):
        for q in (0, 2, 14, 28):
            yield f"split 12345.6789/{divisor} q={q}", lambda d=divisor, q=q: tf.py_divide_amount("12345.6789", d, q)

    tips = {
        "domestic": {},
        "international": {"international": True},
        "odd rates": {"pricing": pricing(processing_percentage="2.999", stripe_payout_percentage="0.3333")},
        "bad rate": {"pricing": pricing(processing_percentage="abc")},
        "no pricing": {"pricing": None, "international": True},
    }
    for name, change in tips.items():
        for q in (0, 2, 28):
            context = tip_context(quantization=q, **change)
            yield f"tip {name} q={q}", lambda c=context: tf.py_tip_fee_lines(c)

    purchases = {
        "plain": {},
        "table": {"table_product": True},
        "escrow": {"escrow_enabled": True},
        "escrow international": {"escrow_enabled": True, "international": True},
        "extra lines": {"extra_lines": [line(5, "1.005"), line(6, "0", 1, "7.5")]},
        "odd prices": {"base_price": "9.999", "pricing": pricing(plans=[plan(per_deliverable_price="0.333")])},
        "no plan": {"plan_name": "Gold"},
        "soft failure": {"plan_name": "Gold", "allow_soft_failure": True},
        "bad base price": {"base_price": "ten"},
        "bad shield": {"escrow_enabled": True, "pricing": pricing(plans=[plan(shield_percentage_price="?")])},
        "no candidate": {"extra_lines": [line(5, "-0.009")]},
    }
    for name, change in purchases.items():
        for q in (0, 2, 28, 29):
            context = deliverable_context(quantization=q, **change)
            yield f"purchase {name} q={q}", lambda c=context: tf.py_deliverable_lines(c)

    failures = {
        "bad amount": lambda: tf.py_get_totals([line(1, "1,00")], 2),
        "empty amount": lambda: tf.py_get_totals([line(1, "")], 2),
        "two points": lambda: tf.py_get_totals([line(1, "1.0.0")], 2),
        "lead underscore": lambda: tf.py_get_totals([line(1, "_1")], 2),
        "bad percentage in second line": lambda: tf.py_get_totals([line(1, "1"), line(2, "0", 1, "x%")], 2),
        "quantization 29": lambda: tf.py_reckon_lines([line(1, "1.00")], 29),
    }
    for name, call in failures.items():
        yield f"failure {name}", call


def _describe(exc: BaseException) -> str:
    parts = []
    while exc is not None:
        parts.append(f"{type(exc).__name__}{exc.args!r} notes={getattr(exc, '__notes__', None)!r}")
        exc = exc.__cause__
    return " <- ".join(parts)


def outcomes() -> Iterator[str]:
    """One line per call: its name, then its result or its failure."""
    for name, call in _calls():
        try:
            result = call()
        except BaseException as exc:  # noqa: BLE001 - internal failures are outcomes too
            if not isinstance(exc, Exception) and type(exc).__name__ != "PanicException":
                raise
            yield f"{name}: raised {_describe(exc)}"
        else:
            yield f"{name}: {result!r}"


def digest() -> str:
    h = hashlib.sha256()
    for text in outcomes():
        h.update(text.encode("utf-8"))
        h.update(b"\n")
    return h.hexdigest()


def stored_digest() -> str:
    return DIGEST_FILE.read_text(encoding="ascii").split()[0]


if __name__ == "__main__":
    if sys.argv[1:] == ["--write"]:
        DIGEST_FILE.write_text(digest() + "\n", encoding="ascii")
    elif sys.argv[1:2] == ["--dump"] and len(sys.argv) == 3:
        Path(sys.argv[2]).write_text("".join(t + "\n" for t in outcomes()), encoding="utf-8")
    elif not sys.argv[1:]:
        print(digest())
    else:
        sys.exit(__doc__)
