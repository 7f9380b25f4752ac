#!/usr/bin/env python3
"""Fails when one function or variable is defined both inline (a weak,
mergeable symbol) in some object files and out of line (a strong one) in
others: the linker keeps the strong one without a word, and the program then
depends on which definition each call happened to inline.

Run over objects built without inlining (-O0), so that every inline function
a file uses is emitted there and can be seen.

    scripts/odr_check.py BUILD_DIR
"""

from __future__ import annotations

import subprocess
import sys
from collections import defaultdict
from pathlib import Path

STRONG = set("TDBR")  # text, data, bss, read-only data
WEAK = set("WVu")     # weak function or object; unique global (inline variables, template statics)


def symbols(obj: Path) -> list[tuple[str, str]]:
    out = subprocess.run(["nm", "--defined-only", "-P", str(obj)], check=True, capture_output=True, text=True).stdout
    found = []
    for line in out.splitlines():
        parts = line.split()
        if len(parts) >= 2:
            found.append((parts[0], parts[1]))
    return found


def demangle(name: str) -> str:
    return subprocess.run(["c++filt", name], capture_output=True, text=True).stdout.strip() or name


def main(build: Path) -> int:
    objects = sorted(p for p in build.rglob("*.o") if "CMakeFiles" in p.parts)
    if not objects:
        print(f"odr_check: no object files under {build}", file=sys.stderr)
        return 1
    kinds: dict[str, dict[str, list[Path]]] = defaultdict(lambda: defaultdict(list))
    for obj in objects:
        for name, kind in symbols(obj):
            kinds[name][kind].append(obj)
    faults = []
    for name, by_kind in kinds.items():
        strong = [o for k, objs in by_kind.items() if k in STRONG for o in objs]
        weak = [o for k, objs in by_kind.items() if k in WEAK for o in objs]
        if strong and weak:
            faults.append(f"{demangle(name)}\n    out of line in {strong[0].name}, inline in {weak[0].name}"
                          f"{f' and {len(weak) - 1} more' if len(weak) > 1 else ''}")
    for fault in faults:
        print(f"odr_check: defined twice: {fault}", file=sys.stderr)
    print(f"odr_check: {len(objects)} object files, {len(kinds)} symbols, {len(faults)} defined both ways")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(Path(sys.argv[1])))
