"""The exceptions a program catches: ReadError says where a text of transactions
could not be read and how, IdlError which IDL could not be used and why; both
are ValueErrors whose text is the message alone."""

from __future__ import annotations

import json

import pytest

import brisquel
import brisquel._tables
from brisquel import AccountDecoder, IdlError, ReadError, TableDecoder, TransactionDecoder
from conftest import make_idl, struct
from transactions import Tx, encode, key

GOOD = json.dumps(encode(Tx([])))
TX = json.loads(GOOD)


def lines(*values: str) -> str:
    return "".join(v + "\n" for v in values)


@pytest.mark.parametrize("kind, text, bad_line, resumes", [
    ("invalid_json", lines(GOOD, "nope", GOOD), 2, True),
    ("invalid_json", "  \n", 1, False),  # no value at all
    ("invalid_json", "\n \n" + lines("nope", GOOD), 3, True),  # blank lines before the first value
    ("invalid_json", "  nope\n" + GOOD, 1, True),
    ("truncated", '{"result": [1,', 1, False),
    ("shape", lines(GOOD, GOOD, '  {"a": 1}'), 3, True),
    ("rpc_error", '{"jsonrpc": "2.0", "id": 1, "error": {"code": -32000, "message": "gone"}}', 1, False),
    ("too_large", json.dumps({**TX, "meta": {**TX["meta"], "logMessages": ["x"] * 65537}}), 1, False),
])
@pytest.mark.parametrize("as_bytes", [False, True])
def test_read_errors_say_where_and_how(kind, text, bad_line, resumes, as_bytes):
    decoder = TransactionDecoder([])
    given = text.encode() if as_bytes else text
    for read in (decoder.decode, decoder.decode_tables, decoder.count):
        with pytest.raises(ReadError) as caught:
            read(given)
        e = caught.value
        assert isinstance(e, ValueError) and type(e) is brisquel._tables.ReadError
        assert (e.input, e.kind, e.line) == ("transactions", kind, bad_line)
        raw = text.encode()
        # line and column are those of the byte at `offset`, where the bad value starts
        assert raw[:e.offset].count(b"\n") + 1 == e.line
        assert e.offset - (raw.rfind(b"\n", 0, e.offset) + 1) + 1 == e.column
        assert str(e) == f"transactions: line {e.line}, column {e.column}: {e.reason}"
        if resumes:
            assert raw[e.resume_at - 1:e.resume_at] == b"\n" and raw[:e.resume_at].count(b"\n") == bad_line
        else:
            assert e.resume_at is None


A, B = key("program a"), key("program b")
IDL_A = json.dumps({**make_idl([struct("E", [{"name": "v", "type": "u8"}])], ["E"]), "address": A})
NO_ADDRESS = json.dumps({"version": "0.1.0", "name": "p", "instructions": [], "events": []})
CLASHES = json.dumps({**make_idl([struct("E", [{"name": "_tx", "type": "u8"}, {"name": "_row", "type": "u8"}])],
                                 ["E"]), "address": B})


CODAMA = json.dumps({"kind": "rootNode", "standard": "codama", "version": "1.0.0", "program": {}})


@pytest.mark.parametrize("make, index, reason, duplicate_of", [
    (lambda: TableDecoder("{"), None, "failed to parse IDL: ", None),
    (lambda: TableDecoder(CODAMA), None, "a Codama document, which describes no events", None),
    (lambda: TransactionDecoder([IDL_A, CODAMA]), 1, "failed to read Codama document: missing field `kind` at program",
     None),
    (lambda: TableDecoder(CLASHES), None, "event 'E' has a field named '_row'", None),
    (lambda: TransactionDecoder([IDL_A, "[]"]), 1, "failed to parse IDL: ", None),
    (lambda: TransactionDecoder([IDL_A, NO_ADDRESS]), 1, "the IDL names no program address", None),
    (lambda: TransactionDecoder([IDL_A, CLASHES]), 1, "event 'E' has a field named '_tx'", None),
    (lambda: TransactionDecoder([IDL_A, IDL_A]), 1, "idls[0] and idls[1] are both for program", 0),
])
def test_idl_errors_say_which_and_why(make, index, reason, duplicate_of):
    with pytest.raises(IdlError) as caught:
        make()
    e = caught.value
    assert isinstance(e, ValueError)
    assert (e.index, e.duplicate_of) == (index, duplicate_of) and e.reason.startswith(reason)
    assert e.program == (A if duplicate_of is not None else None)
    assert str(e) == (e.reason if index is None or duplicate_of is not None else f"idls[{index}]: {e.reason}")


MAPPING_CASES = [
    ({"addresses": {"t2": A}}, r"addresses: no IDL is of a program named 't2' \(the IDLs' programs: t\)"),
    ({"addresses": {1: A}}, r"addresses: no IDL has index 1 \(1 IDL given\)"),
    ({"addresses": {-1: A}}, r"addresses: no IDL has index -1"),
    ({"addresses": {0: "notbase58!"}}, r"addresses: 'notbase58!' \(for idls\[0\]\) is not a program address"),
    ({"addresses": {"t": "1" * 31}}, r"is not a program address: base58 text of 32 bytes"),
    ({"addresses": {1.0: A}}, r"addresses: keys are IDL indexes \(int\) or program names \(str\), not float"),
]


@pytest.mark.parametrize("decoder, argument, message", [
    *[(d, argument, message) for d in (TransactionDecoder, AccountDecoder) for argument, message in MAPPING_CASES],
    (AccountDecoder, {"zero_copy": {"nosuchprog": ["E"]}}, r"zero_copy: no IDL is of a program named 'nosuchprog'"),
])
def test_mappings_of_idls_name_an_idl(decoder, argument, message):
    # A key or an address that names nothing would leave the decoder finding nothing without a word.
    with pytest.raises((ValueError, TypeError), match=message):
        decoder([IDL_A], **argument)
    assert decoder([IDL_A], addresses={"t": B, 0: B}).programs == [B]


def test_exceptions_made_by_hand_have_every_attribute():
    e = ReadError("by hand")
    assert (e.input, e.kind, e.line, e.column, e.offset, e.resume_at, e.reason) == (None,) * 7
    assert (IdlError("x").index, IdlError("x").reason) == (None, None)


def test_the_export_names_the_idl_its_log_decoders_refuse(tmp_path):
    for needed in ("pyarrow", "pandas", "dask"):
        pytest.importorskip(needed)
    from brisquel.dataset import read_events

    (logs := tmp_path / "logs.parquet").write_bytes(b"")
    # `_row` is free in a transaction's table but a context column of Parquet logs.
    with pytest.raises(IdlError) as caught:
        read_events([logs], [IDL_A, CLASHES.replace('"_tx"', '"tx"')], format="parquet")
    assert (caught.value.index, str(caught.value)) == (1, "idls[1]: event 'E' has a field named '_row', which is "
                                                          "the name of a context column")
