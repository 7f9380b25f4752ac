"""TableDecoder against parse_logs: the same lines give the same values, in
Arrow form, whatever the input's shape; failures land in the errors table."""

from __future__ import annotations

import array
import base64
import collections
import json
import random
import threading

import pytest

import borsh
import brisquel
from arrow_check import check_tables, same_row
from arrow_reader import needs_pyarrow, pa, pq, schema, table
from arrow_strings import Strings
from brisquel import EventDecoder, TableDecoder, with_program_address
from brisquel.arrow import tables
from conftest import SHARED_IDLS, enum, make_idl, struct
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from test_roundtrip import event_case

# parse_logs reads only whole bodies: so must the tables compared with it.
OPTIONS = [{"short_events": "skip"}, {"pubkeys": "binary", "short_events": "skip"},
           {"wide_ints": "string", "short_events": "skip"}]


def with_failures(lines: list[str], rng: random.Random) -> list[str]:
    """`lines` with a cut-off copy of some event lines and non-event lines between."""
    out = []
    for line in lines:
        out.append(line)
        if rng.random() < 0.3:
            payload = base64.b64decode(line.split(": ", 1)[1])
            out.append(borsh.log_line(payload[: rng.randint(8, max(8, len(payload) - 1))]))
        if rng.random() < 0.3:
            out.append("Program log: Instruction: Swap")
    return out


def arrow_lines(lines: list[str]):
    """Lines as an Arrow array: pyarrow's where it is installed."""
    return pa.array(lines) if pa is not None else Strings(lines)


def expected_rows(idl_text: str, lines: list[str]) -> list[tuple[int, str, object]]:
    decoder = EventDecoder(idl_text)
    rows = []
    for i, line in enumerate(lines):
        got = decoder.parse_logs([line])
        if got:
            rows.append((i, *got[0]))
    return rows


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(event_case())
def test_random_types_give_parse_logs_values(case):
    idl, values = case
    text = json.dumps(idl)
    lines = with_failures([borsh.log_line(borsh.encode_event(idl, "Ev", v)) for v in values], random.Random(len(text)))
    expected = expected_rows(text, lines)
    assert TableDecoder(text, **OPTIONS[0]).parse_logs(lines) == [(name, fields) for _, name, fields in expected]
    for options in OPTIONS:
        decoded = TableDecoder(text, **options).decode(lines)
        check_tables(decoded, expected)
        if pa is not None:
            # Every form must also be storable in Parquet and read back as it was.
            events = pa.table(decoded["Ev"])
            sink = pa.BufferOutputStream()
            pq.write_table(events, sink)
            assert pq.read_table(pa.BufferReader(sink.getvalue())).to_pylist() == events.to_pylist()
        failed = {i for i, line in enumerate(lines) if line.startswith("Program data:")} - {i for i, *_ in expected}
        assert sorted(table(decoded.errors).column("_line").to_pylist()) == sorted(failed)


FIXED = ["bool", "u8", "i16", "u32", "f32", "i64", "u64", "f64", "u128", "i128", "u256", "pubkey"]


@st.composite
def fixed_type(draw, defs: list, depth: int = 0):
    """A type of fixed width: a scalar, an array of scalars, or a struct of them."""
    kind = draw(st.sampled_from(["scalar", "scalar", "array", "struct"] if depth < 2 else ["scalar", "array"]))
    if kind == "scalar":
        return draw(st.sampled_from(FIXED))
    if kind == "array":
        return {"array": [draw(st.sampled_from(FIXED)), draw(st.integers(0, 4))]}
    name = f"F{len(defs)}"
    defs.append(None)
    slot = len(defs) - 1
    n = draw(st.integers(1, 4))
    defs[slot] = {"name": name, "type": {"kind": "struct", "fields": [
        {"name": f"g{i}", "type": draw(fixed_type(defs, depth + 1))} for i in range(n)]}}
    return {"defined": {"name": name}}


@st.composite
def fixed_struct_lists(draw):
    """An event with vecs and arrays of fixed-width structs (nested ones among
    them) and values for it."""
    defs: list = []
    fields = []
    for i in range(draw(st.integers(1, 3))):
        element = draw(fixed_type(defs, 1)) if draw(st.booleans()) else draw(fixed_type(defs, 0))
        shape = draw(st.sampled_from(["vec", "array", "scalar"]))
        ty = {"vec": element} if shape == "vec" else {"array": [element, draw(st.integers(2, 6))]} if shape == "array" \
            else element
        fields.append({"name": f"f{i}", "type": ty})
    idl = make_idl([{"name": "Ev", "type": {"kind": "struct", "fields": fields}}, *defs], ["Ev"])
    types = borsh.type_table(idl)
    rng = random.Random(draw(st.integers(0, 2**32)))
    values = []
    for _ in range(draw(st.integers(1, 4))):
        value = {}
        for f in fields:
            if "vec" in f["type"]:
                value[f["name"]] = [borsh.random_value(f["type"]["vec"], types, rng) for _ in range(rng.randint(0, 6))]
            else:
                value[f["name"]] = borsh.random_value(f["type"], types, rng)
        values.append(value)
    return idl, values


@settings(max_examples=120, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(fixed_struct_lists())
def test_lists_of_fixed_structs_give_parse_logs_values(case):
    """Lists of fixed-width structs go into their columns a field at a time:
    they must hold what the value-at-a-time walk gives, cut rows included."""
    idl, values = case
    text = json.dumps(idl)
    lines = with_failures([borsh.log_line(borsh.encode_event(idl, "Ev", v)) for v in values], random.Random(len(text)))
    expected = expected_rows(text, lines)
    for options in OPTIONS:
        check_tables(TableDecoder(text, **options).decode(lines), expected)


def real_idl_cases():
    if not SHARED_IDLS.is_dir():
        return []
    return sorted(SHARED_IDLS.glob("*.json"))


def real_lines(path):
    """The IDL's text and lines of random values for each of its events the
    test encoder can make values for."""
    text = with_program_address(path.read_text(), "11111111111111111111111111111111")
    idl = json.loads(text)
    types = borsh.type_table(idl)
    rng = random.Random(path.stem)
    lines = []
    for event in idl.get("events") or []:
        fields = event["fields"] if "fields" in event else types[event["name"]]["type"].get("fields")
        disc = bytes(event["discriminator"]) if "discriminator" in event else borsh.discriminator(event["name"])
        for _ in range(4):
            try:
                body = borsh.encode_fields(fields, borsh.random_fields(fields, types, rng), types)
            except (borsh.Unsupported, KeyError, ValueError, TypeError):
                break
            lines.append(borsh.log_line(disc + body))
    return text, lines


@pytest.mark.skipif(not real_idl_cases(), reason="no published IDLs beside the repository")
@pytest.mark.parametrize("path", real_idl_cases(), ids=lambda p: p.stem)
def test_real_idls_give_parse_logs_values_and_survive_parquet(path, tmp_path):
    text, lines = real_lines(path)
    expected = expected_rows(text, lines)
    decoder = TableDecoder(text)
    decoded = decoder.decode(lines)
    check_tables(decoded, expected)
    for key, events in decoded.items():
        assert schema(decoder.schema(key)) == table(events).schema
    if pa is None:
        return
    for key, events in tables(decoder, lines).items():
        file = tmp_path / "t.parquet"
        pq.write_table(events, file)
        assert pq.read_table(file).to_pylist() == events.to_pylist(), key


@needs_pyarrow
def test_arrow_inputs_read_like_python_lists():
    idl = make_idl([struct("E", [{"name": "n", "type": "u32"}, {"name": "who", "type": "pubkey"}])], ["E"])
    text = json.dumps(idl)
    decoder = TableDecoder(text)
    lines = [borsh.log_line(borsh.encode_event(idl, "E", {"n": i, "who": bytes([i]) * 32})) for i in range(40)]
    lines[7] = "Program log: not an event"
    want = pa.table(decoder.decode(lines)["E"])
    flat_inputs = [pa.array(lines), pa.array(lines, pa.large_string()), pa.array(lines, pa.string_view()),
                   pa.chunked_array([lines[:13], lines[13:]])]
    for arrow_input in flat_inputs:
        assert pa.table(decoder.decode(arrow_input)["E"]).equals(want)
    # Null entries are no lines; slices keep their own numbering.
    with_nulls = pa.array([None if i % 5 == 0 else line for i, line in enumerate(lines)])
    got = pa.table(decoder.decode(with_nulls)["E"]).column("_line").to_pylist()
    assert got == [i for i in range(40) if i % 5 and i != 7]
    sliced = pa.array(lines).slice(10, 5)
    assert pa.table(decoder.decode(sliced)["E"]).column("_line").to_pylist() == [0, 1, 2, 3, 4]
    # Nested: lists of lines, one per transaction, as Python lists or Arrow lists.
    txs = [lines[:3], [], lines[3:9], None, lines[9:12]]
    python_rows = pa.table(decoder.decode([t or [] for t in txs])["E"])
    for kind in (pa.list_(pa.string()), pa.large_list(pa.large_string()), pa.list_(pa.string_view())):
        arrow_rows = pa.table(decoder.decode(pa.array(txs, kind))["E"])
        assert arrow_rows.select(["_row", "_line", "n", "who"]).equals(python_rows)
    assert python_rows.column("_row").to_pylist() == [0, 0, 0, 2, 2, 2, 2, 2, 4, 4, 4]
    assert python_rows.column("_line").to_pylist() == [0, 1, 2, 0, 1, 2, 3, 5, 0, 1, 2]


class Lines(list):
    """A list subclass: read item by item, not in place."""


@pytest.mark.parametrize("shape", [list, tuple, Lines, collections.UserList])
def test_text_that_is_not_ascii_lands_on_its_own_line(shape):
    # Non-ASCII lines are encoded once and looked up by index while decoding:
    # a mix-up would move a value to another row or mangle it.
    idl = make_idl([struct("E", [{"name": "n", "type": "u32"}, {"name": "s", "type": "string"}])], ["E"])
    text = json.dumps(idl)
    rng = random.Random(11)
    lines = []
    for i in range(400):
        line = borsh.log_line(borsh.encode_event(idl, "E", {"n": i, "s": rng.choice(["a", "é", "\u3000"]) * i}))
        if rng.random() < 0.4:
            line = line.replace("Program data: ", "Program data: \u3000\u00a0")  # white space to trim
        lines.append(line)
        if rng.random() < 0.3:
            lines.append(rng.choice(["Program log: café", "Program log: plain", "Program data: \u00e9"]))
    check_tables(TableDecoder(text).decode(shape(lines)), expected_rows(text, lines))


@pytest.mark.parametrize("shape", [list, tuple, Lines, collections.UserList])
@pytest.mark.parametrize("bad, error", [(None, TypeError), ("\ud800", UnicodeEncodeError)])
def test_the_first_bad_item_is_the_one_reported(shape, bad, error):
    # A later item of the other kind must not be reported in its place.
    other = "\udfff" if bad is None else 7
    logs = ["Program log: é", "plain", bad, "x", other]
    with pytest.raises(error):
        TableDecoder(json.dumps(make_idl([struct("E", [])], ["E"]))).decode(shape(logs))


class Capsules:
    """An object whose Arrow capsules have already been consumed by someone else."""

    def __init__(self, stream):
        self.stream = stream

    def __arrow_c_stream__(self, requested_schema=None):
        return self.stream


def arrow_case(make, *rest):
    """An input made by pyarrow (when the test runs): `make` is called with it."""
    return pytest.param(make, *rest, marks=needs_pyarrow)


@pytest.mark.parametrize("logs, error, text", [
    arrow_case(lambda pa: pa.array([1, 2]), TypeError, "found int64"),
    arrow_case(lambda pa: pa.array([[1]]), TypeError, "found list<int64>"),
    arrow_case(lambda pa: pa.array([b"x"]), TypeError, "found binary"),
    arrow_case(lambda pa: pa.table({"logMessages": ["x"]}), TypeError, "found struct<logMessages: utf8>"),
    ("Program data: AAAA", TypeError, "Can't extract `str` to `Vec`"),
    ([["ok"], "x"], TypeError, "Can't extract `str` to `Vec`"),
    ([["ok"], [None]], TypeError, "'None' is not an instance of 'str'"),
    ({"a": 1}, TypeError, "is not an instance of 'Sequence'"),
])
def test_bad_inputs_are_refused_by_name(logs, error, text):
    decoder = TableDecoder(json.dumps(make_idl([struct("E", [])], ["E"])))
    if callable(logs):
        logs = logs(pa)
    with pytest.raises(error, match=text.replace("[", r"\[").replace("(", r"\(")):
        decoder.decode(logs)


class Malformed(Strings):
    """Strings whose offsets run backwards, or whose schema names another type."""

    def __init__(self, format=b"u"):
        super().__init__(["a", "b"])
        self.format = format
        self.offsets = array.array("i", [0, 2, 1]).tobytes()

    def _schema(self):
        schema = super()._schema()
        schema.format = self.format
        return schema


@pytest.mark.parametrize("method", ["__arrow_c_array__", "__arrow_c_stream__"])
@pytest.mark.parametrize("producer, error", [(Malformed(), ValueError), (Malformed(b"l"), TypeError)])
def test_a_refused_array_keeps_its_error_while_the_producer_runs_python(method, producer, error):
    # The producer's release callbacks and capsule destructors are Python
    # code: run with our error pending, they would turn it into a SystemError.
    decoder = TableDecoder(json.dumps(make_idl([struct("E", [])], ["E"])))
    only = type("Only", (), {method: lambda self, requested_schema=None: getattr(producer, method)()})()
    with pytest.raises(error, match="argument 'logs'"):
        decoder.decode(only)


@needs_pyarrow
def test_consumed_capsules_and_invalid_utf8_do_not_crash():
    decoder = TableDecoder(json.dumps(make_idl([struct("E", [{"name": "n", "type": "u8"}])], ["E"])))
    consumed = pa.chunked_array([["x"]]).__arrow_c_stream__()
    pa.ChunkedArray._import_from_c_capsule(consumed)
    with pytest.raises(ValueError, match="already consumed"):
        decoder.decode(Capsules(consumed))
    good = borsh.log_line(borsh.discriminator("E") + b"\x07")
    data = (good + "\xff").encode("latin-1") + b"\xc3" + good.encode()
    offsets = pa.array([0, len(good) + 1, len(good) + 2, len(data)], pa.int32())
    bad = pa.Array.from_buffers(pa.string(), 3, [None, offsets.buffers()[1], pa.py_buffer(data)])
    # Invalid UTF-8 after a payload, or alone, is no event line; the last line is one.
    assert pa.table(decoder.decode(bad)["E"]).to_pylist() == [{"_line": 2, "n": 7}]


class SharedPair:
    """Hands every caller the same (schema, array) capsules."""

    def __init__(self, array):
        self.pair = array.__arrow_c_array__()

    def __arrow_c_array__(self, requested_schema=None):
        return self.pair


def test_threads_handed_one_capsule_take_it_once():
    decoder = TableDecoder(json.dumps(make_idl([struct("E", [{"name": "n", "type": "u8"}])], ["E"])))
    lines = [borsh.log_line(borsh.discriminator("E") + bytes([i])) for i in range(50)]
    stream = pa.chunked_array([lines]) if pa is not None else Strings(lines)
    for shared in (Capsules(stream.__arrow_c_stream__()), SharedPair(arrow_lines(lines))):
        barrier, outcomes = threading.Barrier(8), []

        def work():
            barrier.wait()
            try:
                outcomes.append(len(decoder.decode(shared)["E"]))
            except ValueError as e:
                outcomes.append("consumed" if "already consumed" in str(e) else str(e))

        threads = [threading.Thread(target=work) for _ in range(8)]
        for th in threads:
            th.start()
        for th in threads:
            th.join()
        assert sorted(outcomes, key=str) == [50] + ["consumed"] * 7


@pytest.mark.parametrize("cls", [brisquel.EventTable, brisquel.Schema, brisquel.DecodedEvents])
def test_result_objects_come_only_from_decoders(cls):
    # An instance made any other way would hold no table, schema or mapping.
    for make in (cls, lambda: object.__new__(cls)):
        with pytest.raises(TypeError):
            make()


HOSTILE = make_idl([
    struct("Deep", [{"name": "next", "type": {"option": {"defined": {"name": "Deep"}}}}]),
    struct("Empty"),
    struct("Many", [{"name": "v", "type": {"vec": {"defined": {"name": "Empty"}}}}]),
    struct("Wide", [{"name": "v", "type": {"array": ["u8", 1 << 40]}}, {"name": "n", "type": "u8"}]),
], ["Deep", "Many", "Wide"])


def test_hostile_payloads_hit_the_limits_as_error_rows():
    text = json.dumps(HOSTILE)
    decoder = TableDecoder(text)
    deep = borsh.log_line(borsh.discriminator("Deep") + b"\x01" * 300)
    many = borsh.log_line(borsh.discriminator("Many") + (2**32 - 1).to_bytes(4, "little"))
    wide = borsh.log_line(borsh.discriminator("Wide") + b"\x00" * 64)
    short = borsh.log_line(borsh.discriminator("Deep") + b"\x01\x01\x00")
    decoded = decoder.decode([deep, many, wide, short])
    errors = table(decoded.errors).to_pylist()
    assert [(e["_line"], e["event"]) for e in errors] == [(0, "Deep"), (1, "Many"), (2, "Wide")]
    assert errors[0]["message"] == "type nesting exceeds 128 levels"
    assert errors[1]["message"] == "too many zero-sized elements (limit 1048576)"
    assert errors[2]["message"].startswith("unexpected end of buffer")
    # A type that contains itself is stored as JSON text, as the command line writes it.
    deep_table = table(decoded["Deep"])
    assert deep_table.schema.field("next").metadata == {b"brisquel.encoding": b"json"}
    assert deep_table.to_pylist() == [{"_line": 3, "next": '{"next": {"next": null}}'}]


def test_errors_carry_the_decoders_messages(decode):
    idl = make_idl([struct("E", [{"name": "s", "type": "string"}, {"name": "e", "type": {"defined": {"name": "K"}}}]),
                    enum("K", [{"name": "A"}])], ["E"])
    bodies = [b"\x02\x00\x00\x00\xc3\x28\x00", b"\x00\x00\x00\x00\x05", b"\x09\x00\x00\x00ab"]
    decoded = TableDecoder(json.dumps(idl)).decode([borsh.log_line(borsh.discriminator("E") + b) for b in bodies])
    messages = table(decoded.errors).column("message").to_pylist()
    assert messages == [decode(idl, b)[1] for b in bodies]


def test_short_events_decode_to_nulls_at_field_boundaries():
    fields = [{"name": "a", "type": "u64"}, {"name": "b", "type": "string"}, {"name": "c", "type": {"vec": "u16"}}]
    idl = make_idl([struct("E", fields)], ["E"])
    value = {"a": 7, "b": "hé", "c": [1, 2]}
    body = borsh.encode_fields(fields, value, {})
    boundaries = [0, 8, 8 + 4 + 3, len(body)]
    lines = [borsh.log_line(borsh.discriminator("E") + body[:n]) for n in range(len(body) + 1)]
    strict = TableDecoder(json.dumps(idl), short_events="skip")
    assert table(strict.decode(lines)["E"]).column("_line").to_pylist() == [len(body)]
    assert strict.parse_logs(lines) == EventDecoder(json.dumps(idl)).parse_logs(lines) == [("E", value)]
    lenient = TableDecoder(json.dumps(idl))  # the default
    decoded = table(lenient.decode(lines)["E"])
    rows = {r.pop("_line"): r for r in decoded.to_pylist()}
    assert sorted(rows) == boundaries
    for k, n in enumerate(boundaries):
        assert rows[n] == {f["name"]: value[f["name"]] if i < k else None for i, f in enumerate(fields)}
    assert all(f.nullable for f in decoded.schema if f.name != "_line")
    assert lenient.parse_logs(lines) == [("E", rows[n]) for n in boundaries]


def test_context_names_are_reserved():
    for name in ("_line", "_row"):
        with pytest.raises(ValueError, match=f"event 'E' has a field named '{name}'"):
            TableDecoder(json.dumps(make_idl([struct("E", [{"name": name, "type": "u8"}])], ["E"])))
    for options, message in (({"pubkeys": "hex"}, "pubkeys must be 'base58' or 'binary'"),
                             ({"short_events": None}, "'None' is not an instance of 'str'")):
        with pytest.raises((ValueError, TypeError), match=message):
            TableDecoder(json.dumps(make_idl([], [])), **options)


def test_threads_decode_separate_batches_like_one():
    idl = make_idl([struct("E", [{"name": "n", "type": "u64"}, {"name": "who", "type": "pubkey"},
                                 {"name": "s", "type": "string"}])], ["E"])
    decoder = TableDecoder(json.dumps(idl))
    batches = [[borsh.log_line(borsh.encode_event(idl, "E", {"n": t * 1000 + i, "who": bytes([i % 256]) * 32,
                                                               "s": "x" * (i % 7)})) for i in range(3000)]
               for t in range(8)]
    expected = [table(decoder.decode(b)["E"]) for b in batches]
    got: list = [None] * 8
    barrier = threading.Barrier(8)

    def work(t):
        barrier.wait()
        for _ in range(5):
            got[t] = table(decoder.decode(batches[t] if t % 2 else arrow_lines(batches[t]))["E"])

    threads = [threading.Thread(target=work, args=(t,)) for t in range(8)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    assert all(g.equals(e) for g, e in zip(got, expected))


def test_duplicate_event_names_get_keys_of_their_own():
    idl = make_idl([struct("E", [{"name": "n", "type": "u8"}])], [("E", [1] * 8), ("E", [2] * 8)])
    decoded = TableDecoder(json.dumps(idl)).decode([borsh.log_line(bytes([2] * 8) + b"\x05")])
    assert list(decoded) == ["E", "E#2"] and len(decoded["E#2"]) == 1 and decoded["E#2"].name == "E#2"
    assert same_row(table(decoded["E#2"]).schema, table(decoded["E#2"]).to_pylist()[0], {"n": 5})


@needs_pyarrow
def test_arrow_memory_rewritten_while_decoding_is_never_read_out_of_bounds():
    # A producer's buffers may change after the array was checked (here a
    # bytearray under the offsets, rewritten by another thread while the
    # interpreter lock is released): strings that no longer fit read as empty.
    decoder = TableDecoder(json.dumps(make_idl([struct("E", [{"name": "n", "type": "u8"}])], ["E"])))
    good = borsh.log_line(borsh.discriminator("E") + b"\x07")
    count = 2000
    offsets = bytearray(b"".join((i * len(good)).to_bytes(4, "little") for i in range(count + 1)))
    data = pa.py_buffer((good * count).encode())
    array = pa.Array.from_buffers(pa.string(), count, [None, pa.py_buffer(offsets), data])
    stop = threading.Event()

    def scribble():
        rng = random.Random(5)
        while not stop.is_set():
            i = rng.randrange(count) * 4
            offsets[i:i + 4] = rng.choice([b"\xff\xff\xff\x7f", b"\x00\x00\x00\x80", b"\x10\x00\x00\x00"])

    thread = threading.Thread(target=scribble)
    thread.start()
    try:
        for _ in range(50):
            try:
                assert len(decoder.decode(array)["E"]) <= count
            except ValueError as e:  # caught by the check before decoding
                assert "malformed utf8 array" in str(e)
    finally:
        stop.set()
        thread.join()


def test_the_package_works_without_pyarrow():
    import subprocess
    import sys
    code = "\n".join([
        "import sys; sys.modules['pyarrow'] = None",
        "import brisquel, json",
        "d = brisquel.TableDecoder(json.dumps({'address': '1' * 32, 'metadata': {'name': 'x', 'version': '1',"
        " 'spec': '0.1.0'}, 'instructions': [], 'events': [], 'types': []}))",
        "assert len(d.decode(['x'])) == 0",
        "from brisquel.arrow import tables",
        "try:",
        "    tables(d, ['x'])",
        "except ImportError as e:",
        "    assert 'brisquel.arrow needs pyarrow' in str(e)",
        "else:",
        "    raise AssertionError('no ImportError')",
    ])
    subprocess.run([sys.executable, "-c", code], check=True)
