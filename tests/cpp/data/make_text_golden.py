#!/usr/bin/env python3
"""Writes text_golden.txt: Python's own text of random values, which
tests/cpp/text_test.cpp compares with the C++ writers.

One case a line, three fields separated by single spaces:
  float <bits as 16 hex digits> <json text, non-finite values as the CLI writes them>
  u64|i64|u128|i128|u256|i256 <little-endian bytes in hex> <decimal>
  str <UTF-8 bytes in hex> <json.dumps(s, ensure_ascii=False)>
  hex <bytes in hex> <json.dumps(bytes.hex())>

Run it from anywhere with python3 (3.14); the output is the same for every run.
"""

import json
import math
import random
import struct
from pathlib import Path

rng = random.Random(20240917)
lines: list[str] = []


def float_json(x: float) -> str:
    if math.isnan(x):
        return json.dumps("NaN")
    if math.isinf(x):
        return json.dumps("Infinity" if x > 0 else "-Infinity")
    return json.dumps(x)


def bits_of(x: float) -> int:
    return struct.unpack("<Q", struct.pack("<d", x))[0]


def from_bits(b: int) -> float:
    return struct.unpack("<d", struct.pack("<Q", b))[0]


def floats() -> list[float]:
    out: list[float] = [0.0, -0.0, math.inf, -math.inf, math.nan, 5e-324, -5e-324, 2.2250738585072014e-308,
                        2.225073858507201e-308, 1.7976931348623157e308, 0.1 + 0.2, 1 / 3, 2 / 3, 100.0, 1.5e300]
    # Where the positional and exponent forms meet, and their neighbours.
    for edge in (1e16, 1e-4, 1e-5, 1e15, 9999999999999998.0, 0.001, 123456789012345678.0):
        for x in (edge, math.nextafter(edge, 0), math.nextafter(edge, math.inf)):
            out += [x, -x]
    out += [10.0**k for k in range(-25, 25)]
    out += [float(f"1e{k}") for k in rng.sample(range(-324, 309), 60)]
    out += [math.ldexp(1.0, k) for k in rng.sample(range(-1074, 1024), 60)]
    # Any bit pattern: all exponents, NaNs with payloads included.
    out += [from_bits(rng.getrandbits(64)) for _ in range(200)]
    # Subnormals.
    out += [from_bits(rng.getrandbits(52) >> rng.randrange(52)) for _ in range(80)]
    # Integers, exact and beyond 2^53.
    out += [float(rng.getrandbits(rng.randrange(1, 70))) for _ in range(80)]
    # Short decimals and their neighbours, whose shortest digits are long.
    for _ in range(80):
        x = float(f"{rng.randrange(1, 10**rng.randrange(1, 17))}e{rng.randrange(-330, 300)}")
        out += [x, math.nextafter(x, 0), math.nextafter(x, math.inf)]
    # Float32 values widened, as f32 fields arrive.
    out += [struct.unpack("<f", rng.getrandbits(32).to_bytes(4, "little"))[0] for _ in range(80)]
    return out


for x in floats():
    lines.append(f"float {bits_of(x):016x} {float_json(x)}")


def int_cases(bits: int, signed: bool, count: int) -> list[int]:
    lo, hi = (-(1 << (bits - 1)), (1 << (bits - 1)) - 1) if signed else (0, (1 << bits) - 1)
    out = [0, 1, lo, hi, lo + 1, hi - 1]
    if signed:
        out += [-1, -(1 << 63), (1 << 63) - 1, -(1 << 64), 1 << 64]
    else:
        out += [(1 << 64) - 1, 1 << 64]
    # Powers of ten and their neighbours: zeros in every digit chunk.
    for k in rng.sample(range(0, 78), 8):
        out += [10**k - 1, 10**k, 10**k + 1, -(10**k)]
    # Every magnitude, not only full-width values.
    for _ in range(count):
        v = rng.getrandbits(rng.randrange(1, bits + 1))
        out.append(-v if signed and rng.random() < 0.5 else v)
    return [v for v in dict.fromkeys(out) if lo <= v <= hi]


for bits, count in ((64, 30), (128, 60), (256, 30)):
    for signed in (False, True):
        name = f"{'i' if signed else 'u'}{bits}"
        for v in int_cases(bits, signed, count):
            lines.append(f"{name} {v.to_bytes(bits // 8, 'little', signed=signed).hex()} {v}")

# Characters that are escaped, that look as if they might be (also bytes that
# are '"', '\\' or a control character with the top bit set), and of every
# UTF-8 length; runs of plain ASCII between them put the escapes at every
# offset within an 8-byte word.
specials = [chr(c) for c in range(0x20)] + ['"', "\\", "/", "\x7f", "'", "\x80", "é", "\u07ff", "\u0800", "€",
                                            "\u2028", "\u2029", "\ufeff", "\uffff",
                                            "\u00a2", "\u00dc", "\u009f", "\u071c", "\U00010000", "𝄞", "\U0010ffff"]
plain = "".join(chr(c) for c in range(0x20, 0x7f) if c not in (0x22, 0x5C))
strings = ["", "a", "\x00", "\\", '"', "\x7f", "\x1f", "abcdefgh", "abcdefg\n", "abcdefghi\t"]
for _ in range(160):
    parts = []
    for _ in range(rng.randrange(0, 6)):
        parts.append("".join(rng.choice(plain) for _ in range(rng.randrange(0, 20))))
        parts.append("".join(rng.choice(specials) for _ in range(rng.randrange(0, 3))))
    strings.append("".join(parts))
for s in strings:
    lines.append(f"str {s.encode().hex()} {json.dumps(s, ensure_ascii=False)}")

for n in (0, 1, 2, 7, 8, 9, 32, 33):
    b = bytes(rng.getrandbits(8) for _ in range(n))
    lines.append(f"hex {b.hex()} {json.dumps(b.hex())}")

path = Path(__file__).with_name("text_golden.txt")
path.write_text("".join(line + "\n" for line in lines), encoding="utf-8")
print(f"{path}: {len(lines)} cases")
