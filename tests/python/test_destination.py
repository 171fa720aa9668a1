"""Where a save goes (issue 24): a destination that is not a regular file is written directly,
never replaced; a stream that takes fewer bytes than it is given gets them all, or the save
fails; a file is unnamed until complete and synced, with its folder, around the rename."""

import io
import os
import stat
import subprocess
import sys
import threading

import pytest

import quillfen
from quillfen.writer import destination


def book(write_only=False):
    wb = quillfen.Workbook(write_only=write_only)
    ws = wb.create_sheet("S") if write_only else wb.active
    for r in range(300):
        ws.append([r, "row %d" % r])
    return wb


def first_cells(data):
    ws = quillfen.load_workbook(io.BytesIO(data)).worksheets[0]
    return ws["A300"].value, ws["B300"].value


def test_fifos_devices_and_folders_are_not_replaced(tmp_path):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    (tmp_path / "link").symlink_to(fifo)
    for where in (fifo, tmp_path / "link"):
        got = []
        reader = threading.Thread(target=lambda: got.append(fifo.read_bytes()))
        reader.start()
        book().save(where)
        reader.join(60)
        assert first_cells(got[0]) == (299, "row 299") and stat.S_ISFIFO(os.lstat(fifo).st_mode)
    with pytest.raises(IsADirectoryError):
        book().save(tmp_path)
    # /dev/stdout on a pipe: it resolves to no path that a file could be renamed over.
    code = "import quillfen, sys; sys.path.insert(0, %r); from test_destination import book; " \
           "book(write_only=True).save('/dev/stdout')" % os.path.dirname(__file__)
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, check=False)
    assert run.returncode == 0, run.stderr
    assert first_cells(run.stdout) == (299, "row 299")
    assert sorted(os.listdir(tmp_path)) == ["fifo", "link"]


class Stream(io.RawIOBase):
    """A raw stream taking at most `most` bytes a write; `stuck` writes take none."""

    def __init__(self, most, stuck=0, answer=None):
        self.data, self.most, self.stuck, self.answer = bytearray(), most, stuck, answer

    def writable(self):
        return True

    def write(self, b):
        if self.stuck:
            self.stuck -= 1
            return 0
        taken = bytes(b)[:self.most]
        self.data += taken
        return len(taken) if self.answer is None else self.answer


@pytest.mark.parametrize("write_only", [False, True], ids=["editable", "write-only"])
def test_short_writes_are_written_on_or_fail(write_only):
    for stream in (Stream(7), Stream(1 << 20, stuck=3)):
        book(write_only).save(stream)
        assert first_cells(bytes(stream.data)) == (299, "row 299")
    for stream, error in ((Stream(7, stuck=1000), OSError), (Stream(10, answer=11), OSError),
                          (Stream(10, answer="10"), OSError)):
        with pytest.raises(error):
            book(write_only).save(stream)


def test_a_file_is_named_only_when_complete_and_synced(tmp_path, monkeypatch):
    path = tmp_path / "book.xlsx"
    path.write_bytes(b"old")
    os.chmod(path, 0o640)
    events = []
    real_fsync, real_replace = os.fsync, os.replace

    def fsync(fd):
        events.append("sync folder" if stat.S_ISDIR(os.fstat(fd).st_mode) else "sync file")
        real_fsync(fd)

    def replace(src, dst):
        events.append("rename")
        real_replace(src, dst)

    def write(out):
        events.append(sorted(os.listdir(tmp_path)))
        out.write(b"new")

    monkeypatch.setattr(os, "fsync", fsync)
    monkeypatch.setattr(os, "replace", replace)
    destination.save_to_path(str(path), write)
    unnamed = destination._unnamed_file(str(tmp_path))
    if unnamed is not None:
        os.close(unnamed)
        assert events[0] == ["book.xlsx"]  # nothing named while it is written
    assert events[1:] == ["sync file", "rename", "sync folder"]
    assert path.read_bytes() == b"new" and stat.S_IMODE(os.stat(path).st_mode) == 0o640
    assert os.listdir(tmp_path) == ["book.xlsx"]

    def fail(out):
        out.write(b"half")
        raise OSError("disk full")

    for unnamed_files in (True, False):
        if not unnamed_files:
            monkeypatch.setattr(destination, "_unnamed_file", lambda folder: None)
        with pytest.raises(OSError, match="disk full"):
            destination.save_to_path(str(path), fail)
        assert path.read_bytes() == b"new" and os.listdir(tmp_path) == ["book.xlsx"]
