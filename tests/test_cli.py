"""The vorlaken command: show, dump, encode and check, and how each refuses what it cannot use.

Most tests call the tool's main() in this process with byte streams for standard input and
output; the ones about the installed console script (argument parsing, --help, tracebacks,
pipes) run it as a child process.
"""

import hashlib
import io
import json
import os
import subprocess
import sys
from pathlib import Path

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import vorlaken
import vorlaken_cli
from support import bencoded

REPO_ROOT = Path(__file__).resolve().parent.parent
SAMPLE = REPO_ROOT / "examples" / "sample.torrent"
CONSOLE_SCRIPT = Path(sys.executable).with_name("vorlaken")


def run(*argv, stdin=b""):
    """main() in this process: (exit status, standard output bytes, standard error text)."""
    out, err = io.BytesIO(), io.StringIO()
    code = vorlaken_cli.main(list(argv), stdin=io.BytesIO(stdin), stdout=out, stderr=err)
    return code, out.getvalue(), err.getvalue()


def run_script(*argv, stdin=b"", cwd=None):
    return subprocess.run([str(CONSOLE_SCRIPT), *argv], input=stdin, capture_output=True,
                          cwd=cwd, timeout=120)


def refused(argv, stdin, message):
    """The command fails with status 2 and exactly one line on standard error, holding message."""
    code, out, err = run(*argv, stdin=stdin)
    assert code == 2 and out == b""
    assert err.count("\n") == 1 and err.endswith("\n"), err
    assert message in err, err
    assert "internal error" not in err
    return err


def fields(out):
    """The "label: value" lines of show's output, by label."""
    result = {}
    for line in out.decode().splitlines():
        if not line.startswith(" ") and ": " in line:
            label, value = line.split(":", 1)
            result[label] = value.strip()
    return result


def section(out, title):
    """The indented lines under a heading such as "files:"."""
    lines = out.decode().splitlines()
    start = lines.index(title) + 1
    body = []
    for line in lines[start:]:
        if not line.startswith("  "):
            break
        body.append(line)
    return body


def torrent(info, **top):
    """A metainfo file: the info dictionary and top-level keys given with "_" for " " or "-"."""
    meta = {k.replace("__", "-").replace("_", " ").encode(): v for k, v in top.items()}
    meta[b"info"] = info
    return vorlaken.bencode(meta)


V1_SINGLE = {b"name": b"a.bin", b"length": 5 * 2 ** 30, b"piece length": 2 ** 24,
             b"pieces": b"\x01" * 20 * 320}
V1_MULTI = {
    b"name": b"album",
    b"piece length": 2 ** 15,
    b"pieces": b"\x02" * 40,
    b"files": [
        {b"length": 10, b"path": [b"cover.jpg"]},
        {b"length": 30000, b"path": [b"disc 1", b"01.flac"]},
        {b"length": 2768, b"path": [b".pad", b"2768"], b"attr": b"p"},
        {b"length": 20000, b"path": [b"disc 1", b"02.flac"]},
        {b"length": 7, b"path": [b"disc 2", b"notes", b"\xff.txt"]},
    ],
}
V2_TREE = {
    b"c": {b"": {b"length": 0}},
    b"dir": {
        b"a.txt": {b"": {b"length": 5, b"pieces root": b"\xa1" * 32}},
        b"b.bin": {b"": {b"length": 70000, b"pieces root": b"\xc0" * 32}},
    },
}
V2_ONLY = {b"file tree": V2_TREE, b"meta version": 2, b"name": b"root",
           b"piece length": 2 ** 16}
HYBRID = {**V2_ONLY, b"pieces": b"\x03" * 60, b"files": [
    {b"length": 0, b"path": [b"c"]},
    {b"length": 5, b"path": [b"dir", b"a.txt"]},
    {b"length": 65531, b"path": [b".pad", b"65531"], b"attr": b"p"},
    {b"length": 70000, b"path": [b"dir", b"b.bin"]},
]}


# ---------------------------------------------------------------------------------------------
# show

def test_show_sample_summary():
    code, out, err = run("show", str(SAMPLE))
    assert (code, err) == (0, "")
    info = vorlaken.bdecode(SAMPLE.read_bytes())[b"info"]
    f = fields(out)
    assert f["name"] == "vorlaken-sample"
    assert f["format"] == "v1"
    assert f["info-hash v1"] == hashlib.sha1(vorlaken.bencode(info)).hexdigest()
    assert "info-hash v2" not in f
    assert f["total size"] == "40146 bytes (39.2 KiB) in 3 files"
    assert f["piece length"] == "32768 (32 KiB)"
    assert f["pieces"] == "2"
    assert f["private"] == "no"
    assert f["created by"] == "mktorrent 1.1"
    assert f["comment"] == "vorlaken sample: three small files"
    assert f["announce"] == "http://tracker.example.org:6969/announce"
    assert section(out, "announce-list:") == [
        "  tier 1: http://tracker.example.org:6969/announce",
        "  tier 2: udp://backup.example.net:1337/announce",
    ]
    assert section(out, "web seeds:") == ["  https://seed.example.org/files/"]
    assert section(out, "files:") == [
        "  vorlaken-sample/",
        "    README.txt (53 B)",
        "    data/",
        "      pattern.bin (39.1 KiB)",
        "    docs/",
        "      format.txt (93 B)",
    ]
    assert "note:" not in out.decode()


@pytest.mark.parametrize("info, format_, hashes, size, pieces, tree", [
    pytest.param(V1_SINGLE, "v1", ["v1"], "5368709120 bytes (5 GiB) in 1 file", "320",
                 ["  a.bin (5 GiB)"], id="v1-single-over-4GiB"),
    pytest.param(V1_MULTI, "v1", ["v1"],
                 "50017 bytes (48.8 KiB) in 4 files (and 1 padding file)", "2",
                 ["  album/", "    cover.jpg (10 B)", "    disc 1/", "      01.flac (29.3 KiB)",
                  "      02.flac (19.5 KiB)", "    disc 2/", "      notes/",
                  "        \\xff.txt (7 B)"], id="v1-multi"),
    pytest.param(V2_ONLY, "v2", ["v2"], "70005 bytes (68.4 KiB) in 3 files", "3",
                 ["  root/", "    c (0 B)", "    dir/", "      a.txt (5 B)",
                  "      b.bin (68.4 KiB)"], id="v2-only"),
    pytest.param(HYBRID, "hybrid (v1 and v2)", ["v1", "v2"],
                 "70005 bytes (68.4 KiB) in 3 files", "3",
                 ["  root/", "    c (0 B)", "    dir/", "      a.txt (5 B)",
                  "      b.bin (68.4 KiB)"], id="hybrid"),
    pytest.param({b"file tree": {b"one": {b"": {b"length": 3, b"pieces root": b"r" * 32}}},
                  b"meta version": 2, b"name": b"one", b"piece length": 2 ** 14},
                 "v2", ["v2"], "3 bytes (3 B) in 1 file", "1", ["  one (3 B)"],
                 id="v2-single"),
    pytest.param({b"file tree": {b"one": {b"": {b"length": 3, b"pieces root": b"r" * 32}}},
                  b"meta version": 2, b"name": b"dir", b"piece length": 2 ** 14},
                 "v2", ["v2"], "3 bytes (3 B) in 1 file", "1", ["  dir/", "    one (3 B)"],
                 id="v2-directory-of-one"),
])
def test_show_layouts(info, format_, hashes, size, pieces, tree):
    data = torrent(info, announce=b"http://t.example/a")
    code, out, err = run("show", "-", stdin=data)
    assert (code, err) == (0, "")
    f = fields(out)
    assert f["format"] == format_
    algorithms = {"v1": hashlib.sha1, "v2": hashlib.sha256}
    for label in ("v1", "v2"):
        if label in hashes:
            assert f[f"info-hash {label}"] == algorithms[label](vorlaken.bencode(info)).hexdigest()
        else:
            assert f"info-hash {label}" not in f
    assert f["total size"] == size
    assert f["pieces"] == pieces
    assert section(out, "files:") == tree


def test_show_hashes_the_info_bytes_as_they_stand():
    # Unsorted keys, a "+" sign and whitespace: the readers accept all three, so clients
    # hash these very bytes; re-encoding would sort and normalise them.
    raw_info = b"d4:name1:a12:piece lengthi+16384e6:lengthi 3e6:pieces20:" + b"p" * 20 + b"e"
    data = b"d8:announce3:url4:info" + raw_info + b"7:comment2:hie"
    code, out, err = run("show", "-", stdin=data)
    assert (code, err) == (0, "")
    f = fields(out)
    assert f["info-hash v1"] == hashlib.sha1(raw_info).hexdigest()
    again = hashlib.sha1(vorlaken.bencode(vorlaken.bdecode(raw_info))).hexdigest()
    assert again != f["info-hash v1"]
    assert f["note"].startswith("the info dictionary is not canonical bencode")
    assert f"a client that re-encodes it before hashing gets info-hash v1 {again}." in f["note"]
    assert f["comment"] == "hi"


def test_show_v2_hashes_over_the_same_bytes():
    # The info dictionary with its keys in reverse order: the same value to the readers.
    items = list(HYBRID.items())[::-1]
    raw_info = b"d" + b"".join(bencoded(k) + vorlaken.bencode(v) for k, v in items) + b"e"
    code, out, _ = run("show", "-", stdin=b"d4:info" + raw_info + b"e")
    f = fields(out)
    assert f["info-hash v1"] == hashlib.sha1(raw_info).hexdigest()
    assert f["info-hash v2"] == hashlib.sha256(raw_info).hexdigest()
    assert "v2 " + hashlib.sha256(vorlaken.bencode(HYBRID)).hexdigest() in f["note"]


def test_show_notes_a_non_canonical_file_whose_info_is_canonical():
    info = vorlaken.bencode(V1_SINGLE)
    code, out, _ = run("show", "-", stdin=b"d8:announce1:x4:info" + info + b"e")
    assert code == 0 and "note" not in fields(out)
    code, out, _ = run("show", "-", stdin=b"d4:info" + info + b"8:announce1:xe")
    assert code == 0
    assert fields(out)["note"] == (f"the file is not canonical bencode (offset {7 + len(info)}: "
                                   "key b'announce' is out of order: it sorts before the key "
                                   "b'info' at offset 1).")


def test_show_uses_the_last_of_repeated_info_keys():
    # The decoded dictionary keeps the later value; the hash must describe that same value.
    first, second = vorlaken.bencode(V1_SINGLE), vorlaken.bencode({**V1_SINGLE, b"name": b"b"})
    code, out, _ = run("show", "-", stdin=b"d4:info" + first + b"4:info" + second + b"e")
    assert code == 0
    assert fields(out)["name"] == "b"
    assert fields(out)["info-hash v1"] == hashlib.sha1(second).hexdigest()


@pytest.mark.parametrize("top, expected", [
    pytest.param({"creation_date": 0}, {"created": "1970-01-01T00:00:00+00:00"}, id="epoch"),
    pytest.param({"creation_date": 1765324800},
                 {"created": "2025-12-10T00:00:00+00:00"}, id="date"),
    pytest.param({"creation_date": 10 ** 30},
                 {"created": f"{10 ** 30} (not a representable time)"}, id="date-out-of-range"),
    pytest.param({"created_by": b"me \xff\n"}, {"created by": "me \\xff\\n"}, id="escaped-text"),
    pytest.param({}, {"private": "no"}, id="public"),
])
def test_show_top_level_fields(top, expected):
    code, out, _ = run("show", "-", stdin=torrent(V1_SINGLE, **top))
    assert code == 0
    f = fields(out)
    for label, value in expected.items():
        assert f[label] == value


@pytest.mark.parametrize("top, heading, lines", [
    pytest.param({"url__list": b"http://one/"}, "web seeds:", ["  http://one/"], id="seed-string"),
    pytest.param({"url__list": [b"http://a/", b"", b"http://b/", [b"x"]]}, "web seeds:",
                 ["  http://a/", "  http://b/"], id="seed-list-skips-non-urls"),
    pytest.param({"announce__list": [[b"u1", b"u2"], [b"u3"], [], [1]]}, "announce-list:",
                 ["  tier 1: u1, u2", "  tier 2: u3"], id="tiers"),
])
def test_show_trackers_and_web_seeds(top, heading, lines):
    code, out, _ = run("show", "-", stdin=torrent(V1_SINGLE, **top))
    assert code == 0
    assert section(out, heading) == lines


@pytest.mark.parametrize("info, private", [
    ({**V1_SINGLE, b"private": 1}, "yes"),
    ({**V1_SINGLE, b"private": 0}, "no"),
])
def test_show_private_flag(info, private):
    assert fields(run("show", "-", stdin=torrent(info))[1])["private"] == private


def test_show_source_lives_in_info():
    code, out, _ = run("show", "-", stdin=torrent({**V1_SINGLE, b"source": b"tracker-x"}))
    assert fields(out)["source"] == "tracker-x"


@pytest.mark.parametrize("data, message", [
    pytest.param(b"", "not valid bencode: offset 0: empty input", id="empty"),
    pytest.param(b"i1e", "not a torrent: the file is not a dictionary", id="integer"),
    pytest.param(b"d8:announce1:xe", "not a torrent: no 'info' dictionary", id="no-info"),
    pytest.param(b"d4:infoi1ee", "not a torrent: 'info' is not a dictionary", id="info-int"),
    pytest.param(torrent({**V1_SINGLE, b"name": 5}), "info.name is not a byte string",
                 id="name-int"),
    pytest.param(torrent({**V1_SINGLE, b"pieces": b"x" * 21}),
                 "info.pieces is not a whole number of SHA-1 hashes", id="pieces-length"),
    pytest.param(torrent({b"name": b"x", b"pieces": b""}),
                 "info has neither 'length' nor 'files'", id="no-length"),
    pytest.param(torrent({**V1_MULTI, b"files": [{b"length": 1, b"path": []}]}),
                 "info.files[0] needs a length and a path of byte strings", id="empty-path"),
    pytest.param(torrent({**V1_MULTI, b"files": [5]}), "info.files[0] is not a dictionary",
                 id="file-int"),
    pytest.param(torrent({**V2_ONLY, b"file tree": {b"x": {b"": {b"size": 1}}}}),
                 "info.file tree/x has no length", id="v2-no-length"),
    pytest.param(torrent(V1_SINGLE, creation_date=b"today"), "creation date is not an integer",
                 id="date-text"),
    pytest.param(b"d4:infod1:x" + b"l" * 5000 + b"e" * 5000 + b"ee",
                 "nesting deeper than the interpreter's recursion limit", id="deep"),
    pytest.param(b"d4:infod4:name1:ae", "offset 18: input ends inside the dictionary that "
                 "starts at offset 0", id="truncated"),
])
def test_show_refuses_in_one_line(data, message):
    refused(["show", "-"], data, message)


def test_show_deep_but_readable_tree():
    # A tree as deep as bdecode comfortably reads: show walks it without recursion.
    depth = 300
    node = {b"": {b"length": 1, b"pieces root": b"r" * 32}}
    for _ in range(depth):
        node = {b"d": node}
    data = torrent({b"file tree": node, b"meta version": 2, b"name": b"n",
                    b"piece length": 2 ** 14})
    code, out, err = run("show", "-", stdin=data)
    assert (code, err) == (0, "")
    tree = section(out, "files:")
    assert len(tree) == 1 + depth  # the root, depth - 1 directories, the file
    assert tree[-1] == "  " * (depth + 1) + "d (1 B)"


# ---------------------------------------------------------------------------------------------
# dump and encode

@pytest.mark.parametrize("value, form", [
    pytest.param(42, 42, id="int"),
    pytest.param(-(2 ** 100), -(2 ** 100), id="big-int"),
    pytest.param(b"text", "text", id="utf8"),
    pytest.param("é".encode(), "é", id="utf8-non-ascii"),
    pytest.param(b"\xff\x00", {"$hex": "ff00"}, id="binary"),
    pytest.param(b"\xed\xa0\x80", {"$hex": "eda080"}, id="encoded-surrogate-is-binary"),
    pytest.param(b"$hex", "$hex", id="dollar-value-stays"),
    pytest.param([b"a", [1]], ["a", [1]], id="list"),
    pytest.param({b"a": 1, b"\xff": 2}, {"a": 1, "$hex:ff": 2}, id="binary-key"),
    pytest.param({b"$hex": b"ab"}, {"$$hex": "ab"}, id="tag-lookalike-dict"),
    pytest.param({b"$": 1, b"$$x": 2, b"$hex:00": 3}, {"$$": 1, "$$$x": 2, "$$hex:00": 3},
                 id="dollar-keys"),
    pytest.param({}, {}, id="empty-dict"),
])
def test_json_form(value, form):
    data = vorlaken.bencode(value)
    code, out, _ = run("dump", "--compact", "-", stdin=data)
    assert code == 0
    assert json.loads(out) == form
    code, again, _ = run("encode", "-", stdin=out)
    assert (code, again) == (0, data)


def test_dump_writes_readable_utf8_json():
    code, out, _ = run("dump", "-", stdin=vorlaken.bencode({b"name": "café".encode()}))
    assert out == '{\n  "name": "café"\n}\n'.encode()


def test_dump_and_encode_write_to_a_file(tmp_path):
    data = torrent(HYBRID, piece_layers={b"\xc0" * 32: b"\xc1" * 64})
    dumped = tmp_path / "t.json"
    assert run("dump", "-o", str(dumped), "-", stdin=data)[:2] == (0, b"")
    assert '"$hex:' + "c0" * 32 + '": {' in dumped.read_text()
    encoded = tmp_path / "t.torrent"
    assert run("encode", "--output", str(encoded), str(dumped))[:2] == (0, b"")
    assert encoded.read_bytes() == data


keys = st.binary(max_size=6) | st.sampled_from([b"$", b"$$", b"$hex", b"$hex:", b"$hex:ab",
                                                b"\xff", b"\xed\xa0\x80", b""])
leaves = (st.integers() | st.binary(max_size=8) | st.text(max_size=6).map(str.encode)
          | st.sampled_from([b"$hex", b"\x80"]))
values = st.recursive(leaves, lambda children: st.lists(children, max_size=4)
                      | st.dictionaries(keys, children, max_size=4), max_leaves=25)


@settings(max_examples=300, deadline=None)
@given(values, st.booleans())
def test_dump_then_encode_gives_back_canonical_bytes(value, compact):
    data = vorlaken.bencode(value)
    code, out, err = run("dump", *(["--compact"] if compact else []), "-", stdin=data)
    assert (code, err) == (0, "")
    assert run("encode", "-", stdin=out)[:2] == (0, data)


def test_encode_sorts_keys_so_hand_written_json_comes_out_canonical():
    code, out, _ = run("encode", "-", stdin=b'{"b": 1, "a": [{"$hex": "00"}, "x"]}')
    assert (code, out) == (0, b"d1:al1:\x001:xe1:bi1ee")


@pytest.mark.parametrize("text, message", [
    pytest.param(b"1.5", "$: the number 1.5 is not an integer", id="float"),
    pytest.param(b'{"a": [true]}', "$['a'][0]: JSON true has no bencode form", id="true"),
    pytest.param(b"null", "$: JSON null has no bencode form", id="null"),
    pytest.param(b'{"$x": 1}', "key '$x': a key starting with a single '$'", id="unknown-tag"),
    pytest.param(b'{"$hex": 1}', "$.$hex: hex digits must be a string", id="hex-not-string"),
    pytest.param(b'{"$hex": "zz"}', "'zz' is not hex digits", id="bad-hex"),
    pytest.param(b'{"$hex:zz": 1}', "'zz' is not hex digits", id="bad-hex-key"),
    pytest.param(b'{"$hex": "00", "b": 1}', "key '$hex'", id="tag-with-company"),
    pytest.param(b'{"a": 1, "$hex:61": 2}', "key b'a' appears more than once", id="same-bytes"),
    pytest.param(b'{"a": 1, "a": 2}', "key b'a' appears more than once", id="repeated"),
    pytest.param(b'"\\ud800"', "is not valid Unicode", id="lone-surrogate"),
    pytest.param(b"[1,", "not JSON: ", id="truncated"),
    pytest.param(b"\xff", "not JSON", id="not-utf8"),
    pytest.param(b"[" * 100000 + b"]" * 100000, "not JSON that can be read", id="deep"),
])
def test_encode_refuses_in_one_line(text, message):
    refused(["encode", "-"], text, message)


# ---------------------------------------------------------------------------------------------
# check

@pytest.mark.parametrize("data, offset, reason", [
    pytest.param(b"", 0, "empty input", id="empty"),
    pytest.param(b"i+3e", 1, "'+' sign in an integer", id="plus"),
    pytest.param(b"i 3e", 1, "whitespace in an integer", id="leading-space"),
    pytest.param(b"i3 e", 2, "whitespace in an integer", id="trailing-space"),
    pytest.param(b"i1_0e", 2, "'_' in an integer", id="underscore"),
    pytest.param(b"i03e", 1, "leading zero in an integer", id="leading-zero"),
    pytest.param(b"i-03e", 2, "leading zero in an integer", id="negative-leading-zero"),
    pytest.param(b"i-0e", 1, "negative zero", id="negative-zero"),
    pytest.param(b"ie", 1, "integer without digits", id="no-digits"),
    pytest.param(b"i--1e", 2, "'-' sign in an integer", id="two-signs"),
    pytest.param(b"i1x", 2, "unexpected 'x' in an integer", id="stray-byte"),
    pytest.param(b"i12", 3, "input ends inside the integer that starts at offset 0",
                 id="int-truncated"),
    pytest.param(b"03:abc", 0, "leading zero in a string's length", id="string-leading-zero"),
    pytest.param(b"3 :abc", 1, "whitespace in a string's length", id="string-space"),
    pytest.param(b"5:ab", 0, "byte string declares 5 bytes but only 2 follow", id="short"),
    pytest.param(b"9" * 30 + b":a", 0, "byte string declares " + "9" * 30
                 + " bytes but only 1 follow", id="huge-length"),
    pytest.param(b"12", 2, "input ends inside the byte string that starts at offset 0",
                 id="string-truncated"),
    pytest.param(b"i1ei2e", 3, "trailing data after the value", id="trailing"),
    pytest.param(b"le\n", 2, "trailing data after the value", id="trailing-newline"),
    pytest.param(b"x", 0, "'x' cannot start a value", id="bad-start"),
    pytest.param(b"l\x00e", 1, "byte 0x00 cannot start a value", id="bad-element"),
    pytest.param(b"li1e", 4, "input ends inside the list that starts at offset 0",
                 id="list-truncated"),
    pytest.param(b"d1:bi1e1:ai2ee", 7,
                 "key b'a' is out of order: it sorts before the key b'b' at offset 1",
                 id="unsorted"),
    pytest.param(b"d1:ai1e1:ai2ee", 7, "repeated key b'a' (first at offset 1)", id="repeated"),
    pytest.param(b"d2:abi1e1:bi2e1:ai3ee", 14,
                 "key b'a' is out of order: it sorts before the key b'b' at offset 8",
                 id="unsorted-later"),
    pytest.param(b"di1ei2ee", 1, "dictionary key is not a byte string", id="int-key"),
    pytest.param(b"d+1:ai1ee", 1, "'+' sign in a dictionary key's length", id="plus-key"),
    pytest.param(b"d-0:i1ee", 1, "'-' sign in a dictionary key's length", id="minus-key"),
    pytest.param(b"d 1:ai1ee", 1, "whitespace in a dictionary key's length", id="space-key"),
    pytest.param(b"d1:ae", 4, "key b'a' has no value", id="no-value"),
    pytest.param(b"d1:a", 4, "input ends inside the dictionary that starts at offset 0",
                 id="dict-truncated"),
    pytest.param(b"ld1:ai1eee1:x", 10, "trailing data after the value",
                 id="nested-then-trailing"),
    pytest.param(b"l" * 100000, 100000, "input ends inside the list that starts at offset 99999",
                 id="deep"),
])
def test_canonical_fault(data, offset, reason):
    assert vorlaken_cli.canonical_fault(data) == (offset, reason)


@pytest.mark.parametrize("data", [
    b"i0e", b"i-1e", b"i1234567890123456789012345e", b"0:", b"3:abc", b"le", b"de",
    b"d0:i1e1:ai2e2:aai3e1:bi4ee", b"d1:\x00i1e1:\xffi2ee", b"l" * 3000 + b"e" * 3000,
])
def test_canonical_inputs_have_no_fault(data):
    assert vorlaken_cli.canonical_fault(data) is None


def test_check_verdicts():
    assert run("check", "-", stdin=b"d1:ai1ee") == (0, b"<stdin>: canonical\n", "")
    code, out, _ = run("check", "-", stdin=b"d1:bi1e1:ai2ee")
    assert code == 1
    assert out.decode().splitlines() == [
        "<stdin>: not canonical at offset 7: key b'a' is out of order: it sorts before the key "
        "b'b' at offset 1",
        "<stdin>: bdecode reads it, but bencode writes it back differently",
    ]
    code, out, _ = run("check", "-", stdin=b"i03e")
    assert code == 1
    assert out.decode().splitlines()[1] == (
        "<stdin>: bdecode refuses it: not a valid bencoded string")


def test_check_canonical_form_that_the_interpreter_cannot_hold():
    # int() here converts at most a few thousand digits; the form is still canonical.
    code, out, _ = run("check", "-", stdin=b"i" + b"7" * 5000 + b"e")
    assert code == 0
    assert out.decode().splitlines() == [
        "<stdin>: canonical",
        "<stdin>: note: bdecode refuses it here: not a valid bencoded string",
    ]


def test_check_deep_nesting_within_what_bdecode_reads():
    # Encoding needs twice the recursion limit that decoding does; check must manage both.
    data = b"l" * 800 + b"e" * 800
    assert run("check", "-", stdin=data)[:2] == (0, b"<stdin>: canonical\n")
    assert run("check", "-", stdin=data[1:])[0] == 1


def test_check_reads_files_and_names_them(tmp_path):
    path = tmp_path / "x.torrent"
    path.write_bytes(b"le")
    assert run("check", str(path))[:2] == (0, f"{path}: canonical\n".encode())
    refused(["check", str(tmp_path / "missing")], b"", "missing: No such file or directory")
    refused(["check", str(tmp_path)], b"", "Is a directory")


# Inputs near canonical ones: each mutation makes one kind of deviation that check names, and
# some that bdecode refuses outright.
def _mutations(data):
    out = [data]
    for i, b in enumerate(data):
        if b == ord("i"):
            out += [data[:i + 1] + m + data[i + 1:] for m in (b"+", b" ", b"0", b"-", b"_")]
        if chr(b).isdigit():
            out += [data[:i] + m + data[i:] for m in (b"0", b" ", b"+")]
        if b == ord("e"):
            out += [data[:i] + b" " + data[i:], data[:i] + data[i + 1:]]
    out += [data + b"e", data + b"\n", data[:-1]]
    return out


def _swapped(value):
    """The encoding of value with every dictionary's items in reverse order, or repeated."""
    if isinstance(value, list):
        return b"l" + b"".join(_swapped(v) for v in value) + b"e"
    if isinstance(value, dict):
        items = list(value.items())
        items = items[::-1] + items[:1]
        return b"d" + b"".join(bencoded(k) + _swapped(v) for k, v in items) + b"e"
    return bencoded(value)


near_canonical = values.flatmap(lambda v: st.sampled_from(
    _mutations(vorlaken.bencode(v)) + [_swapped(v)]))


@settings(max_examples=500, deadline=None)
@given(near_canonical)
def test_check_agrees_with_a_round_trip(data):
    try:
        again = vorlaken.bencode(vorlaken.bdecode(data))
    except (vorlaken.BTFailure, OverflowError):
        again = None
    fault = vorlaken_cli.canonical_fault(data)
    assert (fault is None) == (again == data), fault
    code, out, err = run("check", "-", stdin=data)
    assert (code, err) == (0 if fault is None else 1, "")


@settings(max_examples=500, deadline=None)
@given(near_canonical | st.binary(max_size=30))
def test_reader_fault_finds_a_fault_exactly_when_bdecode_refuses(data):
    try:
        vorlaken.bdecode(data)
        accepted = True
    except (vorlaken.BTFailure, OverflowError):  # lengths past 32 bits are not BTFailure
        accepted = False
    fault = vorlaken_cli.reader_fault(data)
    assert (fault is None) == accepted, fault
    if fault is not None:
        assert 0 <= fault[0] <= len(data)


# ---------------------------------------------------------------------------------------------
# Any input, any command: an answer or one line, never a traceback

torrent_like = st.fixed_dictionaries({}, optional={
    b"info": st.fixed_dictionaries({}, optional={
        k: st.integers(-3, 2 ** 40) | st.binary(max_size=45) | st.lists(st.integers(), max_size=2)
        | st.just(V2_TREE) | st.lists(st.dictionaries(st.sampled_from(
            [b"length", b"path", b"attr"]), st.integers(0, 9) | st.binary(max_size=3)
            | st.lists(st.binary(max_size=3), max_size=2)), max_size=3)
        for k in (b"name", b"length", b"piece length", b"pieces", b"files", b"file tree",
                  b"meta version", b"private", b"source")
    }) | st.integers(),
    **{k: st.integers() | st.binary(max_size=5) | st.lists(st.lists(st.binary(max_size=3)))
       for k in (b"announce", b"announce-list", b"url-list", b"creation date", b"comment",
                 b"created by")},
}).map(vorlaken.bencode)


@settings(max_examples=300, deadline=None)
@given(st.sampled_from(["show", "dump", "check"]), torrent_like | st.binary(max_size=40))
def test_every_input_gets_an_answer_or_one_line(command, data):
    code, out, err = run(command, "-", stdin=data)
    if code == 2:
        assert out == b"" and err.count("\n") == 1 and "internal error" not in err
    else:
        assert code in ((0, 1) if command == "check" else (0,)) and err == ""


# ---------------------------------------------------------------------------------------------
# The installed console script

def test_console_script_is_installed_beside_the_interpreter():
    assert CONSOLE_SCRIPT.is_file() and os.access(CONSOLE_SCRIPT, os.X_OK)


@pytest.mark.parametrize("argv", [
    ["--help"], ["show", "--help"], ["dump", "--help"], ["encode", "--help"], ["check", "--help"],
])
def test_help_everywhere(argv):
    proc = run_script(*argv)
    assert proc.returncode == 0 and proc.stderr == b""
    assert proc.stdout.startswith(b"usage: vorlaken")


def test_version():
    proc = run_script("--version")
    assert proc.stdout == f"vorlaken {vorlaken.__version__}\n".encode()


@pytest.mark.parametrize("argv, message", [
    ([], "the following arguments are required: COMMAND"),
    (["frobnicate", "x"], "invalid choice: 'frobnicate'"),
    (["show"], "the following arguments are required: FILE"),
    (["show", "a", "b"], "unrecognized arguments: b"),
])
def test_usage_mistakes_give_one_line(argv, message):
    proc = run_script(*argv)
    assert proc.returncode == 2 and proc.stdout == b""
    assert proc.stderr.count(b"\n") == 1 and message.encode() in proc.stderr


def test_standard_input_and_output_of_the_script():
    proc = run_script("dump", "--compact", "-", stdin=b"d1:a1:\xffe")
    assert (proc.returncode, proc.stdout) == (0, b'{"a":{"$hex":"ff"}}\n')
    proc = run_script("encode", "-", stdin=proc.stdout)
    assert (proc.returncode, proc.stdout) == (0, b"d1:a1:\xffe")


def test_script_refuses_garbage_without_a_traceback():
    proc = run_script("show", "-", stdin=b"d4:infod")
    assert proc.returncode == 2 and proc.stdout == b""
    assert proc.stderr == (b"vorlaken: <stdin>: not valid bencode: offset 8: input ends inside "
                           b"the dictionary that starts at offset 7\n")


def test_script_stops_quietly_when_the_reader_goes_away():
    big = vorlaken.bencode([b"x" * 100] * 20000)
    proc = subprocess.Popen([str(CONSOLE_SCRIPT), "dump", "-"], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    proc.stdin.write(big)
    proc.stdin.close()
    proc.stdout.read(10)
    proc.stdout.close()
    assert proc.wait(timeout=60) == 1
    with proc.stderr:
        assert proc.stderr.read() == b""


def test_tool_module_runs_with_python_m():
    proc = subprocess.run([sys.executable, "-m", "vorlaken_cli", "check", "-"], input=b"i1e",
                          capture_output=True, cwd=Path(__file__).parent, timeout=60)
    assert (proc.returncode, proc.stdout) == (0, b"<stdin>: canonical\n")


def test_tool_leaves_the_extension_namespace_and_tables_alone():
    before = dict(vars(vorlaken))
    tables = dict(vorlaken.decode_func), dict(vorlaken.encode_func)
    limit = sys.getrecursionlimit()
    for argv, stdin in ((["show", str(SAMPLE)], b""), (["check", "-"], b"d1:bi1e1:ai2ee"),
                        (["dump", "-"], b"l" * 800 + b"e" * 800), (["encode", "-"], b"[1]")):
        run(*argv, stdin=stdin)
    assert list(vars(vorlaken)) == list(before)
    assert all(vars(vorlaken)[k] is v for k, v in before.items())
    assert (dict(vorlaken.decode_func), dict(vorlaken.encode_func)) == tables
    assert sys.getrecursionlimit() == limit


def test_dump_keeps_the_file_key_order():
    # dump shows the file as it is, unsorted keys and all; encode sorts them.
    code, out, _ = run("dump", "--compact", "-", stdin=b"d1:bi1e1:ai2ee")
    assert out == b'{"b":1,"a":2}\n'
    assert run("encode", "-", stdin=out)[1] == b"d1:ai2e1:bi1ee"
