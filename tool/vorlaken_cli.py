"""The ``vorlaken`` command: look into torrents and other bencoded files.

    vorlaken show FILE     summary of a torrent, with its info-hashes
    vorlaken dump FILE     the decoded value as JSON
    vorlaken encode FILE   JSON in the form that dump writes, back to bencode
    vorlaken check FILE    whether FILE is canonical bencode, and where it is not

FILE may be ``-`` for standard input. Exit status: 0 on success (for check: canonical), 1 when
check finds the input is not canonical, 2 when the input cannot be read or is not what the
command needs; the reason is then one line on standard error.

This lives in a module of its own so that the extension's namespace stays exactly what the
extension itself binds.
"""

import argparse
import contextlib
import datetime
import functools
import hashlib
import json
import os
import sys

import vorlaken

PROG = "vorlaken"

# Bytes of the format, by value.
_E, _I, _L, _D, _COLON, _MINUS, _ZERO = b"eild:-0"
_DIGITS = frozenset(b"0123456789")
# What the interpreter's int() skips around a number, and so what the readers let through.
_WHITESPACE = frozenset(b" \t\n\x0b\x0c\r")


class Failure(Exception):
    """A problem with the input or the arguments: reported as one line, exit status 2."""


# ---------------------------------------------------------------------------------------------
# Canonical form

def _byte(b):
    return repr(chr(b)) if 0x20 <= b < 0x7F else f"byte 0x{b:02x}"


def _stray(b, where):
    """Why byte b may not stand in a number (an integer's digits or a string's length)."""
    if b in _WHITESPACE:
        return f"whitespace in {where}"
    if b == ord("+"):
        return f"'+' sign in {where}"
    if b == ord("_"):
        return f"'_' in {where}"
    if b == _MINUS:
        return f"'-' sign in {where}"
    return f"unexpected {_byte(b)} in {where}"


class _Open:
    """A list or dictionary that the walk is inside."""

    __slots__ = ("kind", "start", "last_key", "last_key_at")

    def __init__(self, kind, start):
        self.kind = kind
        self.start = start
        self.last_key = None
        self.last_key_at = None


def canonical_fault(data):
    """The first place where ``data`` leaves canonical bencode, as (offset, reason), or None.

    Canonical means what the encoder writes: integers without sign, whitespace or leading zeros
    beyond "-" and the digits, byte-string lengths in plain digits, dictionary keys that are byte
    strings in strictly increasing byte order, and exactly one value with nothing after it. So
    data is canonical exactly when bencode(bdecode(data)) == data, as far as bdecode can read
    it. The walk keeps its own stack: no nesting depth is too deep for it.
    """
    n = len(data)
    if n == 0:
        return 0, "empty input"
    stack = []
    f = 0
    while True:
        top = stack[-1] if stack else None
        if top is not None:
            if f >= n:
                return f, f"input ends inside the {top.kind} that starts at offset {top.start}"
            if data[f] == _E:
                stack.pop()
                f += 1
                if not stack:
                    break
                continue
            if top.kind == "dictionary":
                b = data[f]
                if b in (_I, _L, _D):
                    return f, "dictionary key is not a byte string"
                end, key = _string(data, f, "a dictionary key's length")
                if isinstance(end, str):
                    return key, end
                if top.last_key is not None:
                    if key == top.last_key:
                        return f, f"repeated key {key!r} (first at offset {top.last_key_at})"
                    if key < top.last_key:
                        return f, (f"key {key!r} is out of order: it sorts before the key "
                                   f"{top.last_key!r} at offset {top.last_key_at}")
                top.last_key, top.last_key_at = key, f
                f = end
                if f >= n:
                    return f, f"input ends inside the dictionary that starts at offset {top.start}"
                if data[f] == _E:
                    return f, f"key {key!r} has no value"
        # A value starts at f.
        b = data[f]
        if b == _I:
            end, at = _integer(data, f)
        elif b in _DIGITS:
            end, at = _string(data, f, "a string's length")
        elif b == _L:
            stack.append(_Open("list", f))
            f += 1
            continue
        elif b == _D:
            stack.append(_Open("dictionary", f))
            f += 1
            continue
        else:
            return f, f"{_byte(b)} cannot start a value"
        if isinstance(end, str):
            return at, end
        f = end
        if not stack:
            break
    if f != n:
        return f, "trailing data after the value"
    return None


def _integer(data, f):
    """(end, None) for a canonical integer token at f, else (reason, offset)."""
    n = len(data)
    j = f + 1
    negative = j < n and data[j] == _MINUS
    if negative:
        j += 1
    first = j
    while j < n and data[j] in _DIGITS:
        j += 1
    if j >= n:
        return f"input ends inside the integer that starts at offset {f}", n
    if j == first:
        if data[j] == _E:
            return "integer without digits", j
        return _stray(data[j], "an integer"), j
    if data[first] == _ZERO:
        if negative and j == first + 1:
            return "negative zero", first - 1
        if j > first + 1:
            return "leading zero in an integer", first
    if data[j] != _E:
        return _stray(data[j], "an integer"), j
    return j + 1, None


def _string(data, f, where):
    """(end, value) for a canonical byte string at f, else (reason, offset)."""
    n = len(data)
    j = f
    while j < n and data[j] in _DIGITS:
        j += 1
    if j >= n:
        return f"input ends inside the byte string that starts at offset {f}", n
    if j == f:
        return _stray(data[j], where), j
    if data[f] == _ZERO and j > f + 1:
        return f"leading zero in {where}", f
    if data[j] != _COLON:
        return _stray(data[j], where), j
    # A length with more digits than the input has bytes cannot fit; do not convert it.
    length = int(data[f:j]) if j - f <= len(str(n)) else n + 1
    start = j + 1
    if start + length > n:
        return (f"byte string declares {data[f:j].decode()} bytes but only {n - start} follow",
                f)
    return start + length, data[start:start + length]


def reader_fault(data):
    """Where and why the module's readers give up on ``data``, as (offset, reason), or None.

    The same readers that bdecode dispatches to read every token, so this finds the token that
    makes bdecode fail; only the containers are walked here, with a stack of their own.
    """
    n = len(data)
    if n == 0:
        return 0, "empty input"
    table = vorlaken.decode_func
    stack = []  # (kind, start)
    f = 0
    while True:
        if stack:
            kind, start = stack[-1]
            if f >= n:
                return n, f"input ends inside the {kind} that starts at offset {start}"
            if data[f] == _E:
                stack.pop()
                f += 1
                if not stack:
                    break
                continue
            if kind == "dictionary":
                try:
                    _, f2 = vorlaken.decode_string(data, f)
                except (ValueError, IndexError, OverflowError):
                    return f, f"malformed dictionary key {_snippet(data, f, b':')}"
                if f2 > n:
                    return f, "dictionary key runs past the end of the input"
                f = f2
                if f >= n:
                    return n, f"input ends inside the {kind} that starts at offset {start}"
        reader = table.get(data[f])
        if reader is None:
            return f, f"{_byte(data[f])} cannot start a value"
        if data[f] in (_L, _D):
            stack.append(("list" if data[f] == _L else "dictionary", f))
            f += 1
            continue
        what = "integer" if data[f] == _I else "byte string"
        try:
            _, end = reader(data, f)
        except (ValueError, IndexError, OverflowError):
            return f, f"malformed {what} {_snippet(data, f, b'e' if what == 'integer' else b':')}"
        if end > n:
            return f, f"{what} runs past the end of the input"
        f = end
        if not stack:
            break
    if f != n:
        return f, "trailing data after the value"
    return None


def _snippet(data, f, stop=b""):
    """The bytes from f on, up to and including ``stop``, at most 16 of them."""
    end = min(f + 16, len(data))
    if stop:
        found = data.find(stop, f + 1, end)
        end = end if found < 0 else found + 1
    return repr(data[f:end]) + ("..." if end < len(data) and not data[end - 1:end] == stop
                                else "")


@contextlib.contextmanager
def deeper():
    """Room for the steps after decoding, which need more of the recursion limit than it did.

    Decoding costs one level of the limit per level of nesting, encoding two, and the JSON
    conversions one or two more. Whatever was read under the usual limit is at most that deep,
    so a few times the limit is enough for the rest and keeps the native stack small.
    """
    old = sys.getrecursionlimit()
    sys.setrecursionlimit(old * 4)
    try:
        yield
    finally:
        sys.setrecursionlimit(old)


def decode(data):
    """bdecode, with every refusal turned into a Failure that says where."""
    try:
        return vorlaken.bdecode(data)
    except (vorlaken.BTFailure, OverflowError) as e:  # a length past 32 or 64 bits: overflow
        fault = reader_fault(data)
        if fault is None:  # not expected: the walk reads as bdecode does
            raise Failure(f"not valid bencode ({e})") from None
        raise Failure(f"not valid bencode: offset {fault[0]}: {fault[1]}") from None
    except RecursionError:
        raise Failure("not decoded: nesting deeper than the interpreter's recursion limit"
                      ) from None


# ---------------------------------------------------------------------------------------------
# JSON form
#
# Byte strings that are valid UTF-8 become JSON strings. Any other byte string becomes the
# object {"$hex": "<hex digits>"}. Dictionary keys that are valid UTF-8 stay as they are, except
# that a key starting with "$" gets one more "$" in front; other keys become "$hex:<hex digits>".
# So a key that starts with a single "$" is never a real key, and an object whose only key is
# "$hex" is never a real dictionary: the form reads back without ambiguity.

HEX = "$hex"
HEX_KEY = "$hex:"


def to_json(value):
    """A decoded value as the plain JSON-ready form described above."""
    if isinstance(value, bytes):
        try:
            return value.decode("utf-8")
        except UnicodeDecodeError:
            return {HEX: value.hex()}
    if isinstance(value, int):
        return int(value)
    if isinstance(value, list):
        return [to_json(v) for v in value]
    if isinstance(value, dict):
        return {_key_to_json(k): to_json(v) for k, v in value.items()}
    raise Failure(f"no JSON form for a value of type {type(value).__name__}")


def _key_to_json(key):
    try:
        text = key.decode("utf-8")
    except UnicodeDecodeError:
        return HEX_KEY + key.hex()
    return "$" + text if text.startswith("$") else text


class _Pairs(list):
    """A JSON object as its list of pairs, so that repeated keys can be seen."""


def from_json(value, path="$"):
    """The JSON form back to a value that bencode writes; Failure names the path of a fault."""
    if isinstance(value, bool) or value is None:
        raise Failure(f"{path}: JSON {json.dumps(value)} has no bencode form")
    if isinstance(value, int):
        return value
    if isinstance(value, float):
        raise Failure(f"{path}: the number {value!r} is not an integer")
    if isinstance(value, str):
        return _utf8(value, path)
    if isinstance(value, list) and not isinstance(value, _Pairs):
        return [from_json(v, f"{path}[{i}]") for i, v in enumerate(value)]
    pairs = value if isinstance(value, _Pairs) else list(value.items())
    if len(pairs) == 1 and pairs[0][0] == HEX:
        return _hex(pairs[0][1], f"{path}.{HEX}")
    result = {}
    for k, v in pairs:
        key = _key_from_json(k, path)
        where = f"{path}[{k!r}]"
        if key in result:
            raise Failure(f"{where}: key {key!r} appears more than once")
        result[key] = from_json(v, where)
    return result


def _key_from_json(k, path):
    if k.startswith("$$"):
        return _utf8(k[1:], path)
    if k.startswith(HEX_KEY):
        return _hex(k[len(HEX_KEY):], f"{path}[{k!r}]")
    if k.startswith("$"):
        raise Failure(f"{path}: key {k!r}: a key starting with a single '$' must be "
                      f"'{HEX_KEY}<hex digits>' (write '${k}' for the text itself)")
    return _utf8(k, path)


def _utf8(text, path):
    try:
        return text.encode("utf-8")
    except UnicodeEncodeError:
        raise Failure(f"{path}: string {text!r} is not valid Unicode") from None


def _hex(digits, path):
    if not isinstance(digits, str):
        raise Failure(f"{path}: hex digits must be a string")
    try:
        return bytes.fromhex(digits)
    except ValueError:
        raise Failure(f"{path}: {digits!r} is not hex digits") from None


# One decoder for every call: json.loads would build a new one, scanner and all, each time.
_JSON = json.JSONDecoder(object_pairs_hook=_Pairs)


def parse_json(data):
    try:
        return _JSON.decode(data.decode("utf-8"))
    except UnicodeDecodeError:
        raise Failure("not JSON: not UTF-8 text") from None
    except json.JSONDecodeError as e:
        raise Failure(f"not JSON: {e}") from None
    except (RecursionError, ValueError) as e:  # too deep, or an integer of too many digits
        raise Failure(f"not JSON that can be read: {e}") from None


# ---------------------------------------------------------------------------------------------
# Torrents

def top_level_spans(data):
    """{key: (start, end)} of every value in the top-level dictionary of ``data``.

    ``data`` must already have decoded as a dictionary. The offsets come from the readers
    themselves, so they delimit the bytes as they stand in the file, canonical or not. A key
    that appears twice keeps its later value, as the decoded dictionary does.
    """
    table = vorlaken.decode_func
    spans = {}
    f = 1
    while data[f] != _E:
        key, start = vorlaken.decode_string(data, f)
        _, f = table[data[start]](data, start)
        spans[key] = (start, f)
    return spans


class Torrent:
    """The parts of a metainfo file that show prints, checked for type as they are read."""

    def __init__(self, data):
        self.data = data
        meta = decode(data)
        if not isinstance(meta, dict):
            raise Failure("not a torrent: the file is not a dictionary")
        self.meta = meta
        spans = top_level_spans(data)
        if b"info" not in spans:
            raise Failure("not a torrent: no 'info' dictionary")
        info = meta[b"info"]
        if not isinstance(info, dict):
            raise Failure("not a torrent: 'info' is not a dictionary")
        self.info = info
        start, end = spans[b"info"]
        self.info_bytes = data[start:end]
        self.version = self.int_field(info, b"meta version", "info") or 1
        self.v1 = b"pieces" in info
        self.v2 = self.version >= 2 and b"file tree" in info

    # Typed access -------------------------------------------------------------------------

    @staticmethod
    def _get(d, key, kind, where, what):
        v = d.get(key)
        if v is not None and not isinstance(v, kind):
            name = key.decode("utf-8", "replace")
            raise Failure(f"malformed torrent: {where + '.' if where else ''}{name} "
                          f"is not {what}")
        return v

    def int_field(self, d, key, where):
        return self._get(d, key, int, where, "an integer")

    def bytes_field(self, d, key, where):
        return self._get(d, key, bytes, where, "a byte string")

    def text_field(self, d, key, where):
        v = self.bytes_field(d, key, where)
        return None if v is None else text(v)

    # What show prints ---------------------------------------------------------------------

    def hashes(self):
        """[(version, hash of the info bytes as they stand, hash of their re-encoding)]."""
        with deeper():
            again = vorlaken.bencode(self.info)
        out = []
        for label, algorithm, wanted in (("v1", hashlib.sha1, self.v1 or not self.v2),
                                         ("v2", hashlib.sha256, self.v2)):
            if wanted:
                out.append((label, algorithm(self.info_bytes).hexdigest(),
                            algorithm(again).hexdigest()))
        return out

    def name(self):
        return self.text_field(self.info, b"name", "info")

    def piece_length(self):
        return self.int_field(self.info, b"piece length", "info")

    def files(self):
        """[(path components, length)] of the content files, and the number of padding files."""
        if self.v2:
            return self._v2_files(), 0
        files = self._get(self.info, b"files", list, "info", "a list")
        if files is None:
            length = self.int_field(self.info, b"length", "info")
            if length is None:
                raise Failure("malformed torrent: info has neither 'length' nor 'files'")
            return [([self.name() or "?"], length)], 0
        out, padding = [], 0
        for i, entry in enumerate(files):
            where = f"info.files[{i}]"
            if not isinstance(entry, dict):
                raise Failure(f"malformed torrent: {where} is not a dictionary")
            length = self.int_field(entry, b"length", where)
            path = self._get(entry, b"path", list, where, "a list")
            if length is None or not path or not all(isinstance(p, bytes) for p in path):
                raise Failure(f"malformed torrent: {where} needs a length and a path of "
                              "byte strings")
            attr = self.bytes_field(entry, b"attr", where) or b""
            if b"p" in attr:
                padding += 1
                continue
            out.append(([text(p) for p in path], length))
        return [([self.name() or "?"] + p, n) for p, n in out], padding

    def _v2_files(self):
        tree = self._get(self.info, b"file tree", dict, "info", "a dictionary")
        out = []
        # Depth first in the tree's own order, with a stack of iterators instead of recursion.
        stack = [([], iter(tree.items()))]
        while stack:
            path, items = stack[-1]
            for name, child in items:
                here = path + [text(name)]
                if not isinstance(child, dict):
                    raise Failure(f"malformed torrent: info.file tree/{'/'.join(here)} is not "
                                  "a dictionary")
                if b"" not in child:
                    stack.append((here, iter(child.items())))
                    break
                entry = child[b""]
                length = entry.get(b"length") if isinstance(entry, dict) else None
                if not isinstance(length, int):
                    raise Failure(f"malformed torrent: info.file tree/{'/'.join(here)} has no "
                                  "length")
                out.append((here, length))
            else:
                stack.pop()
        # A single-file torrent's tree holds just the file, under the torrent's own name.
        name = self.name()
        if len(out) == 1 and out[0][0] == [name]:
            return out
        return [([name or "?"] + p, n) for p, n in out]

    def piece_count(self):
        pieces = self.bytes_field(self.info, b"pieces", "info")
        if pieces is not None:
            if len(pieces) % 20:
                raise Failure("malformed torrent: info.pieces is not a whole number of "
                              "SHA-1 hashes")
            return len(pieces) // 20
        size = self.piece_length()
        if not size or size <= 0:
            return None
        return sum(-(-n // size) for _, n in self.files()[0])

    def trackers(self):
        announce = self.text_field(self.meta, b"announce", "")
        tiers = self._get(self.meta, b"announce-list", list, "", "a list") or []
        # Clients pass over entries that are not URLs; so does the summary.
        out = [[text(u) for u in tier if isinstance(u, bytes) and u]
               for tier in tiers if isinstance(tier, list)]
        return announce, [tier for tier in out if tier]

    def web_seeds(self):
        seeds = self.meta.get(b"url-list")
        if seeds is None:
            return []
        if isinstance(seeds, bytes):
            seeds = [seeds]
        if not isinstance(seeds, list):
            return []
        return [text(u) for u in seeds if isinstance(u, bytes) and u]

    def creation_date(self):
        stamp = self.int_field(self.meta, b"creation date", "")
        if stamp is None:
            return None
        try:
            moment = datetime.datetime.fromtimestamp(stamp, tz=datetime.timezone.utc)
        except (OverflowError, OSError, ValueError):
            return f"{stamp} (not a representable time)"
        return moment.isoformat()


def text(b):
    """Bytes from a torrent as printable text: invalid UTF-8 and control characters escaped."""
    s = b.decode("utf-8", "backslashreplace")
    if s.isprintable():
        return s
    return "".join(c if c.isprintable() else c.encode("unicode_escape").decode() for c in s)


def human(n):
    size = float(n)
    for unit in ("B", "KiB", "MiB", "GiB", "TiB"):
        if abs(size) < 1024 or unit == "TiB":
            if unit == "B":
                return f"{n} B"
            return f"{size:.1f}".removesuffix(".0") + " " + unit
        size /= 1024
    raise AssertionError("unreachable")


def show(data, out):
    t = Torrent(data)
    lines = []

    def field(label, value):
        lines.append(f"{label + ':':<15}{value}")

    field("name", t.name() if t.name() is not None else "(none)")
    kind = {(True, False): "v1", (False, True): "v2", (True, True): "hybrid (v1 and v2)"}
    field("format", kind.get((t.v1, t.v2), "v1"))
    changed = []
    for label, original, again in t.hashes():
        field(f"info-hash {label}", original)
        if original != again:
            changed.append(f"{label} {again}")
    files, padding = t.files()
    total = sum(n for _, n in files)
    count = f"{len(files)} file" + ("s" if len(files) != 1 else "")
    if padding:
        count += f" (and {padding} padding file{'s' if padding != 1 else ''})"
    field("total size", f"{total} bytes ({human(total)}) in {count}")
    size = t.piece_length()
    if size is not None:
        field("piece length", f"{size} ({human(size)})")
    pieces = t.piece_count()
    if pieces is not None:
        field("pieces", pieces)
    field("private", "yes" if t.int_field(t.info, b"private", "info") == 1 else "no")
    created = t.creation_date()
    if created is not None:
        field("created", created)
    for label, key in (("created by", b"created by"), ("comment", b"comment")):
        value = t.text_field(t.meta, key, "")
        if value is not None:
            field(label, value)
    source = t.text_field(t.info, b"source", "info")
    if source is not None:
        field("source", source)
    announce, tiers = t.trackers()
    if announce is not None:
        field("announce", announce)
    if tiers:
        lines.append("announce-list:")
        for i, tier in enumerate(tiers, 1):
            lines.append(f"  tier {i}: " + ", ".join(tier))
    seeds = t.web_seeds()
    if seeds:
        lines.append("web seeds:")
        lines.extend("  " + s for s in seeds)
    lines.append("files:")
    lines.extend(_tree(files))
    if changed:
        lines.append("note: the info dictionary is not canonical bencode. The hashes above are "
                     "over its bytes as they stand in the file; a client that re-encodes it "
                     "before hashing gets info-hash " + ", ".join(changed) + ".")
    fault = canonical_fault(data)
    if fault is not None and not changed:
        lines.append(f"note: the file is not canonical bencode (offset {fault[0]}: {fault[1]}).")
    out.write(("\n".join(lines) + "\n").encode("utf-8", "backslashreplace"))


def _tree(files):
    lines = []
    shown = []  # the directories of the previous file
    for path, length in files:
        dirs = path[:-1]
        common = 0
        while common < min(len(dirs), len(shown)) and dirs[common] == shown[common]:
            common += 1
        for depth in range(common, len(dirs)):
            lines.append("  " * (depth + 1) + dirs[depth] + "/")
        shown = dirs
        lines.append("  " * (len(dirs) + 1) + f"{path[-1]} ({human(length)})")
    return lines


# ---------------------------------------------------------------------------------------------
# Commands

def read_input(path, stdin):
    if path == "-":
        return stdin.read()
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError as e:
        raise Failure(e.strerror or str(e)) from None


def cmd_show(args, stdin, stdout):
    show(read_input(args.file, stdin), stdout)
    return 0


def cmd_dump(args, stdin, stdout):
    value = decode(read_input(args.file, stdin))
    layout = {"separators": (",", ":")} if args.compact else {"indent": 2}
    with deeper():
        dumped = json.dumps(to_json(value), ensure_ascii=False, **layout)
    _write(args, stdout, (dumped + "\n").encode("utf-8"))
    return 0


def cmd_encode(args, stdin, stdout):
    parsed = parse_json(read_input(args.file, stdin))
    with deeper():
        encoded = vorlaken.bencode(from_json(parsed))
    _write(args, stdout, encoded)
    return 0


def cmd_check(args, stdin, stdout):
    data = read_input(args.file, stdin)
    fault = canonical_fault(data)
    refused = again = None
    try:
        value = vorlaken.bdecode(data)
    except (vorlaken.BTFailure, RecursionError, OverflowError) as e:
        refused = e
    else:
        with deeper():
            again = vorlaken.bencode(value)
    name = _name(args.file)
    if fault is None:
        if refused is None and again != data:  # the two answers must agree
            raise Failure("internal error: canonical in form, but re-encoding changes it")
        stdout.write(f"{name}: canonical\n".encode())
        if refused is not None:  # the form is fine; this interpreter cannot hold the value
            stdout.write(f"{name}: note: bdecode refuses it here: {_refusal(refused)}\n".encode())
        return 0
    offset, reason = fault
    stdout.write(f"{name}: not canonical at offset {offset}: {reason}\n"
                 .encode("utf-8", "backslashreplace"))
    if refused is None:
        stdout.write(f"{name}: bdecode reads it, but bencode writes it back differently\n"
                     .encode())
    else:
        stdout.write(f"{name}: bdecode refuses it: {_refusal(refused)}\n".encode())
    return 1


def _refusal(e):
    if isinstance(e, RecursionError):
        return "nesting deeper than the interpreter's recursion limit"
    return str(e)


def _write(args, stdout, payload):
    if args.output in (None, "-"):
        stdout.write(payload)
        return
    try:
        with open(args.output, "wb") as f:
            f.write(payload)
    except OSError as e:
        raise Failure(f"{args.output}: {e.strerror or e}") from None


def _name(path):
    return "<stdin>" if path == "-" else path


class _Parser(argparse.ArgumentParser):
    # One line on standard error for a usage mistake too, like every other refusal.
    def error(self, message):
        self.exit(2, f"{self.prog}: {message} (see {self.prog} --help)\n")


@functools.cache
def parser():
    # Built once: parsing leaves the parser as it was, and building one is most of the cost of
    # a call of main() on a small input.
    p = _Parser(prog=PROG, description="Look into torrents and other bencoded files.",
                epilog="FILE may be '-' for standard input. Exit status 0 on success, 1 when "
                       "check finds non-canonical input, 2 for input the command cannot use.")
    p.add_argument("--version", action="version", version=f"{PROG} {vorlaken.__version__}")
    sub = p.add_subparsers(dest="command", metavar="COMMAND", required=True,
                           parser_class=_Parser)

    def command(name, func, help, description):
        c = sub.add_parser(name, help=help, description=description)
        c.add_argument("file", metavar="FILE", help="the input file, or - for standard input")
        c.set_defaults(func=func)
        return c

    command("show", cmd_show, "summarise a torrent",
            "Print a torrent's name, info-hashes (v1 SHA-1; v2 SHA-256 for v2 and hybrid "
            "torrents, both over the info dictionary's bytes as they stand in the file), size, "
            "pieces, dates, trackers, web seeds and file tree.")
    c = command("dump", cmd_dump, "print the decoded value as JSON",
                "Print the decoded value as JSON. Byte strings that are valid UTF-8 become "
                "strings; others become {\"$hex\": \"...\"}. Dictionary keys that are not UTF-8 "
                "become \"$hex:...\", and a key that starts with '$' gets another '$' in front. "
                "'vorlaken encode' reads this form back.")
    c.add_argument("--compact", action="store_true", help="no indentation or spaces")
    c.add_argument("-o", "--output", metavar="OUT", help="write to OUT instead of standard output")
    c = command("encode", cmd_encode, "turn JSON in dump's form back into bencode",
                "Read JSON in the form that 'vorlaken dump' writes and write its bencode. For "
                "canonical input, dump then encode gives back the very same bytes.")
    c.add_argument("-o", "--output", metavar="OUT", help="write to OUT instead of standard output")
    command("check", cmd_check, "tell whether the input is canonical bencode",
            "Tell whether the input is canonical bencode, that is whether decoding and encoding "
            "it again gives the same bytes, and if not, the first offset where it deviates and "
            "why. Exit status 0 if canonical, 1 if not, 2 if the file cannot be read.")
    return p


class _WholeWrites:
    """A byte stream whose write() writes everything or raises.

    A buffered stream that runs into a closed pipe part way through a large write reports the
    bytes it got out and drops the rest without an error; the next write then raises.
    """

    def __init__(self, stream):
        self.stream = stream

    def write(self, data):
        view = memoryview(data)
        while view:
            n = self.stream.write(view)
            if not n:
                raise OSError("cannot write to standard output")
            view = view[n:]

    def flush(self):
        self.stream.flush()


def main(argv=None, stdin=None, stdout=None, stderr=None):
    stdin = stdin if stdin is not None else sys.stdin.buffer
    stdout = _WholeWrites(stdout if stdout is not None else sys.stdout.buffer)
    stderr = stderr if stderr is not None else sys.stderr
    try:
        args = parser().parse_args(argv)
    except SystemExit as e:
        return e.code if isinstance(e.code, int) else 2
    try:
        code = args.func(args, stdin, stdout)
        stdout.flush()
        return code
    except Failure as e:
        stderr.write(f"{PROG}: {_name(args.file)}: {e}\n")
    except BrokenPipeError:
        # The reader went away (a pager, head): nothing more to say to it.
        _silence_stdout()
        return 1
    except KeyboardInterrupt:
        return 130
    except RecursionError:
        stderr.write(f"{PROG}: {_name(args.file)}: nesting too deep\n")
    except Exception as e:  # a fault of the tool itself: still one line, no traceback
        stderr.write(f"{PROG}: {_name(args.file)}: internal error: {type(e).__name__}: {e}\n")
    return 2


def _silence_stdout():
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
    except (OSError, ValueError):
        pass


def run():
    """Console-script entry point."""
    sys.exit(main())


if __name__ == "__main__":
    run()
