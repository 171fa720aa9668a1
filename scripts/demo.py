"""The main job: find the `dimension` element of every sample worksheet part with the native engine.

Runs over samples/*.xml, plus one generated part of a few megabytes whose dimension comes last,
and prints what was found (or that the engine falls back to the pure-Python path).
"""

import io
import pathlib
import time

from quillfen import _quillfen

ROOT = pathlib.Path(__file__).resolve().parent.parent
MAIN = "http://schemas.openxmlformats.org/spreadsheetml/2006/main"


def generated() -> bytes:
    rows = "".join(f'<row r="{r}"><c r="A{r}"><v>{r}</v></c><c r="B{r}" t="s"><v>{r % 7}</v></c></row>'
                   for r in range(1, 100_001))
    return (f'<worksheet xmlns="{MAIN}"><sheetViews><sheetView workbookViewId="0"/></sheetViews>'
            f'<cols>{rows}</cols><dimension ref="A1:B100000"/><sheetData/></worksheet>').encode()


def report(name: str, data: bytes) -> None:
    start = time.perf_counter()
    try:
        found = _quillfen.find_dimension(io.BytesIO(data))
    except _quillfen.NativeFallback as exc:
        print(f"{name:28} fallback to pure Python ({exc})")
        return
    ms = (time.perf_counter() - start) * 1000
    if found is None:
        print(f"{name:28} no dimension before sheetData ({len(data)} bytes, {ms:.1f} ms)")
        return
    snippet, namespaces = found
    ns = ", ".join(f"{p or '(default)'}={u}" for p, u in namespaces)
    print(f"{name:28} {snippet.decode()}  [{ns}]  ({len(data)} bytes, {ms:.1f} ms)")


def main() -> None:
    for path in sorted((ROOT / "samples").glob("*.xml")):
        report(path.name, path.read_bytes())
    report("generated (late dimension)", generated())


if __name__ == "__main__":
    main()
