"""The shortcuts the module takes while no code of a caller's could tell, against the general path.

The module reads its globals and its two tables at every use, but while the namespace and the
tables are unchanged and hold its own functions it runs those directly, compares END_CHAR by
value, builds mappings through the C API, sorts plain dictionaries without item tuples, and keeps
bencode's piece list as raw bytes until code of a caller's could see it. Each test here takes
shortcuts away (a Python wrapper of the same function, a table that is no dict, a namespace key
that is no str, containers of subclasses) and checks that nothing a caller can see changes:
results, exceptions and their contexts, the module's traceback entries, the piece list that a
caller's writer finds, down to the identity of every piece, what a rebinding made halfway
through a value does to the rest of it, and how deep values may nest.

Equal dictionary keys read in one call may share one bytes object on the shortcut: that identity
is nobody's promise, and decoded values are compared by value and type only.
"""

import collections
import collections.abc
import contextlib
import functools
import random
import sys
from dataclasses import dataclass
from typing import Callable

import pytest
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st

import vorlaken
from support import bencoded

# The traceback helper is a function-scoped fixture that holds no state.
differential = settings(
    max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture]
)


def weighted(*choices):
    """One of the strategies, each drawn with its weight."""
    table = [s for weight, s in choices for _ in range(weight)]
    return st.sampled_from(table).flatmap(lambda s: s)


def outcome(entries, function, *args):
    """What a caller sees of function(*args): its result, or the exception with its context.

    The call goes through partial's vectorcall, which turns a result returned with an exception
    pending into SystemError at once; a call from bytecode may leave the exception pending, to
    surface somewhere later.
    """
    try:
        return ("returns", functools.partial(function, *args)())
    except Exception as e:
        return ("raises", *failure(e, entries))


@contextlib.contextmanager
def rebinding():
    """monkeypatch, with the namespace and both tables put back in their own order afterwards:
    monkeypatch puts a deleted entry back at the end, and the order is part of what the module
    shows."""
    tables = [vars(vorlaken), vorlaken.decode_func, vorlaken.encode_func]
    saved = [(table, list(table.items())) for table in tables]
    try:
        with pytest.MonkeyPatch.context() as mp:
            yield mp
    finally:
        for table, items in saved:
            now = list(table.items())
            if len(now) != len(items) or any(a[0] is not b[0] or a[1] is not b[1] for a, b in zip(now, items)):
                table.clear()
                table.update(items)


def failure(e, entries):
    context = e.__context__
    seen = None if context is None else (type(context), context.args, entries(context))
    return type(e), e.args, entries(e), seen


# --- the switches ------------------------------------------------------------------------------

# The readers, writers and tables that stand in for the module's own. Each calls note() when it
# runs, so that a test can make sure a switch really leaves the shortcut.


def reader_wrapper(real, note):
    def read(x, f):
        note()
        return real(x, f)

    return read


def writer_wrapper(real, note):
    def write(x, r):
        note()
        return real(x, r)

    return write


class MappingTable(collections.abc.Mapping):
    def __init__(self, entries, note):
        self._entries = dict(entries)
        self._note = note

    def __getitem__(self, key):
        self._note()
        return self._entries[key]

    def __iter__(self):
        return iter(self._entries)

    def __len__(self):
        return len(self._entries)


class MutableMappingTable(MappingTable, collections.abc.MutableMapping):
    def __setitem__(self, key, value):
        self._entries[key] = value

    def __delitem__(self, key):
        del self._entries[key]


class DictTable(dict):
    def __init__(self, entries, note):
        super().__init__(entries)
        self.note = note

    def __getitem__(self, key):
        self.note()
        return super().__getitem__(key)


class EndChar(int):
    """Equal to the end byte, but no exact int."""


class SubOrderedDict(collections.OrderedDict):
    pass


class SubDict(dict):
    pass


@dataclass(frozen=True)
class Switch:
    """A way off a shortcut: off(mp, note) installs it, after base(mp) on both sides.

    stand_in: off() installs code that calls note() when the module uses it.
    loose_mappings: the switch changes the mapping class that decoding builds.
    value: what the value to encode becomes with the switch on.
    same_depth: the switch calls nothing, so that values must nest exactly as deep with it.
    """

    off: Callable
    base: Callable = lambda mp: None
    stand_in: bool = True
    loose_mappings: bool = False
    value: Callable = lambda v: v
    same_depth: bool = False


def wrap_entries(table_name, keys, wrapper):
    def off(mp, note):
        table = getattr(vorlaken, table_name)
        for key in keys:
            mp.setitem(table, key, wrapper(table[key], note))

    return off


def wrap_global(name, wrapper):
    def off(mp, note):
        mp.setattr(vorlaken, name, wrapper(getattr(vorlaken, name), note))

    return off


def table_as(table_name, kind):
    def off(mp, note):
        mp.setattr(vorlaken, table_name, kind(getattr(vorlaken, table_name), note))

    return off


def extra_key(table_name, key, function_name):
    def off(mp, note):
        mp.setitem(getattr(vorlaken, table_name), key, getattr(vorlaken, function_name))

    return off


def rebind(name, value):
    def off(mp, note=None):
        mp.setattr(vorlaken, name, value)

    return off


def namespace_key(mp, note=None):
    # A key that is no str takes every shortcut away: a lookup might then run a caller's __eq__.
    mp.setitem(vars(vorlaken), 0, None)


def wrapped_readers(keys):
    return Switch(wrap_entries("decode_func", keys, reader_wrapper))


DECODER_SWITCHES = [
    pytest.param(wrapped_readers(b"l"), id="list-reader-wrapped"),
    pytest.param(wrapped_readers(b"d"), id="dict-reader-wrapped"),
    pytest.param(wrapped_readers(b"i"), id="int-reader-wrapped"),
    pytest.param(wrapped_readers(b"0123456789"), id="string-reader-wrapped"),
    pytest.param(wrapped_readers(b"3"), id="one-length-digit-wrapped"),
    pytest.param(Switch(wrap_global("decode_string", reader_wrapper)), id="key-reader-wrapped"),
    pytest.param(Switch(table_as("decode_func", MappingTable)), id="reader-table-mapping"),
    pytest.param(Switch(table_as("decode_func", MutableMappingTable)), id="reader-table-mutable-mapping"),
    pytest.param(Switch(table_as("decode_func", DictTable)), id="reader-table-dict-subclass"),
    pytest.param(
        Switch(extra_key("decode_func", "l", "decode_list"), stand_in=False, same_depth=True),
        id="reader-table-str-key",
    ),
    # Not same_depth: an END_CHAR that is no exact int is compared by the interpreter, which
    # counts a level of the recursion limit for the comparison.
    pytest.param(Switch(rebind("END_CHAR", EndChar(101)), stand_in=False), id="end-char-int-subclass"),
    pytest.param(
        Switch(rebind("OrderedDict", SubOrderedDict), stand_in=False, loose_mappings=True),
        id="ordered-dict-subclass",
    ),
    pytest.param(
        Switch(
            rebind("OrderedDict", SubDict),
            base=rebind("OrderedDict", dict),
            stand_in=False,
            loose_mappings=True,
        ),
        id="dict-then-dict-subclass",
    ),
    pytest.param(Switch(namespace_key, stand_in=False, same_depth=True), id="namespace-int-key"),
]


class SubList(list):
    pass


class SubTuple(tuple):
    pass


class SubDictValue(dict):
    pass


class SubOrderedDictValue(collections.OrderedDict):
    pass


SUBCLASS_OF = {
    list: SubList,
    tuple: SubTuple,
    dict: SubDictValue,
    collections.OrderedDict: SubOrderedDictValue,
}


def as_subclasses(value, made=None):
    """The value with every exact list, tuple, dict and OrderedDict a plain subclass of it.

    Such containers reach their writers through the table walk, are iterated and sorted by the
    interpreter, and make bencode's piece list real. The same object stays one object.
    """
    made = {} if made is None else made
    if id(value) in made:
        return made[id(value)][1]
    if not isinstance(value, (list, tuple, dict)):
        return value
    kind = SUBCLASS_OF.get(type(value), type(value))
    if isinstance(value, dict):
        new = kind((k, as_subclasses(v, made)) for k, v in value.items())
    else:
        new = kind(as_subclasses(v, made) for v in value)
    made[id(value)] = (value, new)  # the original is kept alive, so that its id stays its own
    return new


def wrapped_writers(*types):
    return Switch(wrap_entries("encode_func", types, writer_wrapper))


ENCODER_SWITCHES = [
    pytest.param(wrapped_writers(int), id="int-writer-wrapped"),
    pytest.param(wrapped_writers(bool), id="bool-writer-wrapped"),
    pytest.param(wrapped_writers(bytes), id="bytes-writer-wrapped"),
    pytest.param(wrapped_writers(str), id="str-writer-wrapped"),
    pytest.param(wrapped_writers(list), id="list-writer-wrapped"),
    pytest.param(wrapped_writers(tuple), id="tuple-writer-wrapped"),
    pytest.param(wrapped_writers(dict), id="dict-writer-wrapped"),
    pytest.param(wrapped_writers(collections.OrderedDict), id="ordered-dict-writer-wrapped"),
    pytest.param(Switch(wrap_global("encode", writer_wrapper)), id="encode-wrapped"),
    pytest.param(Switch(wrap_global("encode_int", writer_wrapper)), id="encode-int-wrapped"),
    pytest.param(Switch(table_as("encode_func", MappingTable)), id="writer-table-mapping"),
    pytest.param(Switch(table_as("encode_func", MutableMappingTable)), id="writer-table-mutable-mapping"),
    pytest.param(Switch(table_as("encode_func", DictTable)), id="writer-table-dict-subclass"),
    pytest.param(
        Switch(extra_key("encode_func", (memoryview, range), "encode_list"), stand_in=False, same_depth=True),
        id="writer-table-tuple-key",
    ),
    # A class whose metaclass is not type: its instance check is Python code.
    pytest.param(
        Switch(extra_key("encode_func", collections.abc.Awaitable, "encode_list"), stand_in=False),
        id="writer-table-abstract-class-key",
    ),
    pytest.param(Switch(namespace_key, stand_in=False, same_depth=True), id="namespace-int-key"),
    pytest.param(Switch(lambda mp, note: None, stand_in=False, value=as_subclasses), id="container-subclasses"),
]


def no_note():
    pass


# --- decoding ----------------------------------------------------------------------------------


def shape(value, loose):
    """The value with the exact type of every part; mappings by their items in order, and, when
    loose, without their class."""
    if isinstance(value, dict):
        kind = "mapping" if loose else type(value)
        return kind, [(shape(k, loose), shape(v, loose)) for k, v in value.items()]
    if isinstance(value, list):
        return type(value), [shape(v, loose) for v in value]
    if isinstance(value, tuple):
        return type(value), tuple(shape(v, loose) for v in value)
    return type(value), value


def decoding(x, entries, loose):
    """What bdecode and the two container readers make of x."""
    seen = [
        outcome(entries, vorlaken.bdecode, x),
        outcome(entries, vorlaken.decode_list, x, 0),
        outcome(entries, vorlaken.decode_dict, x, 0),
    ]
    return [("returns", shape(o[1], loose)) if o[0] == "returns" else o for o in seen]


# Numbers that the direct parse takes, that it leaves to int(), and that int() refuses.
NUMBER_TEXTS = [
    b"0", b"7", b"-7", b"42", b"+3", b" 3", b"3 ", b"\t3", b"03", b"-0", b"-03", b"00", b"",
    b"-", b"+", b"1_0", b"--1", b"0x1", b"9" * 18, b"9" * 19, b"9" * 20, b"-" + b"9" * 19,
    b"1" + b"0" * 18, b"1" + b"0" * 19, b"0" * 19 + b"1",
]
numbers = weighted(
    (3, st.integers(-(2 ** 66), 2 ** 66).map(lambda n: b"%d" % n)),
    (2, st.integers(2 ** 63 - 3, 2 ** 64 + 3).map(lambda n: b"%d" % n)),
    (2, st.integers(-(2 ** 64) - 3, -(2 ** 63) + 3).map(lambda n: b"%d" % n)),
    (3, st.sampled_from(NUMBER_TEXTS)),
)
int_tokens = numbers.map(lambda n: b"i" + n + b"e")


@st.composite
def string_tokens(draw):
    payload = draw(st.binary(max_size=6) | st.sampled_from([b"e", b"i1e", b"le", b":"]))
    n = len(payload)
    length = draw(
        weighted(
            (8, st.just(b"%d" % n)),
            (1, st.just(b"0%d" % n)),  # a superfluous leading zero
            (1, st.just(b"-%d" % n)),  # negative: refused as a dictionary key
            (1, st.sampled_from([b"+%d" % n, b" %d" % n, b"%d " % n, b"-0"])),
            (1, st.integers(n + 1, n + 40).map(lambda k: b"%d" % k)),  # past the end
            (1, st.sampled_from([b"9" * 18, b"9" * 19, b"9" * 20, b"%d" % 2 ** 63, b"%d" % 2 ** 64])),
            (1, numbers),
        )
    )
    return length + b":" + payload


junk = st.sampled_from([b"x", b"e", b"-", b":", b" ", b"+", b"\x00", b"\xff", b"i", b"l", b"d"])
scalar_tokens = weighted((3, int_tokens), (4, string_tokens()), (1, junk))


def containers(children):
    keys = weighted((5, string_tokens()), (1, children))
    return st.lists(children, max_size=4).map(lambda xs: b"l" + b"".join(xs) + b"e") | st.lists(
        st.tuples(keys, children), max_size=4
    ).map(lambda kvs: b"d" + b"".join(k + v for k, v in kvs) + b"e")


token_shaped = st.recursive(scalar_tokens, containers, max_leaves=10)


@st.composite
def many_keys(draw):
    """Dictionaries in a list that repeat a few keys many times: equal keys read in one call may
    share one object once the first few keys are read, and keys that differ in any byte, or
    only in length, must stay apart."""
    names = draw(st.lists(
        st.binary(max_size=18) | st.sampled_from([b"a", b"a\x00", b"\x00", b"", b"abcdefgh", b"abcdefgi",
                                                  b"abcdefghXabcdefgh", b"abcdefghYabcdefgh"]),
        min_size=1, max_size=6,
    ))
    dicts = draw(st.lists(st.lists(st.sampled_from(names), max_size=6), min_size=2, max_size=6))
    return b"l" + b"".join(
        b"d" + b"".join(b"%d:%si%de" % (len(k), k, n) for n, k in enumerate(keys)) + b"e" for keys in dicts
    ) + b"e"


plain_values = st.recursive(
    st.integers(-(2 ** 70), 2 ** 70) | st.binary(max_size=8),
    lambda inner: st.lists(inner, max_size=4)
    | st.dictionaries(st.binary(max_size=4), inner, max_size=4),
    max_leaves=12,
)
well_formed = plain_values.map(bencoded)


@st.composite
def decoder_inputs(draw):
    x = draw(weighted((2, well_formed), (4, token_shaped), (1, many_keys())))
    how = draw(st.sampled_from(["as is", "as is", "cut", "flip", "insert", "trail"]))
    if how == "as is":
        return x
    at = draw(st.integers(0, len(x)))
    if how == "cut":
        return x[:at]
    if how == "flip" and x:
        at = min(at, len(x) - 1)
        return x[:at] + bytes([draw(st.integers(0, 255))]) + x[at + 1:]
    if how == "insert":
        return x[:at] + draw(scalar_tokens) + x[at:]
    return x + draw(scalar_tokens)


@pytest.mark.parametrize("switch", DECODER_SWITCHES)
@differential
@given(x=decoder_inputs())
@example(x=b"d1:ai1e1:bli+3ei 3ee1:cd2:-3i0eee")
@example(x=b"ld3:keyi03eed3:keyi-0eee")
@example(x=b"l%de" % (2 ** 63) + b"i%de" % (2 ** 64))
@example(x=b"d-3:abci1ee")
@example(x=b"l99999999999999999999:ae")
@example(x=b"l3000000000:ae")
@example(x=b"d1:al40:xee")
def test_decoding_is_the_same_off_the_shortcut(switch, x, entries):
    """Well-formed and malformed input alike: the same values, or the same exceptions."""
    with rebinding() as mp:
        switch.base(mp)
        fast = decoding(x, entries, switch.loose_mappings)
        switch.off(mp, no_note)
        slow = decoding(x, entries, switch.loose_mappings)
    assert slow == fast


# Bytes that start tokens, end containers, or start nothing, and keys no byte reaches.
READER_KEYS = list(b"ldi0123456789ex-: ") + [256, -1]
READERS = ["decode_int", "decode_string", "decode_list", "decode_dict"]


@differential
@given(
    edits=st.lists(st.tuples(st.sampled_from(READER_KEYS), st.sampled_from(READERS + [None])), max_size=4),
    end=st.sampled_from([101, ord("x"), ord(":"), ord("l"), 0, 255, 256, -1, 2 ** 70]),
    x=decoder_inputs(),
)
@example(edits=[(ord("x"), "decode_int")], end=101, x=b"lx5ee")
@example(edits=[(ord("e"), "decode_list")], end=ord("x"), x=b"leex")
def test_reader_tables_of_the_modules_own_readers(edits, end, x, entries):
    """The shortcut knows which of its own readers the table holds for each byte, and END_CHAR's
    value: any table of them and any exact int must read as the general path reads."""
    table = dict(vorlaken.decode_func)
    for key, name in edits:
        if name is None:
            table.pop(key, None)
        else:
            table[key] = getattr(vorlaken, name)
    with rebinding() as mp:
        mp.setattr(vorlaken, "decode_func", table)
        mp.setattr(vorlaken, "END_CHAR", end)
        fast = decoding(x, entries, False)
        namespace_key(mp)
        slow = decoding(x, entries, False)
    assert slow == fast


# --- encoding ----------------------------------------------------------------------------------


def _markers():
    r = []
    vorlaken.encode_list([], r)
    vorlaken.encode_dict({}, r)
    vorlaken.encode_int(10, r)
    vorlaken.encode_string(b"", r)
    l, e, d, _, i, _, _, _, colon, _ = r
    return (("l", l), ("d", d), ("e", e), ("i", i), (":", colon))


# The one-byte pieces the writers append: the same objects every time.
MARKERS = _markers()


def signature(pieces, inputs):
    """Each piece with which marker or which of the input's byte strings it is, if any."""
    described = []
    for p in pieces:
        marker = next((name for name, m in MARKERS if p is m), None)
        source = next((n for n, b in enumerate(inputs) if p is b), None)
        described.append((type(p), p, marker, source))
    return described


def byte_strings(value, found=None):
    """The byte strings in value, keys included, in the order of a walk."""
    found = [] if found is None else found
    if isinstance(value, bytes):
        found.append(value)
    elif isinstance(value, dict):
        for k, v in value.items():
            byte_strings(k, found)
            byte_strings(v, found)
    elif isinstance(value, (list, tuple)):
        for v in value:
            byte_strings(v, found)
    return found


class Recorder:
    """What the caller's writers saw of the piece list, for the value being encoded: the pieces
    when each was called, and the list itself, which a writer may keep and look at later."""

    def __init__(self):
        self.inputs = []
        self.seen = []
        self.lists = []

    def note(self, r):
        self.seen.append(signature(r, self.inputs))
        self.lists.append(r)

    def take(self):
        """What was seen, the lists' pieces now, and whether every writer got the same list."""
        lists = self.lists
        taken = {
            "seen": self.seen,
            "pieces later": [signature(r, self.inputs) for r in lists],
            "one list": all(r is lists[0] for r in lists),
        }
        self.seen, self.lists = [], []
        return taken, lists


RECORDER = Recorder()


class Marker:
    """A value whose writer is the caller's."""


class MarkedList(list):
    """A list subclass whose writer is the caller's."""


class MarkedDict(dict):
    """A dict subclass whose writer is the caller's."""


class ItemsDict(dict):
    """Leaves the shortcut through its own items()."""

    def items(self):
        return list(super().items())


class IterList(list):
    """Leaves the shortcut through its own iterator."""

    def __iter__(self):
        return iter(list(super().__iter__()))


# What a marker's writer appends: an empty byte string, so that the result stays bencode.
MARK_PIECE = b"0:"


def write_marker(x, r):
    RECORDER.note(r)
    r.append(MARK_PIECE)


def write_marked_list(x, r):
    RECORDER.note(r)
    vorlaken.encode_list(x, r)


def write_marked_dict(x, r):
    RECORDER.note(r)
    vorlaken.encode_dict(x, r)


CALLERS_WRITERS = {Marker: write_marker, MarkedList: write_marked_list, MarkedDict: write_marked_dict}


def callers_writers(mp):
    for kind, writer in CALLERS_WRITERS.items():
        mp.setitem(vorlaken.encode_func, kind, writer)


def encoding(value, entries):
    """What bencode makes of value, and encode into a list of the caller's, with what the
    caller's writers saw each time."""
    RECORDER.inputs = byte_strings(value)
    joined = outcome(entries, vorlaken.bencode, value)
    result = joined[1:] if joined[0] == "returns" else ()
    joined_saw, lists = RECORDER.take()
    r = []
    direct = outcome(entries, vorlaken.encode, value, r)
    direct_saw, direct_lists = RECORDER.take()
    assert all(seen is r for seen in direct_lists)
    return {
        "bencode": joined,
        "bencode saw": joined_saw,
        # The join of a single piece is that piece itself.
        "result is the mark": bool(result) and result[0] is MARK_PIECE,
        "result joins the list seen": bool(result and lists)
        and outcome(entries, b"".join, lists[0]) == ("returns", result[0]),
        "encode": direct,
        "encode saw": direct_saw,
        "pieces": signature(r, RECORDER.inputs),
        # A writer may append pieces that are no bytes.
        "joined pieces": outcome(entries, b"".join, r),
    }


def check_bencode_against_its_pieces(seen):
    """bencode's own piece list is the list that encode fills for a caller, whether kept as bytes
    or not: the caller's writers see the same pieces, and the result is their join."""
    assert seen["bencode saw"] == seen["encode saw"]
    # bencode fails where encode does, or else where the join of the pieces does, with its own
    # traceback entry on top.
    expected = seen["encode"] if seen["encode"][0] == "raises" else seen["joined pieces"]
    if expected[0] == "raises":
        _, kind, args, names, context = expected
        expected = ("raises", kind, args, ["vorlaken.bencode", *names], context)
    if expected[0] == "raises" and expected[1] is RecursionError:
        # How many levels deep the limit is reached depends on what entering each function
        # costs, which is not the same for the two: only the top entry is compared.
        assert seen["bencode"][:3] == expected[:3]
        assert seen["bencode"][3][:1] == expected[3][:1]
    else:
        assert seen["bencode"] == expected
    if expected[0] == "returns":
        assert seen["result joins the list seen"] == bool(seen["bencode saw"]["seen"])


big_ints = st.sampled_from([
    2 ** 63 - 1, 2 ** 63, -(2 ** 63), -(2 ** 63) - 1, 2 ** 64 - 1, 2 ** 64, 10 ** 19, -(10 ** 19), 2 ** 100,
])
texts = st.text(max_size=6) | st.sampled_from(["\ud800", "a\udfff", "é", "日本", "key", "é" * 300, "k" * 600])
# Byte strings from 512 bytes on are not copied into bencode's kept bytes but spliced into the
# result; the kept bytes themselves outgrow their first buffer at 256.
long_blobs = st.builds(
    lambda n, seed: random.Random(seed).randbytes(n),
    st.sampled_from([240, 300, 511, 512, 513, 1000, 5000]),
    st.integers(0, 2 ** 16),
)
blobs = weighted((6, st.binary(max_size=10)), (1, long_blobs))
unencodable = st.sampled_from([None, 1.5, bytearray(b"x"), frozenset()])

leaves = weighted(
    (6, st.integers(-(2 ** 70), 2 ** 70)),
    (1, big_ints),
    (2, st.booleans()),
    (6, blobs),
    (3, texts),
    (2, st.builds(Marker)),
    (1, unencodable),
)


def encoder_containers(children):
    return weighted(
        (4, st.lists(children, max_size=4)),
        (2, st.lists(children, max_size=3).map(tuple)),
        (4, st.dictionaries(st.binary(max_size=5), children, max_size=4)),
        (1, st.dictionaries(blobs, children, max_size=3)),
        (3, st.dictionaries(texts, children, max_size=4)),
        (2, st.dictionaries(st.binary(max_size=5), children, max_size=4).map(collections.OrderedDict)),
        (1, st.dictionaries(st.binary(max_size=2) | st.text(max_size=2), children, max_size=3)),
        (1, st.dictionaries(st.integers(0, 3), children, max_size=2)),
        (1, st.lists(children, max_size=3).map(MarkedList)),
        (1, st.lists(children, max_size=3).map(IterList)),
        (1, st.dictionaries(st.binary(max_size=3), children, max_size=3).map(MarkedDict)),
        (1, st.dictionaries(texts, children, max_size=3).map(ItemsDict)),
    )


encoder_values = st.recursive(leaves, encoder_containers, max_leaves=12)


@pytest.mark.parametrize("switch", ENCODER_SWITCHES)
@differential
@given(value=encoder_values)
@example(value=[b"ab", {"k": (1, True, 2 ** 64)}, Marker()])
@example(value={b"x": MarkedList([b"y", Marker()])})
def test_encoding_is_the_same_off_the_shortcut(switch, value, entries):
    """The same bytes or exceptions, and the same pieces seen by the caller's writers."""
    with rebinding() as mp:
        callers_writers(mp)
        switch.base(mp)
        fast = encoding(value, entries)
        switch.off(mp, no_note)
        slow = encoding(switch.value(value), entries)
    assert slow == fast
    check_bencode_against_its_pieces(fast)


WRITER_TYPES = [int, bool, bytes, str, list, tuple, dict, collections.OrderedDict]
WRITERS = ["encode", "encode_int", "encode_bool", "encode_string", "encode_list", "encode_dict"]


@differential
@given(
    edits=st.lists(st.tuples(st.sampled_from(WRITER_TYPES), st.sampled_from(WRITERS + [None])), max_size=3),
    value=encoder_values,
)
@example(edits=[(str, "encode_int")], value=["a"])
@example(edits=[(bytes, "encode_int")], value={b"k": b"12"})
def test_writer_tables_of_the_modules_own_writers(edits, value, entries):
    """The shortcut knows which of its own writers the table holds for each exact type: any table
    of them must write as the general path writes."""
    with rebinding() as mp:
        callers_writers(mp)
        for kind, name in edits:
            if name is None:
                if kind in vorlaken.encode_func:
                    mp.delitem(vorlaken.encode_func, kind)
            else:
                mp.setitem(vorlaken.encode_func, kind, getattr(vorlaken, name))
        fast = encoding(value, entries)
        namespace_key(mp)
        slow = encoding(value, entries)
    assert slow == fast
    check_bencode_against_its_pieces(fast)


# --- rebinding while a value is read or written ---------------------------------------------

# A caller's reader or writer may rebind anything; the change applies from the next element on.
# The shortcut must notice at once, where the general path looks everything up anyway.


class Rebinder:
    """Makes one change of its list each time a caller's reader or writer runs."""

    def __init__(self):
        self.changes = []
        self.mp = None
        self.done = 0

    def start(self, changes, mp):
        self.changes, self.mp, self.done = changes, mp, 0

    def step(self):
        if self.done < len(self.changes):
            self.changes[self.done](self.mp)
        self.done += 1


REBINDER = Rebinder()


def read_plus_1000(x, f):
    value, end = vorlaken.decode_int(x, f)
    return value + 1000, end


def read_upper(x, f):
    value, end = vorlaken.decode_string(x, f)
    return value.upper(), end


def read_x(x, f):
    REBINDER.step()
    return b"X", f + 1


# The module's own functions, as start-up binds them: a change may have rebound the globals.
OWN = {name: getattr(vorlaken, name) for name in (
    "decode_int", "decode_string", "decode_list", "decode_dict",
    "encode", "encode_int", "encode_string", "encode_list", "encode_dict",
)}


def set_reader(key, function):
    return lambda mp: mp.setitem(vorlaken.decode_func, key, OWN.get(function, function))


def set_global(name, value):
    return lambda mp: mp.setattr(vorlaken, name, OWN.get(value, value))


READER_CHANGES = {
    "int reader in Python": set_reader(ord("i"), read_plus_1000),
    "int reader own": set_reader(ord("i"), "decode_int"),
    "list reader reads dicts": set_reader(ord("l"), "decode_dict"),
    "list reader own": set_reader(ord("l"), "decode_list"),
    "no list reader": lambda mp: mp.delitem(vorlaken.decode_func, ord("l"), raising=False),
    "a copy of the table": lambda mp: mp.setattr(vorlaken, "decode_func", dict(vorlaken.decode_func)),
    "lists end at z": set_global("END_CHAR", ord("z")),
    "lists end at e": set_global("END_CHAR", 101),
    "dicts are dicts": set_global("OrderedDict", dict),
    "dicts are ordered": set_global("OrderedDict", collections.OrderedDict),
    "keys in Python": set_global("decode_string", read_upper),
    "keys own": set_global("decode_string", "decode_string"),
}


@st.composite
def inputs_with_x(draw):
    x = draw(decoder_inputs())
    for at in draw(st.lists(st.integers(0, 200), min_size=1, max_size=4)):
        at %= len(x) + 1
        x = x[:at] + b"x" + x[at:]
    return x


@differential
@given(
    changes=st.lists(st.sampled_from(sorted(READER_CHANGES)), min_size=1, max_size=4),
    x=inputs_with_x(),
)
@example(changes=["int reader in Python", "int reader own"], x=b"li1exi2exi3ee")
@example(changes=["lists end at z", "lists end at e"], x=b"lxi1ezxe")
@example(changes=["keys in Python"], x=b"ld1:ai1eexd1:ai1eee")
def test_rebinding_by_a_callers_reader(changes, x, entries):
    seen = []
    for shortcut in (True, False):
        with rebinding() as mp:
            mp.setitem(vorlaken.decode_func, ord("x"), read_x)
            if not shortcut:
                namespace_key(mp)
            REBINDER.start([READER_CHANGES[c] for c in changes], mp)
            seen.append(decoding(x, entries, False))
    assert seen[1] == seen[0]


class RebindingMapping(dict):
    """A mapping class of a caller's that makes the next change at every store."""

    def __setitem__(self, key, value):
        REBINDER.step()
        super().__setitem__(key, value)


@differential
@given(
    changes=st.lists(st.sampled_from(sorted(READER_CHANGES)), min_size=1, max_size=4),
    x=decoder_inputs(),
)
@example(changes=["int reader in Python"], x=b"d1:ai1e1:bi2ee")
@example(changes=["lists end at z"], x=b"ld1:a1:beze1:cee")
def test_rebinding_by_a_callers_mapping(changes, x, entries):
    # The store runs code of a caller's between two entries of the same dictionary, scalars
    # included: what it rebinds applies from the next entry on.
    seen = []
    for shortcut in (True, False):
        with rebinding() as mp:
            mp.setattr(vorlaken, "OrderedDict", RebindingMapping)
            if not shortcut:
                namespace_key(mp)
            REBINDER.start([READER_CHANGES[c] for c in changes], mp)
            seen.append(decoding(x, entries, False))
    assert seen[1] == seen[0]


def write_plus_1000(x, r):
    vorlaken.encode_int(x + 1000, r)


def write_reversed(x, r):
    vorlaken.encode_string(x[::-1], r)


def encode_in_python(v, r):
    return OWN["encode"](v, r)


def encode_int_doubled(x, r):
    vorlaken.encode_int(2 * x, r)


def set_writer(kind, function):
    return lambda mp: mp.setitem(vorlaken.encode_func, kind, OWN.get(function, function))


WRITER_CHANGES = {
    "int writer in Python": set_writer(int, write_plus_1000),
    "int writer own": set_writer(int, "encode_int"),
    "bytes writer in Python": set_writer(bytes, write_reversed),
    "bytes writer own": set_writer(bytes, "encode_string"),
    "dict writer writes lists": set_writer(dict, "encode_list"),
    "dict writer own": set_writer(dict, "encode_dict"),
    "a copy of the table": lambda mp: mp.setattr(vorlaken, "encode_func", dict(vorlaken.encode_func)),
    "encode in Python": set_global("encode", encode_in_python),
    "encode own": set_global("encode", "encode"),
    "bools doubled": set_global("encode_int", encode_int_doubled),
    "bools own": set_global("encode_int", "encode_int"),
}


def write_rebinding_marker(x, r):
    REBINDER.step()
    r.append(MARK_PIECE)


@differential
@given(
    changes=st.lists(st.sampled_from(sorted(WRITER_CHANGES)), min_size=1, max_size=4),
    value=encoder_values,
)
@example(changes=["int writer in Python", "int writer own"], value=[1, Marker(), 2, Marker(), 3])
@example(changes=["encode in Python"], value={b"a": Marker(), b"b": [True, b"x"]})
@example(changes=["bools doubled"], value=(Marker(), True, [False, True]))
def test_rebinding_by_a_callers_writer(changes, value, entries):
    seen = []
    for shortcut in (True, False):
        with rebinding() as mp:
            callers_writers(mp)
            mp.setitem(vorlaken.encode_func, Marker, write_rebinding_marker)
            if not shortcut:
                namespace_key(mp)
            REBINDER.start([WRITER_CHANGES[c] for c in changes], mp)
            seen.append(encoding(value, entries))
    assert seen[1] == seen[0]


# --- what a caller's writer sees -------------------------------------------------------------

# Values whose encoding leaves the shortcut somewhere in the middle, at a caller's writer, a
# subclass's own items() or iterator, or the table walk for a subclass.
DEEP = [
    b"lead",
    {
        b"bytes key": (2 ** 70, -(2 ** 64), True, False, [], {}, ()),
        b"empty": b"",
        b"nest": [[{"text key": [b"value", Marker(), b"after"]}]],
    },
    b"tail",
]
SEEN_CASES = [
    pytest.param(DEEP, id="deep-in-lists-and-dicts"),
    pytest.param([Marker()], id="first-element"),
    pytest.param(Marker(), id="the-value-itself"),
    pytest.param([b"one", Marker(), b"two", Marker()], id="twice"),
    pytest.param({"b": collections.OrderedDict([(b"z", 1), (b"a", Marker())]), "a": b"x" * 300}, id="ordered-dict"),
    pytest.param([b"pre", MarkedList([b"in", Marker()])], id="list-subclass-writer"),
    pytest.param({b"k": MarkedDict({b"v": Marker(), b"u": b"w"})}, id="dict-subclass-writer"),
    pytest.param([b"pre", IterList([b"in", 7, Marker()])], id="list-subclass-iterator"),
    pytest.param((b"pre", ItemsDict({"v": [Marker()], "u": b"w"})), id="dict-subclass-items"),
    pytest.param([b"pre", SubList([b"in", Marker()])], id="list-subclass-by-table-walk"),
    pytest.param([b"pre", {b"k": SubDictValue({b"v": Marker()})}], id="dict-subclass-by-table-walk"),
    pytest.param([b"x" * 250, [2 ** 65, "é" * 10, Marker()]], id="past-the-first-buffer"),
    pytest.param(
        [b"x" * 600, {b"k" * 520: b"v" * 513, b"s": "é" * 300}, b"y" * 511, Marker(), b"z" * 512],
        id="long-byte-strings",
    ),
]


@pytest.mark.parametrize("value", SEEN_CASES)
def test_callers_writer_sees_the_same_pieces(value, entries):
    """bencode's kept pieces, made real when a caller's writer is called, are the pieces of a list
    that was real from the start: bencode with encode wrapped in Python, and encode into a list of
    the caller's. Their byte strings are the input's own objects, and their markers the module's."""
    with rebinding() as mp:
        callers_writers(mp)
        kept = encoding(value, entries)
        wrap_global("encode", writer_wrapper)(mp, no_note)
        real = encoding(value, entries)
    check_bencode_against_its_pieces(kept)
    assert kept == real
    assert kept["bencode"][0] == "returns"
    assert kept["bencode saw"]["seen"]


def test_what_a_callers_writer_sees_piece_by_piece(entries):
    """The pieces themselves, for one value: a comparison of two ways alone would pass if both
    made the same wrong list."""
    long = bytes(range(256)) * 3
    value = [b"ab", {"k": [2 ** 64, True]}, long, {b"key": Marker()}]
    with rebinding() as mp:
        callers_writers(mp)
        seen = encoding(value, entries)
    ab, _, key = byte_strings(value)
    other = None  # none of the input's byte strings
    assert seen["bencode saw"]["seen"] == [[
        (bytes, b"l", "l", other),
        (bytes, b"2", None, other), (bytes, b":", ":", other), (bytes, ab, None, 0),
        (bytes, b"d", "d", other),
        (bytes, b"1", None, other), (bytes, b":", ":", other), (bytes, b"k", None, other),
        (bytes, b"l", "l", other),
        (bytes, b"i", "i", other), (bytes, b"%d" % 2 ** 64, None, other), (bytes, b"e", "e", other),
        (bytes, b"i", "i", other), (bytes, b"1", None, other), (bytes, b"e", "e", other),
        (bytes, b"e", "e", other),
        (bytes, b"e", "e", other),
        (bytes, b"768", None, other), (bytes, b":", ":", other), (bytes, long, None, 1),
        (bytes, b"d", "d", other),
        (bytes, b"3", None, other), (bytes, b":", ":", other), (bytes, key, None, 2),
    ]]
    assert seen["bencode"] == (
        "returns", b"l2:abd1:kli18446744073709551616ei1eee768:" + long + b"d3:key0:ee"
    )


# --- the switches themselves -----------------------------------------------------------------

RICH_INPUT = b"d1:ali1e2:bc3:xyzd1:xi-3eee1:zi0ee"
RICH_VALUE = {b"a": [1, True, b"x", "s", (2,), collections.OrderedDict([(b"k", {})])]}


def _stand_in_switches():
    for switches, run in ((DECODER_SWITCHES, lambda: vorlaken.bdecode(RICH_INPUT)),
                          (ENCODER_SWITCHES, lambda: vorlaken.bencode(RICH_VALUE))):
        for param in switches:
            (switch,) = param.values
            if switch.stand_in:
                yield pytest.param(switch, run, id=param.id)


@pytest.mark.parametrize("switch, run", list(_stand_in_switches()))
def test_each_stand_in_is_used(switch, run):
    """A stand-in that the module never calls would compare the shortcut with itself."""
    calls = []
    with rebinding() as mp:
        switch.base(mp)
        switch.off(mp, lambda: calls.append(None))
        run()
    assert calls


# --- nesting -----------------------------------------------------------------------------------


def nested(wrap, inner):
    def make(n):
        value = inner
        for _ in range(n):
            value = wrap(value)
        return value

    return make


DEPTH_CASES = [
    ("decode", "lists", lambda n: b"l" * n + b"e" * n),
    ("decode", "dicts", lambda n: b"d1:a" * n + b"de" + b"e" * n),
    ("decode", "lists-of-ints", lambda n: b"li1e" * n + b"e" * n),
    ("decode", "dicts-of-lists", lambda n: b"d1:al" * n + b"3:abc" + b"ee" * n),
    ("encode", "lists", nested(lambda v: [v], [])),
    ("encode", "dicts", nested(lambda v: {b"k": v}, {})),
    ("encode", "tuples", nested(lambda v: (1, v, "a"), ())),
    ("encode", "ordered-dicts", nested(lambda v: collections.OrderedDict(k=[True, v]), b"")),
]


def _depth_params():
    functions = {"decode": vorlaken.bdecode, "encode": vorlaken.bencode}
    switches = {"decode": DECODER_SWITCHES, "encode": ENCODER_SWITCHES}
    for direction, name, make in DEPTH_CASES:
        for param in switches[direction]:
            (switch,) = param.values
            if switch.same_depth:
                yield pytest.param(switch, functions[direction], make,
                                   id=f"{direction}-{name}-{param.id}")


def deepest(function, make):
    """The deepest nesting of make(n) that function accepts."""
    low, high = 1, 2 * sys.getrecursionlimit()
    while low < high:
        middle = (low + high + 1) // 2
        try:
            functools.partial(function, make(middle))()
        except RecursionError:
            high = middle - 1
        else:
            low = middle
    return low


@pytest.mark.parametrize("switch, function, make", list(_depth_params()))
def test_values_nest_as_deep_off_the_shortcut(switch, function, make, entries):
    """Each level of nesting costs the same levels of the recursion limit either way."""
    with rebinding() as mp:
        switch.base(mp)
        fast = deepest(function, make)
        fast_beyond = outcome(entries, function, make(fast + 1))
        switch.off(mp, no_note)
        slow = deepest(function, make)
        slow_beyond = outcome(entries, function, make(fast + 1))
    assert slow == fast
    assert slow_beyond == fast_beyond
