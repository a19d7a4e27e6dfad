"""Writes the seed corpora of the fuzz targets: torrents of every kind, tracker replies, DHT
messages and the tricky tokens, all made here from a fixed random seed.

    python3 fuzz/make_seeds.py OUTDIR

creates OUTDIR/bdecode, OUTDIR/readers and OUTDIR/encode. The encodings are written by the
model in fuzz/targets, so the seeds do not depend on the extension.
"""

import hashlib
import random
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent / "targets"))

import model  # noqa: E402

rng = random.Random(20261210)


def digest(n):
    return bytes(rng.randrange(256) for _ in range(n))


def v1_info(multi):
    info = {b"name": b"sample", b"piece length": 16384, b"pieces": digest(20 * 3)}
    if multi:
        info[b"files"] = [
            {b"length": 5_000_000_000, b"path": [b"big", b"disc.iso"]},
            {b"length": 12, b"path": [b"readme.txt"]},
        ]
    else:
        info[b"length"] = 40000
    return info


def v2_info(hybrid):
    tree = {
        b"big": {b"disc.iso": {b"": {b"length": 5_000_000_000, b"pieces root": digest(32)}}},
        b"readme.txt": {b"": {b"length": 12, b"pieces root": digest(32)}},
    }
    info = {b"name": b"sample", b"piece length": 16384, b"meta version": 2, b"file tree": tree}
    if hybrid:
        info.update(v1_info(multi=True))
    return info


def torrent(info, extra=()):
    value = {b"announce": b"http://tracker.example/announce", b"info": info}
    value.update(extra)
    return value


def torrents():
    common = {
        b"announce-list": [[b"http://a.example/ann"], [b"udp://b.example:6969", b"http://c/"]],
        b"creation date": 1765368000,
        b"created by": b"vorlaken seeds",
        b"comment": "caf\u00e9 \u2603".encode(),
        b"url-list": [b"http://mirror.example/files/"],
    }
    yield torrent(v1_info(multi=False))
    yield torrent(v1_info(multi=True), common)
    private = v1_info(multi=False)
    private[b"private"] = 1
    yield torrent(private)
    for hybrid in (False, True):
        info = v2_info(hybrid)
        layers = {digest(32): digest(32 * 4)}
        yield torrent(info, {b"piece layers": layers})


def tracker_replies():
    yield {b"interval": 1800, b"complete": 5, b"incomplete": 2, b"peers": digest(6 * 8)}
    yield {b"interval": 900, b"peers6": digest(18 * 2), b"peers": b""}
    yield {
        b"interval": 60,
        b"peers": [
            {b"ip": b"10.0.0.1", b"peer id": digest(20), b"port": 6881},
            {b"ip": b"2001:db8::1", b"peer id": digest(20), b"port": 51413},
        ],
    }
    yield {b"failure reason": b"unregistered torrent"}
    yield {b"files": {hashlib.sha1(b"x").digest(): {b"complete": 3, b"downloaded": 10}}}


def dht_messages():
    node = digest(20)
    yield {b"t": b"aa", b"y": b"q", b"q": b"ping", b"a": {b"id": node}}
    yield {b"t": b"ab", b"y": b"q", b"q": b"find_node", b"a": {b"id": node, b"target": digest(20)}}
    yield {b"t": b"ac", b"y": b"q", b"q": b"get_peers", b"a": {b"id": node, b"info_hash": digest(20)}}
    yield {
        b"t": b"ad",
        b"y": b"q",
        b"q": b"announce_peer",
        b"a": {b"id": node, b"implied_port": 1, b"info_hash": digest(20), b"port": 6881, b"token": b"tok"},
    }
    yield {b"t": b"aa", b"y": b"r", b"r": {b"id": node, b"nodes": digest(26 * 4)}}
    yield {b"t": b"ac", b"y": b"r", b"r": {b"id": node, b"token": b"tok", b"values": [digest(6)] * 3}}
    yield {b"t": b"ae", b"y": b"e", b"e": [201, b"A Generic Error Ocurred"]}


# Tokens at and around the edges of what the readers accept.
TOKENS = [
    b"i0e", b"i-1e", b"i-0e", b"i03e", b"i+3e", b"i 3 e", b"i- 3e", b"ie", b"i-e", b"i1_0e",
    b"i" + b"9" * 25 + b"e", b"i" + b"1" * 4400 + b"e", b"0:", b"00:", b"03:abc", b"-0:", b"-3:abc",
    b"+2:ab", b"3 :abc", b"10:abc", b"3000000000:a", b"9" * 20 + b":a", b"le", b"de", b"l" * 40,
    b"d1:ai0e-6:", b"d1:bi1e1:ai2ee", b"d1:ai1e1:ai2ee", b"di1ei2ee", b"d1:ae", b"li1ei2ee\n",
    b"l3000000000:ae", b"", b"e", b"x",
]


def bencoded_seeds():
    for value in [*torrents(), *tracker_replies(), *dht_messages()]:
        yield model.bencode(value)
    yield from TOKENS


def reader_seeds(blobs):
    for blob in blobs:
        for reader in range(4):
            yield bytes([reader, 16]) + blob
        # Offsets inside the blob, where a nested token starts.
        for offset in sorted({blob.find(b, 1) for b in (b"d", b"l", b"i", b"1")} - {-1})[:3]:
            yield bytes([rng.randrange(4), 16 + offset]) + blob if offset < 200 else b""
        yield bytes([4 | rng.randrange(4)]) + (2**31 - 1).to_bytes(4, "little", signed=True) + blob


def encode_programs():
    # Random programs, weighted towards small scalars and containers.
    weights = [3, 1, 1, 4, 3, 1, 3, 1, 3, 2, 1, 1, 1, 1, 1]
    for _ in range(300):
        program = bytearray()
        for _ in range(rng.randrange(2, 60)):
            op = rng.choices(range(15), weights)[0]
            program.append(op)
            program.extend(digest(rng.randrange(1, 4)))
        yield bytes(program)


def write(directory, seeds):
    directory.mkdir(parents=True, exist_ok=True)
    for seed in seeds:
        if seed:
            name = hashlib.sha1(seed).hexdigest()
            (directory / name).write_bytes(seed)


def main():
    out = Path(sys.argv[1])
    blobs = list(bencoded_seeds())
    write(out / "bdecode", blobs)
    write(out / "readers", reader_seeds(blobs))
    write(out / "encode", encode_programs())


if __name__ == "__main__":
    main()
