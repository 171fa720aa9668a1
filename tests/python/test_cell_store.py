"""CellStore: the mapping protocol, materialised cells, row access, dict mode, diagnostics,
borrowing and lifetime. Stores are filled through the test-only loader (the part of
bind_cells after parsing) so each case controls exactly what is stored."""

import datetime
import gc
import sys
import threading
import time

import pytest

from quillfen.model.cell import Cell
from quillfen.model.styles import StyleArray

from faults import assert_no_leak

WINDOWS = datetime.datetime(1899, 12, 30)


class Sheet:
    title = "S"


def styles(n=3):
    return [StyleArray([i] * 9) for i in range(n)]


@pytest.fixture
def load(native, testing):
    """load(cells, **kw) -> (store, ws, cell_styles)."""

    def _load(cells, shared_strings=("a", "b"), masters=(), cell_styles=None, store=None, epoch=WINDOWS):
        store = native.CellStore() if store is None else store
        ws = Sheet()
        cell_styles = styles() if cell_styles is None else cell_styles
        testing.store_load(store, ws, cell_styles, Cell, list(shared_strings), epoch, list(cells), list(masters))
        return store, ws, cell_styles

    return _load


def grid(rows, cols):
    return [(r, c, "int", r * 100 + c, None, 0) for r in range(1, rows + 1) for c in range(1, cols + 1)]


def test_class_surface(native):
    assert native.CellStore.__text_signature__ == "(*_args, **_kwargs)"
    assert not hasattr(native, "KeyIter")
    store = native.CellStore(1, 2, x=3)
    assert len(store) == 0 and store._bounds() is None and not store._in_dict_mode()
    assert type(iter(store)).__name__ == "KeyIter"
    assert native.CellStore.get.__text_signature__ == "($self, key, default=None)"
    assert native.CellStore.popitem.__doc__ == "dict.popitem(): remove and return the last inserted (key, value)"
    assert native.CellStore._stats.__doc__ == "Diagnostics: (cells, materialised cells, formula templates, text bytes)"
    assert native.CellStore._row.__doc__.startswith("One row of `Worksheet._cells_by_row`")

    class Sub(native.CellStore):
        pass

    sub = Sub()
    sub[(1, 1)] = "x"
    assert sub[(1, 1)] == "x" and isinstance(sub, native.CellStore)


def test_values_of_every_kind(load):
    big = "x" * 70
    store, ws, _ = load([
        (1, 1, "empty", None, None, 0), (1, 2, "int", 2**31 - 1, None, 0), (1, 3, "int", -2**31, None, 0),
        (1, 4, "int", 2**31, None, 0), (1, 5, "int", -2**63, None, 0), (1, 6, "float", -0.0, None, 0),
        (1, 7, "bool", True, None, 3), (1, 8, "sst", 1, None, 1), (1, 9, "str", big, None, 1),
        (1, 10, "str", big, None, 1), (1, 11, "dateint", 0, None, 5), (1, 12, "dateint", 45000, None, 5),
        (1, 13, "datefloat", 0.75, None, 5), (1, 14, "py", {"k": 1}, None, "str"),
        (1, 15, "formula", "=B1+1", None, 2),
    ])
    row = store._row(1, 1, 15, True)[0]  # read from the records, before any cell object exists
    got = [store[(1, c)].value for c in range(1, 16)]
    assert [(type(v), repr(v)) for v in row] == [(type(v), repr(v)) for v in got]
    assert got[:8] == [None, 2**31 - 1, -2**31, 2**31, -2**63, -0.0, True, "b"]
    assert str(got[5]) == "-0.0" and got[6] is True
    assert got[8] == got[9] == big
    assert got[10] == datetime.time(0, 0)
    assert got[11] == datetime.datetime(2023, 3, 15) and type(got[11]) is datetime.datetime
    assert got[12] == datetime.time(18, 0)
    assert got[13] == {"k": 1} and got[14] == "=B1+1"
    assert [store[(1, c)].data_type for c in (1, 7, 8, 11, 14, 15)] == ["n", "b", "s", "d", "str", "f"]
    assert store._stats() == (15, 15, 0, 70 + len("=B1+1"))


def test_materialised_cell_slots(load):
    store, ws, cell_styles = load([(2, 1, "int", 1, 1, 0), (2, 2, "int", 2, None, 0), (3, 1, "int", 3, 2, 0)])
    assert (2, 1) in store and store._stats()[1] == 0  # membership does not materialise
    a = store[(2, 1)]
    assert store[(2, 1)] is a and type(a) is Cell
    assert a.parent is ws and a._hyperlink is None and a._comment is None
    assert a._style == cell_styles[1] and a._style is not cell_styles[1] and type(a._style) is StyleArray
    assert a._style.typecode == "i"
    b, c = store[(2, 2)], store[(3, 1)]
    assert b._style is None
    assert a.row is b.row and c.row is not a.row and (a.row, a.column, c.row) == (2, 1, 3)
    assert store._stats()[1] == 3


def test_object_values_are_kept_as_the_same_object(load):
    value = object()
    store, _, _ = load([(1, 1, "py", value, None, 0)])
    assert store[(1, 1)].value is value


def test_shared_formulas_and_templates(load):
    cells = [(r, 2, "formula", "=A%d*3" % r, None, 2) for r in range(1, 6)]
    cells += [(6, 1, "shared", 0, None, 2), (7, 1, "shared_own", 0, None, 2)]
    store, _, _ = load(cells, masters=[("=B1+$C$1", 1, 1)])
    assert [store[(r, 2)].value for r in range(1, 6)] == ["=A%d*3" % r for r in range(1, 6)]
    assert store[(6, 1)].value == "=B6+$C$1" and store[(7, 1)].value == "=B1+$C$1"
    assert store._stats()[2] == 1


def test_unusual_data_types(load):
    store, _, _ = load([(1, 1, "empty", None, None, "x"), (1, 2, "empty", None, None, "y"),
                        (1, 3, "empty", None, None, "x")])
    assert [store[(1, c)].data_type for c in (1, 2, 3)] == ["x", "y", "x"]


def test_key_forms(load):
    store, _, _ = load(grid(2, 2))

    class T(tuple):
        pass

    cell = store[(1, 2)]
    assert store[(True, 2)] is cell and store[(1.0, 2)] is cell and store[T((1, 2))] is cell
    assert (1.5, 2) not in store and (-1, 2) not in store and (1, 2**32) not in store and "A1" not in store
    assert store.get((9, 9)) is None and store.get((9, 9), 5) == 5 and store.get(key=(1, 2)) is cell
    with pytest.raises(TypeError):
        store[[1, 2]]
    with pytest.raises(TypeError):
        [1, 2] in store
    with pytest.raises(KeyError) as err:
        store[(9, 9)]
    assert err.value.args == ((9, 9),)
    with pytest.raises(KeyError) as err:
        del store[(9, 9)]
    assert err.value.args == ((9, 9),)


def test_assignment_and_deletion_orders(load):
    store, _, _ = load(grid(2, 2))
    store[(1.0, 2)] = "replaced"  # equivalent key, present: stays compact, keeps its position
    assert store[(1, 2)] == "replaced" and not store._in_dict_mode()
    assert list(store) == [(1, 1), (1, 2), (2, 1), (2, 2)]
    del store[(1, 1)]
    store[(1, 1)] = "back"
    assert list(store) == [(1, 2), (2, 1), (2, 2), (1, 1)]
    assert list(reversed(store)) == [(1, 1), (2, 2), (2, 1), (1, 2)]
    assert store._bounds() == (1, 2, 1, 2)
    key, value = store.popitem()
    assert key == (1, 1) and value == "back" and len(store) == 3


@pytest.mark.parametrize("key", ["A1", (-1, 1), (1, 2**32), (2.0, 9)])
def test_dict_mode(load, key):
    store, _, _ = load(grid(2, 2))
    first = store[(1, 1)]
    store[key] = "new"
    assert store._in_dict_mode() and store._bounds() is None and len(store) == 5
    keys = list(store)
    assert keys[:4] == [(1, 1), (1, 2), (2, 1), (2, 2)] and keys[4] is key
    assert store[(1, 1)] is first and store[(2, 2)].value == 202
    assert store._row(1, 1, 3, True) == ((101, 102, None), True) and len(store) == 6
    assert list(reversed(store))[0] == (1, 3)
    store.clear()
    assert not store._in_dict_mode() and len(store) == 0


def test_iteration_invalidation(load):
    store, _, _ = load(grid(2, 2))
    it = iter(store)
    next(it)
    store[(1, 1)] = "value replaced"
    assert next(it) == (1, 2)
    store[(5, 5)] = "added"
    with pytest.raises(RuntimeError, match="^dictionary changed size during iteration$"):
        next(it)
    it = iter(store)
    del store[(5, 5)]
    store[(6, 6)] = "other"
    with pytest.raises(RuntimeError, match="^dictionary keys changed during iteration$"):
        next(it)
    assert list(store) == [(1, 1), (1, 2), (2, 1), (2, 2), (6, 6)]


def test_iteration_invalidation_in_dict_mode(load):
    # Issue 23: cells popped and set while an iterator was open left the dict's size alone, and
    # the dict's own iterator went on over its reused slots (yielding a key set after it began)
    # or stopped, depending on the dict's layout. The store's iterator fails in every layout.
    store, _, _ = load([(1, 70000, "int", 0, None, 0)])
    store.popitem()
    store["A1"] = "dict mode"
    store[(True, 70000)] = "x"
    it = iter(store)
    store.popitem()
    store[(True, 70000)] = "x"
    with pytest.raises(RuntimeError, match="^dictionary keys changed during iteration$"):
        next(it)
    it = iter(store)
    assert next(it) == "A1"
    store["A1"] = "value replaced"
    assert next(it) == (True, 70000)
    store[(2, 2)] = "added"
    with pytest.raises(RuntimeError, match="^dictionary changed size during iteration$"):
        next(it)
    it = iter(store)
    store.clear()
    with pytest.raises(RuntimeError, match="^dictionary changed size during iteration$"):
        next(it)


def test_popitem_and_clear(load, native):
    store, _, _ = load(grid(3, 2))
    key, cell = store.popitem()
    assert key == (3, 2) and cell.value == 302
    with pytest.raises(KeyError, match="popitem\\(\\): dictionary is empty"):
        native.CellStore().popitem()
    assert store.clear() is None and len(store) == 0 and list(store) == []


def test_row_access(load):
    store, _, _ = load([(5, 2, "int", 7, None, 0), (5, 4, "int", 8, None, 0)])
    assert store._row(5, 1, 3, True) == ((None, 7, None), True)
    assert len(store) == 4
    assert store._row(5, 1, 3, True) == ((None, 7, None), False)
    cells, created = store._row(row=5, min_col=1, max_col=5, values_only=False)
    assert created and [c.value for c in cells] == [None, 7, None, 8, None]
    assert cells[0].data_type == "n" and cells[0]._style is None and cells[0].row == 5
    assert store._row(5, 3, 1, False) == ((), False)
    assert store._row(5, 2**32, 1, False) == ((), False)  # empty ranges are not checked
    for args in [(-1, 1, 2), (1, -1, 2), (2**32, 1, 1), (1, 1, 2**32)]:
        with pytest.raises(ValueError):
            store._row(*args, True)
    with pytest.raises(TypeError, match="'min_col'"):
        store._row(1, "a", 2, True)
    assert gc.isenabled()


def test_rows_iterator_reads_each_row_when_asked_and_lets_the_guard_go(load):
    (store, _, _), (twin, _, _) = load(grid(3, 2)), load(grid(3, 2))
    guard = threading.RLock()
    rows = store._rows(1, 4, 1, 3, True, guard)
    assert next(rows) == twin._row(1, 1, 3, True)[0]
    store[(2, 1)].value = twin[(2, 1)].value = "changed"  # seen: no row is read ahead
    assert list(rows) == [twin._row(r, 1, 3, True)[0] for r in (2, 3, 4)]
    assert next(rows, "done") == "done" and len(store) == len(twin) == 12
    cells = list(store._rows(2, 2, 1, 2, False, guard))[0]
    assert [c.value for c in cells] == ["changed", 202]
    failing = store._rows(-1, 1, 1, 2, True, guard)
    with pytest.raises(ValueError):
        next(failing)
    free = []
    worker = threading.Thread(target=lambda: free.append(guard.acquire(blocking=False)))
    worker.start()
    worker.join()
    assert free == [True]
    with pytest.raises(AttributeError):
        store._rows(1, 1, 1, 1, True, None)


def test_rows_of_values_across_the_store_chunks(load):
    # 11 cells a row: rows straddle the 65536-record chunks; a twelfth column is created empty.
    store, _, _ = load(grid(6000, 11))
    del store[(5958, 5)]
    got = list(store._rows(5950, 6000, 1, 12, True, threading.RLock()))
    assert got == [tuple(None if c == 12 or (r, c) == (5958, 5) else r * 100 + c for c in range(1, 13))
                   for r in range(5950, 6001)]
    assert len(store) == 6000 * 11 - 1 + 51 + 1


def test_rows_of_plain_values_are_left_to_no_collection(load):
    # A row tuple that can be in no cycle is untracked as it is made; one holding an object that
    # may be keeps the collector's eye, and a cycle through it is still collected.
    class Held:
        pass

    held = Held()
    store, _, _ = load([(1, 1, "int", 1, None, 0), (1, 2, "str", "x", None, 0), (2, 1, "py", held, None, 0)])
    plain, holding = store._rows(1, 2, 1, 2, True, threading.RLock())
    assert not gc.is_tracked(plain) and gc.is_tracked(holding)
    held.row = holding
    ref = __import__("weakref").ref(held)
    del held, holding, store
    gc.collect()
    assert ref() is None


def test_dates_read_again_from_a_growing_table(load):
    serial = lambda r, c: 40000 + (r * 7 + c) % 700  # noqa: E731 - more serials than the first table holds
    store, _, _ = load([(r, c, "dateint", serial(r, c), None, 5) for r in range(1, 301) for c in range(1, 6)])
    want = [tuple(WINDOWS + datetime.timedelta(days=serial(r, c)) for c in range(1, 6)) for r in range(1, 301)]
    for _ in range(2):
        assert list(store._rows(1, 300, 1, 5, True, threading.RLock())) == want


def test_row_access_on_a_store_never_loaded(native):
    store = native.CellStore()
    assert store._row(1, 1, 2, True) == ((None, None), True)
    with pytest.raises(RuntimeError, match="never loaded"):
        store._row(1, 1, 2, False)
    with pytest.raises(RuntimeError, match="never loaded"):
        store[(1, 1)]
    assert gc.isenabled() and len(store) == 2


def test_failures_leave_the_store_as_it_was(load, native):
    class Broken(list):
        def __getitem__(self, i):
            raise LookupError("no styles today")

    store, _, _ = load([(1, 1, "int", 1, 0, 0), (1, 2, "sst", 5, None, 1)], cell_styles=Broken(styles()))
    with pytest.raises(LookupError):
        store[(1, 1)]
    with pytest.raises(IndexError):
        store[(1, 2)]  # the shared-string list's own error
    assert store._stats()[:2] == (2, 0)
    with pytest.raises(LookupError):
        store["switch"] = 1  # materialising everything for dict mode fails: stays compact
    assert not store._in_dict_mode() and len(store) == 2
    store, _, _ = load([(1, 1, "int", 1, 0, 0)], cell_styles=[object()])
    with pytest.raises(TypeError, match="array"):
        store[(1, 1)]


def test_reentry_is_refused(load):
    class Sneaky:
        def __init__(self):
            self.store = None
            self.errors = []

        def __index__(self):
            return 1

        def __int__(self):
            try:
                self.store[(7, 7)] = "x"
            except RuntimeError as exc:
                self.errors.append(str(exc))
            try:
                len(self.store)
            except RuntimeError as exc:
                self.errors.append(str(exc))
            return 1

        def __eq__(self, other):
            return other == 1

        def __hash__(self):
            return hash(1)

    store, _, _ = load(grid(1, 1))
    sneaky = Sneaky()
    sneaky.store = store
    store[(sneaky, 1)] = "via equivalent key"
    assert sneaky.errors == ["Already borrowed", "Already mutably borrowed"]
    assert store[(1, 1)] == "via equivalent key" and len(store) == 1


def test_reentry_under_a_shared_borrow_is_refused(load):
    # `in` holds the store shared while the key hashes: the same thread may read, not write.
    store, _, _ = load(grid(1, 1))
    seen = []

    class Key:
        def __hash__(self):
            seen.append(len(store))
            with pytest.raises(RuntimeError, match="^Already borrowed$"):
                store[(1, 1)]
            return 1

    assert (Key(), 1) not in store and seen == [1]


def test_other_threads_wait_and_never_fail(load):
    store, _, _ = load(grid(50, 20))
    errors = []

    def work(offset):
        try:
            for i in range(300):
                assert store[(1 + (i + offset) % 50, 1 + i % 20)].value == (1 + (i + offset) % 50) * 100 + 1 + i % 20
                store[(100 + offset, i)] = i
                len(store)
                (1, 1) in store
        except Exception as exc:  # noqa: BLE001 - reported below
            errors.append(exc)

    threads = [threading.Thread(target=work, args=(k,)) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors and len(store) == 50 * 20 + 4 * 300


def test_a_thread_waits_while_another_runs_python_code(load):
    store, _, _ = load(grid(1, 1))
    order = []

    class Key:
        def __hash__(self):
            # Runs under the store's exclusive borrow: the other thread's read must wait.
            if not order:
                reader.start()
                time.sleep(0.05)
                order.append("hashed")
            return hash(1)

        def __int__(self):
            return 1

        def __eq__(self, other):
            return other == 1

    reader = threading.Thread(target=lambda: order.append(len(store)))
    store[(Key(), 1)] = "x"
    reader.join()
    assert order == ["hashed", 1]


def test_two_stores_never_deadlock(load):
    # Each thread holds one store (its key is hashing) and reaches for the other: one of them
    # would close the cycle and fails instead of waiting; the other completes.
    first, _, _ = load(grid(1, 1))
    second, _, _ = load(grid(1, 1))
    both_in = threading.Barrier(2, timeout=30)
    errors = []

    class Key:
        def __init__(self, other):
            self.other = other

        def __hash__(self):
            both_in.wait()
            try:
                self.other[(1, 1)]
            except RuntimeError as exc:
                errors.append(str(exc))
            return hash(1)

    # Key has no int(): after hashing once it is no key of a compact store, so get() gives None.
    threads = [threading.Thread(target=lambda a=a, b=b: a.get((Key(b), 1)), daemon=True)
               for a, b in ((first, second), (second, first))]
    for t in threads:
        t.start()
    for t in threads:
        t.join(30)
    assert errors == ["Already borrowed"] and not any(t.is_alive() for t in threads)


def test_reload_replaces_everything(load, native):
    store, _, _ = load(grid(2, 2))
    store["dict"] = 1
    store, ws, new_styles = load([(1, 1, "int", 5, 1, 0)], store=store, cell_styles=[StyleArray([9] * 9)] * 2)
    assert not store._in_dict_mode() and list(store) == [(1, 1)]
    assert store[(1, 1)]._style == new_styles[1] and store[(1, 1)].parent is ws


def test_cycles_are_collected(load):
    store, ws, _ = load(grid(3, 3))
    ws._cells = store  # worksheet -> store -> cells -> worksheet
    store[(1, 1)]
    ref = __import__("weakref").ref(ws)
    del ws, store
    gc.collect()
    assert ref() is None


def test_no_leaks_over_repeated_use(load):
    def cycle():
        store, ws, _ = load(grid(20, 10) + [(1, 70000, "py", [1], None, 0), (2, 1, "str", "t" * 50, None, 1)])
        for key in list(store)[:50]:
            store[key]
        store[(300, 1)] = "new"
        store._row(400, 1, 5, False)
        del store[(1, 2)]
        store["dict"] = 1
        store.clear()

    # A cycle makes a few dozen objects: one of them leaked would grow each window by 400 blocks.
    assert_no_leak(cycle, 400, warm=100, runs_per_step=4)


def test_refcounts_of_inputs(load, native):
    value = object()
    before = sys.getrefcount(value)
    store, _, _ = load([(1, 1, "py", value, None, 0)])
    store[(1, 1)]
    store[(1, 2)] = value
    store[(1, 2)] = "other"
    del store
    gc.collect()
    assert sys.getrefcount(value) == before
