"""Hostile inputs, reference counts over many batches, and one decoder shared
by many threads. Every case here must end in a value or an exception, never a
crash, a hang or memory that keeps growing."""

from __future__ import annotations

import base64
import builtins
import gc
import json
import sys
import threading
import time
import tracemalloc
import uuid
from pathlib import Path

import pytest

from borsh import discriminator, encode_event, log_line
from brisquel import EventDecoder
from conftest import alias, enum, make_idl, one_field_idl, struct

LAYOUTS = Path(__file__).resolve().parent.parent / "fuzz" / "layouts.json"

IDL = make_idl([
    struct("Swap", [
        {"name": "owner", "type": "pubkey"}, {"name": "amount", "type": "u64"},
        {"name": "big", "type": "u256"}, {"name": "signed_big", "type": "i256"}, {"name": "note", "type": "string"},
        {"name": "legs", "type": {"vec": {"defined": {"name": "Leg"}}}},
        {"name": "side", "type": {"defined": {"name": "Side"}}},
    ]),
    struct("Leg", [{"name": "price", "type": "f32"}, {"name": "tag", "type": {"option": "bytes"}}]),
    enum("Side", [{"name": "Bid"}, {"name": "Ask", "fields": ["u8", {"array": ["i128", 2]}]}]),
    struct("Tick", [{"name": "n", "type": "u8"}, {"name": "g", "type": {"generic": "T"}}]),
], ["Swap", "Tick"])


def swap(i: int, side=None) -> bytes:
    return encode_event(IDL, "Swap", {
        "owner": bytes([i % 256]) * 32, "amount": i, "big": 2**255 + i, "signed_big": -(2**200) - i,
        "note": f"n{i} ✓", "legs": [{"price": 0.5, "tag": None}, {"price": -1.0, "tag": b"t" * (i % 5)}],
        "side": side or ({"Ask": [i % 256, [-(2**100), i]]} if i % 2 else "Bid")})


def mixed_batch(i: int) -> list[str]:
    """Decoded lines and lines skipped at every stage."""
    good = swap(i)
    bad_utf8 = good.replace("✓".encode(), b"\xed\xa0\x80")  # a surrogate's UTF-8 form
    return [
        log_line(good), log_line(good, "Program log: "),
        "Program log: Instruction: Swap", "no prefix " + log_line(good),
        f"Program data:  \u3000{base64.b64encode(good).decode()}\u2029",  # trimmed, then decoded
        "Program data: " + base64.b64encode(good).decode()[:-1],  # not base64
        log_line(good[:7]), log_line(b"\x00" * 8 + good[8:]),  # too short, unknown discriminator
        log_line(good[: len(good) - 3]), log_line(bad_utf8),  # ends early, invalid UTF-8
        log_line(discriminator("Tick") + b"\x01"),  # generic parameter: fails to decode
        log_line(swap(i, "Bid")[:-1] + b"\x07"),  # enum index out of range
        "Program data: ✓ not base64 ünïcode",
    ]


@pytest.fixture(scope="module")
def decoder():
    return EventDecoder(json.dumps(IDL))


# --- references and memory ---------------------------------------------------


def renamed(value, suffix: str):
    """`value` with every "name" suffixed: names no other code has interned
    (and so made immortal), with the same discriminators and layouts."""
    if isinstance(value, dict):
        return {k: v + suffix if k == "name" else renamed(v, suffix) for k, v in value.items()}
    if isinstance(value, list):
        return [renamed(v, suffix) for v in value]
    return value


def test_references_return_after_many_batches():
    decoder = EventDecoder(json.dumps(renamed(IDL, f"_{uuid.uuid4().hex}")))
    lines = [line for i in range(20) for line in mixed_batch(i)]
    first = decoder.parse_logs(lines)
    assert len(first) == 60
    name, fields = first[0]
    watched = {"event name": name, **{f"key {k!r}": k for k in fields}, "variant": first[2][1]["side" + name[4:]],
               "a line": lines[0], "the logs list": lines, "the decoder": decoder}
    if any(sys.getrefcount(obj) > 2**30 for obj in watched.values()):
        pytest.skip("the decoder's names are immortal")
    singletons = [obj for obj in (None, True, False) if sys.getrefcount(obj) < 2**30]
    del first, name, fields
    gc.collect()
    before = [sys.getrefcount(obj) for obj in singletons], {k: sys.getrefcount(v) for k, v in watched.items()}
    for _ in range(200):
        decoder.parse_logs(lines)
        decoder.parse_logs(tuple(lines))
        with pytest.raises(TypeError):
            decoder.parse_logs(lines[:5] + [None])
    gc.collect()
    assert ([sys.getrefcount(obj) for obj in singletons], {k: sys.getrefcount(v) for k, v in watched.items()}) == before


def test_memory_stays_flat_over_every_kind_of_line(decoder):
    lines = [line for i in range(10) for line in mixed_batch(i)] + ["Program data: " + "A" * 40_000]

    def rounds(n):
        for _ in range(n):
            decoder.parse_logs(lines)
            decoder.parse_logs(iter_sequence(lines))
            with pytest.raises(UnicodeEncodeError):
                decoder.parse_logs(lines + ["\ud800"])

    rounds(20)
    gc.collect()
    tracemalloc.start()
    try:
        rounds(5)
        gc.collect()
        start = tracemalloc.get_traced_memory()[0]
        rounds(100)
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - start
    finally:
        tracemalloc.stop()
    assert grown < 64 * 1024


class iter_sequence:
    """A sequence that is neither list nor tuple, optionally raising midway
    (or, with an exception type as `length`, when asked its length)."""

    def __init__(self, items, fail_at=None, error=RuntimeError, length=None):
        self.items, self.fail_at, self.error, self.length = list(items), fail_at, error, length

    def __len__(self):
        if isinstance(self.length, type):
            raise self.length("no length")
        return len(self.items) if self.length is None else self.length

    def __getitem__(self, i):
        if i == self.fail_at:
            raise self.error(f"broken at {i}")
        return self.items[i]


# --- threads -----------------------------------------------------------------


def test_sixteen_threads_share_one_decoder(decoder):
    batches = [mixed_batch(i) for i in range(8)]
    shapes = [list, tuple, iter_sequence]
    expected = [decoder.parse_logs(b) for b in batches]
    assert all(len(e) == 3 for e in expected)
    failures, calls = [], []
    barrier = threading.Barrier(16)
    deadline = time.monotonic() + 3.0

    def work(t: int):
        barrier.wait()
        n = 0
        while time.monotonic() < deadline:
            k = (t + n) % len(batches)
            got = decoder.parse_logs(shapes[n % 3](batches[k]))
            if got != expected[k]:
                failures.append((t, k, got))
            n += 1
        calls.append(n)

    pool = [threading.Thread(target=work, args=(t,)) for t in range(16)]
    for t in pool:
        t.start()
    for t in pool:
        t.join()
    assert failures == []
    assert len(calls) == 16 and min(calls) > 0


# --- hostile inputs ----------------------------------------------------------


def nested_json(depth: int) -> str:
    """A current IDL whose own nesting is `depth` levels (the document counts one)."""
    return json.dumps({**make_idl([]), "extra": []})[:-3] + "[" * (depth - 1) + "]" * (depth - 1) + "}"


def test_json_nesting_bound():
    EventDecoder(nested_json(127))
    with pytest.raises(ValueError, match="recursion limit exceeded"):
        EventDecoder(nested_json(128))


def many_types(n: int) -> dict:
    def link(i):
        return struct(f"T{i}", [{"name": "next", "type": {"option": {"defined": {"name": f"T{i + 1}"}}}}])

    types = [link(i) for i in range(n)]
    return make_idl(types + [struct("E", [{"name": "head", "type": {"defined": {"name": "T0"}}}])], ["E"])


@pytest.mark.parametrize("idl, body, expected", [
    pytest.param(many_types(100_000), b"\x01\x01\x00", {"head": {"next": {"next": {"next": None}}}}, id="100000 types"),
    pytest.param(make_idl([struct("E", [{"name": "v", "type": "u8", "docs": ["x" * 1_000_000] * 20}])], ["E"]),
                 b"\x07", {"v": 7}, id="20 MB IDL"),
])
def test_huge_idls_load_and_decode(idl, body, expected):
    decoder = EventDecoder(json.dumps(idl))
    assert decoder.parse_logs([log_line(discriminator("E") + body)]) == [("E", expected)]


REC = alias("Rec", {"option": {"defined": {"name": "Rec"}}})
EMPTY = struct("Empty", [])
NESTING = "type nesting exceeds 128 levels"
ZERO_SIZED = "too many zero-sized elements (limit 1048576)"


@pytest.mark.parametrize("ty, extra, body, expected", [
    # Each option of Rec takes two levels (the reference and the option): 63 fit, 64 do not.
    ({"defined": {"name": "Rec"}}, [REC], b"\x01" * 63 + b"\x00", ("ok", {"v": None})),
    ({"defined": {"name": "Rec"}}, [REC], b"\x01" * 64 + b"\x00", ("error", NESTING)),
    ({"defined": {"name": "Rec"}}, [REC], b"\x01" * 100_000, ("error", NESTING)),
    ({"defined": {"name": "Loop"}}, [alias("Loop", {"defined": {"name": "Loop"}})], b"", ("error", NESTING)),
    ({"defined": {"name": "S"}}, [struct("S", [{"name": "me", "type": {"defined": {"name": "S"}}}])], b"",
     ("error", NESTING)),
    ({"vec": {"defined": {"name": "Empty"}}}, [EMPTY], b"\xff\xff\xff\xff", ("error", ZERO_SIZED)),
    ({"vec": {"array": ["u64", 0]}}, [], b"\xff\xff\xff\xff", ("error", ZERO_SIZED)),
    ({"array": [{"defined": {"name": "Empty"}}, 2**63]}, [EMPTY], b"", ("error", ZERO_SIZED)),
    ({"array": ["u8", 2**63]}, [], b"\x01\x02",
     ("error", "unexpected end of buffer: need 1 byte(s) at offset 2, have 2")),
    ({"vec": "u256"}, [], b"\xff\xff\xff\xff" + b"\x00" * 64,
     ("error", "unexpected end of buffer: need 32 byte(s) at offset 68, have 68")),
], ids=["option depth 63", "option depth 64", "option depth 100000", "self alias", "self struct",
        "vec of empty structs", "vec of empty arrays", "array 2^63 of empty", "array 2^63 of u8", "forged vec u256"])
def test_hostile_payloads(decode, ty, extra, body, expected):
    started = time.monotonic()
    assert decode(one_field_idl(ty, extra), body) == expected
    assert time.monotonic() - started < 5


def test_ten_megabyte_lines(decoder):
    payload = encode_event(one_field_idl("bytes"), "E", {"v": b"\xab" * 7_500_000})
    big = EventDecoder(json.dumps(one_field_idl("bytes")))
    assert big.parse_logs([log_line(payload)]) == [("E", {"v": b"\xab" * 7_500_000})]
    noise = ["Program data: " + "A" * 10_000_000, "Program log: " + " " * 10_000_000, "x" * 10_000_000]
    assert decoder.parse_logs(noise + [log_line(swap(1))])[0][0] == "Swap"


class Line(str):
    pass


@pytest.mark.parametrize("logs, error, message", [
    (["\ud800"], UnicodeEncodeError, "surrogate"),
    ([log_line(swap(1)), "ok \udfff"], UnicodeEncodeError, "surrogate"),
    ([b"Program data: AAAA"], TypeError, "argument 'logs': 'bytes' object is not an instance of 'str'"),
    ([None], TypeError, "argument 'logs': 'None' is not an instance of 'str'"),
    (iter_sequence([log_line(swap(1))] * 3, fail_at=2), RuntimeError, "broken at 2"),
    (iter_sequence([log_line(swap(1))] * 3, fail_at=1, error=TypeError), TypeError, "argument 'logs': broken at 1"),
], ids=["lone surrogate", "surrogate after a good line", "bytes", "None", "iteration raises", "iteration TypeError"])
def test_bad_log_items_raise_before_decoding(decoder, logs, error, message):
    with pytest.raises(error, match=message):
        decoder.parse_logs(logs)


@pytest.mark.parametrize("length", [0, 2**40, sys.maxsize])
def test_a_lying_length_only_sizes_buffers(decoder, length):
    lines = mixed_batch(5)
    assert decoder.parse_logs(iter_sequence(lines, length=length)) == decoder.parse_logs(lines)


def test_an_ordinary_error_from_len_is_ignored(decoder):
    lines = mixed_batch(5)
    assert decoder.parse_logs(iter_sequence(lines, length=ValueError)) == decoder.parse_logs(lines)


class FromBytesRaises:
    error: type[BaseException] = KeyboardInterrupt

    @classmethod
    def from_bytes(cls, raw, order, *, signed):
        raise cls.error("stop")


@pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit, GeneratorExit])
def test_interrupts_are_never_swallowed(decoder, error):
    # Neither while the batch is converted nor while a line is decoded: only
    # ordinary exceptions (Exception subclasses) skip a line.
    with pytest.raises(error):
        decoder.parse_logs(iter_sequence(mixed_batch(1), length=error))
    lines = mixed_batch(2)
    FromBytesRaises.error = error
    with pytest.raises(error, match="stop"):
        with_int(FromBytesRaises, lambda: decoder.parse_logs(lines))
    FromBytesRaises.error = ValueError
    assert with_int(FromBytesRaises, lambda: decoder.parse_logs(lines)) == []


def test_str_subclass_lines_decode(decoder):
    line = log_line(swap(3))
    expected = decoder.parse_logs([line])
    assert decoder.parse_logs([Line(line), Line("Program log: x")]) == expected
    assert decoder.parse_logs((Line(line + " \u00a0"),)) == expected


def with_int(replacement, run):
    """run() while builtins.int is `replacement` (pytest itself needs the real one)."""
    real = builtins.int
    builtins.int = replacement
    try:
        return run()
    finally:
        builtins.int = real


def test_replaced_int_skips_wide_integers_only(decoder):
    lines = mixed_batch(4)
    u64_only = EventDecoder(json.dumps(one_field_idl("u64")))
    plain = log_line(encode_event(one_field_idl("u64"), "E", {"v": 9}))
    # A function has no from_bytes: the u256 lines fail, the others do not notice.
    got = with_int(lambda *a, **k: 0, lambda: (decoder.parse_logs(lines), u64_only.parse_logs([plain])))
    assert got == ([], [("E", {"v": 9})])


def test_python_code_mid_decode_cannot_break_the_batch(decoder):
    """A replaced int.from_bytes that re-enters the decoder and empties the list being decoded."""
    lines = mixed_batch(2) * 3
    expected = decoder.parse_logs(list(lines))
    real_int = builtins.int
    calls = []

    class Meddling:
        @staticmethod
        def from_bytes(raw, order, *, signed):
            calls.append(1)
            if len(calls) == 1:
                decoder.parse_logs(lines)  # same decoder, same thread
                lines.clear()
                gc.collect()
            return real_int.from_bytes(raw, order, signed=signed)

    assert with_int(Meddling, lambda: decoder.parse_logs(lines)) == expected
    assert lines == [] and len(calls) > 4


@pytest.mark.filterwarnings("ignore::pytest.PytestUnraisableExceptionWarning")
def test_each_interpreter_has_its_own_panic_class(hooks):
    interpreters = pytest.importorskip("_interpreters")
    # A legacy subinterpreter shares the module's code; it must not leave its
    # class (from an interpreter that is gone) for the main one to raise.
    sub = interpreters.create("legacy")
    try:
        failure = interpreters.run_string(sub, "\n".join([
            "import brisquel._brisquel_testing as hooks",
            "try:",
            "    hooks.fail_creating_value(MemoryError('in sub'))",
            "except BaseException as e:",
            "    assert type(e).__name__ == 'PanicException', type(e)",
            "    type(e).made_in = 'sub'",
        ]))
        assert failure is None, failure
    finally:
        interpreters.destroy(sub)
    gc.collect()
    with pytest.raises(BaseException) as info:
        hooks.fail_creating_value(MemoryError("in main"))
    panic = type(info.value)
    assert f"{panic.__module__}.{panic.__qualname__}" == "pyo3_runtime.PanicException"
    assert not hasattr(panic, "made_in")
    with pytest.raises(panic):
        hooks.fail_creating_value(MemoryError("again"))


@pytest.mark.skipif(not LAYOUTS.exists(), reason="fuzz layouts absent")
def test_fuzz_layouts_load():
    decoder = EventDecoder(LAYOUTS.read_text())
    assert "Deep" in decoder.event_names
