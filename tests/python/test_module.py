"""The module frame: what import provides, NativeFallback, and the one error conversion."""

import pytest


def test_fallback_is_a_direct_exception_subclass(native):
    fb = native.NativeFallback
    assert fb.__bases__ == (Exception,)
    assert fb.__module__ == "_quillfen" and fb.__qualname__ == "NativeFallback"
    assert fb.__doc__ == ("The native engine cannot reproduce tarnwick's behaviour for this input; "
                          "the pure Python implementation must be used.")
    assert not issubclass(fb, (ValueError, LookupError, ArithmeticError, OSError, RuntimeError))


def test_namespace_has_no_key_iterator(native):
    assert "NativeFallback" in dir(native)
    assert "KeyIter" not in dir(native)
    assert native.__doc__ == ""


def test_module_declares_no_gil_needed(native):
    import sys
    if hasattr(sys, "_is_gil_enabled") and "free-threading" in sys.version:
        assert not sys._is_gil_enabled()


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
