"""bencode and bdecode against each other, on generated values and bytes.

Encoding forgets what bencode cannot say: text becomes its UTF-8 bytes,
tuples become lists, booleans become integers, and a dictionary's own order
gives way to the order of its keys' bytes.  The first property spells out
that normal form (and the exact bytes) independently of the module; the
second starts from canonical bytes, which must come back unchanged.
"""

import collections

from hypothesis import given, settings
from hypothesis import strategies as st

import vorlaken
from support import bencoded

text = st.text(st.characters(exclude_categories=("Cs",)), max_size=8)
# Plain integers() seldom leaves 64 bits; torrents of large files need more than 32.
integers = st.integers() | st.integers(-(2 ** 128), 2 ** 128)
scalars = integers | st.booleans() | st.binary(max_size=8) | text


def _dicts(children):
    # Keys of one dictionary are all text or all bytes: the two do not sort
    # against each other.
    plain = st.dictionaries(st.binary(max_size=6), children, max_size=4) | st.dictionaries(
        text, children, max_size=4
    )
    return plain | plain.map(lambda d: collections.OrderedDict(reversed(list(d.items()))))


values = st.recursive(
    scalars,
    lambda children: st.lists(children, max_size=4)
    | st.lists(children, max_size=4).map(tuple)
    | _dicts(children),
    max_leaves=20,
)


def as_bytes(s):
    return s.encode() if isinstance(s, str) else s


def normal(v):
    """What bdecode gives back for the encoding of v."""
    if isinstance(v, bool):
        return int(v)
    if isinstance(v, (int, bytes)):
        return v
    if isinstance(v, str):
        return v.encode()
    if isinstance(v, (list, tuple)):
        return [normal(i) for i in v]
    return collections.OrderedDict(sorted((as_bytes(k), normal(i)) for k, i in v.items()))


def assert_same(got, expected):
    # == alone would let 1 stand for True and a dict for an OrderedDict, and
    # would not see the order of dictionary keys.
    assert type(got) is type(expected)
    if isinstance(expected, list):
        assert len(got) == len(expected)
        for g, e in zip(got, expected):
            assert_same(g, e)
    elif isinstance(expected, dict):
        assert list(got) == list(expected)
        for k in expected:
            assert_same(got[k], expected[k])
    else:
        assert got == expected


@settings(max_examples=300, deadline=None)
@given(values)
def test_decoding_an_encoding_gives_the_normal_form(v):
    data = vorlaken.bencode(v)
    assert data == bencoded(normal(v))
    assert_same(vorlaken.bdecode(data), normal(v))


def _string(s):
    return b"%d:%s" % (len(s), s)


def _dict(d):
    return b"d" + b"".join(_string(k) + d[k] for k in sorted(d)) + b"e"


canonical = st.recursive(
    integers.map(lambda n: b"i%de" % n) | st.binary(max_size=8).map(_string),
    lambda children: st.lists(children, max_size=4).map(lambda xs: b"l" + b"".join(xs) + b"e")
    | st.dictionaries(st.binary(max_size=6), children, max_size=4).map(_dict),
    max_leaves=20,
)


@settings(max_examples=300, deadline=None)
@given(canonical)
def test_canonical_bytes_survive_decoding_and_encoding(data):
    assert vorlaken.bencode(vorlaken.bdecode(data)) == data
