"""python -m brisquel tx: the events (and calls) of whole transactions as JSON lines.

    python -m brisquel tx IDL [IDL ...] [INPUT|-] [--calls]

Each event is decoded with the IDL of the program that emitted it, from its
log line or its self-CPI instruction, and printed as one JSON object:

    {"tx": 0, "signature": "...", "slot": 1, "block_time": 2, "program": "...",
     "instruction": 0, "inner": null, "depth": 1, "source": "log",
     "truncated": false, "event": "SwapEvent", "fields": {...}}

`tx` counts transactions from 0 in the input; `instruction` is the outer
instruction, `inner` the inner instruction (null for a log line), `depth` the
invocation depth; `source` is "log", "cpi" or "log+cpi". Fields are written as
the plain command writes them. With more than one path, the last is the input
(RPC JSON: transactions, blocks or responses; one value, an array, or one per
line); with one, or with "-", standard input.

With --calls, the instruction calls to the programs are printed too, after
the events of their transaction, and every object says which it is:

    {"kind": "event", "tx": 0, ...}
    {"kind": "call", "tx": 0, "signature": "...", "slot": 1, "block_time": 2,
     "program": "...", "instruction": 0, "inner": null, "depth": 1,
     "failed": false, "error": null, "name": "swap", "args": {...},
     "accounts": {"user": "...", "vaults.base": "..."}, "remaining": [],
     "problem": null}

`error` is null or {"code", "name", "message", "text"} on the call whose
invocation failed; a call that could not be read or decoded has "args": null
and the reason in `problem`.

At the end, standard error says how many transactions were read and what was
printed, and what was not: transactions without an event or a call of the
IDLs' programs, event bodies that did not decode, and those that ended early
(older versions) when --short-events skip left them out. Input cut short or
broken on a line: the events of the lines before it are printed, then the
error.
"""

from __future__ import annotations

import argparse
import json
from typing import Any, TextIO

import sys
from collections import Counter
from dataclasses import dataclass, field

from brisquel import IdlError, ReadError, TransactionDecoder, TxCall, TxEvent
from brisquel._common import (CommandError, add_address_option, addresses_of, idl_error, input_pieces, plural,
                              read_idls)

CHUNK_BYTES = 16 << 20


def parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog="brisquel tx", usage="%(prog)s IDL [IDL ...] [INPUT|-] [options]",
        description="Print the events of whole transactions as JSON lines, each decoded with the IDL of the "
                    "program that emitted it, with its program, instruction and source.")
    p.add_argument("paths", nargs="+", metavar="PATH", help="IDL files, then the input (default: standard input)")
    p.add_argument("--include-failed", action="store_true", help="events (and calls) of failed transactions too")
    p.add_argument("--calls", action="store_true",
                   help="the instruction calls to the programs too; each object then has \"kind\": \"event\" or "
                        "\"call\"")
    p.add_argument("--no-dedupe", dest="dedupe", action="store_false",
                   help="an event both logged and self-CPI'd gives two objects, not one")
    p.add_argument("--short-events", choices=("skip", "null"), default="null",
                   help="'null' (the default): old events, shorter than the IDL's layout, decode with the "
                        "missing fields null; 'skip': such bodies do not decode")
    add_address_option(p)
    return p


def run(argv: list[str], out: TextIO) -> None:
    args = parser().parse_args(argv)
    idl_paths, source = (args.paths[:-1], args.paths[-1]) if len(args.paths) > 1 else (args.paths, "-")
    texts = read_idls(idl_paths)
    addresses = addresses_of(args.address, idl_paths, texts)
    try:
        decoder = TransactionDecoder(texts, addresses=addresses, short_events=args.short_events)
    except IdlError as e:
        raise idl_error(e, idl_paths, texts) from None
    tally = _Tally()

    def decode(text: bytes, tx_base: int) -> tuple[list[Any], int]:
        # One reading: the events and calls printed, and what became of the rest.
        try:
            events, calls, counts, problems = decoder.decode_counted(
                text, include_failed=args.include_failed, dedupe=args.dedupe, start=tx_base, json_fields=True)
        except ReadError as calls_error:
            # Reading for calls reads more of each transaction, so in a text broken further on it may stop
            # earlier: such a text fails where reading for events alone stops.
            error = calls_error
            try:
                decoder.count(text)
            except ReadError as events_error:
                error = events_error
            raise error from None
        tally.add(counts, problems, len(events), len(calls))
        if args.calls:
            # A transaction's events, then its calls; both lists are in transaction order.
            return sorted([*events, *calls], key=lambda item: (item.tx, isinstance(item, TxCall))), counts["read"]
        return events, counts["read"]

    for items in input_pieces(source, CHUNK_BYTES, decode):
        for item in items:
            out.write(_call_line(item) if isinstance(item, TxCall) else _event_line(item, args.calls))
    out.flush()
    tally.report(args.calls, decoder.programs, sys.stderr)


@dataclass
class _Tally:
    """What a run read, printed and left out, for its last words on standard error."""

    transactions: int = 0
    events: int = 0
    calls: int = 0
    touched: int = 0      # transactions with a decoded event or a call of the programs
    failed: int = 0       # failed transactions with a call of the programs, left out
    not_decoded: int = 0  # event bodies that matched an event but did not decode
    short: int = 0        # of those, older versions that "skip" left out
    unreadable: int = 0   # transactions that could not be read at all (an unknown version, broken bytes)
    reasons: Counter[str] = field(default_factory=Counter)

    def add(self, counts: dict[str, int], problems: dict[str, int], events: int, calls: int) -> None:
        """A piece's share: decode_counted's counts and problems, and what it printed."""
        self.transactions += counts["read"]
        self.events += events
        self.calls += calls
        self.unreadable += counts["unreadable"]
        self.reasons.update(problems)  # an unreadable one always says why
        self.touched += counts["matched"] + counts["failed"]
        self.failed += counts["failed"]
        self.not_decoded += counts["not_decoded"]
        self.short += counts["short"]

    def report(self, calls: bool, programs: list[str], err: TextIO) -> None:
        printed = plural(self.events, "event") + (f" and {plural(self.calls, 'call')}" if calls else "")
        err.write(f"brisquel: read {plural(self.transactions, 'transaction')}, printed {printed}\n")
        if self.failed:
            err.write(f"brisquel: left out {plural(self.failed, 'failed transaction')} calling the IDLs' programs; "
                      "--include-failed prints them\n")
        if self.unreadable:
            reason, _ = self.reasons.most_common(1)[0]
            err.write(f"brisquel: could not read {plural(self.unreadable, 'transaction')} (for example: {reason}); "
                      "--calls prints each with its reason\n")
        untouched = self.transactions - self.touched - self.unreadable
        if untouched:
            err.write(f"brisquel: no event or call of the IDLs' programs ({', '.join(programs)}) decoded in "
                      f"{plural(untouched, 'transaction')}\n")
        report_bodies(self.short, self.not_decoded - self.short, "TransactionDecoder.decode_tables", err)


# The fields and args come as JSON text from the decoder: each object is closed around them.

def _event_line(e: TxEvent, kind: bool) -> str:
    head = json.dumps({**({"kind": "event"} if kind else {}),
                       "tx": e.tx, "signature": e.signature, "slot": e.slot, "block_time": e.block_time,
                       "program": e.program, "instruction": e.instruction, "inner": e.inner, "depth": e.depth,
                       "source": e.source, "truncated": e.truncated, "event": e.name}, ensure_ascii=False)
    return f'{head[:-1]}, "fields": {e.fields}}}\n'


def _call_line(c: TxCall) -> str:
    head = json.dumps({"kind": "call", "tx": c.tx, "signature": c.signature, "slot": c.slot,
                       "block_time": c.block_time, "program": c.program, "instruction": c.instruction,
                       "inner": c.inner, "depth": c.depth, "failed": c.failed,
                       "error": c.error._asdict() if c.error else None, "name": c.name}, ensure_ascii=False)
    tail = json.dumps({"accounts": c.accounts, "remaining": c.remaining, "problem": c.problem}, ensure_ascii=False)
    return f'{head[:-1]}, "args": {"null" if c.args is None else c.args}, {tail[1:]}\n'


def report_bodies(short: int, failed: int, lister: str, err: TextIO) -> None:
    """The event bodies left out: older versions that --short-events skip left out, and those that did not decode."""
    if short:
        err.write(f"brisquel: skipped {plural(short, 'event body', 'event bodies')} that ended early (older, shorter "
                  "versions of their event); --short-events null decodes them\n")
    if failed:
        err.write(f"brisquel: could not decode {plural(failed, 'event body', 'event bodies')} ({lister} lists them "
                  "with the reasons)\n")
