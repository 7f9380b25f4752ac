"""What the commands and the export's readers share: one error, how a failure is
worded, how values are written and IDL files read."""

from __future__ import annotations

import math
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
