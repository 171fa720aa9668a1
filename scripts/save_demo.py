"""The main job's saving step: edit the demo workbook and save it, and save a new write-only
workbook beside it, for `python -m quillfen dump` to read back.

    python scripts/save_demo.py DEMO.xlsx EDITED.xlsx STREAMED.xlsx
"""

import datetime
import sys
import warnings

import quillfen


def main(demo, edited, streamed):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # the demo's merged range is not saved yet, and says so
        wb = quillfen.load_workbook(demo)
    ws = wb["Formulas"]
    ws["C1"] = "edited"
    ws.append([4, "=A4*10", datetime.date(2024, 2, 29)])
    summary = wb.create_sheet("Summary", 0)
    summary.append(["sheets", len(wb.sheetnames)])
    summary.append(["saved", datetime.datetime(2024, 1, 2, 3, 4, 5)])
    wb.active = summary
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        wb.save(edited)
    for warning in caught:
        print("note:", warning.message)
    print("saved", edited, wb.sheetnames)

    out = quillfen.Workbook(write_only=True)
    rows = out.create_sheet("Rows")
    for r in range(1, 1001):
        rows.append([r, r * 0.25, "row %d" % r, r % 3 == 0])
    out.save(streamed)
    print("saved", streamed, "1000 rows written as they were appended")


if __name__ == "__main__":
    main(*sys.argv[1:4])
