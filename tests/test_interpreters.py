"""brisquel and its second module load in interpreters with a lock of their
own, and decode there, two at once, exactly as the main interpreter does;
EventDecoder's module still decodes in a legacy subinterpreter."""

from __future__ import annotations

import json
import threading
from pathlib import Path

import pytest

import borsh
import interpreter_work
from conftest import make_idl, struct
from transactions import Call, Tx, encode, key

interpreters = pytest.importorskip("concurrent.interpreters")
TESTS = str(Path(__file__).resolve().parent)

A = key("program a")
IDL = json.dumps({**make_idl([struct("E", [{"name": "v", "type": "u64"}, {"name": "who", "type": "pubkey"}]),
                              struct("F", [{"name": "t", "type": "string"}])], ["E", "F"]), "address": A})


def inputs(n: int) -> tuple[list[str], str]:
    idl = json.loads(IDL)
    bodies = [borsh.encode_event(idl, "E", {"v": i * 7919, "who": bytes([i % 256]) * 32}) if i % 3 else
              borsh.encode_event(idl, "F", {"t": "é" * (i % 5)}) for i in range(n)]
    bodies[5] = bodies[5][:-1]  # lands among the errors
    lines = [borsh.log_line(b) for b in bodies]
    txs = [encode(Tx([Call(A, [("log", b), ("cpi", b)])], signature=borsh.b58encode(i.to_bytes(64, "big")), slot=i))
           for i, b in enumerate(bodies)]
    return lines, "\n".join(json.dumps(t) for t in txs)


def isolated():
    interp = interpreters.create()
    interp.exec(f"import sys; sys.path.insert(0, {TESTS!r})")
    return interp


def test_two_isolated_interpreters_decode_at_once_as_the_main_one_does():
    lines, txs = inputs(300)
    want = interpreter_work.decode_tables_and_transactions(IDL, lines, txs)
    assert want[0] and want[3]
    subs = [isolated(), isolated()]
    got: list = [None, None]

    def run(k: int) -> None:
        got[k] = subs[k].call(interpreter_work.decode_tables_and_transactions, IDL, lines, txs)

    try:
        threads = [threading.Thread(target=run, args=(k,)) for k in range(2)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert got == [want, want]
        # The package imports there too, and says why EventDecoder does not.
        message = subs[0].call(interpreter_work.event_decoder_import_error)
        assert "TableDecoder or TransactionDecoder" in message and "subinterpreters" in message
    finally:
        for s in subs:
            s.close()


def test_event_decoder_still_decodes_in_a_legacy_subinterpreter():
    subinterpreters = pytest.importorskip("_interpreters")
    lines, _ = inputs(50)
    want = interpreter_work.parse_logs(IDL, lines)
    sub = subinterpreters.create("legacy")
    try:
        assert subinterpreters.run_string(sub, f"import sys; sys.path.insert(0, {TESTS!r})") is None
        got, failure = subinterpreters.call(sub, interpreter_work.parse_logs, (IDL, lines))
        assert failure is None and got == want and len(got) == 49
    finally:
        subinterpreters.destroy(sub)
