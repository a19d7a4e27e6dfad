"""Torrents made by real clients at test time: vorlaken reads them as transmission-show does.

mktorrent and transmission-create each make a single-file torrent, a multi-file torrent and one
over a sparse file larger than 4 GiB (whose length does not fit 32 bits). For each, the
info-hash that `vorlaken show` prints must be transmission-show's, and the file must come back
byte for byte from bencode(bdecode(x)).

The tools are Debian packages (mktorrent, transmission-cli). Without them these tests skip,
unless VORLAKEN_REQUIRE_CLIENTS is set, as the project's scripts set it: then they fail.
"""

import hashlib
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import vorlaken

TOOLS = ("mktorrent", "transmission-create", "transmission-show")
SAMPLE = Path(__file__).resolve().parent.parent / "examples" / "sample.torrent"
CONSOLE_SCRIPT = Path(sys.executable).with_name("vorlaken")
TRACKERS = ["http://tracker.example.org:6969/announce", "udp://backup.example.net:1337"]
SEED = "https://seed.example.org/files/"
SPARSE_SIZE = 4 * 2 ** 30 + 12345
# The clients are not under test: a sanitizer runtime that the test run preloads for the module
# stays out of them (transmission-show hangs under AddressSanitizer's).
CLIENT_ENV = {k: v for k, v in os.environ.items()
              if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "PYTHONMALLOC")}


def client(cmd, **kwargs):
    return subprocess.run(cmd, env=CLIENT_ENV, capture_output=True, timeout=600, **kwargs)


@pytest.fixture(scope="module", autouse=True)
def clients():
    missing = [t for t in TOOLS if shutil.which(t) is None]
    if missing:
        if os.environ.get("VORLAKEN_REQUIRE_CLIENTS"):
            pytest.fail(f"VORLAKEN_REQUIRE_CLIENTS is set, but {', '.join(missing)} "
                        "cannot be found")
        pytest.skip(f"needs {', '.join(missing)} (Debian packages mktorrent, transmission-cli)")


def pattern(n, seed):
    return bytes((i * seed + i // 251) % 256 for i in range(n))


@pytest.fixture(scope="module")
def content(tmp_path_factory):
    """name -> (path to give the maker, total size in bytes, files, empty files among them)."""
    root = tmp_path_factory.mktemp("content")
    single = root / "hello.bin"
    single.write_bytes(pattern(100_000, 7))
    multi = root / "set"
    sizes = {"a.txt": 1_000, "docs/b.md": 50_000, "docs/deep/c.bin": 70_001, "empty": 0}
    for name, size in sizes.items():
        (multi / name).parent.mkdir(parents=True, exist_ok=True)
        (multi / name).write_bytes(pattern(size, len(name)))
    sparse = root / "disk.img"
    client(["truncate", "-s", str(SPARSE_SIZE), str(sparse)], check=True)
    return {
        "single": (single, 100_000, 1, 0),
        "multi": (multi, sum(sizes.values()), len(sizes), 1),
        "sparse": (sparse, SPARSE_SIZE, 1, 0),
    }


def mktorrent(target, out, piece_exp, trackers, comment, private, seeds):
    cmd = ["mktorrent", f"--piece-length={piece_exp}", f"--output={out}"]
    cmd += [f"--announce={t}" for t in trackers] + [f"--web-seed={s}" for s in seeds]
    cmd += [f"--comment={comment}"] + (["--private"] if private else [])
    return cmd + [str(target)]


def transmission_create(target, out, piece_exp, trackers, comment, private, seeds):
    assert not seeds, "transmission-create writes no web seeds"
    cmd = ["transmission-create", "-s", str(2 ** piece_exp // 1024), "-o", str(out)]
    cmd += [a for t in trackers for a in ("-t", t)]
    cmd += ["-c", comment] + (["-p"] if private else [])
    return cmd + [str(target)]


MAKERS = {"mktorrent": mktorrent, "transmission-create": transmission_create}

# maker, content, piece size as a power of two, trackers, private, web seeds
CASES = [
    pytest.param("mktorrent", "single", 15, TRACKERS[:1], False, [], id="mktorrent-single"),
    pytest.param("mktorrent", "multi", 15, TRACKERS, True, [SEED], id="mktorrent-multi"),
    # Large pieces keep the hashing of 4 GiB of zeros short.
    pytest.param("mktorrent", "sparse", 24, TRACKERS[:1], False, [], id="mktorrent-over-4GiB"),
    pytest.param("transmission-create", "single", 15, TRACKERS, False, [],
                 id="transmission-single"),
    pytest.param("transmission-create", "multi", 14, TRACKERS[:1], True, [],
                 id="transmission-multi"),
    pytest.param("transmission-create", "sparse", 24, TRACKERS[:1], False, [],
                 id="transmission-over-4GiB"),
]


def show(path):
    proc = subprocess.run([str(CONSOLE_SCRIPT), "show", str(path)], capture_output=True,
                          text=True, timeout=120)
    assert proc.returncode == 0 and proc.stderr == "", proc.stderr
    return proc.stdout


def field(text, label):
    m = re.search(rf"^{re.escape(label)}:\s+(.*)$", text, re.MULTILINE)
    return m and m.group(1)


def transmission_show(path):
    proc = client(["transmission-show", str(path)], text=True)
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


def section(text, heading):
    """The lines after a heading line, up to the next line that is not indented or blank."""
    m = re.search(rf"^{re.escape(heading)}:?\n((?:(?:  .*)?\n)*)", text, re.MULTILINE)
    return m.group(1) if m else ""


def transmission_field(text, label):
    m = re.search(rf"^  {re.escape(label)}: (.*)$", text, re.MULTILINE)
    return m and m.group(1)


@pytest.mark.parametrize("maker, layout, piece_exp, trackers, private, seeds", CASES)
def test_client_made_torrent(tmp_path, content, maker, layout, piece_exp, trackers, private,
                             seeds):
    target, size, count, empty = content[layout]
    out = tmp_path / "made.torrent"
    comment = f"made by {maker} for the {layout} case"
    client(MAKERS[maker](target, out, piece_exp, trackers, comment, private, seeds), check=True)
    raw = out.read_bytes()

    assert vorlaken.bencode(vorlaken.bdecode(raw)) == raw

    ours, theirs = show(out), transmission_show(out)
    assert field(ours, "info-hash v1") == transmission_field(theirs, "Hash")
    assert field(ours, "name") == transmission_field(theirs, "Name") == target.name
    assert field(ours, "pieces") == transmission_field(theirs, "Piece Count")
    assert int(field(ours, "pieces")) == -(-size // 2 ** piece_exp)
    # transmission-create leaves empty files out; mktorrent keeps them.
    listed = count - empty if maker == "transmission-create" else count
    assert len(re.findall(r"^  \S.* \(.*\)$", section(theirs, "FILES"), re.M)) == listed
    plural = "s" if listed != 1 else ""
    assert field(ours, "total size").startswith(f"{size} bytes (")
    assert field(ours, "total size").endswith(f") in {listed} file{plural}")
    assert field(ours, "private") == ("yes" if private else "no")
    assert transmission_field(theirs, "Privacy") == (
        "Private torrent" if private else "Public torrent")
    assert field(ours, "comment") == transmission_field(theirs, "Comment") == comment
    announced = {field(ours, "announce")} | set(re.findall(r"^  tier \d+: (.*)$", ours, re.M))
    assert announced == set(trackers) == set(re.findall(r"^  (\w+://\S+)$",
                                                        section(theirs, "TRACKERS"), re.M))
    assert set(re.findall(r"^  (\S+)$", section(ours, "web seeds"), re.M)) == set(seeds)
    assert field(ours, "created by").split()[0].lower().startswith(maker.split("-")[0])

    check = subprocess.run([str(CONSOLE_SCRIPT), "check", str(out)], capture_output=True,
                           text=True, timeout=120)
    assert (check.returncode, check.stdout) == (0, f"{out}: canonical\n")


def test_sample_torrent_hash_matches_transmission():
    assert field(show(SAMPLE), "info-hash v1") == transmission_field(
        transmission_show(SAMPLE), "Hash")


def test_non_canonical_info_against_a_client_that_re_encodes(tmp_path, content):
    # transmission-show re-encodes the info dictionary before hashing it, so on a file whose
    # info is not canonical it prints the hash of show's note, not that of the bytes.
    out = tmp_path / "made.torrent"
    client(mktorrent(content["single"][0], out, 15, TRACKERS[:1], "c", False, []), check=True)
    meta = vorlaken.bdecode(out.read_bytes())
    info = meta.pop(b"info")
    items = sorted(info.items(), reverse=True)
    raw_info = b"d" + b"".join(vorlaken.bencode(k) + vorlaken.bencode(v) for k, v in items) + b"e"
    changed = tmp_path / "unsorted.torrent"
    changed.write_bytes(vorlaken.bencode(meta)[:-1] + b"4:info" + raw_info + b"e")

    ours = show(changed)
    assert field(ours, "info-hash v1") == hashlib.sha1(raw_info).hexdigest()
    again = transmission_field(transmission_show(changed), "Hash")
    assert again == hashlib.sha1(vorlaken.bencode(info)).hexdigest()
    assert f"gets info-hash v1 {again}." in field(ours, "note")
