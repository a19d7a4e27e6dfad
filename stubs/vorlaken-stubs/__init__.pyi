# Types of the vorlaken extension module. Installed as the stub-only package vorlaken-stubs,
# since a single-module distribution has no package directory to hold a py.typed marker.

import sys as sys
from collections import OrderedDict as OrderedDict
from typing import Any, Callable, Iterable, Protocol

# A reader takes the whole input and the offset of a token's first byte, and returns the value
# with the offset of the first byte after the token.
_Reader = Callable[[bytes, int], tuple[Any, int]]
# A writer appends the pieces of a value's encoding to the piece list.
_Writer = Callable[[Any, list[bytes]], object]

class _HasItems(Protocol):
    def items(self) -> Iterable[tuple[Any, Any]]: ...

__version__: str
IS_PY2: bool
END_CHAR: int

class BTFailure(Exception): ...

def decode_int(x: bytes, f: int) -> tuple[int, int]: ...
def decode_string(x: bytes, f: int) -> tuple[bytes, int]: ...
def decode_list(x: bytes, f: int) -> tuple[list[Any], int]: ...
def decode_dict(x: bytes, f: int) -> tuple[OrderedDict[bytes, Any], int]: ...

# Maps a token's first byte to its reader; callers may add, replace or remove entries.
decode_func: dict[int, _Reader]

# What the loop that fills decode_func leaves behind.
func: _Reader
keys: list[str]
key: str

def bdecode(x: bytes, /) -> Any: ...
def encode(v: object, r: list[bytes]) -> None: ...
def encode_int(x: int, r: list[bytes]) -> None: ...
def encode_bool(x: object, r: list[bytes]) -> None: ...
def encode_string(x: str | bytes, r: list[bytes]) -> None: ...
def encode_list(x: Iterable[Any], r: list[bytes]) -> None: ...
def encode_dict(x: _HasItems, r: list[bytes]) -> None: ...

# Maps a type to its writer; callers may add, replace or remove entries.
encode_func: dict[type[Any], _Writer]

def bencode(x: object, /) -> bytes: ...

__test__: dict[str, Any]
