"""Issue 12 §3: what the native readers skip is not kept. Long runs of blanks and comments
between rows (or before `sheetData`) stream through with flat peak memory, and running out of
memory inside a read-only stream falls back like any other failure.

Each case runs in a fresh interpreter that reads from a generator-backed file object (nothing on
disk, nothing held in Python) and reports its peak RSS above what a small document cost."""

import subprocess
import sys
import textwrap

import pytest

from support import MAIN

GAP_MB = 64

CHILD = textwrap.dedent("""
    import io, resource, sys
    from quillfen import _quillfen
    from quillfen.reader.helpers import reading_helpers
    from support import SheetOptions

    MAIN, GAP_MB, mode, where = %r, %d, sys.argv[1], sys.argv[2]

    class Stream(io.RawIOBase):
        def __init__(self, parts):
            self.parts = iter(parts)
        def readable(self):
            return True
        def read(self, n=-1):
            return next(self.parts, b"")

    def gap():
        blank = b" \\n\\t" * 21845
        if mode == "comment":
            yield b"<!--"
        for _ in range(GAP_MB * 16):
            yield blank
        if mode == "comment":
            yield b"-->"

    def parts(gap_mb):
        row = b'<row r="%%d"><c r="A%%d"><v>1</v></c></row>'
        yield b'<worksheet xmlns="' + MAIN.encode() + b'">'
        if where == "head":
            yield from (gap() if gap_mb else ())
        yield b"<sheetData>" + row %% (1, 1)
        if where == "rows":
            yield from (gap() if gap_mb else ())
        yield row %% (2, 2) + b"</sheetData></worksheet>"

    def stream(gap_mb):
        if where == "head":
            return _quillfen.prescan_sheet(Stream(parts(gap_mb)), True, [(2, 1)], reading_helpers())["corners"]
        reader = _quillfen.RowReader(Stream(parts(gap_mb)), SheetOptions(), reading_helpers())
        rows = []
        while (got := reader.next_raw()) is not None:
            rows.append(got)
        return rows

    small = stream(0)
    base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    assert stream(GAP_MB) == small, "the gap changed what was read"
    print((resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - base) // 1024)
""") % (MAIN, GAP_MB)


def peak_growth_mb(*args):
    out = subprocess.run([sys.executable, "-c", CHILD, *args], capture_output=True, text=True,
                         cwd=__import__("os").path.dirname(__file__))
    assert out.returncode == 0, out.stderr
    return int(out.stdout)


@pytest.mark.parametrize("mode", ["blanks", "comment"])
@pytest.mark.parametrize("where", ["rows", "head"])
def test_issue12_skipped_text_is_not_kept(mode, where):
    # Before: the whole gap was buffered at about twice its size.
    assert peak_growth_mb(mode, where) < GAP_MB // 4


def test_issue12_out_of_memory_in_a_stream_falls_back():
    # A cell text the reader must keep, larger than the address space it is allowed.
    child = textwrap.dedent("""
        import io, resource
        from quillfen import _quillfen
        from quillfen.reader.helpers import reading_helpers
        from support import MAIN, SheetOptions

        class Stream(io.RawIOBase):
            def __init__(self, parts):
                self.parts = iter(parts)
            def readable(self):
                return True
            def read(self, n=-1):
                return next(self.parts, b"")

        def parts():
            yield b'<worksheet xmlns="' + MAIN.encode() + b'"><sheetData><row r="1"><c t="str"><v>'
            chunk = b"x" * 65536
            for _ in range(16 * 1024):
                yield chunk
            yield b"</v></c></row></sheetData></worksheet>"

        reader = _quillfen.RowReader(Stream(parts()), SheetOptions(), reading_helpers())
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        resource.setrlimit(resource.RLIMIT_AS, (512 << 20, hard))
        try:
            reader.next_raw()
        except _quillfen.NativeFallback as exc:
            print(exc)
    """)
    out = subprocess.run([sys.executable, "-c", child], capture_output=True, text=True,
                         cwd=__import__("os").path.dirname(__file__))
    assert out.returncode == 0, out.stderr
    assert out.stdout.startswith("native reader error: MemoryError")
