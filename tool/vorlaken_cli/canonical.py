"""Where bytes leave canonical bencode, and where the module's readers give up on them."""

import vorlaken

from .common import Failure

# Bytes of the format, by value.
_E, _I, _L, _D, _COLON, _MINUS, _ZERO = b"eild:-0"
_DIGITS = frozenset(b"0123456789")
# What the interpreter's int() skips around a number, and so what the readers let through.
_WHITESPACE = frozenset(b" \t\n\x0b\x0c\r")


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
