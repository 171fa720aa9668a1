"""Rendering one compiled shared formula for 10^6 destination cells: native vs Python Translator.

Uses the test-only module from the developer build (make build). Prints times and the ratio.
"""

import os
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, os.environ.get("QUILLFEN_TEST_BUILD_DIR", "build/dev"), "testing"))

import _quillfen_testing as testing  # noqa: E402

from quillfen.formula import Translator  # noqa: E402
from quillfen.formula.translate import _column_letters  # noqa: E402

N = int(os.environ.get("BENCH_N", 1_000_000))
FORMULA = '=IF(AND($B2>0,C2<>""),SUM(D2:F2)*Sheet2!$A$1+VLOOKUP(A2,Data!$A:$D,2,FALSE),"-")'
ORIGIN = (2, 7)  # G2



from timing import best_of  # noqa: E402

def main():
    rows = [ORIGIN[0] + i % 50_000 for i in range(N)]
    cols = [ORIGIN[1] + i // 50_000 for i in range(N)]
    dests = list(zip(rows, cols))
    coords = [f"{_column_letters(c)}{r}" for r, c in dests]

    tr = Translator(FORMULA, f"{_column_letters(ORIGIN[1])}{ORIGIN[0]}")
    native = testing.formula_translate(FORMULA, ORIGIN[0], ORIGIN[1], dests[:1000])
    assert native == [tr.translate_formula(c) for c in coords[:1000]]

    t_native = best_of(lambda: testing.formula_translate(FORMULA, ORIGIN[0], ORIGIN[1], dests), 3)
    translate = tr.translate_formula
    t_python = best_of(lambda: [translate(c) for c in coords], 1)
    print(f"shared formula, {N} destinations: native {t_native:.3f} s, Python Translator {t_python:.3f} s, "
          f"ratio {t_python / t_native:.1f}x")


if __name__ == "__main__":
    main()
