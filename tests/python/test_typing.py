"""The type stubs: a typed caller passes mypy, a wrong call does not."""

from __future__ import annotations

import shutil
import textwrap
from pathlib import Path

import pytest

mypy_api = pytest.importorskip("mypy.api")
try:
    import sqlite3  # noqa: F401 - mypy keeps its cache in SQLite
except ImportError:
    # The musl-built CPython of scripts/wheels: Debian builds SQLite for glibc only.
    pytest.skip("mypy needs the sqlite3 module for its cache, and this interpreter was built without it",
                allow_module_level=True)
pytestmark = pytest.mark.thread_unsafe(reason="mypy keeps process-wide state: checks run at once in threads end in its INTERNAL ERROR")

STUB = Path(__file__).resolve().parents[2] / "stubs" / "tallyforge-stubs" / "__init__.pyi"

GOOD = textwrap.dedent(
    """
    from __future__ import annotations
    from typing import TYPE_CHECKING

    import tallyforge
    from tallyforge import Account, Category, LineType

    if TYPE_CHECKING:
        from tallyforge import LineDict, TotalsDict

    line: LineDict = {
        "id": 1, "priority": 0, "kind": LineType.BasePrice, "amount": "10.00", "description": "",
        "frozen_value": None, "percentage": "0", "category": Category.EscrowHold,
        "destination_user_id": 7, "destination_account": Account.Escrow, "back_into_percentage": False,
    }
    totals: TotalsDict = tallyforge.py_get_totals([line], 2)
    total: str = totals["total"]
    first: str = totals["subtotals"][1]
    reckoned: str = tallyforge.py_reckon_lines(lines=[line], quantization=2)
    shares: list[str] = tallyforge.py_divide_amount("10.00", 3, 2)
    kind: LineType = tallyforge.py_deliverable_lines({
        "base_price": "10.00", "table_product": False, "escrow_enabled": False, "international": False,
        "extra_lines": [], "plan_name": None, "pricing": None, "user_id": 1, "allow_soft_failure": True,
        "quantization": 2,
    })[0]["kind"]
    tip = tallyforge.py_tip_fee_lines({"pricing": None, "international": False, "quantization": 2})
    number: int = int(Account.Card)
    same: bool = LineType.Tip == 4
    names: list[str] = tallyforge.__all__
    """
)

BAD = {
    "amount-as-int": 'tallyforge.py_divide_amount(10, 3, 2)',
    "quantization-as-str": 'tallyforge.py_reckon_lines([], "2")',
    "unknown-keyword": 'tallyforge.py_get_totals([], 2, scale=1)',
    "ordering": 'tallyforge.LineType.Tip < tallyforge.LineType.Tax',
    "missing-key": 'tallyforge.py_tip_fee_lines({"pricing": None, "international": False})',
    "no-panic-attribute": 'tallyforge.PanicException',
}


def run_mypy(tmp_path: Path, source: str) -> tuple[str, int]:
    package = tmp_path / "stubs" / "tallyforge"
    package.mkdir(parents=True, exist_ok=True)
    shutil.copy(STUB, package / "__init__.pyi")
    program = tmp_path / "program.py"
    program.write_text(source)
    config = tmp_path / "mypy.ini"
    config.write_text(f"[mypy]\nmypy_path = {tmp_path / 'stubs'}\n")
    args = ["--config-file", str(config), "--strict", "--no-incremental"]
    stdout, stderr, status = mypy_api.run([*args, "--cache-dir", str(tmp_path / "cache"), str(program)])
    return stdout + stderr, status


def test_typed_caller_passes(tmp_path):
    output, status = run_mypy(tmp_path, GOOD)
    assert status == 0, output


def test_readme_typed_example_passes_as_written(tmp_path):
    from test_docs import typed_example

    output, status = run_mypy(tmp_path, typed_example()[0])
    assert status == 0, output


@pytest.mark.parametrize("statement", BAD.values(), ids=BAD)
def test_wrong_call_is_flagged(tmp_path, statement):
    output, status = run_mypy(tmp_path, "import tallyforge\n" + statement + "\n")
    assert status == 1, output
    assert "program.py:2: error" in output
