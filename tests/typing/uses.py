# Correct uses of the vorlaken module: the type checkers must accept every line.
import collections

import vorlaken

value = vorlaken.bdecode(b"d3:fooli1eee")
data: bytes = vorlaken.bencode({"foo": [1], "bar": (b"x", -2)})
number, end = vorlaken.decode_int(b"i42e", 0)
total: int = number + end
text, _ = vorlaken.decode_string(x=b"4:spam", f=0)
assert text.startswith(b"sp")
items, _ = vorlaken.decode_list(b"li1ee", 0)
items.append(2)
mapping, _ = vorlaken.decode_dict(b"de", 0)
assert isinstance(mapping, collections.OrderedDict)

pieces: list[bytes] = []
vorlaken.encode(1, pieces)
vorlaken.encode_int(2**40, pieces)
vorlaken.encode_bool(True, pieces)
vorlaken.encode_string("text", pieces)
vorlaken.encode_list((1, 2), r=pieces)
vorlaken.encode_dict({b"k": 1}, pieces)


def encode_float(x: float, r: list[bytes]) -> None:
    vorlaken.encode_string(repr(x), r)


vorlaken.encode_func[float] = encode_float


def decode_symbol(x: bytes, f: int) -> tuple[bytes, int]:
    end = x.index(b";", f)
    return x[f + 1:end], end + 1


vorlaken.decode_func[ord("s")] = decode_symbol
reader = vorlaken.decode_func[vorlaken.END_CHAR - 1]

try:
    vorlaken.bdecode(b"")
except vorlaken.BTFailure as e:
    message: str = str(e)

version: str = vorlaken.__version__
flag: bool = vorlaken.IS_PY2
ordered = vorlaken.OrderedDict[bytes, int]()
platform: str = vorlaken.sys.platform
tests: dict[str, object] = vorlaken.__test__
last_key: str = vorlaken.key
