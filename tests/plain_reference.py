"""The plain command as it read its input before JSON went to the native
reader: json.loads and Python walks of the RPC shapes, and each batch read by
parse_logs, decode and (skip) a lenient decoder. The reference the command is
held to."""

from __future__ import annotations

import argparse
import json
import sys
from collections.abc import Iterable, Iterator
from typing import Any, TextIO

from brisquel import TableDecoder
from brisquel.__main__ import decoder_of
from brisquel._common import CommandError, plural, reason

_BATCH = 4096


def lines_from_json(value: Any) -> Iterator[str]:
    """The log lines held by one JSON value (see the module doc)."""
    if isinstance(value, str):
        yield value
    elif isinstance(value, list):
        for item in value:
            yield from lines_from_json(item)
    elif isinstance(value, dict):
        if "meta" in value:
            meta = value["meta"]
            if meta is not None:
                yield from _log_messages(meta)
        elif "logMessages" in value:
            yield from _log_messages(value)
        elif "result" in value:
            if value["result"] is not None:
                yield from lines_from_json(value["result"])
        elif "error" in value:
            error = value["error"]
            message = error.get("message", error) if isinstance(error, dict) else error
            raise CommandError(f"RPC error response: {message}")
        elif "transactions" in value:
            yield from lines_from_json(value["transactions"])
        else:
            raise CommandError("JSON object without meta.logMessages, result or transactions")
    else:
        raise CommandError(f"expected log lines or transactions, got JSON {type(value).__name__}")


def _log_messages(meta: Any) -> Iterator[str]:
    if not isinstance(meta, dict):
        raise CommandError("transaction meta is not an object")
    messages = meta.get("logMessages")
    if messages is None:
        return
    if not isinstance(messages, list) or not all(isinstance(m, str) for m in messages):
        raise CommandError("meta.logMessages is not a list of strings")
    yield from messages


def log_lines(stream: TextIO, name: str = "<stdin>") -> Iterator[str]:
    """Every log line of the input, plain text or JSON (`name`: the input's, for errors)."""
    head: list[str] = []
    for line in stream:
        head.append(line)
        if line.strip():
            break
    first = "".join(head).lstrip()[:1]
    if first not in ("[", "{"):
        for line in head:
            if line.strip():
                yield line.rstrip("\r\n")
        for line in stream:
            yield line.rstrip("\r\n")
        return
    text = "".join(head) + stream.read()
    try:
        value = json.loads(text)
    except json.JSONDecodeError as whole_error:
        yield from _json_lines(text, name, whole_error)
        return
    try:
        yield from lines_from_json(value)
    except CommandError as e:
        raise CommandError(f"{name}: {e}") from None


def _json_lines(text: str, name: str, whole_error: json.JSONDecodeError) -> Iterator[str]:
    """The log lines of JSON lines, one value a line; a line that is not JSON
    fails with its number (a text that is no JSON lines at all: as one value)."""
    good = 0
    for number, line in enumerate(text.splitlines(), start=1):
        if not line.strip():
            continue
        try:
            value = json.loads(line)
        except json.JSONDecodeError as e:
            if not good:
                raise CommandError(f"{name}: input is not valid JSON: {whole_error}") from None
            raise CommandError(f"{name}: line {number}, column {e.colno}: not valid JSON: {e.msg}") from None
        good += 1
        try:
            yield from lines_from_json(value)
        except CommandError as e:
            raise CommandError(f"{name}: line {number}: {e}") from None


def batches(lines: Iterable[str], size: int = _BATCH) -> Iterator[list[str]]:
    """The lines a batch at a time; when reading fails, the lines before it first."""
    batch: list[str] = []
    try:
        for line in lines:
            batch.append(line)
            if len(batch) >= size:
                yield batch
                batch = []
    except CommandError:
        if batch:
            yield batch
        raise
    if batch:
        yield batch


def run(args: argparse.Namespace, out: TextIO) -> None:
    decoder = decoder_of(args, args.short_events)
    # With "skip", one that reads old versions counts the bodies left out.
    lenient = decoder_of(args, "null") if args.short_events == "skip" else None

    name = "<stdin>" if args.log_file == "-" else args.log_file
    try:
        if args.log_file == "-":
            stream: TextIO = open(sys.stdin.fileno(), encoding="utf-8", errors="replace", closefd=False)
        else:
            stream = open(args.log_file, encoding="utf-8", errors="replace")
    except OSError as e:
        raise CommandError(f"cannot read log file {args.log_file}: {reason(e)}") from None
    lines = printed = failed = short = 0
    with stream:
        try:
            for batch in batches(log_lines(stream, name)):
                try:
                    events = decoder.parse_logs(batch, json_fields=True)
                except UnicodeEncodeError:
                    # JSON text can hold lone surrogates ("\ud800"); such lines
                    # cannot be events, so make them harmless.
                    batch = [_clean(line) for line in batch]
                    events = decoder.parse_logs(batch, json_fields=True)
                for event_name, fields in events:  # fields: JSON text from the decoder
                    out.write(f'{{"event": {json.dumps(event_name, ensure_ascii=False)}, "fields": {fields}}}\n')
                lines += len(batch)
                printed += len(events)
                failed += len(_tables_of(decoder, batch).errors)
                if lenient is not None:
                    short += sum(map(len, _tables_of(lenient, batch).values())) - len(events)
        except OSError as e:
            if isinstance(e, BrokenPipeError):
                raise
            raise CommandError(f"cannot read log file {args.log_file}: {reason(e)}") from None
    out.flush()
    from brisquel._cli_tx import report_bodies

    sys.stderr.write(f"brisquel: read {plural(lines, 'log line')}, printed {plural(printed, 'event')}\n")
    report_bodies(short, failed - short, "TableDecoder.decode", sys.stderr)


def _tables_of(decoder: TableDecoder, batch: list[str]) -> Any:
    try:
        return decoder.decode(batch)
    except UnicodeEncodeError:
        return decoder.decode([_clean(line) for line in batch])


def _clean(line: str) -> str:
    return line.encode("utf-8", "replace").decode("utf-8")
