"""The helper table, parser settings, style-id sets and slot classes as the engine reads them."""

import datetime as dt
import random
import sys

import pytest

import quillfen.utils.datetime as qdt
from quillfen.reader.helpers import reading_helpers
from quillfen.reader.sheet import ReaderSettings

KEYS = ["int", "float", "coordinate_to_tuple", "row_index", "from_excel", "from_ISO8601",
        "date_warning", "ArrayFormula", "DataTableFormula", "Translator", "TokenizerError",
        "TranslatorError", "text_content", "rich_inline", "validate_rpr", "text_dangerous",
        "rich_dangerous"]


def full_table():
    table = {key: object() for key in KEYS}
    table["text_dangerous"] = ["a", "b", "a"]
    table["rich_dangerous"] = ("ü",)
    return table


def test_helpers_keep_their_objects(testing):
    table = full_table()
    kept, text, rich = testing.helpers_from_dict(table)
    assert all(obj is table[key] for obj, key in zip(kept, KEYS[:15], strict=True))
    assert text == [b"a", b"b"]  # duplicates merge
    assert rich == ["ü".encode()]


@pytest.mark.parametrize("missing, reported", [
    (["validate_rpr"], "validate_rpr"),
    (["int", "validate_rpr"], "int"),
    (["rich_dangerous"], "rich_dangerous"),
    (["from_ISO8601", "Translator"], "from_ISO8601"),
])
def test_first_missing_helper_is_reported(testing, missing, reported):
    table = full_table()
    for key in missing:
        del table[key]
    with pytest.raises(TypeError, match=f"^missing helper {reported}$"):
        testing.helpers_from_dict(table)


def test_lookup_ignores_subclass_hooks(testing):
    class Defaulting(dict):
        def __missing__(self, key):
            return object()

        def __getitem__(self, key):
            return object()

        def get(self, key, default=None):
            return object()

    table = Defaulting(full_table())
    del table["float"]
    with pytest.raises(TypeError, match="^missing helper float$"):
        testing.helpers_from_dict(table)


def test_lookup_error_propagates(testing):
    class Colliding:
        def __hash__(self):
            return hash("int")

        def __eq__(self, other):
            raise KeyError("compared")

    table = full_table()
    del table["int"]
    table[Colliding()] = 1
    with pytest.raises(KeyError, match="compared"):
        testing.helpers_from_dict(table)


def test_name_sets_must_be_str_iterables(testing):
    table = full_table()
    table["rich_dangerous"] = ["t", b"r"]
    with pytest.raises(TypeError):
        testing.helpers_from_dict(table)

    def broken():
        yield "t"
        raise ZeroDivisionError

    table = full_table()
    table["text_dangerous"] = broken()
    with pytest.raises(ZeroDivisionError):
        testing.helpers_from_dict(table)


def test_package_table_is_complete_for_text(testing):
    table = reading_helpers()
    assert "si_content" in table
    for key in KEYS:
        table.setdefault(key, object())  # formula classes may not be installed yet
    kept, text, rich = testing.helpers_from_dict(table)
    assert kept[0] is int and kept[1] is float


class Parser:
    epoch = qdt.WINDOWS_EPOCH
    formula_and_value = True
    shared_strings = ["a", "b"]
    data_only = False
    rich_text = True
    date_formats = {14, 22}
    timedelta_formats = ()
    time_formats = [20, True]


def test_settings_fields(testing):
    p = Parser()
    s = testing.settings_from_parser(p)
    assert s["epoch"] == (693593, 0, True) and s["epoch_obj"] is p.epoch
    assert s["formula_and_value"] is True and s["data_only"] is False and s["rich_text"] is True
    assert s["shared_strings_len"] == 2 and s["shared_strings"] is p.shared_strings
    assert s["date_formats"] == [14, 22] and s["timedelta_formats"] == [] and s["time_formats"] == [20]


def test_settings_read_each_attribute_once_in_the_pure_order(testing):
    # The pure-Python reader's settings are the reference: the same reads, once each.
    def reads(build):
        seen = []

        class Recording(Parser):
            def __getattribute__(self, name):
                seen.append(name)
                return object.__getattribute__(self, name)

        build(Recording())
        return seen

    assert reads(testing.settings_from_parser) == reads(ReaderSettings.from_parser) == [
        "epoch", "formula_and_value", "shared_strings", "data_only", "rich_text", "date_formats",
        "timedelta_formats", "time_formats", "keep_cells"]


class _SubDatetime(dt.datetime):
    pass


@pytest.mark.parametrize("overrides, field, value", [
    ({"epoch": qdt.MAC_EPOCH}, "epoch", (695055, 0, False)),
    ({"epoch": _SubDatetime(1899, 12, 30)}, "epoch", None),
    ({"epoch": dt.datetime(1899, 12, 30, tzinfo=dt.UTC)}, "epoch", None),
    ({"epoch": dt.date(1899, 12, 30)}, "epoch", None),
    ({"shared_strings": ("a", "b")}, "shared_strings_len", 0),
    ({"shared_strings": type("L", (list,), {})(["a"])}, "shared_strings_len", 0),
    ({"date_formats": {14, True, 22.0, "15", 2**70}}, "date_formats", [14]),
    ({"date_formats": [-1, -1, 2**63 - 1, -(2**63), 2**63]}, "date_formats", [-(2**63), -1, 2**63 - 1]),
    ({"timedelta_formats": [type("I", (int,), {})(46), False]}, "timedelta_formats", [46]),
    ({"data_only": [0]}, "data_only", True),
])
def test_settings_rules(testing, overrides, field, value):
    p = type("P", (Parser,), overrides)()
    assert testing.settings_from_parser(p)[field] == value


@pytest.mark.parametrize("error", [AttributeError, RuntimeError])
def test_only_a_missing_formula_and_value_means_false(testing, error):
    class Option(Parser):
        @property
        def formula_and_value(self):
            raise error("formula_and_value")

    if error is AttributeError:
        assert testing.settings_from_parser(Option())["formula_and_value"] is False
        assert ReaderSettings.from_parser(Option()).formula_and_value is False
    else:
        for build in (testing.settings_from_parser, ReaderSettings.from_parser):
            with pytest.raises(error):
                build(Option())


def test_settings_errors_propagate(testing, monkeypatch):
    class NoDataOnly:
        epoch = None
        shared_strings = []
        formula_and_value = False

    with pytest.raises(AttributeError, match="data_only"):
        testing.settings_from_parser(NoDataOnly())

    class BadTruth:
        def __bool__(self):
            raise ArithmeticError("no truth")

    with pytest.raises(ArithmeticError):
        testing.settings_from_parser(type("P", (Parser,), {"formula_and_value": BadTruth()})())
    with pytest.raises(TypeError):
        testing.settings_from_parser(type("P", (Parser,), {"date_formats": 14})())

    class Incomparable:
        def __eq__(self, other):
            raise LookupError("cannot compare")

    monkeypatch.setattr(qdt, "WINDOWS_EPOCH", Incomparable())
    with pytest.raises(LookupError):
        testing.settings_from_parser(Parser())


def test_int_set_keeps_only_ints(testing):
    class Indexable:
        def __index__(self):
            return 3

    assert testing.int_set([5, 5, Indexable(), None, 1.0, True]) == [5]

    asked = []

    class Loud:
        def __index__(self):
            asked.append(self)  # must never run: only ints are style ids
            raise KeyboardInterrupt

    assert testing.int_set([Loud(), 2**64, -2**63, 7]) == [-2**63, 7] and asked == []
    with pytest.raises(TypeError):
        testing.int_set(7)


def test_int_set_lookup_agrees_with_a_set(testing):
    edges = [-2**63, -65, -1, 0, 1, 63, 64, 127, 4095, 65535, 65536, 65537, 2**40, 2**63 - 1]
    rng = random.Random(23)
    for _ in range(200):
        ids = rng.sample(edges, rng.randrange(len(edges) + 1)) + [rng.randrange(70000) for _ in range(rng.randrange(8))]
        probes = edges + [i + d for i in ids for d in (-1, 0, 1) if -2**63 <= i + d < 2**63]
        assert testing.int_set_contains(ids, probes) == [p in set(ids) for p in probes]


class Base:
    __slots__ = ("parent",)


class Cell(Base):
    __slots__ = ("row", "column", "_value_", "__dict__")
    kind = "plain attribute"

    @property
    def _value(self):
        return self._value_

    def method(self):
        return None


def test_slot_offsets_follow_requested_order(testing):
    forward = testing.slot_offsets(Cell, ["row", "column"])
    backward = testing.slot_offsets(Cell, ["column", "row"])
    assert backward == forward[::-1] and len(set(forward)) == 2


def test_slot_values_land_in_the_attributes(testing):
    row, value = object(), object()
    before = sys.getrefcount(value)
    cell = testing.slot_fill(Cell, ["parent", "row", "_value_", "column"], ["ws", row, value, None])
    assert (cell.parent, cell.row, cell._value) == ("ws", row, value)
    assert sys.getrefcount(value) == before + 1  # stored once, the replaced reference released
    with pytest.raises(AttributeError):
        cell.column  # left unset
    del cell
    assert sys.getrefcount(value) == before


@pytest.mark.parametrize("name", ["_value", "method", "kind", "__dict__"])
def test_non_slots_are_refused(testing, name):
    with pytest.raises(TypeError, match=f"^{name} is not a slot$"):
        testing.slot_offsets(Cell, ["row", name])


def test_missing_attribute_is_attribute_error(testing):
    with pytest.raises(AttributeError):
        testing.slot_offsets(Cell, ["row", "nope"])


def test_member_of_other_kind_is_refused(testing):
    # timedelta's fields are C integers, not object slots.
    with pytest.raises(TypeError, match="^days has unexpected slot type$"):
        testing.slot_offsets(dt.timedelta, ["days"])
