"""What the commands and the export's readers share: one error, how a failure is
worded, how values are written and IDL files read."""

from __future__ import annotations

import math
import sys
from collections.abc import Callable, Iterator
from typing import Any

from brisquel._tables import IdlError


class CommandError(Exception):
    """A failure reported as one line on standard error, with exit status 1."""


def reason(e: BaseException) -> str:
    """Why an operation failed, without the path an OSError repeats."""
    return e.strerror if isinstance(e, OSError) and e.strerror else str(e)


def jsonable(value: Any) -> Any:
    """The decoded value with bytes and non-finite floats made JSON-safe."""
    if isinstance(value, dict):
        return {k: jsonable(v) for k, v in value.items()}
    if isinstance(value, list):
        return [jsonable(v) for v in value]
    if isinstance(value, bytes):
        return value.hex()
    if isinstance(value, float) and not math.isfinite(value):
        return "NaN" if math.isnan(value) else ("Infinity" if value > 0 else "-Infinity")
    return value


def read_idls(paths: list[str]) -> list[str]:
    texts = []
    for path in paths:
        try:
            with open(path, encoding="utf-8") as f:
                texts.append(f.read())
        except (OSError, UnicodeDecodeError) as e:
            raise CommandError(f"cannot read IDL file {path}: {reason(e)}") from None
    return texts


def idl_error(error: IdlError, paths: list[str]) -> CommandError:
    """A decoder's complaint about one of the IDLs, naming its file."""
    if error.index is None or error.index >= len(paths):
        return CommandError(str(error))
    if error.duplicate_of is not None:
        return CommandError(f"{paths[error.duplicate_of]} and {paths[error.index]} are both for program "
                            f"{error.program}")
    return CommandError(f"{paths[error.index]}: {error.reason}")


def input_pieces(source: str, chunk_bytes: int, decode: Callable[[Any, int], tuple[Any, int]]) -> Iterator[Any]:
    """decode's results over the pieces of file `source` ("-": standard input),
    as json_pieces gives them; failures as CommandError naming the input."""
    from brisquel._json_pieces import SourceError, json_pieces

    name = "<stdin>" if source == "-" else source
    try:
        stream = sys.stdin.buffer if source == "-" else open(source, "rb")
    except OSError as e:
        raise CommandError(f"cannot read {source}: {reason(e)}") from None
    try:
        yield from json_pieces(stream, name, chunk_bytes, decode)
    except SourceError as e:
        raise CommandError(str(e)) from None
    except OSError as e:
        if isinstance(e, BrokenPipeError):
            raise
        raise CommandError(f"cannot read {name}: {reason(e)}") from None
    finally:
        if stream is not sys.stdin.buffer:
            stream.close()
