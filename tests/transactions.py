"""Transactions as RPC nodes return them, built from a tree of invocations:
the logs the runtime writes, the inner instructions with their data and
accounts, failures, and the three encodings (json, jsonParsed, base64 with the
wire format), for tests and benchmarks."""

from __future__ import annotations

import base64
import hashlib
import re
from dataclasses import dataclass, field
from typing import Any

import borsh

EVENT_TAG = bytes.fromhex("e445a52e51cb9a1d")


def key(name: str) -> str:
    """A deterministic base58 address for a name."""
    return borsh.b58encode(hashlib.sha256(name.encode()).digest())


@dataclass
class Call:
    """One invocation: its program and what it does, in order. `steps` holds
    ("log", payload) for a "Program data:" line, ("cpi", payload) for a
    self-CPI event, ("both", payload) for both from one emission, ("text",
    line) for any other log line, and nested Calls.

    `data` is the instruction's data (a str is written as the node's text, as
    it is; None: a filler byte), `accounts` its accounts (addresses, or raw
    key indexes as int). A call that `fails` fails with custom error `code`;
    the calls around it fail with the same reason and nothing runs after."""

    program: str
    steps: list[Any] = field(default_factory=list)
    fails: bool = False
    data: bytes | str | None = None
    accounts: list[str | int] = field(default_factory=list)
    code: int = 1


@dataclass
class Tx:
    calls: list[Call]
    signature: str = ""
    slot: int | None = 1000
    block_time: int | None = 1700000000
    failed: bool = False
    truncate_after: int | None = None  # keep this many log lines, then "Log truncated"
    loaded: list[str] = field(default_factory=list)  # programs reached through lookup tables (v0)


def _render(tx: Tx) -> tuple[list[str], list[dict[str, Any]], list[tuple[str, Any, list[Any]]], Any]:
    """Logs, inner instruction groups as (program, data, accounts, stackHeight),
    outer (program, data, accounts), and the failure (outer index, code) or None."""
    logs: list[str] = []
    groups: list[dict[str, Any]] = []
    outer: list[tuple[str, Any, list[Any]]] = []

    def run(call: Call, depth: int, inner: list[dict[str, Any]]) -> int | None:
        """The code it failed with, or None."""
        logs.append(f"Program {call.program} invoke [{depth}]")
        for step in call.steps:
            if isinstance(step, Call):
                inner.append({"program": step.program, "data": b"\x01" if step.data is None else step.data,
                              "accounts": step.accounts, "stackHeight": depth + 1})
                code = run(step, depth + 1, inner)
                if code is not None:
                    logs.append(f"Program {call.program} consumed 5000 of 200000 compute units")
                    logs.append(f"Program {call.program} failed: custom program error: {code:#x}")
                    return code
                continue
            kind, value = step
            if kind == "text":
                logs.append(value)
            if kind in ("log", "both"):
                logs.append(borsh.log_line(value))
            if kind in ("cpi", "both"):
                inner.append({"program": call.program, "data": EVENT_TAG + value, "accounts": [],
                              "stackHeight": depth + 1})
                logs.append(f"Program {call.program} invoke [{depth + 1}]")
                logs.append(f"Program {call.program} consumed 1000 of 200000 compute units")
                logs.append(f"Program {call.program} success")
        logs.append(f"Program {call.program} consumed 5000 of 200000 compute units")
        if call.fails:
            logs.append(f"Program {call.program} failed: custom program error: {call.code:#x}")
            return call.code
        logs.append(f"Program {call.program} success")
        return None

    failure = None
    for i, call in enumerate(tx.calls):
        inner: list[dict[str, Any]] = []
        outer.append((call.program, bytes([i]) if call.data is None else call.data, call.accounts))
        if failure is not None:
            continue  # the transaction stopped at the failure
        code = run(call, 1, inner)
        if code is not None:
            failure = (i, code)
        if inner:
            groups.append({"index": i, "instructions": inner})
    if tx.truncate_after is not None:
        logs = logs[: tx.truncate_after] + ["Log truncated"]
    return logs, groups, outer, failure


def _compact(n: int) -> bytes:
    out = bytearray()
    while True:
        byte = n & 0x7F
        n >>= 7
        out.append(byte | (0x80 if n else 0))
        if not n:
            return bytes(out)


def v1_wire(message: dict[str, Any], signatures: list[str], config: dict[str, Any] | None = None) -> bytes:
    """The version 1 wire form of a JSON `message` that loads no addresses:
    the message first (config values for what `config` sets), then the
    signatures."""
    config = config or {}
    header = message.get("header") or {}
    mask, values = 0, b""
    if config.get("priority_fee") is not None:
        mask |= 3
        values += config["priority_fee"].to_bytes(8, "little")
    for bit, name in ((2, "compute_unit_limit"), (3, "loaded_accounts_data_size_limit"), (4, "heap_size")):
        if config.get(name) is not None:
            mask |= 1 << bit
            values += config[name].to_bytes(4, "little")
    keys, instructions = message["accountKeys"], message["instructions"]
    out = bytearray([0x81, header.get("numRequiredSignatures", len(signatures)),
                     header.get("numReadonlySignedAccounts", 0), header.get("numReadonlyUnsignedAccounts", 0)])
    out += mask.to_bytes(4, "little") + borsh.b58decode(message["recentBlockhash"]).rjust(32, b"\0")
    out += bytes([len(instructions), len(keys)])
    for k in keys:
        out += borsh.b58decode(k).rjust(32, b"\0")
    out += values
    datas = [borsh.b58decode(ix["data"]) for ix in instructions]
    for ix, data in zip(instructions, datas):
        out += bytes([ix["programIdIndex"], len(ix["accounts"])]) + len(data).to_bytes(2, "little")
    for ix, data in zip(instructions, datas):
        out += bytes(ix["accounts"]) + data
    for sig in signatures:
        out += borsh.b58decode(sig).rjust(64, b"\0")
    return bytes(out)


def legacy_wire(message: dict[str, Any], signatures: list[str], v0: bool = False) -> bytes:
    """The legacy wire form (signatures first) of a JSON `message` that loads
    no addresses; with `v0`, the same as version 0, with the message's address
    table lookups."""
    header = message.get("header") or {}
    out = bytearray(_compact(len(signatures)))
    for sig in signatures:
        out += borsh.b58decode(sig).rjust(64, b"\0")
    if v0:
        out.append(0x80)
    out += bytes([header.get("numRequiredSignatures", len(signatures)), header.get("numReadonlySignedAccounts", 0),
                  header.get("numReadonlyUnsignedAccounts", 0)])
    out += _compact(len(message["accountKeys"]))
    for k in message["accountKeys"]:
        out += borsh.b58decode(k).rjust(32, b"\0")
    out += borsh.b58decode(message["recentBlockhash"]).rjust(32, b"\0") + _compact(len(message["instructions"]))
    for ix in message["instructions"]:
        data = borsh.b58decode(ix["data"])
        out += bytes([ix["programIdIndex"]]) + _compact(len(ix["accounts"])) + bytes(ix["accounts"])
        out += _compact(len(data)) + data
    if v0:
        lookups = message.get("addressTableLookups") or []
        out += _compact(len(lookups))
        for lookup in lookups:
            out += borsh.b58decode(lookup["accountKey"]).rjust(32, b"\0")
            out += _compact(len(lookup["writableIndexes"])) + bytes(lookup["writableIndexes"])
            out += _compact(len(lookup["readonlyIndexes"])) + bytes(lookup["readonlyIndexes"])
    return bytes(out)


def as_v1(tx: dict[str, Any], config: dict[str, Any] | None = None) -> dict[str, Any] | None:
    """A getTransaction result in json encoding as the same transaction in
    version 1 wire form (base64), or None when it loads addresses (or is
    jsonParsed)."""
    message = tx["transaction"]["message"]
    if not all(isinstance(k, str) for k in message["accountKeys"]):
        return None
    if message.get("addressTableLookups") or (tx.get("meta") or {}).get("loadedAddresses", {}).get("readonly") or \
            (tx.get("meta") or {}).get("loadedAddresses", {}).get("writable"):
        return None
    wire = v1_wire(message, tx["transaction"]["signatures"], config)
    return {**tx, "version": 1, "transaction": [base64.b64encode(wire).decode(), "base64"]}


def encode(tx: Tx, encoding: str = "json") -> dict[str, Any]:
    """The getTransaction result of `tx` in `encoding` ("json", "jsonParsed",
    "base64", or "v1": base64 of a version 1 transaction, for one that loads
    no addresses)."""
    if encoding == "v1":
        out = as_v1(encode(tx, "json"))
        assert out is not None, "version 1 transactions load no addresses"
        return out
    logs, groups, outer, failure = _render(tx)
    signer = key("fee payer")
    statics = [signer]
    for program, _, _ in outer:
        if program not in statics:
            statics.append(program)
    for g in groups:
        for ix in g["instructions"]:
            if ix["program"] not in statics and ix["program"] not in tx.loaded:
                statics.append(ix["program"])
    for accounts in [a for _, _, a in outer] + [ix["accounts"] for g in groups for ix in g["instructions"]]:
        for a in accounts:
            if isinstance(a, str) and a not in statics and a not in tx.loaded:
                statics.append(a)
    loaded = list(tx.loaded)
    keys = statics + loaded

    def indexes(accounts: list[Any]) -> list[int]:
        return [a if isinstance(a, int) else keys.index(a) for a in accounts]

    def addresses(accounts: list[Any]) -> list[str]:
        return [keys[a] if isinstance(a, int) else a for a in accounts]

    def text(data: Any) -> str:
        return data if isinstance(data, str) else borsh.b58encode(data)

    signature = tx.signature or borsh.b58encode(hashlib.sha512(repr(logs).encode()).digest())
    if failure is None and tx.failed:
        failure = (0, 1)
    meta = {
        "err": {"InstructionError": [failure[0], {"Custom": failure[1]}]} if failure else None,
        "fee": 5000, "preBalances": [], "postBalances": [],
        "logMessages": logs,
        "innerInstructions": [],
        "loadedAddresses": {"writable": [], "readonly": loaded},
    }
    version: Any = 0 if loaded else "legacy"
    for g in groups:
        items = []
        for ix in g["instructions"]:
            item = {"accounts": indexes(ix["accounts"]), "data": text(ix["data"]), "stackHeight": ix["stackHeight"]}
            if encoding == "jsonParsed":
                item["programId"] = ix["program"]
                item["accounts"] = addresses(ix["accounts"])
            else:
                item["programIdIndex"] = keys.index(ix["program"])
            items.append(item)
        meta["innerInstructions"].append({"index": g["index"], "instructions": items})
    instructions = []
    for program, data, accounts in outer:
        if encoding == "jsonParsed":
            instructions.append({"programId": program, "accounts": addresses(accounts), "data": text(data),
                                 "stackHeight": None})
        else:
            instructions.append({"programIdIndex": keys.index(program), "accounts": indexes(accounts),
                                 "data": text(data), "stackHeight": None})
    if encoding == "base64":
        message = bytearray()
        if loaded:
            message.append(0x80)
        message += bytes([1, 0, len(statics) - 1]) + _compact(len(statics))
        for k in statics:
            message += borsh.b58decode(k)
        message += bytes(32)  # recent blockhash
        message += _compact(len(outer))
        for program, data, accounts in outer:
            message += (bytes([keys.index(program)]) + _compact(len(accounts)) + bytes(indexes(accounts))
                        + _compact(len(data)) + data)
        if loaded:
            message += _compact(1) + bytes(32) + _compact(0) + _compact(len(loaded)) + bytes(range(len(loaded)))
        wire = _compact(1) + borsh.b58decode(signature).rjust(64, b"\0") + bytes(message)
        transaction: Any = [base64.b64encode(wire).decode(), "base64"]
    else:
        account_keys: list[Any] = keys
        if encoding == "jsonParsed":
            account_keys = [{"pubkey": k, "signer": k == signer, "writable": k == signer,
                             "source": "lookupTable" if k in loaded else "transaction"} for k in keys]
        transaction = {"signatures": [signature], "message": {"accountKeys": account_keys, "instructions": instructions,
                                                              "recentBlockhash": key("blockhash"),
                                                              "header": {"numRequiredSignatures": 1,
                                                                         "numReadonlySignedAccounts": 0,
                                                                         "numReadonlyUnsignedAccounts": len(statics) - 1}}}
        if loaded:
            transaction["message"]["addressTableLookups"] = [
                {"accountKey": key("table"), "writableIndexes": [], "readonlyIndexes": list(range(len(loaded)))}]
    out: dict[str, Any] = {"slot": tx.slot, "blockTime": tx.block_time, "meta": meta, "transaction": transaction,
                           "version": version}
    return out


_STRING = re.compile(r'"((?:[^"\\]|\\.)*)"(\s*:)?')


def escape_values(text: str) -> str:
    """`text` (JSON) with every character of every string value written as a
    \\u escape: the same value to any JSON reader. Keys stay as they are."""
    def one(m: re.Match[str]) -> str:
        if m.group(2) or "\\" in m.group(1):
            return m.group(0)
        return '"' + "".join(f"\\u{ord(c):04x}" for c in m.group(1)) + '"'
    return _STRING.sub(one, text)

