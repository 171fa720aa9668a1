"""Mutation fuzzer over the workbook corpus: damaged containers and parts must fail cleanly.

    python scripts/fuzz_files.py [--seconds N] [--seed S] [--corpus DIR]    (make fuzz-files)

Each input is a corpus workbook mutated at the container level (bytes flipped, the file cut
short, members removed or duplicated) or inside a part (bytes flipped, the part cut short, and
XML-aware changes to the worksheet, shared-strings, styles and workbook parts: elements
removed, repeated or nested, attribute values replaced by odd ones, declarations added). A
worker process reads it on the native path and on the pure-Python path, read-only, editable
(as stored, and with cached values and rich text), and through the sheet prescan (`info`);
each sheet is also saved with a cell added (the saved sheets compared). The outcome is one of:

    ok            read on both paths, with equal results
    invalid       InvalidFileError on both paths, with equal messages
    error         any other exception (a finding)
    difference    the paths disagree: results, messages, or an engine error the pure path
                  does not share (a finding)
    crash         the worker died (a finding; faulthandler prints its stack)
    hang          no answer within the time limit per input (a finding)

Findings are minimised (members removed, then pieces of the damaged part) and kept in
tests/python/data/fuzz_regressions/, which tests/python/test_fuzz_regressions.py replays.
The run takes FUZZ_FILES_SECONDS (default 120) and is reproducible from its seed
(FUZZ_FILES_SEED, default 1): the same seed draws the same inputs in the same order.
"""

import argparse
import hashlib
import io
import json
import os
import random
import re
import select
import subprocess
import sys
import tempfile
import time
import traceback
import warnings
import zipfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CORPUS = os.path.join(ROOT, "..", "shared", "corpus", "files")
REGRESSIONS = os.path.join(ROOT, "tests", "python", "data", "fuzz_regressions")
FINDINGS = ("error", "difference", "crash", "hang")
PER_INPUT_SECONDS = 30
MAX_SOURCE_BYTES = 120_000  # larger corpus files make slow inputs on the pure-Python path
WORKER_MEMORY = 3 << 30


# ---- reading one input, on both paths (the worker; also the regression replay) ---------------

def _norm(value):
    return re.sub(r" at 0x[0-9a-f]+", "", repr(value))


def _read_only(data, path=None):
    import quillfen
    # From the file when there is one: a file on disk may be inflated another way.
    wb = quillfen.load_workbook(path or io.BytesIO(data), read_only=True)
    return [(ws.title, [(c.coordinate, c.data_type, _norm(c.value)) for c in ws.cells()]) for ws in wb.worksheets]


def _editable(data, path=None, **modes):
    import quillfen
    wb = quillfen.load_workbook(io.BytesIO(data), **modes)
    return [(ws.title, [(c.coordinate, c.data_type, _norm(c.value), _norm(c._loaded)) for c in ws.cells()])
            for ws in wb.worksheets]


def _saved(data, path=None):
    """The sheets as saved when each counts as changed: every cell written again, as kept."""
    import quillfen
    from quillfen.model.tracking import CELLS, mark
    wb = quillfen.load_workbook(io.BytesIO(data))
    for ws in wb.worksheets:
        mark(ws, CELLS)
    out = io.BytesIO()
    try:
        wb.save(out)
    except ValueError as exc:  # a workbook that cannot be saved (no visible sheet ...), alike on both paths
        return "refused: %s" % exc
    with zipfile.ZipFile(out) as z:
        return [(name, z.read(name)) for name in sorted(z.namelist()) if name.startswith("xl/worksheets/")]


def _info(data, path=None):
    import quillfen
    wb = quillfen.load_workbook(io.BytesIO(data), read_only=True)
    return [(ws.title, _norm(ws.facts())) for ws in wb.worksheets]


def _cached_rich(data, path=None):
    return _editable(data, data_only=True, rich_text=True)


def _frame_columns(data, path=None):
    import quillfen
    from quillfen import frames
    frames._BATCH_CELLS = 50  # small batches: columns change type and gain gaps between them
    found = []
    for read_only in (True, False):  # from the parts, and from the loaded cells
        wb = quillfen.load_workbook(path or io.BytesIO(data), read_only=read_only)
        found += [(ws.title, [(c.kind, _norm(c.objects())) for c in frames._frame(ws, frames.FrameOptions(header=False))[1]])
                  for ws in wb.worksheets]
    return found


READINGS = (("read-only", _read_only), ("editable", _editable), ("cached rich", _cached_rich), ("info", _info),
            ("frame columns", _frame_columns), ("saved", _saved))


def read_both(data, path=None):
    """{reading: {"native": result, "pure": result}} where a result is ["ok", digest],
    ["invalid", message] or ["error", "Type: message", traceback]; plus "declined" when an
    engine error was handed to a pure-Python path that then succeeded."""
    from quillfen import InvalidFileError, _native

    declined = []
    _native.on_disagreement = declined.append
    found = {}
    try:
        for name, read in READINGS:
            found[name] = {}
            for side in ("native", "pure"):
                os.environ["QUILLFEN_PURE_PYTHON"] = "1" if side == "pure" else "0"
                try:
                    with warnings.catch_warnings():
                        warnings.simplefilter("ignore")
                        value = read(data, path)
                    found[name][side] = ["ok", hashlib.sha1(repr(value).encode()).hexdigest()]
                except InvalidFileError as exc:
                    found[name][side] = ["invalid", str(exc)]
                except Exception as exc:  # noqa: BLE001 - every other exception is a finding
                    found[name][side] = ["error", "%s: %s" % (type(exc).__name__, exc)[:500],
                                         traceback.format_exc()[-4000:]]
    finally:
        _native.on_disagreement = None
        os.environ.pop("QUILLFEN_PURE_PYTHON", None)
    if declined:
        found["declined"] = ["%s: %s" % (type(e).__name__, e) for e in declined]
    return found


def classify(found):
    """The outcome of `read_both`'s result, and a line saying why."""
    for name, paths in found.items():
        if name == "declined":
            continue
        for path, result in paths.items():
            if result[0] == "error":
                return "error", "%s %s: %s" % (name, path, result[1])
    if "declined" in found:
        return "difference", "engine error without a pure-Python one: %s" % found["declined"][0]
    for name, paths in found.items():
        if name != "declined" and paths["native"] != paths["pure"]:
            return "difference", "%s: native %s, pure %s" % (name, paths["native"][:2], paths["pure"][:2])
    kinds = {result[0] for paths in found.values() for result in paths.values()}
    return ("invalid" if "invalid" in kinds else "ok"), ""


def worker():
    """Reads input file paths from stdin, one per line; answers each with a JSON line."""
    import faulthandler
    import resource

    faulthandler.enable()
    resource.setrlimit(resource.RLIMIT_AS, (WORKER_MEMORY, WORKER_MEMORY))
    for line in sys.stdin:
        path = line.rstrip("\n")
        with open(path, "rb") as f:
            data = f.read()
        sys.stdout.write(json.dumps(read_both(data, path)) + "\n")
        sys.stdout.flush()


class Worker:
    """The worker process, started again after a crash or a hang."""

    def __init__(self):
        self.proc = None
        self.stderr = tempfile.TemporaryFile()

    def _start(self):
        self.stderr.seek(0)
        self.stderr.truncate()
        self.proc = subprocess.Popen([sys.executable, os.path.abspath(__file__), "--worker"],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=self.stderr, text=True, cwd=ROOT)

    def run(self, path, timeout=PER_INPUT_SECONDS):
        """(outcome, why, found or None)."""
        if self.proc is None or self.proc.poll() is not None:
            self._start()
        self.proc.stdin.write(path + "\n")
        self.proc.stdin.flush()
        ready, _, _ = select.select([self.proc.stdout], [], [], timeout)
        if not ready:
            self.stop()
            return "hang", "no answer in %d s" % timeout, None
        line = self.proc.stdout.readline()
        if not line:
            status = self.proc.wait()
            self.proc = None
            self.stderr.seek(0)
            tail = self.stderr.read().decode("utf-8", "replace")[-1500:]
            return "crash", "worker died (status %d): %s" % (status, tail), None
        found = json.loads(line)
        outcome, why = classify(found)
        return outcome, why, found

    def stop(self):
        if self.proc is not None:
            self.proc.kill()
            self.proc.wait()
            self.proc = None


# ---- mutations ----------------------------------------------------------------------------

ODD_VALUES = ["", "-1", "0", "1", "99999999999999999999", "-99999999999999999999", "A0", "a1", "XFD1048577",
              "ZZZZ1", "1048577", "0:0", "A1:", ":", "1e400", "-1e400", "nan", "inf", "abc", " 7 ", "+3", "1_000",
              "2020-13-45", "2020-01-01T25:00:00", "9999-12-31", "&amp;", "&#0;", "&#xD800;", "\u00e9",
              "\U0001F600", "_x0000_", "s", "str", "inlineStr", "b", "e", "d", "n", "shared", "array",
              "dataTable", "4294967296", "2147483648", "-2147483649", "1.5", "A1:B2:C3", "$A$1"]
ODD_MARKUP = ['<!DOCTYPE x [<!ENTITY a "b">]>', "<!-- c -->", "<?pi x?>", "<![CDATA[x]]>", "&a;", "&#0;",
              "\x00", "\xff", "<x:y/>", "<c/>", "<row/>", "<v>1</v>", "<f>A1+</f>", '<f t="shared" si="0"/>',
              "<is><t>x</t></is>", "<si/>", "<r><rPr><b/></rPr><t>x</t></r>", "</", "<", "&", "]]>"]
XML_PARTS = re.compile(r"(worksheets/.*|sharedStrings|styles|workbook)\.xml$|\.rels$")
_TAG = re.compile(rb"<[^<>]*>")
_ATTR = re.compile(rb"""(\s[\w:]+\s*=\s*)(["'])([^"']*)\2""")
_TEXT = re.compile(rb">([^<]+)<")
_NAME = re.compile(rb"</?([\w:]+)")


def _members(data):
    with zipfile.ZipFile(io.BytesIO(data)) as z:
        return [(info, z.read(info)) for info in z.infolist()]


def _zip(members, rng):
    out = io.BytesIO()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # duplicate names are what some inputs are for
        with zipfile.ZipFile(out, "w") as z:
            for info, body in members:
                kind = rng.choice((zipfile.ZIP_DEFLATED, zipfile.ZIP_STORED)) if rng else info.compress_type
                z.writestr(zipfile.ZipInfo(info.filename, date_time=(2020, 1, 1, 0, 0, 0)), body, compress_type=kind)
    return out.getvalue()


def mutate_xml(body, rng):
    """One XML-aware change to a part's bytes."""
    tags = list(_TAG.finditer(body))
    choice = rng.randrange(10)
    if not tags:
        choice = 8
    if choice == 9:  # a cell of odd parts put into a row (or anywhere, without rows)
        rows = [m for m in tags if m.group().startswith((b"<row", b"<x:row"))] or tags
        at = rng.choice(rows).end()
        return body[:at] + _odd_cell(rng) + body[at:]
    if choice == 0:  # an attribute value replaced
        attrs = list(_ATTR.finditer(body))
        if attrs:
            m = rng.choice(attrs)
            value = rng.choice(ODD_VALUES).encode("utf-8", "surrogatepass")
            return body[:m.start(3)] + value + body[m.end(3):]
    if choice == 1:  # a text replaced
        texts = list(_TEXT.finditer(body))
        if texts:
            m = rng.choice(texts)
            return body[:m.start(1)] + rng.choice(ODD_VALUES).encode("utf-8", "surrogatepass") + body[m.end(1):]
    if choice == 2:  # a tag removed
        m = rng.choice(tags)
        return body[:m.start()] + body[m.end():]
    if choice == 3:  # a stretch of markup repeated
        a, b = sorted(rng.sample(range(len(tags)), 2)) if len(tags) > 1 else (0, 0)
        piece = body[tags[a].start():tags[b].end()]
        return body[:tags[b].end()] + piece * rng.randint(1, 3) + body[tags[b].end():]
    if choice == 4:  # odd markup inserted
        at = rng.choice(tags).end()
        return body[:at] + rng.choice(ODD_MARKUP).encode("latin-1") + body[at:]
    if choice == 5:  # a declaration or namespace changed
        if rng.random() < 0.5:
            return re.sub(rb'encoding="[^"]*"', rng.choice([b'encoding="utf-16"', b'encoding="x-none"',
                                                             b'encoding="latin-1"', b'encoding="ascii"']), body, count=1)
        return body.replace(b"2006/main", rng.choice([b"2006/mainx", b"2006/main/"]), 1)
    if choice == 6:  # an element moved into another
        m, n = rng.choice(tags), rng.choice(tags)
        return body[:n.end()] + body[m.start():m.end()] + body[n.end():]
    if choice == 7:  # an element renamed after another of the part (start or end tag alone)
        names = [m for m in _NAME.finditer(body)]
        if names:
            m, other = rng.choice(names), rng.choice(names)
            return body[:m.start(1)] + other.group(1) + body[m.end(1):]
    return mutate_bytes(body, rng)


def _odd_cell(rng):
    def odd():
        return rng.choice(ODD_VALUES).replace("&", "&amp;").replace('"', "&quot;")

    attrs = "".join(' %s="%s"' % (name, odd()) for name in ("r", "t", "s") if rng.random() < 0.6)
    parts = []
    if rng.random() < 0.4:
        f_attrs = "".join(' %s="%s"' % (name, odd()) for name in ("t", "ref", "si") if rng.random() < 0.5)
        parts.append("<f%s>%s</f>" % (f_attrs, rng.choice(["A1+1", "SUM(B1:B3)", "", "A1:", '"x', odd()])))
    if rng.random() < 0.8:
        parts.append("<v>%s</v>" % odd())
    if rng.random() < 0.2:
        parts.append("<is><r><rPr><b/></rPr><t>%s</t></r></is>" % odd())
    return ("<c%s>%s</c>" % (attrs, "".join(parts))).encode("utf-8", "surrogatepass")


def mutate_bytes(body, rng):
    """Bytes flipped, or the data cut short."""
    if not body or rng.random() < 0.3:
        return body[:rng.randint(0, len(body))]
    body = bytearray(body)
    for _ in range(rng.randint(1, 4)):
        body[rng.randrange(len(body))] = rng.randrange(256)
    return bytes(body)


_STRICT_NAMES = [(b"http://schemas.openxmlformats.org/spreadsheetml/2006/main",
                  b"http://purl.oclc.org/ooxml/spreadsheetml/main"),
                 (b"http://schemas.openxmlformats.org/officeDocument/2006/relationships",
                  b"http://purl.oclc.org/ooxml/officeDocument/relationships")]


def _strict(body):
    for transitional, strict in _STRICT_NAMES:
        body = body.replace(transitional, strict)
    return body


def mutate(data, rng, donors):
    """One mutated workbook from the workbook `data`; `donors` are the members of readable
    workbooks, whose parts may replace those of `data`."""
    try:
        members = _members(data)
    except (zipfile.BadZipFile, OSError, ValueError, EOFError, NotImplementedError, RuntimeError):
        return mutate_bytes(data, rng)
    kind = rng.randrange(11)
    if kind == 10:  # the workbook in the Strict namespaces, then changed as any other
        members = [(info, _strict(body)) for info, body in members]
        kind = rng.randrange(1, 10)
    if kind == 0:
        return mutate_bytes(data, rng)  # the container itself
    if kind == 1 and members:  # a member removed
        del members[rng.randrange(len(members))]
        return _zip(members, rng)
    if kind == 2 and members:  # a member repeated, with other content or the same
        info, body = rng.choice(members)
        members.append((info, mutate_xml(body, rng) if rng.random() < 0.5 else body))
        return _zip(members, rng)
    if kind == 3 and donors:  # a part taken from another workbook
        donor = rng.choice(donors)
        names = {info.filename for info, _ in members}
        shared = [m for m in donor if m[0].filename in names]
        if shared:
            info, body = rng.choice(shared)
            members = [(i, body if i.filename == info.filename else b) for i, b in members]
            return _zip(members, rng)
    xml = [i for i, (info, _) in enumerate(members) if XML_PARTS.search(info.filename)]
    if not xml:
        return mutate_bytes(data, rng)
    for _ in range(rng.choice((1, 1, 1, 2, 3))):
        i = rng.choice(xml)
        info, body = members[i]
        members[i] = (info, mutate_xml(body, rng) if rng.random() < 0.8 else mutate_bytes(body, rng))
    return _zip(members, rng)


# ---- minimising a finding ------------------------------------------------------------------

def minimise(data, outcome, run, budget=60.0):
    """A smaller input with the same outcome, as far as `budget` seconds allow: members
    removed, then runs of tags removed from each part (halves, quarters, ...)."""
    deadline = time.monotonic() + budget

    def same(candidate):
        return time.monotonic() < deadline and run(candidate)[0] == outcome

    try:
        members = _members(data)
    except Exception:  # noqa: BLE001 - not a zip: bytes are cut from the end instead
        while len(data) > 64 and same(data[:len(data) // 2]):
            data = data[:len(data) // 2]
        return data
    for i in reversed(range(len(members))):
        trial = members[:i] + members[i + 1:]
        if same(_zip(trial, None)):
            members = trial
    for i in range(len(members)):
        info, body = members[i]
        pieces = [m.group() for m in re.finditer(rb"<[^<>]*>|[^<]+|<", body)]
        step = max(len(pieces) // 2, 1)
        while step >= 1 and time.monotonic() < deadline:
            at = 0
            while at < len(pieces):
                trial_pieces = pieces[:at] + pieces[at + step:]
                trial = members[:i] + [(info, b"".join(trial_pieces))] + members[i + 1:]
                if same(_zip(trial, None)):
                    pieces = trial_pieces
                    members = trial
                else:
                    at += step
            step //= 2
    return _zip(members, None)


# ---- the run ------------------------------------------------------------------------------

def sources(corpus):
    books = []
    for name in sorted(n for n in os.listdir(corpus) if n.endswith(".xlsx")):
        path = os.path.join(corpus, name)
        if os.path.getsize(path) <= MAX_SOURCE_BYTES:
            with open(path, "rb") as f:
                books.append(f.read())
    return books


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--seconds", type=float, default=float(os.environ.get("FUZZ_FILES_SECONDS", 120)))
    p.add_argument("--seed", type=int, default=int(os.environ.get("FUZZ_FILES_SEED", 1)))
    p.add_argument("--corpus", default=os.environ.get("QUILLFEN_CORPUS", CORPUS))
    p.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    args = p.parse_args(argv)
    if args.worker:
        worker()
        return 0
    books = sources(args.corpus)
    if not books:
        print("fuzz-files: no corpus in %s" % args.corpus, file=sys.stderr)
        return 2
    donors = []
    for book in books:
        try:
            donors.append(_members(book))
        except Exception:  # noqa: BLE001 - the broken ones of the corpus give no parts
            pass
    rng = random.Random(args.seed)
    work = Worker()
    counts = {}
    found = []
    deadline = time.monotonic() + args.seconds
    os.makedirs(REGRESSIONS, exist_ok=True)
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "input.xlsx")

        def run(data):
            with open(path, "wb") as f:
                f.write(data)
            return work.run(path)

        n = 0
        try:
            while time.monotonic() < deadline:
                n += 1
                data = mutate(rng.choice(books), rng, donors)
                outcome, why, _ = run(data)
                counts[outcome] = counts.get(outcome, 0) + 1
                if outcome in FINDINGS:
                    small = minimise(data, outcome, run)
                    name = "%s-%s.xlsx" % (outcome, hashlib.sha1(small).hexdigest()[:12])
                    with open(os.path.join(REGRESSIONS, name), "wb") as f:
                        f.write(small)
                    found.append(name)
                    print("input %d: %s: %s\n    kept as %s (%d bytes)" % (n, outcome, why[:300], name, len(small)))
        finally:
            work.stop()
    print("fuzz-files: seed %d, %d inputs in %.0f s: %s" % (
        args.seed, n, args.seconds, ", ".join("%s %d" % kv for kv in sorted(counts.items()))))
    if found:
        print("fuzz-files: %d findings kept in %s" % (len(found), os.path.relpath(REGRESSIONS, ROOT)))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
