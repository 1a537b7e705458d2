"""The corpus of corpus.py gives the same bytes as when its digest was stored: the same
outputs, error texts and notes on every machine, interpreter and build that runs the suite
(x86-64 and aarch64; CPython 3.13, 3.14 and 3.15; GCC, clang with libc++, Zig)."""

from __future__ import annotations

import os
import tempfile
from pathlib import Path

import corpus


def test_corpus_covers_every_quantization_and_kind_of_call():
    names = [name for name, _ in corpus._calls()]
    assert len(names) == len(set(names))
    assert {f"bill q={q}" for q in range(29)} <= set(names)
    outcomes = list(corpus.outcomes())
    assert any("raised PanicException" in text for text in outcomes)
    assert any("raised ValueError" in text and "notes=['" in text for text in outcomes)
    assert any(text.startswith("split 1000.00/65535") and text.count("'") == 2 * 65535 for text in outcomes)


def test_corpus_digest_is_the_stored_one():
    actual = corpus.digest()
    if actual != corpus.stored_digest():
        dump = Path(tempfile.gettempdir()) / f"tallyforge-corpus-{os.getpid()}.txt"
        dump.write_text("".join(t + "\n" for t in corpus.outcomes()), encoding="utf-8")
        raise AssertionError(
            f"corpus digest {actual} differs from {corpus.DIGEST_FILE.name}; outcomes in {dump} "
            "(compare with `python tests/python/corpus.py --dump` from a build that matches; "
            "after a deliberate change of output, `python tests/python/corpus.py --write`)"
        )
