"""Decode Anchor events from Solana logs on the command line.

    python -m brisquel IDL_FILE [LOG_FILE|-] [--program-id ADDRESS]
    python -m brisquel tx IDL [IDL ...] [INPUT|-]              (see brisquel/_cli_tx.py)
    python -m brisquel export IDL [IDL ...] --out DIR INPUT ... (see brisquel/_cli_export.py)
    python -m brisquel accounts IDL [IDL ...] [INPUT|-]         (see brisquel/_cli_accounts.py)

Prints one JSON object per decoded event, in input order:

    {"event": "<event name>", "fields": <the event's fields>}

Fields are as `EventDecoder.parse_logs` returns them, written as JSON: integers
of any width as JSON numbers (exact), public keys as base58 strings, `bytes`
values as lowercase hex strings, and the floats NaN, +inf and -inf as the
strings "NaN", "Infinity" and "-Infinity" (JSON has no such numbers).

The logs (a file, or standard input when LOG_FILE is "-" or absent) may be:
- plain text, one log line per line;
- JSON: an array of log-line strings, a transaction object as an RPC node
  returns it (lines under `meta.logMessages`), an RPC response wrapping one
  (`result`), a block (`transactions`), or an array of any of these;
- JSON Lines: one such JSON value per line.
Input whose first non-blank character is "[" or "{" is read as JSON; anything
else as plain text (log lines never start with either).

--program-id ADDRESS puts ADDRESS into a legacy IDL that lacks
`metadata.address` (see `brisquel.with_program_address`).

Errors are reported as one line on standard error with exit status 1 (2 for
usage errors).
"""

from __future__ import annotations

import argparse
import json
import sys
from collections.abc import Iterable, Iterator
from typing import Any, TextIO

from brisquel import EventDecoder, with_program_address
from brisquel._common import CommandError, jsonable, reason

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


def log_lines(stream: TextIO) -> Iterator[str]:
    """Every log line of the input, plain text or JSON."""
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
        values: Iterable[Any] = [json.loads(text)]
    except json.JSONDecodeError as whole_error:
        try:
            values = [json.loads(line) for line in text.splitlines() if line.strip()]
        except json.JSONDecodeError:
            raise CommandError(f"input is not valid JSON: {whole_error}") from None
    for value in values:
        yield from lines_from_json(value)


def batches(lines: Iterable[str], size: int = _BATCH) -> Iterator[list[str]]:
    batch: list[str] = []
    for line in lines:
        batch.append(line)
        if len(batch) >= size:
            yield batch
            batch = []
    if batch:
        yield batch


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="brisquel",
        description="Print the Anchor events in Solana transaction logs as JSON lines.",
        epilog="Other commands: 'brisquel tx IDL [IDL ...] [INPUT|-]' prints the events of whole transactions, "
               "each decoded with its own program's IDL; 'brisquel export IDL [IDL ...] --out DIR INPUT ...' "
               "writes them as Parquet, on local workers or a Dask cluster; 'brisquel accounts IDL [IDL ...] [INPUT|-]' "
               "prints program accounts. Each has --help.",
    )
    parser.add_argument("idl_file", metavar="IDL_FILE", help="the program's Anchor IDL (JSON)")
    parser.add_argument("log_file", metavar="LOG_FILE", nargs="?", default="-",
                        help="log lines, transactions or RPC responses; '-' or absent: standard input")
    parser.add_argument("--program-id", metavar="ADDRESS",
                        help="program address for a legacy IDL without metadata.address")
    return parser


def run(args: argparse.Namespace, out: TextIO) -> None:
    try:
        with open(args.idl_file, encoding="utf-8") as f:
            idl_json = f.read()
    except (OSError, UnicodeDecodeError) as e:
        raise CommandError(f"cannot read IDL file {args.idl_file}: {reason(e)}") from None
    if args.program_id is not None:
        idl_json = with_program_address(idl_json, args.program_id)
    try:
        decoder = EventDecoder(idl_json)
    except ValueError as e:
        raise CommandError(f"{args.idl_file}: {e}") from None

    try:
        if args.log_file == "-":
            stream: TextIO = open(sys.stdin.fileno(), encoding="utf-8", errors="replace", closefd=False)
        else:
            stream = open(args.log_file, encoding="utf-8", errors="replace")
    except OSError as e:
        raise CommandError(f"cannot read log file {args.log_file}: {reason(e)}") from None
    with stream:
        try:
            for batch in batches(log_lines(stream)):
                try:
                    events = decoder.parse_logs(batch)
                except UnicodeEncodeError:
                    # JSON text can hold lone surrogates ("\ud800"); such lines
                    # cannot be events, so make them harmless.
                    events = decoder.parse_logs([_clean(line) for line in batch])
                for name, fields in events:
                    out.write(json.dumps({"event": name, "fields": jsonable(fields)}, ensure_ascii=False))
                    out.write("\n")
        except OSError as e:
            if isinstance(e, BrokenPipeError):
                raise
            raise CommandError(f"cannot read log file {args.log_file}: {reason(e)}") from None


def _clean(line: str) -> str:
    return line.encode("utf-8", "replace").decode("utf-8")


_COMMANDS = ("tx", "export", "accounts")


def main(argv: list[str] | None = None) -> int:
    argv = sys.argv[1:] if argv is None else argv
    try:
        if argv and argv[0] in _COMMANDS:
            status = _command(argv[0], argv[1:])
        else:
            run(_parser().parse_args(argv), sys.stdout)
            status = 0
        sys.stdout.flush()
    except CommandError as e:
        print(f"brisquel: {e}", file=sys.stderr)
        return 1
    except BrokenPipeError:
        # The reader went away (e.g. `| head`): stop quietly.
        import os

        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 0
    except KeyboardInterrupt:
        return 130
    return status


def _command(name: str, argv: list[str]) -> int:
    """A named command; its failures are CommandError, as the plain command's are."""
    if name == "tx":
        from brisquel import _cli_tx

        _cli_tx.run(argv, sys.stdout)
        return 0
    if name == "accounts":
        from brisquel import _cli_accounts

        _cli_accounts.run(argv, sys.stdout)
        return 0
    from brisquel import _cli_export

    return _cli_export.run(argv, sys.stdout)


if __name__ == "__main__":
    sys.exit(main())
