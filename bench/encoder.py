"""The test-side Borsh encoder (tests/borsh.py), loaded by its path so the
benchmark builds its inputs with the same code the tests trust."""

from __future__ import annotations

import importlib.util
import sys
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent

_spec = importlib.util.spec_from_file_location("borsh", REPO / "tests" / "borsh.py")
assert _spec is not None and _spec.loader is not None
borsh = importlib.util.module_from_spec(_spec)
sys.modules.setdefault("borsh", borsh)
_spec.loader.exec_module(borsh)
