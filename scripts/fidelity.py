"""The fidelity check over the Excel-made corpus (`make fidelity`, minutes; a sample runs in the
suite): for every workbook,

* saved untouched, the new file has every part of the old one, byte for byte, but the document
  properties (their time of modification);
* saved with one cell of its first sheet changed, every part of the old file is there (the
  calculation chain aside), byte for byte but the edited sheet and the package's bookkeeping
  (content types, the workbook part and its relationships, the document properties); every
  relationship points at a part and every part has a content type; the edited sheet keeps every
  element outside its cell data and every attribute of its cells; every other value reads back
  the same; and LibreOffice opens it and shows the same values as it shows for the old file
  (cells without formulas: those follow the change).

Prints each workbook's problems, then a count; exits 1 when any workbook has one.

Usage: fidelity.py [--corpus DIR] [--every N] [--no-libreoffice]
"""

import argparse
import io
import os
import sys
import tempfile
import warnings
import xml.etree.ElementTree as ET
import zipfile
from pathlib import Path

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "python"))

import quillfen  # noqa: E402
from quillfen.package import ContentTypes, Relationships  # noqa: E402
from quillfen.package.xmlparts import Layout  # noqa: E402

EDITED = "A1"
VALUE = "quillfen fidelity"
# What a change to a sheet may rewrite besides the sheet.
_BOOKKEEPING = ("[Content_Types].xml", "docProps/")
_C = "{http://schemas.openxmlformats.org/spreadsheetml/2006/main}c"


def _load(data):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return quillfen.load_workbook(data)


def _saved(wb):
    out = io.BytesIO()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        wb.save(out)
    lost = [str(w.message) for w in caught if issubclass(w.category, UserWarning)]
    return out.getvalue(), lost


def _parts(data):
    with zipfile.ZipFile(io.BytesIO(data)) as z:
        return {info.filename: z.read(info) for info in z.infolist() if not info.filename.endswith("/")}


def _cell_attributes(sheet):
    """coordinate -> the attributes of its `c` element, but the type (text may be written
    inline instead of shared)."""
    found = {}
    for _event, node in ET.iterparse(io.BytesIO(sheet)):
        if node.tag == _C:
            found[node.get("r")] = {k: v for k, v in node.attrib.items() if k != "t"}
            node.clear()
    return found


def _values(wb):
    return {(ws.title, cell.coordinate): cell.value for ws in wb for cell in ws.cells() if cell.value is not None}


def _package_problems(parts):
    """Relationships that point at no part, and parts without a content type."""
    problems = []
    types = ContentTypes.parse(parts["[Content_Types].xml"])
    for name in parts:
        if name.endswith(".rels"):
            folder, _, base = name.rpartition("_rels/")
            for rel in Relationships.parse(folder + base[:-5], parts[name]):
                # A target "#Sheet1!A1" is a place in the workbook (a linked picture), no part.
                if not rel.external and rel.target not in parts and "#" not in rel.target:
                    problems.append("%s points at %s, which is missing" % (name, rel.target))
        elif name != "[Content_Types].xml" and types.type_of(name) is None:
            problems.append("%s has no content type" % name)
    return problems


def check_workbook(path):
    """The problems of one workbook, without LibreOffice; and the edited file's bytes."""
    source = Path(path).read_bytes()
    before = _parts(source)
    untouched, lost = _saved(_load(io.BytesIO(source)))
    problems = ["untouched save warns: %s" % text for text in lost]
    after = _parts(untouched)
    problems += ["untouched save changes %s" % name for name in before
                 if name != "docProps/core.xml" and after.get(name) != before[name]]
    problems += ["untouched save adds %s" % name for name in after if name not in before]

    wb = _load(io.BytesIO(source))
    ws = wb.worksheets[0]
    ws[EDITED] = VALUE
    edited, lost = _saved(wb)
    problems += ["edited save warns: %s" % text for text in lost]
    after = _parts(edited)
    allowed = {ws._part, wb._package.main_part(), "xl/_rels/workbook.xml.rels"}
    for name, data in before.items():
        if name not in after:
            if not name.endswith("calcChain.xml"):
                problems.append("edited save loses %s" % name)
        elif after[name] != data and name not in allowed and not name.startswith(_BOOKKEEPING):
            problems.append("edited save changes %s" % name)
    problems += _package_problems(after)
    old, new = Layout.of(before[ws._part]), Layout.of(after[ws._part])
    if [c for c in old.children if c.local not in ("sheetData", "dimension")] != \
            [c for c in new.children if c.local not in ("sheetData", "dimension")] or old.root_start != new.root_start:
        problems.append("the edited sheet does not keep its elements")
    new_cells = _cell_attributes(after[ws._part])
    for coordinate, attributes in _cell_attributes(before[ws._part]).items():
        if coordinate != EDITED and new_cells.get(coordinate, {}) != attributes:
            problems.append("cell %s: attributes %s, not %s" % (coordinate, new_cells.get(coordinate), attributes))
    want = _values(_load(io.BytesIO(source)))
    want[(ws.title, EDITED)] = VALUE
    if _values(_load(io.BytesIO(edited))) != want:
        problems.append("the values read back differ")
    return problems, edited


def libreoffice_problems(pairs, folder):
    """What LibreOffice shows differently for each edited file than for its source, but the
    edited cell and formulas: {name: [problem]}. `pairs`: {name: (source path, edited bytes)}."""
    from support import fods_cells, soffice_convert

    folder = Path(folder)
    (folder / "old").mkdir(exist_ok=True)
    (folder / "new").mkdir(exist_ok=True)
    for name, (path, edited) in pairs.items():
        (folder / "old" / name).write_bytes(Path(path).read_bytes())
        (folder / "new" / name).write_bytes(edited)
    found = {}
    for side in ("old", "new"):
        soffice_convert(folder, "fods", folder / (side + "-fods"), *sorted((folder / side).iterdir()))
    for name in pairs:
        stem = os.path.splitext(name)[0] + ".fods"
        new_file = folder / "new-fods" / stem
        if not new_file.exists():
            found[name] = ["LibreOffice does not open it"]
            continue
        old, new = fods_cells(folder / "old-fods" / stem, False), fods_cells(new_file, False)
        first = next(iter(old), None)
        problems = []
        for sheet, cells in old.items():
            for coordinate, shown in cells.items():
                if (sheet, coordinate) != (first, EDITED) and new.get(sheet, {}).get(coordinate) != shown:
                    problems.append("LibreOffice shows %s!%s as %r, not %r"
                                    % (sheet, coordinate, new.get(sheet, {}).get(coordinate), shown))
        if problems:
            found[name] = problems
    return found


def _excel_corpus():
    """The shared Excel-made corpus beside the checkout, or beside a folder above it."""
    folder = ROOT
    while os.path.dirname(folder) != folder:
        corpus = os.path.join(os.path.dirname(folder), "shared", "corpus", "excel")
        if os.path.isdir(corpus):
            return corpus
        folder = os.path.dirname(folder)
    return os.path.join(os.path.dirname(ROOT), "shared", "corpus", "excel")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--corpus", default=_excel_corpus())
    parser.add_argument("--every", type=int, default=1, help="check every Nth workbook only")
    parser.add_argument("--no-libreoffice", action="store_true")
    args = parser.parse_args()
    corpus = args.corpus
    names = sorted(n for n in os.listdir(corpus) if n.endswith((".xlsx", ".xlsm")))[::args.every]
    failed: dict[str, list[str]] = {}
    pairs = {}
    for name in names:
        path = os.path.join(corpus, name)
        try:
            problems, edited = check_workbook(path)
        except Exception as exc:  # noqa: BLE001 - every failure is reported
            failed[name] = ["%s: %s" % (type(exc).__name__, exc)]
            continue
        pairs[name] = (path, edited)
        if problems:
            failed[name] = problems
    if not args.no_libreoffice:
        with tempfile.TemporaryDirectory() as folder:
            for start in range(0, len(pairs), 100):  # one LibreOffice run converts a batch
                batch = dict(list(pairs.items())[start:start + 100])
                batch_folder = Path(folder) / str(start)
                batch_folder.mkdir()
                for name, problems in libreoffice_problems(batch, batch_folder).items():
                    failed.setdefault(name, []).extend(problems)
    for name, problems in sorted(failed.items()):
        print("%s:\n  %s" % (name, "\n  ".join(problems[:10])))
    print("%d of %d workbooks keep everything%s" % (len(names) - len(failed), len(names),
                                                    "" if args.no_libreoffice else ", LibreOffice agreeing"))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
