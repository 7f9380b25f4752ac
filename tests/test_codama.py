"""Codama documents beside Anchor IDLs: the six programs' own documents on
real transactions against @codama/dynamic-parsers, random type nodes in
random nestings against @codama/dynamic-codecs, and hostile documents."""

from __future__ import annotations

import base64
import json
import re
import tempfile
from pathlib import Path

import pytest

import borsh
import npm_peers
from arrow_reader import table
from brisquel import AccountDecoder, IdlError, TransactionDecoder
from conftest import SHARED_IDLS
from test_calls import real_cases
from test_transactions import TRANSACTIONS, dig

CODAMA = SHARED_IDLS / "codama"
DOCUMENTS = {
    "TokenkegQfeZyiNwAJbNbGKPFXCWuBvf9Ss623VQ5DA": "token.json",
    "TokenzQdBNbLqP5VEhdkAS6EPFLC1PHnBqCXEpPxuEb": "token-2022.json",
    "11111111111111111111111111111111": "system.json",
    "ATokenGPvbdGVxr1b2hvZbsiqW5xWH25efTNsLJA8knL": "associated-token-account.json",
    "ComputeBudget111111111111111111111111111111": "compute-budget.json",
    "MemoSq4gqABAXKb96qnH8TysNcWxMyWCqXgDLGmfcHr": "memo.json",
}
NO_MATCH = "no instruction of the program matches the data"

pytestmark = pytest.mark.skipif(not CODAMA.exists(), reason="no Codama documents beside the repository")


def documents() -> list[str]:
    return [(CODAMA / f).read_text() for f in sorted(set(DOCUMENTS.values()))]


def plain(value):
    """A decoded value as the peer scripts write theirs (bytes as hex, tuples as lists)."""
    if isinstance(value, (bytes, bytearray)):
        return {"$bytes": bytes(value).hex()}
    if isinstance(value, dict):
        return {k: plain(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [plain(v) for v in value]
    return value


def peer(mode: str, requests: list[dict]) -> list:
    with tempfile.NamedTemporaryFile("w", suffix=".json", delete=False) as f:
        json.dump(requests, f)
    try:
        out = npm_peers.run("codama.mjs", mode, f.name, package="@codama/dynamic-parsers")
    finally:
        Path(f.name).unlink()
    return [json.loads(line) for line in out.splitlines()]


# --- real transactions -------------------------------------------------------

def instructions_of(tx: dict):
    """(instruction, inner, program, accounts, data) of every outer and inner
    instruction of a JSON-encoded transaction."""
    message = tx["transaction"]["message"]
    keys = [k if isinstance(k, str) else k["pubkey"] for k in message["accountKeys"]]
    loaded = (tx.get("meta") or {}).get("loadedAddresses") or {}
    keys += loaded.get("writable", []) + loaded.get("readonly", [])

    def one(ix):
        if "programId" in ix:  # jsonParsed: addresses in place of indexes
            return ix["programId"], ix["accounts"], ix["data"]
        return keys[ix["programIdIndex"]], [keys[a] for a in ix["accounts"]], ix["data"]

    for i, ix in enumerate(message["instructions"]):
        if "data" in ix:  # a parsed instruction has no bytes to read
            yield (i, None, *one(ix))
    for group in (tx.get("meta") or {}).get("innerInstructions") or []:
        for k, ix in enumerate(group["instructions"]):
            if "data" in ix:
                yield (group["index"], k, *one(ix))


@pytest.fixture(scope="module")
def real():
    txs = []
    for file, path in real_cases():
        tx = dig(json.loads((TRANSACTIONS / file).read_text()), path)
        if isinstance(tx.get("transaction"), dict):  # JSON-encoded ones
            txs.append(tx)
    return TransactionDecoder(documents()), txs


@pytest.mark.skipif(not real_cases(), reason="no real transactions beside the repository")
def test_real_instructions_decode_as_dynamic_parsers_reads_them(real):
    d, txs = real
    calls = d.calls(txs, include_failed=True)
    by_place = {(c.tx, c.instruction, c.inner): c for c in calls}
    requests, places = [], []
    for t, tx in enumerate(txs):
        for i, inner, program, accounts, data in instructions_of(tx):
            if program in DOCUMENTS:
                raw = borsh.b58decode(data)
                requests.append({"document": str(CODAMA / DOCUMENTS[program]), "program": program,
                                 "accounts": accounts, "data": base64.b64encode(raw).decode()})
                places.append((t, i, inner, program))
    assert len(requests) >= 400
    unmatched = 0
    for (t, i, inner, program), want in zip(places, peer("parse", requests), strict=True):
        call = by_place[(t, i, inner)]
        assert call.program == program
        if want is None:
            # The peer matches nothing: no guessed name, a row that says so.
            assert (call.name, call.problem) == (None, NO_MATCH)
            unmatched += 1
            continue
        assert call.problem is None, (want, call)
        assert call.name == want["name"]
        assert plain(call.args) == want["args"], (call.name, call.args)
        for name, address in call.accounts.items():
            given = want["accounts"].get(name)
            assert address == given or (address is None and given == program), (call.name, name)
    # The associated-token-account program's `create` with empty data, which its document does not describe.
    assert unmatched >= 20


def test_a_failed_token_transfer_carries_the_programs_own_error():
    from transactions import Call, Tx, encode, key
    token = "TokenkegQfeZyiNwAJbNbGKPFXCWuBvf9Ss623VQ5DA"
    d = TransactionDecoder(documents())
    transfer = b"\x03" + (5).to_bytes(8, "little")
    tx = encode(Tx(calls=[Call(token, data=transfer, accounts=[key("a"), key("b"), key("c")], fails=True, code=1)]))
    [call] = d.calls([tx], include_failed=True)
    assert (call.name, call.args, call.failed) == ("transfer", {"amount": 5}, True)
    # Code 1 is the token program's own (named as its document spells it), not Anchor's InstructionMissing.
    assert (call.error.code, call.error.name, call.error.message) == (1, "insufficientFunds", "Insufficient funds")


def test_call_tables_match_calls_for_the_six_programs(real):
    d, txs = real
    calls = [c for c in d.calls(txs, include_failed=True) if c.problem is None]
    tables = d.call_tables(txs, include_failed=True)
    rows = sum(len(t) for key, t in tables.items() if key[0] in DOCUMENTS)
    assert rows == sum(1 for c in calls if c.program in DOCUMENTS)
    problems = [c for c in d.calls(txs, include_failed=True) if c.problem is not None]
    assert len(tables.errors) >= len(problems) > 0


# --- generated types and values ---------------------------------------------

FUZZ = "Fuzz111111111111111111111111111111111111111"


@pytest.fixture(scope="module")
def generated():
    out = npm_peers.run("codama.mjs", "generate", 400, 27, package="@codama/dynamic-codecs")
    return [json.loads(line) for line in out.splitlines()]


def test_random_types_decode_as_dynamic_codecs_encodes_them(generated):
    cases = 0
    for doc in generated:
        if not doc["cases"]:
            continue
        text = json.dumps(doc["document"])
        decoder = AccountDecoder([text])
        rows = [(None, FUZZ, base64.b64decode(c["data"])) for c in doc["cases"]]
        states = decoder.decode(rows)
        assert len(states) == len(rows), text
        for state, case in zip(states, doc["cases"]):
            assert plain(state.fields["value"]) == case["value"], (text, case)
        # The tables decode every row, without errors, in the same columns.
        tables = decoder.decode_tables(rows)
        assert len(tables.errors) == 0, (text, tables.errors)
        assert len(tables[(FUZZ, "sample")]) == len(rows)
        cases += len(rows)
    assert cases >= 1500


@pytest.fixture(scope="module")
def shared_values():
    files = [str(CODAMA / f) for f in sorted(set(DOCUMENTS.values()))]
    out = npm_peers.run("codama.mjs", "shared", 5, *files, package="@codama/dynamic-codecs")
    return [json.loads(line) for line in out.splitlines()]


def test_every_instruction_and_account_of_the_six_documents_decodes_as_dynamic_codecs_encodes_it(shared_values):
    from transactions import Call, Tx, encode
    by_file: dict[str, list[dict]] = {}
    for case in shared_values:
        by_file.setdefault(case["file"], []).append(case)
    instructions = accounts = 0
    for file, cases in by_file.items():
        text = Path(file).read_text()
        calls_of = TransactionDecoder([text])
        states_of = AccountDecoder([text])
        ix = [c for c in cases if c["kind"] == "instruction"]
        txs = [encode(Tx(calls=[Call(c["program"], data=base64.b64decode(c["data"]))])) for c in ix]
        for case, call in zip(ix, calls_of.calls(txs), strict=True):
            # Where the peer takes the bytes for an earlier instruction, so does brisquel.
            assert call.name == case["identified"], (case, call)
            if call.name == case["name"]:
                assert plain(call.args) == case["value"], (case, call.args)
                instructions += 1
        for case in (c for c in cases if c["kind"] == "account"):
            states = states_of.decode([(None, case["program"], base64.b64decode(case["data"]))])
            if case["identified"] is None:
                assert states == [], case
                continue
            assert [s.name for s in states] == [case["identified"]], case
            if case["identified"] == case["name"]:
                assert plain(states[0].fields) == case["value"], case
                accounts += 1
    assert instructions >= 400 and accounts >= 10


# --- documents and programs ---------------------------------------------------

def test_every_program_of_the_documents_is_a_program_keyed_by_its_address():
    d = TransactionDecoder(documents())
    assert sorted(d.programs) == sorted(DOCUMENTS)  # the additional associated-token programs stand aside
    assert d.instruction_names("TokenkegQfeZyiNwAJbNbGKPFXCWuBvf9Ss623VQ5DA")[:3] == [
        "initializeMint", "initializeAccount", "initializeMultisig"]
    a = AccountDecoder(documents())
    assert sorted(a.programs) == sorted(DOCUMENTS)


def test_anchor_and_codama_documents_mix_and_duplicates_are_an_error():
    anchor = (SHARED_IDLS / "pump-current.json").read_text()
    token = (CODAMA / "token.json").read_text()
    d = TransactionDecoder([anchor, token])
    assert len(d.programs) == 3  # pump, token, and token's additional associated-token program
    with pytest.raises(IdlError, match=r"idls\[0\] and idls\[1\] are both for program Tokenkeg"):
        TransactionDecoder([token, token])


def root(program: dict) -> str:
    base = {"kind": "programNode", "name": "p", "publicKey": FUZZ, "version": "1.0.0"}
    return json.dumps({"kind": "rootNode", "standard": "codama", "version": "1.0.0", "program": {**base, **program}})


TAG = {"kind": "structFieldTypeNode", "name": "tag", "type": {"kind": "fixedSizeTypeNode", "size": 2, "type": {"kind": "bytesTypeNode"}},
       "defaultValue": {"kind": "bytesValueNode", "encoding": "base16", "data": "c0da"}}


def account(field_type: dict) -> dict:
    """A program of one account: a 2-byte tag that tells it, then one field."""
    return {"accounts": [{"kind": "accountNode", "name": "a",
                          "discriminators": [{"kind": "fieldDiscriminatorNode", "name": "tag", "offset": 0}],
                          "data": {"kind": "structTypeNode", "fields": [
                              TAG, {"kind": "structFieldTypeNode", "name": "f", "type": field_type}]}}]}


def errors(decoder: AccountDecoder, data: bytes, n: int = 1) -> list[str]:
    tables = decoder.decode_tables([(None, FUZZ, b"\xc0\xda" + data)] * n)
    return [json.dumps(row) for row in table(tables.errors).to_pylist()]


def deep(depth: int) -> dict:
    t: dict = {"kind": "numberTypeNode", "format": "u8"}
    for _ in range(depth):
        t = {"kind": "optionTypeNode", "item": t}
    return t


@pytest.mark.parametrize("document, message", [
    (root(account({"kind": "fooTypeNode"})), r"unknown node kind `fooTypeNode` at program\.accounts\[0\]\.data\.fields\[1\]\.type"),
    (root(account({"kind": "numberTypeNode", "format": "u7"})), r"unknown number format \"u7\" at .*\.type\.format"),
    (root(account({"kind": "definedTypeLinkNode", "name": "nowhere"})), r"definedTypeLinkNode `nowhere` names no defined type"),
    (root(account({"kind": "arrayTypeNode", "item": {"kind": "publicKeyTypeNode"}, "count": {"kind": "fixedCountNode", "value": -1}})),
     r"expected a non-negative integer.* at .*count\.value"),
    (root({"instructions": [{"kind": "instructionNode", "name": 5}]}), r"expected a string.* at program\.instructions\[0\]\.name"),
    (root(account({"kind": "zeroableOptionTypeNode", "item": {"kind": "stringTypeNode"}})), r"zeroable option of a value without a fixed size"),
    (root(account(deep(500))), r"failed to parse IDL"),
    (json.dumps({"kind": "rootNode", "standard": "codama", "version": "2.0.0"}), r"unsupported Codama version"),
    (root({"publicKey": "not-an-address"}), r"is not a program address at program\.publicKey"),
])
def test_hostile_documents_are_a_clear_idl_error(document, message):
    with pytest.raises(IdlError, match=message):
        TransactionDecoder([document])


SELF = {"kind": "definedTypeLinkNode", "name": "node"}
# A list that links to itself: each node, then maybe the next.
CHAIN = {"definedTypes": [{"kind": "definedTypeNode", "name": "node", "type": {"kind": "structTypeNode", "fields": [
    {"kind": "structFieldTypeNode", "name": "value", "type": {"kind": "numberTypeNode", "format": "u8"}},
    {"kind": "structFieldTypeNode", "name": "next", "type": {"kind": "remainderOptionTypeNode", "item": SELF}}]}}]}


def test_self_referencing_links_decode_to_their_bound():
    decoder = AccountDecoder([root({**CHAIN, **account(SELF)})])
    # A type that contains itself, forged deep: the walk stops at its bound.
    assert ["type nesting exceeds 128 levels" in e for e in errors(decoder, bytes(100_000))] == [True]
    want = {"value": 1, "next": {"value": 2, "next": None}}
    assert errors(decoder, b"\x01\x02") == [] and decoder.decode([(None, FUZZ, b"\xc0\xda\x01\x02")])[0].fields["f"] == want


@pytest.mark.parametrize("field_type, data, problem", [
    # A count of 2^32 elements, forged: the bytes run out, no allocation follows the count.
    ({"kind": "arrayTypeNode", "item": {"kind": "publicKeyTypeNode"}, "count": {"kind": "fixedCountNode", "value": 2**32}},
     bytes(64), "unexpected end of buffer"),
    ({"kind": "sizePrefixTypeNode", "type": {"kind": "stringTypeNode", "encoding": "utf8"},
      "prefix": {"kind": "numberTypeNode", "format": "u8"}}, b"\x02\xc3\x28", "invalid utf-8"),
    ({"kind": "hiddenPrefixTypeNode", "type": {"kind": "numberTypeNode", "format": "u8"}, "prefix": [
        {"kind": "constantValueNode", "type": {"kind": "numberTypeNode", "format": "u8"},
         "value": {"kind": "numberValueNode", "number": 7}}]}, b"\x08\x01", "not the constant"),
    ({"kind": "numberTypeNode", "format": "shortU16"}, b"\xff\xff\x7f", "cannot be read"),
    ({"kind": "sentinelTypeNode", "type": {"kind": "bytesTypeNode"}, "sentinel": {
        "kind": "constantValueNode", "type": {"kind": "numberTypeNode", "format": "u8"},
        "value": {"kind": "numberValueNode", "number": 255}}}, b"\x01\x02", "no sentinel"),
    ({"kind": "sizePrefixTypeNode", "type": {"kind": "bytesTypeNode"},
      "prefix": {"kind": "numberTypeNode", "format": "u64", "endian": "be"}}, b"\xff" * 8, "length overflow"),
])
def test_data_that_does_not_fit_its_node_is_an_error_row_and_the_rest_decodes(field_type, data, problem):
    decoder = AccountDecoder([root(account(field_type))])
    found = errors(decoder, data, 3)
    assert len(found) == 3 and all(problem in e for e in found), found


# --- what the peers cannot show -----------------------------------------------

def number(format: str, endian: str = "le") -> dict:
    return {"kind": "numberTypeNode", "format": format, "endian": endian}


def test_big_endian_numbers_and_enum_values_read_as_the_document_says():
    # The peer reads every number little-endian whatever its `endian`: these bytes are laid out here.
    enum = {"kind": "enumTypeNode", "size": number("u16", "be"), "variants": [
        {"kind": "enumEmptyVariantTypeNode", "name": "low", "discriminator": 5},
        {"kind": "enumEmptyVariantTypeNode", "name": "high", "discriminator": 9}]}
    fields = {"kind": "structTypeNode", "fields": [
        {"kind": "structFieldTypeNode", "name": "u", "type": number("u32", "be")},
        {"kind": "structFieldTypeNode", "name": "i", "type": number("i128", "be")},
        {"kind": "structFieldTypeNode", "name": "e", "type": enum},
        {"kind": "structFieldTypeNode", "name": "n", "type": {"kind": "sizePrefixTypeNode", "prefix": number("u16", "be"),
                                                              "type": {"kind": "stringTypeNode", "encoding": "base58"}}}]}
    decoder = AccountDecoder([root(account(fields))])
    data = (b"\xc0\xda" + (0x01020304).to_bytes(4, "big") + (-2).to_bytes(16, "big", signed=True) + b"\x00\x09"
            + b"\x00\x02\x00\x01")
    assert decoder.decode([(None, FUZZ, data)])[0].fields["f"] == {"u": 0x01020304, "i": -2, "e": "high", "n": "12"}
    assert errors(decoder, data[2:-6] + b"\x00\x06" + data[-4:]) != []  # 6 names no variant


def call_program(instructions: list[dict], errors: list[dict] = ()) -> str:
    return root({"instructions": instructions, "errors": list(errors)})


def u8_arg(name: str, default: int | None = None) -> dict:
    arg = {"kind": "instructionArgumentNode", "name": name, "type": number("u8")}
    if default is not None:
        arg |= {"defaultValue": {"kind": "numberValueNode", "number": default}, "defaultValueStrategy": "omitted"}
    return arg


def test_first_declared_instruction_wins_accounts_and_errors_are_the_documents():
    from transactions import Call, Tx, encode, key
    first = {"kind": "instructionNode", "name": "first", "arguments": [u8_arg("discriminator", 1), u8_arg("x")],
             "discriminators": [{"kind": "fieldDiscriminatorNode", "name": "discriminator", "offset": 0}],
             "accounts": [{"kind": "instructionAccountNode", "name": "maybe", "isOptional": True},
                          {"kind": "instructionAccountNode", "name": "then"}]}
    second = {**first, "name": "second", "optionalAccountStrategy": "omitted",
              "discriminators": [{"kind": "constantDiscriminatorNode", "offset": 0, "constant": {
                  "kind": "constantValueNode", "type": number("u8"), "value": {"kind": "numberValueNode", "number": 1}}}]}
    sized = {"kind": "instructionNode", "name": "sized", "arguments": [],
             "discriminators": [{"kind": "sizeDiscriminatorNode", "size": 3}]}
    errors = [{"kind": "errorNode", "name": "NotEnough", "code": 1, "message": "not enough"}]
    other = key("other")
    for order, want in (([first, second, sized], "first"), ([second, first, sized], "second")):
        d = TransactionDecoder([call_program(order, errors)])
        txs = [encode(Tx(calls=[Call(FUZZ, data=b"\x01\x07", accounts=[FUZZ, other])])),
               encode(Tx(calls=[Call(FUZZ, data=b"\x01\x07", accounts=[other], fails=True, code=1)]), ),
               encode(Tx(calls=[Call(FUZZ, data=b"\x05\x05\x05")])),
               encode(Tx(calls=[Call(FUZZ, data=b"\x05")]))]
        calls = d.calls(txs, include_failed=True)
        assert [c.name for c in calls] == [want, want, "sized", None]
        assert calls[0].args == {"x": 7} and calls[2].args == {}
        # "programId": the program's own address stands for an absent account; "omitted": it is an address.
        assert calls[0].accounts == ({"maybe": None, "then": other} if want == "first" else {"maybe": FUZZ, "then": other})
        assert calls[1].accounts == {"maybe": other, "then": None}
        assert (calls[1].error.code, calls[1].error.name, calls[1].error.message) == (1, "NotEnough", "not enough")
        assert calls[3].problem == NO_MATCH


# --- one program, two descriptions --------------------------------------------

def loose(value):
    """Names as either description spells them (snake or camel case) made alike,
    and bytes as the list of numbers that an Anchor `[u8; N]` gives (its conversion
    describes it as bytes of a fixed size)."""
    if isinstance(value, (bytes, bytearray)):
        return list(value)
    if isinstance(value, dict):
        return {loose(k): loose(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [loose(v) for v in value]
    if isinstance(value, str):
        return value.replace("_", "").lower()
    return plain(value)


@pytest.mark.skipif(not real_cases(), reason="no real transactions beside the repository")
def test_anchor_idl_and_its_codama_conversion_decode_real_calls_alike():
    text = (TRANSACTIONS / "SOURCES.md").read_text()
    names = sorted({n for n in re.findall(r"^\| ([\w-]+) \| `\w+` \| \d+ \|", text, re.M)
                    if (SHARED_IDLS / f"{n}-current.json").exists()})
    files = [SHARED_IDLS / f"{n}-current.json" for n in names]
    out = npm_peers.run("codama.mjs", "convert", *files, package="@codama/nodes-from-anchor")
    converted = [json.loads(line) for line in out.splitlines()]
    pairs = [(f.read_text(), json.dumps(doc)) for f, doc in zip(files, converted, strict=True) if doc is not None]
    assert len(pairs) >= 4
    txs = [dig(json.loads((TRANSACTIONS / f).read_text()), p) for f, p in real_cases()]
    anchor = TransactionDecoder([a for a, _ in pairs]).calls(txs, include_failed=True)
    codama = TransactionDecoder([c for _, c in pairs]).calls(txs, include_failed=True)
    assert len(anchor) >= 60
    # Instructions of these programs that match nothing are rows for the Codama description only.
    codama = [c for c in codama if c.problem != NO_MATCH]
    assert len(anchor) == len(codama)
    for a, c in zip(anchor, codama):
        assert (a.tx, a.instruction, a.inner, a.program) == (c.tx, c.instruction, c.inner, c.program)
        assert loose(a.name) == loose(c.name)
        assert loose(a.args) == loose(c.args), (a.name, a.args, c.args)
        assert loose(a.accounts) == loose(c.accounts), a.name
        assert (a.error is None) == (c.error is None) and (a.error is None or a.error.code == c.error.code)


@pytest.mark.skipif(not real_cases(), reason="no real transactions beside the repository")
def test_export_takes_codama_documents_and_counts_what_matched_nothing(tmp_path, real):
    pytest.importorskip("dask", reason="export needs Dask")
    import subprocess
    import sys

    _, txs = real
    source = tmp_path / "txs.jsonl"
    source.write_text("\n".join(json.dumps(tx) for tx in txs) + "\n")
    idls = [CODAMA / f for f in sorted(set(DOCUMENTS.values()))]
    done = subprocess.run([sys.executable, "-m", "brisquel", "export", *idls, "--out", tmp_path / "out", "--workers", "1",
                           source], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    assert re.search(r"TokenkegQfeZyiNwAJbNbGKPFXCWuBvf9Ss623VQ5DA\s+transferChecked\s+\d+", done.stdout)
    assert re.search(r"no instruction of the program matches the data\s+\d+", done.stdout)
    assert (tmp_path / "out" / "calls" / "_errors").is_dir()


def test_amounts_and_dates_say_so_in_their_columns_metadata():
    from arrow_reader import read_schema as schema  # the project's own reader: the Arrow format strings
    token = TransactionDecoder([(CODAMA / "token.json").read_text()])
    amount = schema(token.call_schema(("TokenkegQfeZyiNwAJbNbGKPFXCWuBvf9Ss623VQ5DA", "transfer"))).field("arg_amount")
    assert amount.type.format == "L" and amount.metadata == {b"brisquel.unit": b"base units"}
    t22 = TransactionDecoder([(CODAMA / "token-2022.json").read_text()])
    program = "TokenzQdBNbLqP5VEhdkAS6EPFLC1PHnBqCXEpPxuEb"
    date = schema(t22.call_schema((program, "updateMultiplierScaledUiMint"))).field("arg_effectiveTimestamp")
    assert date.type.format == "l" and date.metadata == {b"brisquel.date_time": b"unix_seconds"}


def test_nested_remainder_lists_take_time_linear_in_their_depth():
    t: dict = number("u8")
    for _ in range(40):
        t = {"kind": "arrayTypeNode", "item": t, "count": {"kind": "remainderCountNode"}}
    decoder = AccountDecoder([root(account(t))])
    [state] = decoder.decode([(None, FUZZ, b"\xc0\xda" + bytes(range(200)))])
    value = state.fields["f"]
    for _ in range(39):
        [value] = value
    assert value == list(range(200))


def sentinel(hex_text: str) -> dict:
    return {"kind": "sentinelTypeNode", "type": {"kind": "bytesTypeNode"}, "sentinel": {
        "kind": "constantValueNode", "type": {"kind": "bytesTypeNode"},
        "value": {"kind": "bytesValueNode", "encoding": "base16", "data": hex_text}}}


def test_a_long_sentinel_is_looked_for_in_linear_time_and_a_longer_one_refused():
    decoder = AccountDecoder([root(account(sentinel("00" * 3999 + "01")))])
    assert ["no sentinel" in e for e in errors(decoder, bytes(1 << 20))] == [True]
    with pytest.raises(IdlError, match="a sentinel of more than 4096 bytes"):
        AccountDecoder([root(account(sentinel("00" * 4097)))])
