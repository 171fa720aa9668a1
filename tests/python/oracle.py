"""LibreOffice as an oracle for tests: one long-lived headless soffice, driven through its UNO
API by a helper process (`oracle_uno.py`) that runs on the system's python3, where Debian's
python3-uno lives (scripts/bootstrap.sh installs both).

    with Oracle() as office:
        office.open("book.xlsx")
        office.edit("Sheet1", "insert_rows", 2, 1)
        found = office.report()       # cells, merges and defined names as LibreOffice writes them
        office.series()               # the charts' series ranges, as LibreOffice reads them

`oracle()` gives one shared instance for the whole test session (started on first use and
stopped at exit). Every request fails with `OracleError` rather than hanging; the helper and
soffice are ended by their process ids only.
"""

import atexit
import json
import os
import select
import subprocess
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SYSTEM_PYTHON = "/usr/bin/python3"


class OracleError(RuntimeError):
    """LibreOffice failed a request, or stopped answering."""


class Oracle:
    def __init__(self, timeout: float = 180.0) -> None:
        self.timeout = timeout
        # A sanitizer preloaded into the tests' interpreter is not handed on.
        env = {key: value for key, value in os.environ.items()
               if key != "LD_PRELOAD" and not key.startswith(("ASAN_", "UBSAN_", "LSAN_", "PYTHON"))}
        env.update(LC_ALL="C.UTF-8", LANG="C.UTF-8")
        self._errors = tempfile.TemporaryFile()
        self._proc = subprocess.Popen([SYSTEM_PYTHON, os.path.join(HERE, "oracle_uno.py")], stdin=subprocess.PIPE,
                                      stdout=subprocess.PIPE, stderr=self._errors, env=env, text=True)
        self._soffice = None
        self._soffice = self._answer()["pid"]

    # ------------------------------------------------------------------ requests

    def open(self, path: "str | os.PathLike[str]") -> list[str]:
        """Loads a workbook (closing the one open); its sheet titles."""
        return self._ask("open", path=os.fspath(path))["sheets"]

    def edit(self, sheet: str, op: str, index: int, amount: int = 1) -> None:
        """insert_rows, delete_rows, insert_cols or delete_cols at `index` (1-based)."""
        self._ask("edit", sheet=sheet, op=op, index=index, amount=amount)

    def settle(self) -> None:
        """Stores the open workbook and loads it again, so that what LibreOffice keeps only in
        memory (a deleted reference remembers where it pointed) is what its file says."""
        self._ask("settle")

    def save(self, path: "str | os.PathLike[str]") -> None:
        self._ask("save", path=os.fspath(path))

    def report(self) -> dict:
        """{"sheets": [[title, {"cells": {ref: [kind, text]}, "merges": [ref], "values": {ref: text
        of a formula's result}}]], "names":
        [[name, local sheet index or None, text]]}, as LibreOffice writes the open workbook."""
        return self._ask("report")

    def series(self) -> list:
        """[[sheet, chart name, [[role, range], ...]], ...] of the open workbook: the ranges of
        each chart's categories ("categories") and data series (their roles: "label",
        "values-y"...), as LibreOffice writes ranges ($Sheet1.$B$1:$B$5)."""
        return self._ask("series")

    def close_document(self) -> None:
        self._ask("close")

    # ------------------------------------------------------------------ plumbing

    def _ask(self, cmd: str, **args: object):
        if self._proc.poll() is not None:
            raise OracleError("the LibreOffice helper has stopped (exit status %r)%s"
                              % (self._proc.returncode, self._stderr()))
        self._proc.stdin.write(json.dumps({"cmd": cmd, **args}) + "\n")
        self._proc.stdin.flush()
        return self._answer()

    def _answer(self):
        deadline = time.monotonic() + self.timeout
        out = self._proc.stdout
        while True:
            ready, _, _ = select.select([out], [], [], max(0.0, deadline - time.monotonic()))
            if ready:
                break
            if time.monotonic() >= deadline:
                self.close()
                raise OracleError("LibreOffice did not answer within %g s" % self.timeout)
        line = out.readline()
        if not line:
            self.close()
            raise OracleError("the LibreOffice helper ended without an answer" + self._stderr())
        answer = json.loads(line)
        if "error" in answer:
            raise OracleError(answer["error"] + "\n" + answer.get("trace", ""))
        return answer["ok"]

    def _stderr(self) -> str:
        self._errors.seek(0)
        text = self._errors.read().decode("utf-8", "replace").strip()
        return ":\n" + text[-2000:] if text else ""

    def close(self) -> None:
        proc = self._proc
        if proc.poll() is None:
            try:
                proc.stdin.write(json.dumps({"cmd": "quit"}) + "\n")
                proc.stdin.flush()
                proc.wait(timeout=60)
            except (OSError, subprocess.TimeoutExpired):
                proc.kill()
                proc.wait()
        soffice, self._soffice = self._soffice, None
        if soffice is not None and proc.returncode != 0:
            # The helper ends its soffice on a normal exit; after a failure the office may live
            # on, and is ended if that process id still is our soffice.
            try:
                with open("/proc/%d/cmdline" % soffice, "rb") as f:
                    ours = b"quillfen_oracle_" in f.read()
                if ours:
                    os.kill(soffice, 9)
            except (FileNotFoundError, ProcessLookupError):
                pass

    def __enter__(self) -> "Oracle":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


_shared: Oracle | None = None


def oracle() -> Oracle:
    """The session's oracle, started on first use."""
    global _shared
    if _shared is None or _shared._proc.poll() is not None:
        _shared = Oracle()
        atexit.register(_shared.close)
    return _shared
