"""Where a saved workbook goes, and how it gets there whole.

A path to a regular file (or to none yet) is written through a temporary file in the same
folder, synced to disk and renamed over the old file: a failure, a crash or a power loss leaves
the old file or the new one, complete, and nothing else. Where the system has unnamed files
(O_TMPFILE), the temporary file has no name until it is complete, so that a process killed
while saving leaves nothing behind either. A path to something that is not a regular file
cannot be renamed over: a FIFO or a character device (/dev/stdout on a pipe) is written
directly, anything else is refused. A file object is written until it has taken every byte.
"""

import errno
import io
import os
import stat
from collections.abc import Buffer, Callable
from typing import IO, Any

__all__ = ["save_to_path", "whole_writes"]

# What a workbook is written by: a callable given the binary stream to write to.
type Writing = Callable[[IO[bytes]], None]

# The folder of this process's open files, through which an unnamed file is given a name.
_OWN_FDS = "/proc/self/fd"
# A write that takes nothing this many times in a row will never finish.
_STALLED = 100
_CLOEXEC = getattr(os, "O_CLOEXEC", 0)
_BINARY = getattr(os, "O_BINARY", 0)


def save_to_path(path: str, write: Writing) -> None:
    """Writes the file at `path` with `write`, in the way the module docstring describes."""
    found = _stat(path)
    if found is not None and not stat.S_ISREG(found.st_mode):
        _write_in_place(path, found, write)
        return
    # Beside the real file, so that the rename stays on one file system and a link keeps
    # pointing at the saved workbook.
    real = os.path.realpath(path)
    folder, name = os.path.split(real)
    mode = stat.S_IMODE(found.st_mode) if found is not None else None
    fd = _unnamed_file(folder)
    if fd is not None:
        _save_unnamed(fd, folder, name, mode, write)
    else:
        _save_named(folder, name, mode, write)
    _sync_folder(folder)


def _stat(path: str) -> os.stat_result | None:
    try:
        return os.stat(path)
    except FileNotFoundError:
        return None


def _write_in_place(path: str, found: os.stat_result, write: Writing) -> None:
    """A FIFO or character device takes the workbook as it is written; a directory, block
    device or socket is refused before anything is written."""
    if stat.S_ISDIR(found.st_mode):
        raise IsADirectoryError(errno.EISDIR, "a workbook is saved to a file, not to a folder", path)
    if not (stat.S_ISFIFO(found.st_mode) or stat.S_ISCHR(found.st_mode)):
        raise OSError(errno.EINVAL, "quillfen saves a workbook to a file, a FIFO or a character "
                      "device, never over another kind of destination", path)
    # Neither created nor truncated: it is there, and it is not a file.
    with open(path, "wb", opener=lambda name, _flags: os.open(name, os.O_WRONLY | _CLOEXEC)) as out:
        if stat.S_IFMT(os.fstat(out.fileno()).st_mode) != stat.S_IFMT(found.st_mode):
            raise OSError(errno.EAGAIN, "the destination was replaced while the save began", path)
        write(whole_writes(out))


def _unnamed_file(folder: str) -> int | None:
    """An unnamed file in `folder` opened for writing, or None where the system or the file
    system has none (or no way to name it later)."""
    flag = getattr(os, "O_TMPFILE", 0)
    if not flag or not os.path.isdir(_OWN_FDS):
        return None
    try:
        # Created like any new file: the umask applies.
        return os.open(folder, flag | os.O_WRONLY | _CLOEXEC, 0o666)
    except OSError as exc:
        if exc.errno in (errno.EOPNOTSUPP, errno.EISDIR, errno.EINVAL):
            return None  # a file system without unnamed files
        raise


def _save_unnamed(fd: int, folder: str, name: str, mode: int | None, write: Writing) -> None:
    """Writes the unnamed file `fd`, then names it beside `name` and renames it over `name`."""
    with open(fd, "wb") as out:
        write(whole_writes(out))
        out.flush()
        _finish(fd, mode)
        temporary = _link_beside(fd, folder, name)
    _rename(temporary, os.path.join(folder, name))


def _link_beside(fd: int, folder: str, name: str) -> str:
    while True:
        temporary = _temporary_name(folder, name)
        try:
            os.link(os.path.join(_OWN_FDS, str(fd)), temporary, follow_symlinks=True)
            return temporary
        except FileExistsError:
            continue


def _save_named(folder: str, name: str, mode: int | None, write: Writing) -> None:
    while True:
        temporary = _temporary_name(folder, name)
        try:
            # Created like any new file (the umask applies), never over an existing one.
            fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL | _CLOEXEC | _BINARY, 0o666)
            break
        except FileExistsError:
            continue
    try:
        with open(fd, "wb") as out:
            write(whole_writes(out))
            out.flush()
            _finish(fd, mode)
    except BaseException:
        _remove(temporary)
        raise
    _rename(temporary, os.path.join(folder, name))


def _temporary_name(folder: str, name: str) -> str:
    # os.urandom as secrets draws it, without importing secrets (and with it hashlib).
    return os.path.join(folder, ".%s.%s.tmp" % (name, os.urandom(4).hex()))


def _finish(fd: int, mode: int | None) -> None:
    """Gives the written file the mode of the file it replaces (else that of a new file) and
    syncs it to disk, before it can take that file's place."""
    if mode is not None:
        try:
            os.fchmod(fd, mode)
        except OSError:
            pass  # the saved file keeps the mode of a new file
    os.fsync(fd)


def _rename(temporary: str, path: str) -> None:
    try:
        os.replace(temporary, path)
    except BaseException:
        _remove(temporary)
        raise


def _remove(path: str) -> None:
    try:
        os.unlink(path)
    except OSError:
        pass


def _sync_folder(folder: str) -> None:
    """Syncs the folder's entries, so that the rename outlives a power loss. Systems that
    cannot open a folder (Windows) keep the rename as their file system does."""
    try:
        fd = os.open(folder, os.O_RDONLY | _CLOEXEC)
    except OSError:
        return
    try:
        os.fsync(fd)
    except OSError:
        pass  # a file system that cannot sync folders
    finally:
        os.close(fd)


class _WholeWrites:
    """A binary stream's `write` repeated until every byte is taken (a raw stream may take
    fewer than it is given, and zipfile would not notice); the rest of the stream as it is.
    A write that says nothing of what it took (None from a file object that is not a raw
    stream) is taken to have taken everything, as file objects of the buffered kind do."""

    __slots__ = ("_out", "_raw")

    def __init__(self, out: Any) -> None:
        self._out = out
        self._raw = _is_raw(out)

    def write(self, data: Buffer) -> int:
        view = memoryview(data).cast("B")
        total, stalled = len(view), 0
        while view:
            taken = self._out.write(view)
            if taken is None:
                if self._raw:
                    raise BlockingIOError(errno.EAGAIN, "the stream takes no more bytes now (non-blocking): "
                                          "a workbook is saved to a blocking stream")
                break
            if not isinstance(taken, int) or not 0 <= taken <= len(view):
                raise OSError("the stream's write() returned %r for %d bytes" % (taken, len(view)))
            stalled = stalled + 1 if taken == 0 else 0
            if stalled >= _STALLED:
                raise OSError(errno.EIO, "the stream's write() took no bytes %d times in a row" % _STALLED)
            view = view[taken:]
        return total

    def __getattr__(self, name: str) -> Any:
        return getattr(self._out, name)


def _is_raw(out: Any) -> bool:
    return isinstance(out, io.RawIOBase)


def whole_writes(out: Any) -> Any:
    """`out`, a binary file object, with writes that take every byte or raise."""
    return _WholeWrites(out)
