"""Transactions as RPC nodes return them, built from a tree of invocations:
the logs the runtime writes, the inner instructions, and the three encodings
(json, jsonParsed, base64 with the wire format), for tests and benchmarks."""

from __future__ import annotations

import base64
import hashlib
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
    line) for any other log line, and nested Calls."""

    program: str
    steps: list[Any] = field(default_factory=list)
    fails: bool = False


@dataclass
class Tx:
    calls: list[Call]
    signature: str = ""
    slot: int | None = 1000
    block_time: int | None = 1700000000
    failed: bool = False
    truncate_after: int | None = None  # keep this many log lines, then "Log truncated"
    loaded: list[str] = field(default_factory=list)  # programs reached through lookup tables (v0)


def _render(tx: Tx) -> tuple[list[str], list[dict[str, Any]], list[tuple[str, bytes]]]:
    """Logs, inner instruction groups as (program, data, stackHeight), and outer (program, data)."""
    logs: list[str] = []
    groups: list[dict[str, Any]] = []
    outer: list[tuple[str, bytes]] = []

    def run(call: Call, depth: int, inner: list[dict[str, Any]]) -> None:
        logs.append(f"Program {call.program} invoke [{depth}]")
        for step in call.steps:
            if isinstance(step, Call):
                inner.append({"program": step.program, "data": b"\x01", "stackHeight": depth + 1})
                run(step, depth + 1, inner)
                continue
            kind, value = step
            if kind == "text":
                logs.append(value)
            if kind in ("log", "both"):
                logs.append(borsh.log_line(value))
            if kind in ("cpi", "both"):
                inner.append({"program": call.program, "data": EVENT_TAG + value, "stackHeight": depth + 1})
                logs.append(f"Program {call.program} invoke [{depth + 1}]")
                logs.append(f"Program {call.program} consumed 1000 of 200000 compute units")
                logs.append(f"Program {call.program} success")
        logs.append(f"Program {call.program} consumed 5000 of 200000 compute units")
        logs.append(f"Program {call.program} failed: custom program error: 0x1" if call.fails
                    else f"Program {call.program} success")

    for i, call in enumerate(tx.calls):
        inner: list[dict[str, Any]] = []
        outer.append((call.program, bytes([i])))
        run(call, 1, inner)
        if inner:
            groups.append({"index": i, "instructions": inner})
    if tx.truncate_after is not None:
        logs = logs[: tx.truncate_after] + ["Log truncated"]
    return logs, groups, outer


def _compact(n: int) -> bytes:
    out = bytearray()
    while True:
        byte = n & 0x7F
        n >>= 7
        out.append(byte | (0x80 if n else 0))
        if not n:
            return bytes(out)


def encode(tx: Tx, encoding: str = "json") -> dict[str, Any]:
    """The getTransaction result of `tx` in `encoding` ("json", "jsonParsed" or "base64")."""
    logs, groups, outer = _render(tx)
    signer = key("fee payer")
    statics = [signer]
    for program, _ in outer:
        if program not in statics:
            statics.append(program)
    for g in groups:
        for ix in g["instructions"]:
            if ix["program"] not in statics and ix["program"] not in tx.loaded:
                statics.append(ix["program"])
    loaded = list(tx.loaded)
    keys = statics + loaded
    signature = tx.signature or borsh.b58encode(hashlib.sha512(repr(logs).encode()).digest())
    meta = {
        "err": {"InstructionError": [0, {"Custom": 1}]} if tx.failed else None,
        "fee": 5000, "preBalances": [], "postBalances": [],
        "logMessages": logs,
        "innerInstructions": [],
        "loadedAddresses": {"writable": [], "readonly": loaded},
    }
    version: Any = 0 if loaded else "legacy"
    for g in groups:
        items = []
        for ix in g["instructions"]:
            item = {"accounts": [], "data": borsh.b58encode(ix["data"]), "stackHeight": ix["stackHeight"]}
            if encoding == "jsonParsed":
                item["programId"] = ix["program"]
            else:
                item["programIdIndex"] = keys.index(ix["program"])
            items.append(item)
        meta["innerInstructions"].append({"index": g["index"], "instructions": items})
    instructions = []
    for program, data in outer:
        if encoding == "jsonParsed":
            instructions.append({"programId": program, "accounts": [], "data": borsh.b58encode(data), "stackHeight": None})
        else:
            instructions.append({"programIdIndex": keys.index(program), "accounts": [], "data": borsh.b58encode(data),
                                 "stackHeight": None})
    if encoding == "base64":
        message = bytearray()
        if loaded:
            message.append(0x80)
        message += bytes([1, 0, len(statics) - 1]) + _compact(len(statics))
        for k in statics:
            message += borsh.b58decode(k)
        message += bytes(32)  # recent blockhash
        message += _compact(len(outer))
        for program, data in outer:
            message += bytes([keys.index(program)]) + _compact(0) + _compact(len(data)) + data
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
                                                              "recentBlockhash": key("blockhash")}}
        if loaded:
            transaction["message"]["addressTableLookups"] = [
                {"accountKey": key("table"), "writableIndexes": [], "readonlyIndexes": list(range(len(loaded)))}]
    out: dict[str, Any] = {"slot": tx.slot, "blockTime": tx.block_time, "meta": meta, "transaction": transaction,
                           "version": version}
    return out
