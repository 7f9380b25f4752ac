"""One family for every failure that input causes: each entry point, given
each kind of input with each fault, raises a brisquel.Error subclass (a wrong
Python type stays TypeError); a value that does not decode says where in it,
and a batch's errors table says for each failed row what the raising API says
for that row alone."""

from __future__ import annotations

import json
import random

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import borsh
import brisquel
from arrow_reader import table
from brisquel import (AccountDecoder, DecodeError, Error, IdlError, ReadError, TableDecoder, TransactionDecoder)
from conftest import enum, make_idl, struct
from test_roundtrip import event_case
from transactions import Call, Tx, encode, key

A = key("error family program")

RESERVE = struct("Reserve", [{"name": "amount", "type": "u64"}, {"name": "mint", "type": "pubkey"}])
POOL = struct("Pool", [{"name": "reserves", "type": {"vec": {"defined": {"name": "Reserve"}}}}])
ACTION = enum("Action", [{"name": "Idle"},
                         {"name": "Swap", "fields": [{"name": "amount_in", "type": "u64"}, {"name": "hops", "type": {"array": ["u16", 3]}}]},
                         {"name": "Pair", "fields": ["u32", "string"]}])
EV_FIELDS = [{"name": "a", "type": "u8"}, {"name": "pool", "type": {"defined": {"name": "Pool"}}},
             {"name": "act", "type": {"defined": {"name": "Action"}}}]
IDL = {**make_idl([RESERVE, POOL, ACTION, struct("Ev", EV_FIELDS)], ["Ev"]), "address": A}
IDL["instructions"] = [{"name": "act", "discriminator": list(borsh.discriminator("act", "global")), "accounts": [],
                        "args": EV_FIELDS}]
IDL["accounts"] = [{"name": "Pool", "discriminator": list(borsh.discriminator("Pool", "account"))}]
IDL_TEXT = json.dumps(IDL)
MINT = borsh.b58encode(bytes(range(32)))
VALUE = {"a": 1, "pool": {"reserves": [{"amount": i, "mint": MINT} for i in range(4)]},
         "act": {"Swap": {"amount_in": 5, "hops": [1, 2, 3]}}}
BODY = borsh.encode_fields(EV_FIELDS, VALUE, borsh.type_table(IDL))
# Cut inside reserves[3].amount: 1 (a) + 4 (count) + 3 * 40 + 2 bytes of the amount.
SHORT = BODY[:1 + 4 + 3 * 40 + 2]
SHORT_PATH = ("pool", "reserves", 3, "amount")


def dotted(path) -> str | None:
    """A path tuple as the errors tables write it."""
    if path is None:
        return None
    out = ""
    for step in path:
        out += f"[{step}]" if isinstance(step, int) else (f".{step}" if out else step)
    return out


def event_tx(body: bytes, name: str = "Ev", program: str = A) -> dict:
    return encode(Tx([Call(program, steps=[("log", borsh.discriminator(name) + body)])]))


def call_tx(body: bytes) -> dict:
    return encode(Tx([Call(A, data=borsh.discriminator("act", "global") + body)]))


def nested(depth: int):
    value: object = []
    for _ in range(depth):
        value = [value]
    return value


class FailingProducer:
    def __arrow_c_stream__(self, requested_schema=None):
        raise ValueError("the producer cannot")


# ---- the matrix ---------------------------------------------------------------------------------------------

def tx_methods():
    d = TransactionDecoder([IDL_TEXT])
    return {"decode": d.decode, "decode_tables": d.decode_tables, "all_tables": d.all_tables,
            "block_tables": d.block_tables, "calls": d.calls, "call_tables": d.call_tables, "count": d.count,
            "transaction_tables": d.transaction_tables}


def account_methods():
    d = AccountDecoder([IDL_TEXT])
    return {"accounts.decode": d.decode, "accounts.decode_tables": d.decode_tables}


# Inputs that cannot be read, in each form a reader takes: (form, fault, input, kind).
TEXT_FAULTS = [
    ("str", "not json", "nope", "invalid_json"),
    ("bytes", "not json", b"nope", "invalid_json"),
    ("str", "cut short", '{"result": [1,', "truncated"),
    ("objects", "wrong shape", {"a": 1}, "shape"),
    ("objects", "too deep", nested(300), "too_large"),
]


def matrix():
    for name, method in {**tx_methods(), **account_methods()}.items():
        for form, fault, given, kind in TEXT_FAULTS:
            if name.startswith("accounts") and form == "objects":
                continue  # lists and dicts may be account rows, refused in their own words (below)
            yield pytest.param(method, given, ReadError, {"kind": kind}, id=f"{name}-{form}-{fault}")
        if name not in ("count",) and not name.startswith("accounts"):
            yield pytest.param(lambda x, m=method: m(x, start=-1), "[]", Error, {}, id=f"{name}-negative start")
    for name, method in account_methods().items():
        yield pytest.param(method, [(None, A, b"", -1)], Error, {}, id=f"{name}-objects-negative lamports")
        yield pytest.param(method, [(None, A, 7)], (Error, TypeError), {}, id=f"{name}-objects-data not bytes")
    for option, value in (("pubkeys", "hex"), ("wide_ints", "float"), ("short_events", "maybe")):
        for make in (TableDecoder, TransactionDecoder):
            if make is TableDecoder:
                yield pytest.param(lambda x, o=option, v=value: TableDecoder(x, **{o: v}), IDL_TEXT, Error, {},
                                   id=f"TableDecoder-option-{option}")
            else:
                yield pytest.param(lambda x, o=option, v=value: TransactionDecoder([x], **{o: v}), IDL_TEXT, Error, {},
                                   id=f"TransactionDecoder-option-{option}")
    for idl, why in (("{", "not json"), ("[]", "not an idl")):
        yield pytest.param(TableDecoder, idl, IdlError, {}, id=f"TableDecoder-idl-{why}")
        yield pytest.param(lambda x: TransactionDecoder([x]), idl, IdlError, {"index": 0}, id=f"TransactionDecoder-idl-{why}")
        yield pytest.param(lambda x: AccountDecoder([x]), idl, IdlError, {"index": 0}, id=f"AccountDecoder-idl-{why}")
    yield pytest.param(lambda x: TransactionDecoder([IDL_TEXT], addresses={0: x}), "not-an-address!", Error, {},
                       id="TransactionDecoder-address")
    # An Arrow producer that fails: its ValueError comes as the family's, with the producer's as the cause.
    for name, method in (("TableDecoder.decode", TableDecoder(IDL_TEXT).decode), *account_methods().items()):
        yield pytest.param(method, FailingProducer(), Error, {}, id=f"{name}-arrow-producer fails")
    # A value that does not decode: raised by the strict decode, with where in the value.
    for form, make in (("str", lambda b: json.dumps(event_tx(b))), ("bytes", lambda b: json.dumps(event_tx(b)).encode()),
                       ("objects", event_tx)):
        yield pytest.param(lambda x: TransactionDecoder([IDL_TEXT]).decode(x, strict=True), make(SHORT), DecodeError,
                           {"kind": "end_of_buffer", "path": SHORT_PATH, "program": A, "item": "Ev"},
                           id=f"decode-strict-{form}-short body")


@pytest.mark.parametrize("call, given, raised, attributes", list(matrix()))
def test_every_input_failure_is_one_of_the_family(call, given, raised, attributes):
    with pytest.raises(raised) as caught:
        call(given)
    e = caught.value
    if isinstance(e, TypeError):
        return  # a wrong Python type stays TypeError
    assert isinstance(e, Error) and isinstance(e, ValueError)
    for name, value in attributes.items():
        assert getattr(e, name) == value, name
    # Every member carries the family's attributes, set or None.
    for name in ("path", "offset", "program", "item"):
        getattr(e, name)
    if e.path is not None:
        assert str(e).endswith(" at " + dotted(e.path))
    if isinstance(given, FailingProducer):
        assert type(e) is Error and type(e.__cause__) is ValueError and str(e) == str(e.__cause__)


def test_the_family_is_exported_and_made_per_module():
    assert brisquel.Error is brisquel._tables.Error
    for cls in (ReadError, IdlError, DecodeError):
        assert issubclass(cls, Error) and cls.__module__ == "brisquel"
    from brisquel._common import CommandError

    assert issubclass(CommandError, Error)
    by_hand = DecodeError("x")
    assert (by_hand.path, by_hand.offset, by_hand.program, by_hand.item, by_hand.kind) == (None,) * 5


@pytest.mark.parametrize("where", ["result", "meta", "extra"])
def test_python_input_nested_too_deep_is_a_read_error(where):
    # Objects are written back as text for the reader, and refused at its nesting bound as it refuses text.
    tx = event_tx(BODY)
    given = {"result": nested(300)} if where == "result" else \
        {**tx, "meta": {**tx["meta"], "err": nested(300)}} if where == "meta" else {**tx, "extra": nested(300)}
    for method in tx_methods().values():
        with pytest.raises(ReadError) as caught:
            method(given)
        e = caught.value
        assert (e.kind, e.input, e.reason) == ("too_large", "transactions", "nesting deeper than 256 levels")
        assert str(e) == "transactions: nesting deeper than 256 levels" and e.line is None


def test_the_specified_module_keeps_its_plain_errors():
    from brisquel import EventDecoder

    with pytest.raises(ValueError) as caught:
        EventDecoder("{")
    assert not isinstance(caught.value, Error)


# ---- the same failure in a batch and alone ------------------------------------------------------------------

class Cut(Exception):
    def __init__(self, path):
        super().__init__(path)
        self.path = tuple(path)


def consume(ty, value, types, budget: int, path: list) -> int:
    """The bytes left after reading `value` of `ty` from `budget` bytes, or Cut
    with the path of the value whose read runs past them."""
    if isinstance(ty, dict) and len(ty) == 1 and next(iter(ty.values())) is None:
        ty = next(iter(ty))
    if isinstance(ty, str):
        size = len(borsh.encode(ty, value))
        if ty in ("bytes", "string"):  # the length, then the bytes: two reads, one value
            if budget < 4:
                raise Cut(path)
            budget, size = budget - 4, size - 4
        if budget < size:
            raise Cut(path)
        return budget - size
    ((kind, arg),) = ty.items()
    if kind == "option":
        if budget < 1:
            raise Cut(path)
        return budget - 1 if value is None else consume(arg, value, types, budget - 1, path)
    if kind in ("vec", "array"):
        if kind == "vec":
            if budget < 4:
                raise Cut(path)
            budget -= 4
        element = arg if kind == "vec" else arg[0]
        for i, v in enumerate(value):
            budget = consume(element, v, types, budget, [*path, i])
        return budget
    name = arg if isinstance(arg, str) else arg["name"]
    body = types[name]["type"]
    if body["kind"] == "struct":
        return consume_fields(body.get("fields"), value, types, budget, path)
    if body["kind"] == "type":
        return consume(body["alias"], value, types, budget, path)
    if budget < 1:
        raise Cut(path)
    if isinstance(value, str):
        return budget - 1
    ((variant, inner),) = value.items()
    fields = next(v for v in body["variants"] if v["name"] == variant).get("fields")
    return consume_fields(fields, inner, types, budget - 1, [*path, variant])


def consume_fields(fields, value, types, budget: int, path: list, top: bool = False) -> int:
    if not fields:
        return budget
    named = borsh._is_named(fields)
    items = [value[f["name"]] for f in fields] if named else value
    for i, (field, item) in enumerate(zip(fields, items)):
        if top and budget == 0:
            return 0  # a body that ends where a field begins: the rest are null
        budget = consume(field["type"] if named else field, item, types, budget,
                         [*path, field["name"] if named else i])
    return budget


def expected_path(fields, value, types, cut: int):
    try:
        consume_fields(fields, value, types, cut, [], top=True)
    except Cut as c:
        return c.path
    return None


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(event_case(), st.randoms(use_true_random=False))
def test_a_cut_body_fails_where_the_bytes_end_in_every_output(case, rnd):
    idl, values = case
    idl = {**idl, "address": A}
    types = borsh.type_table(idl)
    fields = types["Ev"]["type"]["fields"]
    body = borsh.encode_fields(fields, values[0], types)
    if not body:
        return
    cut = rnd.randrange(len(body))
    want = expected_path(fields, values[0], types, cut)
    text = json.dumps(idl)
    line = borsh.log_line(borsh.discriminator("Ev") + body[:cut])
    errors = table(TableDecoder(text).decode([line]).errors).to_pylist()
    d = TransactionDecoder([text])
    tx = event_tx(body[:cut])
    if want is None:
        assert errors == [] and len(d.decode(tx, strict=True)) == 1
        return
    [row] = errors
    assert row["path"] == dotted(want)
    with pytest.raises(DecodeError) as caught:
        d.decode(tx, strict=True)
    e = caught.value
    assert (e.path, e.program, e.item, e.reason) == (want, A, "Ev", row["message"])
    assert str(e) == f"{e.reason} at {row['path']}"
    [tx_row] = table(d.decode_tables(tx).errors).to_pylist()
    assert (tx_row["message"], tx_row["path"], tx_row["event"], tx_row["program"]) == (e.reason, row["path"], "Ev", A)
    assert row["kind"] == tx_row["kind"] == e.kind
    assert d.decode(tx) == [], "without strict, the event is left out as before"


FAULTS = {
    "short": (SHORT, "end_of_buffer", SHORT_PATH),
    "bad variant": (BODY[:1 + 4 + 4 * 40] + b"\x07", "enum_out_of_range", ("act",)),
    "short variant": (BODY[:-3], "end_of_buffer", ("act", "Swap", "hops", 1)),
    "short count": (BODY[:3], "end_of_buffer", ("pool", "reserves")),
}


@pytest.mark.parametrize("fault", FAULTS)
def test_each_errors_table_says_what_the_row_alone_raises(fault):
    body, kind, path = FAULTS[fault]
    d = TransactionDecoder([IDL_TEXT])
    with pytest.raises(DecodeError) as caught:
        d.decode(event_tx(body), strict=True)
    alone = caught.value
    assert (alone.kind, alone.path) == (kind, path)
    # A batch: good and bad transactions; each bad row as the one alone.
    batch = [event_tx(BODY), event_tx(body), event_tx(BODY), event_tx(body)]
    events, calls = d.all_tables(batch)
    rows = table(events.errors).to_pylist()
    assert [(r["_tx"], r["event"], r["message"], r["path"], r["kind"]) for r in rows] == \
        [(i, "Ev", alone.reason, dotted(path), kind) for i in (1, 3)]
    line_rows = table(TableDecoder(IDL_TEXT).decode([borsh.log_line(borsh.discriminator("Ev") + b)
                                                     for b in (BODY, body)]).errors).to_pylist()
    assert [(r["_line"], r["message"], r["path"], r["kind"]) for r in line_rows] == [(1, alone.reason, dotted(path), kind)]
    # The same bytes as a call's arguments: TxCall.path and the calls' errors table.
    call_batch = [call_tx(BODY), call_tx(body)]
    listed = d.calls(call_batch)
    assert [(c.tx, c.problem, c.path) for c in listed] == [(0, None, None), (1, alone.reason, path)]
    call_rows = table(d.call_tables(call_batch).errors).to_pylist()
    assert [(r["_tx"], r["instruction"], r["message"], r["path"], r["kind"]) for r in call_rows] == \
        [(1, "act", alone.reason, dotted(path), kind)]


@pytest.mark.parametrize("json_fields", [False, True])
def test_a_failed_account_says_where_as_its_errors_row(json_fields):
    d = AccountDecoder([IDL_TEXT])
    pool = borsh.encode_fields(POOL["type"]["fields"], VALUE["pool"], borsh.type_table(IDL))
    rows = [(key("pool account"), A, borsh.discriminator("Pool", "account") + pool[:4 + 40 + 3]),
            (key("whole pool"), A, borsh.discriminator("Pool", "account") + pool)]
    [row] = table(d.decode_tables(rows).errors).to_pylist()
    assert row["path"] == "reserves[1].amount" and row["message"].startswith("unexpected end of buffer")
    assert row["kind"] == "end_of_buffer"
    failed, good = d.decode(rows, json_fields=json_fields)
    assert (failed.problem, dotted(failed.path), failed.fields) == (row["message"], row["path"], None)
    assert (good.problem, good.path) == (None, None) and good.fields is not None


class Consumed:
    """An Arrow producer that hands out the same capsules each time: the second reading finds them taken."""

    def __init__(self, made):
        self.made = made

    def __arrow_c_array__(self, requested_schema=None):
        return self.made


@pytest.mark.parametrize("door", ["TableDecoder.decode", "AccountDecoder.decode", "AccountDecoder.decode_tables"])
def test_arrow_input_that_cannot_be_read_is_a_read_error(door):
    pa = pytest.importorskip("pyarrow")
    if door == "TableDecoder.decode":
        call, param = TableDecoder(IDL_TEXT).decode, "logs"
        producer = Consumed(pa.array(["Program log: x"]).__arrow_c_array__())
    else:
        d = AccountDecoder([IDL_TEXT])
        call, param = getattr(d, door.split(".")[1]), "accounts"
        producer = Consumed(pa.table({"pubkey": [key("p")], "owner": [A], "data": [b"x"]}).to_batches()[0]
                            .__arrow_c_array__())
    call(producer)
    with pytest.raises(ReadError) as caught:
        call(producer)
    e = caught.value
    assert (e.kind, e.input, str(e)) == ("shape", param, f"argument '{param}': the Arrow array was already consumed")


def test_objects_written_past_the_readers_bound_are_refused():
    # One large string held many times over: its text would exceed what one JSON value may be.
    big = "x" * (1 << 20)
    with pytest.raises(ReadError) as caught:
        TransactionDecoder([IDL_TEXT]).decode({"result": {"transaction": [big] * 1100}})
    assert caught.value.kind == "too_large" and "longer than 1073741824 bytes" in str(caught.value)


def test_an_input_file_that_cannot_be_read_is_a_read_error(tmp_path):
    import io

    from brisquel._json_pieces import SourceError, json_pieces

    broken = str(tmp_path / "broken.jsonl")
    text = (json.dumps(event_tx(BODY)) + "\nnope\n").encode()
    decoder = TransactionDecoder([IDL_TEXT])
    # As brisquel.dataset and export read their files.
    with pytest.raises(SourceError) as caught:
        list(json_pieces(io.BytesIO(text), broken, 1 << 20,
                         lambda piece, base: (decoder.decode(piece, start=base), decoder.count(piece))))
    e = caught.value
    assert isinstance(e, ReadError) and isinstance(e, Error)
    assert (e.file, e.line, e.column, e.kind, e.path) == (broken, 2, 1, "invalid_json", None)
    assert str(e).startswith(f"{broken}: line 2, column 1: ")
    import pickle

    again = pickle.loads(pickle.dumps(e))  # raised in worker processes too
    assert (type(again), str(again), again.line, again.kind) == (SourceError, str(e), 2, "invalid_json")


def test_rows_that_are_no_values_failure_have_their_own_kind():
    """An unreadable transaction, a call that cannot be told and an account
    whose data text cannot be read: each row's kind says which, in every
    errors table that holds it."""
    unreadable = {"slot": 1, "meta": None, "transaction": ["AQ==", "base64"]}
    past_keys = call_tx(BODY)
    past_keys["transaction"]["message"]["instructions"][0]["accounts"] = [99]
    d = TransactionDecoder([IDL_TEXT])
    events, calls = d.all_tables([unreadable, past_keys])
    assert [(r["_tx"], r["kind"], r["path"]) for r in table(events.errors).to_pylist()] == [(0, "unreadable", None)]
    assert [(r["_tx"], r["kind"], r["path"]) for r in table(calls.errors).to_pylist()] == \
        [(0, "unreadable", None), (1, "account_past_keys", None)]
    problems = d.decode_counted([unreadable])[3]
    [message] = [r["message"] for r in table(events.errors).to_pylist()]
    assert problems == {message: 1}, "the table's message is the reason the counts give"
    bad_data = {"pubkey": key("bad data"), "account": {"owner": A, "lamports": 1, "data": ["!!", "base64"]}}
    [row] = table(AccountDecoder([IDL_TEXT]).decode_tables([bad_data]).errors).to_pylist()
    assert (row["kind"], row["path"], row["account"]) == ("unreadable", None, None)
