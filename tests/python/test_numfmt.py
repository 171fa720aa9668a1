"""Number text against Python itself: format_g16 against '%.16g', the writer's text against
repr(); and exact_int."""

import math
import os
import random
import struct

import pytest
from hypothesis import example, given, strategies as st


def from_bits(bits):
    return struct.unpack("<d", struct.pack("<Q", bits))[0]


WORKED = [
    (0.0, "0"), (-0.0, "-0"), (3.0, "3"), (-2.0, "-2"), (100.0, "100"), (0.5, "0.5"), (0.1, "0.1"),
    (-1234.5, "-1234.5"), (1 / 3, "0.3333333333333333"), (2 / 3, "0.6666666666666666"),
    (0.0001, "0.0001"), (0.00001, "1e-05"), (0.00001234, "1.234e-05"), (1e15, "1000000000000000"),
    (9999999999999998.0, "9999999999999998"), (1e16, "1e+16"), (1e100, "1e+100"),
    (from_bits(1), "4.940656458412465e-324"), (1.7976931348623157e308, "1.797693134862316e+308"),
    (1.5e-05, "1.5e-05"),
]


@pytest.mark.parametrize("x, text", WORKED)
def test_worked_examples(testing, x, text):
    assert testing.format_g16(x) == text


def _decade_edges():
    # Powers of ten and their neighbours, and values just below a power of ten whose 16-digit
    # rounding carries into the next decade (9.9999999999999995e15 and the like).
    xs = []
    for e in range(-324, 309):
        try:
            p = float(f"1e{e}")
        except OverflowError:
            continue
        for v in (p, math.nextafter(p, 0), math.nextafter(p, math.inf), p * 0.99999999999999995):
            if math.isfinite(v):
                xs.extend((v, -v))
    return xs


def test_decades_and_carries(testing):
    xs = _decade_edges()
    packed = struct.pack(f"<{len(xs)}d", *xs)
    assert testing.number_texts(packed, 0) == ["%.16g" % x for x in xs]
    assert testing.number_texts(packed, 1) == [shortest(x) for x in xs]


def test_ties_round_to_even(testing):
    # Exactly representable values with a 17th significant digit of 5 and nothing after it.
    xs = [2.0**53 + 2 * k for k in range(0, 40)] + [0.5 + k * 2.0**-52 for k in range(40)]
    xs += [1.0000000000000025, 1.0000000000000015, 2.5e-17 * 2**60]
    for x in xs:
        assert testing.format_g16(x) == "%.16g" % x


doubles = st.one_of(
    st.floats(allow_nan=False, allow_infinity=False),
    st.integers(0, 2**64 - 1).map(from_bits).filter(math.isfinite),
    st.integers(1, 2**52 - 1).map(from_bits),  # subnormals
    st.integers(-(2**63), 2**63).map(float),
    st.integers(-400, 400).map(lambda e: 10.0**e if -308 < e < 308 else 1.0),
)


@given(doubles)
@example(-0.0)
@example(9.9999999999999995e15)
def test_format_g16_property(testing, x):
    assert testing.format_g16(x) == "%.16g" % x


def shortest(x):
    """The pure-Python writer's number text."""
    from quillfen.writer.sheet_data import number_text
    return number_text(x)


@given(doubles, st.integers(-(2**63), 2**63 - 1))
@example(0.1 + 0.2, 2**63 - 1)
@example(-0.0, -(2**63))
def test_writer_numbers_are_python_s_own(testing, x, i):
    assert testing.num_float(x) == shortest(x)
    assert float(testing.num_float(x)) == x
    assert testing.num_int(i) == str(i)


def test_random_bit_patterns(testing):
    """Random 64-bit patterns in bulk; QUILLFEN_NUMFMT_DRAWS=1000000 for the long run."""
    n = int(os.environ.get("QUILLFEN_NUMFMT_DRAWS", "20000"))
    rng = random.Random(int(os.environ.get("QUILLFEN_NUMFMT_SEED", "16")))
    done = 0
    while done < n:
        chunk = min(100_000, n - done)
        xs = [x for x in (from_bits(rng.getrandbits(64)) for _ in range(chunk)) if math.isfinite(x)]
        packed = struct.pack(f"<{len(xs)}d", *xs)
        assert testing.number_texts(packed, 0) == ["%.16g" % x for x in xs]
        assert testing.number_texts(packed, 1) == [shortest(x) for x in xs]
        done += chunk


class IntSub(int):
    pass


@pytest.mark.parametrize("obj, want", [
    (5, 5), (-(2**63), -(2**63)), (2**63 - 1, 2**63 - 1), (2**63, None), (-(2**63) - 1, None),
    (True, None), (IntSub(3), None), (3.0, None), ("3", None), (None, None),
])
def test_exact_int(testing, obj, want):
    assert testing.exact_int(obj) == want
