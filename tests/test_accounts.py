"""AccountDecoder: Borsh and zero-copy accounts against independent encoders,
values against tables, every input shape and encoding, owners deciding among
colliding discriminators, bad input, and the real accounts beside the
repository."""

from __future__ import annotations

import base64
import collections
import io
import json
import random
import subprocess
import sys

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import borsh
import c_layout
from arrow_check import same
from arrow_reader import needs_pyarrow, pa, table
from brisquel import AccountDecoder, AccountState, IdlError, ReadError
from conftest import SHARED_IDLS, jsonable, reading_spy
from test_roundtrip import fields_value, named_fields
from transactions import escape_values

A = borsh.b58encode(bytes([1]) * 32)
B = borsh.b58encode(bytes([2]) * 32)
OTHER = borsh.b58encode(bytes([3]) * 32)
DISC = bytes(range(10, 18))
CONTEXT = ("_pubkey", "_owner", "_lamports", "_slot", "_data_len")


def account_idl(types: list, accounts: list[tuple[str, bytes]], address: str = A, name: str = "t") -> dict:
    return {
        "address": address,
        "metadata": {"name": name, "version": "0.1.0", "spec": "0.1.0"},
        "instructions": [],
        "accounts": [{"name": n, "discriminator": list(d)} for n, d in accounts],
        "types": types,
    }


def assert_tables_hold(tables, states) -> None:
    """`tables` (a DecodedAccounts) holds exactly `states` (decode()'s values), each
    in its type's table, in input order, with the same context; those that did not
    decode as its errors, each with the same reason, in the same order."""
    want: dict = {}
    for s in states:
        if s.problem is None:
            want.setdefault((s.owner, s.name), []).append(s)
    errors = table(tables.errors).to_pylist() if hasattr(tables, "errors") else []
    assert [(e["_pubkey"], e["_owner"], e["_lamports"], e["_slot"], e["account"], e["message"]) for e in errors] == [
        (*s[:4], s.name, s.problem) for s in states if s.problem is not None]
    assert all(s.fields is None for s in states if s.problem is not None)
    for key, t in tables.items():
        read = table(t)
        rows = read.to_pylist()
        assert len(rows) == len(want.get(key, [])), key
        for row, s in zip(rows, want.get(key, [])):
            assert (row["_pubkey"], row["_owner"], row["_lamports"], row["_slot"]) == tuple(s[:4])
            names = [f.name for f in read.schema if f.name not in CONTEXT]
            assert names == list(s.fields), key
            assert all(same(read.schema.field(n), row[n], s.fields[n]) for n in names), (key, row, s.fields)


def rpc_entries(rows, encoding="base64"):
    """getProgramAccounts entries for (pubkey, owner, data) rows."""
    def data(raw):
        if encoding == "base58":
            return [borsh.b58encode(raw), "base58"]
        return [base64.b64encode(raw).decode(), "base64"]
    return [{"pubkey": p, "account": {"data": data(d), "owner": o, "lamports": 7, "executable": False,
                                      "rentEpoch": 1, "space": len(d)}} for p, o, d in rows]


# --- Borsh accounts against tests/borsh.py ---

@st.composite
def borsh_case(draw):
    defs: list = []
    fields = draw(named_fields(defs, 0))
    idl = account_idl([{"name": "Acc", "type": {"kind": "struct", "fields": fields}}, *defs], [("Acc", DISC)])
    types = borsh.type_table(idl)
    values = draw(st.lists(fields_value(fields, types), min_size=1, max_size=3))
    trailing = draw(st.binary(max_size=8))
    return idl, fields, types, values, trailing


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(borsh_case())
def test_borsh_accounts_decode_what_the_encoder_wrote(case):
    idl, fields, types, values, trailing = case
    d = AccountDecoder([json.dumps(idl)])
    rows = [(borsh.b58encode(bytes([i]) * 32), A, DISC + borsh.encode_fields(fields, v, types) + trailing)
            for i, v in enumerate(values)]
    got = d.decode(rows)
    assert [s.fields for s in got] == values
    assert all(isinstance(s, AccountState) and s.name == "Acc" and s.owner == A for s in got)
    # The JSON sink writes, byte for byte, what the command line wrote of the Python values.
    assert [s.fields for s in d.decode(rows, json_fields=True)] == [
        json.dumps(jsonable(s.fields), ensure_ascii=False) for s in got]
    # JSON text reads as the rows do, and the tables hold the same rows.
    assert d.decode(json.dumps(rpc_entries(rows))) == [s._replace(lamports=7) for s in got]
    tables = d.decode_tables(rows)
    assert tables.counts["decoded"] == len(values) and len(tables.errors) == 0
    assert_tables_hold(tables, got)


@settings(max_examples=100, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(borsh_case(), st.data())
def test_short_borsh_accounts_are_errors_or_old_versions(case, data):
    idl, fields, types, values, _ = case
    pieces = [borsh.encode(f["type"], values[0][f["name"]], types) for f in fields]
    body = b"".join(pieces)
    if not body:
        return
    cut = data.draw(st.integers(0, len(body) - 1))
    row = (None, A, DISC + body[:cut])
    strict_decoder = AccountDecoder([json.dumps(idl)])
    strict = strict_decoder.decode_tables(row)
    assert strict.counts["failed"] == 1 and len(strict.errors) == 1
    assert table(strict.errors).to_pylist()[0]["account"] == "Acc"
    boundaries: dict = {}
    for i in range(len(pieces)):  # where the body ends, the first field that would start there is missing
        boundaries.setdefault(sum(map(len, pieces[:i])), i)
    # The value keeps the failure the table lists, and the counts say whether an older version would decode.
    states, counts, _ = strict_decoder.decode_counted(row)
    assert_tables_hold(strict, states)
    assert counts == {**strict.counts, "read": 1, "short": int(cut in boundaries)}
    old = AccountDecoder([json.dumps(idl)], old_versions=True).decode(row)
    if cut in boundaries:
        # Fields up to the cut, then None for each missing one.
        kept = boundaries[cut]
        want = {f["name"]: (values[0][f["name"]] if i < kept else None) for i, f in enumerate(fields)}
        # A repeated name keeps its later place's value, as a dict does.
        assert [(s.fields, s.problem) for s in old] == [({k: want[k] for k in values[0]}, None)]
    else:
        assert [(s.name, s.fields, bool(s.problem)) for s in old] == [("Acc", None, True)]


# --- zero-copy accounts against tests/c_layout.py ---

FORMS = ["bytemuckunsafe", "bytemuck", "named"]


def random_zero_copy(rng: random.Random, form: str, **options):
    """A random zero-copy account type "Acc" in `form`: its definition, the type
    table, (size, align, field offsets), and a decoder of it."""
    defs: list = []
    top = c_layout.random_struct(rng, defs)
    top["name"] = "Acc"
    for d in defs:
        if form != "named":
            d["serialization"] = form
    types = {d["name"]: d for d in defs}
    decoder = AccountDecoder([json.dumps(account_idl(defs, [("Acc", DISC)]))],
                             zero_copy={0: ["Acc"]} if form == "named" else None, **options)
    return top, types, c_layout.struct_layout(top, types), decoder


@pytest.mark.parametrize("form", FORMS)
def test_zero_copy_accounts_read_at_c_layout_offsets(form):
    rng = random.Random(form)
    for _ in range(80):
        top, types, (size, _, _), decoder = random_zero_copy(rng, form)
        defs = list(types.values())
        layout = decoder.layouts[(A, "Acc")]
        assert layout["zero_copy"] and layout["c_size"] == size, (defs, layout)
        values = [c_layout.random_value({"defined": {"name": "Acc"}}, types, rng) for _ in range(3)]
        rows = [(None, A, DISC + c_layout.write_struct(top, v, types) + rng.randbytes(rng.randint(0, 5)))
                for v in values]
        got = decoder.decode(rows)
        assert [s.fields for s in got] == values, defs
        assert_tables_hold(decoder.decode_tables(rows), got)
        # One byte short of the layout is an error row, never a partial value.
        short = decoder.decode_tables((None, A, DISC + c_layout.write_struct(top, values[0], types)[:size - 1]))
        assert (short.counts["failed"], len(short.errors)) == ((1, 1) if size else (0, 0))


@pytest.mark.parametrize("form", ["bytemuck", "named"])
def test_many_rows_of_one_layout_keep_their_order_among_short_and_failed_ones(form):
    # Rows of a fixed-width layout are decoded in groups; rows cut short
    # (old versions, errors) come between them and must land in order.
    rng = random.Random(form)
    for _ in range(12):
        top, types, (size, _, offsets), decoder = random_zero_copy(rng, form, old_versions=True)
        rows = []
        for i in range(300):
            body = c_layout.write_struct(top, c_layout.random_value({"defined": {"name": "Acc"}}, types, rng), types)
            kind = rng.random()
            if kind < 0.1:
                body = body[:rng.choice(offsets)]
            elif kind < 0.2:
                body = body[:rng.randrange(size)] if size else body
            else:
                body += rng.randbytes(rng.randint(0, 3))
            rows.append((borsh.b58encode(i.to_bytes(32, "big")), A, DISC + body))
        got = decoder.decode(rows)
        tables = decoder.decode_tables(rows)
        assert tables.counts["decoded"] == sum(s.problem is None for s in got) > 200
        assert tables.counts["failed"] == len(tables.errors) == len(got) - tables.counts["decoded"]
        assert_tables_hold(tables, got)


def test_rows_with_enums_out_of_range_fail_alone_among_rows_decoded_in_groups():
    enum = {"name": "E", "type": {"kind": "enum", "variants": [{"name": "A"}, {"name": "B"}, {"name": "C"}]}}
    inner = {"name": "S", "type": {"kind": "struct", "fields": [{"name": "e", "type": {"defined": {"name": "E"}}},
                                                                 {"name": "x", "type": "u16"}]}}
    fields = [{"name": "a", "type": "u8"}, {"name": "e", "type": {"defined": {"name": "E"}}},
              {"name": "arr", "type": {"array": [{"defined": {"name": "E"}}, 2]}},
              {"name": "s", "type": {"defined": {"name": "S"}}}, {"name": "n", "type": "u64"},
              {"name": "k", "type": "pubkey"}, {"name": "w", "type": "u128"}]
    idl = account_idl([enum, inner, {"name": "Acc", "type": {"kind": "struct", "fields": fields}}], [("Acc", DISC)])
    types = borsh.type_table(idl)
    rng = random.Random(5)
    rows = []
    for i in range(400):
        value = {"a": rng.getrandbits(8), "e": rng.choice("ABC"), "arr": [rng.choice("ABC") for _ in range(2)],
                 "s": {"e": rng.choice("ABC"), "x": rng.getrandbits(16)}, "n": rng.getrandbits(64),
                 "k": borsh.b58encode(rng.randbytes(32)), "w": rng.getrandbits(128)}
        body = bytearray(borsh.encode_fields(fields, value, types))
        if rng.random() < 0.2:
            body[rng.choice([1, 2, 3, 4])] = rng.randint(3, 255)  # the places of the enums' indexes
        rows.append((borsh.b58encode(i.to_bytes(32, "big")), A, DISC + bytes(body)))
    d = AccountDecoder([json.dumps(idl)])
    got = d.decode(rows)
    tables = d.decode_tables(rows)
    assert 250 < tables.counts["decoded"] == len(d.decode(rows, keep_failed=False)) < len(got) == 400
    assert_tables_hold(tables, got)
    alone = [table(d.decode_tables(r).errors).to_pylist() for r in rows]
    assert table(tables.errors).to_pylist() == [e for one in alone for e in one]


@needs_pyarrow
def test_rows_decoded_in_groups_close_batches_at_the_row_limit():
    idl = account_idl([{"name": "Acc", "type": {"kind": "struct", "fields": [{"name": "n", "type": "u32"}]}}],
                      [("Acc", DISC)])
    rows = [(None, A, DISC + i.to_bytes(4, "little")) for i in range(70_000)]
    t = pa.table(AccountDecoder([json.dumps(idl)]).decode_tables(rows)[(A, "Acc")])
    assert [len(b) for b in t.to_batches()] == [65_536, 4_464]
    assert t.column("n").to_pylist() == list(range(70_000))


# --- the real accounts beside the repository ---

ACCOUNTS = SHARED_IDLS.parent / "accounts"
# Zero-copy types whose IDL does not say so (the program declares them zero_copy).
ZERO_COPY = {"drift-current.json": ["PerpMarket", "SpotMarket", "User", "PrelaunchOracle"]}


def real_accounts() -> list[tuple]:
    if not (ACCOUNTS / "SOURCES.md").exists():
        return []
    out = []
    for line in (ACCOUNTS / "SOURCES.md").read_text().splitlines():
        cells = [c.strip().strip("`") for c in line.split("|")[1:-1]]
        if len(cells) < 9 or not cells[0].endswith((".json", ".bin", ".b64")):
            continue
        file, path, encoding, pubkey, owner, size, kind, idl = cells[:8]
        out.append(pytest.param(file, path, encoding, pubkey if len(pubkey) > 30 and "(" not in pubkey else None,
                                owner.strip("()"), int(size), kind, idl, id=file))
    return out


def account_bytes(file: str, path: str, encoding: str) -> bytes:
    raw = (ACCOUNTS / file).read_bytes()
    if encoding == "raw":
        return raw
    if encoding == "base64-text":
        return base64.b64decode(raw)
    value = json.loads(raw)
    for part in path.removeprefix("$.").split("."):
        key, _, index = part.partition("[")
        value = value[key]
        if index:
            value = value[int(index.rstrip("]"))]
    return base64.b64decode(value)


@pytest.mark.skipif(not real_accounts(), reason="no real accounts beside the repository")
@pytest.mark.parametrize("file, path, encoding, pubkey, owner, size, kind, idl", real_accounts())
def test_real_accounts_decode_through_python(file, path, encoding, pubkey, owner, size, kind, idl):
    data = account_bytes(file, path, encoding)
    assert len(data) == size
    old = file == "pump/legacy_49_byte_layout.json"
    d = AccountDecoder([(SHARED_IDLS / idl).read_text()], addresses={0: owner},
                       zero_copy={0: ZERO_COPY.get(idl, [])}, old_versions=old)
    (got,) = d.decode((pubkey, owner, data))
    assert (got.pubkey, got.owner, got.name) == (pubkey, owner, kind)
    layout = d.layouts[(owner, kind)]
    assert layout["discriminator"] == data[:len(layout["discriminator"])]
    if layout["zero_copy"]:
        assert len(data) >= 8 + layout["c_size"]
    tables = d.decode_tables([(pubkey, owner, data)])
    assert tables.counts["decoded"] == 1 and len(tables.errors) == 0
    assert_tables_hold(tables, [got])
    if old:
        # Without the option, the early bonding curve is an error row, not a guess.
        strict = AccountDecoder([(SHARED_IDLS / idl).read_text()]).decode_tables((None, owner, data))
        assert strict.counts["failed"] == 1 and "end of buffer" in table(strict.errors).to_pylist()[0]["message"]
        assert list(got.fields.values())[-1] is None
    if encoding == "base64" and path == "$.account.data[0]":
        # The dumps themselves read as the rows do.
        assert d.decode((ACCOUNTS / file).read_text()) == [got._replace(lamports=d.decode(
            (ACCOUNTS / file).read_text())[0].lamports)]


# --- input shapes, encodings, owners and bad input ---

POOL = [{"name": "Pool", "type": {"kind": "struct", "fields": [{"name": "amount", "type": "u64"},
                                                                {"name": "mint", "type": "pubkey"}]}}]


def pool(amount: int) -> bytes:
    return DISC + amount.to_bytes(8, "little") + bytes([amount % 256]) * 32


def encode_data(raw: bytes, encoding: str):
    if encoding == "base64+zstd":
        from compression import zstd
        return [base64.b64encode(zstd.compress(raw)).decode(), "base64+zstd"]
    if encoding == "binary":  # the legacy form: a bare base58 string
        return borsh.b58encode(raw)
    return [borsh.b58encode(raw), "base58"] if encoding == "base58" else [base64.b64encode(raw).decode(), encoding]


def account_object(raw: bytes, encoding: str, owner: str = A, lamports: int = 5) -> dict:
    return {"data": encode_data(raw, encoding), "owner": owner, "lamports": lamports, "executable": False,
            "rentEpoch": 18446744073709551615, "space": len(raw)}


def response(result) -> dict:
    return {"jsonrpc": "2.0", "id": 1, "result": result}


# Each shape: (the input as Python objects, the accounts it holds as (pubkey, slot, amount), None where missing).
def shapes(encoding: str) -> dict:
    acct = [account_object(pool(i), encoding) for i in range(3)]
    entries = [{"pubkey": p, "account": a} for p, a in zip((A, B, OTHER), acct)]
    return {
        "getAccountInfo": (response({"context": {"slot": 9}, "value": acct[0]}), [(None, 9, 0)]),
        "getMultipleAccounts": (response({"context": {"slot": 9}, "value": [acct[0], None, acct[2]]}),
                                [(None, 9, 0), None, (None, 9, 2)]),
        "getProgramAccounts": (response(entries), [(A, None, 0), (B, None, 1), (OTHER, None, 2)]),
        "getProgramAccounts withContext": (response({"context": {"slot": 3}, "value": entries}),
                                           [(A, 3, 0), (B, 3, 1), (OTHER, 3, 2)]),
        "entries": (entries, [(A, None, 0), (B, None, 1), (OTHER, None, 2)]),
        "solana account dump": (entries[1], [(B, None, 1)]),
        "results": ([{"context": {"slot": 1}, "value": acct[1]}, {"context": {"slot": 2}, "value": None}],
                    [(None, 1, 1), None]),
    }


@pytest.mark.parametrize("encoding", ["base64", "base58", "base64+zstd", "binary"])
@pytest.mark.parametrize("shape", list(shapes("base64")))
@pytest.mark.parametrize("form", ["objects", "str", "bytes", "json lines", "escaped json lines"])
def test_every_input_shape_and_encoding_reads_alike(encoding, shape, form):
    value, where = shapes(encoding)[shape]
    if "json lines" in form and not isinstance(value, list):
        return
    lines = [json.dumps(v) for v in value] if isinstance(value, list) else []
    given = {"objects": value, "str": json.dumps(value), "bytes": json.dumps(value).encode(),
             "json lines": "\n".join(lines) + "\n",
             # every other line writes its strings as escapes, which read alike
             "escaped json lines": "\n".join(escape_values(v) if i % 2 else v for i, v in enumerate(lines))}[form]
    d = AccountDecoder([json.dumps(account_idl(POOL, [("Pool", DISC)]))])
    got = d.decode(given)
    want = [AccountState(p, A, 5, slot, "Pool", {"amount": i, "mint": borsh.b58encode(bytes([i]) * 32)})
            for p, slot, i in filter(None, where)]
    assert got == want
    tables = d.decode_tables(given)
    assert_tables_hold(tables, got)
    assert tables.counts["decoded"] == len(got)
    assert tables.counts["missing"] == sum(w is None for w in where)
    assert tables.inputs == len(where)


def test_owners_decide_among_colliding_discriminators():
    # Two programs declare an account of one name (so one discriminator) with different fields.
    other = [{"name": "Pool", "type": {"kind": "struct", "fields": [{"name": "flag", "type": "bool"},
                                                                     {"name": "pad", "type": {"array": ["u8", 48]}}]}}]
    d = AccountDecoder([json.dumps(account_idl(POOL, [("Pool", DISC)], A, "a")),
                        json.dumps(account_idl(other, [("Pool", DISC)], B, "b"))])
    rows = [(None, A, pool(7)), (None, B, DISC + b"\x01" + bytes(48)), (None, OTHER, pool(7)), (None, B, pool(7)),
            (None, third := borsh.b58encode(bytes([4]) * 32), pool(1)), (None, OTHER, b"")]
    got = d.decode(rows)
    assert [(s.owner, s.fields) for s in got] == [
        (A, {"amount": 7, "mint": borsh.b58encode(bytes([7]) * 32)}), (B, {"flag": True, "pad": [0] * 48}), (B, None)]
    tables = d.decode_tables(rows)
    assert len(tables[(A, "Pool")]) == 1 and len(tables[(B, "Pool")]) == 1
    # B's Pool with A's (shorter) bytes does not decode; the other owner is only counted.
    assert (tables.counts["failed"], tables.counts["other_owner"]) == (1, 3)
    assert list(tables.other_owners.items()) == [(OTHER, 2), (third, 1)]  # whose they were, most first
    assert [(e["program"], e["account"]) for e in table(tables.errors).to_pylist()] == [(B, "Pool")]


def test_a_zstd_bomb_fails_its_own_account_only():
    from compression import zstd
    bomb = base64.b64encode(zstd.compress(bytes(11 << 20))).decode()
    entries = [{"pubkey": A, "account": {**account_object(pool(1), "base64"), "data": [bomb, "base64+zstd"]}},
               {"pubkey": B, "account": account_object(pool(2), "base64")}]
    d = AccountDecoder([json.dumps(account_idl(POOL, [("Pool", DISC)]))])
    assert [(s.pubkey, s.name) for s in d.decode(entries)] == [(A, None), (B, "Pool")]
    tables = d.decode_tables(entries)
    assert_tables_hold(tables, d.decode(entries))
    assert (tables.counts["unreadable"], tables.counts["decoded"]) == (1, 1)
    (error,) = table(tables.errors).to_pylist()
    assert error["_pubkey"] == A and error["account"] is None and "more than 10485760 bytes" in error["message"]


# Every kind of account a batch may hold, as a getMultipleAccounts value (None:
# missing), and whether decode keeps it: as a value, a failure, or not at all.
MIXED_KINDS = {
    "decodes": (lambda i: account_object(pool(i), "base64"), "value"),
    "cut short": (lambda i: account_object(pool(i)[:8 + i % 40], "base64"), "failure"),
    "unreadable data": (lambda i: {**account_object(pool(i), "base64"), "data": ["!" * (i % 5 + 1), "base64"]},
                        "failure"),
    "other owner": (lambda i: account_object(pool(i), "base64", OTHER), None),
    "no account type": (lambda i: account_object(bytes(8) + pool(i), "base64"), None),
    "jsonParsed": (lambda i: {**account_object(b"", "base64"), "data": {"parsed": {}, "program": "x"}}, None),
    "missing": (lambda i: None, None),
}


@settings(max_examples=60, deadline=None)
@given(st.lists(st.sampled_from(list(MIXED_KINDS)), max_size=40))
def test_a_mixed_batch_keeps_every_account_of_its_programs_in_order_with_its_problem(kinds):
    d = AccountDecoder([json.dumps(account_idl(POOL, [("Pool", DISC)]))])
    values = [MIXED_KINDS[k][0](i) for i, k in enumerate(kinds)]
    text = json.dumps(response({"context": {"slot": 4}, "value": values}))
    got = d.decode(text)
    kept = [(i, MIXED_KINDS[k][1]) for i, k in enumerate(kinds) if MIXED_KINDS[k][1]]
    assert [("value" if s.problem is None else "failure") for s in got] == [what for _, what in kept]
    # Each in its place: the amount it was written with, or the reason it gives alone.
    for (i, what), s in zip(kept, got):
        alone = d.decode(json.dumps(response({"context": {"slot": 4}, "value": [values[i]]})))
        assert [s] == alone
        if what == "value":
            assert s.fields["amount"] == i and s.name == "Pool"
        else:
            assert s.fields is None and s.problem and s.name == ("Pool" if kinds[i] == "cut short" else None)
    tables = d.decode_tables(text)
    assert_tables_hold(tables, got)
    assert d.decode(text, keep_failed=False) == [s for s in got if s.problem is None]
    states, counts, owners = d.decode_counted(text)
    assert states == got and owners == tables.other_owners
    # Cut where a field begins (0 or 8 bytes after the discriminator): an older version's account.
    short = sum(k == "cut short" and i % 40 in (0, 8) for i, k in enumerate(kinds))
    assert counts == {**tables.counts, "read": tables.inputs, "short": short}


def test_accounts_command_reads_each_input_once(tmp_path, monkeypatch):
    # The command's counts come from the one reading that prints the accounts.
    from brisquel import _cli_accounts
    idl = tmp_path / "idl.json"
    idl.write_text(json.dumps(account_idl(POOL, [("Pool", DISC)])))
    data = tmp_path / "accounts.json"
    data.write_text(json.dumps(rpc_entries([(A, A, pool(1)), (B, A, pool(2)[:20]), (OTHER, OTHER, pool(3))])))
    readings: list = []
    monkeypatch.setattr(_cli_accounts, "AccountDecoder", reading_spy(AccountDecoder, readings))
    out = io.StringIO()
    _cli_accounts.run([str(idl), str(data)], out)
    assert readings == ["decode_counted"] and [json.loads(line)["pubkey"] for line in out.getvalue().splitlines()] == [A]


@pytest.mark.parametrize("accounts, error, text", [
    ("{", ReadError, "accounts: line 1"),
    ('{"result": 5}', ReadError, "accounts: "),
    ([(A, A, "text")], None, None),  # not a row (data is not bytes): read as JSON, a shape error
    ([(A, A, b"x"), 5], TypeError, "accounts[1]: expected a row"),
    ([(5, A, b"x")], TypeError, "accounts[0]: pubkey must be a base58 str or None, not 'int'"),
    ([(A, None, b"x")], TypeError, "accounts[0]: owner must be a base58 str, not 'NoneType'"),
    ([(A, A, b"x", -1)], ValueError, "accounts[0]: lamports must be an int"),
    ([(A, A, b"x", 1, "9")], TypeError, "accounts[0]: slot must be an int"),
    (object(), TypeError, None),
])
def test_bad_inputs_are_refused_clearly(accounts, error, text):
    d = AccountDecoder([json.dumps(account_idl(POOL, [("Pool", DISC)]))])
    for decode in (d.decode, d.decode_tables):
        with pytest.raises(error or ReadError) as e:
            decode(accounts)
        if text:
            assert str(e.value).startswith(text)
        if isinstance(e.value, ReadError):
            assert e.value.input == "accounts"


@settings(max_examples=200, deadline=None)
@given(st.binary(max_size=80), st.sampled_from(["base64", "base58", "base64+zstd"]))
def test_forged_data_never_crashes(data, encoding):
    d = AccountDecoder([json.dumps(account_idl(POOL, [("Pool", DISC)]))], old_versions=True)
    raw = DISC + data
    got = d.decode([(None, A, raw)], keep_failed=False)
    tables = d.decode_tables(json.dumps(rpc_entries([(A, A, raw)]) if encoding != "base64+zstd" else
                                        [{"pubkey": A, "account": account_object(raw, encoding)}]))
    assert tables.counts["decoded"] == len(got) and tables.counts["decoded"] + tables.counts["failed"] == 1


def test_decoder_arguments_are_checked():
    text = json.dumps(account_idl(POOL, [("Pool", DISC)]))
    with pytest.raises(IdlError, match=r"^idls\[0\]: zero-copy type 'Nope' is not defined in idl.types"):
        AccountDecoder([text], zero_copy={0: ["Nope"]})
    with pytest.raises(IdlError, match="are both for program"):
        AccountDecoder([text, text])
    with pytest.raises(TypeError, match="argument 'zero_copy'"):
        AccountDecoder([text], zero_copy={"t": "Pool"})
    with pytest.raises(TypeError, match="argument 'zero_copy'"):
        AccountDecoder([text], zero_copy=["Pool"])
    # By program name, as `addresses` takes it.
    assert AccountDecoder([text], zero_copy={"t": ["Pool"]}).layouts[(A, "Pool")]["zero_copy"]
    assert AccountDecoder([text], addresses={"t": B}).programs == [B]
    # Rows as lists, and data as any bytes-like object, read as tuples of bytes do.
    d = AccountDecoder([text])
    assert d.decode([[A, A, bytearray(pool(1)), 3, 4], (B, A, memoryview(pool(2)))]) == d.decode(
        [(A, A, pool(1), 3, 4), (B, A, pool(2))]) != []
    assert AccountDecoder([text]).decode_tables([]).counts == dict.fromkeys(
        ["decoded", "failed", "missing", "other_owner", "parsed", "unreadable", "no_match"], 0)


# --- Arrow input ---

@needs_pyarrow
@pytest.mark.parametrize("keys", ["string", "large_string", "binary32"])
@pytest.mark.parametrize("data", ["binary", "large_binary"])
@pytest.mark.parametrize("numbers", [None, "uint64", "int64", "int32"])
@pytest.mark.parametrize("source", ["table", "batch", "sliced"])
def test_arrow_accounts_read_like_rows(keys, data, numbers, source):
    rng = random.Random(f"{keys}{data}{numbers}{source}")
    rows = [(borsh.b58encode(rng.randbytes(32)), rng.choice([A, B, OTHER]),
             pool(rng.randrange(1000)) if rng.random() < 0.8 else rng.randbytes(rng.randint(0, 50)),
             rng.randrange(1 << 31), rng.randrange(1 << 31)) for _ in range(40)]
    rows[3] = (None, A, pool(3), None, None)
    key_type = pa.binary(32) if keys == "binary32" else getattr(pa, keys)()
    as_key = (lambda k: None if k is None else borsh.b58decode(k)) if keys == "binary32" else (lambda k: k)
    columns = {"pubkey": pa.array([as_key(r[0]) for r in rows], key_type),
               "owner": pa.array([as_key(r[1]) for r in rows], key_type),
               "data": pa.array([r[2] for r in rows], getattr(pa, data)())}
    if numbers:
        columns["lamports"] = pa.array([r[3] for r in rows], getattr(pa, numbers)())
        columns["slot"] = pa.array([r[4] for r in rows], getattr(pa, numbers)())
    t = pa.table(columns)
    expect_rows = rows if numbers else [r[:3] for r in rows]
    if source == "batch":
        given = t.to_batches()[0]
    elif source == "sliced":
        given, expect_rows = t.slice(5, 30), expect_rows[5:35]
    else:
        given = pa.Table.from_batches([t.slice(0, 17).combine_chunks().to_batches()[0],
                                       t.slice(17).combine_chunks().to_batches()[0]])
    d = AccountDecoder([json.dumps(account_idl(POOL, [("Pool", DISC)]))])
    got = d.decode(given)
    assert got == d.decode(expect_rows) and got
    tables = d.decode_tables(given)
    assert_tables_hold(tables, got)
    assert tables.counts == d.decode_tables(expect_rows).counts and tables.inputs == len(expect_rows)


@needs_pyarrow
@pytest.mark.parametrize("columns, error, text", [
    ({"owner": pa.array([A]) if pa else None}, TypeError, "argument 'accounts': the accounts have no column 'data'"),
    ({"owner": pa.array([1]) if pa else None, "data": pa.array([b""]) if pa else None}, TypeError,
     "argument 'accounts': column 'owner' must be utf8, large_utf8 or fixed_size_binary(32), not Arrow type 'l'"),
    ({"owner": pa.array([A]) if pa else None, "data": pa.array([""]) if pa else None}, TypeError,
     "argument 'accounts': column 'data' must be binary or large_binary"),
])
def test_arrow_accounts_of_other_types_are_refused_by_name(columns, error, text):
    d = AccountDecoder([json.dumps(account_idl(POOL, [("Pool", DISC)]))])
    with pytest.raises(error) as e:
        d.decode(pa.table(columns))
    assert str(e.value).startswith(text)
    with pytest.raises(TypeError, match="expected a table"):
        d.decode_tables(pa.array([1, 2]))
    # Null rows and null data are missing accounts.
    t = pa.table({"owner": [A, A], "data": pa.array([None, pool(1)], pa.binary())})
    assert d.decode_tables(t).counts["missing"] == 1


# --- the command ---

def brisquel(*args, stdin=""):
    return subprocess.run([sys.executable, "-m", "brisquel", *map(str, args)], input=stdin, capture_output=True,
                          text=True, timeout=60)


def test_accounts_command_prints_json_lines(tmp_path):
    idl = tmp_path / "idl.json"
    idl.write_text(json.dumps(account_idl(POOL, [("Pool", DISC)])))
    entries = rpc_entries([(A, A, pool(1)), (B, OTHER, pool(2)), (OTHER, A, DISC + b"short")])
    for given in ([idl, "-"], [idl]):
        r = brisquel("accounts", *given, stdin="\n".join(json.dumps(e) for e in entries))
        assert r.returncode == 0, r.stderr
        assert [json.loads(line) for line in r.stdout.splitlines()] == [
            {"pubkey": A, "owner": A, "lamports": 7, "slot": None, "account": "Pool",
             "fields": {"amount": 1, "mint": borsh.b58encode(bytes([1]) * 32)}}]
        assert r.stderr == (  # what became of every account read
            "brisquel: read 3 accounts, printed 1\n"
            f"brisquel: skipped 1 account of other programs, owned by {OTHER} (1); the IDLs' programs: {A} "
            "(--address sets an IDL's)\n"
            "brisquel: 1 account of these programs did not decode\n")
    # zero-copy by name, in the IDLs that define the type; errors name the file.
    zc = tmp_path / "zc.json"
    zc.write_text(json.dumps(account_idl([{"name": "Z", "type": {"kind": "struct", "fields": [
        {"name": "a", "type": "u8"}, {"name": "b", "type": "u64"}]}}], [("Z", DISC)], B, "z")))
    data = tmp_path / "accounts.json"
    data.write_text(json.dumps(response(rpc_entries([(A, B, DISC + bytes([5]) + b"\xa5" * 7 + bytes(8))]))))
    r = brisquel("accounts", idl, zc, data, "--zero-copy", "Z")
    assert r.returncode == 0 and json.loads(r.stdout)["fields"] == {"a": 5, "b": 0}, r.stderr
    r = brisquel("accounts", idl, zc, data, "--zero-copy", "Nope")
    assert r.returncode == 1 and r.stderr.startswith("brisquel: --zero-copy: no IDL among")
    r = brisquel("accounts", idl, idl, data)
    assert r.returncode == 1 and "are both for program" in r.stderr and str(idl) in r.stderr
    data.write_text('{"result": [1]}')
    r = brisquel("accounts", idl, data)
    assert r.returncode == 1 and r.stderr.startswith(f"brisquel: {data}: line 1")


def real_account_groups() -> list:
    """The real accounts by IDL: (idl, owner, [(pubkey, data)])."""
    groups: dict = {}
    for p in real_accounts():
        file, path, encoding, pubkey, owner, size, kind, idl = p.values
        entries = groups.setdefault((idl, owner), [])
        entries.append((pubkey or borsh.b58encode(len(entries).to_bytes(32, "big")), account_bytes(file, path, encoding)))
    return [pytest.param(idl, owner, accounts, id=idl) for (idl, owner), accounts in groups.items()]


@pytest.mark.skipif(not real_accounts(), reason="no real accounts beside the repository")
@pytest.mark.parametrize("old_versions", [False, True])
@pytest.mark.parametrize("idl, owner, accounts", real_account_groups())
def test_accounts_command_counts_as_the_tables_do(tmp_path, capsys, idl, owner, accounts, old_versions):
    # The real accounts, each also cut short (at half and at its first field) and owned by another
    # program: what the command prints and reports from one reading, against what decode_tables
    # counts of the same input with and without old versions.
    from brisquel import _cli_accounts
    rows = [(pubkey, owner, data) for pubkey, data in accounts]
    rows += [(pubkey, owner, data[:cut]) for pubkey, data in accounts for cut in (len(data) // 2, 8)]
    rows += [(pubkey, OTHER, data) for pubkey, data in accounts[:1]]
    text = "\n".join(json.dumps(e) for e in rpc_entries(rows)) + "\n"
    (tmp_path / "in.json").write_text(text)
    idl_text = (SHARED_IDLS / idl).read_text()
    options = {"addresses": {0: owner}, "zero_copy": {0: ZERO_COPY.get(idl, [])}}
    strict = AccountDecoder([idl_text], old_versions=old_versions, **options)
    tables = strict.decode_tables(text)
    counts = collections.Counter({**tables.counts, "read": tables.inputs})
    if not old_versions:
        lenient = AccountDecoder([idl_text], old_versions=True, **options).decode_tables(text)
        counts["short"] = lenient.counts["decoded"] - tables.counts["decoded"]
    want = io.StringIO()
    _cli_accounts._report(counts, collections.Counter(tables.other_owners), strict.programs, want)
    argv = [str(SHARED_IDLS / idl), str(tmp_path / "in.json"), "--address", owner]
    if ZERO_COPY.get(idl):
        argv += ["--zero-copy", ",".join(ZERO_COPY[idl])]
    out = io.StringIO()
    _cli_accounts.run(argv + ["--old-versions"] * old_versions, out)
    assert capsys.readouterr().err == want.getvalue()
    # Byte for byte what the command printed when it wrote the Python values itself.
    assert out.getvalue().splitlines() == [
        json.dumps({"pubkey": s.pubkey, "owner": s.owner, "lamports": s.lamports, "slot": s.slot, "account": s.name,
                    "fields": jsonable(s.fields)}, ensure_ascii=False) for s in strict.decode(text, keep_failed=False)]
    assert len(out.getvalue().splitlines()) == tables.counts["decoded"]
