"""10^6 doubles through format_g16 (native) vs Python's '%.16g'. Prints times and the ratio.

Uses the test-only module from the developer build (make build).
"""

import os
import random
import struct
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, os.environ.get("QUILLFEN_TEST_BUILD_DIR", "build/dev"), "testing"))

import _quillfen_testing as testing  # noqa: E402

N = int(os.environ.get("BENCH_N", 1_000_000))

from timing import best_of  # noqa: E402


def main():
    rng = random.Random(7)
    # Spreadsheet-like values: prices, measurements, ratios, a few large and tiny magnitudes.
    xs = [round(rng.uniform(-1e4, 1e4), rng.randint(0, 4)) if i % 4 else rng.uniform(-1, 1) * 10.0 ** rng.randint(-8, 20)
          for i in range(N)]
    packed = struct.pack(f"<{N}d", *xs)
    assert testing.number_texts(packed[:8000], 0) == ["%.16g" % x for x in xs[:1000]]

    t_native = best_of(lambda: testing.number_texts(packed, 0), 3)
    t_python = best_of(lambda: ["%.16g" % x for x in xs], 3)
    print(f"format_g16, {N} doubles: native {t_native:.3f} s, Python '%.16g' {t_python:.3f} s, "
          f"ratio {t_python / t_native:.1f}x")


if __name__ == "__main__":
    main()
