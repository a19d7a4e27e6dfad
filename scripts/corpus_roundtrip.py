#!/usr/bin/env python3
"""Decode every file under the given directories and encode it again.

A file round-trips when bencode(bdecode(raw)) == raw.  A decodable file that
comes back different is not canonical (its keys are out of order, say);
for those the first differing offset is printed.  Usage:

    scripts/corpus_roundtrip.py [DIR ...]    (default: ../shared/corpus from the repo root)
"""

import collections
import sys
from pathlib import Path

import vorlaken

KINDS = ("round-trips", "not canonical", "not decodable")
NOT_ENCODABLE = "not re-encodable"


def check(path):
    raw = path.read_bytes()
    try:
        value = vorlaken.bdecode(raw)
    except Exception:
        return "not decodable"
    try:
        again = vorlaken.bencode(value)
    except Exception as e:
        print(f"{NOT_ENCODABLE}: {path} ({type(e).__name__}: {e})")
        return NOT_ENCODABLE
    if again == raw:
        return "round-trips"
    offset = next((i for i, (a, b) in enumerate(zip(raw, again)) if a != b), min(len(raw), len(again)))
    print(f"not canonical: {path} (first difference at offset {offset})")
    return "not canonical"


def summary(label, counts):
    kinds = KINDS + ((NOT_ENCODABLE,) if counts[NOT_ENCODABLE] else ())
    return f"{label}: " + ", ".join(f"{counts[k]} {k}" for k in kinds)


def main(args):
    # Encoding costs two levels of the recursion limit per level of nesting and
    # decoding one, so a deep file that decodes under the default limit would
    # not encode again.  The module guards the native stack itself.
    sys.setrecursionlimit(max(sys.getrecursionlimit(), 100_000))
    default = Path(__file__).resolve().parent.parent.parent / "shared" / "corpus"
    total = collections.Counter()
    lines = []
    for top in map(Path, args or [default]):
        groups = collections.defaultdict(collections.Counter)
        for path in sorted(p for p in top.rglob("*.torrent") if p.is_file()):
            rel = path.relative_to(top)
            group = rel.parts[0] + "/" if len(rel.parts) > 1 else "(top level)"
            groups[group][check(path)] += 1
        for group, counts in sorted(groups.items()):
            lines.append(summary(f"{top}/{group}", counts))
            total += counts
    print("\n".join(lines))
    print(summary("overall", total))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
