"""The summary of a torrent that show prints."""

import datetime
import hashlib

import vorlaken

from .canonical import _E, canonical_fault, decode
from .common import Failure, deeper


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
