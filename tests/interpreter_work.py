"""Work done inside other interpreters by test_interpreters (kept free of pytest,
which such an interpreter need not be able to import)."""

from __future__ import annotations


def decode_tables_and_transactions(idl_json: str, lines: list[str], transactions: str) -> tuple:
    from brisquel import TableDecoder, TransactionDecoder

    out = []
    for _ in range(20):  # long enough for two interpreters to overlap
        decoded = TableDecoder(idl_json).decode(lines)
        tables = [(key, len(t), t.column_names, repr(t.schema)) for key, t in decoded.items()]
        events = [tuple(e) for e in TransactionDecoder([idl_json]).decode(transactions)]
        out.append((tables, len(decoded.errors), decoded.inputs, events))
    assert all(o == out[0] for o in out)
    return out[0]


def parse_logs(idl_json: str, lines: list[str]) -> list:
    from brisquel import EventDecoder

    return EventDecoder(idl_json).parse_logs(lines)


def event_decoder_import_error() -> str:
    import brisquel

    try:
        brisquel.EventDecoder
    except ImportError as e:
        return str(e)
    return "imported"
