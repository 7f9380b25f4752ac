"""Decoded values at their edges, the decoder's error texts, enums, aliases,
generics, and the nesting and zero-size bounds."""

from __future__ import annotations

import builtins
import json
import os
import struct as st
import time

import pytest

from borsh import discriminator, log_line
from brisquel import EventDecoder
from conftest import alias, enum, make_idl, one_field_idl, struct

FF = b"\xff"


def value_of(ty, body: bytes, extra_types=()):
    """The decoded field "v" of type `ty`, through parse_logs; None when skipped."""
    d = EventDecoder(json.dumps(one_field_idl(ty, extra_types)))
    result = d.parse_logs([log_line(discriminator("E") + body)])
    return result[0][1]["v"] if result else None


@pytest.mark.parametrize("ty, body, expected", [
    ("bool", b"\0", False), ("bool", b"\1", True), ("bool", b"\2", True), ("bool", FF, True),
    ("u8", FF, 255), ("i8", b"\x80", -128), ("i8", b"\x7f", 127),
    ("u16", FF * 2, 65535), ("i16", b"\0\x80", -32768),
    ("u32", FF * 4, 2**32 - 1), ("i32", FF * 4, -1), ("i32", b"\0\0\0\x80", -2**31),
    ("u64", FF * 8, 2**64 - 1), ("i64", FF * 8, -1), ("i64", b"\0" * 7 + b"\x80", -2**63),
    ("u128", FF * 16, 2**128 - 1), ("i128", FF * 16, -1), ("i128", b"\0" * 15 + b"\x80", -2**127),
    ("u128", b"\1" + b"\0" * 15, 1),
    *[(t, v.to_bytes(16, "little", signed=t == "i128"), v) for t, v in [
        ("u128", 2**64 - 1), ("u128", 2**64), ("i128", 2**63 - 1), ("i128", 2**63), ("i128", -2**63),
        ("i128", -2**63 - 1), ("i128", -2**64)]],
    ("u256", FF * 32, 2**256 - 1), ("i256", FF * 32, -1),
    ("u256", b"\0" * 31 + b"\x80", 2**255), ("i256", b"\0" * 31 + b"\x80", -2**255),
    ("u256", b"\x05" + b"\0" * 31, 5),
    ("f32", st.pack("<f", 0.1), 0.10000000149011612), ("f32", st.pack("<f", -0.0), -0.0),
    ("f32", st.pack("<f", float("inf")), float("inf")), ("f32", st.pack("<f", float("nan")), float("nan")),
    ("f64", st.pack("<d", -1e300), -1e300), ("f64", st.pack("<d", float("-inf")), float("-inf")),
    ("f64", st.pack("<d", 5e-324), 5e-324),
    ("bytes", b"\0\0\0\0", b""), ("bytes", b"\2\0\0\0\0\xff", b"\0\xff"),
    ("string", b"\0\0\0\0", ""), ("string", b"\6\0\0\0h\xc3\xa9llo", "héllo"),
    ("string", b"\4\0\0\0\xf0\x9f\x98\x80", "\U0001f600"),
    ("pubkey", b"\0" * 32, "1" * 32), ("pubkey", FF * 32, "JEKNVnkbo3jma5nREBBJCDoXFVeKkD56V3xKrvRmWxFG"),
    ({"option": "u8"}, b"\0", None), ({"option": "u8"}, b"\1\7", 7), ({"option": "u8"}, b"\2\7", 7),
    ({"vec": "u32"}, b"\0\0\0\0", []), ({"vec": "u8"}, b"\2\0\0\0\1\2", [1, 2]),
    ({"array": ["u8", 4]}, b"\1\2\3\4", [1, 2, 3, 4]), ({"array": ["u8", 0]}, b"", []),
    ({"vec": {"option": "string"}}, b"\2\0\0\0\0\1\1\0\0\0x", [None, "x"]),
    ({"array": [{"vec": "i16"}, 2]}, b"\1\0\0\0\xff\xff\0\0\0\0", [[-1], []]),
])
def test_value_forms(ty, body, expected):
    assert repr(value_of(ty, body)) == repr(expected)  # repr tells -0.0 and NaN apart
    assert repr(value_of(ty, body + b"\xee\xee")) == repr(expected)  # trailing bytes are ignored


@pytest.mark.parametrize("variant, body, expected", [
    ("U", b"\0", "U"),
    ("T", b"\1\5\6\0", {"T": [5, 6]}),
    ("N", b"\2\1", {"N": {"x": True}}),
    ("Z", b"\3", {"Z": {}}),
])
def test_enum_variant_shapes(variant, body, expected):
    e = enum("Kind", [{"name": "U"}, {"name": "T", "fields": ["u8", "u16"]},
                      {"name": "N", "fields": [{"name": "x", "type": "bool"}]}, {"name": "Z", "fields": []}])
    assert value_of({"defined": {"name": "Kind"}}, body, [e]) == expected


def test_structs_and_aliases():
    types = [alias("A", {"defined": {"name": "B"}}), alias("B", "u16"), struct("Unit"),
             struct("Dup", [{"name": "x", "type": "u8"}, {"name": "y", "type": "u8"}, {"name": "x", "type": "u8"}])]
    assert value_of({"defined": {"name": "A"}}, b"\1\2", types) == 0x0201
    assert value_of({"vec": {"defined": {"name": "Unit"}}}, b"\3\0\0\0", types) == [{}, {}, {}]
    dup = value_of({"defined": {"name": "Dup"}}, b"\1\2\3", types)
    assert dup == {"x": 3, "y": 2} and list(dup) == ["x", "y"]


ERROR_ROWS = [
    ("u8", b"", "unexpected end of buffer: need 1 byte(s) at offset 0, have 0"),
    ({"vec": "u32"}, b"\3\0\0\0" + b"\1\0\0\0" * 2, "unexpected end of buffer: need 4 byte(s) at offset 12, have 12"),
    ("string", b"\5\0\0\0abc", "unexpected end of buffer: need 5 byte(s) at offset 4, have 7"),
    ("bytes", b"\xff\xff\xff\xff", "unexpected end of buffer: need 4294967295 byte(s) at offset 4, have 4"),
    ("string", b"\2\0\0\0\xc3\x28", "invalid utf-8: invalid utf-8 sequence of 1 bytes from index 0"),
    ("string", b"\3\0\0\0a\xe2\x82", "invalid utf-8: incomplete utf-8 byte sequence from index 1"),
    ("string", b"\4\0\0\0ab\xed\xa0", "invalid utf-8: invalid utf-8 sequence of 1 bytes from index 2"),
    ("string", b"\4\0\0\0\xf0\x9f\x98x", "invalid utf-8: invalid utf-8 sequence of 3 bytes from index 0"),
    ({"defined": {"name": "Three"}}, b"\3", "enum discriminant 3 out of range"),
    ({"defined": {"name": "Three"}}, b"\xff", "enum discriminant 255 out of range"),
    ({"array": ["u8", {"generic": "N"}]}, b"", "generic array length is not supported"),
    ({"generic": "T"}, b"", "generic type parameter is not supported"),
    ({"defined": {"name": "Nope", "generics": [{"kind": "type", "type": "u8"}]}}, b"",
     "generic defined type 'Nope' is not supported"),
    ({"defined": {"name": "Three", "generics": [{"kind": "const", "value": "3"}]}}, b"\0",
     "generic defined type 'Three' is not supported"),
    ({"defined": {"name": "Nope"}}, b"\0", "unknown defined type 'Nope'"),
    ({"defined": {"name": "Self"}}, b"", "type nesting exceeds 128 levels"),
    ({"vec": {"defined": {"name": "Unit"}}}, FF * 4, "too many zero-sized elements (limit 1048576)"),
    ({"array": [{"defined": {"name": "Unit"}}, 2**62]}, b"", "too many zero-sized elements (limit 1048576)"),
    ({"array": [{"array": ["u8", 0]}, 2**40]}, b"", "too many zero-sized elements (limit 1048576)"),
]


@pytest.mark.parametrize("ty, body, text", ERROR_ROWS)
def test_error_texts(decode, ty, body, text):
    types = [enum("Three", [{"name": "A"}, {"name": "B"}, {"name": "C"}]), alias("Self", {"defined": {"name": "Self"}}),
             struct("Unit", [])]
    assert decode(one_field_idl(ty, types), body) == ("error", text)
    assert value_of(ty, body, types) is None


def test_nesting_bound(decode, hooks):
    # Each level of Node takes two type levels (its option and itself); the
    # event's field is the first level and the final None the last.
    node = struct("Node", [{"name": "next", "type": {"option": {"defined": {"name": "Node"}}}}])
    idl = one_field_idl({"defined": {"name": "Node"}}, [node])
    fits = (hooks.MAX_TYPE_DEPTH - 2) // 2
    status, fields = decode(idl, b"\1" * fits + b"\0")
    assert status == "ok"
    value = fields["v"]
    for _ in range(fits):
        value = value["next"]
    assert value == {"next": None}
    assert decode(idl, b"\1" * (fits + 1) + b"\0") == ("error", "type nesting exceeds 128 levels")
    assert decode(idl, b"\1" * 200_000) == ("error", "type nesting exceeds 128 levels")


def test_zero_sized_bound_is_exact_and_fast(decode, hooks):
    limit = hooks.MAX_ZERO_SIZED_ELEMENTS
    idl = one_field_idl({"vec": {"defined": {"name": "Unit"}}}, [struct("Unit")])
    start = time.perf_counter()
    status, fields = decode(idl, st.pack("<I", limit))
    assert status == "ok" and len(fields["v"]) == limit
    assert decode(idl, st.pack("<I", limit + 1))[0] == "error"
    assert time.perf_counter() - start < 10


def test_u256_goes_through_builtins_int(hooks):
    class Int(int):
        @classmethod
        def from_bytes(cls, raw, byteorder, *, signed):
            raise ValueError("refused \ud800")

    assert hooks.pyint_from_le_bytes(b"\x07" + b"\0" * 31, True) == ("ok", 7)
    original = builtins.int
    builtins.int = Int
    try:
        refused = hooks.pyint_from_le_bytes(b"\0" * 32, False)
        skipped = value_of("u256", b"\0" * 32)
    finally:
        builtins.int = original
    assert refused == ("error", "ValueError: refused \ufffd\ufffd\ufffd")
    assert skipped is None


def test_python_code_run_mid_decode_sees_no_half_made_list():
    import gc

    seen = []

    class Int(int):
        @classmethod
        def from_bytes(cls, raw, byteorder, *, signed):
            for obj in gc.get_objects():
                if type(obj) is list:
                    seen.append(sum(1 for _ in obj))  # a NULL slot would crash here
            return 7

    types = [struct("Mixed", ["u8", "u256", "u8"])]
    original = builtins.int
    builtins.int = Int
    try:
        value = value_of({"vec": {"defined": {"name": "Mixed"}}}, b"\2\0\0\0" + (b"\1" + b"\0" * 32 + b"\2") * 2, types)
    finally:
        builtins.int = original
    assert value == [[1, 7, 2], [1, 7, 2]] and seen


class Outer:
    class Problem(Exception):
        pass


class NoStr(Exception):
    def __str__(self):
        raise RuntimeError("no")


@pytest.mark.parametrize("exc, text", [
    (Outer.Problem("bad"), "Outer.Problem: bad"),
    (KeyError("k"), "KeyError: 'k'"),
    (NoStr(), "NoStr: <exception str() failed>"),
    (None, "SystemError: attempted to fetch exception but none was set"),
])
def test_python_error_text(hooks, exc, text):
    assert hooks.python_error_text(exc) == text


def test_pubkeys_match_reference_base58(hooks):
    base58 = pytest.importorskip("base58")
    keys = [os.urandom(32) for _ in range(3000)]
    keys += [b"\0" * n + os.urandom(32 - n) for n in range(33)] + [b"\0" * 31 + b"\1", FF * 32]
    for key in keys:
        text = hooks.base58_pubkey(key)
        assert text == base58.b58encode(key).decode("ascii")
        assert 32 <= len(text) <= 44
