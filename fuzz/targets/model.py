"""The module's decoding and encoding restated in plain Python, step by step, for the fuzz
targets to compare the extension with.

The model binds nothing late: it always uses its own readers and writers, so it stands for the
module as it is after start-up. Its exceptions carry the same types and arguments as the
module's, so outcomes can be compared exactly, messages included.
"""

from collections import OrderedDict

INT32_MIN, INT32_MAX = -(2**31), 2**31 - 1
SSIZE_MIN, SSIZE_MAX = -(2**63), 2**63 - 1
END = ord("e")


class Failure(Exception):
    """Stands for the module's BTFailure."""


def int32(value):
    if not INT32_MIN <= value <= INT32_MAX:
        raise OverflowError("Python int too large to convert to C int")
    return value


# Readers -----------------------------------------------------------------------------------


def decode_int(x, f):
    s = f + 1
    new_f = x.index(b"e", s)
    n = int(x[s:new_f])
    if x[s] == 0x2D:
        if x[s + 1] == 0x30:
            raise ValueError()
    elif x[s] == 0x30 and new_f != s + 1:
        raise ValueError()
    return n, new_f + 1


def decode_string(x, f):
    colon = x.index(b":", f)
    n = int(x[f:colon])
    if x[f] == 0x30 and colon != f + 1:
        raise ValueError()
    # A negative length would send a dictionary's reading back to bytes it has already read.
    if n < 0:
        raise ValueError()
    colon += 1
    end = colon + n
    if not (SSIZE_MIN <= colon <= SSIZE_MAX and SSIZE_MIN <= end <= SSIZE_MAX):
        raise OverflowError("Python int too large to convert to C ssize_t")
    return x[colon:end], end


def read_element(x, f, depth):
    reader = TABLE[x[f]]
    if reader is decode_list or reader is decode_dict:
        value, next_f = reader(x, f, depth + 1)
    else:
        value, next_f = reader(x, f)
    return value, int32(next_f)


def decode_list(x, f, depth=1):
    note_depth(depth)
    r = []
    f += 1
    while x[f] != END:
        value, f = read_element(x, f, depth)
        r.append(value)
    return r, f + 1


def decode_dict(x, f, depth=1):
    note_depth(depth)
    r = OrderedDict()
    f += 1
    while x[f] != END:
        key, f = decode_string(x, f)
        f = int32(f)
        value, f = read_element(x, f, depth)
        r[key] = value
    return r, f + 1


TABLE = {ord("l"): decode_list, ord("d"): decode_dict, ord("i"): decode_int}
TABLE.update((ord(str(digit)), decode_string) for digit in range(10))

# The deepest container level the last decoding reached: the module counts one level of the
# recursion limit per level, which the comparison has to allow for.
max_depth = 0


def note_depth(depth):
    global max_depth
    max_depth = max(max_depth, depth)


def bdecode(x):
    global max_depth
    max_depth = 0
    try:
        r, end = read_element_unconverted(x)
    except (IndexError, KeyError, ValueError):
        raise Failure("not a valid bencoded string")
    if end != len(x):
        raise Failure("invalid bencoded value (data after valid prefix)")
    return r


def read_element_unconverted(x):
    reader = TABLE[x[0]]
    return reader(x, 0)


# Writers -----------------------------------------------------------------------------------


def encode(v, r, depth=0):
    tp = type(v)
    writer = WRITERS.get(tp)
    if writer is None:
        for key, candidate in WRITERS.items():
            if isinstance(v, key):
                writer = candidate
                break
        else:
            raise Failure("Unknown Type: %s" % (tp,))
    if writer is encode_list or writer is encode_dict:
        note_depth(depth + 1)
        writer(v, r, depth + 1)
    else:
        writer(v, r)


def encode_int(x, r):
    r.extend((b"i", str(int(x)).encode(), b"e"))


def encode_bool(x, r):
    encode_int(1 if x else 0, r)


def encode_string(x, r):
    if isinstance(x, str):
        x = x.encode()
    r.extend((str(len(x)).encode(), b":", x))


def encode_list(x, r, depth):
    r.append(b"l")
    for item in x:
        encode(item, r, depth)
    r.append(b"e")


def encode_dict(x, r, depth):
    r.append(b"d")
    items = list(x.items())
    items.sort()
    for k, v in items:
        if isinstance(k, str):
            k = k.encode()
        r.extend((str(len(k)).encode(), b":", k))
        encode(v, r, depth)
    r.append(b"e")


WRITERS = {
    int: encode_int,
    bytes: encode_string,
    str: encode_string,
    list: encode_list,
    tuple: encode_list,
    dict: encode_dict,
    OrderedDict: encode_dict,
    bool: encode_bool,
}


def bencode(x):
    global max_depth
    max_depth = 0
    r = []
    encode(x, r)
    return b"".join(r)


def normal_form(v):
    """What decoding the encoding of ``v`` gives back."""
    if isinstance(v, bool):
        return int(v)
    if isinstance(v, int):
        return int(v)
    if isinstance(v, str):
        return v.encode()
    if isinstance(v, bytes):
        return bytes(v)
    if isinstance(v, (list, tuple)):
        return [normal_form(item) for item in v]
    items = sorted(v.items())
    return OrderedDict(
        (k.encode() if isinstance(k, str) else bytes(k), normal_form(value)) for k, value in items
    )
