"""The README's Python examples run as written and print what it shows."""

from __future__ import annotations

import doctest
import re
from pathlib import Path

import pytest

README = Path(__file__).resolve().parents[2] / "README.md"


@pytest.mark.skipif(not README.exists(), reason="README.md is not beside the tests")
def test_readme_examples():
    import tallyforge

    blocks = re.findall(r"```python\n(.*?)```", README.read_text(encoding="utf-8"), re.S)
    names: dict = {"tallyforge": tallyforge}
    parser = doctest.DocTestParser()
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    for i, block in enumerate(blocks):
        if ">>>" not in block:
            exec(block, names)  # definitions the examples use
            continue
        test = parser.get_doctest(block, names, f"README block {i}", str(README), 0)
        runner.run(test, clear_globs=False)
        names.update(test.globs)
    failed, attempted = runner.summarize(verbose=False)
    assert attempted > 20 and failed == 0
