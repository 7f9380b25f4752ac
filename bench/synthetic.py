"""The benchmark's own IDL (a swap-like, a small and a text-heavy event), random
values for its events, and the log lines of the batches built from them."""

from __future__ import annotations

import random
import string
from typing import Any

from encoder import borsh

SWAP = "SwapEvent"
SMALL = "SmallEvent"
TEXT = "TextEvent"


def _struct(name: str, fields: list[tuple[str, Any]]) -> dict[str, Any]:
    return {"name": name, "type": {"kind": "struct", "fields": [{"name": n, "type": t} for n, t in fields]}}


SIDE = {"defined": {"name": "Side"}}
ORIGIN = {"defined": {"name": "Origin"}}

IDL: dict[str, Any] = {
    "address": "11111111111111111111111111111111",
    "metadata": {"name": "bench", "version": "0.1.0", "spec": "0.1.0"},
    "instructions": [],
    "events": [{"name": n, "discriminator": list(borsh.discriminator(n))} for n in (SWAP, SMALL, TEXT)],
    "types": [
        _struct(SWAP, [
            ("amm", "pubkey"), ("input_mint", "pubkey"), ("output_mint", "pubkey"), ("user", "pubkey"),
            ("amount_in", "u64"), ("amount_out", "u64"), ("fee", "u64"),
            ("sqrt_price", "i128"), ("exact_in", "bool"), ("limit", {"option": "u64"}), ("side", SIDE),
        ]),
        {"name": "Side", "type": {"kind": "enum", "variants": [{"name": "Buy"}, {"name": "Sell"}]}},
        _struct(SMALL, [("sequence", "u64"), ("amount", "u64")]),
        _struct(TEXT, [
            ("memo", "string"), ("data", "bytes"), ("samples", {"vec": "u32"}), ("origin", ORIGIN),
        ]),
        _struct("Origin", [("slot", "u64"), ("index", "u16"), ("label", "string"), ("signer", "pubkey")]),
    ],
}
TYPES = borsh.type_table(IDL)
_FIELDS = {name: borsh.event_fields(IDL, name) for name in (SWAP, SMALL, TEXT)}
_TEXT_CHARS = string.ascii_letters + string.digits + " "


def _key(rng: random.Random) -> bytes:
    return rng.randbytes(32)


def _value(name: str, rng: random.Random) -> dict[str, Any]:
    if name == SWAP:
        return {
            "amm": _key(rng), "input_mint": _key(rng), "output_mint": _key(rng), "user": _key(rng),
            "amount_in": rng.getrandbits(48), "amount_out": rng.getrandbits(48), "fee": rng.getrandbits(24),
            # A Q64.64 price: wider than 64 bits, as pool prices are.
            "sqrt_price": rng.randint(-(2**96), 2**96),
            "exact_in": rng.random() < 0.5,
            "limit": None if rng.random() < 0.5 else rng.getrandbits(40),
            "side": rng.choice(["Buy", "Sell"]),
        }
    if name == SMALL:
        return {"sequence": rng.getrandbits(32), "amount": rng.getrandbits(64)}
    return {
        "memo": "".join(rng.choices(_TEXT_CHARS, k=40)),
        "data": rng.randbytes(64),
        "samples": [rng.getrandbits(32) for _ in range(16)],
        "origin": {"slot": rng.getrandbits(40), "index": rng.getrandbits(16),
                   "label": "".join(rng.choices(_TEXT_CHARS, k=12)), "signer": _key(rng)},
    }


def event_line(name: str, rng: random.Random) -> str:
    payload = borsh.discriminator(name) + borsh.encode_fields(_FIELDS[name], _value(name, rng), TYPES)
    return borsh.log_line(payload)


def event_lines(name: str, count: int, rng: random.Random) -> list[str]:
    return [event_line(name, rng) for _ in range(count)]


_INSTRUCTIONS = ["Swap", "Route", "SharedAccountsRoute", "Deposit", "Withdraw", "Transfer", "CloseAccount"]


def transaction_lines(count: int, rng: random.Random) -> tuple[list[str], int]:
    """`count` lines of transactions of five lines each: invoke, instruction
    name, one event of the three kinds, compute units, success (80% of the
    lines are not events). Returns the lines and how many are events."""
    programs = [borsh.b58encode(_key(rng)) for _ in range(8)]
    lines: list[str] = []
    events = 0
    while len(lines) < count:
        program = rng.choice(programs)
        budget = rng.choice([200000, 400000, 1400000])
        tx = [
            f"Program {program} invoke [1]",
            f"Program log: Instruction: {rng.choice(_INSTRUCTIONS)}",
            event_line(rng.choice((SWAP, SMALL, TEXT)), rng),
            f"Program {program} consumed {rng.randint(1000, budget)} of {budget} compute units",
            f"Program {program} success",
        ]
        lines += tx
        events += 1
    if len(lines) > count:
        events -= sum(1 for line in lines[count:] if line.startswith("Program data: "))
        del lines[count:]
    return lines, events


def split_transactions(lines: list[str]) -> tuple[list[str], list[str]]:
    """The non-event and the event lines of a transaction batch."""
    other = [line for line in lines if not line.startswith("Program data: ")]
    events = [line for line in lines if line.startswith("Program data: ")]
    return other, events


def repeat_to(lines: list[str], count: int) -> list[str]:
    """`lines` cycled to `count` lines (the same str objects reused)."""
    if not lines:
        return []
    return (lines * (count // len(lines) + 1))[:count]
