#!/usr/bin/env python3
"""Time vorlaken against whichever other bencode codecs are installed, on a directory of torrents.

Usage: bench.py [DIR] [--runs N]    (default: ../shared/corpus beside the repository, 5 runs)

Only files that every codec decodes and that encode back to the same bytes are used, so all
codecs do the same work. Each figure is the median over the runs of the time to decode (or
encode) every file once; the ratio is the other codec's time over vorlaken's, so a ratio above
1 means vorlaken is faster. The machines this runs on are shared: compare ratios from one run,
not times across runs.
"""

import argparse
import importlib
import statistics
import sys
import time
from pathlib import Path

import vorlaken

DEFAULT_DIR = Path(__file__).resolve().parent.parent.parent / "shared" / "corpus"

SAMPLE = b"d4:infod6:lengthi5e4:name1:aee"

# name: (module, decode, encode)
PEERS = {
    "bencode2": ("bencode2", "bdecode", "bencode"),
    "better-bencode": ("better_bencode", "loads", "dumps"),
    "bencodepy": ("bencodepy", "decode", "encode"),
    "libtorrent": ("libtorrent", "bdecode", "bencode"),
}


def codecs():
    found = {"vorlaken": (vorlaken.bdecode, vorlaken.bencode)}
    for name, (module, dec, enc) in PEERS.items():
        try:
            m = importlib.import_module(module)
            pair = (getattr(m, dec), getattr(m, enc))
            pair[1](pair[0](SAMPLE))
        except Exception as e:  # not installed, or does not work on this interpreter
            print(f"{name}: not measured ({type(e).__name__}: {e})")
        else:
            found[name] = pair
    return found


def usable(raw, found):
    for dec, enc in found.values():
        try:
            if enc(dec(raw)) != raw:
                return False
        except Exception:
            return False
    return True


def median_time(fn, items, runs):
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        for item in items:
            fn(item)
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def main(argv):
    parser = argparse.ArgumentParser()
    parser.add_argument("dir", nargs="?", default=str(DEFAULT_DIR))
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args(argv)
    found = codecs()
    raws = [p.read_bytes() for p in sorted(Path(args.dir).rglob("*.torrent"))]
    raws = [raw for raw in raws if usable(raw, found)]
    print(f"{len(raws)} files, {sum(map(len, raws))} bytes, median of {args.runs} runs")
    results = {}
    for name, (dec, enc) in found.items():
        values = [dec(raw) for raw in raws]
        results[name] = (median_time(dec, raws, args.runs), median_time(enc, values, args.runs))
    base_dec, base_enc = results["vorlaken"]
    print(f"{'codec':16} {'decode ms':>10} {'ratio':>6} {'encode ms':>10} {'ratio':>6}")
    for name, (dec, enc) in results.items():
        print(f"{name:16} {dec * 1e3:10.2f} {dec / base_dec:6.2f} {enc * 1e3:10.2f} "
              f"{enc / base_enc:6.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
