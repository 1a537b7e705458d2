"""The pieces of the benchmarks that could get a figure wrong without failing: the fresh inputs
each thread of the thread scaling makes, the reading of callgrind's dumps into counts per call,
and the splicing of the thread section into the BENCHMARKS.md of an earlier full run."""

from __future__ import annotations

import json
import sys
from pathlib import Path

import pytest

BENCH = Path(__file__).resolve().parents[2] / "benchmarks"
sys.path.insert(0, str(BENCH))
import cases  # noqa: E402
import report  # noqa: E402
import threads  # noqa: E402

# threads.py puts the benchmarks and their build on the path for itself.
sys.path[:] = [p for p in sys.path if p not in (str(BENCH), str(threads.OUT))]


def objects(obj, out):
    """Every object an input holds, with the input itself."""
    out.append(obj)
    for x in obj.values() if isinstance(obj, dict) else obj if isinstance(obj, list) else ():
        objects(x, out)
    return out


@pytest.mark.parametrize("name", ["purchase", "tip", "bill"])
def test_fresh_inputs_share_only_what_every_thread_shares(name):
    original = {"purchase": cases.PURCHASE, "tip": cases.TIP, "bill": cases.bill(12)}[name]
    copy = cases.fresh(original)
    assert copy == original
    ours, theirs = objects(copy, []), objects(original, [])
    shared = {id(x) for x in theirs} & {id(x) for x in ours}
    kinds = {type(x).__name__ for x in ours if id(x) in shared}
    # Only the value objects, True, False, None, one-character texts and the interpreter's
    # cached small integers are the same objects.
    assert kinds <= {"LineType", "Account", "Category", "bool", "NoneType", "str", "int"}
    assert all(len(x) <= 1 for x in ours if id(x) in shared and type(x) is str)
    # (The cache's range differs between versions: an int made afresh from its digits is the
    # same object only when the interpreter caches it.)
    assert all(int(str(x)) is x for x in ours if id(x) in shared and type(x) is int)


DUMP = """\
# callgrind format
version: 1
desc: Trigger: Client Request: get_totals 8 lines [module] x20
positions: line
events: Ir
summary: 999999

fn=lib::scan_fields
0 100
cfn=_Py_DecRefShared
calls=40 0
0 30
cfn=PyCriticalSection_Begin
calls=20 0
0 10
fn=_PyEval_EvalFrameDefault
0 50
cfn=_Py_DecRefShared
calls=20 0
0 15
cfn=PyCriticalSection2_Begin
calls=4 0
0 2
totals: 4000
"""


def test_counts_per_call_from_a_dump(tmp_path):
    (tmp_path / "cg.out.1").write_text(DUMP)
    (tmp_path / "cg.out").write_text(DUMP.replace("Client Request: get_totals 8 lines [module] x20", "Program termination"))
    out = tmp_path / "counts.json"
    assert threads.run_count(str(tmp_path), str(out)) == 0
    counts = json.loads(out.read_text())["counts"]
    assert list(counts) == ["get_totals 8 lines [module]"]
    c = counts["get_totals 8 lines [module]"]
    assert (c["shared_decrefs"], c["critical_sections"], c["instructions"]) == (3, 1.2, 200)
    assert c["decref_callers"] == {"lib::scan_fields": 2, "_PyEval_EvalFrameDefault": 1}


FULL_RUN = """\
# Benchmarks

- Date: earlier
- Figures from: timings full (21 rounds){threads_part}

## Targets

| target | wanted | measured | |
|---|---|---|---|
| get_totals 8 lines: speed-up over pure Python | >= 12x | 10.27x | missed |
{old_rows}
## Python-level calls

Figures of the full run.

{old_section}## Reproduce

```sh
make bench
```
"""

NEW = """\
# Benchmarks

- Date: now
- Figures from: nothing measured; thread scaling on 3.13t over 5 rounds (quick), the price per call over 5

## Targets

| target | wanted | measured | |
|---|---|---|---|
| 3.13t, get_totals 8 lines: 2 threads over 1 (on an idle machine) | >= 1.8x | 1.90x | met |

## Python-level calls

Not measured in this run.

{title}

New figures.

## Reproduce

```sh
make bench
benchmarks/run-threads .venv-cp313/bin/python
```
"""


@pytest.mark.parametrize("before", ["no thread section", "an earlier thread section"])
def test_thread_section_spliced_into_a_full_run(before):
    earlier = before != "no thread section"
    old = FULL_RUN.format(
        threads_part="; thread scaling on 3.13t over 15 rounds, the price per call over 15" if earlier else "",
        old_rows="| 3.13t, get_totals 8 lines: 2 threads over 1 (on an idle machine) | >= 1.8x | 1.10x | missed |\n" if earlier else "",
        old_section=f"{report.THREADS_TITLE}\n\nOld figures.\n\n" if earlier else "",
    )
    out = report.splice(old, NEW.format(title=report.THREADS_TITLE))
    assert out.count(report.THREADS_TITLE) == 1
    assert "New figures." in out and "Old figures." not in out
    assert "Figures of the full run." in out and "Not measured in this run." not in out
    assert "- Date: earlier" in out
    assert "| get_totals 8 lines: speed-up over pure Python | >= 12x | 10.27x | missed |" in out
    assert "| 3.13t, get_totals 8 lines: 2 threads over 1 (on an idle machine) | >= 1.8x | 1.90x | met |" in out
    assert "1.10x" not in out
    assert out.index(report.THREADS_TITLE) < out.index("## Reproduce")
    assert "benchmarks/run-threads" in out
    figures = next(x for x in out.splitlines() if x.startswith("- Figures from:"))
    assert figures == ("- Figures from: timings full (21 rounds); thread scaling on 3.13t over 5 rounds (quick), "
                       "the price per call over 5 (its own later run of `benchmarks/run-threads`)")
    assert report.splice(out, NEW.format(title=report.THREADS_TITLE)) == out
