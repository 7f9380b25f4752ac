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
given; with one, or with "-", standard input. At the end, standard error says
how many accounts were read and printed, and what became of the others: of
other programs (and whose), of these programs but not decoded (shorter than
their layout, data that does not decode; AccountDecoder.decode_tables has the
reasons; AccountDecoder.decode keeps them with theirs), of no account type,
missing, or sent as jsonParsed.
"""

from __future__ import annotations

import argparse
import json
import sys
from typing import Any, TextIO

from collections import Counter

from brisquel import AccountDecoder, IdlError
from brisquel._common import (CommandError, add_address_option, addresses_of, idl_error, input_pieces, plural,
                              read_idls)

CHUNK_BYTES = 16 << 20


def parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog="brisquel accounts", usage="%(prog)s IDL [IDL ...] [INPUT|-] [options]",
        description="Print program accounts as JSON lines, each decoded with the IDL of the program that owns it.")
    p.add_argument("paths", nargs="+", metavar="PATH", help="IDL files, then the input (default: standard input)")
    add_decoder_options(p)
    add_address_option(p)
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


def decoder_of(texts: list[str], paths: list[str], zero_copy: str, old_versions: bool,
               addresses: dict[int, str]) -> AccountDecoder:
    try:
        return AccountDecoder(texts, zero_copy=zero_copy_of(zero_copy, texts, paths), old_versions=old_versions,
                              addresses=addresses)
    except IdlError as e:
        raise idl_error(e, paths, texts) from None


def run(argv: list[str], out: TextIO) -> None:
    args = parser().parse_args(argv)
    idl_paths, source = (args.paths[:-1], args.paths[-1]) if len(args.paths) > 1 else (args.paths, "-")
    texts = read_idls(idl_paths)
    addresses = addresses_of(args.address, idl_paths, texts)
    decoder = decoder_of(texts, idl_paths, args.zero_copy, args.old_versions, addresses)
    counts: Counter[str] = Counter()
    owners: Counter[str | None] = Counter()

    def decode(text: bytes, base: int) -> tuple[list[Any], int]:
        # One reading: the accounts printed, and what became of the others.
        found, piece_counts, piece_owners = decoder.decode_counted(text, keep_failed=False, json_fields=True)
        counts.update(piece_counts)
        owners.update(piece_owners)
        return found, 0

    for found in input_pieces(source, CHUNK_BYTES, decode):
        for a in found:
            # The fields come as JSON text from the decoder: the object is closed around them.
            head = json.dumps({"pubkey": a.pubkey, "owner": a.owner, "lamports": a.lamports, "slot": a.slot,
                               "account": a.name}, ensure_ascii=False)
            out.write(f'{head[:-1]}, "fields": {a.fields}}}\n')
    out.flush()
    _report(counts, owners, decoder.programs, sys.stderr)


def _report(counts: Counter[str], owners: Counter[str | None], programs: list[str], err: TextIO) -> None:
    """What the accounts read became, on standard error."""
    err.write(f"brisquel: read {plural(counts['read'], 'account')}, printed {counts['decoded']:,}\n")
    if counts["other_owner"]:
        listed = ", ".join(f"{owner or '(not given)'} ({n:,})" for owner, n in owners.most_common(5))
        more = len(owners) - 5
        listed += f" and {plural(more, 'other')}" if more > 0 else ""
        err.write(f"brisquel: skipped {plural(counts['other_owner'], 'account')} of other programs, owned by {listed}; "
                  f"the IDLs' programs: {', '.join(programs)} (--address sets an IDL's)\n")
    old = counts["short"]  # without --old-versions, the accounts that option would decode
    if old:
        err.write(f"brisquel: skipped {plural(old, 'account')} shorter than their type (older versions); "
                  "--old-versions decodes them\n")
    failed = counts["failed"] + counts["unreadable"] - old
    if failed:
        err.write(f"brisquel: {plural(failed, 'account')} of these programs did not decode\n")
    for count, why in (("no_match", "of these programs with no account type's discriminator"),
                       ("missing", "missing (null)"),
                       ("parsed", "sent as jsonParsed, which holds no bytes to decode (ask for base64)")):
        if counts[count]:
            err.write(f"brisquel: skipped {plural(counts[count], 'account')} {why}\n")
