"""RPC JSON text read a bounded piece at a time, for files of any size.

A stream is cut into pieces of about `chunk_bytes` that end at a line end, so
JSON lines never straddle two pieces. Each piece is decoded natively, its
transactions counted on from those of the pieces before it; error positions
are moved to the line of the file.
"""

from __future__ import annotations

import codecs
import io
import os
import re
import threading
from collections.abc import Callable, Iterator
from typing import IO, Any, Literal, TypeVar

from brisquel._tables import ReadError

MAX_VALUE_BYTES = 1 << 30  # the native reader's own bound on one JSON value (a line, or a whole text)


_Kind = Literal["invalid_json", "truncated", "shape", "rpc_error", "too_large"]


class SourceError(ReadError):
    """An input that cannot be read or decoded; says which `file` and, for JSON,
    where (`line` and `column` in the file, 1-based, else None). A ReadError,
    so `except brisquel.Error` catches it as any other input failure; its
    `path` is, as in the whole family, where inside a value (None here)."""

    def __init__(self, file: str, detail: str, line: int | None = None, column: int | None = None,
                 kind: _Kind | None = None) -> None:
        super().__init__(f"{file}: {detail}" if file else detail)
        self.file = file
        self.detail = detail
        self.line = line
        self.column = column
        self.reason = detail
        self.kind = kind  # the reader's, where it gave one

    @classmethod
    def of_read(cls, file: str, error: ReadError, lines_before: int) -> SourceError:
        """A reader's error in a piece that `lines_before` lines of the file precede."""
        assert error.line is not None  # the reader's errors always say their line
        line = error.line + lines_before
        made = cls(file, f"line {line}, column {error.column}: {error.reason}", line, error.column, error.kind)
        made.reason = error.reason
        return made

    def __reduce__(self) -> tuple[Any, ...]:
        # Raised in worker processes (export on several processes): pickled with its arguments.
        return (type(self), (self.file, self.detail, self.line, self.column, self.kind))

    def __str__(self) -> str:
        return f"{self.file}: {self.detail}" if self.file else self.detail


class _LineTooLong(Exception):
    pass


# A thread's piece buffer, kept between files: allocating it costs as much as reading into it.
_spare = threading.local()


class _LinePieces:
    """The bytes of a stream as pieces of at least `size` bytes that end at a line
    end (the last one: at the end of the stream). A piece that has a successor
    A line is at most `limit` bytes.

    Pieces are views of one buffer that the stream is read into and that is
    reused: a piece is valid until the next one is asked for. Lines are counted
    only when an error needs them, by reading the stream again (or as pieces go
    by, when it cannot be read again)."""

    def __init__(self, stream: IO[bytes], size: int, limit: int = MAX_VALUE_BYTES) -> None:
        self._stream = stream
        self._size = max(1, size)
        self._limit = limit
        self._buffer = bytearray()
        self._held = 0       # bytes read into the buffer
        self._read = 0       # from the stream
        try:  # a regular file: never ask for more than it holds
            self._file_size: int | None = os.fstat(stream.fileno()).st_size if stream.seekable() else None
        except (OSError, AttributeError, io.UnsupportedOperation):
            self._file_size = None
        self._cut = 0        # where the current piece ends
        self._rest = b""     # what followed it
        self._eof = False
        self.offset = 0      # of the current piece in the stream
        self._lines = None if stream.seekable() else 0

    def __iter__(self) -> Iterator[tuple[memoryview, bool]]:
        self._buffer = getattr(_spare, "buffer", None) or bytearray()
        _spare.buffer = None
        yield from self._pieces()
        if len(self._buffer) <= 2 * self._size:  # not after a giant line
            _spare.buffer = self._buffer

    def _pieces(self) -> Iterator[tuple[memoryview, bool]]:
        while True:
            end, searched, cut = self._size, 0, 0
            while True:
                self._fill(end)
                cut = self._buffer.rfind(b"\n", searched, self._held) + 1
                if cut or self._eof:
                    break
                if self._held > self._limit:
                    raise _LineTooLong
                searched, end = self._held, min(2 * self._held, self._limit + 1)
            if self._eof:
                cut = self._held
            if not cut:
                return
            if cut == self._held and not self._eof:
                self._fill(cut + 1)  # a peek: does anything follow?
            more = cut < self._held
            self._cut, self._rest = cut, bytes(self._buffer[cut:self._held])
            with memoryview(self._buffer) as whole, whole[:cut] as piece:
                yield piece, more
            if self._lines is not None:
                self._lines += self._buffer.count(b"\n", 0, cut)
            self.offset += cut
            self._buffer[:len(self._rest)] = self._rest
            self._held = len(self._rest)

    def _fill(self, end: int) -> None:
        """Reads until the buffer holds `end` bytes or the stream ends."""
        if self._file_size is not None:
            end = min(end, self._held + max(0, self._file_size - self._read) + 1)
        if len(self._buffer) < end:
            self._buffer.extend(bytes(end - len(self._buffer)))
        with memoryview(self._buffer) as view:
            while self._held < end and not self._eof:
                n = self._stream.readinto(view[self._held:end])  # type: ignore[attr-defined]  # files and stdin have it
                if n:
                    self._held += n
                    self._read += n
                else:
                    self._eof = True

    def blank(self) -> bool:
        """Whether the current piece holds nothing but JSON whitespace."""
        return _NOT_BLANK.search(self._buffer, 0, self._cut) is None

    def whole(self) -> bytes | None:
        """The current piece and everything after it, if that is at most `limit` bytes."""
        left = self._limit + 1 - self._cut - len(self._rest)
        tail = self._stream.read(left) if left > 0 and not self._eof else b""
        text = bytes(self._buffer[:self._cut]) + self._rest + tail
        return text if len(text) <= self._limit else None

    def lines_before(self) -> int:
        """The number of lines before the current piece."""
        if self._lines is not None:
            return self._lines
        self._stream.seek(0)
        lines, left = 0, self.offset
        while left > 0 and (block := self._stream.read(min(left, 1 << 24))):
            lines += block.count(b"\n")
            left -= len(block)
        return lines


def _binary(text: Any) -> bool:
    """Whether the start of a text is binary data: a NUL byte, or bytes that are not UTF-8."""
    head = bytes(text[:4096])
    if b"\0" in head:
        return True
    try:
        codecs.getincrementaldecoder("utf-8")().decode(head)  # a character cut at the end is no fault
    except UnicodeDecodeError:
        return True
    return False


R = TypeVar("R")
_NOT_BLANK = re.compile(rb"[^ \t\r\n]")


def json_pieces(stream: IO[bytes], path: str, chunk_bytes: int,
                decode: Callable[[Any, int], tuple[R, int]]) -> Iterator[R]:
    """decode(text, tx_base) over the pieces of `stream`, the results in order.

    `text` (bytes-like, valid during the call) is a piece; decode counts its
    transactions on from `tx_base` and returns, with its result, how many the
    piece held; it raises ReadError for text that cannot be read. A first piece
    that fails on its first line while more follows may be the start of one
    JSON value over many lines (an indented block): the text is then read
    whole, up to the reader's own bound on one value. Raises SourceError.
    """
    pieces = _LinePieces(stream, chunk_bytes)
    tx_base = 0
    seen = False
    try:
        for text, more in pieces:
            if (seen or more) and pieces.blank():
                continue  # blank lines between values
            seen = True
            try:
                result, count = decode(text, tx_base)
            except ReadError as e:
                if pieces.offset == 0 and _binary(text):
                    raise SourceError(path, "binary data, not JSON text") from None
                if pieces.offset == 0 and more and e.line == 1:
                    whole = pieces.whole()
                    if whole is not None:
                        try:
                            yield decode(whole, 0)[0]
                            return
                        except ReadError as again:
                            e = again
                error = SourceError.of_read(path, e, pieces.lines_before())
                # JSON lines: what the whole lines before the bad value hold, then the failure.
                cut = bytes(text[:e.offset or 0]).rfind(b"\n") + 1
                if cut:
                    try:
                        before = decode(text[:cut], tx_base)[0]
                    except ReadError:  # not lines of whole values after all
                        pass
                    else:
                        yield before
                raise error from None
            yield result
            tx_base += count
    except _LineTooLong:
        raise SourceError(path, f"a line longer than {MAX_VALUE_BYTES} bytes (the bound on one JSON value)") from None
    if not seen:  # an empty file: the reader says so
        try:
            decode(b"", 0)
        except ReadError as e:
            raise SourceError.of_read(path, e, 0) from None
