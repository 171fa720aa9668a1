"""Workbooks written by other producers: every cell fact their own projects test must hold here.

Each fact is checked through the public API in read-only and in editable mode. Facts about
formulas are read with formulas kept; all other facts with cached results (data_only), as the
producers' tests read them.
"""

import datetime
import json
import math
import os
import re
from collections import defaultdict

import pytest

import quillfen
from conftest import CORPUS_DIR

CORPUS = os.path.dirname(CORPUS_DIR)
FACTS = os.path.join(CORPUS, "expected.json")
# Files that are not workbooks at all (encrypted, empty, a fuzzer's crash input).
NOT_WORKBOOKS = {"pycal-empty_file.xlsx", "pycal-password.xlsx", "poi-clusterfuzz-6594557414080512.xlsx"}
# Where this package deliberately answers otherwise than a producer's own test: a date-styled
# serial beyond the datetime range reads as the error "#VALUE!" (with a warning), not as the number.
DELIBERATE = {("pycal-issue139.xlsx", "bad_xlsx_dates", "A2"): "#VALUE!"}
_ESCAPE = re.compile(r"_x([0-9A-Fa-f]{4})_")

pytestmark = pytest.mark.skipif(not os.path.exists(FACTS), reason="shared corpus not present")


def _facts_by_file():
    with open(FACTS, encoding="utf-8") as f:
        facts = json.load(f)
    grouped = defaultdict(list)
    for fact in facts:
        grouped[fact["file"]].append(fact)
    return sorted(grouped.items())


def _cells(path, read_only, data_only):
    """{(sheet, coordinate): cell} of every cell present."""
    found = {}
    with quillfen.load_workbook(path, read_only=read_only, data_only=data_only) as wb:
        for ws in wb.worksheets:
            for cell in ws.cells():
                found[(ws.title, cell.coordinate)] = (cell.value, cell.data_type)
    return found


def _matches(fact, value):
    kind, expected = fact["type"], fact["value"]
    if kind == "empty":
        return value is None
    if kind == "formula":
        return getattr(value, "text", value) == "=" + expected  # array formulas keep their text
    if kind == "number":
        return isinstance(value, (int, float)) and not isinstance(value, bool) and math.isclose(value, expected, rel_tol=1e-12)
    if kind == "bool":
        return value is expected
    if kind == "error":
        return value == expected
    if kind == "string":
        # Escapes like _x000D_ are kept as stored; the producers' tests decode them.
        return value == expected or (isinstance(value, str) and _ESCAPE.sub(lambda m: chr(int(m.group(1), 16)), value) == expected)
    if kind == "date":
        return _same_moment(value, expected)
    raise AssertionError("unknown fact type %r" % kind)


def _same_moment(value, expected):
    if isinstance(value, datetime.datetime):
        if len(expected) == 10:
            return value.date().isoformat() == expected
        return abs(value - datetime.datetime.fromisoformat(expected)) < datetime.timedelta(milliseconds=1)
    if isinstance(value, datetime.time) and len(expected) == 8:
        t = datetime.time.fromisoformat(expected)
        delta = (value.hour * 3600 + value.minute * 60 + value.second + value.microsecond / 1e6) - \
                (t.hour * 3600 + t.minute * 60 + t.second)
        return abs(delta) < 1e-3
    if isinstance(value, datetime.date) and len(expected) == 10:
        return value.isoformat() == expected
    return False


@pytest.mark.parametrize("read_only", [True, False], ids=["read-only", "editable"])
@pytest.mark.parametrize("name, facts", _facts_by_file(), ids=lambda v: v if isinstance(v, str) else "")
def test_corpus_facts(name, facts, read_only):
    path = os.path.join(CORPUS, "files", name)
    cached = _cells(path, read_only, data_only=True)
    formulas = _cells(path, read_only, data_only=False) if any(f["type"] == "formula" for f in facts) else {}
    wrong = []
    for fact in facts:
        table = formulas if fact["type"] == "formula" else cached
        value, _ = table.get((fact["sheet"], fact["cell"]), (None, None))
        deliberate = DELIBERATE.get((name, fact["sheet"], fact["cell"]))
        if deliberate is not None:
            assert value == deliberate
            continue
        if not _matches(fact, value):
            wrong.append("%s!%s: expected %s %r, got %r" % (fact["sheet"], fact["cell"], fact["type"], fact["value"], value))
    assert not wrong, "\n".join(wrong)


@pytest.mark.parametrize("name", sorted(NOT_WORKBOOKS))
def test_non_workbooks_give_a_clear_error(name):
    with pytest.raises(quillfen.InvalidFileError):
        quillfen.load_workbook(os.path.join(CORPUS, "files", name))


def _outcome(path, read_only):
    try:
        return _cells(path, read_only, False)
    except Exception as exc:  # broken and hostile files must fail the same way in both modes
        return type(exc)


def test_every_corpus_workbook_reads_the_same_in_both_modes():
    names = sorted(n for n in os.listdir(os.path.join(CORPUS, "files")) if n not in NOT_WORKBOOKS)
    for name in names:
        path = os.path.join(CORPUS, "files", name)
        assert _outcome(path, True) == _outcome(path, False), name


@pytest.mark.parametrize("name", ["cal-issue252.xlsx", "poi-xlsx-corrupted.xlsx", "poi-poc-xmlbomb.xlsx"])
def test_broken_and_hostile_files_fail_cleanly(name):
    with pytest.raises(quillfen.InvalidFileError):
        quillfen.load_workbook(os.path.join(CORPUS, "files", name))
