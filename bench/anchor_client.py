"""The Anchor TypeScript client's coders (bench/anchor_ts, installed by
bench/anchor_ts/install), timed by node on the items brisquel decodes."""

from __future__ import annotations

import json
import os
import subprocess
import tempfile
from pathlib import Path
from typing import Any

from encoder import REPO

NODE_MODULES = REPO / "build" / "anchor-ts" / "node_modules"
CODER_RATE = REPO / "bench" / "anchor_ts" / "coder_rate.js"


def installed() -> bool:
    return (NODE_MODULES / "@coral-xyz" / "anchor").is_dir()


def rate(mode: str, idl: str, items: list[dict[str, Any]] | bytes, seconds: float) -> dict[str, Any] | None:
    """coder_rate.js's report (items, decoded, failed, per_second) for `mode`
    ("instructions", "accounts" or "events") on `items`, or for
    "calls-from-json" on JSON lines text, or None without node or the client,
    or when it fails (said on stdout)."""
    if not installed():
        return None
    with tempfile.TemporaryDirectory() as folder:
        (idl_path := Path(folder) / "idl.json").write_text(idl)
        items_path = Path(folder) / "items.json"
        if isinstance(items, bytes):
            items_path.write_bytes(items)
        else:
            items_path.write_text(json.dumps(items))
        try:
            done = subprocess.run(["node", str(CODER_RATE), mode, str(idl_path), str(items_path), str(seconds)],
                                  capture_output=True, text=True, timeout=600,
                                  env={**os.environ, "NODE_PATH": str(NODE_MODULES)})
        except (OSError, subprocess.TimeoutExpired):
            print("  (node could not run the Anchor TypeScript client)")
            return None
    if done.returncode != 0:
        print(f"  (the client failed: {done.stderr.strip().splitlines()[-1:]})")
        return None
    return json.loads(done.stdout)
