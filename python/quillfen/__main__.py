"""Command line: `quillfen` (or `python -m quillfen`) with the commands dump, info, csv and json.

    quillfen dump FILE [--sheet NAME] [--read-only] [--data-only]
    quillfen info FILE [--sheet NAME]
    quillfen csv  FILE [--sheet NAME | --all] [-o OUT] [--formulas]
    quillfen json FILE [--sheet NAME | --all] [-o OUT] [--formulas]

FILE "-" reads the workbook from standard input.

`dump` prints every cell present in each sheet (in workbook order, or only the one named),
in row and then column order, one line per cell:

    <sheet>!<coordinate><TAB><data type><TAB><repr of the value>

With --read-only it streams: each row is printed as it is read, in the order of the file.

`info` reads no cells: it prescans each sheet and prints one line per sheet, then one line
per merged range with the style ids of the range's corner cells ("-" for none):

    <sheet><TAB>dimension <ref or ->\tformatted rows <count><TAB>merged <count>
    <TAB><range><TAB><coordinate>=<style id> ...

The formats are stable: tests and tools rely on them.

`csv` writes the values of a sheet (the active one unless --sheet names another) as RFC 4180
CSV: fields separated by commas, records by CRLF, a field quoted when it holds a comma, a
quote or a line break. `json` writes them as a JSON array of row arrays. Both give the cached
results of formulas (their text with --formulas), dates and times in ISO 8601, and the
rectangle from A1 to the last row and column that hold a value, every row as wide as that,
missing cells empty (null in JSON). Both stream the sheet, in constant memory. With --all,
`json` writes one object mapping each sheet's title to its rows, and `csv` writes one file per
sheet, <title>.csv, into the folder given with -o.

A progress bar goes to standard error while a large sheet is read, when standard error is a
terminal.

Exit codes: 0 done; 1 the input cannot be read (not a workbook, damaged, missing, or without
the sheet asked for, or without any worksheet; one line on standard error says why); 2 wrong
usage; 130 interrupted (Ctrl-C). No command ends with a traceback.
"""

import argparse
import csv
import io
import json
import math
import os
import re
import sys
import time
from collections.abc import Iterator, Sequence
from os import PathLike
from typing import IO, Any

from . import __version__, load_workbook
from .model.cell import EMPTY_CELL
from .utils.datetime import value_text

EXIT_OK, EXIT_UNREADABLE, EXIT_USAGE, EXIT_INTERRUPTED = 0, 1, 2, 130


class NoSuchSheet(LookupError):
    """The sheet asked for is not in the workbook; the message lists those that are."""


# A sheet of either kind (editable or read-only); both give rows the same way here.
Sheet = Any


def _open(path: str | PathLike[str], **modes: bool) -> Any:
    return load_workbook(sys.stdin.buffer if path == "-" else path, **modes)


def _sheets(wb: Any, sheet: str | None = None, all_sheets: bool = True) -> list[Sheet]:
    """The worksheet named `sheet`, else every worksheet (`all_sheets`) or the active one (the
    first worksheet when a chart sheet is active)."""
    if not wb.worksheets:  # chart sheets only, or none listed: nothing to show
        raise NoSuchSheet("the workbook has no worksheets")
    titles = [ws.title for ws in wb.worksheets]
    if sheet is not None:
        if sheet not in titles:
            raise NoSuchSheet("no sheet named %r; the workbook has %s"
                              % (sheet, ", ".join(repr(name) for name in titles) or "no sheets"))
        return [wb[sheet]]
    worksheets: list[Sheet] = wb.worksheets
    if all_sheets:
        return worksheets
    active = wb.active
    return [active] if active is not None and active.kind == "worksheet" else worksheets[:1]


class Progress:
    """Rows done of a sheet's rows, redrawn in place on `stream` at most ten times a second;
    silent unless `stream` is a terminal and the sheet has at least `MIN_ROWS` rows."""

    MIN_ROWS = 10_000
    WIDTH = 30

    def __init__(self, title: str, total: int, stream: IO[str] | None = None) -> None:
        stream = sys.stderr if stream is None else stream
        self.on = total >= self.MIN_ROWS and _is_terminal(stream)
        self.title, self.total, self.stream, self.next_draw = title, total, stream, 0.0

    def update(self, row: int) -> None:
        if not self.on or time.monotonic() < self.next_draw:
            return
        self.next_draw = time.monotonic() + 0.1
        done = min(row, self.total)
        filled = self.WIDTH * done // self.total
        self.stream.write("\r%s [%s%s] %d/%d rows" % (self.title, "#" * filled, "." * (self.WIDTH - filled),
                                                      done, self.total))
        self.stream.flush()

    def close(self) -> None:
        if self.on:
            self.stream.write("\r\x1b[K")
            self.stream.flush()


def _is_terminal(stream: IO[str]) -> bool:
    try:
        return stream.isatty()
    except (AttributeError, ValueError):
        return False


def _indexed_rows(ws: Sheet, max_row: int | None = None, max_col: int | None = None,
                  values_only: bool = False) -> Iterator[tuple[int, tuple[Any, ...]]]:
    """(row number, row) from row 1: streamed from a read-only sheet, else from its cells."""
    if hasattr(ws, "_indexed_rows"):
        rows: Iterator[tuple[int, tuple[Any, ...]]] = ws._indexed_rows(None, max_row, None, max_col, values_only)
        return rows
    if ws._bounds() is None:
        return iter(())
    return enumerate(ws.iter_rows(min_row=1, max_row=max_row, max_col=max_col, values_only=values_only), 1)


def dump(path: str | PathLike[str], sheet: str | None = None, read_only: bool = False,
         data_only: bool = False, out: IO[str] | None = None) -> None:
    """Prints every cell of the workbook at `path` (or of its sheet `sheet`) to `out`, by
    default the current `sys.stdout`, in the format above."""
    # Looked up at call time: a default bound at import would miss a later redirection.
    out = sys.stdout if out is None else out
    with _open(path, read_only=read_only, data_only=data_only) as wb:
        write = out.write
        for ws in _sheets(wb, sheet):
            if not read_only:
                for cell in ws.cells():
                    write("%s!%s\t%s\t%r\n" % (ws.title, cell.coordinate, cell.data_type, cell.value))
                continue
            progress = Progress(ws.title, ws.max_row)
            for idx, row in _indexed_rows(ws):
                progress.update(idx)
                for cell in row:
                    if cell is not EMPTY_CELL:
                        write("%s!%s\t%s\t%r\n" % (ws.title, cell.coordinate, cell.data_type, cell.value))
            progress.close()


def info(path: str | PathLike[str], sheet: str | None = None, out: IO[str] | None = None) -> None:
    """Prints the prescan facts of each sheet (or of the sheet `sheet`) to `out`, by default
    the current `sys.stdout`, in the format above."""
    out = sys.stdout if out is None else out
    with _open(path, read_only=True) as wb:
        write = out.write
        for ws in _sheets(wb, sheet):
            facts = ws.facts()
            write("%s\tdimension %s\tformatted rows %d\tmerged %d\n" % (
                ws.title, facts.dimension or "-", len(facts.formatted_rows), len(facts.merged_cells)))
            for ref in facts.merged_cells:
                corners = " ".join("%s=%s" % (coordinate, "-" if style is None else style)
                                   for coordinate, style in facts.corner_styles[ref])
                write("\t%s\t%s\n" % (ref, corners))


# ------------------------------------------------------------------ csv and json

def value_extent(ws: Sheet) -> tuple[int, int]:
    """(rows, columns) from A1 to the last row and the last column that hold a value: the
    rectangle the exports write. Read through once, in constant memory."""
    height = width = 0
    for idx, row in _indexed_rows(ws, values_only=True):
        last = len(row)
        while last and row[last - 1] is None:
            last -= 1
        if last:
            height, width = max(height, idx), max(width, last)
    return height, width


def value_rows(ws: Sheet) -> Iterator[tuple[Any, ...]]:
    """The rows of the rectangle of `value_extent`, as tuples of values, each as wide as the
    rectangle; rows missing from the sheet are empty."""
    height, width = value_extent(ws)
    if not height:
        return
    progress = Progress(ws.title, height)
    for number, row in enumerate(ws._rect(1, height, 1, width, values_only=True), 1):
        progress.update(number)
        yield row
    progress.close()


def _json_value(value: Any) -> Any:
    if value is None or type(value) in (str, int, bool):
        return value
    if type(value) is float:
        return value if math.isfinite(value) else repr(value)
    return value_text(value)


def write_csv(ws: Sheet, out: IO[str]) -> None:
    """The values of `ws` to the text stream `out` as RFC 4180 CSV (see the module docstring)."""
    writer = csv.writer(out, lineterminator="\r\n")
    for row in value_rows(ws):
        writer.writerow([value_text(value) for value in row])


def write_json(ws: Sheet, out: IO[str]) -> None:
    """The values of `ws` to the text stream `out` as a JSON array of row arrays."""
    out.write("[")
    first = True
    for row in value_rows(ws):
        out.write("\n" if first else ",\n")
        first = False
        out.write(json.dumps([_json_value(value) for value in row], ensure_ascii=False))
    out.write("\n]" if not first else "]")


def _file_name(title: str) -> str:
    # Sheet titles cannot hold / or \ already; these are the others that some file systems refuse.
    return re.sub(r'[<>:"|?*\x00-\x1f]', "_", title).lstrip(".") or "sheet"


def export(kind: str, path: str | PathLike[str], sheet: str | None = None, all_sheets: bool = False,
           out: IO[str] | str | None = None, formulas: bool = False) -> None:
    """Writes the values of the active sheet of the workbook at `path` (or of its sheet
    `sheet`, or with `all_sheets` of every sheet) as `kind` "csv" or "json" to `out`: a text
    stream, by default the current `sys.stdout`, or with `all_sheets` and "csv" the path of
    a folder that gets one file per sheet."""
    with _open(path, read_only=True, data_only=not formulas) as wb:
        sheets = _sheets(wb, sheet, all_sheets)
        if kind == "csv" and all_sheets:
            assert isinstance(out, str), "csv --all writes into a folder"
            os.makedirs(out, exist_ok=True)
            for ws in sheets:
                with open(os.path.join(out, _file_name(ws.title) + ".csv"), "w", encoding="utf-8",
                          newline="") as f:
                    write_csv(ws, f)
            return
        stream = sys.stdout if out is None else out
        assert not isinstance(stream, str), "a text stream"
        if kind == "csv":
            write_csv(sheets[0], stream)
        elif not all_sheets:
            write_json(sheets[0], stream)
            stream.write("\n")
        else:
            stream.write("{")
            for i, ws in enumerate(sheets):
                stream.write("%s\n%s: " % ("," if i else "", json.dumps(ws.title, ensure_ascii=False)))
                write_json(ws, stream)
            stream.write("\n}\n")


# ------------------------------------------------------------------ arguments

def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        description="Inspect and export .xlsx workbooks.",
        epilog="FILE - reads the workbook from standard input. Exit codes: 0 done, 1 the input "
               "cannot be read, 2 wrong usage.")
    parser.add_argument("--version", action="version", version="quillfen " + __version__)
    commands = parser.add_subparsers(dest="command", required=True)
    p_dump = commands.add_parser("dump", help="print every cell of a workbook")
    p_dump.add_argument("file")
    p_dump.add_argument("--sheet", help="only this sheet")
    p_dump.add_argument("--read-only", action="store_true", help="stream the rows instead of loading every cell")
    p_dump.add_argument("--data-only", action="store_true", help="cached results instead of formulas")
    p_info = commands.add_parser("info", help="print each sheet's dimension, formatted rows and merged ranges")
    p_info.add_argument("file")
    p_info.add_argument("--sheet", help="only this sheet")
    for kind, what in (("csv", "RFC 4180 CSV"), ("json", "a JSON array of rows")):
        p = commands.add_parser(kind, help="write the values of a sheet as %s" % what)
        p.add_argument("file")
        which = p.add_mutually_exclusive_group()
        which.add_argument("--sheet", help="this sheet instead of the active one")
        which.add_argument("--all", action="store_true", help="every sheet" + (
            " (one file each, into the folder given with -o)" if kind == "csv" else ""))
        p.add_argument("-o", "--output", help="the file to write (standard output by default)")
        p.add_argument("--formulas", action="store_true", help="the text of formulas instead of their cached results")
    return parser


def _run(args: argparse.Namespace, parser: argparse.ArgumentParser) -> None:
    if args.command == "info":
        info(args.file, sheet=args.sheet)
    elif args.command == "dump":
        dump(args.file, sheet=args.sheet, read_only=args.read_only, data_only=args.data_only)
    elif args.command == "csv" and args.all:
        if args.output is None:
            parser.error("csv --all writes one file per sheet: name their folder with -o")
        export("csv", args.file, all_sheets=True, out=args.output, formulas=args.formulas)
    elif args.output is None:
        out = io.TextIOWrapper(sys.stdout.buffer, encoding="utf-8", newline="", write_through=True)
        try:
            export(args.command, args.file, args.sheet, args.all, out, args.formulas)
        finally:
            out.detach()
    else:
        with open(args.output, "w", encoding="utf-8", newline="") as out:
            export(args.command, args.file, args.sheet, args.all, out, args.formulas)


def main(argv: Sequence[str] | None = None) -> int:
    parser = _parser()
    args = parser.parse_args(argv)
    try:
        _run(args, parser)
    except BrokenPipeError:
        # The reader went away (`| head`): quietly, without a second error when Python
        # flushes the closed stream at exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return EXIT_UNREADABLE
    except KeyboardInterrupt:
        print(file=sys.stderr)  # past the ^C the terminal shows
        return EXIT_INTERRUPTED
    except Exception as exc:  # one line for the user, never a traceback
        name = "standard input" if args.file == "-" else args.file
        print("quillfen: cannot read %s: %s: %s" % (name, type(exc).__name__, exc), file=sys.stderr)
        return EXIT_UNREADABLE
    return EXIT_OK


if __name__ == "__main__":
    sys.exit(main())
