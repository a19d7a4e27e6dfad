"""A short tour: decode a small torrent, look at it, and encode it back byte for byte."""

import hashlib

import vorlaken

torrent = vorlaken.bencode({
    "announce": "http://tracker.example/announce",
    "creation date": 1765324800,
    "info": {
        "name": "hello.txt",
        "length": 5 * 2**30,  # over 4 GiB: integers of any size encode
        "piece length": 2**18,
        "pieces": hashlib.sha1(b"hello").digest(),
    },
})
print(f"encoded: {len(torrent)} bytes, starting {torrent[:40]!r}")

meta = vorlaken.bdecode(torrent)
info = meta[b"info"]
print(f"decoded keys: {list(meta)}")
print(f"name {info[b'name'].decode()}, length {info[b'length']}, "
      f"info-hash {hashlib.sha1(vorlaken.bencode(info)).hexdigest()}")
print(f"encodes back to the same bytes: {vorlaken.bencode(meta) == torrent}")

# The readers work at any offset and say where the token ended.
print(f"decode_int(b'i42e4:spam', 0)    -> {vorlaken.decode_int(b'i42e4:spam', 0)}")
print(f"decode_string(b'i42e4:spam', 4) -> {vorlaken.decode_string(b'i42e4:spam', 4)}")

for bad in (b"i03e", b"d3:fooi1e", b"i1ei2e"):
    try:
        vorlaken.bdecode(bad)
    except vorlaken.BTFailure as e:
        print(f"bdecode({bad!r}) refused: {e} (from {e.__context__!r})")
