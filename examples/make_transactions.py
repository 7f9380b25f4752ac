"""Writes sample transactions of the example program (examples/events_idl.json)
as RPC getTransaction results, JSON lines, a few files of them: what `make demo`
exports to Parquet. Events are encoded with the test-side encoders
(tests/borsh.py, tests/transactions.py); some are logged, some self-CPI'd, some
transactions failed, and other programs run alongside.

    python3 examples/make_transactions.py OUT_DIR [--files N] [--per-file N]
"""

from __future__ import annotations

import argparse
import hashlib
import json
import random
import sys
from pathlib import Path
from typing import Any

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))

import borsh  # noqa: E402
from transactions import Call, Tx, encode, key  # noqa: E402

IDL = json.loads((HERE / "events_idl.json").read_text())
PROGRAM = IDL["address"]
TOKEN = "TokenkegQfeZyiNwAJbNbGKPFXCWuBvf9Ss623VQ5DA"
BUDGET = "ComputeBudget111111111111111111111111111111"


POOLS = [key(f"pool {i}") for i in range(6)]
MINTS = [key(f"mint {i}") for i in range(8)]


def swap(rng: random.Random, slot: int) -> dict[str, Any]:
    a, b = rng.sample(MINTS, 2)
    return {
        "pool": rng.choice(POOLS), "user": key(f"trader {rng.randrange(500)}"), "input_mint": a, "output_mint": b,
        "amount_in": rng.randint(10**5, 10**11), "amount_out": rng.randint(10**5, 10**11),
        "fee_paid": rng.randint(100, 10**7), "sqrt_price_x64": rng.getrandbits(100),
        "protocol_pnl": rng.randint(-(2**80), 2**80),
        "referrer": key(f"referrer {rng.randrange(20)}") if rng.random() < 0.2 else None,
        "side": rng.choice(["Buy", "Sell"]), "slot": slot,
    }


def liquidity(rng: random.Random) -> dict[str, Any]:
    change = rng.choice([
        {"Deposit": {"lp_tokens": rng.getrandbits(40), "amounts": [rng.getrandbits(40), rng.getrandbits(40)]}},
        {"Withdraw": {"lp_tokens": rng.getrandbits(40), "fee": rng.getrandbits(20)}},
        {"Rebalance": [rng.randint(-(2**40), 2**40), rng.randint(-(2**40), 2**40)]},
        "Close",
    ])
    low = rng.randint(-443636, 443000)
    return {"pool": rng.choice(POOLS), "provider": key(f"lp {rng.randrange(50)}"), "change": change,
            "tick_range": [low, rng.randint(low, 443636)],
            "reserves_after": [rng.getrandbits(50) for _ in range(rng.randint(0, 3))]}


def proposal(rng: random.Random, n: int) -> dict[str, Any]:
    return {
        "proposal": key(f"proposal {n}"), "author": key("council"), "title": f"Proposal {n}: adjust pool fees",
        "description": "Moves the fee of one pool by a few basis points for 30 days — then the council reviews it.",
        "tags": rng.sample(["fees", "treasury", "oracle", "pools", "grants"], rng.randint(0, 3)),
        "options": [{"label": label, "votes": rng.getrandbits(30)} for label in ("Yes", "No", "Abstain")],
        "discussion_url": f"https://forum.example.org/t/{n}" if rng.random() < 0.7 else None,
        "voting_ends_at": 1_735_689_600 + n * 86_400,
    }


def oracle(rng: random.Random, slot: int) -> dict[str, Any]:
    return {"feed_id": list(rng.choice([b"SOL/USD\0", b"BTC/USD\0", b"ETH/USD\0"])),
            "price": round(rng.uniform(10, 100_000), 4), "confidence": borsh.f32_value(rng.uniform(0, 1)),
            "exponent": -8, "publish_slot": slot, "raw_report": rng.randbytes(rng.randint(0, 24))}


SWAP_IX = next(ix for ix in IDL["instructions"] if ix["name"] == "swap")


def transaction(rng: random.Random, n: int, slot: int) -> Tx:
    def event(name: str, value: dict[str, Any]) -> tuple[str, bytes]:
        # Newer program versions emit through self-CPI, older ones log; the
        # oldest wrote swaps without their last field (a body the IDL cannot read).
        body = borsh.encode_event(IDL, name, value)
        if name == "SwapExecuted" and rng.random() < 0.01:
            body = body[:-8]
        return ("cpi" if rng.random() < 0.3 else "log", body)

    kind = rng.random()
    data, accounts = None, []
    if kind < 0.75:
        steps: list[Any] = [("text", "Program log: Instruction: Swap"),
                            Call(TOKEN, [("text", "Program log: Transfer")])]
        steps += [event("SwapExecuted", swap(rng, slot)) for _ in range(rng.choice([1, 1, 1, 2, 3]))]
        # The swap instruction itself: a call with its arguments and accounts.
        amount = rng.randrange(10**6, 10**10)
        data = bytes(SWAP_IX["discriminator"]) + borsh.encode_fields(
            SWAP_IX["args"], {"amount_in": amount, "min_amount_out": amount * 9 // 10})
        accounts = [key("demo pool"), key(f"demo user {rng.randrange(50)}")]
    elif kind < 0.9:
        steps = [("text", "Program log: Instruction: ChangeLiquidity"), event("LiquidityChanged", liquidity(rng))]
    elif kind < 0.97:
        steps = [("text", "Program log: Instruction: UpdateOracle"), event("OracleUpdated", oracle(rng, slot))]
    else:
        steps = [("text", "Program log: Instruction: PostProposal"), event("ProposalPosted", proposal(rng, n))]
    failed = rng.random() < 0.03
    calls = [Call(BUDGET), Call(PROGRAM, steps, fails=failed, data=data, accounts=accounts)]
    signature = borsh.b58encode(hashlib.sha512(f"demo {n}".encode()).digest())
    return Tx(calls, signature=signature, slot=slot, block_time=1_735_000_000 + slot // 3, failed=failed)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("out", type=Path)
    parser.add_argument("--files", type=int, default=4)
    parser.add_argument("--per-file", type=int, default=500)
    args = parser.parse_args()
    args.out.mkdir(parents=True, exist_ok=True)
    rng = random.Random(2025)
    n = 0
    for f in range(args.files):
        lines = []
        for _ in range(args.per_file):
            slot = 310_000_000 + n // 2
            lines.append(json.dumps(encode(transaction(rng, n, slot)), separators=(",", ":")))
            n += 1
        (args.out / f"transactions-{f:02d}.jsonl").write_text("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
