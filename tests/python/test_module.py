"""The module frame: what import provides, NativeFallback, and the one error conversion."""

import os
import re
import subprocess
import sys
import sysconfig

import pytest

from quillfen.utils.patterns import lazy


def test_fallback_is_a_direct_exception_subclass(native):
    fb = native.NativeFallback
    assert fb.__bases__ == (Exception,)
    assert fb.__module__ == "_quillfen" and fb.__qualname__ == "NativeFallback"
    assert fb.__doc__ == ("The native engine cannot reproduce the pure-Python path's behaviour for this input; "
                          "the pure Python implementation must be used.")
    assert not issubclass(fb, (ValueError, LookupError, ArithmeticError, OSError, RuntimeError))


def test_namespace_has_no_key_iterator(native):
    assert "NativeFallback" in dir(native)
    assert "KeyIter" not in dir(native)
    assert native.__doc__ == ""


def test_module_keeps_the_gil_off(native, testing):
    # In a fresh interpreter that imports nothing else and is not told PYTHON_GIL: an
    # extension that did not declare itself free-threading safe would turn the GIL back on.
    if not sysconfig.get_config_var("Py_GIL_DISABLED"):
        pytest.skip("needs a free-threaded interpreter")
    env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
    env["PYTHONPATH"] = os.path.dirname(testing.__file__)
    code = "import sys, quillfen._quillfen, _quillfen_testing; print(sys._is_gil_enabled())"
    done = subprocess.run([sys.executable, "-W", "error", "-c", code], env=env, capture_output=True, text=True)
    assert (done.returncode, done.stdout, done.stderr) == (0, "False\n", "")


@pytest.mark.parametrize("work, unwanted", [
    ("wb = quillfen.Workbook(); wb.active.append([1, 'a']); wb.save(path)",
     ("quillfen.reader", "quillfen.frames", "quillfen._arrow", "lxml", "ctypes", "hashlib", "html")),
    ("quillfen.Workbook().save(path); quillfen.load_workbook(path)['Sheet']['A1'].value",
     ("quillfen.frames", "quillfen._arrow", "quillfen.reader.prescan", "lxml", "ctypes", "hashlib")),
], ids=["first save", "load"])
def test_a_call_imports_only_what_it_needs(tmp_path, work, unwanted):
    # A short-lived process pays for every module a call drags in: saving a new workbook needs
    # no reader, and neither saving nor loading needs the DataFrame or Arrow machinery.
    code = "import sys, quillfen; path = sys.argv[1]; %s; print(sorted(m for m in sys.modules if m.startswith(%r)))" \
        % (work, unwanted)
    done = subprocess.run([sys.executable, "-c", code, str(tmp_path / "book.xlsx")], capture_output=True, text=True)
    assert (done.returncode, done.stdout, done.stderr) == (0, "[]\n", "")


def test_lazy_patterns_compile_when_first_used():
    # Patterns on the way of a first save wait for their first use, then act as compiled ones.
    pattern = lazy(rb"a(b+)", re.I)
    assert "search" not in vars(pattern)
    assert pattern.search(b"xABb").group(1) == b"Bb"
    assert (pattern.pattern, pattern.flags & re.I, pattern.sub(b"-", b"abab")) == (rb"a(b+)", re.I, b"--")
    assert isinstance(vars(pattern)["search"].__self__, re.Pattern)  # kept: later uses go straight to it


def test_interpreters_that_check_extensions_refuse_the_module():
    # The type objects are shared by the whole process, so only the main interpreter may
    # import the module, even one sharing its GIL.
    import _interpreters
    config = _interpreters.new_config("legacy", check_multi_interp_extensions=True)
    interp = _interpreters.create(config)
    try:
        failure = _interpreters.run_string(interp, "import quillfen._quillfen")
    finally:
        _interpreters.destroy(interp)
    assert failure is not None and failure.type.__name__ == "ImportError"
    assert "does not support loading in subinterpreters" in failure.msg


@pytest.mark.parametrize("kind, prefix", [("malformed", "malformed: "), ("unsupported", "unsupported: ")])
def test_xml_errors_become_fallback_with_prefix(native, testing, kind, prefix):
    with pytest.raises(native.NativeFallback) as info:
        testing.raise_xml_error(kind, "bad name")
    assert info.value.args == (prefix + "bad name",)


def test_source_errors_keep_the_exception_object(testing):
    original = ValueError("boom")
    with pytest.raises(ValueError) as info:
        testing.raise_xml_error("source", original)
    assert info.value is original


class _Unprintable(Exception):
    def __str__(self):
        raise RuntimeError("no str")


@pytest.mark.parametrize("exc, message", [
    (ValueError("bad read"), "native reader error: ValueError: bad read"),
    (_Unprintable(), "native reader error: _Unprintable: <exception str() failed>"),
])
def test_streaming_wraps_python_errors(native, testing, exc, message):
    with pytest.raises(native.NativeFallback) as info:
        testing.wrap_exception(exc)
    assert info.value.args == (message,)


def test_streaming_keeps_fallback_subclasses(native, testing):
    class Sub(native.NativeFallback):
        pass
    exc = Sub("as is")
    with pytest.raises(Sub) as info:
        testing.wrap_exception(exc)
    assert info.value is exc


DOCSTRINGS = {
    "read_string_table": "read_string_table(source, helpers) -> list",
    "bind_cells": ("Read all cells of a worksheet (full / editable mode) into `store`.\n\n"
                   "Mirrors `WorksheetReader.bind_cells` + `WorkSheetParser.parse`. Cells are\n"
                   "kept in compact form in the `CellStore` and become\n"
                   "`Cell` objects only when accessed. Other elements are appended to\n"
                   "`actions` as `(\"element\", bytes, namespaces)` and warnings as\n"
                   "`(\"warn\", message)` for the caller to replay in document order."),
    "find_dimension": ("Find the `dimension` element like `WorkSheetParser.parse_dimensions`.\n"
                       "Returns (snippet, namespaces) or None."),
    "prescan_sheet": "prescan_sheet(source, want_rows, corners, helpers) -> dict",
    "check_formula": ("Whether the formula text tokenizes with every bracket closed, as\n"
                      "quillfen.formula.formula_problem finds it. NativeFallback when that needs the\n"
                      "pure-Python tokenizer."),
    "RowReader": "Streaming row reader used by ReadOnlyWorksheet.",
    "SheetWriter": "",
    "PartStream": ("The bytes of a zip member read from the descriptor `fd` (owned by the stream from then on),\n"
                   "inflated and checked against `size` and `crc`."),
}
SIGNATURES = {
    "read_string_table": "(source, helpers)",
    "bind_cells": "(source, parser, ws, store, cell_styles, cell_cls, helpers, actions)",
    "find_dimension": "(source)",
    "prescan_sheet": "(source, want_rows, corners, helpers)",
    "check_formula": "(formula)",
    "RowReader": "(source, parser, helpers)",
    "SheetWriter": "(ws, write, lxml, helpers)",
    "PartStream": "(fd, offset, compressed_size, size, crc, deflated, name, bad_crc, bad_data)",
}


@pytest.mark.parametrize("name", sorted(DOCSTRINGS))
def test_exported_docstrings_and_signatures(native, name):
    obj = getattr(native, name)
    assert obj.__doc__ == DOCSTRINGS[name]
    assert obj.__text_signature__ == SIGNATURES[name]


def test_exports_in_order(native):
    names = [n for n in vars(native) if not n.startswith("__")]
    assert names == ["NativeFallback", "read_string_table", "bind_cells", "find_dimension",
                     "prescan_sheet", "check_formula", "mixed_values", "arrow_table", "RowReader", "CellStore",
                     "SheetWriter", "ArrowTable", "PartStream"]


def test_only_the_cell_store_can_be_subclassed(native):
    class Store(native.CellStore):
        pass
    assert isinstance(Store(), native.CellStore)
    for cls in (native.RowReader, native.SheetWriter, native.PartStream):
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})


def test_helpers_must_be_a_dict_before_the_source_is_read(native):
    class Source:
        def read(self, n):
            raise AssertionError("read before the arguments were checked")
    for call in (lambda: native.read_string_table(Source(), []),
                 lambda: native.prescan_sheet(Source(), False, [], []),
                 lambda: native.RowReader(Source(), object(), [])):
        with pytest.raises(TypeError, match="helpers"):
            call()
