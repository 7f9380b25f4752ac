"""TransactionDecoder.calls and call_tables: every instruction call to the
decoder's programs, generated as invocation trees and checked against a model
of the tree and against the independent Borsh encoder."""

from __future__ import annotations

import json
import random
import re

import pytest
from hypothesis import HealthCheck, given, settings

import borsh
from arrow_check import same
from arrow_reader import schema, table
from brisquel import CallError, DecodedCalls, ReadError, TransactionDecoder, TxCall
from conftest import SHARED_IDLS, enum, jsonable, make_idl, struct
from test_roundtrip import event_case
from test_transactions import TRANSACTIONS, dig
from transactions import Call, Tx, encode, key

A, B, C = key("calls program a"), key("calls program b"), key("calls program without idl")


def instruction(name: str, accounts: list, args: list, disc: list[int] | None = None) -> dict:
    return {"name": name, "discriminator": disc or list(borsh.discriminator(name, "global")), "accounts": accounts,
            "args": args}


IDL_A = {**make_idl([
    struct("Leg", [{"name": "price", "type": "f64"}, {"name": "tag", "type": {"option": "bytes"}}]),
    enum("Side", [{"name": "Bid"}, {"name": "Ask", "fields": ["u8"]}]),
]), "address": A}
IDL_A["instructions"] = [
    instruction("swap", [{"name": "user", "signer": True}, {"name": "pool", "writable": True},
                         {"name": "vaults", "accounts": [{"name": "base"}, {"name": "quote"}]},
                         {"name": "referrer", "optional": True}],
                [{"name": "amount", "type": "u64"}, {"name": "min_out", "type": "u64"},
                 {"name": "side", "type": {"defined": {"name": "Side"}}}]),
    instruction("route", [{"name": "authority"}],
                [{"name": "legs", "type": {"vec": {"defined": {"name": "Leg"}}}}, {"name": "note", "type": "string"},
                 {"name": "big", "type": "i128"}]),
    # One discriminator a prefix of another: the longer match wins.
    instruction("poke", [], [{"name": "n", "type": "u8"}], [7]),
    instruction("poke_twice", [], [{"name": "n", "type": "u8"}], [7, 7]),
]
IDL_A["errors"] = [{"code": 6000, "name": "Slippage", "msg": "Too much slippage"}, {"code": 6001, "name": "Paused"}]
IDL_B = {**make_idl([]), "address": B}
IDL_B["instructions"] = [instruction("deposit", [{"name": "owner"}],
                                     [{"name": "amount", "type": "u32"}, {"name": "to", "type": {"option": "pubkey"}}])]
IDLS = {A: IDL_A, B: IDL_B}
# The Anchor framework's own error, and one nobody names.
FRAMEWORK = {3012: ("AccountNotInitialized", "The program expected this account to be already initialized")}
CODES = [6000, 6001, 3012, 6050]


def decoder(**options) -> TransactionDecoder:
    return TransactionDecoder([json.dumps(IDL_A), json.dumps(IDL_B)], **options)


def flat_accounts(accounts: list, prefix: str = "") -> list[tuple[str, bool]]:
    out = []
    for a in accounts:
        if "accounts" in a:
            out += flat_accounts(a["accounts"], prefix + a["name"] + ".")
        else:
            out.append((prefix + a["name"], bool(a.get("optional"))))
    return out


def arg_data(rng: random.Random, program: str, ix: dict) -> tuple[bytes, dict]:
    """Random arguments of `ix` and its instruction data: whole, with bytes
    the program ignores after them, or cut where an argument begins (an older
    version: the rest read as None)."""
    types = borsh.type_table(IDLS[program])
    value = borsh.random_fields(ix["args"], types, rng)
    parts = [borsh.encode(a["type"], value[a["name"]], types) for a in ix["args"]]
    roll = rng.random()
    if roll < 0.15 and parts:
        cut = rng.randrange(len(parts))
        parts = parts[:cut]
        value = {a["name"]: (value[a["name"]] if i < cut else None) for i, a in enumerate(ix["args"])}
    elif roll < 0.3:
        parts.append(b"\xff" * rng.randint(1, 3))
    data = bytes(ix["discriminator"]) + b"".join(parts)
    if longest_match(program, data) is not ix:  # arguments that spell a longer discriminator: another call
        return arg_data(rng, program, ix)
    return data, value


def longest_match(program: str, data: bytes) -> dict | None:
    found = [ix for ix in IDLS[program]["instructions"] if data.startswith(bytes(ix["discriminator"]))]
    return max(found, key=lambda ix: len(ix["discriminator"]), default=None)


def random_call(rng: random.Random, depth: int, want: list[dict]) -> Call:
    """A call and, in pre-order (execution order), what each of ours should read as."""
    program = rng.choice([A, A, B, C])
    if program == C:
        call = Call(C, data=bytes([rng.randrange(256)]), accounts=[key(f"c{rng.randrange(3)}")])
        expect = None
    else:
        ix = rng.choice(IDLS[program]["instructions"])
        data, args = arg_data(rng, program, ix)
        names = flat_accounts(ix["accounts"])
        given = [key(f"acct {rng.randrange(6)}") for _ in range(rng.choice([0, len(names) // 2, len(names),
                                                                            len(names) + 2]))]
        for i, (_, optional) in enumerate(names):
            if optional and i < len(given) and rng.random() < 0.5:
                given[i] = program  # how Anchor marks an absent optional account
        accounts = {name: (given[i] if i < len(given) and not (optional and given[i] == program) else None)
                    for i, (name, optional) in enumerate(names)}
        call = Call(program, data=data, accounts=given)
        expect = {"program": program, "name": ix["name"], "args": args, "accounts": accounts,
                  "remaining": given[len(names):]}
    want.append({"call": call, "expect": expect, "depth": depth})
    for _ in range(rng.choice([0, 0, 1, 2]) if depth < 3 else 0):
        if rng.random() < 0.3:
            call.steps.append(("cpi", borsh.discriminator("Ev") + b"\x01"))  # a self-CPI event: no call
        call.steps.append(random_call(rng, depth + 1, want))
    return call


def random_tx(rng: random.Random) -> tuple[Tx, list[dict]]:
    want: list[dict] = []
    calls = [random_call(rng, 1, want) for _ in range(rng.randint(1, 3))]
    if rng.random() < 0.35:  # a failure at depth 1 or 2
        candidates = [w for w in want if w["depth"] <= 2]
        failing = rng.choice(candidates)
        failing["call"].fails = True
        failing["call"].code = rng.choice(CODES)
    return Tx(calls=calls), want


def model(tx: Tx, want: list[dict]) -> list[dict]:
    """The calls `tx` should give, in execution order: what ran (nothing after
    the failure but the outer instructions themselves), each placed, and the
    error on the failing call when it is one of ours."""
    by_call = {id(w["call"]): w for w in want}
    out: list[dict] = []
    failing = next((w["call"] for w in want if w["call"].fails), None)

    def place(call: Call, instruction: int, inner: int | None, depth: int) -> None:
        w = by_call[id(call)]
        if w["expect"] is not None:
            error = None
            if call is failing and failing is not None:
                code = call.code
                named = {e["code"]: e for e in IDLS[call.program].get("errors", [])}
                name, message = (named[code]["name"], named[code].get("msg")) if code in named else \
                    FRAMEWORK.get(code, (None, None))
                error = CallError(code, name, message, f"custom program error: {code:#x}")
            out.append({**w["expect"], "instruction": instruction, "inner": inner, "depth": depth,
                        "failed": failing is not None, "error": error})

    def run(call: Call, instruction: int, depth: int, counter: list[int]) -> bool:
        """False once the transaction failed inside."""
        for step in call.steps:
            if isinstance(step, Call):
                place(step, instruction, counter[0], depth + 1)
                counter[0] += 1
                if not run(step, instruction, depth + 1, counter):
                    return False
            else:
                counter[0] += 1  # the self-CPI event's inner instruction
        return not call.fails

    stopped = False
    for i, call in enumerate(tx.calls):
        place(call, i, None, 1)
        if not stopped and not run(call, i, 1, [0]):
            stopped = True
    return out


def summary(calls: list[TxCall]) -> list[dict]:
    return [{"program": c.program, "name": c.name, "args": c.args, "accounts": c.accounts, "remaining": c.remaining,
             "instruction": c.instruction, "inner": c.inner, "depth": c.depth, "failed": c.failed, "error": c.error}
            for c in calls]


def table_rows(d: TransactionDecoder, tables: DecodedCalls) -> list[tuple]:
    """The call tables' rows as (tx, instruction, inner, program, name, row, schema), in execution order."""
    rows = []
    for (program, name), t in tables.items():
        data = table(t)
        for row in data.to_pylist():
            rows.append(((row["_tx"], row["_instruction"], -1 if row["_inner"] is None else row["_inner"]),
                         program, name, row, data.schema))
    rows.sort(key=lambda r: r[0])
    return rows


def check_rows_match(d: TransactionDecoder, calls: list[TxCall], tables: DecodedCalls) -> None:
    """Every decoded call is a row of its table, with the same values, and no other row is there."""
    rows = table_rows(d, tables)
    decoded = [c for c in calls if c.problem is None]
    assert len(rows) == len(decoded)
    for c, (_, program, name, row, s) in zip(decoded, rows):
        assert (program, name) == (c.program, c.name)
        assert (row["_tx"], row["_signature"], row["_slot"], row["_block_time"]) == (c.tx, c.signature, c.slot,
                                                                                        c.block_time)
        assert (row["_instruction"], row["_inner"], row["_depth"], row["_failed"]) == (c.instruction, c.inner,
                                                                                       c.depth, c.failed)
        error = c.error or CallError(None, None, None, None)
        assert (row["_error_code"], row["_error_name"], row["_error_message"]) == (
            error.code, error.name, error.message or error.text)
        assert {k[len("account_"):]: v for k, v in row.items() if k.startswith("account_")} == c.accounts
        assert row["_remaining"] == c.remaining
        args = {k[len("arg_"):]: k for k in row if k.startswith("arg_")}
        assert list(args) == list(c.args)
        for name_, column in args.items():
            assert same(s.field(column), row[column], c.args[name_]), (column, row[column], c.args[name_])
    problems = [c for c in calls if c.problem is not None]
    errors = table(tables.errors).to_pylist()
    assert [(e["_tx"], e["_instruction"], e["_inner"], e["program"], e["instruction"], e["message"])
            for e in errors] == [(c.tx, c.instruction, c.inner, c.program, c.name, c.problem) for c in problems]


@pytest.mark.parametrize("seed", range(40))
def test_generated_trees_give_the_modelled_calls_in_every_encoding(seed):
    rng = random.Random(seed)
    txs = [random_tx(rng) for _ in range(4)]
    want = [dict(w, tx=i) for i, (t, ws) in enumerate(txs) for w in model(t, ws)]
    d = decoder()
    for encoding in ("json", "jsonParsed", "base64", "v1"):
        objects = [encode(t, encoding) for t, _ in txs]
        calls = d.calls(objects, include_failed=True)
        assert [dict(s, tx=c.tx) for s, c in zip(summary(calls), calls)] == want, encoding
        assert all(c.problem is None for c in calls)
        check_rows_match(d, calls, d.call_tables(objects, include_failed=True))
        # Without failed transactions, theirs are left out.
        kept = [i for i, (t, ws) in enumerate(txs) if not any(w["call"].fails for w in ws)]
        assert sorted({c.tx for c in d.calls(objects)}) == sorted({w["tx"] for w in want if w["tx"] in kept})


@settings(max_examples=120, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(event_case())
def test_arguments_of_random_types_decode_as_event_fields(case):
    # The same types as an event's fields and as an instruction's arguments, in one
    # transaction: the arguments are the event's values, and the encoder's.
    idl, values = case
    fields = idl["types"][0]["type"]["fields"]
    named = borsh._is_named(fields)
    args = fields if named else [{"name": f"a{i}", "type": t} for i, t in enumerate(fields)]
    idl = {**idl, "address": A, "instructions": [instruction("act", [{"name": "who"}], args)]}
    types = borsh.type_table(idl)
    disc = bytes(idl["instructions"][0]["discriminator"])
    tx = Tx(calls=[Call(A, [("log", borsh.encode_event(idl, "Ev", v))],
                        data=disc + borsh.encode_fields(fields, v, types), accounts=[key("who")]) for v in values])
    d = TransactionDecoder([json.dumps(idl)])
    calls = d.calls([encode(tx)])
    events = [e.fields if named else {f"a{i}": v for i, v in enumerate(e.fields)} for e in d.decode([encode(tx)])]
    assert [c.args for c in calls] == events
    # As JSON text, written natively: what the command line wrote of the Python values.
    assert [c.args for c in d.calls([encode(tx)], json_fields=True)] == [
        json.dumps(jsonable(c.args), ensure_ascii=False) for c in calls]
    assert [e.fields for e in d.decode([encode(tx)], json_fields=True)] == [
        json.dumps(jsonable(e.fields), ensure_ascii=False) for e in d.decode([encode(tx)])]
    # A zero-sized last argument reads as missing under the old-version rule, as a field does.
    assert all(c.args == (v if named else {f"a{i}": x for i, x in enumerate(v)}) for c, v in zip(calls, values)
               if list(c.args.values())[-1:] != [None])
    check_rows_match(d, calls, d.call_tables([encode(tx)]))


HOSTILE_VEC = bytes(IDL_A["instructions"][1]["discriminator"]) + b"\xff\xff\xff\xff"


@pytest.mark.parametrize("bad, problem", [
    (Call(A, data="0OIl+/", accounts=[]), "instruction data is not base58"),
    (Call(A, data=bytes(IDL_A["instructions"][2]["discriminator"]) + b"\x01", accounts=[200]),
     "account index 200 is beyond the transaction's"),
    (Call(A, data=HOSTILE_VEC, accounts=[key("x")]), "unexpected end of buffer"),
])
def test_unreadable_calls_carry_the_reason_and_the_rest_decodes(bad, problem):
    good = Call(B, data=bytes(IDL_B["instructions"][0]["discriminator"]) + b"\x05\0\0\0\0", accounts=[key("owner")])
    tx = Tx(calls=[Call(C, [bad]), good])
    d = decoder()
    calls = d.calls([encode(tx)])
    assert [(c.program, c.depth, c.args is None) for c in calls] == [(A, 2, True), (B, 1, False)]
    assert calls[0].problem is not None and problem in calls[0].problem
    assert calls[1].args == {"amount": 5, "to": None} and calls[1].problem is None
    tables = d.call_tables([encode(tx)])
    check_rows_match(d, calls, tables)
    assert len(tables[(B, "deposit")]) == 1


@pytest.mark.parametrize("dedupe", [True, False])
def test_all_tables_reads_once_what_decode_tables_and_call_tables_read(dedupe):
    rng = random.Random(5)
    objects = [encode(random_tx(rng)[0], rng.choice(["json", "jsonParsed", "base64"])) for _ in range(30)]
    for tx in objects[::3]:  # events of A's, logged and self-CPI'd
        tx["meta"]["logMessages"].insert(1, borsh.log_line(borsh.discriminator("Ev") + b"\x07"))
    idl = {**IDL_A, "events": [{"name": "Ev", "discriminator": list(borsh.discriminator("Ev"))}],
           "types": [*IDL_A["types"], struct("Ev", [{"name": "n", "type": "u8"}])]}
    d = TransactionDecoder([json.dumps(idl), json.dumps(IDL_B)])
    text = "\n".join(json.dumps(o) for o in objects)
    events, calls = d.all_tables(text, include_failed=True, dedupe=dedupe, start=3)
    apart = (d.decode_tables(text, include_failed=True, dedupe=dedupe, start=3),
             d.call_tables(text, include_failed=True, start=3))
    for got, want in zip((events, calls), apart):
        assert type(got) is type(want) and got.inputs == want.inputs == 30
        assert {k: table(t).to_pylist() for k, t in [*got.items(), ("errors", got.errors)]} == \
            {k: table(t).to_pylist() for k, t in [*want.items(), ("errors", want.errors)]}
    assert sum(len(t) for t in events.values()) > 0 and sum(len(t) for t in calls.values()) > 0


@pytest.mark.parametrize("seed", range(12))
def test_hostile_instructions_stay_with_their_call(seed):
    # Generated trees whose calls' data and accounts are damaged at random: every call is still
    # listed in its place, those that cannot be read or decoded with a reason, and each table row
    # or error row is the call's.
    rng = random.Random(1000 + seed)
    txs = []
    for _ in range(6):
        tx, want = random_tx(rng)
        for w in want:
            call, roll = w["call"], rng.random()
            if roll < 0.15 and isinstance(call.data, bytes):
                cut = rng.randrange(len(call.data) + 1)
                call.data = call.data[:cut] + rng.randbytes(rng.randint(0, 6)) + call.data[cut:][:rng.randint(0, 4)]
            elif roll < 0.2:
                call.data = rng.choice(["0OIl", "\u00e9t\u00e9", "", "1" * 20000])
            elif roll < 0.25:
                call.accounts = [*call.accounts, rng.choice([255, 200, 120])]
        txs.append((tx, want))
    d = decoder()
    objects = [encode(t) for t, _ in txs]
    calls = d.calls(objects, include_failed=True)
    places = [(c.tx, c.instruction, c.inner) for c in calls]
    assert places == sorted(places, key=lambda p: (p[0], p[1], -1 if p[2] is None else p[2]))
    assert all((c.args is None) == (c.problem is not None) for c in calls)
    check_rows_match(d, calls, d.call_tables(objects, include_failed=True))
    _, tables = d.all_tables(objects, include_failed=True)
    check_rows_match(d, calls, tables)


def test_schema_names_and_items():
    d = decoder()
    assert d.instruction_names(A) == ["swap", "route", "poke", "poke_twice"]
    with pytest.raises(KeyError):
        d.instruction_names(C)
    tables = d.call_tables("[]")
    assert list(tables) == [(A, n) for n in d.instruction_names(A)] + [(B, "deposit")]
    for k, t in tables.items():
        assert schema(d.call_schema(k)) == schema(t.schema)
    assert schema(d.call_schema((A, "swap"))).names[13:] == [
        "account_user", "account_pool", "account_vaults.base", "account_vaults.quote", "account_referrer",
        "arg_amount", "arg_min_out", "arg_side", "_remaining"]
    with pytest.raises(KeyError):
        d.call_schema((A, "nothing"))
    assert repr(tables).startswith("<DecodedCalls {")
    call = d.calls([encode(Tx(calls=[Call(B, data=bytes(IDL_B["instructions"][0]["discriminator"]) + bytes(5))]))])[0]
    with pytest.raises(TypeError):
        hash(call)  # it holds dicts, as a TxEvent does
    with pytest.raises(ReadError):
        d.calls("{")
    with pytest.raises(TypeError, match="unexpected keyword argument 'dedupe'"):
        d.calls("[]", dedupe=True)


def test_start_counts_transactions_and_event_reading_is_untouched():
    d = decoder()
    tx = encode(Tx(calls=[Call(B, data=bytes(IDL_B["instructions"][0]["discriminator"]) + bytes(5))]))
    assert [c.tx for c in d.calls([tx, tx], start=10)] == [10, 11]
    assert d.call_tables([tx, tx]).inputs == 2
    assert d.decode([tx]) == []


# --- real mainnet transactions ----------------------------------------------

def real_cases() -> list[tuple[str, str]]:
    sources = TRANSACTIONS / "SOURCES.md"
    if not sources.exists():
        return []
    return re.findall(r"^\| `([^`]+)` \| `([^`]+)` \|", sources.read_text(), re.M)


@pytest.fixture(scope="module")
def real():
    text = (TRANSACTIONS / "SOURCES.md").read_text()
    ids = dict(re.findall(r"^\| ([\w-]+) \| `(\w+)` \| \d+ \| [^|]*\.json", text, re.M))
    names = {ids[n]: n for n in ids if (SHARED_IDLS / f"{n}-current.json").exists()}
    d = TransactionDecoder([(SHARED_IDLS / f"{n}-current.json").read_text() for n in names.values()])
    txs = [(file, dig(json.loads((TRANSACTIONS / file).read_text()), path)) for file, path in real_cases()]
    return d, names, txs


# The failed transactions: the error on the call whose invocation failed, and
# none where the failing program has no IDL here (a router, or a program that
# is not ours declaring the same code as one of ours that ran before).
REAL_ERRORS = {
    ("opsis_pumpamm_4MqxZnZ3.json", "buy_exact_quote_in"): (6040, "BuySlippageBelowMinBaseAmountOut"),
    ("savablock_clmm_swapv2_sd91Hoez.json", "swap_v2"): (6013, "SqrtPriceLimitOverflow"),
    ("savablock_dlmm_swap2_4p98qypP.json", "swap2"): (6003, "ExceededAmountSlippageTolerance"),
    ("savablock_jupiter_dlmm_cu_5gX767JS.json", "swap"): (None, None),
    ("savablock_pumpamm_buy_2ifGxiiU.json", "buy"): (6004, "ExceededSlippage"),
}


@pytest.mark.skipif(not real_cases(), reason="no real transactions beside the repository")
def test_every_real_call_decodes_and_failures_land_where_they_happened(real):
    d, names, txs = real
    calls = d.calls([tx for _, tx in txs], include_failed=True)
    files = [txs[c.tx][0] for c in calls]
    assert all(c.problem is None and c.args is not None for c in calls), [c.problem for c in calls if c.problem]
    assert len(calls) >= 60
    errors = {(f, c.name): (c.error.code, c.error.name) for f, c in zip(files, calls) if c.error is not None}
    assert errors == REAL_ERRORS
    assert [c.error.text for c in calls if c.error is not None and c.error.code is None] == [
        "exceeded CUs meter at BPF instruction"]
    failed_files = {f for f in files if f.startswith(("savablock_", "opsis_"))}
    assert all(c.failed == (f in failed_files) for f, c in zip(files, calls))
    # Older program versions: a pump buy from before track_volume reads it as None.
    pump = next(a for a, n in names.items() if n == "pump")
    buys = [c for c in calls if (c.program, c.name) == (pump, "buy")]
    assert any(c.args["track_volume"] is None for c in buys) and all(c.args["amount"] > 0 for c in buys)
    check_rows_match(d, calls, d.call_tables([tx for _, tx in txs], include_failed=True))
