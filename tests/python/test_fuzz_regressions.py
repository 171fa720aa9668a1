"""The inputs that the file fuzzer (`make fuzz-files`) found wanting, read again: each must now
be read or refused with InvalidFileError, alike on both paths."""

import importlib.util
import os

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
KEPT = os.path.join(ROOT, "tests", "python", "data", "fuzz_regressions")
NAMES = sorted(n for n in os.listdir(KEPT) if n.endswith(".xlsx")) if os.path.isdir(KEPT) else []


def _fuzzer():
    spec = importlib.util.spec_from_file_location("fuzz_files", os.path.join(ROOT, "scripts", "fuzz_files.py"))
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.mark.parametrize("name", NAMES)
def test_fuzz_finding_is_read_or_refused_alike(name):
    fuzzer = _fuzzer()
    path = os.path.join(KEPT, name)
    with open(path, "rb") as f:
        found = fuzzer.read_both(f.read(), path)
    outcome, why = fuzzer.classify(found)
    assert outcome in ("ok", "invalid"), why
