#!/usr/bin/env python3
"""Run vorlaken.bdecode over every .torrent file below the given directories.

Usage: corpus_decode.py [DIR ...]   (default: ../shared/corpus beside the repository)

Prints one line for each file that bdecode refuses, with the exception class and
message, then "decoded N of M files".  Refusals are reported, not fatal: the exit
status is 0 whenever the walk itself succeeds.
"""

import sys
from pathlib import Path

import vorlaken

DEFAULT_DIR = Path(__file__).resolve().parent.parent.parent / "shared" / "corpus"


def main(argv):
    dirs = [Path(d) for d in argv] or [DEFAULT_DIR]
    files = sorted(p for d in dirs for p in d.rglob("*.torrent") if p.is_file())
    decoded = 0
    for path in files:
        try:
            vorlaken.bdecode(path.read_bytes())
        except Exception as e:
            print(f"{path}: {type(e).__name__}: {e}")
        else:
            decoded += 1
    print(f"decoded {decoded} of {len(files)} files")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
