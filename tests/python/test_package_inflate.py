"""Zip members give zipfile's bytes and fail as zipfile and zlib do, whichever inflater reads
them: the engine's own (`PartStream`, with or without a producer thread), the optional fast
inflate, or zipfile itself."""

import gc
import os
import threading
import zipfile
import zlib

import pytest
from hypothesis import given, strategies as st

from quillfen.package import archive as package_mod, members
from quillfen.package.archive import Archive as Package


@pytest.fixture
def book(tmp_path):
    path = tmp_path / "parts.zip"
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr("big.xml", b"".join(b"<row r='%d'><c><v>%d</v></c></row>" % (i, i * 7) for i in range(60000)))
        z.writestr("empty.xml", b"")
        z.writestr("stored.xml", b"<a/>" * 5000, compress_type=zipfile.ZIP_STORED)
    return path


READERS = ["engine", "engine-ahead", "isal", "zipfile"]


@pytest.fixture(params=READERS)
def reader(request, monkeypatch):
    """Package.open reading through one inflater; its name."""
    name = request.param
    if name.startswith("engine"):
        if package_mod.engine() is None:
            pytest.skip("engine not built")
        if name == "engine-ahead":
            monkeypatch.setattr(members, "AHEAD_MIN_SIZE", 0)
    else:
        monkeypatch.setattr(package_mod, "engine", lambda: None)
        if name == "isal":
            pytest.importorskip("isal")
        else:
            monkeypatch.setattr(package_mod, "_fast_zlib", None)
    return name


@pytest.mark.parametrize("size", [-1, 1, 1000, 65536, 1 << 22])
def test_members_read_as_zipfile_reads_them(book, reader, size):
    pkg = Package(str(book))
    with zipfile.ZipFile(book) as z:
        for name in ("big.xml", "empty.xml", "stored.xml"):
            with pkg.open(name, ahead=True) as f:
                got = f.read() if size < 0 else b"".join(iter(lambda: f.read(size), b""))
            assert got == z.read(name)
    kind = type(pkg.open("big.xml")).__name__
    assert kind == {"isal": "_Inflated", "zipfile": "ZipExtFile"}.get(reader, "PartStream")
    pkg.close()


def _damage(book, name, flip_from_end):
    data = bytearray(book.read_bytes())
    info = zipfile.ZipFile(book).getinfo(name)
    data[info.header_offset + 30 + len(name) + info.compress_size - flip_from_end] ^= 0x01
    book.write_bytes(bytes(data))


def _failure(book, name):
    try:
        with Package(str(book)).open(name, ahead=True) as f:
            f.read()
    except (zipfile.BadZipFile, zlib.error, EOFError) as exc:
        return type(exc), str(exc)
    return None


@pytest.mark.parametrize("name, flip_from_end", [("big.xml", 40), ("stored.xml", 10)])
def test_damage_is_reported_as_zipfile_reports_it(book, reader, name, flip_from_end):
    # A flipped bit near the end: the data still inflates, but not to what the CRC promises.
    _damage(book, name, flip_from_end)
    assert _failure(book, name) == (zipfile.BadZipFile, "Bad CRC-32 for file %r" % name)


# ---- the engine's inflater against zlib, on streams of every kind, whole or damaged ----------

def _stream(native, tmp_path, compressed, size, crc, deflated=True):
    path = tmp_path / "member.bin"
    path.write_bytes(b"junk" + compressed)
    fd = os.open(path, os.O_RDONLY)
    return native.PartStream(fd, 4, len(compressed), size, crc, deflated, "m.xml", zipfile.BadZipFile, zlib.error)


def _read(stream, piece):
    out = bytearray()
    try:
        while chunk := stream.read(piece):
            out += chunk
    except (zipfile.BadZipFile, zlib.error) as exc:
        return bytes(out), type(exc), str(exc)
    finally:
        stream.close()
    return bytes(out), None, None


def _zlib(compressed, size, crc):
    """What zipfile makes of the same stream: the bytes, or the error zlib or the checks give."""
    inflater = zlib.decompressobj(-15)
    try:
        out = inflater.decompress(compressed)
    except zlib.error as exc:
        return None, zlib.error, str(exc)
    if not inflater.eof or len(out) != size or zlib.crc32(out) != crc:
        return None, zipfile.BadZipFile, None
    return out, None, None


texts = st.one_of(st.binary(max_size=3000),
                  st.lists(st.sampled_from([b"<c r='A1'>", b"<v>1</v>", b"</c>", b"x" * 300, b"\x00\xff"]),
                           max_size=400).map(b"".join))


@given(data=texts, level=st.integers(0, 9), strategy=st.sampled_from([zlib.Z_DEFAULT_STRATEGY, zlib.Z_FILTERED,
                                                                      zlib.Z_HUFFMAN_ONLY, zlib.Z_RLE, zlib.Z_FIXED]),
       damage=st.one_of(st.none(), st.tuples(st.just("flip"), st.integers(0), st.integers(0, 7)),
                        st.tuples(st.just("cut"), st.integers(0), st.just(0)),
                        st.tuples(st.just("size"), st.integers(-2, 2), st.just(0))),
       piece=st.sampled_from([1, 7, 65536, -1]))
def test_engine_inflates_as_zlib_does(native, tmp_path_factory, data, level, strategy, damage, piece):
    deflater = zlib.compressobj(level, zlib.DEFLATED, -15, 9, strategy)
    compressed = bytearray(deflater.compress(data) + deflater.flush())
    size, crc = len(data), zlib.crc32(data)
    if damage and damage[0] == "flip" and compressed:
        compressed[damage[1] % len(compressed)] ^= 1 << damage[2]
    elif damage and damage[0] == "cut":
        del compressed[damage[1] % (len(compressed) + 1):]
    elif damage and damage[0] == "size":
        size = max(0, size + damage[1])
    stream = _stream(native, tmp_path_factory.mktemp("m"), bytes(compressed), size, crc)
    got, error, message = _read(stream, piece)
    want, want_error, want_message = _zlib(bytes(compressed), size, crc)
    if want_error is None:
        assert (got, error) == (want, None)
    elif want_error is zlib.error:
        assert (error, message) == (zlib.error, want_message)
    else:
        assert error is zipfile.BadZipFile
        assert len(got) <= size  # nothing past the size the directory gives
        assert message == "Bad CRC-32 for file 'm.xml'"


def test_engine_streams_fail_cleanly(native, tmp_path):
    data = os.urandom(100_000)
    compressed = zlib.compress(data, 6)[2:-4]
    # A file shorter than the directory says, and a stored member whose bytes are not the CRC's.
    path = tmp_path / "short.bin"
    path.write_bytes(compressed[:1000])
    stream = native.PartStream(os.open(path, os.O_RDONLY), 0, len(compressed), len(data), zlib.crc32(data), True,
                               "m.xml", zipfile.BadZipFile, zlib.error)
    with pytest.raises(EOFError):
        stream.read()
    stored = _stream(native, tmp_path, data, len(data), zlib.crc32(data) ^ 1, deflated=False)
    assert _read(stored, 65536)[1:] == (zipfile.BadZipFile, "Bad CRC-32 for file 'm.xml'")
    with pytest.raises(ValueError, match="closed file"):
        stored.read(1)
    with pytest.raises(TypeError):
        native.PartStream(0, 0, 0, 0, 0, True, "m", ValueError, "not a class")


def _producers():
    return [t for t in threading.enumerate() if t.name == "quillfen-inflate"]


def test_producers_stop_when_their_stream_is_closed_or_dropped(book, monkeypatch):
    if package_mod.engine() is None:
        pytest.skip("engine not built")
    monkeypatch.setattr(members, "AHEAD_MIN_SIZE", 0)
    pkg = Package(str(book))
    for drop in (False, True):
        stream = pkg.open("big.xml", ahead=True)
        assert stream.read(10) == b"<row r='0'"
        (producer,) = _producers()
        if drop:
            del stream
            gc.collect()
        else:
            stream.close()
        producer.join(10)
        assert not producer.is_alive()
    pkg.close()
