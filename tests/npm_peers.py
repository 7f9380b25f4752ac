"""The npm packages the tests compare brisquel with, as black boxes: installed
by scripts/npm-peers into build/npm-peers (pinned by tests/peers), run with
node. Where one is missing, the comparison skips and says why."""

from __future__ import annotations

import shutil
import subprocess
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parent.parent
PEERS = REPO / "build" / "npm-peers"
SCRIPTS = Path(__file__).resolve().parent / "peers"


def run(script: str, *args: object, package: str, timeout: float = 300) -> str:
    """The standard output of tests/peers/`script` run with node; skips the
    calling test when node or `package` is not installed."""
    node = shutil.which("node")
    if node is None:
        pytest.skip(f"no node here: the comparison with {package} is left out")
    if not (PEERS / "node_modules" / package / "package.json").exists():
        pytest.skip(f"npm peer {package} is not installed (scripts/npm-peers): the comparison is left out")
    # ESM resolves packages from the script's folder: run a copy beside node_modules.
    copy = PEERS / script
    shutil.copyfile(SCRIPTS / script, copy)
    done = subprocess.run([node, str(copy), *map(str, args)], capture_output=True, text=True, timeout=timeout)
    if done.returncode != 0:
        raise AssertionError(f"{script} failed: {done.stderr[-3000:]}")
    return done.stdout
