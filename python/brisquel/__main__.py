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
- RPC JSON, as the tx command reads it: a transaction object as an RPC node
  returns it (in any encoding, failed ones too; the lines under
  `meta.logMessages`), an RPC response wrapping one (`result`), a block
  (`transactions`), or an array of any of these; besides, log-line strings
  and arrays of them in such an array, and objects holding `logMessages`
  themselves or a `meta` without its `transaction`;
- JSON Lines: one such JSON value per line.
Input whose first non-blank character is "[" or "{" is read as JSON, natively
and a bounded piece at a time (TableDecoder.parse_logs_counted); anything else
as plain text (log lines never start with either).

--program-id ADDRESS puts ADDRESS into a legacy IDL that lacks
`metadata.address` (see `brisquel.with_program_address`). Old, shorter
versions of an event decode with their missing fields null, unless
--short-events skip (as EventDecoder.parse_logs does).

At the end, standard error says how many lines were read and how many events
printed, and which event bodies were left out. Errors are reported as one line
on standard error with exit status 1 (2 for usage errors; for JSON, naming the
line and column); the events of the lines before a broken line of JSON Lines
are printed first.
"""

from __future__ import annotations

import argparse
import io
import json
import sys
from collections.abc import Iterable, Iterator
from typing import IO, Any, Literal, TextIO

from brisquel import IdlError, TableDecoder, with_program_address
from brisquel._common import CommandError, idl_error, opened, plural, reason, stream_pieces

_BATCH = 4096
_CHUNK_BYTES = 16 << 20  # of JSON text, read natively a piece at a time


class _Recorder(io.RawIOBase):
    """A byte stream that keeps what is read from it, until told to stop: what
    was read to tell plain text from JSON is read again as JSON."""

    def __init__(self, stream: IO[bytes]) -> None:
        self._stream = stream
        self.kept: bytearray | None = bytearray()

    def readable(self) -> bool:
        return True

    def readinto(self, buffer: Any) -> int:
        n = self._stream.readinto(buffer)  # type: ignore[attr-defined]  # files and stdin have it
        if n and self.kept is not None:
            self.kept += memoryview(buffer)[:n]
        return n or 0


class _Replay(io.RawIOBase):
    """Bytes already read, then the rest of the stream they came from."""

    def __init__(self, head: bytes, stream: IO[bytes]) -> None:
        self._head = memoryview(head)
        self._stream = stream

    def readable(self) -> bool:
        return True

    def readinto(self, buffer: Any) -> int:
        if self._head:
            n = min(len(buffer), len(self._head))
            buffer[:n] = self._head[:n]
            self._head = self._head[n:]
            return n
        return self._stream.readinto(buffer) or 0  # type: ignore[attr-defined]


def _plain_lines(head: list[str], stream: TextIO) -> Iterator[str]:
    """The log lines of plain text, one a line; blank lines before the first are no lines."""
    for line in head:
        if line.strip():
            yield line.rstrip("\r\n")
    for line in stream:
        yield line.rstrip("\r\n")


def batches(lines: Iterable[str], size: int = _BATCH) -> Iterator[list[str]]:
    """The lines a batch at a time."""
    batch: list[str] = []
    for line in lines:
        batch.append(line)
        if len(batch) >= size:
            yield batch
            batch = []
    if batch:
        yield batch


def decoded(decoder: TableDecoder, raw: IO[bytes], name: str) -> Iterator[tuple[list[Any], dict[str, int]]]:
    """parse_logs_counted's (events, counts) over the input (see the module doc),
    a bounded piece at a time; `name` names the input in errors."""
    at_start = raw.seekable() and raw.tell() == 0  # (standard input may be a file read in part already)
    recorder = _Recorder(raw)
    text = io.TextIOWrapper(io.BufferedReader(recorder), encoding="utf-8", errors="replace")
    head: list[str] = []
    for line in text:
        head.append(line)
        if line.strip():
            break
    if "".join(head).lstrip()[:1] not in ("[", "{"):
        recorder.kept = None
        for batch in batches(_plain_lines(head, text), _BATCH):
            yield decoder.parse_logs_counted(batch, json_fields=True)
        return
    # JSON: the native reader reads it from its first byte, a piece at a time.
    stream: IO[bytes]
    if at_start:
        raw.seek(0)
        stream = raw
    else:
        stream = io.BufferedReader(_Replay(bytes(recorder.kept or b""), raw))
    recorder.kept = None

    def decode(piece: Any, _: int) -> tuple[tuple[list[Any], dict[str, int]], int]:
        return decoder.parse_logs_counted(piece, json_fields=True), 0

    yield from stream_pieces(stream, name, _CHUNK_BYTES, decode)


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


def decoder_of(args: argparse.Namespace, short_events: Literal["skip", "null"]) -> TableDecoder:
    """The decoder of the IDL file the arguments name."""
    try:
        with open(args.idl_file, encoding="utf-8") as f:
            idl_json = f.read()
    except (OSError, UnicodeDecodeError) as e:
        raise CommandError(f"cannot read IDL file {args.idl_file}: {reason(e)}") from None
    if args.program_id is not None:
        idl_json = with_program_address(idl_json, args.program_id)
    try:
        return TableDecoder(idl_json, short_events=short_events)
    except IdlError as e:
        error = idl_error(e, [args.idl_file], [idl_json])
        if "Program id missing" in str(error):
            raise CommandError(f"{error}; give it with --program-id ADDRESS") from None
        raise error from None


def run(args: argparse.Namespace, out: TextIO) -> None:
    decoder = decoder_of(args, args.short_events)
    name = "<stdin>" if args.log_file == "-" else args.log_file
    lines = printed = failed = short = 0
    unread = f"cannot read log file {args.log_file}"
    with opened(args.log_file, unread, unread) as raw:
        for events, counts in decoded(decoder, raw, name):
            for event_name, fields in events:  # fields: JSON text from the decoder
                out.write(f'{{"event": {json.dumps(event_name, ensure_ascii=False)}, "fields": {fields}}}\n')
            lines += counts["lines"]
            printed += len(events)
            failed += counts["not_decoded"]
            short += counts["short"]
    out.flush()
    from brisquel._cli_tx import report_bodies

    sys.stderr.write(f"brisquel: read {plural(lines, 'log line')}, printed {plural(printed, 'event')}\n")
    report_bodies(short, failed - short, "TableDecoder.decode", sys.stderr)


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
