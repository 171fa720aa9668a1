"""Command line: `python -m quillfen dump FILE [--sheet NAME] [--read-only] [--data-only]`
and `python -m quillfen info FILE [--sheet NAME]`.

`dump` prints every cell present in each sheet (in workbook order, or only the one named),
in row and then column order, one line per cell:

    <sheet>!<coordinate><TAB><data type><TAB><repr of the value>

`info` reads no cells: it prescans each sheet and prints one line per sheet, then one line
per merged range with the style ids of the range's corner cells ("-" for none):

    <sheet><TAB>dimension <ref or ->\tformatted rows <count><TAB>merged <count>
    <TAB><range><TAB><coordinate>=<style id> ...

The formats are stable: tests and tools rely on them.
"""

import argparse
import sys

from . import load_workbook


def _cells_in_order(ws):
    # The last cell written for a position wins, as in an editable sheet.
    cells = {}
    for cell in ws.cells():
        cells[(cell.row, cell.column)] = cell
    return [cells[key] for key in sorted(cells)]


def dump(path, sheet=None, read_only=False, data_only=False, out=None):
    """Prints every cell of the workbook at `path` (or of its sheet `sheet`) to `out`, by
    default the current `sys.stdout`, in the format above."""
    # Looked up at call time: a default bound at import would miss a later redirection.
    out = sys.stdout if out is None else out
    with load_workbook(path, read_only=read_only, data_only=data_only) as wb:
        sheets = [wb[sheet]] if sheet is not None else wb.worksheets
        write = out.write
        for ws in sheets:
            for cell in _cells_in_order(ws):
                write("%s!%s\t%s\t%r\n" % (ws.title, cell.coordinate, cell.data_type, cell.value))


def info(path, sheet=None, out=None):
    """Prints the prescan facts of each sheet (or of the sheet `sheet`) to `out`, by default
    the current `sys.stdout`, in the format above."""
    out = sys.stdout if out is None else out
    with load_workbook(path, read_only=True) as wb:
        sheets = [wb[sheet]] if sheet is not None else wb.worksheets
        write = out.write
        for ws in sheets:
            facts = ws.facts()
            write("%s\tdimension %s\tformatted rows %d\tmerged %d\n" % (
                ws.title, facts.dimension or "-", len(facts.formatted_rows), len(facts.merged_cells)))
            for ref in facts.merged_cells:
                corners = " ".join("%s=%s" % (coordinate, "-" if style is None else style)
                                   for coordinate, style in facts.corner_styles[ref])
                write("\t%s\t%s\n" % (ref, corners))


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python -m quillfen", description="Inspect .xlsx workbooks.")
    commands = parser.add_subparsers(dest="command", required=True)
    p_dump = commands.add_parser("dump", help="print every cell of a workbook")
    p_dump.add_argument("file")
    p_dump.add_argument("--sheet", help="only this sheet")
    p_dump.add_argument("--read-only", action="store_true", help="stream the rows instead of loading every cell")
    p_dump.add_argument("--data-only", action="store_true", help="cached results instead of formulas")
    p_info = commands.add_parser("info", help="print each sheet's dimension, formatted rows and merged ranges")
    p_info.add_argument("file")
    p_info.add_argument("--sheet", help="only this sheet")
    args = parser.parse_args(argv)
    try:
        if args.command == "info":
            info(args.file, sheet=args.sheet)
        else:
            dump(args.file, sheet=args.sheet, read_only=args.read_only, data_only=args.data_only)
    except BrokenPipeError:
        return 1
    except Exception as exc:  # one line for the user, never a traceback
        print("quillfen: cannot read %s: %s: %s" % (args.file, type(exc).__name__, exc), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
