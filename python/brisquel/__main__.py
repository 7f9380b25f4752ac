"""Decode Anchor events from Solana logs on the command line.

    python -m brisquel IDL_FILE [LOG_FILE|-] [--program-id ADDRESS] [--short-events skip]
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
`metadata.address` (see `brisquel.with_program_address`). Old, shorter
versions of an event decode with their missing fields null, unless
--short-events skip (as EventDecoder.parse_logs does).

At the end, standard error says how many lines were read and how many events
printed, and which event bodies were left out. Errors are reported as one line
on standard error with exit status 1 (2 for usage errors); events decoded
before the error are printed first.
"""

from __future__ import annotations

import argparse
import json
import sys
from collections.abc import Iterable, Iterator
from typing import Any, TextIO

from brisquel import IdlError, TableDecoder, with_program_address
from brisquel._common import CommandError, idl_error, plural, reason

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
    parser.add_argument("--program-id", "--address", metavar="ADDRESS",
                        help="program address for a legacy IDL without metadata.address")
    parser.add_argument("--short-events", choices=("skip", "null"), default="null",
                        help="'null' (the default): old events, shorter than the IDL's layout, decode with the "
                             "missing fields null; 'skip': such bodies do not decode, as in EventDecoder.parse_logs")
    parser.add_argument("--version", action="version", version=f"%(prog)s {_version()}")
    return parser


def _version() -> str:
    from brisquel import __version__

    return __version__


def run(args: argparse.Namespace, out: TextIO) -> None:
    try:
        with open(args.idl_file, encoding="utf-8") as f:
            idl_json = f.read()
    except (OSError, UnicodeDecodeError) as e:
        raise CommandError(f"cannot read IDL file {args.idl_file}: {reason(e)}") from None
    if args.program_id is not None:
        idl_json = with_program_address(idl_json, args.program_id)
    try:
        decoder = TableDecoder(idl_json, short_events=args.short_events)
        # With "skip", one that reads old versions counts the bodies left out.
        lenient = TableDecoder(idl_json) if args.short_events == "skip" else None
    except IdlError as e:
        error = idl_error(e, [args.idl_file], [idl_json])
        if "Program id missing" in str(error):
            raise CommandError(f"{error}; give it with --program-id ADDRESS") from None
        raise error from None

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


_COMMANDS = ("tx", "export", "accounts", "fetch")


def main(argv: list[str] | None = None) -> int:
    argv = sys.argv[1:] if argv is None else argv
    try:
        if argv and _unknown_command(argv[0]):
            import difflib

            near = difflib.get_close_matches(argv[0], _COMMANDS, n=1)
            hint = f"did you mean '{near[0]}'? " if near else ""
            print(f"brisquel: '{argv[0]}' is neither a command nor an IDL file; {hint}(commands: "
                  f"{', '.join(_COMMANDS)}; or give an IDL file first; see --help)", file=sys.stderr)
            return 2
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


def _unknown_command(word: str) -> bool:
    """Whether the first argument reads as a command's name that is no command: a
    bare word, not an option, a path or a file that exists."""
    import os

    return (word not in _COMMANDS and word.isidentifier() and not os.path.exists(word))


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
    if name == "fetch":
        from brisquel import _cli_fetch

        return _cli_fetch.run(argv, sys.stdout)
    from brisquel import _cli_export

    return _cli_export.run(argv, sys.stdout)


if __name__ == "__main__":
    sys.exit(main())
