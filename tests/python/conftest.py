"""Shared helpers for the tallyforge Python tests.

The builders return plain dictionaries in the key order the module reads them,
with realistic defaults, so that a test names only what it changes.
"""

from __future__ import annotations

import functools
import os
from pathlib import Path
from typing import Any

import pytest

try:
    import tallyforge as tf
    from tallyforge import Account, Category, LineType
except ImportError:  # the module's tests then fail on their own import; the stub tests still run
    pass

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


# What a child interpreter must inherit to load an instrumented build of the module: the
# sanitizer runtime preloaded into it, its options, and the allocator setting.
SANITIZER_VARIABLES = ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "PYTHONMALLOC")


def child_env(**extra: str) -> dict[str, str]:
    """A clean environment for a child interpreter that imports this very module."""
    env = {"PYTHONPATH": str(Path(tf.__file__).resolve().parent), "PATH": ""}
    env.update((name, os.environ[name]) for name in SANITIZER_VARIABLES if name in os.environ)
    env.update(extra)
    return env
