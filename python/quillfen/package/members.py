"""Zip members read through the native engine's own inflater (`_quillfen.PartStream`): straight
from the container's file, with the same checks as zipfile (sizes, CRC-32, damaged data), and,
for a large part that is read to its end, inflated ahead on a thread of the package's own while
the parser works through what came before. Whether that thread pays is decided here."""

import os
import stat
import struct
import threading
import zipfile
import zlib
from types import ModuleType
from typing import Any

_LOCAL_HEADER = struct.Struct("<4sHHHHHIIIHH")
# A thread starts in about a tenth of a millisecond; below this much compressed data (some 2 MB
# of XML) inflating takes too little time to be worth hiding.
AHEAD_MIN_SIZE = 1 << 18


def open_member(engine: ModuleType, fp: Any, info: zipfile.ZipInfo, ahead: bool = False) -> Any:
    """The engine's stream of the member `info` of the container whose file object is `fp`, or
    None when the container is not a file on disk or the member is one that zipfile should read
    (encrypted, another compression method, a local header that is not what zipfile accepts:
    zipfile then reports it in its own words). With `ahead`, a large member is inflated ahead
    on a thread of its own while it is read."""
    # Encrypted, patched or strongly encrypted data (flag bits 0, 5 and 6): zipfile's business.
    # So is every member where the system has no positional reads: the engine reads a
    # descriptor that shares its position with the container's file object.
    if info.compress_type not in (zipfile.ZIP_STORED, zipfile.ZIP_DEFLATED) or info.flag_bits & 0x61 \
            or not hasattr(os, "pread"):
        return None
    fd = _own_descriptor(fp)
    if fd is None:
        return None
    try:
        start = _data_start(fd, info)
        if start is None:
            os.close(fd)
            return None
        stream = engine.PartStream(fd, start, info.compress_size, info.file_size, info.CRC,
                                   info.compress_type == zipfile.ZIP_DEFLATED, info.filename,
                                   zipfile.BadZipFile, zlib.error)
    except BaseException:
        os.close(fd)
        raise
    if ahead and info.compress_size >= AHEAD_MIN_SIZE and _spare_core():
        threading.Thread(target=stream.producer(), name="quillfen-inflate", daemon=True).start()
    return stream


def _own_descriptor(fp: Any) -> int | None:
    """A descriptor of its own on the regular file behind `fp` (read by position, so that the
    file object's own position is left alone), or None."""
    try:
        fd: int = fp.fileno()
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            return None
        return os.dup(fd)
    except (AttributeError, OSError, ValueError):
        return None


def _data_start(fd: int, info: zipfile.ZipInfo) -> int | None:
    """Where the member's compressed bytes start, after its local header; None when zipfile
    would refuse the header (its signature, a name other than the directory's) or the member's
    data overlaps the next member's header."""
    header = os.pread(fd, _LOCAL_HEADER.size, info.header_offset)
    if len(header) != _LOCAL_HEADER.size:
        return None
    fields = _LOCAL_HEADER.unpack(header)
    if fields[0] != b"PK\x03\x04":
        return None
    name_len, extra_len = fields[9], fields[10]
    try:
        name = os.pread(fd, name_len, info.header_offset + _LOCAL_HEADER.size).decode(
            "utf-8" if fields[2] & 0x800 else "cp437")
    except UnicodeDecodeError:
        return None
    if name != info.orig_filename:
        return None
    start = int(info.header_offset + _LOCAL_HEADER.size + name_len + extra_len)
    end = getattr(info, "_end_offset", None)
    if end is not None and start + info.compress_size > end:
        return None
    return start


def _spare_core() -> bool:
    """Whether this process may run on more than one core."""
    count = os.process_cpu_count() if hasattr(os, "process_cpu_count") else os.cpu_count()
    return (count or 1) > 1
