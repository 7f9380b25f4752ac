#!/usr/bin/env python3
"""Writes text_golden.txt (deterministic): Python's own text of random values,
one case a line as `kind hex text`, for tests/cpp/text_test.cpp."""

import json
import math
import random
import struct
from pathlib import Path

rng = random.Random(20240917)
lines: list[str] = []


def from_bits(b: int) -> float:
    return struct.unpack("<d", struct.pack("<Q", b))[0]


floats = [0.0, 5e-324, 2.2250738585072014e-308, 2.225073858507201e-308, 1.7976931348623157e308, 0.1 + 0.2, 1.5e300]
# Where the positional and exponent forms meet, with neighbours.
for x in (1e16, 1e-4, 1e-5, 1e15, 9999999999999998.0, 0.001, 123456789012345678.0):
    floats += [x, math.nextafter(x, 0), math.nextafter(x, math.inf)]
floats += [10.0**k for k in range(-25, 25)] + [float(f"1e{k}") for k in rng.sample(range(-324, 309), 60)]
floats += [math.ldexp(1.0, k) for k in rng.sample(range(-1074, 1024), 60)]
floats += [from_bits(rng.getrandbits(64)) for _ in range(200)]  # any exponent, NaN payloads
floats += [from_bits(rng.getrandbits(52) >> rng.randrange(52)) for _ in range(80)]  # subnormals
floats += [float(rng.getrandbits(rng.randrange(1, 70))) for _ in range(80)]  # integers
floats += [struct.unpack("<f", rng.getrandbits(32).to_bytes(4, "little"))[0] for _ in range(80)]  # f32 widened
for _ in range(80):  # short decimals and their neighbours, whose shortest digits are long
    x = float(f"{rng.randrange(1, 10**rng.randrange(1, 17))}e{rng.randrange(-330, 300)}")
    floats += [x, math.nextafter(x, 0), math.nextafter(x, math.inf)]
for x in floats + [-x for x in floats[:30]] + [math.inf, -math.inf, math.nan]:
    text = json.dumps(x if math.isfinite(x) else "NaN" if math.isnan(x) else "Infinity" if x > 0 else "-Infinity")
    lines.append(f"float {struct.unpack('<Q', struct.pack('<d', x))[0]:016x} {text}")

for bits, count in ((64, 30), (128, 60), (256, 30)):
    for signed in (False, True):
        lo, hi = (-(1 << (bits - 1)), (1 << (bits - 1)) - 1) if signed else (0, (1 << bits) - 1)
        values = [0, 1, -1, lo, hi, lo + 1, hi - 1, (1 << 64) - 1, 1 << 64, -(1 << 63), -(1 << 64)]
        for k in rng.sample(range(0, 78), 8):  # zeros in every digit chunk
            values += [10**k - 1, 10**k, 10**k + 1, -(10**k)]
        for _ in range(count):  # every magnitude, not only full-width values
            v = rng.getrandbits(rng.randrange(1, bits + 1))
            values.append(-v if signed and rng.random() < 0.5 else v)
        for v in dict.fromkeys(v for v in values if lo <= v <= hi):
            lines.append(f"{'iu'[not signed]}{bits} {v.to_bytes(bits // 8, 'little', signed=signed).hex()} {v}")

# Escaped characters, look-alikes (also UTF-8 bytes that are '"', '\\' or a
# control character with the top bit set) and every UTF-8 length, between runs
# of plain ASCII that put them at every offset of an 8-byte word.
specials = [chr(c) for c in range(0x20)] + list('"\\/\x7f\'\x80é\u07ff\u0800€\u2028\u2029\ufeff\uffff¢Ü\x9f\u071c𝄞\U0010ffff')
plain = "".join(chr(c) for c in range(0x20, 0x7f) if chr(c) not in '"\\')
strings = ["", "\x00", "\\", '"', "\x7f", "abcdefgh", "abcdefg\n", "abcdefghi\t"]
for _ in range(160):
    strings.append("".join("".join(rng.choice(plain) for _ in range(rng.randrange(0, 20)))
                           + "".join(rng.choice(specials) for _ in range(rng.randrange(0, 3)))
                           for _ in range(rng.randrange(0, 6))))
lines += [f"str {s.encode().hex()} {json.dumps(s, ensure_ascii=False)}" for s in strings]
lines += [f"hex {b.hex()} {json.dumps(b.hex())}" for b in (rng.randbytes(n) for n in (0, 1, 7, 8, 9, 33))]

Path(__file__).with_name("text_golden.txt").write_text("".join(line + "\n" for line in lines), encoding="utf-8")
print(f"{len(lines)} cases")
