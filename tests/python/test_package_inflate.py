"""Deflated parts read through the optional fast inflate give zipfile's bytes, in any read
sizes, and the same failures for damage; without it zipfile reads them."""

import zipfile
import zlib

import pytest

from quillfen.package import archive as package_mod
from quillfen.package.archive import Archive as Package

pytest.importorskip("isal")


@pytest.fixture
def book(tmp_path):
    path = tmp_path / "parts.zip"
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr("big.xml", b"".join(b"<row r='%d'><c><v>%d</v></c></row>" % (i, i * 7) for i in range(60000)))
        z.writestr("empty.xml", b"")
        z.writestr("stored.xml", b"<a/>", compress_type=zipfile.ZIP_STORED)
    return path


@pytest.mark.parametrize("size", [-1, 1, 1000, 65536, 1 << 22])
def test_fast_inflate_gives_zipfiles_bytes(book, size):
    pkg = Package(str(book))
    with zipfile.ZipFile(book) as z:
        for name in ("big.xml", "empty.xml", "stored.xml"):
            with pkg.open(name) as f:
                got = f.read() if size < 0 else b"".join(iter(lambda: f.read(size), b""))
            assert got == z.read(name)
    assert type(pkg.open("big.xml")).__name__ == "_Inflated"


def test_fast_inflate_reports_damage_as_zipfile_does(book, monkeypatch):
    data = bytearray(book.read_bytes())
    info = zipfile.ZipFile(book).getinfo("big.xml")
    # A flipped bit near the end: the data still inflates, but not to what the CRC promises.
    data[info.header_offset + 30 + len("big.xml") + info.compress_size - 40] ^= 0x01
    book.write_bytes(bytes(data))

    def failure():
        try:
            with Package(str(book)).open("big.xml") as f:
                f.read()
        except (zipfile.BadZipFile, zlib.error, EOFError) as exc:
            return type(exc), str(exc)
        return None

    fast = failure()
    monkeypatch.setattr(package_mod, "_fast_zlib", None)
    assert fast is not None and fast == failure()
