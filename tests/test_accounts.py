"""AccountDecoder: Borsh and zero-copy accounts against independent encoders,
values against tables, every input shape and encoding, owners deciding among
colliding discriminators, bad input, and the real accounts beside the
repository."""

from __future__ import annotations

import base64
import json
import random

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import borsh
import c_layout
from arrow_check import same_row
from arrow_reader import table
from brisquel import AccountDecoder, AccountState, IdlError, ReadError
from test_roundtrip import fields_value, named_fields

A = borsh.b58encode(bytes([1]) * 32)
B = borsh.b58encode(bytes([2]) * 32)
OTHER = borsh.b58encode(bytes([3]) * 32)
DISC = bytes(range(10, 18))


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
    in its type's table, in input order, with the same context."""
    want: dict = {}
    for s in states:
        want.setdefault((s.owner, s.name), []).append(s)
    for key, t in tables.items():
        read = table(t)
        rows = read.to_pylist()
        assert len(rows) == len(want.get(key, [])), key
        for row, s in zip(rows, want.get(key, [])):
            assert (row["_pubkey"], row["_owner"], row["_lamports"], row["_slot"]) == tuple(s[:4])
            assert same_row(read.schema, row, s.fields), (key, row, s.fields)


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
    strict = AccountDecoder([json.dumps(idl)]).decode_tables(row)
    assert strict.counts["failed"] == 1 and len(strict.errors) == 1
    assert table(strict.errors).to_pylist()[0]["account"] == "Acc"
    boundaries: dict = {}
    for i in range(len(pieces)):  # where the body ends, the first field that would start there is missing
        boundaries.setdefault(sum(map(len, pieces[:i])), i)
    old = AccountDecoder([json.dumps(idl)], old_versions=True).decode(row)
    if cut in boundaries:
        # Fields up to the cut, then None for each missing one.
        kept = boundaries[cut]
        want = {f["name"]: (values[0][f["name"]] if i < kept else None) for i, f in enumerate(fields)}
        # A repeated name keeps its later place's value, as a dict does.
        assert [s.fields for s in old] == [{k: want[k] for k in values[0]}]
    else:
        assert old == []


# --- zero-copy accounts against tests/c_layout.py ---

FORMS = ["bytemuckunsafe", "bytemuck", "named"]


@pytest.mark.parametrize("form", FORMS)
def test_zero_copy_accounts_read_at_c_layout_offsets(form):
    rng = random.Random(form)
    for _ in range(80):
        defs: list = []
        top = c_layout.random_struct(rng, defs)
        top["name"] = "Acc"
        for d in defs:
            if form != "named":
                d["serialization"] = form
        types = {d["name"]: d for d in defs}
        size, _, _ = c_layout.struct_layout(top, types)
        idl = account_idl(defs, [("Acc", DISC)])
        decoder = AccountDecoder([json.dumps(idl)], zero_copy={0: ["Acc"]} if form == "named" else None)
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
