"""The writers, the writer table, encode and bencode.

Writers append pieces to a piece list and never undo: a scalar writer either
appends its three pieces at once or leaves the list alone, a container writer
keeps whatever it appended before a failure.  Everything the encoder needs
from the module namespace (encode_func, encode, encode_int, BTFailure) is
looked up at the moment of use, so most tests here rebind one of those names
and watch the effect.
"""

import builtins
import collections
import sys

import pytest

import vorlaken
from support import HasInt, IndexOnly, MyBytes, MyList, raised

TAKES = "{name}() takes exactly 2 positional arguments ({n} given)"
WRONG_R = "Argument 'r' has incorrect type (expected list, got {tname})"
NOT_INTEGER = "an integer is required"
UNDEFINED = "name '{name}' is not defined"
NO_ATTR = "'NoneType' object has no attribute '{name}'"
UNKNOWN = "Unknown Type: {tp}"

PRIOR = b"prior"
R = object()  # stands for the piece list in the tables below


def says(action):
    """The interpreter's own message for what ``action`` does."""
    return str(raised(action))


def at(*names):
    return ["vorlaken." + n for n in names]


@pytest.fixture
def r():
    # A piece list that already holds a piece: writers append after it, and a
    # failing writer must leave it in place.
    return [PRIOR]


class MyInt(int):
    # Neither may leak into the digits: the value is what gets written.
    def __str__(self):
        return "mine"

    def __int__(self):
        return 99


class MyStr(str):
    pass


class MyTuple(tuple):
    pass


class MyDict(dict):
    pass


class MyOrderedDict(collections.OrderedDict):
    pass


class BadBool:
    def __bool__(self):
        raise ZeroDivisionError("from __bool__")


class BadLen:
    def __len__(self):
        raise ZeroDivisionError("from __len__")


class Falsy:
    def __bool__(self):
        return False


class OwnEncode(str):
    """A str whose encode method gives bytes of its own choosing."""

    table = {}

    def encode(self):
        return OwnEncode.table[str(self)]


OwnEncode.table.update(a=b"z", b=b"y", key=b"K!")


class Grows:
    """A value of its own type, for writers that change what is being written."""


class Unencodable(str):
    def encode(self):
        raise LookupError("no codec here")


# --- scalar writers --------------------------------------------------------

SCALAR_PIECES = [
    pytest.param("encode_int", 0, [b"i", b"0", b"e"], id="int-zero"),
    pytest.param("encode_int", -42, [b"i", b"-42", b"e"], id="int-negative"),
    pytest.param("encode_int", 2 ** 31, [b"i", b"2147483648", b"e"], id="int-past-32-bits"),
    pytest.param("encode_int", -2 ** 31 - 1, [b"i", b"-2147483649", b"e"], id="int-below-32-bits"),
    pytest.param("encode_int", 2 ** 63, [b"i", b"9223372036854775808", b"e"], id="int-past-64-bits"),
    pytest.param("encode_int", -2 ** 63, [b"i", b"-9223372036854775808", b"e"], id="int-at-64-bit-min"),
    pytest.param("encode_int", 2 ** 100, [b"i", str(2 ** 100).encode(), b"e"], id="int-2**100"),
    pytest.param("encode_int", -(10 ** 50), [b"i", b"-1" + b"0" * 50, b"e"], id="int-minus-10**50"),
    pytest.param("encode_int", True, [b"i", b"1", b"e"], id="int-true"),
    pytest.param("encode_int", MyInt(7), [b"i", b"7", b"e"], id="int-subclass-by-value"),
    pytest.param("encode_int", 1.9, [b"i", b"1", b"e"], id="int-float-truncated"),
    pytest.param("encode_int", -1.9, [b"i", b"-1", b"e"], id="int-negative-float-truncated"),
    pytest.param("encode_int", HasInt(2 ** 40), [b"i", b"1099511627776", b"e"], id="int-__int__"),
    pytest.param("encode_bool", True, [b"i", b"1", b"e"], id="bool-true"),
    pytest.param("encode_bool", False, [b"i", b"0", b"e"], id="bool-false"),
    pytest.param("encode_bool", None, [b"i", b"0", b"e"], id="bool-none"),
    pytest.param("encode_bool", [], [b"i", b"0", b"e"], id="bool-empty-list"),
    pytest.param("encode_bool", Falsy(), [b"i", b"0", b"e"], id="bool-own-truth"),
    pytest.param("encode_bool", 2, [b"i", b"1", b"e"], id="bool-two"),
    pytest.param("encode_bool", "x", [b"i", b"1", b"e"], id="bool-text"),
    pytest.param("encode_string", b"spam", [b"4", b":", b"spam"], id="string-bytes"),
    pytest.param("encode_string", b"", [b"0", b":", b""], id="string-empty-bytes"),
    pytest.param("encode_string", "", [b"0", b":", b""], id="string-empty-text"),
    # The length counts bytes of the UTF-8 form, not characters.
    pytest.param("encode_string", "\u00e9", [b"2", b":", b"\xc3\xa9"], id="string-text-utf8"),
    pytest.param("encode_string", "\U0001f600", [b"4", b":", "\U0001f600".encode()], id="string-astral"),
    pytest.param("encode_string", b"x" * 1234, [b"1234", b":", b"x" * 1234], id="string-long"),
    pytest.param("encode_string", OwnEncode("key"), [b"2", b":", b"K!"], id="string-own-encode"),
    pytest.param("encode_string", bytearray(b"ab"), [b"2", b":", bytearray(b"ab")], id="string-bytearray"),
]


@pytest.mark.parametrize("name, x, pieces", SCALAR_PIECES)
def test_scalar_pieces(r, name, x, pieces):
    assert getattr(vorlaken, name)(x, r) is None
    assert r == [PRIOR] + pieces
    assert r[0] is PRIOR
    assert [type(p) for p in r[1:]] == [type(p) for p in pieces]


@pytest.mark.parametrize("x", [b"spam", MyBytes(b"spam"), bytearray(b"spam"), OwnEncode("key")],
                         ids=["bytes", "bytes-subclass", "bytearray", "own-encode"])
def test_string_value_piece_is_not_copied(x):
    r = []
    vorlaken.encode_string(x, r)
    expected = OwnEncode.table["key"] if isinstance(x, str) else x
    assert r[2] is expected


def test_one_byte_pieces_are_shared_constants():
    def pieces(call, *args):
        r = []
        call(*args, r)
        return r

    ints = [pieces(vorlaken.encode_int, n) for n in (1, 12345)]
    strings = [pieces(vorlaken.encode_string, s) for s in (b"ab", "\u00e9")]
    lst = pieces(vorlaken.encode_list, [])
    dct = pieces(vorlaken.encode_dict, {b"k": []})
    i, e, colon = ints[0][0], ints[0][2], strings[0][1]
    assert all(p[0] is i and p[2] is e for p in ints)
    assert all(p[1] is colon for p in strings)
    assert lst[1] is e and dct[2] is colon and dct[-1] is e
    assert lst[0] is dct[4]  # "l" of the list and of the nested value


BIG = 10 ** 5000
TEXT_SURROGATE = "\ud800"

# Each row names two faults where it can; the one reported is the one that
# comes first in the writer's order of tests.
SCALAR_FAILURES = [
    pytest.param("encode_int", ("5",), TypeError, TAKES.format(name="encode_int", n=1), at("encode_int"),
                 id="int-count-before-conversion"),
    pytest.param("encode_int", ("5", R), TypeError, NOT_INTEGER, at("encode_int"), id="int-str"),
    pytest.param("encode_int", (b"5", R), TypeError, NOT_INTEGER, at("encode_int"), id="int-bytes"),
    pytest.param("encode_int", (None, R), TypeError, NOT_INTEGER, at("encode_int"), id="int-none"),
    pytest.param("encode_int", (IndexOnly(), R), TypeError, NOT_INTEGER, at("encode_int"), id="int-__index__-only"),
    pytest.param("encode_int", (float("nan"), R), ValueError, says(lambda: int(float("nan"))),
                 at("encode_int"), id="int-nan"),
    pytest.param("encode_int", (HasInt("7"), R), TypeError, "__int__ returned non-int (type str)",
                 at("encode_int"), id="int-__int__-non-int"),
    pytest.param("encode_int", ("5", ()), TypeError, NOT_INTEGER, at("encode_int"), id="int-conversion-before-r-test"),
    pytest.param("encode_int", ("5", None), TypeError, NOT_INTEGER, at("encode_int"), id="int-conversion-before-none"),
    pytest.param("encode_int", (5, ()), TypeError, WRONG_R.format(tname="tuple"), [], id="int-r-tuple"),
    pytest.param("encode_int", (5, MyList()), TypeError, WRONG_R.format(tname="MyList"), [], id="int-r-list-subclass"),
    pytest.param("encode_int", (5, None), AttributeError, NO_ATTR.format(name="extend"), at("encode_int"),
                 id="int-r-none"),
    pytest.param("encode_int", (BIG, R), ValueError, says(lambda: str(BIG)), at("encode_int"), id="int-digit-limit"),
    pytest.param("encode_bool", (BadBool(), ()), TypeError, WRONG_R.format(tname="tuple"), [],
                 id="bool-r-test-before-truth"),
    pytest.param("encode_bool", (BadBool(), R), ZeroDivisionError, "from __bool__", at("encode_bool"),
                 id="bool-truth-fails"),
    pytest.param("encode_bool", (BadBool(), None), ZeroDivisionError, "from __bool__", at("encode_bool"),
                 id="bool-truth-before-none"),
    # None passes encode_bool's test; the integer writer is the one to refuse it.
    pytest.param("encode_bool", (True, None), AttributeError, NO_ATTR.format(name="extend"),
                 at("encode_bool", "encode_int"), id="bool-r-none"),
    pytest.param("encode_string", (TEXT_SURROGATE, R), UnicodeEncodeError, says(TEXT_SURROGATE.encode),
                 at("encode_string"), id="string-surrogate"),
    pytest.param("encode_string", (TEXT_SURROGATE, None), UnicodeEncodeError, says(TEXT_SURROGATE.encode),
                 at("encode_string"), id="string-encoding-before-none"),
    pytest.param("encode_string", (Unencodable("a"), R), LookupError, "no codec here", at("encode_string"),
                 id="string-own-encode-fails"),
    pytest.param("encode_string", (5, None), AttributeError, NO_ATTR.format(name="extend"), at("encode_string"),
                 id="string-none-before-length"),
    pytest.param("encode_string", (5, ()), TypeError, WRONG_R.format(tname="tuple"), [], id="string-r-tuple"),
    pytest.param("encode_string", (5, R), TypeError, says(lambda: len(5)), at("encode_string"), id="string-no-length"),
    pytest.param("encode_string", (BadLen(), R), ZeroDivisionError, "from __len__", at("encode_string"),
                 id="string-length-fails"),
]


@pytest.mark.parametrize("name, args, error, message, where", SCALAR_FAILURES)
def test_scalar_failures_leave_the_piece_list_alone(r, entries, name, args, error, message, where):
    args = [r if a is R else a for a in args]
    with pytest.raises(Exception) as e:
        getattr(vorlaken, name)(*args)
    assert type(e.value) is error
    assert str(e.value) == message
    assert entries(e.value) == where
    assert r == [PRIOR]


# --- argument binding of the writers ---------------------------------------

WRITERS = ["encode", "encode_int", "encode_bool", "encode_string", "encode_list", "encode_dict"]
SAMPLE = {
    "encode": ([1], b"li1ee"),
    "encode_int": (1, b"i1e"),
    "encode_bool": (1, b"i1e"),
    "encode_string": (b"a", b"1:a"),
    "encode_list": ([1], b"li1ee"),
    "encode_dict": ({b"a": 1}, b"d1:ai1ee"),
}


@pytest.mark.parametrize("name", WRITERS)
def test_writers_bind_by_keyword(name):
    x, out = SAMPLE[name]
    first = "v" if name == "encode" else "x"
    r = []
    assert getattr(vorlaken, name)(r=r, **{first: x}) is None
    assert b"".join(r) == out


# --- encode_bool and the integer writer ------------------------------------

def test_encode_bool_calls_the_current_encode_int(monkeypatch, r):
    calls = []
    monkeypatch.setattr(vorlaken, "encode_int", lambda *a: calls.append(a) or "ignored")
    assert vorlaken.encode_bool(object(), r) is None
    assert vorlaken.encode_bool([], r) is None
    assert calls == [(1, r), (0, r)]
    assert all(type(n) is int and got is r for n, got in calls)
    assert r == [PRIOR]


def test_encode_bool_propagates_the_integer_writer_failure(monkeypatch, r, entries):
    def failing(x, r):
        raise KeyError("from the writer")

    monkeypatch.setattr(vorlaken, "encode_int", failing)
    with pytest.raises(KeyError) as e:
        vorlaken.encode_bool(True, r)
    assert e.value.args == ("from the writer",)
    assert entries(e.value) == at("encode_bool")


def test_encode_bool_looks_up_encode_int_between_truth_and_piece_list(delete_global, entries):
    delete_global("encode_int")
    with pytest.raises(ZeroDivisionError):
        vorlaken.encode_bool(BadBool(), None)
    with pytest.raises(NameError) as e:
        vorlaken.encode_bool(True, None)
    assert str(e.value) == UNDEFINED.format(name="encode_int")
    assert entries(e.value) == at("encode_bool")


# --- late-bound module names -----------------------------------------------

class OtherFailure(Exception):
    pass


def _float_table(v, r):
    r.append(b"F")


# name -> (action given a piece list, what a builtins replacement is, what the
# action gives with that replacement, the traceback entries when it is missing)
LATE_BOUND = {
    "encode_int": (lambda r: vorlaken.encode_bool(True, r),
                   lambda x, r: r.append(("int", x)), [("int", 1)], at("encode_bool")),
    "encode": (lambda r: r.append(vorlaken.bencode(5)),
               lambda v, r: r.append(b"E%d" % v), [b"E5"], at("bencode")),
    "encode_func": (lambda r: r.append(vorlaken.bencode(1.5)),
                    {float: _float_table}, [b"F"], at("bencode", "encode")),
    "BTFailure": (lambda r: vorlaken.bencode(1.5),
                  OtherFailure, OtherFailure, at("bencode", "encode")),
}


@pytest.mark.parametrize("name", sorted(LATE_BOUND))
def test_missing_name_is_a_name_error(delete_global, entries, name):
    action, _, _, where = LATE_BOUND[name]
    delete_global(name)
    r = []
    with pytest.raises(NameError) as e:
        action(r)
    assert str(e.value) == UNDEFINED.format(name=name)
    assert entries(e.value) == where
    assert r == []


@pytest.mark.parametrize("name", sorted(LATE_BOUND))
def test_missing_name_falls_back_to_builtins(monkeypatch, delete_global, name):
    action, replacement, expected, _ = LATE_BOUND[name]
    delete_global(name)
    monkeypatch.setattr(builtins, name, replacement, raising=False)
    r = []
    if isinstance(expected, type):
        with pytest.raises(expected) as e:
            action(r)
        assert e.value.args == (UNKNOWN.format(tp=float),)
    else:
        action(r)
        assert r == expected


# --- dispatch --------------------------------------------------------------

BENCODE = [
    pytest.param(0, b"i0e", id="zero"),
    pytest.param(2 ** 31, b"i2147483648e", id="int-past-32-bits"),
    pytest.param(4_900_000_000, b"i4900000000e", id="file-over-4-gib"),
    pytest.param(-(10 ** 50), b"i-1" + b"0" * 50 + b"e", id="big-negative"),
    pytest.param(True, b"i1e", id="true"),
    pytest.param(False, b"i0e", id="false"),
    pytest.param(b"spam", b"4:spam", id="bytes"),
    pytest.param("\u00e9", b"2:\xc3\xa9", id="text"),
    pytest.param([], b"le", id="empty-list"),
    pytest.param((), b"le", id="empty-tuple"),
    pytest.param({}, b"de", id="empty-dict"),
    pytest.param([1, [b"a"]], b"li1el1:aee", id="nested-list"),
    pytest.param((1, 2), b"li1ei2ee", id="tuple"),
    pytest.param({b"b": 1, b"a": 2}, b"d1:ai2e1:bi1ee", id="dict-sorted"),
    pytest.param(collections.OrderedDict([(b"b", 1), (b"a", 2)]), b"d1:ai2e1:bi1ee", id="ordered-dict-resorted"),
    pytest.param({"\u00e9": 1}, b"d2:\xc3\xa9i1ee", id="text-key"),
    # Code-point order and UTF-8 byte order agree.
    pytest.param({"\uffff": 1, "\U00010000": 2, "z": 3}, "d1:zi3e3:\uffffi1e4:\U00010000i2ee".encode(),
                 id="text-keys-byte-order"),
    pytest.param({b"a": {b"b": [(), {}]}}, b"d1:ad1:blledeeee", id="deep-mix"),
    # Subclasses reach their writer through the instance walk.
    pytest.param(MyInt(7), b"i7e", id="int-subclass"),
    pytest.param(MyStr("ab"), b"2:ab", id="str-subclass"),
    pytest.param(MyBytes(b"ab"), b"2:ab", id="bytes-subclass"),
    pytest.param(MyList([1]), b"li1ee", id="list-subclass"),
    pytest.param(MyTuple((1,)), b"li1ee", id="tuple-subclass"),
    pytest.param(MyDict({b"b": 1, b"a": 2}), b"d1:ai2e1:bi1ee", id="dict-subclass"),
    pytest.param(MyOrderedDict([(b"b", 1), (b"a", 2)]), b"d1:ai2e1:bi1ee", id="ordered-dict-subclass"),
    pytest.param(collections.namedtuple("P", "x y")(1, b"z"), b"li1e1:ze", id="namedtuple"),
]


@pytest.mark.parametrize("value, out", BENCODE)
def test_bencode(value, out):
    result = vorlaken.bencode(value)
    assert type(result) is bytes
    assert result == out


def test_encode_appends_after_existing_pieces(r):
    assert vorlaken.encode([1, b"a"], r) is None
    assert r == [PRIOR, b"l", b"i", b"1", b"e", b"1", b":", b"a", b"e"]


def test_exact_type_comes_before_the_walk(monkeypatch):
    # bool is an int subclass, but its own entry wins; an int subclass has
    # none and takes the first matching key, which is int.
    seen = []
    monkeypatch.setitem(vorlaken.encode_func, int, lambda v, r: seen.append(v) or r.append(b"I"))
    assert vorlaken.bencode(True) == b"i1e"
    assert vorlaken.bencode([1, MyInt(2)]) == b"lIIe"
    assert seen == [1, 2] and type(seen[1]) is MyInt  # the value itself is handed on


@pytest.mark.parametrize("order, out", [
    ([object, int], b"O"),
    ([int, object], b"I"),
], ids=["object-first", "int-first"])
def test_walk_takes_the_first_match_in_table_order(monkeypatch, order, out):
    writers = {object: lambda v, r: r.append(b"O"), int: lambda v, r: r.append(b"I")}
    monkeypatch.setattr(vorlaken, "encode_func", {k: writers[k] for k in order})
    assert vorlaken.bencode(MyInt(1)) == out


class AcceptsAll(type):
    def __instancecheck__(cls, obj):
        return True


class Anything(metaclass=AcceptsAll):
    pass


class Weird(float):
    pass


def test_walk_uses_the_interpreters_instance_test(monkeypatch):
    monkeypatch.setitem(vorlaken.encode_func, (complex, float), lambda v, r: r.append(b"%r" % v))
    assert vorlaken.bencode(Weird(1.5)) == b"1.5"
    assert vorlaken.bencode(2j) == b"2j"
    monkeypatch.setitem(vorlaken.encode_func, Anything, lambda v, r: r.append(b"any"))
    assert vorlaken.bencode([None, 1, bytearray()]) == b"lanyi1eanye"


def test_custom_writer(monkeypatch):
    calls = []

    def write_float(v, r):
        calls.append((v, type(r), len(r)))
        r.extend([b"f", repr(v).encode(), b"e"])
        return "writer result"

    monkeypatch.setitem(vorlaken.encode_func, float, write_float)
    assert vorlaken.bencode(1.5) == b"f1.5e"
    assert vorlaken.bencode({b"k": [0.25]}) == b"d1:klf0.25eee"
    assert calls == [(1.5, list, 0), (0.25, list, 5)]
    assert vorlaken.encode(2.0, []) == "writer result"


@pytest.mark.parametrize("writer, out", [
    (lambda v, r: None, b""),
    (lambda v, r: r.extend([memoryview(b"m"), bytearray(b"b")]), b"mb"),
], ids=["appends-nothing", "bytes-like-pieces"])
def test_bencode_joins_whatever_the_writers_appended(monkeypatch, writer, out):
    monkeypatch.setitem(vorlaken.encode_func, float, writer)
    assert vorlaken.bencode(1.5) == out


def test_a_piece_that_is_not_bytes_like_fails_the_join(monkeypatch, entries):
    monkeypatch.setitem(vorlaken.encode_func, float, lambda v, r: r.append("text"))
    with pytest.raises(TypeError) as e:
        vorlaken.bencode([1.5])
    assert entries(e.value) == at("bencode")


@pytest.mark.parametrize("value", [1.5, None, bytearray(b"x"), object(), {1, 2}, Weird(0.5)],
                         ids=["float", "None", "bytearray", "object", "set", "float-subclass"])
def test_unknown_type(entries, value):
    with pytest.raises(vorlaken.BTFailure) as e:
        vorlaken.bencode(value)
    assert type(e.value) is vorlaken.BTFailure
    assert e.value.args == (UNKNOWN.format(tp=type(value)),)
    assert entries(e.value) == at("bencode", "encode")


def test_unknown_type_raises_the_current_btfailure(monkeypatch, entries):
    made = []

    def failure(message):
        made.append(message)
        return OtherFailure(message, "extra")

    monkeypatch.setattr(vorlaken, "BTFailure", failure)
    with pytest.raises(OtherFailure) as e:
        vorlaken.encode(1.5, [])
    assert made == ["Unknown Type: <class 'float'>"]
    assert e.value.args == ("Unknown Type: <class 'float'>", "extra")
    assert entries(e.value) == at("encode")


class Table:
    """A writer table that is not a dict: containment, subscript and items()."""

    def __init__(self, entries, items_as=list):
        self.entries = dict(entries)
        self.items_as = items_as
        self.calls = []

    def __contains__(self, tp):
        self.calls.append(("in", tp))
        return tp in self.entries

    def __getitem__(self, tp):
        self.calls.append(("get", tp))
        return self.entries[tp]

    def items(self):
        self.calls.append(("items",))
        return self.items_as(self.entries.items())


@pytest.mark.parametrize("items_as", [
    list,
    lambda it: tuple(list(p) for p in it),
    lambda it: (p for p in it),
    lambda it: [iter(p) for p in it],
], ids=["list-of-tuples", "tuple-of-lists", "generator", "pairs-as-iterators"])
def test_table_that_is_not_a_dict(monkeypatch, items_as):
    table = Table({int: vorlaken.encode_int, list: vorlaken.encode_list}, items_as)
    monkeypatch.setattr(vorlaken, "encode_func", table)
    assert vorlaken.bencode([5]) == b"li5ee"
    assert table.calls == [("in", list), ("get", list), ("in", int), ("get", int)]
    table.calls.clear()
    assert vorlaken.bencode(MyInt(5)) == b"i5e"
    assert table.calls == [("in", MyInt), ("items",)]
    with pytest.raises(vorlaken.BTFailure):
        vorlaken.bencode(1.5)


@pytest.mark.parametrize("item, message", [
    ((int,), "need more than 1 value to unpack"),
    ((), "need more than 0 values to unpack"),
    ((int, vorlaken.encode_int, 0), "too many values to unpack (expected 2)"),
    (iter([int]), "need more than 1 value to unpack"),
    (iter([int, 1, 2]), "too many values to unpack (expected 2)"),
], ids=["short-tuple", "empty-tuple", "long-tuple", "short-iterator", "long-iterator"])
def test_table_items_must_be_pairs(monkeypatch, entries, item, message):
    monkeypatch.setattr(vorlaken, "encode_func", Table({}, lambda it: [item]))
    with pytest.raises(ValueError) as e:
        vorlaken.bencode(1)
    assert str(e.value) == message
    assert entries(e.value) == at("bencode", "encode")


@pytest.mark.parametrize("change, error", [
    (lambda t: t.__setitem__(float, None), RuntimeError),
    (lambda t: t.__delitem__(int), RuntimeError),
    (lambda t: t.__setitem__(int, lambda v, r: r.append(b"new")), None),
], ids=["adds-an-entry", "removes-an-entry", "replaces-a-writer"])
def test_table_changed_during_the_walk(monkeypatch, entries, change, error):
    class Changes(type):
        def __instancecheck__(cls, obj):
            change(table)
            return False

    class Key(metaclass=Changes):
        pass

    table = {Key: None, int: vorlaken.encode_int}
    monkeypatch.setattr(vorlaken, "encode_func", table)
    if error is None:
        # Same size: the walk goes on and sees the replaced writer.
        assert vorlaken.bencode(MyInt(12)) == b"new"
        return
    with pytest.raises(RuntimeError) as e:
        vorlaken.bencode(MyInt(12))
    assert str(e.value) == "dictionary changed size during iteration"
    assert entries(e.value) == at("bencode", "encode")


def test_rebound_encode_is_what_bencode_and_the_containers_call(monkeypatch):
    calls = []

    def fake(v, r):
        calls.append(v)
        r.append(("v", v))

    monkeypatch.setattr(vorlaken, "encode", fake)
    r = []
    vorlaken.encode_list([1, (2,)], r)
    vorlaken.encode_dict({b"b": 1, b"a": [2]}, r)
    assert calls == [1, (2,), [2], 1]
    assert r == [b"l", ("v", 1), ("v", (2,)), b"e",
                 b"d", b"1", b":", b"a", ("v", [2]), b"1", b":", b"b", ("v", 1), b"e"]


def test_bencode_hands_the_rebound_encode_a_new_list(monkeypatch):
    seen = []

    def fake(v, r):
        seen.append((v, r))
        r.append(b"<%d>" % v)
        return "ignored"

    monkeypatch.setattr(vorlaken, "encode", fake)
    assert vorlaken.bencode(1) == b"<1>"
    assert vorlaken.bencode(2) == b"<2>"
    assert [type(r) for _, r in seen] == [list, list]
    assert seen[0][1] is not seen[1][1]


def test_encode_is_read_again_at_every_element(monkeypatch):
    seen = []

    def rebind(v, r):
        r.append(b"g")
        monkeypatch.setattr(vorlaken, "encode", lambda v, r: seen.append(v) or r.append(b"new"))

    monkeypatch.setitem(vorlaken.encode_func, Grows, rebind)
    assert vorlaken.bencode([1, Grows(), 2, [3]]) == b"li1egnewnewe"
    assert seen == [2, [3]]
    monkeypatch.undo()
    assert vorlaken.bencode([1, [3]]) == b"li1eli3eee"


def test_containers_read_encode_only_at_an_element(delete_global, r):
    delete_global("encode")
    vorlaken.encode_list([], r)
    vorlaken.encode_dict({}, r)
    assert r == [PRIOR, b"l", b"e", b"d", b"e"]


# --- the module's own functions as table entries ----------------------------
# A table entry that is one of the module's functions runs without the
# interpreter's call machinery; a wrapper around it goes through the
# ordinary call.  Nothing about the outcome may tell the two apart.

def _direct(fn):
    return fn


def _wrapped(fn):
    return lambda v, r: fn(v, r)


DIRECT_CASES = [
    pytest.param(float, "encode_int", 1.9, b"i1e", None, None, id="converts-float"),
    pytest.param(float, "encode_int", 2.0 ** 70, b"i" + str(2 ** 70).encode() + b"e", None, None,
                 id="converts-big-float"),
    pytest.param(float, "encode_int", float("inf"), OverflowError, None,
                 ["bencode", "encode", "encode_int"], id="conversion-fails"),
    pytest.param(bytearray, "encode_int", bytearray(), TypeError, NOT_INTEGER,
                 ["bencode", "encode", "encode_int"], id="no-conversion"),
    pytest.param(float, "encode_string", 1.5, TypeError, says(lambda: len(1.5)),
                 ["bencode", "encode", "encode_string"], id="string-no-length"),
    pytest.param(float, "encode_bool", 0.0, b"i0e", None, None, id="bool-truth"),
    pytest.param(float, "encode_list", 1.5, TypeError, says(lambda: iter(1.5)),
                 ["bencode", "encode", "encode_list"], id="list-not-iterable"),
    pytest.param(float, "encode_dict", 1.5, AttributeError, says(lambda: (1.5).items),
                 ["bencode", "encode", "encode_dict"], id="dict-without-items"),
    pytest.param(float, "encode", 1.5, RecursionError, None, None, id="dispatcher-loops"),
]


@pytest.mark.parametrize("key, name, value, out, message, where", DIRECT_CASES)
@pytest.mark.parametrize("wrap", [_direct, _wrapped], ids=["direct", "wrapped"])
def test_module_function_as_table_entry(monkeypatch, entries, wrap, key, name, value, out, message, where):
    monkeypatch.setitem(vorlaken.encode_func, key, wrap(getattr(vorlaken, name)))
    if isinstance(out, bytes):
        assert vorlaken.bencode(value) == out
        return
    with pytest.raises(Exception) as e:
        vorlaken.bencode(value)
    assert type(e.value) is out
    if message is not None:
        assert str(e.value) == message
    if where is not None:
        assert entries(e.value) == at(*where)


@pytest.mark.parametrize("wrap", [_direct, _wrapped], ids=["direct", "wrapped"])
@pytest.mark.parametrize("r, error, message, where", [
    ((), TypeError, WRONG_R.format(tname="tuple"), ["encode"]),
    (None, AttributeError, NO_ATTR.format(name="extend"), ["encode", "encode_int"]),
], ids=["r-tuple", "r-none"])
def test_module_function_entry_tests_the_piece_list(monkeypatch, entries, wrap, r, error, message, where):
    monkeypatch.setitem(vorlaken.encode_func, int, wrap(vorlaken.encode_int))
    with pytest.raises(error) as e:
        vorlaken.encode(5, r)
    assert str(e.value) == message
    assert entries(e.value) == at(*where)


@pytest.mark.parametrize("wrap", [_direct, _wrapped], ids=["direct", "wrapped"])
@pytest.mark.parametrize("name, v, r, out, where", [
    ("decode_int", b"xi5e", 1, (5, 4), None),
    ("decode_list", b"li1ee", 0, ([1], 5), None),
    ("decode_int", b"i5e", 2 ** 40, OverflowError, ["encode", "decode_int"]),
    ("decode_int", b"i5e", "s", TypeError, ["encode", "decode_int"]),
    ("decode_int", b"ie", 0, ValueError, ["encode", "decode_int"]),
    # A single-argument function has no body that takes two.
    ("bdecode", b"i5e", 0, TypeError, ["encode"]),
], ids=["reader-result", "list-reader-result", "offset-overflow", "offset-not-integer", "reader-fails",
        "single-argument"])
def test_reader_as_table_entry(monkeypatch, entries, wrap, name, v, r, out, where):
    # encode hands back whatever the entry returns, and does not care what
    # its second argument is.
    monkeypatch.setitem(vorlaken.encode_func, bytes, wrap(getattr(vorlaken, name)))
    if where is None:
        assert vorlaken.encode(v, r) == out
        return
    with pytest.raises(out) as e:
        vorlaken.encode(v, r)
    assert type(e.value) is out
    assert entries(e.value) == at(*where)


def _nested(depth):
    value = []
    for _ in range(depth):
        value = [value]
    return value


def _depth():
    depth, frame = 0, sys._getframe(1)
    while frame is not None:
        depth, frame = depth + 1, frame.f_back
    return depth


def _deepest_encodable(limit):
    """The deepest list nesting bencode writes under the given recursion limit."""
    old = sys.getrecursionlimit()
    sys.setrecursionlimit(limit)
    try:
        lo, hi = 0, limit  # lo encodes, hi does not
        while hi - lo > 1:
            mid = (lo + hi) // 2
            try:
                vorlaken.bencode(_nested(mid))
                lo = mid
            except RecursionError:
                hi = mid
        return lo
    finally:
        sys.setrecursionlimit(old)


def test_each_nesting_level_costs_two_recursion_levels():
    base = _depth() + 100
    assert _deepest_encodable(base + 400) - _deepest_encodable(base) == 200


def test_the_callers_limit_decides_how_deep_a_value_goes():
    # A v2 file tree can nest this deep. The recursion limit that the caller sets, not a fixed
    # bound of the interpreter's, decides whether it encodes, in both directions.
    value = {b"length": 1}
    for _ in range(900):
        value = {b"a": value}
    old = sys.getrecursionlimit()
    try:
        sys.setrecursionlimit(1000)
        with pytest.raises(RecursionError):
            vorlaken.bencode(value)
        sys.setrecursionlimit(4000)
        data = vorlaken.bencode(value)
        assert data == b"d1:a" * 900 + b"d6:lengthi1ee" + b"e" * 900
        assert vorlaken.bdecode(data) == value
    finally:
        sys.setrecursionlimit(old)


def test_recursion_error_message(entries):
    old = sys.getrecursionlimit()
    sys.setrecursionlimit(_depth() + 200)
    try:
        with pytest.raises(RecursionError) as e:
            vorlaken.bencode(_nested(500))
    finally:
        sys.setrecursionlimit(old)
    assert str(e.value).endswith(" while calling a Python object")
    names = entries(e.value)
    assert names[:3] == at("bencode", "encode", "encode_list")
    assert set(names) == set(at("bencode", "encode", "encode_list"))


def test_deep_nesting_never_crashes(run_child):
    result = run_child("""
        import sys, threading
        import vorlaken

        sys.setrecursionlimit(10 ** 6)
        value = []
        for _ in range(10 ** 6):
            value = [value]

        def attempt(out):
            try:
                vorlaken.bencode(value)
                out.append(None)
            except RecursionError as e:
                out.append(str(e))
            out.append(vorlaken.bencode([[1]]).decode())

        main = []
        attempt(main)
        threading.stack_size(256 * 1024)
        small = []
        t = threading.Thread(target=attempt, args=(small,))
        t.start()
        t.join()
        report(main=main, small=small)
    """)
    for messages in (result["main"], result["small"]):
        assert messages[0] is not None and messages[0].endswith("while calling a Python object")
        assert messages[1] == "lli1eee"


# --- container writers -----------------------------------------------------

class Items:
    """An object that is no mapping but has items()."""

    def __init__(self, result):
        self.result = result

    def items(self):
        return self.result


def _gen(*values):
    yield from values


class StopLate(StopIteration):
    pass


class EndsWithStopSubclass:
    def __init__(self):
        self.n = 0

    def __iter__(self):
        return self

    def __next__(self):
        self.n += 1
        if self.n > 2:
            raise StopLate
        return self.n


class ReversedList(list):
    def __iter__(self):
        return reversed(list(list.__iter__(self)))


class ItemsOverride(dict):
    def items(self):
        return [(b"only", 1)]


CONTAINER_PIECES = [
    pytest.param("encode_list", [], b"le", id="list-empty"),
    pytest.param("encode_list", (1, (b"a",)), b"li1el1:aee", id="list-tuple"),
    pytest.param("encode_list", _gen(1, b"x"), b"li1e1:xe", id="list-generator"),
    pytest.param("encode_list", "ab", b"l1:a1:be", id="list-str-by-character"),
    pytest.param("encode_list", {b"k": 1, b"j": 2}, b"l1:k1:je", id="list-dict-keys-in-order"),
    pytest.param("encode_list", range(3), b"li0ei1ei2ee", id="list-range"),
    pytest.param("encode_list", EndsWithStopSubclass(), b"li1ei2ee", id="list-stopiteration-subclass"),
    # Not exactly a list: its own iteration is used.
    pytest.param("encode_list", ReversedList([1, 2]), b"li2ei1ee", id="list-subclass-own-iter"),
    pytest.param("encode_dict", {}, b"de", id="dict-empty"),
    pytest.param("encode_dict", {b"b": 1, b"a": 2, b"": 3}, b"d0:i3e1:ai2e1:bi1ee", id="dict-sorted"),
    pytest.param("encode_dict", {b"\xff": 1, b"a\x00": 2, b"a": 3}, b"d1:ai3e2:a\x00i2e1:\xffi1ee",
                 id="dict-sorted-by-bytes"),
    pytest.param("encode_dict", {"\u00e9": 1}, b"d2:\xc3\xa9i1ee", id="dict-text-key"),
    # The sort sees the keys before their encode method runs.
    pytest.param("encode_dict", {OwnEncode("b"): 2, OwnEncode("a"): 1}, b"d1:zi1e1:yi2ee", id="dict-own-encode-keys"),
    pytest.param("encode_dict", {MyBytes(b"k"): 1}, b"d1:ki1ee", id="dict-bytes-subclass-key"),
    pytest.param("encode_dict", {memoryview(b"mv"): 1}, b"d2:mvi1ee", id="dict-bytes-like-key"),
    pytest.param("encode_dict", ItemsOverride(a=1), b"d4:onlyi1ee", id="dict-subclass-own-items"),
    pytest.param("encode_dict", Items([(b"b", 1), (b"a", 2)]), b"d1:ai2e1:bi1ee", id="items-list"),
    pytest.param("encode_dict", Items(_gen([b"b", 1], [b"a", 2])), b"d1:ai2e1:bi1ee", id="items-generator-of-lists"),
    pytest.param("encode_dict", Items({b"z": 0}.items()), b"d1:zi0ee", id="items-dict-view"),
    pytest.param("encode_dict", Items([iter((b"k", 5))]), b"d1:ki5ee", id="items-pair-as-iterator"),
    # Equal keys are ordered by their values, as the list sort orders pairs.
    pytest.param("encode_dict", Items([(b"a", 2), (b"a", 1)]), b"d1:ai1e1:ai2ee", id="items-equal-keys"),
]


@pytest.mark.parametrize("name, x, out", CONTAINER_PIECES)
def test_container_pieces(r, name, x, out):
    assert getattr(vorlaken, name)(x, r) is None
    assert r[0] is PRIOR
    assert b"".join(r[1:]) == out


def test_dict_key_pieces():
    key = b"key"
    r = []
    vorlaken.encode_dict({key: 1}, r)
    assert r == [b"d", b"3", b":", b"key", b"i", b"1", b"e", b"e"]
    assert r[3] is key


def test_items_result_is_not_reordered():
    pairs = [(b"b", 1), (b"a", 2)]
    mapping = {b"b": 1, b"a": 2}
    vorlaken.encode_dict(Items(pairs), [])
    vorlaken.encode_dict(mapping, [])
    assert pairs == [(b"b", 1), (b"a", 2)]
    assert list(mapping) == [b"b", b"a"]


def test_keys_never_go_through_the_table(monkeypatch):
    def tagged(v, r):
        r.append(b"<" + (v if isinstance(v, bytes) else v.encode()) + b">")

    monkeypatch.setitem(vorlaken.encode_func, bytes, tagged)
    monkeypatch.setitem(vorlaken.encode_func, str, tagged)
    monkeypatch.setattr(vorlaken, "encode_string", None)
    assert vorlaken.bencode({b"k": b"v"}) == b"d1:k<v>e"
    assert vorlaken.bencode({"k": "v"}) == b"d1:k<v>e"


@pytest.mark.parametrize("change, out", [
    (lambda target: target.extend([2, 3]), b"lgi1ei2ei3ee"),
    (lambda target: target.clear(), b"lge"),
], ids=["grows", "shrinks"])
def test_list_changed_while_written(monkeypatch, change, out):
    target = [Grows(), 1]

    def write(v, r):
        r.append(b"g")
        change(target)

    monkeypatch.setitem(vorlaken.encode_func, Grows, write)
    assert vorlaken.bencode(target) == out


def test_dict_changed_while_written_is_not_seen(monkeypatch):
    target = {b"a": Grows(), b"b": 1}

    def write(v, r):
        r.append(b"g")
        target[b"c"] = 3
        del target[b"b"]

    monkeypatch.setitem(vorlaken.encode_func, Grows, write)
    assert vorlaken.bencode(target) == b"d1:ag1:bi1ee"


def _failing_gen():
    yield 1
    raise KeyError("from the generator")


# (writer, x, error, message, pieces appended before the failure)
CONTAINER_FAILURES = [
    pytest.param("encode_list", [1], None, AttributeError, NO_ATTR.format(name="append"), [], id="list-r-none"),
    pytest.param("encode_dict", {}, None, AttributeError, NO_ATTR.format(name="append"), [], id="dict-r-none"),
    pytest.param("encode_list", 5, R, TypeError, says(lambda: iter(5)), [b"l"], id="list-not-iterable"),
    pytest.param("encode_list", _failing_gen(), R, KeyError, "'from the generator'", [b"l", b"i", b"1", b"e"],
                 id="list-iteration-fails"),
    pytest.param("encode_list", [1, 1.5, 2], R, vorlaken.BTFailure, UNKNOWN.format(tp=float),
                 [b"l", b"i", b"1", b"e"], id="list-element-fails"),
    pytest.param("encode_dict", [], R, AttributeError, says(lambda: [].items), [b"d"], id="dict-without-items"),
    pytest.param("encode_dict", Items(5), R, TypeError, says(lambda: list(5)), [b"d"], id="dict-items-not-iterable"),
    pytest.param("encode_dict", {"a": 1, b"b": 2}, R, TypeError, says(lambda: sorted([("a", 1), (b"b", 2)])),
                 [b"d"], id="dict-str-and-bytes-keys"),
    pytest.param("encode_dict", {1: 2}, R, TypeError, says(lambda: len(1)), [b"d"], id="dict-int-key"),
    pytest.param("encode_dict", {TEXT_SURROGATE: 1}, R, UnicodeEncodeError, says(TEXT_SURROGATE.encode), [b"d"],
                 id="dict-unencodable-key"),
    pytest.param("encode_dict", {Unencodable("k"): 1}, R, LookupError, "no codec here", [b"d"],
                 id="dict-key-own-encode-fails"),
    pytest.param("encode_dict", Items([(b"a",)]), R, ValueError, "need more than 1 value to unpack", [b"d"],
                 id="dict-short-item"),
    pytest.param("encode_dict", Items([(b"a", 1, 2)]), R, ValueError, "too many values to unpack (expected 2)",
                 [b"d"], id="dict-long-item"),
    pytest.param("encode_dict", Items([iter(())]), R, ValueError, "need more than 0 values to unpack", [b"d"],
                 id="dict-empty-item"),
    pytest.param("encode_dict", {b"a": 1, b"b": 1.5, b"c": 2}, R, vorlaken.BTFailure, UNKNOWN.format(tp=float),
                 [b"d", b"1", b":", b"a", b"i", b"1", b"e", b"1", b":", b"b"], id="dict-value-fails"),
]


@pytest.mark.parametrize("name, x, piece_list, error, message, appended", CONTAINER_FAILURES)
def test_container_failures_keep_what_was_appended(r, entries, name, x, piece_list, error, message, appended):
    with pytest.raises(Exception) as e:
        getattr(vorlaken, name)(x, r if piece_list is R else piece_list)
    assert type(e.value) is error
    if message is not None:
        assert str(e.value) == message
    assert entries(e.value)[0] == "vorlaken." + name
    assert r == [PRIOR] + appended


@pytest.mark.parametrize("value, error, where", [
    ([1, 1.5], vorlaken.BTFailure, ["bencode", "encode", "encode_list", "encode"]),
    ({b"k": [1, (2, None)]}, vorlaken.BTFailure,
     ["bencode", "encode", "encode_dict", "encode", "encode_list", "encode", "encode_list", "encode"]),
    ([{"a": 1, b"b": 2}], TypeError, ["bencode", "encode", "encode_list", "encode", "encode_dict"]),
    ([[b"ok", "\ud800"]], UnicodeEncodeError,
     ["bencode", "encode", "encode_list", "encode", "encode_list", "encode", "encode_string"]),
    ({b"k": {1: 2}}, TypeError, ["bencode", "encode", "encode_dict", "encode", "encode_dict"]),
], ids=["list", "dict-list-tuple", "mixed-keys", "string", "int-key"])
def test_nested_failure_traceback(entries, value, error, where):
    with pytest.raises(Exception) as e:
        vorlaken.bencode(value)
    assert type(e.value) is error
    assert entries(e.value) == at(*where)


@pytest.mark.parametrize("items", [
    pytest.param([(b"ab", 1), (b"a", 2), (b"", 3), (b"\xff", 4), (b"a\x00", 5)], id="bytes-prefixes"),
    pytest.param([("b", 1), ("\U0001f600", 2), ("\uffff", 3), ("a", 4), ("", 5)], id="str-code-points"),
    pytest.param([("b", 1), ("\ud800", 2), ("a", [1.5])], id="str-fails-midway"),
    pytest.param([(b"b", 1), (b"a", [1.5]), (b"c", 3)], id="value-fails-midway"),
    pytest.param([(b"b", 1), ("a", 2)], id="mixed-keys"),
    pytest.param([(MyBytes(b"b"), 1), (b"a", 2)], id="bytes-subclass-key"),
])
def test_plain_mappings_write_as_any_mapping_does(items):
    # Exact dicts and OrderedDicts may take a shorter way to the same pieces, failures included;
    # subclasses take the long one.
    def pieces(mapping):
        r = []
        try:
            vorlaken.encode_dict(mapping, r)
        except Exception as e:
            return r, type(e), e.args
        return r, None, None

    assert pieces(dict(items)) == pieces(MyDict(items))
    ordered = collections.OrderedDict(items)
    ordered.move_to_end(items[0][0])  # its own order differs from the dict's underneath
    assert pieces(ordered) == pieces(MyOrderedDict(ordered))


def test_every_lookup_in_the_table_is_made_while_a_key_can_run_code(monkeypatch):
    # A key that hashes like an int subclass makes each lookup of that subclass, which has no
    # entry, compare with the key through the key's own __eq__: no lookup may be skipped for
    # having been made before.
    class Small(int):
        pass

    calls = []

    class Meta(type):
        def __hash__(cls):
            return hash(Small)

        def __eq__(cls, other):
            calls.append(other)
            return False

    monkeypatch.setitem(vorlaken.encode_func, Meta("Odd", (), {}), vorlaken.encode_int)
    del calls[:]
    assert Small not in vorlaken.encode_func
    per_test = len(calls)  # how often the interpreter's own membership test compares
    assert per_test >= 1
    del calls[:]
    for n in range(3):
        assert vorlaken.bencode(Small(n)) == b"i%de" % n
    # One membership test per value; the walk finds int's entry by instance test.
    assert calls == [Small] * (3 * per_test)
