"""What the commands and the export's readers share: one error, how a failure is
worded and IDL files read."""

from __future__ import annotations

import contextlib
import sys
from collections.abc import Callable, Iterator
from typing import IO, Any

from brisquel._tables import Error, IdlError


class CommandError(Error):
    """A failure reported as one line on standard error, with exit status 1."""


def reason(e: BaseException) -> str:
    """Why an operation failed, without the path an OSError repeats."""
    return e.strerror if isinstance(e, OSError) and e.strerror else str(e)


def plural(n: int, word: str, words: str | None = None) -> str:
    """"1 file", "2 files", "1,234 files" (`words`: the plural, where it is not `word` + "s")."""
    return f"{n:,} {word if n == 1 else words or word + 's'}"


def read_idls(paths: list[str]) -> list[str]:
    texts = []
    for path in paths:
        try:
            with open(path, encoding="utf-8") as f:
                texts.append(f.read())
        except (OSError, UnicodeDecodeError) as e:
            raise CommandError(f"cannot read IDL file {path}: {reason(e)}") from None
    return texts


# Where a command wants its paths, for a message about a path given in the wrong place.
IDLS_THEN_INPUT = "the IDL files come first, then one input (the last path)"
IDLS_THEN_INPUTS = "the IDL files come before --out, the inputs after it"


def idl_error(error: IdlError, paths: list[str], texts: list[str] | None = None,
              order: str = IDLS_THEN_INPUT) -> CommandError:
    """A decoder's complaint about one of the IDLs, naming its file and, when
    the file is no IDL at all (`texts`: what the files hold), what it is."""
    index = 0 if error.index is None and len(paths) == 1 else error.index  # a decoder of one IDL
    if index is None or index >= len(paths):
        return CommandError(str(error))
    if error.duplicate_of is not None:
        return CommandError(f"{paths[error.duplicate_of]} and {paths[index]} are both for program {error.program}")
    path = paths[index]
    reason = error.reason or str(error)
    if texts is not None and reason.startswith("failed to parse IDL"):
        what = _what_text_is(texts[index])
        if what == "rpc":
            return CommandError(f"{path} is not an IDL but transactions or accounts (RPC JSON): {order}")
        if what == "not json":
            return CommandError(f"{path}: not an IDL: the text is not JSON ({reason})")
    return CommandError(f"{path}: {reason}")


# Keys of the JSON values RPC nodes return (and of their results), which no IDL has at its top.
_RPC_KEYS = {"jsonrpc", "result", "meta", "transaction", "transactions", "blockhash", "blockTime", "account", "pubkey",
             "value", "logMessages", "context"}


def _what_text_is(text: str) -> str | None:
    """"rpc" for RPC JSON (one value, or JSON lines), "not json" for text that is
    no JSON at all, else None (JSON, but not an IDL the loader takes)."""
    import json

    if text.lstrip()[:1] not in ("{", "["):
        return "not json"  # (a broken IDL, cut short, is still told as the loader tells it)
    try:
        value = json.loads(text)
    except ValueError:
        first = next((line for line in text.splitlines() if line.strip()), "")
        try:
            value = json.loads(first)
        except ValueError:
            return None
    while isinstance(value, list) and value:
        value = value[0]
    return "rpc" if isinstance(value, dict) and "instructions" not in value and _RPC_KEYS & value.keys() else None


_BASE58 = "123456789ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz"


def is_address(text: str) -> bool:
    """Whether `text` is a program address: base58 text of 32 bytes."""
    if not 32 <= len(text) <= 44 or not all(c in _BASE58 for c in text):
        return False
    number = 0
    for c in text:
        number = number * 58 + _BASE58.index(c)
    return len(text) - len(text.lstrip("1")) + (number.bit_length() + 7) // 8 == 32


def add_address_option(p: Any) -> None:
    p.add_argument("--address", "--program-id", action="append", default=[], metavar="[PROGRAM=]ADDRESS",
                   help="the program address of an IDL (PROGRAM: its file or its program's name; may be left out "
                        "with one IDL), for a legacy IDL without one or to override it; may be repeated")


def addresses_of(options: list[str], paths: list[str], texts: list[str]) -> dict[int, str]:
    """The --address options as a decoder's `addresses`: {IDL index: address}."""
    out: dict[int, str] = {}
    for option in options:
        program, given, address = option.rpartition("=")
        if not given:
            if len(paths) != 1:
                raise CommandError(f"--address {option}: say which IDL it is for, as PROGRAM=ADDRESS (PROGRAM: the "
                                   f"IDL file or its program's name), as there are {len(paths)} IDLs")
            index = 0
        else:
            index = _idl_index(program, paths, texts, option)
        if not is_address(address):
            raise CommandError(f"--address {option}: {address!r} is not a program address (base58 text of 32 bytes)")
        out[index] = address
    return out


def _idl_index(program: str, paths: list[str], texts: list[str], option: str) -> int:
    import json
    import os

    for i, path in enumerate(paths):
        if program == path or (os.path.exists(program) and os.path.samefile(program, path)):
            return i
    names = []
    for text in texts:
        try:
            document = json.loads(text)
            metadata = document.get("metadata")
            name = metadata.get("name") if isinstance(metadata, dict) else None
            names.append(name if isinstance(name, str) else document.get("name"))
        except (ValueError, AttributeError):
            names.append(None)
    found = [i for i, name in enumerate(names) if name == program]
    if len(found) == 1:
        return found[0]
    known = ", ".join(f"{path} ({name})" if name else path for path, name in zip(paths, names))
    what = "more than one IDL is" if found else "no IDL is"
    raise CommandError(f"--address {option}: {what} for {program!r}; the IDLs: {known}")


def input_pieces(source: str, chunk_bytes: int, decode: Callable[[Any, int], tuple[Any, int]]) -> Iterator[Any]:
    """decode's results over the pieces of file `source` ("-": standard input),
    as json_pieces gives them; failures as CommandError naming the input."""
    name = "<stdin>" if source == "-" else source
    with opened(source, f"cannot read {source}", f"cannot read {name}") as stream:
        yield from stream_pieces(stream, name, chunk_bytes, decode)


@contextlib.contextmanager
def opened(source: str, unopened: str, unread: str) -> Iterator[IO[bytes]]:
    """File `source` ("-": standard input) as bytes; failing to open it is a
    CommandError "`unopened`: why", failing to read it one "`unread`: why"."""
    try:
        stream = sys.stdin.buffer if source == "-" else open(source, "rb")
    except OSError as e:
        raise CommandError(f"{unopened}: {reason(e)}") from None
    try:
        yield stream
    except OSError as e:
        if isinstance(e, BrokenPipeError):
            raise
        raise CommandError(f"{unread}: {reason(e)}") from None
    finally:
        if stream is not sys.stdin.buffer:
            stream.close()


def stream_pieces(stream: IO[bytes], name: str, chunk_bytes: int,
                  decode: Callable[[Any, int], tuple[Any, int]]) -> Iterator[Any]:
    """As input_pieces, over an open stream that `name` names; text that cannot
    be read is a CommandError, a stream that cannot be read an OSError."""
    from brisquel._json_pieces import SourceError, json_pieces

    try:
        yield from json_pieces(stream, name, chunk_bytes, decode)
    except SourceError as e:
        raise CommandError(str(e)) from None
