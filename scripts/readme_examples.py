"""The README's Python examples as modules that mypy can check, written into DIR.

    python3 scripts/readme_examples.py README.md DIR

Each ```python block becomes DIR/example_LINE.py (LINE: where the block starts).
A block that imports nothing goes on from the one before it (it uses that
block's names), so it is checked after it. The names the examples take as given
(a transaction, an RPC URL, some files) are declared once, with their types, in
GIVEN below: an example that uses another name fails the check until it is
declared here.
"""

from __future__ import annotations

import re
import sys
from pathlib import Path

GIVEN = '''\
from collections.abc import Sequence
from typing import Any

import pyarrow
from brisquel import TransactionDecoder

tx: dict[str, Any]                # a transaction as an RPC node returns it
log_lines: list[str]
slot: int
RPC_URL: str
url: str
transactions: str                 # RPC JSON text
files: list[str]
idls: list[str]
program_address: str
DLMM: str
idl: str
program: str
data: bytes


def post(url: str, body: dict[str, Any]) -> bytes:
    raise NotImplementedError
'''

_BLOCK = re.compile(r"^```python\n(.*?)^```", re.M | re.S)


def blocks(text: str) -> list[tuple[int, str]]:
    """(line, code) of every Python block, a block that imports nothing joined to the one before."""
    out: list[tuple[int, str]] = []
    for m in _BLOCK.finditer(text):
        line = text.count("\n", 0, m.start()) + 1
        code = m.group(1)
        imports = any(re.match(r"(import|from) ", row) for row in code.splitlines())
        if out and not imports:
            out.append((line, out[-1][1] + code))
        else:
            out.append((line, code))
    return out


def main(argv: list[str]) -> int:
    readme, folder = Path(argv[0]), Path(argv[1])
    found = blocks(readme.read_text(encoding="utf-8"))
    if not found:
        print(f"{readme}: no Python examples found", file=sys.stderr)
        return 1
    folder.mkdir(parents=True, exist_ok=True)
    for old in folder.glob("example_*.py"):
        old.unlink()
    for line, code in found:
        (folder / f"example_{line}.py").write_text(f"# {readme}, line {line}\n{GIVEN}\n{code}", encoding="utf-8")
    print(f"{len(found)} examples of {readme} in {folder}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
