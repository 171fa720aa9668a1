"""Model-based test: a CellStore loaded with a generated sheet and a plain dict receive the
same operations and must agree after every step: results, identities of cell objects, the
exact exceptions, iteration order, dict mode, and the two iteration-invalidation messages.

Where a dict leaves it open, the store is stricter: any key added or removed while an iterator
is open makes the iterator's next step fail, in dict mode too (a dict's own iterator may go on
over reused slots, depending on its layout)."""

import datetime

import pytest
from hypothesis import settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, precondition, rule

from quillfen.model.cell import Cell
from quillfen.model.styles import StyleArray

pytest.importorskip("_quillfen_testing")


class TupleKey(tuple):
    pass


ROWS = st.integers(1, 5)
COLS = st.one_of(st.integers(1, 5), st.just(70000))
EXACT = st.tuples(ROWS, COLS)
EQUIVALENT = st.one_of(
    st.tuples(st.just(True), COLS),
    st.tuples(ROWS.map(float), COLS),
    EXACT.map(TupleKey),
)
FOREIGN = st.sampled_from(["A1", (-1, 1), (1, 2**32), (1.5, 2), (1, 2, 3), None])
UNHASHABLE = st.just([1, 2])
KEYS = st.one_of(EXACT, EXACT, EXACT, EQUIVALENT, FOREIGN)


def resolve(key):
    """The (row, col) a compact store takes `key` for, or None."""
    if not isinstance(key, tuple) or len(key) != 2:
        return None
    out = []
    for x in key:
        try:
            i = int(x)
            if not (x == i and hash(x) == hash(i)):
                return None
        except Exception:
            return None
        if not 0 <= i < 2**32:
            return None
        out.append(i)
    return tuple(out)


def is_exact(key):
    return type(key) is tuple and len(key) == 2 and all(type(x) is int for x in key) and resolve(key) is not None


def outcome(fn):
    try:
        return ("ok", fn())
    except TypeError as exc:
        # A compact store raises hash()'s own error; a dict words it its own way.
        if "unhashable type" in str(exc):
            return ("raise", TypeError, ("unhashable",))
        return ("raise", TypeError, exc.args)
    except Exception as exc:
        return ("raise", type(exc), exc.args)


class Loaded:
    """A loaded cell not yet accessed: the store must give a Cell holding this value, and in
    its `_loaded` what the cell kept (None, an object kept as it is, or a cached result)."""

    def __init__(self, value, kept):
        self.value = value
        self.kept = kept

    def loaded(self):
        if isinstance(self.kept, tuple):
            return ((), None, self.kept[1:], None)
        return self.kept


# What loaded cells keep: nothing, an object the cell gets as its `_loaded`, a cached result.
KEPT = st.sampled_from([None, None, "kept", ("cached", "str", "x"), ("cached", None, "1")])


class StoreVsDict(RuleBasedStateMachine):
    @initialize(cells=st.lists(st.tuples(ROWS, COLS, st.integers(-2**40, 2**40), KEPT), max_size=25))
    def load(self, cells):
        import _quillfen_testing
        from quillfen._quillfen import CellStore

        self.store = CellStore()
        self.model = {}
        for row, col, value, kept in cells:
            self.model[(row, col)] = Loaded(value, kept)  # a second cell takes the first's position
        _quillfen_testing.store_load(self.store, object(), [StyleArray()], Cell, [], datetime.datetime(1899, 12, 30),
                                     [(r, c, "int", v, 0, 0, k) for r, c, v, k in cells], [])
        self.dict_mode = False
        self.iterator = None

    # -- helpers --

    def agree(self, got, want_model_key):
        """`got` is what the store returned for the model's key; checks and records identity."""
        want = self.model[want_model_key]
        if isinstance(want, Loaded):
            assert type(got) is Cell and got.value == want.value and got._loaded == want.loaded()
            self.model[want_model_key] = got
        else:
            assert got is want

    def model_key(self, key):
        for k in self.model:
            if k == key:
                return k
        return None

    def touch(self, added_or_removed):
        if added_or_removed and self.iterator is not None:
            self.iterator["changed"] = True

    # -- rules --

    @rule(key=KEYS)
    def getitem(self, key):
        got = outcome(lambda: self.store[key])
        want = outcome(lambda: self.model[key])
        assert got[0] == want[0], (got, want)
        if got[0] == "ok":
            self.agree(got[1], self.model_key(key))
        else:
            assert got[1:] == want[1:]

    @rule(key=KEYS, default=st.sampled_from([None, 0, "d"]))
    def get(self, key, default):
        got = self.store.get(key, default)
        if key in self.model:
            self.agree(got, self.model_key(key))
        else:
            assert got is default

    @rule(key=st.one_of(KEYS, UNHASHABLE))
    def contains(self, key):
        assert outcome(lambda: key in self.store) == outcome(lambda: key in self.model)

    @rule(key=st.one_of(KEYS, UNHASHABLE))
    def setitem(self, key):
        value = object()
        present = outcome(lambda: key in self.model)
        got = outcome(lambda: self.store.__setitem__(key, value))
        want = outcome(lambda: self.model.__setitem__(key, value))
        assert got == want
        if got[0] == "ok" and present == ("ok", False):
            if not self.dict_mode and not is_exact(key):
                self.dict_mode = True
                self.iterator = None if self.iterator is None else dict(self.iterator, changed=True)
            self.touch(True)

    @rule(key=st.one_of(KEYS, UNHASHABLE))
    def delitem(self, key):
        got = outcome(lambda: self.store.__delitem__(key))
        want = outcome(lambda: self.model.__delitem__(key))
        assert got == want
        self.touch(got[0] == "ok")

    @rule()
    def popitem(self):
        got = outcome(self.store.popitem)
        if not self.model:
            assert got[:2] == ("raise", KeyError)
            return
        key = list(self.model)[-1]
        assert got[0] == "ok"
        (got_key, value) = got[1]
        assert got_key == key and type(got_key) is type(key)
        self.agree(value, key)
        del self.model[key]
        self.touch(True)

    @rule()
    def clear(self):
        assert self.store.clear() is None
        if self.iterator is not None:
            self.iterator["changed"] = True  # clearing always counts as a change
        self.model.clear()
        self.dict_mode = False

    @rule()
    def reversed_keys(self):
        got = list(reversed(self.store))
        want = list(reversed(self.model))
        assert [(type(k), k) for k in got] == [(type(k), k) for k in want]

    @precondition(lambda self: self.iterator is None)
    @rule()
    def start_iteration(self):
        self.iterator = {"it": iter(self.store), "keys": list(self.model), "pos": 0, "len": len(self.model),
                         "changed": False, "dict": self.dict_mode}

    @precondition(lambda self: self.iterator is not None)
    @rule()
    def step_iteration(self):
        state = self.iterator
        got = outcome(lambda: next(state["it"]))
        if state["changed"]:
            # A compact iterator compares sizes of the compact structures, which are empty in
            # dict mode; one made in dict mode compares the dict's.
            size = len(self.model) if state["dict"] or not self.dict_mode else 0
            message = ("dictionary keys changed during iteration" if size == state["len"]
                       else "dictionary changed size during iteration")
            assert got == ("raise", RuntimeError, (message,))
            self.iterator = None
        elif state["pos"] < len(state["keys"]):
            want = state["keys"][state["pos"]]
            state["pos"] += 1
            assert got == ("ok", want) and type(got[1]) is type(want)
        else:
            assert got == ("raise", StopIteration, ())

    @invariant()
    def kept_data_follows_its_cells(self):
        # Held in the store for the loaded cells not yet made into cell objects, and only for
        # them: a cell removed, replaced, materialised or turned into a dict entry takes it along.
        import _quillfen_testing

        waiting = 0 if self.dict_mode else sum(isinstance(v, Loaded) and v.kept is not None for v in self.model.values())
        assert _quillfen_testing.store_kept(self.store) == waiting

    @invariant()
    def same_size_and_order(self):
        assert len(self.store) == len(self.model)
        assert [(type(k), k) for k in self.store] == [(type(k), k) for k in self.model]
        assert self.store._in_dict_mode() is self.dict_mode
        if self.dict_mode or not self.model:
            assert self.store._bounds() is None
        else:
            rows = [k[0] for k in self.model]
            cols = [k[1] for k in self.model]
            assert self.store._bounds() == (min(rows), max(rows), min(cols), max(cols))


StoreVsDict.TestCase.settings = settings(stateful_step_count=40)
test_store_against_dict = StoreVsDict.TestCase
