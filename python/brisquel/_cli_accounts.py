"""python -m brisquel accounts: program accounts as JSON lines.

    python -m brisquel accounts IDL [IDL ...] [INPUT|-] [--zero-copy NAME,...] [--old-versions]

Each account owned by one of the IDLs' programs whose data starts with one of
its account discriminators is decoded with that program's IDL and printed as
one JSON object:

    {"pubkey": "...", "owner": "...", "lamports": 1, "slot": 2, "account": "Pool", "fields": {...}}

(pubkey, lamports and slot null when the input does not say.) The input (RPC
JSON: getAccountInfo, getMultipleAccounts or getProgramAccounts responses or
results, {pubkey, account} entries, `solana account --output json` dumps; one
value, an array, or one per line) is the last path when more than one is
given; with one, or with "-", standard input. How many accounts of these
programs did not decode (shorter than their layout, data that does not decode)
is said on standard error at the end; AccountDecoder.decode_tables has the
reasons.
"""

from __future__ import annotations

import argparse
import json
import sys
from typing import Any, TextIO

from brisquel import AccountDecoder, IdlError
from brisquel._common import CommandError, idl_error, input_pieces, jsonable, read_idls

CHUNK_BYTES = 16 << 20


def parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog="brisquel accounts", usage="%(prog)s IDL [IDL ...] [INPUT|-] [options]",
        description="Print program accounts as JSON lines, each decoded with the IDL of the program that owns it.")
    p.add_argument("paths", nargs="+", metavar="PATH", help="IDL files, then the input (default: standard input)")
    add_decoder_options(p)
    return p


def add_decoder_options(p: argparse.ArgumentParser, note: str = "") -> None:
    """The options that shape an AccountDecoder (`note` begins their help)."""
    p.add_argument("--zero-copy", default="", metavar="NAMES",
                   help=f"{note}comma-separated types to read at C-layout offsets (zero-copy) although the IDL does "
                        "not say so, in every IDL that defines them")
    p.add_argument("--old-versions", action="store_true",
                   help=f"{note}an account shorter than its layout, ending where a top-level field begins, decodes "
                        "with the missing fields null (else it does not decode)")


def zero_copy_of(option: str, texts: list[str], paths: list[str]) -> dict[int, list[str]]:
    """Which IDLs define each type --zero-copy names (comma-separated): {IDL index: names}."""
    names = [n.strip() for n in option.split(",") if n.strip()]
    out: dict[int, list[str]] = {}
    found: set[str] = set()
    for i, text in enumerate(texts):
        try:
            types = {t.get("name") for t in json.loads(text).get("types") or [] if isinstance(t, dict)}
        except (ValueError, AttributeError):
            continue  # the decoder names what is wrong with it
        mine = [n for n in names if n in types]
        if mine:
            out[i] = mine
            found.update(mine)
    missing = [n for n in names if n not in found]
    if missing:
        raise CommandError(f"--zero-copy: no IDL among {', '.join(paths)} defines type {missing[0]}")
    return out


def decoder_of(texts: list[str], paths: list[str], zero_copy: str, old_versions: bool) -> AccountDecoder:
    try:
        return AccountDecoder(texts, zero_copy=zero_copy_of(zero_copy, texts, paths), old_versions=old_versions)
    except IdlError as e:
        raise idl_error(e, paths) from None


def run(argv: list[str], out: TextIO) -> None:
    args = parser().parse_args(argv)
    idl_paths, source = (args.paths[:-1], args.paths[-1]) if len(args.paths) > 1 else (args.paths, "-")
    decoder = decoder_of(read_idls(idl_paths), idl_paths, args.zero_copy, args.old_versions)
    failed = 0

    def decode(text: bytes, base: int) -> tuple[list[Any], int]:
        nonlocal failed
        counts = decoder.decode_tables(text).counts
        failed += counts["failed"] + counts["unreadable"]
        return decoder.decode(text), 0

    for found in input_pieces(source, CHUNK_BYTES, decode):
        for a in found:
            out.write(json.dumps({"pubkey": a.pubkey, "owner": a.owner, "lamports": a.lamports, "slot": a.slot,
                                  "account": a.name, "fields": jsonable(a.fields)}, ensure_ascii=False))
            out.write("\n")
    if failed:
        print(f"brisquel: {failed} account{'s' if failed > 1 else ''} of these programs did not decode",
              file=sys.stderr)
