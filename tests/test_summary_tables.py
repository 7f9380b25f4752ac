"""The tables that need no IDL, transactions and balances, against the
transactions' own meta (fees, balances, compute budget)."""

from __future__ import annotations

import base64
import json
from pathlib import Path

import pytest

from brisquel import TransactionDecoder
from transactions import v1_wire

pa = pytest.importorskip("pyarrow")

TRANSACTIONS = Path(__file__).resolve().parent.parent.parent / "shared" / "transactions"
if not any(TRANSACTIONS.glob("*.json")):
    pytest.skip("no real transactions beside the repository", allow_module_level=True)


def _real() -> list[dict]:
    out = []
    for path in sorted(TRANSACTIONS.glob("*.json")):
        value = json.loads(path.read_text())
        tx = value.get("result", value) if isinstance(value, dict) else None
        if isinstance(tx, dict) and isinstance(tx.get("meta"), dict) and "fee" in tx["meta"]:
            out.append(tx)
    return out


def _signature_count(tx: dict) -> int:
    encoded = tx["transaction"]
    if isinstance(encoded, dict):
        return len(encoded["signatures"])
    wire = base64.b64decode(encoded[0])
    return wire[0]


def _rows(table) -> list[dict]:
    return pa.table(table).to_pylist()


@pytest.mark.parametrize("as_objects", [False, True])
def test_summary_tables_agree_with_meta(as_objects):
    txs = _real()
    decoder = TransactionDecoder([])
    tables = decoder.transaction_tables(txs if as_objects else json.dumps(txs))
    rows = _rows(tables["transactions"])
    balances = _rows(tables["balances"])
    assert len(rows) == len(txs)
    budgets = 0
    for i, (tx, row) in enumerate(zip(txs, rows)):
        meta = tx["meta"]
        assert row["_tx"] == i and row["fee"] == meta["fee"]
        assert row["compute_units_consumed"] == meta.get("computeUnitsConsumed")
        assert (row["error"] is None) == (meta["err"] is None)
        if meta["err"] is not None:
            assert json.loads(row["error"]) == meta["err"]
        assert row["version"] == str(tx.get("version", "legacy"))
        assert row["programs"] and not row["logs_truncated"] and row["problem"] is None
        if row["priority_fee"] is not None:  # the fee is 5,000 lamports a signature and the priority fee
            budgets += 1
            assert meta["fee"] == 5000 * _signature_count(tx) + row["priority_fee"]
        mine = [b for b in balances if b["_tx"] == i]
        sol = {b["account_index"]: (b["pre"], b["post"]) for b in mine if b["mint"] is None}
        assert sol == {k: (a, b) for k, (a, b) in enumerate(zip(meta["preBalances"], meta["postBalances"])) if a != b}
        tokens = {b["account_index"]: (b["mint"], b["owner"], b["pre"], b["post"], b["decimals"])
                  for b in mine if b["mint"] is not None}
        pre = {t["accountIndex"]: t for t in meta.get("preTokenBalances") or []}
        post = {t["accountIndex"]: t for t in meta.get("postTokenBalances") or []}
        expected = {}
        for k in pre.keys() | post.keys():
            a, b = pre.get(k), post.get(k)
            amount = lambda t: int(t["uiTokenAmount"]["amount"]) if t else None  # noqa: E731
            if amount(a) != amount(b) or a is None or b is None:
                t = b or a
                expected[k] = (t["mint"], t.get("owner"), amount(a), amount(b), t["uiTokenAmount"]["decimals"])
        assert tokens == expected
    assert budgets >= 10
    # A SOL transfer and a token transfer, with no IDL at all.
    assert any(b["mint"] is None for b in balances) and any(b["mint"] for b in balances)


def test_compute_budget_of_version_1_config():
    tx = next(t for t in _real() if isinstance(t["transaction"], dict) and t.get("version") == "legacy"
              or isinstance(t["transaction"], dict) and not t["meta"].get("loadedAddresses", {}).get("writable")
              and not t["transaction"]["message"].get("addressTableLookups"))
    message = tx["transaction"]["message"]
    rows = []
    for config in ({"priority_fee": 12345, "compute_unit_limit": 300_000}, {}):
        wire = v1_wire(message, tx["transaction"]["signatures"], config)
        v1 = {**tx, "version": 1, "transaction": [base64.b64encode(wire).decode(), "base64"]}
        rows += _rows(TransactionDecoder([]).transaction_tables(json.dumps(v1))["transactions"])
    assert [(r["compute_unit_limit"], r["priority_fee"], r["compute_unit_price"], r["version"]) for r in rows] == \
        [(300_000, 12345, None, "1"), (None, 0, None, "1")]




def test_export_writes_them_beside_events_and_calls(tmp_path):
    pytest.importorskip("dask")
    pq = pytest.importorskip("pyarrow.parquet")
    from brisquel.dataset import read_events, write_events

    txs = _real()
    path = tmp_path / "txs.jsonl"
    path.write_text("".join(json.dumps(t) + "\n" for t in txs))
    idl = (TRANSACTIONS.parent / "idls" / "pump-current.json").read_text()
    summary = write_events(read_events([str(path)], [idl], calls=True), tmp_path / "out")
    expected = TransactionDecoder([]).transaction_tables(path.read_bytes())
    for name in ("transactions", "balances"):
        got = pq.read_table(tmp_path / "out" / name)
        assert got.to_pylist() == pa.table(expected[name]).to_pylist()
        assert summary.tables[("", name)] == got.num_rows > 0
    # Events alone (no calls) are written as before, without them.
    write_events(read_events([str(path)], [idl]), tmp_path / "events")
    assert not (tmp_path / "events" / "transactions").exists()
