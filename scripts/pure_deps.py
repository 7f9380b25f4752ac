"""Links pure-Python distributions installed for this interpreter, with
everything they require, into one folder that another interpreter can put on
its path (a free-threaded build of a newer CPython, which cannot load this
one's compiled modules and must not see them at all).

    python3 scripts/pure_deps.py FOLDER DISTRIBUTION...

The folder is made anew. A distribution that ships a compiled module is an
error, so nothing compiled slips in through a requirement.
"""

from __future__ import annotations

import importlib.metadata as metadata
import os
import shutil
import sys
from pathlib import Path

from packaging.requirements import Requirement
from packaging.utils import canonicalize_name


def top_level(dist: metadata.Distribution, site: Path) -> list[Path]:
    """The importable names the distribution installs, found in `site`."""
    names = (dist.read_text("top_level.txt") or "").split()
    if not names and dist.files:
        names = sorted({f.parts[0].removesuffix(".py") for f in dist.files if f.parts[0] not in ("..", "__pycache__")
                        and not f.parts[0].endswith((".dist-info", ".egg-info"))})
    if not names:
        names = [dist.metadata["Name"].replace("-", "_").lower()]
    paths = [p for n in names for p in (site / n, site / f"{n}.py") if p.exists()]
    if not paths:
        raise SystemExit(f"pure_deps: cannot find what {dist.metadata['Name']} installs in {site}")
    return paths


def closure(names: list[str]) -> list[metadata.Distribution]:
    seen: dict[str, metadata.Distribution] = {}
    todo = list(names)
    while todo:
        name = canonicalize_name(todo.pop())
        if name in seen:
            continue
        seen[name] = dist = metadata.distribution(name)
        for text in dist.requires or []:
            req = Requirement(text)
            if req.marker is None or req.marker.evaluate({"extra": ""}):
                todo.append(req.name)
    return list(seen.values())


def main() -> None:
    folder, names = Path(sys.argv[1]), sys.argv[2:]
    shutil.rmtree(folder, ignore_errors=True)
    folder.mkdir(parents=True)
    for dist in closure(names):
        info = Path(dist._path)  # the .dist-info or .egg-info folder
        for path in top_level(dist, info.parent):
            compiled = [p for p in ([path] if path.is_file() else path.rglob("*")) if p.suffix in (".so", ".pyd")]
            if compiled:
                raise SystemExit(f"pure_deps: {dist.metadata['Name']} is not pure Python ({compiled[0]})")
            os.symlink(path, folder / path.name)
        os.symlink(info, folder / info.name)


if __name__ == "__main__":
    main()
