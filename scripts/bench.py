#!/usr/bin/env python3
"""Time vorlaken against the other bencode codecs and the interpreter's own serialisers.

Usage:
    bench.py [--cases NAME,...] [--quick] [--json FILE] [--corpus DIR]
    bench.py --list
    bench.py --combine FILE.json...

Each case is a bencoded value: the torrents in ../shared/corpus/real beside the repository
(when present) and synthetic ones made from a fixed seed. Every decoder reads the same bytes
and every encoder writes the same plain-dict graph (the value vorlaken decodes with
`vorlaken.OrderedDict = dict`), and each one's result is checked once against vorlaken's
before it is timed. A codec that cannot be imported, or that gets a case wrong, is reported as
not measured for that case, with the reason.

marshal and pickle are floors, not competitors: they only rebuild or serialise the same graph,
with no text format to parse. `pickle[odict]` loads the OrderedDict graph that vorlaken
returns as shipped, so it is the floor for decoding into OrderedDicts.

Each figure is the median of several timings in microseconds per call. The number of calls in
one timing is chosen per codec and case so that a timing lasts about 30 ms; gc is off during a
timing, as in timeit, and the codecs take turns, so that a slow spell of a shared machine hits
them all alike. Compare ratios within a run rather than times across runs.

--json writes every median (and the timings behind it); --combine reads several such files and
prints each figure as the median over the runs with the lowest and highest in brackets.
"""

import argparse
import collections
import gc
import importlib
import itertools
import json
import marshal
import math
import pickle
import platform
import random
import statistics
import sys
import time
import tracemalloc
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
DEFAULT_CORPUS = REPO.parent / "shared" / "corpus" / "real"

PICKLE_PROTOCOL = 5

# label: (module, decode, encode, distribution for the version)
PEERS = {
    "bencode2": ("bencode2", "bdecode", "bencode", "bencode2"),
    "better-bencode": ("better_bencode", "loads", "dumps", "better-bencode"),
    "bencodepy": ("bencodepy", "decode", "encode", "bencodepy"),
    "libtorrent": ("libtorrent", "bdecode", "bencode", None),
}

DECODERS = ["vorlaken", "vorlaken[dict]", *PEERS, "marshal", "pickle", "pickle[odict]"]
ENCODERS = ["vorlaken", *PEERS, "marshal", "pickle"]
FLOORS = {"marshal", "pickle", "pickle[odict]"}


# ---------------------------------------------------------------- cases

def _seeded(name):
    # One generator per case, so that adding or dropping a case leaves the others unchanged.
    return random.Random(f"vorlaken-bench:{name}")


def _word(rng, lo=3, hi=10):
    return bytes(rng.choice(b"abcdefghijklmnopqrstuvwxyz") for _ in range(rng.randint(lo, hi)))


def make_multifile(rng):
    piece_length = 4 << 20
    files = []
    for i in range(10_000):
        folder = b"%s-%02d" % (_word(rng), i % 37)
        files.append({b"length": rng.randint(1, 1 << 22),
                      b"path": [folder, b"%s-%05d.dat" % (_word(rng), i)]})
    total = sum(f[b"length"] for f in files)
    pieces = -(-total // piece_length)
    return {
        b"announce": b"http://tracker.example.org:6969/announce",
        b"announce-list": [[b"http://tracker.example.org:6969/announce"],
                           [b"udp://backup.example.net:1337/announce"]],
        b"comment": b"synthetic multi-file torrent",
        b"created by": b"vorlaken bench",
        b"creation date": 1_700_000_000,
        b"info": {
            b"files": files,
            b"name": b"synthetic-collection",
            b"piece length": piece_length,
            b"pieces": rng.randbytes(20 * pieces),
        },
    }


def _ipv4(rng):
    return b"%d.%d.%d.%d" % tuple(rng.randint(1, 254) for _ in range(4))


def make_tracker(rng):
    peers = [{b"ip": _ipv4(rng), b"peer id": rng.randbytes(20), b"port": rng.randint(1024, 65535)}
             for _ in range(200)]
    return {b"complete": 143, b"incomplete": 57, b"interval": 1800, b"min interval": 900,
            b"peers": peers, b"tracker id": b"a1b2c3d4"}


def make_dht_ping(rng):
    return {b"a": {b"id": rng.randbytes(20)}, b"q": b"ping", b"t": b"aa", b"y": b"q"}


def make_ints(rng):
    # Magnitudes spread over 0..2**62, so that every codec's int64 path is exercised and none
    # needs arbitrary precision; about a third negative.
    out = []
    for _ in range(100_000):
        value = rng.getrandbits(rng.choice((3, 7, 15, 31, 47, 62)))
        out.append(-value if rng.random() < 0.3 else value)
    return out


def make_strings(rng):
    return [rng.randbytes(rng.randint(1, 24)) for _ in range(50_000)]


def make_scrape(rng):
    files = {}
    for _ in range(2_000):
        files[rng.randbytes(20)] = {b"complete": rng.randint(0, 5000),
                                    b"downloaded": rng.randint(0, 100_000),
                                    b"incomplete": rng.randint(0, 2000)}
    return {b"files": dict(sorted(files.items()))}


def make_long_strings(rng):
    return [rng.randbytes(1 << 20), rng.randbytes(2 << 20), rng.randbytes(4 << 20)]


def make_compact_tracker(rng):
    return {b"complete": 812, b"incomplete": 95, b"interval": 1800, b"min interval": 900,
            b"peers": rng.randbytes(6 * 200), b"peers6": rng.randbytes(18 * 50)}


def make_v2(rng):
    piece_length = 1 << 16
    tree = {}
    layers = {}
    for d in range(10):
        folder = {}
        for f in range(20):
            length = rng.randint(1, 16 << 20)
            root = rng.randbytes(32)
            folder[b"%s-%02d.bin" % (_word(rng), f)] = {
                b"": {b"length": length, b"pieces root": root}}
            if length > piece_length:
                layers[root] = rng.randbytes(32 * -(-length // piece_length))
        tree[b"dir-%02d" % d] = dict(sorted(folder.items()))
    return {
        b"announce": b"http://tracker.example.org:6969/announce",
        b"creation date": 1_700_000_000,
        b"info": {b"file tree": tree, b"meta version": 2, b"name": b"synthetic-v2",
                  b"piece length": piece_length},
        b"piece layers": dict(sorted(layers.items())),
    }


SYNTHETIC = {
    "multifile-10k": (make_multifile, "v1 torrent, 10,000 files"),
    "tracker-200": (make_tracker, "tracker reply, 200 dict peers"),
    "dht-ping": (make_dht_ping, "DHT ping query"),
    "ints-100k": (make_ints, "list of 100,000 ints"),
    "strings-50k": (make_strings, "list of 50,000 short strings"),
    "scrape-2k": (make_scrape, "scrape reply, 2,000 binary keys"),
    "long-strings": (make_long_strings, "strings of 1, 2 and 4 MiB"),
    "tracker-compact": (make_compact_tracker, "compact tracker reply"),
    "v2-torrent": (make_v2, "v2 torrent, file tree, piece layers"),
}


def case_names(corpus):
    real = sorted(corpus.glob("*.torrent")) if corpus.is_dir() else []
    return {p.name.removesuffix(".torrent"): p for p in real} | {n: None for n in SYNTHETIC}


def load_case(name, path, vorlaken):
    if path is not None:
        return path.read_bytes(), "real torrent"
    make, description = SYNTHETIC[name]
    return vorlaken.bencode(make(_seeded(name))), description


# ---------------------------------------------------------------- codecs

def peer_codecs():
    """(label -> (decode, encode)), (label -> version), (label -> why it is missing)."""
    found, versions, missing = {}, {}, {}
    for label, (module, dec, enc, dist) in PEERS.items():
        try:
            m = importlib.import_module(module)
            found[label] = (getattr(m, dec), getattr(m, enc))
        except Exception as e:  # not installed, or does not load on this interpreter
            missing[label] = f"{type(e).__name__}: {e}"
            continue
        versions[label] = _version(m, dist)
    return found, versions, missing


def _version(module, dist):
    if dist is not None:
        try:
            from importlib import metadata
            return metadata.version(dist)
        except Exception:
            pass
    return getattr(module, "__version__", None)


class Plain:
    """Rebinds vorlaken.OrderedDict to dict for as long as it is entered."""

    def __init__(self, vorlaken):
        self.vorlaken = vorlaken

    def __enter__(self):
        self.saved = self.vorlaken.OrderedDict
        self.vorlaken.OrderedDict = dict

    def __exit__(self, *exc):
        self.vorlaken.OrderedDict = self.saved


class Series:
    """One codec in one direction on one case: fn(arg) or fn(arg, extra), called n times."""

    def __init__(self, label, fn, arg, extra=None, bind=None):
        self.label, self.fn, self.arg, self.extra, self.bind = label, fn, arg, extra, bind
        self.n = 1
        self.timings = []

    def call(self):
        if self.bind is None:
            return self._call()
        with self.bind:
            return self._call()

    def _call(self):
        return self.fn(self.arg) if self.extra is None else self.fn(self.arg, self.extra)

    def time(self, n):
        """Nanoseconds for n calls, with gc off as in timeit."""
        fn, arg, extra, it = self.fn, self.arg, self.extra, itertools.repeat(None, n)
        if self.bind is not None:
            self.bind.__enter__()
        gc_was_on = gc.isenabled()
        gc.disable()
        try:
            if extra is None:
                start = time.perf_counter_ns()
                for _ in it:
                    fn(arg)
                return time.perf_counter_ns() - start
            start = time.perf_counter_ns()
            for _ in it:
                fn(arg, extra)
            return time.perf_counter_ns() - start
        finally:
            if gc_was_on:
                gc.enable()
            if self.bind is not None:
                self.bind.__exit__(None, None, None)

    def calibrate(self, target_ns):
        # Doubles n until a timing lasts a fifth of the target, then scales to the target;
        # the calls made on the way are the warm-up.
        n = 1
        while True:
            elapsed = self.time(n)
            if elapsed >= target_ns // 5 or n >= 1 << 30:
                break
            n *= 2
        self.n = max(1, round(n * target_ns / max(elapsed, 1)))


def _first_difference(a, b):
    for i, (x, y) in enumerate(zip(a, b)):
        if x != y:
            return i
    return min(len(a), len(b))


def build_series(raw, vorlaken, peers):
    """The decode and encode series of one case, and the reason for each one left out."""
    plain_bind = Plain(vorlaken)
    with plain_bind:
        plain = vorlaken.bdecode(raw)
    odict = vorlaken.bdecode(raw)
    reference = vorlaken.bencode(plain)
    skipped = {"decode": {}, "encode": {}}

    decode = [Series("vorlaken", vorlaken.bdecode, raw),
              Series("vorlaken[dict]", vorlaken.bdecode, raw, bind=plain_bind)]
    encode = [Series("vorlaken", vorlaken.bencode, plain)]
    for label, (dec, enc) in peers.items():
        decode.append(Series(label, dec, raw))
        encode.append(Series(label, enc, plain))
    try:
        decode.append(Series("marshal", marshal.loads, marshal.dumps(plain)))
        encode.append(Series("marshal", marshal.dumps, plain))
    except ValueError as e:
        skipped["decode"]["marshal"] = skipped["encode"]["marshal"] = f"ValueError: {e}"
    decode.append(Series("pickle", pickle.loads, pickle.dumps(plain, PICKLE_PROTOCOL)))
    decode.append(Series("pickle[odict]", pickle.loads, pickle.dumps(odict, PICKLE_PROTOCOL)))
    encode.append(Series("pickle", pickle.dumps, plain, extra=PICKLE_PROTOCOL))

    def checked(series, direction):
        kept = []
        for s in series:
            try:
                out = s.call()
            except Exception as e:
                skipped[direction][s.label] = f"{type(e).__name__}: {e}"[:120]
                continue
            if direction == "decode":
                expected = odict if s.label == "pickle[odict]" else plain
                ok = out == expected
                why = "decoded value differs from vorlaken's"
            elif s.label in FLOORS:
                ok = (marshal.loads(out) if s.label == "marshal" else pickle.loads(out)) == plain
                why = "does not load back to the same value"
            else:
                ok = out == reference
                why = (f"output differs from vorlaken's at byte "
                       f"{_first_difference(out, reference)}" if isinstance(out, bytes)
                       else f"returns {type(out).__name__}, not bytes")
            if ok:
                kept.append(s)
            else:
                skipped[direction][s.label] = why
        return kept

    decode, encode = checked(decode, "decode"), checked(encode, "encode")
    if type(odict) is not collections.OrderedDict and isinstance(odict, dict):
        raise SystemExit("vorlaken.bdecode did not build an OrderedDict: is the module as shipped?")
    return {"decode": decode, "encode": encode}, skipped, plain, reference


def bencode_peak(vorlaken, plain):
    """Peak traced memory during one vorlaken.bencode call, over what was traced before."""
    gc.collect()
    tracemalloc.start()
    try:
        tracemalloc.reset_peak()
        before = tracemalloc.get_traced_memory()[0]
        out = vorlaken.bencode(plain)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    return peak - before, len(out)


def run_case(series, repeats, target_ns):
    everything = series["decode"] + series["encode"]
    for s in everything:
        s.calibrate(target_ns)
    for r in range(repeats):
        # Take turns, starting one further each round, so that no codec always follows the
        # same neighbour.
        shift = r % len(everything)
        for s in everything[shift:] + everything[:shift]:
            s.timings.append(s.time(s.n) / s.n / 1000)


def measure(args):
    import vorlaken

    names = case_names(Path(args.corpus))
    chosen = list(names) if args.cases is None else args.cases
    unknown = [c for c in chosen if c not in names]
    if unknown:
        raise SystemExit(f"unknown case(s): {', '.join(unknown)}; known: {', '.join(names)}")
    if args.corpus_required and not any(names[c] for c in names):
        raise SystemExit(f"no torrents in {args.corpus}")

    peers, versions, missing = peer_codecs()
    repeats = args.repeats or (3 if args.quick else 7)
    target_ns = int((args.target_ms or (5 if args.quick else 30)) * 1e6)
    result = {
        "format": 1,
        "python": platform.python_version(),
        "implementation": platform.python_implementation(),
        "versions": {"vorlaken": vorlaken.__version__, **versions},
        "missing": missing,
        "settings": {"repeats": repeats, "target_ms": target_ns / 1e6, "quick": args.quick},
        "cases": {},
        "medians_us": {"decode": {}, "encode": {}},
        "timings_us": {"decode": {}, "encode": {}},
        "iterations": {"decode": {}, "encode": {}},
        "not_measured": {"decode": {}, "encode": {}},
        "memory": {},
    }
    started = time.monotonic()
    for name in chosen:
        raw, description = load_case(name, names[name], vorlaken)
        series, skipped, plain, reference = build_series(raw, vorlaken, peers)
        run_case(series, repeats, target_ns)
        peak, out_len = bencode_peak(vorlaken, plain)
        result["cases"][name] = {"bytes": len(raw), "description": description,
                                 "canonical": reference == raw}
        result["memory"][name] = {"peak_bytes": peak, "output_bytes": out_len}
        for direction, group in series.items():
            result["medians_us"][direction][name] = {
                s.label: statistics.median(s.timings) for s in group}
            result["timings_us"][direction][name] = {s.label: s.timings for s in group}
            result["iterations"][direction][name] = {s.label: s.n for s in group}
            reasons = dict(skipped[direction])
            reasons.update((label, "not importable") for label in missing)
            result["not_measured"][direction][name] = reasons
        print(f"  {name}: {time.monotonic() - started:.0f} s", file=sys.stderr, flush=True)
    result["seconds"] = round(time.monotonic() - started, 1)
    return result


# ---------------------------------------------------------------- report

def spread(values):
    """(median, lowest, highest) of the values that are there, or None."""
    values = [v for v in values if v is not None]
    if not values:
        return None
    return statistics.median(values), min(values), max(values)


def _num(x, digits):
    if x == 0 or not math.isfinite(x):
        return f"{x:g}"
    # Significant digits, without switching to exponent notation for large times.
    decimals = max(0, digits - 1 - math.floor(math.log10(abs(x))))
    return f"{x:.{decimals}f}"


def cell(figure, digits=3):
    if figure is None:
        return "-"
    mid, lo, hi = figure
    if lo == hi:
        return _num(mid, digits)
    return f"{_num(mid, digits)} ({_num(lo, 2)}-{_num(hi, 2)})"


def table(title, header, rows, out, left=1):
    """Prints rows under a header; the first `left` columns are text, the others figures."""
    print(f"\n{title}", file=out)
    widths = [max(len(str(r[i])) for r in [header, *rows]) for i in range(len(header))]
    for r in [header, *rows]:
        line = [str(v).ljust(w) if i < left else str(v).rjust(w)
                for i, (v, w) in enumerate(zip(r, widths))]
        print("  ".join(line).rstrip(), file=out)


def geomean(values):
    return math.exp(sum(map(math.log, values)) / len(values)) if values else None


def per_run_figures(run):
    """Every derived figure of one run, keyed by a tuple, so that runs combine cell by cell."""
    fig = {}
    med = run["medians_us"]
    for direction in ("decode", "encode"):
        ratios = collections.defaultdict(list)
        for case, row in med[direction].items():
            base = row.get("vorlaken")
            for codec, us in row.items():
                fig[("us", direction, case, codec)] = us
                if base:
                    r = us / base
                    fig[("ratio", direction, case, codec)] = r
                    ratios[codec].append(r)
        for codec, rs in ratios.items():
            fig[("geomean", direction, codec)] = geomean(rs)
            fig[("geomean-n", direction, codec)] = len(rs)
    targets = {"encode": ("encode", "vorlaken", "bencode2"),
               "decode-dict": ("decode", "vorlaken[dict]", "bencode2"),
               "decode-odict": ("decode", "vorlaken", "pickle[odict]")}
    for key, (direction, ours, theirs) in targets.items():
        rs = []
        for case, row in med[direction].items():
            if ours in row and theirs in row:
                r = row[ours] / row[theirs]
                fig[("target", key, case)] = r
                rs.append(r)
        if rs:
            fig[("target", key, "geomean")] = geomean(rs)
    for case, m in run["memory"].items():
        fig[("memory", case)] = m["peak_bytes"] / m["output_bytes"] if m["output_bytes"] else None
    return fig


def report(runs, out=sys.stdout):
    first = runs[0]
    figs = [per_run_figures(r) for r in runs]

    def get(*key):
        return spread([f.get(key) for f in figs])

    cases = list(dict.fromkeys(c for r in runs for c in r["cases"]))
    n = len(runs)
    versions = ", ".join(f"{k} {v}" for k, v in first["versions"].items())
    s = first["settings"]
    print(f"CPython {first['python']}: {versions}", file=out)
    print(f"median of {s['repeats']} timings of about {s['target_ms']:g} ms each"
          + (", QUICK (smoke run, not for quoting)" if s["quick"] else "")
          + (f"; {n} runs: each figure is the median over the runs (lowest-highest)"
             if n > 1 else ""), file=out)
    for label, why in first["missing"].items():
        print(f"{label}: not measured ({why})", file=out)

    rows = []
    for c in cases:
        info = first["cases"][c]
        rows.append([c, info["description"], info["bytes"],
                     "" if info["canonical"] else "  not canonical: vorlaken re-encodes it"])
    table("Cases", ["case", "what", "bytes", ""], rows, out, left=2)

    notes = collections.defaultdict(set)
    for direction, codecs in (("decode", DECODERS), ("encode", ENCODERS)):
        present = [c for c in codecs
                   if any(c in r["medians_us"][direction].get(case, {}) for r in runs
                          for case in cases)]
        for r in runs:
            for case in cases:
                for codec, why in r["not_measured"][direction].get(case, {}).items():
                    if codec not in first["missing"]:
                        notes[(direction, codec)].add(f"{case}: {why}")
        table(f"{direction.capitalize()}, microseconds per call",
              ["case", *present],
              [[c, *(cell(get("us", direction, c, k), 4) for k in present)] for c in cases], out)
        rows = [[c, *(cell(get("ratio", direction, c, k)) for k in present)] for c in cases]
        gm = []
        for k in present:
            counts = {f.get(("geomean-n", direction, k)) for f in figs}
            mark = "" if counts == {len(cases)} else "*"
            gm.append(cell(get("geomean", direction, k)) + mark)
        rows.append(["geomean", *gm])
        table(f"{direction.capitalize()}, time over vorlaken's (above 1: vorlaken is faster;"
              f" * = over the cases measured)", ["case", *present], rows, out)
    for (direction, codec), whys in sorted(notes.items()):
        for why in sorted(whys):
            print(f"{direction} {codec}: not measured on {why}", file=out)

    rows = [[c, cell(get("target", "encode", c)), cell(get("target", "decode-dict", c)),
             cell(get("target", "decode-odict", c))] for c in [*cases, "geomean"]]
    table("Targets: vorlaken's time over the other's (below 1: vorlaken is faster)",
          ["case", "encode vorlaken/bencode2", "decode vorlaken[dict]/bencode2",
           "decode vorlaken/pickle[odict]"], rows, out)

    rows = [[c, first["memory"][c]["output_bytes"], cell(get("memory", c))] for c in cases]
    table("vorlaken.bencode peak traced memory (tracemalloc: Python allocations only),"
          " as a multiple of the output's length", ["case", "output bytes", "peak / output"],
          rows, out)


def combine(paths):
    runs = [json.loads(Path(p).read_text()) for p in paths]
    groups = collections.defaultdict(list)
    for r in runs:
        groups[(r["implementation"], r["python"])].append(r)
    for i, group in enumerate(groups.values()):
        if i:
            print("\n" + "=" * 78)
        report(group)
    return 0


# ---------------------------------------------------------------- main

def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--cases", type=lambda s: [c for c in s.split(",") if c],
                        help="comma-separated case names (see --list)")
    parser.add_argument("--quick", action="store_true",
                        help="smoke run: 3 timings of about 5 ms each")
    parser.add_argument("--json", metavar="FILE", help="write the raw medians to FILE")
    parser.add_argument("--corpus", default=str(DEFAULT_CORPUS),
                        help="directory of real torrents, each a case (default: %(default)s)")
    parser.add_argument("--corpus-required", action="store_true",
                        help="fail when the corpus directory has no torrents")
    parser.add_argument("--repeats", type=int, help="timings per figure (default 7)")
    parser.add_argument("--target-ms", type=float, help="length of one timing (default 30)")
    parser.add_argument("--list", action="store_true", help="list the cases and exit")
    parser.add_argument("--combine", nargs="+", metavar="FILE",
                        help="print the figures of several --json files, median and range")
    args = parser.parse_args(argv)
    if args.combine:
        return combine(args.combine)
    if args.list:
        for name, path in case_names(Path(args.corpus)).items():
            print(name, "(real)" if path else "(synthetic)")
        return 0
    if args.repeats is not None and args.repeats < 1:
        parser.error("--repeats must be at least 1")
    result = measure(args)
    if args.json:
        Path(args.json).parent.mkdir(parents=True, exist_ok=True)
        Path(args.json).write_text(json.dumps(result, indent=1) + "\n")
    report([result])
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
