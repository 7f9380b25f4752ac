"""AccountDecoder.decode_tables of two builds, timed in interleaved rounds in
one process: each real account type alone (a getProgramAccounts response of
one account cycled), then the mix bench/accounts.py times. SITEs as for
bench/ab.py.

    python3 bench/ab_accounts.py OLD_SITE NEW_SITE [--accounts N] [--runs N]
"""

from __future__ import annotations

import base64
import json
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import accounts  # noqa: E402
import timing  # noqa: E402
from ab import two_builds  # noqa: E402


def response(rows: list[tuple[bytes, str]]) -> bytes:
    entries = [{"pubkey": "11111111111111111111111111111111", "account": {
        "data": [base64.b64encode(data).decode(), "base64"], "owner": owner, "lamports": 1, "executable": False,
        "rentEpoch": 0}} for data, owner in rows]
    return json.dumps({"jsonrpc": "2.0", "id": 1, "result": entries}).encode()


def main() -> None:
    args, old, new = two_builds(__doc__, "_tables", "accounts", 5_000, 9)
    if accounts.sample(1) is None:
        raise SystemExit("no real accounts beside the repository")
    modules = {"old": old, "new": new}
    found = [(accounts.account_data(f), idl, owner) for f, idl, owner in accounts.ACCOUNTS]
    idls = sorted({idl for _, idl, _ in found})
    owners = {idl: owner for _, idl, owner in found}
    texts = [(accounts.SHARED / "idls" / name).read_text() for name in idls]
    decoders = {k: m.AccountDecoder(texts, addresses={i: owners[n] for i, n in enumerate(idls)})
                for k, m in modules.items()}
    n = args.accounts
    inputs = [(f"{Path(f).stem[:28]} ({len(data):,} B)", response([(data, owner)] * n))
              for (data, _, owner), (f, _, _) in zip(found, accounts.ACCOUNTS)]
    mix = [found[i % len(found)] for i in range(n)]
    inputs.append(("the mix of bench/accounts.py", response([(data, owner) for data, _, owner in mix])))
    print(f"{'accounts (' + format(n, ',') + ' per input)':<44} {'old ns':>8} {'new ns':>8} {'new/old':>8}")
    for label, text in inputs:
        t = timing.interleaved({k: (lambda d=d: d.decode_tables(text)) for k, d in decoders.items()}, runs=args.runs)
        print(f"{label:<44} {t.median('old') / n:8.0f} {t.median('new') / n:8.0f} {t.ratio('new', 'old'):8.3f}",
              flush=True)


if __name__ == "__main__":
    main()
