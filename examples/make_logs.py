"""Writes examples/logs.txt: transaction logs of the example program, its
events encoded with the test-side Borsh encoder (tests/borsh.py).

    python3 examples/make_logs.py
"""

from __future__ import annotations

import hashlib
import json
import random
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests"))

import borsh  # noqa: E402

IDL = json.loads((HERE / "events_idl.json").read_text())
PROGRAM = IDL["address"]
TOKEN = "TokenkegQfeZyiNwAJbNbGKPFXCWuBvf9Ss623VxfA"
BUDGET = "ComputeBudget111111111111111111111111111111"


def key(label: str) -> str:
    return borsh.b58encode(hashlib.sha256(label.encode()).digest())


def event_line(name: str, value: dict) -> str:
    return borsh.log_line(borsh.encode_event(IDL, name, value))


def transaction(rng: random.Random, instruction: str, events: list[tuple[str, dict]], transfers: int) -> list[str]:
    lines = [
        f"Program {BUDGET} invoke [1]",
        f"Program {BUDGET} success",
        f"Program {PROGRAM} invoke [1]",
        f"Program log: Instruction: {instruction}",
    ]
    for _ in range(transfers):
        lines += [
            f"Program {TOKEN} invoke [2]",
            "Program log: Instruction: TransferChecked",
            f"Program {TOKEN} consumed {rng.randint(4000, 6500)} of {rng.randint(150000, 190000)} compute units",
            f"Program {TOKEN} success",
        ]
    lines += [event_line(name, value) for name, value in events]
    used = rng.randint(20000, 90000)
    lines += [f"Program {PROGRAM} consumed {used} of 200000 compute units", f"Program {PROGRAM} success"]
    return lines


def main() -> None:
    rng = random.Random(2024)
    pool, usdc, sol = key("pool"), key("usdc mint"), "So11111111111111111111111111111111111111112"
    out: list[str] = []
    for i in range(3):
        side = "Buy" if i % 2 == 0 else "Sell"
        swap = {
            "pool": pool, "user": key(f"trader {i}"),
            "input_mint": usdc if side == "Buy" else sol, "output_mint": sol if side == "Buy" else usdc,
            "amount_in": rng.randint(10**6, 10**10), "amount_out": rng.randint(10**6, 10**10),
            "fee_paid": rng.randint(100, 10**6), "sqrt_price_x64": rng.getrandbits(100),
            "protocol_pnl": rng.randint(-(2**80), 2**80),
            "referrer": key(f"referrer {i}") if i == 1 else None,
            "side": side, "slot": 289_000_000 + i * 7,
        }
        out += transaction(rng, "Swap", [("SwapExecuted", swap)], transfers=2)
    out += transaction(rng, "Deposit", [("LiquidityChanged", {
        "pool": pool, "provider": key("lp"),
        "change": {"Deposit": {"lp_tokens": 1_250_000, "amounts": [5_000_000, 31_000_000_000]}},
        "tick_range": [-443636, 443636], "reserves_after": [905_000_000, 5_600_000_000_000],
    })], transfers=2)
    out += transaction(rng, "Rebalance", [("LiquidityChanged", {
        "pool": pool, "provider": key("keeper"), "change": {"Rebalance": [-120, 340]},
        "tick_range": [-120, 340], "reserves_after": [],
    })], transfers=0)
    out += transaction(rng, "PostProposal", [("ProposalPosted", {
        "proposal": key("proposal 7"), "author": key("council"),
        "title": "Lower the swap fee on the SOL/USDC pool to 0.25 %",
        "description": "Volume moved to competing venues after the last fee change.\n"
                       "This proposal lowers the fee from 0.30 % to 0.25 % for 90 days — "
                       "then the council reviews the numbers. Ünïcödé is fine too: 手数料を下げる.",
        "tags": ["fees", "sol-usdc", "treasury"],
        "options": [{"label": "Yes", "votes": 0}, {"label": "No", "votes": 0}, {"label": "Abstain", "votes": 0}],
        "discussion_url": "https://forum.example.org/t/fee-change/7", "voting_ends_at": 1_735_689_600,
    })], transfers=0)
    out += transaction(rng, "UpdateOracle", [("OracleUpdated", {
        "feed_id": list(b"SOL/USD\0"), "price": 187.4213, "confidence": borsh.f32_value(0.0425),
        "exponent": -8, "publish_slot": 289_000_100, "raw_report": bytes(range(12)),
    })], transfers=0)
    out.append(f"Program {PROGRAM} invoke [1]")
    out.append("Program log: AnchorError occurred. Error Code: SlippageExceeded. Error Number: 6004.")
    out.append(f"Program {PROGRAM} consumed 15230 of 200000 compute units")
    out.append(f"Program {PROGRAM} failed: custom program error: 0x1774")
    (HERE / "logs.txt").write_text("\n".join(out) + "\n")


if __name__ == "__main__":
    main()
