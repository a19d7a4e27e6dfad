"""The JSON form that dump writes and encode reads.

Byte strings that are valid UTF-8 become JSON strings. Any other byte string becomes the
object {"$hex": "<hex digits>"}. Dictionary keys that are valid UTF-8 stay as they are, except
that a key starting with "$" gets one more "$" in front; other keys become "$hex:<hex digits>".
So a key that starts with a single "$" is never a real key, and an object whose only key is
"$hex" is never a real dictionary: the form reads back without ambiguity.
"""

import json

from .common import Failure

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
