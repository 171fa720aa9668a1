"""Many threads on shared objects, for a bounded time each: readers of read-only and editable
sheets never fail, writers' effects are whole, a generator shared by threads fails only as
Python's own generators do, a sheet writer shared by threads writes every row once and whole,
and nothing crashes."""

import contextlib
import io
import os
import re
import sys
import sysconfig
import threading
import time

import pytest

import quillfen
from quillfen.model.cell import Cell
from quillfen.writer.sheet_data import sheet_writer

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "scripts"))
import xlsxgen  # noqa: E402

try:
    import pyarrow as pa
except ImportError:  # frames are appended where pyarrow is installed
    pa = None

SECONDS = 0.8  # per scenario
ROWS, COLS = 300, 8


@pytest.fixture(scope="module")
def path(tmp_path_factory):
    path = str(tmp_path_factory.mktemp("threads") / "mixed.xlsx")
    first, dim_first = xlsxgen.mixed_sheet(ROWS, COLS)
    second, dim_second = xlsxgen.mixed_sheet(ROWS // 2, COLS // 2)
    xlsxgen.write_workbook(path, [("A", first, dim_first, []), ("B", second, dim_second, [])])
    return path


@pytest.fixture(autouse=True)
def engine_on(monkeypatch):
    monkeypatch.setenv("QUILLFEN_PURE_PYTHON", "0")


def hammer(*workers, seconds=SECONDS, done=None):
    """Runs each worker in a thread of its own, released together, until time is up (or the
    event `done` is set); returns what they raised. A worker is called again and again; it
    may keep state in its closure."""
    errors = []
    start = threading.Barrier(len(workers))

    def run(work):
        try:
            start.wait()
            deadline = time.monotonic() + seconds
            while time.monotonic() < deadline and not (done and done.is_set()):
                work()
        except BaseException as exc:  # noqa: BLE001 - reported to the test
            errors.append(exc)

    threads = [threading.Thread(target=run, args=(w,), daemon=True) for w in workers]
    for t in threads:
        t.start()
    for t in threads:
        t.join(seconds + 60)
    assert not any(t.is_alive() for t in threads), "a worker hangs"
    return errors


def values(ws, **kw):
    return list(ws.iter_rows(values_only=True, **kw))


def test_streaming_the_same_and_different_sheets(path):
    with quillfen.load_workbook(path, read_only=True) as wb:
        want = {name: values(wb[name]) for name in ("A", "B")}
        shared = quillfen.load_workbook(path, read_only=True)

        def streamer(name, own):
            def work():
                book = quillfen.load_workbook(path, read_only=True) if own else shared
                try:
                    assert values(book[name]) == want[name]
                finally:
                    if own:
                        book.close()
            return work
        try:
            errors = hammer(*(streamer(name, own) for name in ("A", "B") for own in (False, True, False)))
        finally:
            shared.close()
    assert not errors, errors[:3]


def test_readers_and_writers_on_one_editable_sheet(path):
    wb = quillfen.load_workbook(path)
    ws = wb["A"]
    want = values(ws, max_col=COLS)
    list(ws.iter_rows())  # the cells exist as objects, as after any access
    assert type(ws._cells).__name__ == "CellStore"

    def reader():
        assert values(ws, max_row=ROWS, max_col=COLS) == want
        assert ws.max_row >= ROWS and ws["C7"].value == want[6][2]

    def writer(k):
        # Each writer its own row past the data: set, overwrite, read back, delete.
        row, n = ROWS + 10 + k, [0]

        def work():
            n[0] += 1
            ws.cell(row, 3 + n[0] % (COLS - 2), value=n[0])
            ws[f"B{row}"] = "w%d" % n[0]
            assert ws.cell(row, 3 + n[0] % (COLS - 2)).value == n[0] and ws[f"B{row}"].value == "w%d" % n[0]
            if n[0] % 7 == 0:
                del ws._cells[(row, 3 + n[0] % (COLS - 2))]
        return work

    errors = hammer(*[reader] * 4, *(writer(k) for k in range(3)))
    assert not errors, errors[:3]
    assert values(ws, max_row=ROWS, max_col=COLS) == want
    wb.close()


@pytest.mark.parametrize("read_only", [False, True])
def test_a_generator_shared_by_threads(path, read_only):
    # Python lets one thread at a time into a generator; the others get its ValueError and
    # try again. Every row comes out once. The free-threaded interpreter (3.14) crashes on any
    # generator that threads step at once, a plain one too: there the threads take turns.
    wb = quillfen.load_workbook(path, read_only=read_only)
    rows = wb["A"].iter_rows(values_only=True)
    got, done = [], threading.Event()
    turns = threading.Lock() if sysconfig.get_config_var("Py_GIL_DISABLED") else contextlib.nullcontext()

    def work():
        try:
            with turns:
                got.append(next(rows))
        except ValueError as exc:
            assert str(exc) == "generator already executing"
        except StopIteration:
            done.set()

    errors = hammer(*[work] * 4, seconds=10 * SECONDS, done=done)
    assert not errors, errors[:3]
    assert done.is_set() and sorted(got, key=repr) == sorted(values(wb["A"]), key=repr)
    wb.close()


def test_a_sheet_writer_shared_by_threads(path):
    # Two threads add rows through one writer while a third writes a whole sheet through
    # another over the same loaded cells: every row once and whole, in each output.
    wb = quillfen.load_workbook(path)
    ws = wb["A"]
    whole = io.StringIO()
    sheet_writer(ws, whole.write, False).write_sheet_data(lambda: None)
    want = whole.getvalue()
    out = []
    shared = sheet_writer(wb.create_sheet("W"), out.append, False)
    assert type(shared).__name__ == "SheetWriter"

    def rows_of(k):
        row = [k]

        def work():
            row[0] += 2
            shared.write_row([Cell(ws, row[0], c, value=row[0] * c) for c in range(1, 4)], row[0])
            if row[0] % 50 == 1:
                shared.flush()
        return work

    def whole_sheet():
        text = io.StringIO()
        sheet_writer(ws, text.write, False).write_sheet_data(lambda: None)
        assert text.getvalue() == want

    errors = hammer(rows_of(0), rows_of(1), whole_sheet)
    shared.flush()
    assert not errors, errors[:3]
    written = re.findall(r'<row r="(\d+)">(.*?)</row>', "".join(out))
    numbers = sorted(int(r) for r, _ in written)
    evens, odds = [n for n in numbers if n % 2 == 0], [n for n in numbers if n % 2]
    assert evens == list(range(2, evens[-1] + 1, 2)) and odds == list(range(3, odds[-1] + 1, 2))
    for r, body in written:
        assert body == "".join('<c r="%s%s" t="n"><v>%d</v></c>' % ("ABC"[c - 1], r, int(r) * c) for c in range(1, 4))
    wb.close()


@pytest.mark.parametrize("threads", [2, 4])
@pytest.mark.parametrize("kind", ["write-only", "new", "loaded"])
@pytest.mark.parametrize("pure", ["0", "1"])
def test_appends_edits_and_saves_from_many_threads(path, monkeypatch, threads, kind, pure):
    # issue 24: each append, of a row or a frame, is one step. Appenders add rows (t, i, "t:i")
    # while an editor copies column C of rows already there into D and a saver saves: every
    # saved state has whole rows and whole frames, each appender's rows in order and none
    # missing before its last.
    monkeypatch.setenv("QUILLFEN_PURE_PYTHON", pure)
    per_thread = 600
    wb = quillfen.Workbook(write_only=True) if kind == "write-only" else \
        quillfen.load_workbook(path) if kind == "loaded" else quillfen.Workbook()
    ws = wb.create_sheet("T") if kind == "write-only" else wb.active
    first = 0 if kind == "write-only" else ws.max_row if kind == "loaded" else 0
    start, appending = threading.Barrier(threads + (kind != "write-only") * 2), threading.Event()
    appending.set()
    errors = []

    def run(work):
        try:
            start.wait()
            work()
        except BaseException as exc:  # noqa: BLE001 - reported to the test
            errors.append(exc)
            appending.clear()

    def appender(t):
        # Rows three at a time: appended one by one, or (every other three) as one frame.
        def work():
            for i in range(0, per_thread, 3):
                chunk = [[t, j, "%d:%d" % (t, j)] for j in range(i, i + 3)]
                if pa is not None and i % 6:
                    ws.append_frame(pa.table({name: list(column) for name, column in zip("tix", zip(*chunk))}),
                                    header=False)
                else:
                    for row in chunk:
                        ws.append(row)
        return work

    def editor():
        k = 0
        while appending.is_set():
            appended = ws.max_row - first if ws._bounds() is not None else 0
            if appended > 0:  # a cell asked for past the rows would make a row of its own
                k += 1
                row = first + 1 + k % appended
                ws.cell(row, 4, ws.cell(row, 3).value)

    def saver():
        while appending.is_set():
            out = io.BytesIO()
            wb.save(out)
            check(out, complete=False)
            if pa is not None:  # read as a frame meanwhile: whole rows too
                table = pa.table(ws.to_arrow(header=False, columns="A:C", skip_rows=first))
                assert all(x == "%d:%d" % (t, i) for t, i, x in zip(*table.to_pydict().values())), table[:5]

    def check(out, complete):
        rows = list(quillfen.load_workbook(out, read_only=True)[ws.title].iter_rows(min_row=first + 1, values_only=True))
        seen = {t: [] for t in range(threads)}
        for at, row in enumerate(rows):
            if not any(row):  # an empty sheet reads as one empty row; a lost row shows below
                continue
            t, i, text = row[:3]
            assert text == "%d:%d" % (t, i) and row[3:4] in ((), (None,), (text,)) and not any(row[4:]), row
            seen[t].append(i)
            if pa is not None and i % 6 == 3:  # a frame's rows: all there, together
                assert [r[:2] for r in rows[at:at + 3]] == [(t, i), (t, i + 1), (t, i + 2)], rows[at:at + 3]
        for t, numbers in seen.items():
            assert numbers == list(range(per_thread if complete else len(numbers))), (t, numbers[:10])

    workers = [threading.Thread(target=run, args=(appender(t),)) for t in range(threads)]
    helpers = [] if kind == "write-only" else [threading.Thread(target=run, args=(w,)) for w in (editor, saver)]
    for worker in workers + helpers:
        worker.start()
    for worker in workers:
        worker.join(120)
    appending.clear()
    for worker in helpers:
        worker.join(120)
    assert not any(w.is_alive() for w in workers + helpers), "a worker hangs"
    assert not errors, errors[:3]
    out = io.BytesIO()
    wb.save(out)
    check(out, complete=True)


def test_a_table_name_is_taken_once_across_threads():
    # A table's name is checked against every sheet: threads adding tables of the same names
    # to sheets of their own get each name once between them.
    wb = quillfen.Workbook()
    sheets = [wb.active, *(wb.create_sheet() for _ in range(3))]
    start, errors = threading.Barrier(len(sheets)), []

    def add(ws):
        start.wait()
        for k in range(150):
            try:
                ws.add_table("Tab_%d" % k, "A%d:B%d" % (3 * k + 1, 3 * k + 2), columns=["a", "b"])
            except ValueError as exc:
                if "is taken" not in str(exc):
                    errors.append(exc)

    threads = [threading.Thread(target=add, args=(ws,)) for ws in sheets]
    for t in threads:
        t.start()
    for t in threads:
        t.join(120)
    assert not errors and not any(t.is_alive() for t in threads)
    names = [name for ws in sheets for name in ws.tables]
    assert sorted(names) == sorted("Tab_%d" % k for k in range(150))
def _loaded(path, threads, monkeypatch):
    """What an editable load gives, sheet by sheet, and the warnings it raised, in order."""
    import warnings

    monkeypatch.setenv("QUILLFEN_THREADS", str(threads))
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        wb = quillfen.load_workbook(path)
    sheets = [(ws.title, type(ws._cells).__name__, dict(ws.row_dimensions),
               [(c.coordinate, c.value, c.data_type, c.style_array and tuple(c.style_array)) for c in ws.cells()])
              for ws in wb.worksheets]
    wb.close()
    return sheets, [(str(w.message), w.filename, w.lineno) for w in caught]


def test_sheets_loaded_by_threads_as_by_one(tmp_path, monkeypatch):
    """Sheets bound on several threads load as one thread loads them: the same cells, the same
    fallback for a sheet the engine hands back, the same warnings, in sheet order."""
    from quillfen.reader import worksheet

    monkeypatch.setattr(worksheet, "THREAD_MIN_SIZE", 0)  # small sheets, on threads all the same
    def warned(strings):
        yield '<row r="1" ht="20" customHeight="1"><c r="A1" s="1"><v>4000000</v></c></row>'

    def handed_back(strings):  # a name the engine does not read: the pure-Python path does
        yield ('<row r="1"><c r="A1" s="1"><v>3000000</v></c><c r="B1"><v>2</v></c>'
               '<ext:\u00e9 xmlns:ext="urn:x"/></row>')

    path = str(tmp_path / "sheets.xlsx")
    xlsxgen.write_workbook(path, [("One", warned, None, []), ("Two", handed_back, "A1:B1", []),
                                  ("Three", xlsxgen.mixed_sheet(400, 6)[0], None, []),
                                  ("Four", xlsxgen.mixed_sheet(50, 3)[0], None, [])])
    one = _loaded(path, 1, monkeypatch)
    assert [kind for _title, kind, _dims, _cells in one[0]] == ["CellStore", "dict", "CellStore", "CellStore"]
    assert len(one[1]) == 2
    for threads in (2, 4):
        assert _loaded(path, threads, monkeypatch) == one
    monkeypatch.setenv("QUILLFEN_THREADS", "none")
    with pytest.raises(ValueError, match="QUILLFEN_THREADS"):
        quillfen.load_workbook(path)
