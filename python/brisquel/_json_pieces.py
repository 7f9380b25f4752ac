"""RPC JSON text read a bounded piece at a time, for files of any size.

A stream is cut into pieces of about `chunk_bytes` that end at a line end, so
JSON lines never straddle two pieces. Each piece is decoded natively; every
piece but the last ends with a transaction of a program of our own (the mark),
whose event's transaction index is the number of transactions the piece held:
the decoders do not report that number otherwise, and `_tx` must count on from
one piece to the next. Error positions are moved to the line of the file.
"""

from __future__ import annotations

import base64
import hashlib
import json
import re
from collections.abc import Callable, Iterator
from typing import IO, TypeVar

MAX_VALUE_BYTES = 1 << 30  # the native reader's own bound on one JSON value (a line, or a whole text)


class SourceError(Exception):
    """An input that cannot be read or decoded; says which file and, for JSON, where."""

    def __init__(self, path: str, detail: str) -> None:
        super().__init__(path, detail)
        self.path = path
        self.detail = detail

    def __str__(self) -> str:
        return f"{self.path}: {self.detail}" if self.path else self.detail


# The mark: a program with one event without fields.
MARK_ADDRESS = "tEnsXXKDrgxh5XmuT9iebstb6XJ77MDWd4kr2SrhWMq"  # base58 of SHA-256("brisquel: end of piece")
_MARK_DISCRIMINATOR = list(hashlib.sha256(b"brisquel: end of piece").digest()[:8])
MARK_IDL = json.dumps({
    "address": MARK_ADDRESS,
    "metadata": {"name": "piece_end", "version": "0.0.0", "spec": "0.1.0"},
    "instructions": [],
    "events": [{"name": "PieceEnd", "discriminator": _MARK_DISCRIMINATOR}],
    "types": [{"name": "PieceEnd", "type": {"kind": "struct", "fields": []}}],
})
MARK_KEY = (MARK_ADDRESS, "PieceEnd")
MARK_LINE = json.dumps({
    "meta": {"err": None, "logMessages": [
        f"Program {MARK_ADDRESS} invoke [1]",
        "Program data: " + base64.b64encode(bytes(_MARK_DISCRIMINATOR)).decode(),
        f"Program {MARK_ADDRESS} success"]},
    "transaction": {"signatures": [], "message": {
        "accountKeys": [MARK_ADDRESS], "instructions": [{"programIdIndex": 0, "accounts": [], "data": ""}]}},
}, separators=(",", ":")).encode() + b"\n"


class _LineTooLong(Exception):
    pass


class _LinePieces:
    """The bytes of a stream as pieces of at least `size` bytes that end at a line
    end (the last one: at the end of the stream), each with the number of its
    first line and whether more follows. A line is at most `limit` bytes."""

    def __init__(self, stream: IO[bytes], size: int, limit: int = MAX_VALUE_BYTES) -> None:
        self._stream = stream
        self._size = max(1, size)
        self._limit = limit
        self._rest = b""
        self._eof = False

    def __iter__(self) -> Iterator[tuple[bytes, int, bool]]:
        line = 1
        while (piece := self._next()) is not None:
            if not self._rest and not self._eof:
                self._rest = self._stream.read(1)  # a peek: does anything follow?
                self._eof = not self._rest
            yield piece, line, bool(self._rest)
            line += piece.count(b"\n")

    def _next(self) -> bytes | None:
        while True:
            block = b"" if self._eof else self._stream.read(self._size)
            if not block:
                self._eof = True
                piece, self._rest = self._rest, b""
                return piece or None
            buffer = self._rest + block
            cut = buffer.rfind(b"\n") + 1
            if cut == 0:
                if len(buffer) > self._limit:
                    raise _LineTooLong
                self._rest = buffer
                continue
            self._rest = buffer[cut:]
            return buffer[:cut]

    def whole(self, first: bytes) -> bytes | None:
        """`first` and everything after it, if that is at most `limit` bytes."""
        left = self._limit + 1 - len(first) - len(self._rest)
        tail = self._stream.read(left) if left > 0 and not self._eof else b""
        text = first + self._rest + tail
        return text if len(text) <= self._limit else None


R = TypeVar("R")
_POSITION = re.compile(r"^(?:transactions: )?line (\d+), column (\d+): ", re.S)


def json_pieces(stream: IO[bytes], path: str, chunk_bytes: int,
                decode: Callable[[bytes, int, bool], tuple[R, int]]) -> Iterator[R]:
    """decode(text, tx_base, marked) over the pieces of `stream`, the results in order.

    `text` ends with MARK_LINE when `marked`; decode then returns the number of
    transactions before the mark, to count `_tx` on from `tx_base`. A first
    piece that fails on its first line while more follows may be the start of
    one JSON value over many lines (an indented block): the text is then read
    whole, up to the reader's own bound on one value. Raises SourceError.
    """
    pieces = _LinePieces(stream, chunk_bytes)
    tx_base = 0
    seen = False
    try:
        for text, line, more in pieces:
            if text.isspace() and (seen or more):
                continue  # blank lines between values
            seen = True
            try:
                result, count = decode(text + MARK_LINE if more else text, tx_base, more)
            except ValueError as e:
                at = _POSITION.match(str(e))
                if line == 1 and more and at and at.group(1) == "1":
                    whole = pieces.whole(text)
                    if whole is not None:
                        try:
                            yield decode(whole, 0, False)[0]
                            return
                        except ValueError as again:
                            e = again
                raise SourceError(path, moved(str(e), line - 1)) from None
            yield result
            tx_base += count
    except _LineTooLong:
        raise SourceError(path, f"a line longer than {MAX_VALUE_BYTES} bytes (the bound on one JSON value)") from None
    if not seen:  # an empty file: the reader says so
        try:
            decode(b"", 0, False)
        except ValueError as e:
            raise SourceError(path, moved(str(e), 0)) from None


def moved(message: str, lines: int) -> str:
    """A reader's message with its line number moved down by `lines`."""
    at = _POSITION.match(message)
    if not at:
        return message.removeprefix("transactions: ")
    return f"line {int(at.group(1)) + lines}, column {at.group(2)}: {message[at.end():]}"
