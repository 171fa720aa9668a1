"""The LibreOffice side of the test oracle (`oracle.py`): run by the system's python3, which has
the UNO bridge (Debian's python3-uno), never by the interpreter under test.

It starts one headless soffice with a profile of its own, connects to it through a pipe and
then serves requests, one JSON object a line on standard input, each answered by one JSON
line on standard output: {"ok": result} or {"error": "what went wrong"}. Requests:

  {"cmd": "open", "path": P}                          load a workbook (the one open is closed)
  {"cmd": "edit", "sheet": S, "op": OP, "index": I, "amount": N}
        OP is insert_rows, delete_rows, insert_cols or delete_cols; I is 1-based; S a title
  {"cmd": "save", "path": P}                          store the open workbook as .xlsx
  {"cmd": "settle"}                                   store it and load what was stored
  {"cmd": "report"}                                   what the open workbook holds (below)
  {"cmd": "series"}                                   the charts' category and series ranges, as UNO
                                                      gives them
  {"cmd": "close"}, {"cmd": "quit"}

A report is what LibreOffice writes: the workbook is stored as .xlsx to a scratch file and its
parts are read back here, with the standard library only: {"sheets": [[title, {"cells":
{"B3": [kind, text]}, "merges": [...], "values": {"B3": the result
of its formula as shown}}], ...], "names": [[name, local sheet index or null,
text], ...]}, where kind is "f" (text: the formula without "="), "n", "s", "b" or "e".
"""

import json
import os
import subprocess
import sys
import tempfile
import time
import traceback
import xml.etree.ElementTree as ET
import zipfile

import uno  # noqa: F401  (sets up the com.sun.star imports below)
from com.sun.star.beans import PropertyValue
from com.sun.star.connection import NoConnectException

MAIN = "{http://schemas.openxmlformats.org/spreadsheetml/2006/main}"
REL = "{http://schemas.openxmlformats.org/officeDocument/2006/relationships}"
PKG_REL = "{http://schemas.openxmlformats.org/package/2006/relationships}"
XLSX_FILTER = "Calc Office Open XML"


def prop(name, value):
    p = PropertyValue()
    p.Name, p.Value = name, value
    return p


class Office:
    def __init__(self, profile):
        self.pipe = "quillfen_oracle_%d" % os.getpid()
        self.scratch = os.path.join(profile, "report.xlsx")
        self.proc = subprocess.Popen(
            ["soffice", "--headless", "--invisible", "--nologo", "--norestore", "--nodefault", "--nolockcheck",
             "--accept=pipe,name=%s;urp;" % self.pipe, "-env:UserInstallation=file://" + os.path.join(profile, "user")],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        local = uno.getComponentContext()
        resolver = local.ServiceManager.createInstanceWithContext("com.sun.star.bridge.UnoUrlResolver", local)
        deadline = time.monotonic() + 120
        while True:
            try:
                ctx = resolver.resolve("uno:pipe,name=%s;urp;StarOffice.ComponentContext" % self.pipe)
                break
            except NoConnectException:
                if self.proc.poll() is not None or time.monotonic() > deadline:
                    raise RuntimeError("soffice did not start (exit status %r)" % self.proc.poll())
                time.sleep(0.1)
        self.desktop = ctx.ServiceManager.createInstanceWithContext("com.sun.star.frame.Desktop", ctx)
        self.doc = None

    # ------------------------------------------------------------------ requests

    def open(self, path):
        self.close()
        self.doc = self.desktop.loadComponentFromURL(uno.systemPathToFileUrl(os.path.abspath(path)), "_blank", 0,
                                                     (prop("Hidden", True),))
        if self.doc is None:
            raise RuntimeError("LibreOffice could not open %s" % path)
        return {"sheets": list(self.doc.Sheets.ElementNames)}

    def edit(self, sheet, op, index, amount):
        target = self.doc.Sheets.getByName(sheet)
        what, axis = op.split("_")
        lines = target.Rows if axis == "rows" else target.Columns
        if what == "insert":
            lines.insertByIndex(index - 1, amount)
        elif what == "delete":
            lines.removeByIndex(index - 1, amount)
        else:
            raise ValueError("unknown edit %r" % op)
        return None

    def settle(self):
        """Stores the open workbook and loads it again: what LibreOffice keeps only in memory
        (a deleted reference remembers where it pointed, and a later insertion can bring it
        back) becomes what its file says."""
        self.save(self.scratch)
        self.open(self.scratch)
        return None

    def save(self, path):
        self.doc.storeToURL(uno.systemPathToFileUrl(os.path.abspath(path)), (prop("FilterName", XLSX_FILTER),))
        return None

    def report(self):
        self.save(self.scratch)
        return read_workbook(self.scratch)

    def series(self):
        found = []
        for sheet in self.doc.Sheets:
            charts = sheet.Charts
            for name in charts.ElementNames:
                chart = charts.getByName(name).EmbeddedObject
                ranges = []
                diagram = chart.getFirstDiagram()
                for system in diagram.getCoordinateSystems() if diagram is not None else ():
                    for dimension in range(system.getDimension()):
                        try:
                            categories = system.getAxisByDimension(dimension, 0).getScaleData().Categories
                        except Exception:  # no such axis
                            categories = None
                        if categories is not None and categories.getValues() is not None:
                            ranges.append(["categories", categories.getValues().getSourceRangeRepresentation()])
                    for kind in system.getChartTypes():
                        for series in kind.getDataSeries():
                            for seq in series.getDataSequences():
                                for part in (seq.getLabel(), seq.getValues()):
                                    if part is not None:
                                        ranges.append([part.Role, part.getSourceRangeRepresentation()])
                found.append([sheet.Name, name, ranges])
        return found

    def close(self):
        if self.doc is not None:
            doc, self.doc = self.doc, None
            doc.close(True)
        return None

    def quit(self):
        try:
            self.close()
            self.desktop.terminate()
        except Exception:
            pass  # the connection goes down with the office
        try:
            self.proc.wait(timeout=30)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


# ------------------------------------------------------------------ reading what LibreOffice wrote

def _targets(z, rels_part, base):
    try:
        root = ET.fromstring(z.read(rels_part))
    except KeyError:
        return {}
    found = {}
    for rel in root.iter(PKG_REL + "Relationship"):
        target = rel.get("Target", "")
        found[rel.get("Id")] = target.lstrip("/") if target.startswith("/") else os.path.normpath(
            os.path.join(base, target)).replace(os.sep, "/")
    return found


def _strings(z):
    try:
        root = ET.fromstring(z.read("xl/sharedStrings.xml"))
    except KeyError:
        return []
    return ["".join(t.text or "" for t in si.iter(MAIN + "t")) for si in root.iter(MAIN + "si")]


def _sheet(z, part, strings):
    root = ET.fromstring(z.read(part))
    cells, values = {}, {}
    for c in root.iter(MAIN + "c"):
        f, v = c.find(MAIN + "f"), c.find(MAIN + "v")
        kind = c.get("t", "n")
        if f is not None and f.text:
            cells[c.get("r")] = ["f", f.text]
            values[c.get("r")] = v.text if v is not None else None
        elif kind == "s" and v is not None:
            cells[c.get("r")] = ["s", strings[int(v.text)]]
        elif kind == "inlineStr":
            cells[c.get("r")] = ["s", "".join(t.text or "" for t in c.iter(MAIN + "t"))]
        elif v is not None and v.text is not None:
            cells[c.get("r")] = ["str" if kind == "str" else kind, v.text]
    merges = [m.get("ref") for m in root.iter(MAIN + "mergeCell")]
    return {"cells": cells, "merges": merges, "values": values}


def read_workbook(path):
    with zipfile.ZipFile(path) as z:
        workbook = ET.fromstring(z.read("xl/workbook.xml"))
        targets = _targets(z, "xl/_rels/workbook.xml.rels", "xl")
        strings = _strings(z)
        sheets = [[s.get("name"), _sheet(z, targets[s.get(REL + "id")], strings)]
                  for s in workbook.iter(MAIN + "sheet")]
        names = [[n.get("name"), None if n.get("localSheetId") is None else int(n.get("localSheetId")), n.text or ""]
                 for n in workbook.iter(MAIN + "definedName")]
    return {"sheets": sheets, "names": names}


def main():
    profile = tempfile.mkdtemp(prefix="quillfen-oracle-")
    office = Office(profile)
    out = sys.stdout
    out.write(json.dumps({"ok": {"pid": office.proc.pid}}) + "\n")
    out.flush()
    try:
        for line in sys.stdin:
            request = json.loads(line)
            cmd = request.pop("cmd")
            try:
                answer = {"ok": getattr(office, cmd)(**request)}
            except Exception as exc:  # every failure goes back to the client, which raises it
                answer = {"error": "%s: %s" % (type(exc).__name__, exc), "trace": traceback.format_exc()}
            out.write(json.dumps(answer) + "\n")
            out.flush()
            if cmd == "quit":
                return
    finally:
        office.quit()
        subprocess.run(["rm", "-rf", profile], check=False)


if __name__ == "__main__":
    main()
