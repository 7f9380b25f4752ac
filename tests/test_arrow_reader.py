"""The tests' own Arrow reader against pyarrow on streams pyarrow makes: every
type the decoders export, with nulls at every level, in several batches and
sliced at odd offsets (the decoders' own tables start at offset 0; every
table a test reads is checked against pyarrow by arrow_reader.table)."""

from __future__ import annotations

import decimal
import random
import struct

import pytest

from arrow_reader import check_against_pyarrow, needs_pyarrow, pa, read_schema, read_stream

pytestmark = needs_pyarrow


def float32(r: random.Random) -> float:
    return struct.unpack("f", struct.pack("f", r.uniform(-1e6, 1e6)))[0]


def text(r: random.Random) -> str:
    return "é✓"[: r.randint(0, 2)] + str(r.randint(0, 10**r.randint(0, 12)))


def columns():
    """(type, value maker) for every type, nested ones holding nulls of their own."""
    ints = [(pa.int8(), 7), (pa.uint8(), 8), (pa.int16(), 15), (pa.uint16(), 16), (pa.int32(), 31),
            (pa.uint32(), 32), (pa.int64(), 63), (pa.uint64(), 64)]
    out = [(t, lambda r, bits=bits: r.randrange(-(1 << bits), 1 << bits) if bits % 2 else r.getrandbits(bits))
           for t, bits in ints]
    out += [
        (pa.bool_(), lambda r: r.random() < 0.5),
        (pa.float32(), float32),
        (pa.float64(), lambda r: r.choice([r.random(), float("inf"), -0.0])),
        (pa.string(), text),
        (pa.binary(), lambda r: r.randbytes(r.randint(0, 5))),
        (pa.binary(32), lambda r: r.randbytes(32)),
        (pa.decimal256(39, 0), lambda r: decimal.Decimal(r.randrange(-(10**38), 10**38))),
        (pa.decimal256(40, 6), lambda r: decimal.Decimal(f"{r.randrange(-(10**39), 10**39)}E-6")),
        (pa.list_(pa.uint16()), lambda r: [None if r.random() < 0.2 else r.getrandbits(16)
                                           for _ in range(r.randint(0, 4))]),
        (pa.list_(pa.string(), 3), lambda r: [None if r.random() < 0.2 else text(r) for _ in range(3)]),
        (pa.list_(pa.list_(pa.int8(), 2)), lambda r: [[r.randrange(-128, 128), 1] for _ in range(r.randint(0, 3))]),
        (pa.struct([("a", pa.int32()), ("b", pa.list_(pa.string())), ("c", pa.struct([("d", pa.bool_())]))]),
         lambda r: {"a": r.getrandbits(31), "b": [text(r)] * r.randint(0, 2),
                    "c": None if r.random() < 0.3 else {"d": r.random() < 0.5}}),
        (pa.dictionary(pa.int8(), pa.string()), lambda r: r.choice(["Bid", "Ask", "é"])),
        (pa.dictionary(pa.int16(), pa.string()), lambda r: f"V{r.randrange(300)}"),
    ]
    return out


@pytest.mark.parametrize("seed", range(6))
def test_reader_reads_what_pyarrow_reads(seed):
    r = random.Random(seed)
    rows = r.randint(1, 80)
    arrays, fields = [], []
    for i, (ty, make) in enumerate(columns()):
        values = [None if r.random() < 0.15 else make(r) for _ in range(rows)]
        cut = r.randint(0, rows)
        arrays.append(pa.chunked_array([pa.array(values[:cut], ty), pa.array(values[cut:], ty)], ty))
        fields.append(pa.field(f"c{i}", ty, nullable=r.random() < 0.8,
                               metadata={b"brisquel.encoding": b"json", b"k": b"\x00v"} if i % 3 == 0 else None))
    whole = pa.Table.from_arrays(arrays, schema=pa.schema(fields))
    for start, length in [(0, rows), (r.randrange(rows), r.randint(0, rows)), (r.randrange(rows), 1), (rows, 0)]:
        part = whole.slice(start, length)
        check_against_pyarrow(read_stream(part), part)
    check_against_pyarrow(read_schema(whole.schema), whole.schema)
