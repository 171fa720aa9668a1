"""Hostile workbooks (issue 24, scripts/hostile.py): each loads and saves, or is refused with
InvalidFileError, on both paths; reading one costs at most about twice what the caller keeps
(measured in a fresh interpreter, with wide margins); read-only reads no more styles than its
values need."""

import io
import os
import subprocess
import sys
import textwrap
import warnings
import zipfile

import pytest

import quillfen
from quillfen import InvalidFileError
from quillfen.styles import Font

from conftest import CORPUS_DIR

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "scripts"))
import hostile  # noqa: E402

MB = 1 << 20


@pytest.fixture(scope="module")
def small(tmp_path_factory):
    return hostile.generate(str(tmp_path_factory.mktemp("hostile")), 1 << 16)


@pytest.mark.parametrize("pure", ["0", "1"])
def test_what_loads_saves(small, monkeypatch, pure):
    monkeypatch.setenv("QUILLFEN_PURE_PYTHON", pure)
    refused = set()
    for name, path in small.items():
        for read_only in (True, False):
            try:
                with warnings.catch_warnings():
                    warnings.simplefilter("ignore")
                    wb = quillfen.load_workbook(path, read_only=read_only)
                    values = [list(ws.iter_rows(values_only=True)) if read_only else [c.value for c in ws.cells()]
                              for ws in wb]
            except InvalidFileError:
                refused.add(name)
                continue
            assert values in ([[(1,)]], [[1]], [[("a" * (1 << 16),)]], [["a" * (1 << 16)]]) or name == "far_cell"
            if read_only:
                continue
            # Changed, so that the sheet and the styles are written anew, not copied.
            wb.active["B2"] = "changed"
            wb.active["B2"].font = Font(bold=True)
            for mode in ("etree", "lxml"):
                monkeypatch.setenv("QUILLFEN_XML", mode)
                out = io.BytesIO()
                with warnings.catch_warnings():
                    warnings.simplefilter("ignore")
                    wb.save(out)
                    again = quillfen.load_workbook(out)
                assert {c.value for c in again.active.cells()} == {*values[0], "changed"}, (name, mode)
                assert again.active["B2"].font.bold
    assert refused == {"bomb"}


CHILD = textwrap.dedent("""
    import io, sys, warnings
    import quillfen

    def status(field):
        with open("/proc/self/status") as f:
            return next(int(line.split()[1]) << 10 for line in f if line.startswith(field))

    warnings.simplefilter("ignore")
    quillfen.Workbook().save(io.BytesIO())
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")
    before = status("VmRSS:")
    try:
        wb = quillfen.load_workbook(sys.argv[1], read_only=sys.argv[2] == "read-only")
        for ws in wb:
            for row in ws.iter_rows(values_only=True):
                pass
    except quillfen.InvalidFileError:
        pass
    print(status("VmHWM:") - before)
""")


@pytest.mark.skipif(not os.path.exists("/proc/self/clear_refs"), reason="peak memory is read from /proc")
@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""), reason="the sanitizer's own memory")
@pytest.mark.parametrize("name, how, pure, most", [
    ("huge_string", "editable", "0", 2.6),  # the string kept, once more while it is made
    ("huge_string", "editable", "1", 2.6),
    ("bomb", "editable", "0", 0.25),  # stopped where its zip entry says it ends
    ("bomb", "editable", "1", 0.25),
    ("whitespace_sheet", "read-only", "1", 0.25),  # nothing kept
    ("whitespace_tail", "editable", "1", 0.25),
    ("fonts", "read-only", "0", 0.25),  # a read-only workbook needs no fonts
])
def test_peak_memory(tmp_path, name, how, pure, most):
    size = 48 * MB
    path = hostile.generate(str(tmp_path), size, [name])[name]
    run = subprocess.run([sys.executable, "-c", CHILD, path, how], capture_output=True, text=True,
                         env=dict(os.environ, QUILLFEN_PURE_PYTHON=pure))
    assert run.returncode == 0, run.stderr
    peak = int(run.stdout)
    assert peak < most * size + 16 * MB, "%.0f MB for %d MB" % (peak / MB, size // MB)


def test_read_only_styles_are_those_of_an_editable_load():
    # Read-only streams the formats and reads the rest of the styles part when first asked.
    names = sorted(n for n in os.listdir(CORPUS_DIR) if n.endswith(".xlsx"))[:40] if os.path.isdir(CORPUS_DIR) else []
    if not names:
        pytest.skip("no corpus")
    for name in names:
        path = os.path.join(CORPUS_DIR, name)
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                full, streamed = quillfen.load_workbook(path), quillfen.load_workbook(path, read_only=True)
        except InvalidFileError:
            continue
        a, b = full.stylesheet, streamed.stylesheet
        assert (list(a.cell_styles), a.number_formats) == (list(b.cell_styles), b.number_formats), name
        assert getattr(b, "_rest", "no styles part") is not None  # not read yet
        for style in a.cell_styles:
            for kind in ("font", "fill", "border", "alignment", "protection"):
                assert a.style_object(style, kind) == b.style_object(style, kind), name
        streamed.close()


@pytest.mark.parametrize("fast", [True, False], ids=["isal", "zlib"])
def test_a_part_is_read_no_further_than_declared(tmp_path, monkeypatch, fast):
    from quillfen.package import archive
    if not fast:
        monkeypatch.setattr(archive, "_fast_zlib", None)
    path = hostile.generate(str(tmp_path), 4 * MB, ["bomb"])["bomb"]
    got = bytearray()
    with pytest.raises(zipfile.BadZipFile), archive.Archive(path).open("xl/worksheets/sheet1.xml") as part:
        while chunk := part.read(65536):
            got += chunk
    assert len(got) <= 1000
