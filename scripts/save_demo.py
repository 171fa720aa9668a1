"""The main job's saving step: edit the demo workbook and save it, and save a new write-only
workbook beside it, for `python -m quillfen dump` to read back.

    python scripts/save_demo.py DEMO.xlsx EDITED.xlsx STREAMED.xlsx
"""

import datetime
import sys
import warnings

import quillfen
from quillfen.comments import Comment
from quillfen.styles import Font, PatternFill


def main(demo, edited, streamed):
    wb = quillfen.load_workbook(demo)
    ws = wb["Formulas"]
    ws["C1"] = "edited"
    ws.append([4, "=A4*10", datetime.date(2024, 2, 29)])
    summary = wb.create_sheet("Summary", 0)
    summary.append(["sheets", len(wb.sheetnames)])
    summary.append(["saved", datetime.datetime(2024, 1, 2, 3, 4, 5)])
    summary["A1"].font = Font(bold=True, color="1F4E79")
    summary["A1"].fill = PatternFill("solid", fgColor="DDEBF7")
    summary["A1"].comment = Comment("counted when saved", "quillfen")
    summary.column_dimensions["B"].width = 24
    summary.freeze_panes = "A2"
    wb.active = summary
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        wb.save(edited)
    for warning in caught:
        print("note:", warning.message)
    print("saved", edited, wb.sheetnames)
    back = quillfen.load_workbook(edited)["Summary"]
    print("read back: A1 bold %s, fill %s, comment %r, column B width %s, frozen at %s, merged in Formulas %s"
          % (back["A1"].font.bold, back["A1"].fill.fgColor, back["A1"].comment.text,
             back.column_dimensions["B"].width, back.freeze_panes, back.parent["Formulas"].merged_cells))

    out = quillfen.Workbook(write_only=True)
    rows = out.create_sheet("Rows")
    for r in range(1, 1001):
        rows.append([r, r * 0.25, "row %d" % r, r % 3 == 0])
    out.save(streamed)
    print("saved", streamed, "1000 rows written as they were appended")


if __name__ == "__main__":
    main(*sys.argv[1:4])
