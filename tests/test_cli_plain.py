"""TableDecoder.parse_logs_counted: parse_logs' events and what became of the
lines from one reading, of lines or of RPC JSON text."""

from __future__ import annotations

import json
import random

import pytest

from brisquel import ReadError, TableDecoder
from test_calls import random_tx
from test_cli_tx import IDL_EV, unreadable, with_events
from transactions import encode


# --- generated inputs -----------------------------------------------------------


def transactions(rng: random.Random, n: int) -> list[dict]:
    """Transactions with events of the IDL among their log lines: whole, older
    versions, cut short, forged; in every encoding; failed, unreadable."""
    out = []
    for _ in range(n):
        tx = random_tx(rng)[0]
        for call in tx.calls:
            with_events(rng, call)
        obj = encode(tx, rng.choice(["json", "jsonParsed", "base64", "v1"]))
        out.append(unreadable(rng, obj) if rng.random() < 0.15 else obj)
    return out



@pytest.mark.parametrize("short_events", ["null", "skip"])
def test_counts_are_those_of_the_separate_readings(short_events):
    # One reading gives parse_logs' events, decode's errors and the older versions a lenient decoder decodes.
    rng = random.Random(17)
    txs = transactions(rng, 30)
    lines = [line for tx in txs for line in tx["meta"]["logMessages"]]
    d = TableDecoder(json.dumps(IDL_EV), short_events=short_events)
    events, counts = d.parse_logs_counted(lines)
    assert repr(events) == repr(d.parse_logs(lines))  # (repr: NaN is no value equal to itself)
    short = len(TableDecoder(json.dumps(IDL_EV)).parse_logs(lines)) - len(events)
    assert counts == {"lines": len(lines), "not_decoded": len(d.decode(lines).errors), "short": short}
    assert counts["not_decoded"] > counts["short"] == (short if short_events == "skip" else 0)
    assert d.parse_logs_counted(lines, json_fields=True)[0] == d.parse_logs(lines, json_fields=True)
    # The same lines in RPC JSON: every transaction's, failed and unreadable ones' too.
    for text in (json.dumps(txs), "\n".join(map(json.dumps, txs)), json.dumps({"blockhash": "x", "transactions": txs})):
        assert repr(d.parse_logs_counted(text.encode())) == repr((events, counts))


@pytest.mark.parametrize("text, lines", [
    ('["a", "b"]', 2),
    ('[["a", "b"], "c", []]', 3),
    ('{"logMessages": ["a"]}', 1),
    ('{"meta": {"logMessages": ["a", "b"]}}', 2),
    ('{"blockhash": "x", "transactions": [{"meta": {"logMessages": ["a"]}}, {"logMessages": ["b"]}]}', 2),
    ('["\\ud800 a lone surrogate", {"logMessages": ["\\udfff"]}]', 2),
])
def test_log_line_shapes_only_for_log_lines(text, lines):
    # The shapes only the plain command reads; TransactionDecoder refuses them, as RPC JSON they are not.
    assert TableDecoder(json.dumps(IDL_EV)).parse_logs_counted(text.encode())[1]["lines"] == lines
    with pytest.raises(ReadError):
        from brisquel import TransactionDecoder

        TransactionDecoder([json.dumps(IDL_EV)]).count(text)
