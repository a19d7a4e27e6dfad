"""decode_list, decode_dict and bdecode: the container readers and whole inputs.

The containers dispatch every element through decode_func and look up
END_CHAR, decode_func, decode_string and OrderedDict by name at each use, so
most of the behaviour that matters here is about *when* those names are read
and what a caller's replacement for them may return.  bdecode adds two
refusals of its own and otherwise lets errors through; which errors it turns
into BTFailure, and what it chains to them, is pinned down below.
"""

import builtins
import hashlib
import struct
import sys
from collections import OrderedDict as OD

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import vorlaken
from support import HasInt, bencoded, raised

INT32_MIN, INT32_MAX = -2 ** 31, 2 ** 31 - 1
NOT_VALID = "not a valid bencoded string"
DATA_AFTER = "invalid bencoded value (data after valid prefix)"
CALL_SUFFIX = "while calling a Python object"
TOO_MANY = "too many values to unpack (expected 2)"
NOT_INTEGER = "an integer is required"


def need_more(n):
    return f"need more than {n} value{'' if n == 1 else 's'} to unpack"


# Messages that are the interpreter's own, taken from the interpreter itself.
INDEX_ARGS = raised(lambda: b""[0]).args
NO_COLON_ARGS = raised(lambda: b"".index(b":")).args


def shape(v):
    """A comparable picture of a decoded value that keeps types and key order.

    OrderedDict == dict ignores both, so plain == is not enough here.
    """
    if isinstance(v, dict):
        return (type(v), [(shape(k), shape(x)) for k, x in v.items()])
    if isinstance(v, list):
        return (type(v), [shape(x) for x in v])
    return (type(v), v)


def reader_for(monkeypatch, byte, fn):
    """Install fn as the reader of token byte ``byte`` for the duration of a test."""
    monkeypatch.setitem(vorlaken.decode_func, ord(byte), fn)


def value_token(x, f):
    # A caller's reader for a one-byte token "s".
    return (b"S", f + 1)


# --- container results -----------------------------------------------------

CONTAINER_OK = [
    pytest.param("decode_list", b"le", 0, [], 2, id="empty-list"),
    pytest.param("decode_list", b"li1ei2ee", 0, [1, 2], 8, id="ints"),
    pytest.param("decode_list", b"lli1eee", 0, [[1]], 7, id="nested"),
    pytest.param("decode_list", b"l4:spam0:de3:e:ie", 0, [b"spam", b"", OD(), b"e:i"], 17, id="mixed"),
    pytest.param("decode_list", b"li" + b"9" * 30 + b"ei-1ee", 0, [10 ** 30 - 1, -1], 38, id="no-width-limit"),
    pytest.param("decode_list", b"xe", 0, [], 2, id="byte-at-f-not-examined"),
    pytest.param("decode_list", b"i1eli2ee", 3, [2], 8, id="inside-an-input"),
    # A negative f counts from the end; the offsets that the elements hand
    # back are then positive, and so is the result.
    pytest.param("decode_list", b"le", -2, [], 0, id="negative-f"),
    pytest.param("decode_list", b"li1ee", -5, [1], 5, id="negative-f-element"),
    pytest.param("decode_dict", b"de", 0, OD(), 2, id="empty-dict"),
    pytest.param("decode_dict", b"d1:bi1e1:ai2ee", 0, OD([(b"b", 1), (b"a", 2)]), 14, id="unsorted-keys-keep-order"),
    # A repeated key is assigned again: last value, first position.
    pytest.param("decode_dict", b"d1:ai1e1:bi2e1:ai3ee", 0, OD([(b"a", 3), (b"b", 2)]), 20, id="repeated-key"),
    pytest.param("decode_dict", b"d0:le1:dd1:ei0eee", 0, OD([(b"", []), (b"d", OD([(b"e", 0)]))]), 17, id="nested"),
    pytest.param("decode_dict", b"xe", 0, OD(), 2, id="byte-at-f-not-examined"),
    # Keys are read by decode_string whatever their first byte, so a key
    # need not start with a digit as long as int() takes its length field.
    pytest.param("decode_dict", b"d 1:ai1ee", 0, OD([(b"a", 1)]), 9, id="key-read-by-decode_string"),
]


@pytest.mark.parametrize("name, x, f, value, end", CONTAINER_OK)
def test_container_results(name, x, f, value, end):
    result = getattr(vorlaken, name)(x, f)
    assert type(result) is tuple and len(result) == 2
    assert shape(result[0]) == shape(value)
    assert type(result[1]) is int and result[1] == end


CONTAINER_ERRORS = [
    pytest.param("decode_list", b"l", 0, IndexError, INDEX_ARGS, ["decode_list"], id="unclosed-list"),
    pytest.param("decode_list", b"li1e", 0, IndexError, INDEX_ARGS, ["decode_list"], id="unclosed-after-element"),
    pytest.param("decode_list", b"lxe", 0, KeyError, (120,), ["decode_list"], id="unknown-token-byte"),
    pytest.param("decode_list", b"l5:abe", 0, IndexError, INDEX_ARGS, ["decode_list"], id="overlong-string"),
    pytest.param("decode_list", b"lli-0eee", 0, ValueError, (), ["decode_list", "decode_list", "decode_int"], id="bad-element"),
    pytest.param("decode_dict", b"d1:ae", 0, KeyError, (101,), ["decode_dict"], id="end-where-value-starts"),
    pytest.param("decode_dict", b"d1:a", 0, IndexError, INDEX_ARGS, ["decode_dict"], id="unclosed-dict"),
    pytest.param("decode_dict", b"di1ei2ee", 0, ValueError, NO_COLON_ARGS, ["decode_dict", "decode_string"], id="int-key"),
    pytest.param("decode_dict", b"dlei2ee", 0, ValueError, NO_COLON_ARGS, ["decode_dict", "decode_string"], id="list-key"),
    pytest.param("decode_dict", b"d03:abci1ee", 0, ValueError, (), ["decode_dict", "decode_string"], id="leading-zero-key"),
    # A negative length field would send the loop back over bytes it has
    # already read; it is refused at the first key instead.
    pytest.param("decode_dict", b"d-1:e", 0, ValueError, (), ["decode_dict", "decode_string"], id="negative-key-length"),
    pytest.param("decode_dict", b"d1:ai0e-6:", 0, ValueError, (), ["decode_dict", "decode_string"], id="negative-length-loops-back"),
    # The next position after the opening byte is out of range, not wrapped.
    pytest.param("decode_list", b"le", INT32_MAX, IndexError, INDEX_ARGS, ["decode_list"], id="list-f-int32-max"),
    pytest.param("decode_dict", b"de", INT32_MAX, IndexError, INDEX_ARGS, ["decode_dict"], id="dict-f-int32-max"),
    pytest.param("decode_list", b"le", INT32_MIN, IndexError, INDEX_ARGS, ["decode_list"], id="list-f-int32-min"),
    # An element's end offset must fit 32 bits inside a container.
    pytest.param("decode_list", b"l3000000000:ae", 0, OverflowError, None, ["decode_list"], id="element-end-beyond-32-bits"),
    pytest.param("decode_dict", b"d3000000000:ae", 0, OverflowError, None, ["decode_dict"], id="key-end-beyond-32-bits"),
    pytest.param("decode_list", None, 0, TypeError, ("'NoneType' object is not subscriptable",), ["decode_list"], id="list-of-none"),
    pytest.param("decode_list", None, INT32_MAX, TypeError, ("'NoneType' object is not subscriptable",), ["decode_list"], id="list-of-none-f-int32-max"),
    pytest.param("decode_dict", None, 0, TypeError, ("'NoneType' object is not subscriptable",), ["decode_dict"], id="dict-of-none"),
]


@pytest.mark.parametrize("name, x, f, error, args, route", CONTAINER_ERRORS)
def test_container_errors(entries, name, x, f, error, args, route):
    with pytest.raises(Exception) as e:
        getattr(vorlaken, name)(x, f)
    assert type(e.value) is error
    if args is not None:
        assert e.value.args == args
    assert entries(e.value) == ["vorlaken." + n for n in route]


@pytest.mark.parametrize("name, x, value", [
    ("decode_list", b"li1ee", [1]),
    ("decode_dict", b"d1:ai1ee", OD([(b"a", 1)])),
])
def test_containers_share_the_binding_layer(entries, name, x, value):
    fn = getattr(vorlaken, name)
    assert fn(f=0, x=x) == (value, len(x))
    # f is converted as every int parameter is: truncated, 32 bits.
    assert fn(b"?" + x, 1.9) == (value, len(x) + 1)
    with pytest.raises(OverflowError):
        fn(x, 2 ** 31)
    with pytest.raises(TypeError) as e:
        fn(bytearray(x), 0)
    assert str(e.value) == "Argument 'x' has incorrect type (expected bytes, got bytearray)"
    assert entries(e.value) == []


# --- END_CHAR --------------------------------------------------------------

class Truth:
    def __init__(self, value, log):
        self.value, self.log = value, log

    def __bool__(self):
        self.log.append(("bool", self.value))
        return self.value


class EndMarker:
    """An END_CHAR that ends at "x", answering != with an object of its own truth."""

    def __init__(self):
        self.log = []

    def __ne__(self, other):
        self.log.append(("ne", other))
        return Truth(other != 120, self.log)

    def __eq__(self, other):
        raise AssertionError("the loop test is !=, not ==")

    __hash__ = object.__hash__


@pytest.mark.parametrize("name, x, value, tested", [
    ("decode_list", b"li1e4:spamx", [1, b"spam"], b"i4x"),
    ("decode_dict", b"d1:ai1ex", OD([(b"a", 1)]), b"1x"),
])
def test_end_char_is_compared_with_ne_then_a_truth_test(monkeypatch, name, x, value, tested):
    end = EndMarker()
    monkeypatch.setattr(vorlaken, "END_CHAR", end)
    assert getattr(vorlaken, name)(x, 0) == (value, len(x))
    # Each loop test is one != against the byte as an int, and one truth
    # test of its result: nothing cached, nothing more.
    assert end.log == [step for b in tested for step in (("ne", b), ("bool", b != 120))]


@pytest.mark.parametrize("end_char, x, expected", [
    pytest.param(120, b"li1ex", ([1], 5), id="int-rebound"),
    pytest.param(101.0, b"li1ee", ([1], 5), id="float-equal-to-e"),
    pytest.param(True, b"l\x01", ([], 2), id="bool-is-one"),
    pytest.param(101 + 256, b"le", KeyError(101), id="not-taken-modulo-256"),
    pytest.param(101 + 2 ** 64, b"le", KeyError(101), id="int-beyond-64-bits"),
    # "e" as text never equals an int byte, so the list never ends.
    pytest.param("e", b"le", KeyError(101), id="str-never-ends"),
    pytest.param(b"e", b"le", KeyError(101), id="bytes-never-ends"),
])
def test_end_char_is_any_object(monkeypatch, end_char, x, expected):
    monkeypatch.setattr(vorlaken, "END_CHAR", end_char)
    if isinstance(expected, Exception):
        with pytest.raises(type(expected)) as e:
            vorlaken.decode_list(x, 0)
        assert e.value.args == expected.args
    else:
        assert vorlaken.decode_list(x, 0) == expected


class Raises:
    def __init__(self, where):
        self.where = where

    def __ne__(self, other):
        if self.where == "ne":
            raise ZeroDivisionError("ne")
        return self

    def __bool__(self):
        raise ZeroDivisionError("bool")


@pytest.mark.parametrize("where", ["ne", "bool"])
@pytest.mark.parametrize("name", ["decode_list", "decode_dict"])
def test_end_char_errors_pass_through(monkeypatch, entries, name, where):
    monkeypatch.setattr(vorlaken, "END_CHAR", Raises(where))
    with pytest.raises(ZeroDivisionError, match=f"^{where}$") as e:
        getattr(vorlaken, name)(b"xe", 0)
    assert entries(e.value) == ["vorlaken." + name]


def test_end_char_is_read_at_every_loop_test(monkeypatch):
    def switch(x, f):
        monkeypatch.setattr(vorlaken, "END_CHAR", ord("x"))
        return value_token(x, f)

    reader_for(monkeypatch, "s", switch)
    reader_for(monkeypatch, "e", value_token)
    # The outer list is already running when END_CHAR changes; its next
    # loop tests see the new marker, so its "e"s are just elements.
    assert vorlaken.decode_list(b"llsxeex", 0) == ([[b"S"], b"S", b"S"], 7)


# --- decode_func -----------------------------------------------------------

def test_decode_func_is_read_at_every_element(monkeypatch):
    swapped = {
        ord("i"): lambda x, f: (b"swapped", x.index(b"e", f) + 1),
        ord("d"): vorlaken.decode_dict,
    }

    def swap(x, f):
        monkeypatch.setattr(vorlaken, "decode_func", swapped)
        return value_token(x, f)

    reader_for(monkeypatch, "s", swap)
    # The swap happens inside the inner list; the outer one, already
    # running, reads its next elements from the new table.
    x = b"lli1esi2eei3ed1:ai4eee"
    assert vorlaken.decode_list(x, 0) == (
        [[1, b"S", b"swapped"], b"swapped", OD([(b"a", b"swapped")])],
        len(x),
    )


class Table:
    """A mapping that is not a dict: decode_func is only ever subscripted."""

    def __init__(self, entries):
        self.entries, self.asked = entries, []

    def __getitem__(self, b):
        self.asked.append(b)
        return self.entries[b]


def test_decode_func_may_be_any_subscriptable(monkeypatch):
    table = Table(dict(vorlaken.decode_func))
    monkeypatch.setattr(vorlaken, "decode_func", table)
    assert shape(vorlaken.bdecode(b"ld1:ai1ee4:spame")) == shape([OD([(b"a", 1)]), b"spam"])
    # Keys go to decode_string directly, never through the table.
    assert table.asked == [ord("l"), ord("d"), ord("i"), ord("4")]

    as_list = [None] * 256
    as_list[ord("i")] = vorlaken.decode_int
    monkeypatch.setattr(vorlaken, "decode_func", as_list)
    assert vorlaken.bdecode(b"i7e") == 7
    monkeypatch.setattr(vorlaken, "decode_func", [])
    e = raised(lambda: vorlaken.bdecode(b"i7e"))
    assert type(e) is vorlaken.BTFailure and type(e.__context__) is IndexError


def test_table_holds_the_functions_not_their_names(monkeypatch):
    for name in ("decode_int", "decode_list", "decode_dict"):
        monkeypatch.setattr(vorlaken, name, None)
    assert shape(vorlaken.bdecode(b"ld1:ai1eee")) == shape([OD([(b"a", 1)])])


def test_decode_string_is_read_at_every_key(monkeypatch):
    real = vorlaken.decode_string
    keys_read = []

    def first(x, f):
        keys_read.append(("first", f))
        monkeypatch.setattr(vorlaken, "decode_string", second)
        return real(x, f)

    def second(x, f):
        keys_read.append(("second", f))
        key, end = real(x, f)
        return key.upper(), end

    monkeypatch.setattr(vorlaken, "decode_string", first)
    # Byte strings in value positions still come from the table's own
    # decode_string; only keys go through the name.
    x = b"d1:a1:x1:bl1:yee"
    assert shape(vorlaken.decode_dict(x, 0)) == shape((OD([(b"a", b"x"), (b"B", [b"y"])]), len(x)))
    assert keys_read == [("first", 1), ("second", 7)]


# --- OrderedDict -----------------------------------------------------------

def test_ordered_dict_is_read_once_per_dictionary(monkeypatch):
    log = []

    class Recording(OD):
        def __init__(self, *args, **kwargs):
            log.append(("made", args, kwargs))
            super().__init__(*args, **kwargs)

        def __setitem__(self, key, value):
            log.append(("store", key))
            super().__setitem__(key, value)

    def rebind(x, f):
        monkeypatch.setattr(vorlaken, "OrderedDict", dict)
        return value_token(x, f)

    monkeypatch.setattr(vorlaken, "OrderedDict", Recording)
    reader_for(monkeypatch, "s", rebind)
    # Both dictionaries made before the rebinding stay Recording and keep
    # being filled; only the one made afterwards is a dict.
    value, end = vorlaken.decode_dict(b"d1:ad1:bse1:cdee", 0)
    assert log == [("made", (), {}), ("made", (), {}), ("store", b"b"), ("store", b"a"), ("store", b"c")]
    assert end == 16
    assert shape(value) == shape(Recording([(b"a", Recording([(b"b", b"S")])), (b"c", {})]))


def test_value_is_stored_only_after_its_offset_converts(monkeypatch):
    stored = []

    class Recording(OD):
        def __setitem__(self, key, value):
            stored.append(key)
            super().__setitem__(key, value)

    monkeypatch.setattr(vorlaken, "OrderedDict", Recording)
    reader_for(monkeypatch, "s", lambda x, f: (b"S", 2 ** 31))
    with pytest.raises(OverflowError):
        vorlaken.decode_dict(b"d1:ai1e1:bse", 0)
    assert stored == [b"a"]


def test_ordered_dict_rebound_to_dict(monkeypatch):
    monkeypatch.setattr(vorlaken, "OrderedDict", dict)
    assert shape(vorlaken.bdecode(b"ld1:bd1:ai1eeee")) == shape([{b"b": {b"a": 1}}])


# --- names looked up at use ------------------------------------------------

@pytest.mark.parametrize("name, fn, x", [
    pytest.param("END_CHAR", "decode_list", b"le", id="END_CHAR"),
    pytest.param("decode_func", "decode_list", b"li1ee", id="decode_func-in-list"),
    pytest.param("decode_func", "decode_dict", b"d1:ai1ee", id="decode_func-in-dict"),
    pytest.param("decode_string", "decode_dict", b"d1:ai1ee", id="decode_string"),
    pytest.param("OrderedDict", "decode_dict", b"de", id="OrderedDict"),
    # decode_func is read before the first byte, so even an empty input
    # reports the missing name rather than BTFailure.
    pytest.param("decode_func", "bdecode", b"", id="decode_func-in-bdecode"),
    pytest.param("BTFailure", "bdecode", b"i1ei2e", id="BTFailure"),
])
def test_deleted_name_is_a_name_error(delete_global, entries, name, fn, x):
    delete_global(name)
    with pytest.raises(NameError) as e:
        getattr(vorlaken, fn)(x) if fn == "bdecode" else getattr(vorlaken, fn)(x, 0)
    assert type(e.value) is NameError
    assert str(e.value) == f"name '{name}' is not defined"
    assert entries(e.value) == ["vorlaken." + fn]


@pytest.mark.parametrize("name, fn, x, f, error", [
    # The loop reads the byte before END_CHAR ...
    ("END_CHAR", "decode_list", b"l", 0, IndexError),
    # ... but an element looks up the table before its first byte, and the
    # mapping is made before the first position is worked out.
    ("decode_func", "decode_dict", b"d1:a", 0, NameError),
    ("OrderedDict", "decode_dict", b"de", INT32_MAX, NameError),
])
def test_which_failure_comes_first(delete_global, name, fn, x, f, error):
    delete_global(name)
    with pytest.raises(Exception) as e:
        getattr(vorlaken, fn)(x, f)
    assert type(e.value) is error


@pytest.mark.parametrize("name, call, expected", [
    # Each name is looked up only where it is needed.
    ("decode_func", lambda: vorlaken.decode_list(b"le", 0), ([], 2)),
    ("decode_func", lambda: vorlaken.decode_dict(b"de", 0), (OD(), 2)),
    ("decode_string", lambda: vorlaken.decode_dict(b"de", 0), (OD(), 2)),
    ("OrderedDict", lambda: vorlaken.decode_list(b"le", 0), ([], 2)),
    ("BTFailure", lambda: vorlaken.bdecode(b"li1ee"), [1]),
])
def test_names_are_not_needed_before_their_use(delete_global, name, call, expected):
    delete_global(name)
    assert call() == expected


@pytest.mark.parametrize("name, value, call, expected", [
    ("END_CHAR", 120, lambda: vorlaken.decode_list(b"lx", 0), ([], 2)),
    ("OrderedDict", dict, lambda: type(vorlaken.decode_dict(b"de", 0)[0]), dict),
])
def test_names_fall_back_to_builtins(monkeypatch, delete_global, name, value, call, expected):
    delete_global(name)
    monkeypatch.setattr(builtins, name, value, raising=False)
    assert call() == expected


# --- a caller's readers ----------------------------------------------------

def test_custom_reader_for_a_new_token_byte(monkeypatch):
    calls = []

    def reader(*args, **kwargs):
        calls.append((args, kwargs))
        return value_token(*args)

    reader_for(monkeypatch, "s", reader)
    x = b"lsd1:asee"
    assert shape(vorlaken.bdecode(x)) == shape([b"S", OD([(b"a", b"S")])])
    assert vorlaken.bdecode(b"s") == b"S"
    # Two positional arguments: the very input object and f as an exact int.
    assert [(len(a), kw, a[0] is x, type(a[1]), a[1]) for a, kw in calls[:2]] == [
        (2, {}, True, int, 1), (2, {}, True, int, 6),
    ]


def test_own_reader_under_a_new_byte_behaves_as_under_its_own(monkeypatch, entries):
    reader_for(monkeypatch, "s", vorlaken.decode_int)
    assert vorlaken.decode_list(b"ls5ei6ee", 0) == ([5, 6], 8)
    assert vorlaken.bdecode(b"s-7e") == -7
    with pytest.raises(ValueError) as e:
        vorlaken.decode_list(b"ls-0ee", 0)
    assert e.value.args == ()
    assert entries(e.value) == ["vorlaken.decode_list", "vorlaken.decode_int"]


def _gen(*items, then=None):
    yield from items
    if then is not None:
        raise then


# What a reader returns, as a function of (value, end), and what unpacking
# it must give.
RESULTS = [
    pytest.param(lambda v, e: (v, e), None, id="tuple"),
    pytest.param(lambda v, e: [v, e], None, id="list"),
    pytest.param(lambda v, e: iter([v, e]), None, id="iterator"),
    pytest.param(lambda v, e: _gen(v, e), None, id="generator"),
    pytest.param(lambda v, e: (v, e, 0), ValueError(TOO_MANY), id="tuple-of-3"),
    pytest.param(lambda v, e: [v, e, 0, 0], ValueError(TOO_MANY), id="list-of-4"),
    pytest.param(lambda v, e: (v,), ValueError(need_more(1)), id="tuple-of-1"),
    pytest.param(lambda v, e: [], ValueError(need_more(0)), id="empty-list"),
    pytest.param(lambda v, e: iter([v, e, 0]), ValueError(TOO_MANY), id="iterator-of-3"),
    pytest.param(lambda v, e: iter([v]), ValueError(need_more(1)), id="iterator-of-1"),
    pytest.param(lambda v, e: _gen(), ValueError(need_more(0)), id="generator-of-0"),
    pytest.param(lambda v, e: _gen(then=ZeroDivisionError("first")), ZeroDivisionError("first"), id="fails-at-first"),
    # The check for a third item runs the iterator once more.
    pytest.param(lambda v, e: _gen(v, e, then=ZeroDivisionError("third")), ZeroDivisionError("third"), id="fails-at-third"),
    pytest.param(lambda v, e: None, raised(lambda: iter(None)), id="none"),
    pytest.param(lambda v, e: 7, raised(lambda: iter(7)), id="int"),
    pytest.param(lambda v, e: {v: e}, ValueError(need_more(1)), id="dict-iterates-keys"),
]


class Site:
    """Where a caller's reader runs: one list element, dictionary value or key, or the top."""

    def __init__(self, name, byte, call, value, entry):
        self.name, self.byte, self.call, self.value, self.entry = name, byte, call, value, entry


SITES = {
    "list-element": Site("list-element", "s", lambda: vorlaken.decode_list(b"lse", 0), ([b"S"], 3), "decode_list"),
    "dict-value": Site("dict-value", "s", lambda: vorlaken.decode_dict(b"d1:ase", 0), (OD([(b"a", b"S")]), 6), "decode_dict"),
    "dict-key": Site("dict-key", None, lambda: vorlaken.decode_dict(b"dsi1ee", 0), (OD([(b"S", 1)]), 6), "decode_dict"),
    "top": Site("top", "s", lambda: vorlaken.bdecode(b"s"), b"S", "bdecode"),
}


@pytest.fixture(params=sorted(SITES))
def site(request, monkeypatch):
    """Installs a reader of "s" (or of every key) at one site; returns (site, install)."""
    s = SITES[request.param]

    def install(fn):
        if s.byte is None:
            monkeypatch.setattr(vorlaken, "decode_string", fn)
        else:
            reader_for(monkeypatch, s.byte, fn)

    return s, install


@pytest.mark.parametrize("make, error", RESULTS)
def test_reader_results_are_unpacked_as_two_targets(site, entries, make, error):
    s, install = site
    install(lambda x, f: make(b"S", f + 1))
    if error is None:
        assert shape(s.call()) == shape(s.value)
        return
    with pytest.raises(Exception) as e:
        s.call()
    got = e.value
    # At the top, the ValueErrors are malformed input like any other.
    if s.name == "top" and isinstance(error, ValueError):
        assert type(got) is vorlaken.BTFailure and got.args == (NOT_VALID,)
        got = got.__context__
    assert type(got) is type(error)
    assert got.args == error.args
    assert entries(got)[0] == "vorlaken." + s.entry


NEXT_OFFSETS = [
    # (end the reader returns, given the reader ran at f = 1; outcome)
    pytest.param(lambda f: f + 1.9, None, id="float-truncated"),
    pytest.param(lambda f: HasInt(f + 1), None, id="__int__"),
    pytest.param(lambda f: "2", TypeError(NOT_INTEGER), id="str"),
    pytest.param(lambda f: None, TypeError(NOT_INTEGER), id="none"),
    pytest.param(lambda f: 2 ** 31, OverflowError, id="2**31"),
    pytest.param(lambda f: -2 ** 31 - 1, OverflowError, id="below-int32-min"),
    pytest.param(lambda f: float("nan"), raised(lambda: int(float("nan"))), id="nan"),
    # In range but past the input: the next byte read is out of range.
    pytest.param(lambda f: INT32_MAX, IndexError(*INDEX_ARGS), id="int32-max"),
]


@pytest.mark.parametrize("end, outcome", NEXT_OFFSETS)
@pytest.mark.parametrize("site_name", ["list-element", "dict-value", "dict-key"])
def test_next_offsets_inside_containers_are_32_bit_ints(monkeypatch, entries, site_name, end, outcome):
    s = SITES[site_name]
    fn = lambda x, f: (b"S", end(f))
    if s.byte is None:
        monkeypatch.setattr(vorlaken, "decode_string", fn)
    else:
        reader_for(monkeypatch, s.byte, fn)
    if outcome is None:
        assert shape(s.call()) == shape(s.value)
        return
    error = outcome if isinstance(outcome, type) else type(outcome)
    with pytest.raises(error) as e:
        s.call()
    assert type(e.value) is error
    if not isinstance(outcome, type):
        assert e.value.args == outcome.args
    assert entries(e.value) == ["vorlaken." + s.entry]


class EndOffset:
    def __init__(self, answer):
        self.answer, self.compared = answer, []

    def __ne__(self, other):
        self.compared.append(other)
        if isinstance(self.answer, Exception):
            raise self.answer
        return self.answer

    __hash__ = object.__hash__


@pytest.mark.parametrize("end, message", [
    pytest.param(4, None, id="exact"),
    # Compared with != as returned, so 4.0 != 4 is False and passes.
    pytest.param(4.0, None, id="float-equal"),
    pytest.param(3, DATA_AFTER, id="short"),
    pytest.param(5, DATA_AFTER, id="past-the-end"),
    pytest.param(2 ** 40, DATA_AFTER, id="beyond-32-bits-is-not-an-overflow"),
    pytest.param("4", DATA_AFTER, id="str-is-not-converted"),
    pytest.param(HasInt(4), DATA_AFTER, id="__int__-is-not-called"),
    pytest.param(None, DATA_AFTER, id="none"),
])
def test_outermost_end_offset_is_compared_unconverted(monkeypatch, end, message):
    reader_for(monkeypatch, "s", lambda x, f: (b"S", end))
    if message is None:
        assert vorlaken.bdecode(b"sxyz") == b"S"
    else:
        with pytest.raises(vorlaken.BTFailure) as e:
            vorlaken.bdecode(b"sxyz")
        assert e.value.args == (message,)


def test_outermost_end_offset_comparison(monkeypatch):
    log = []
    end = EndOffset(Truth(False, log))
    reader_for(monkeypatch, "s", lambda x, f: (b"S", end))
    assert vorlaken.bdecode(b"sxyz") == b"S"
    # One != with the length as an int, one truth test of its answer.
    assert end.compared == [4] and type(end.compared[0]) is int
    assert log == [("bool", False)]
    # Errors of the comparison are not errors of reading: never BTFailure,
    # even a ValueError.
    end.answer = ValueError("from __ne__")
    with pytest.raises(ValueError, match="^from __ne__$"):
        vorlaken.bdecode(b"sxyz")
    end.answer = Truth(None, [])  # __bool__ returning None is a TypeError
    with pytest.raises(TypeError):
        vorlaken.bdecode(b"sxyz")


# --- bdecode ---------------------------------------------------------------

@pytest.mark.parametrize("x, value", [
    (b"i42e", 42),
    (b"i-42e", -42),
    (b"i" + b"9" * 40 + b"e", 10 ** 40 - 1),
    (b"4:spam", b"spam"),
    (b"0:", b""),
    (b"le", []),
    (b"l4:spami7ee", [b"spam", 7]),
    (b"d1:bi1e1:ai2ee", OD([(b"b", 1), (b"a", 2)])),
    (b"d4:listl1:adee1:ddee", OD([(b"list", [b"a", OD()]), (b"d", OD())])),
])
def test_bdecode_results(x, value):
    assert shape(vorlaken.bdecode(x)) == shape(value)


@pytest.mark.parametrize("x, message, context", [
    pytest.param(b"", NOT_VALID, IndexError(*INDEX_ARGS), id="empty"),
    pytest.param(b"x", NOT_VALID, KeyError(120), id="unknown-first-byte"),
    pytest.param(b"e", NOT_VALID, KeyError(101), id="end-byte-first"),
    pytest.param(b"li1e", NOT_VALID, IndexError(*INDEX_ARGS), id="unclosed-list"),
    pytest.param(b"i1x", NOT_VALID, raised(lambda: b"".index(b"e")), id="unclosed-int"),
    pytest.param(b"i03e", NOT_VALID, ValueError(), id="leading-zero"),
    pytest.param(b"l5:abe", NOT_VALID, IndexError(*INDEX_ARGS), id="overlong-string-in-list"),
    pytest.param(b"di1ei2ee", NOT_VALID, ValueError(*NO_COLON_ARGS), id="int-key"),
    pytest.param(b"d1:ai0e-6:", NOT_VALID, ValueError(), id="negative-key-length"),
    pytest.param(b"i1ei2e", DATA_AFTER, None, id="two-values"),
    pytest.param(b"lee", DATA_AFTER, None, id="trailing-byte"),
    pytest.param(b"5:ab", DATA_AFTER, None, id="string-ends-past-input"),
    # The outermost end is compared as the reader gives it, so a length
    # beyond 32 bits is just a wrong end here ...
    pytest.param(b"3000000000:ae", DATA_AFTER, None, id="outer-end-beyond-32-bits"),
])
def test_bdecode_failures(entries, x, message, context):
    with pytest.raises(vorlaken.BTFailure) as e:
        vorlaken.bdecode(x)
    failure = e.value
    assert type(failure) is vorlaken.BTFailure
    assert failure.args == (message,)
    assert entries(failure) == ["vorlaken.bdecode"]
    assert failure.__cause__ is None and failure.__suppress_context__ is False
    if context is None:
        assert failure.__context__ is None
        return
    caught = failure.__context__
    assert type(caught) is type(context) and caught.args == context.args
    # It was caught inside bdecode, on its way out through the readers.
    assert entries(caught)[0] == "vorlaken.bdecode"


@pytest.mark.parametrize("x, error, message", [
    # ... while inside a container it must fit, and the overflow passes.
    pytest.param(b"l3000000000:ae", OverflowError, None, id="inner-end-beyond-32-bits"),
    pytest.param(b"9" * 20 + b":a", OverflowError, None, id="length-beyond-64-bits"),
    pytest.param(None, TypeError, "'NoneType' object is not subscriptable", id="none"),
])
def test_bdecode_lets_other_errors_through(entries, x, error, message):
    with pytest.raises(Exception) as e:
        vorlaken.bdecode(x)
    assert type(e.value) is error
    if message is not None:
        assert str(e.value) == message
    assert e.value.__context__ is None
    assert entries(e.value)[0] == "vorlaken.bdecode"


@pytest.mark.parametrize("x, tname", [
    (bytearray(b"le"), "bytearray"),
    ("le", "str"),
    (memoryview(b"le"), "memoryview"),
    (type("MyBytes", (bytes,), {})(b"le"), "MyBytes"),
])
def test_bdecode_takes_exactly_bytes(entries, x, tname):
    with pytest.raises(TypeError) as e:
        vorlaken.bdecode(x)
    assert str(e.value) == f"Argument 'x' has incorrect type (expected bytes, got {tname})"
    assert entries(e.value) == []


class KeyErrorKind(KeyError):
    pass


@pytest.mark.parametrize("error, converted", [
    (UnicodeDecodeError("utf-8", b"\xff", 0, 1, "bad"), True),
    (KeyErrorKind("k"), True),
    (IndexError("i"), True),
    (LookupError("not one of the three"), False),
    (TypeError("t"), False),
    (OverflowError("o"), False),
    (RecursionError("r"), False),
    (StopIteration("s"), False),
])
def test_bdecode_converts_the_three_classes_and_their_subclasses(monkeypatch, error, converted):
    def reader(x, f):
        raise error

    reader_for(monkeypatch, "s", reader)
    with pytest.raises(BaseException) as e:
        vorlaken.bdecode(b"s")
    if converted:
        assert type(e.value) is vorlaken.BTFailure and e.value.__context__ is error
    else:
        assert e.value is error


def test_bdecode_catches_the_classes_it_found_at_start_up(monkeypatch):
    with monkeypatch.context() as m:
        for name in ("IndexError", "KeyError", "ValueError"):
            m.setattr(builtins, name, ZeroDivisionError)
        results = [raised(lambda: vorlaken.bdecode(x)) for x in (b"", b"x", b"i03e")]
    assert [(type(r), type(r.__context__)) for r in results] == [
        (vorlaken.BTFailure, IndexError), (vorlaken.BTFailure, KeyError), (vorlaken.BTFailure, ValueError),
    ]


def test_failure_chaining_inside_a_callers_except_block():
    try:
        raise OSError("the caller's own")
    except OSError as e:
        mine = e
        not_valid = raised(lambda: vorlaken.bdecode(b"li1e"))
        assert sys.exc_info()[1] is mine
        data_after = raised(lambda: vorlaken.bdecode(b"lee"))
        assert sys.exc_info()[1] is mine
        assert vorlaken.bdecode(b"le") == []
        assert sys.exc_info()[1] is mine
    assert sys.exc_info() == (None, None, None)
    # As a raise inside Python except blocks would chain them: the caught
    # IndexError was raised while the caller's exception was being handled.
    assert type(not_valid.__context__) is IndexError
    assert not_valid.__context__.__context__ is mine
    assert data_after.__context__ is mine


class OtherFailure(Exception):
    pass


@pytest.mark.parametrize("replacement, expected, spell", [
    pytest.param(OtherFailure, OtherFailure, str, id="another-exception-class"),
    pytest.param(KeyError, KeyError, str, id="a-caught-class"),
    pytest.param(lambda msg: OtherFailure(msg.upper()), OtherFailure, str.upper, id="callable-returning-instance"),
])
def test_btfailure_rebound(monkeypatch, replacement, expected, spell):
    monkeypatch.setattr(vorlaken, "BTFailure", replacement)
    not_valid = raised(lambda: vorlaken.bdecode(b""))
    data_after = raised(lambda: vorlaken.bdecode(b"i1ei2e"))
    assert type(not_valid) is expected and not_valid.args == (spell(NOT_VALID),)
    assert type(data_after) is expected and data_after.args == (spell(DATA_AFTER),)
    assert type(not_valid.__context__) is IndexError


def test_btfailure_rebound_to_a_non_exception(monkeypatch):
    monkeypatch.setattr(vorlaken, "BTFailure", str)
    e = raised(lambda: vorlaken.bdecode(b""))
    assert type(e) is TypeError and str(e) == "exceptions must derive from BaseException"


def test_missing_btfailure_chains_the_caught_error(delete_global, entries):
    delete_global("BTFailure")
    e = raised(lambda: vorlaken.bdecode(b"li1e"))
    assert type(e) is NameError and str(e) == "name 'BTFailure' is not defined"
    assert type(e.__context__) is IndexError
    assert entries(e) == ["vorlaken.bdecode"]


@pytest.mark.parametrize("x, route", [
    (b"d1:ali03eee", ["bdecode", "decode_dict", "decode_list", "decode_int"]),
    (b"ld1:ad1:bi-0eeee", ["bdecode", "decode_list", "decode_dict", "decode_dict", "decode_int"]),
    (b"ldi1ei2eee", ["bdecode", "decode_list", "decode_dict", "decode_string"]),
    (b"lld1:a", ["bdecode", "decode_list", "decode_list", "decode_dict"]),
    (b"03:abc", ["bdecode", "decode_string"]),
])
def test_one_entry_per_reader_on_the_way_out(entries, x, route):
    failure = raised(lambda: vorlaken.bdecode(x))
    assert entries(failure) == ["vorlaken.bdecode"]
    assert entries(failure.__context__) == ["vorlaken." + n for n in route]


def test_python_reader_between_module_readers(monkeypatch, entries):
    reader_for(monkeypatch, "s", lambda x, f: vorlaken.decode_list(x, f))
    e = raised(lambda: vorlaken.bdecode(b"lsi1ei03eee"))
    assert entries(e.__context__) == ["vorlaken.bdecode", "vorlaken.decode_list", "vorlaken.decode_list", "vorlaken.decode_int"]


# --- well-formed inputs ----------------------------------------------------

values = st.recursive(
    st.integers(-10 ** 30, 10 ** 30) | st.binary(max_size=12),
    lambda inner: st.lists(inner, max_size=4)
    | st.lists(st.tuples(st.binary(max_size=6), inner), max_size=4).map(OD),
    max_leaves=24,
)


@settings(max_examples=300, deadline=None)
@given(value=values)
def test_any_well_formed_value(value):
    x = bencoded(value)
    assert shape(vorlaken.bdecode(x)) == shape(value)
    # The outermost token ends at the last byte, so no strict prefix is a
    # whole value and nothing may follow it.
    for cut in range(len(x)):
        assert type(raised(lambda: vorlaken.bdecode(x[:cut]))) is vorlaken.BTFailure
    assert raised(lambda: vorlaken.bdecode(x + b"e")).args == (DATA_AFTER,)


def _pieces(data_len, piece_len):
    count = -(-data_len // piece_len)
    return b"".join(hashlib.sha1(b"piece %d" % i).digest() for i in range(count))


def _peer(a, b, c, d, port):
    return bytes([a, b, c, d]) + struct.pack("!H", port)


TRACKER = b"http://tracker.example.org:6969/announce"

SINGLE_FILE = OD([
    (b"announce", TRACKER),
    (b"announce-list", [[TRACKER], [b"udp://tracker.example.net:1337/announce", b"udp://backup.example.net:80"]]),
    (b"comment", b"disc image: d4:spame i0e l:e"),
    (b"created by", b"mktorrent 1.1"),
    (b"creation date", 1700000000),
    (b"info", OD([
        # A 4.7 GiB file: its length does not fit 32 bits and must not need to.
        (b"length", 5_046_586_368),
        (b"name", b"disc.iso"),
        (b"piece length", 4 * 2 ** 20),
        (b"pieces", _pieces(5_046_586_368, 4 * 2 ** 20)),
        (b"private", 1),
    ])),
    (b"url-list", [b"http://mirror.example.org/disc.iso"]),
])

MULTI_FILE = OD([
    (b"announce", TRACKER),
    (b"creation date", 1234567890),
    (b"info", OD([
        (b"files", [
            OD([(b"length", 3_000_000), (b"path", [b"CD1", b"01 - intro.flac"])]),
            OD([(b"length", 0), (b"path", [b"CD1", b"empty"])]),
            OD([(b"length", 12), (b"md5sum", b"0123456789abcdef0123456789abcdef"), (b"path", [b"cover.jpg"])]),
        ]),
        (b"name", "Ålbum".encode()),
        (b"name.utf-8", "Ålbum".encode()),
        (b"piece length", 16384),
        (b"pieces", _pieces(3_000_012, 16384)),
    ])),
])

TRACKER_REPLY = OD([
    (b"complete", 12),
    (b"downloaded", 340),
    (b"incomplete", 3),
    (b"interval", 1800),
    (b"min interval", 900),
    (b"peers", b"".join(_peer(10, 0, 0, i, 6881 + i) for i in range(50))),
    (b"peers6", bytes(range(16)) + struct.pack("!H", 51413)),
])

TRACKER_PEER_LIST = OD([
    (b"interval", 1800),
    (b"peers", [
        OD([(b"ip", b"192.0.2.7"), (b"peer id", b"-VK1000-" + bytes(range(12))), (b"port", 6881)]),
        OD([(b"ip", b"2001:db8::1"), (b"peer id", b"-VK1000-" + b"e" * 12), (b"port", 51413)]),
    ]),
])

TRACKER_FAILURE = OD([(b"failure reason", b"unregistered torrent")])

DHT_RESPONSE = OD([
    (b"r", OD([
        (b"id", hashlib.sha1(b"node").digest()),
        (b"nodes", b"".join(hashlib.sha1(b"n%d" % i).digest() + _peer(198, 51, 100, i, 6881) for i in range(8))),
        (b"token", b"aoeusnth"),
        (b"values", [_peer(203, 0, 113, i, 6881) for i in range(4)]),
    ])),
    (b"t", b"aa"),
    (b"y", b"r"),
])

DHT_ERROR = OD([(b"e", [201, b"A Generic Error Ocurred"]), (b"t", b"aa"), (b"y", b"e")])


@pytest.mark.parametrize("value", [
    pytest.param(SINGLE_FILE, id="single-file-metainfo"),
    pytest.param(MULTI_FILE, id="multi-file-metainfo"),
    pytest.param(TRACKER_REPLY, id="tracker-compact-peers"),
    pytest.param(TRACKER_PEER_LIST, id="tracker-peer-dicts"),
    pytest.param(TRACKER_FAILURE, id="tracker-failure"),
    pytest.param(DHT_RESPONSE, id="dht-get-peers-response"),
    pytest.param(DHT_ERROR, id="dht-error"),
])
def test_torrent_shaped_inputs(value):
    decoded = vorlaken.bdecode(bencoded(value))
    assert shape(decoded) == shape(value)


def test_dht_query_as_written_on_the_wire():
    x = (b"d1:ad2:id20:abcdefghij01234567899:info_hash20:mnopqrstuvwxyz123456e"
         b"1:q9:get_peers1:t2:aa1:y1:qe")
    expected = OD([
        (b"a", OD([(b"id", b"abcdefghij0123456789"), (b"info_hash", b"mnopqrstuvwxyz123456")])),
        (b"q", b"get_peers"),
        (b"t", b"aa"),
        (b"y", b"q"),
    ])
    assert shape(vorlaken.bdecode(x)) == shape(expected)
    assert bencoded(expected) == x  # and so the helper writes what the wire holds


def test_pieces_are_whole_20_byte_hashes():
    info = vorlaken.bdecode(bencoded(SINGLE_FILE))[b"info"]
    pieces = info[b"pieces"]
    assert type(pieces) is bytes and len(pieces) % 20 == 0
    assert len(pieces) // 20 == -(-info[b"length"] // info[b"piece length"])
    assert pieces[:20] == hashlib.sha1(b"piece 0").digest()


# --- nesting and the recursion limit ---------------------------------------

def _room():
    """How many more Python calls fit under the recursion limit from here."""
    def down(n):
        try:
            return down(n + 1)
        except RecursionError:
            return n
    return down(0)


@pytest.mark.parametrize("opener, inner, closer", [
    pytest.param(b"l", b"s", b"e", id="lists"),
    pytest.param(b"d1:a", b"s", b"e", id="dicts"),
    pytest.param(b"ld1:a", b"s", b"ee", id="lists-and-dicts"),
])
def test_each_level_of_nesting_costs_one_level(monkeypatch, opener, inner, closer):
    room_inside = []

    def probe(x, f):
        room_inside.append(_room())
        return value_token(x, f)

    reader_for(monkeypatch, "s", probe)
    levels = opener.count(b"l") + opener.count(b"d")

    def used(depth, fn, *args):
        room_inside.clear()
        x = opener * depth + inner + closer * depth
        top = _room()
        fn(x, *args)
        return top - room_inside[0]

    # bdecode is one real call, and so is every container below it.  Called
    # from Python, the outermost container is that real call itself.
    direct = getattr(vorlaken, "decode_list" if opener[:1] == b"l" else "decode_dict")
    base = used(0, vorlaken.bdecode)
    for depth in (1, 2, 10):
        assert used(depth, vorlaken.bdecode) == base + depth * levels
        assert used(depth, direct, 0) == base + depth * levels - 1


def _deepest(make, limit):
    old = sys.getrecursionlimit()
    sys.setrecursionlimit(limit)
    try:
        depth = 0
        while True:
            try:
                vorlaken.bdecode(make(depth + 1))
            except RecursionError as e:
                assert str(e).endswith(" " + CALL_SUFFIX)
                return depth
            depth += 1
    finally:
        sys.setrecursionlimit(old)


def _frames():
    f, n = sys._getframe(), 0
    while f is not None:
        f, n = f.f_back, n + 1
    return n


def test_recursion_limit_bounds_nesting_like_real_calls():
    limit = _frames() + 120
    empty = _deepest(lambda n: b"l" * n + b"e" * n, limit)
    around_int = _deepest(lambda n: b"l" * n + b"i1e" + b"e" * n, limit)
    dicts = _deepest(lambda n: b"d1:a" * n + b"i1e" + b"e" * n, limit)
    # The innermost int (or key) read is one more call below the deepest
    # container, so those inputs nest one level less; keys cost as values do.
    assert empty == around_int + 1 == dicts + 1
    assert _deepest(lambda n: b"l" * n + b"e" * n, limit + 30) == empty + 30


def test_recursion_error_passes_through_bdecode(entries):
    n = sys.getrecursionlimit() + 10
    with pytest.raises(RecursionError) as e:
        vorlaken.bdecode(b"l" * n + b"e" * n)
    assert type(e.value) is RecursionError
    assert str(e.value).endswith(CALL_SUFFIX)
    names = entries(e.value)
    assert names[0] == "vorlaken.bdecode" and set(names[1:]) == {"vorlaken.decode_list"}


DEEP_CALLS = """
import vorlaken

def outcomes(n):
    lists = b"l" * n + b"e" * n
    dicts = b"d1:a" * n + b"i1e" + b"e" * n
    calls = {
        "bdecode-lists": lambda: vorlaken.bdecode(lists),
        "decode_list": lambda: vorlaken.decode_list(lists, 0),
        "bdecode-dicts": lambda: vorlaken.bdecode(dicts),
        "decode_dict": lambda: vorlaken.decode_dict(dicts, 0),
    }
    out = {}
    for name, call in calls.items():
        try:
            call()
            out[name] = "returned"
        except BaseException as e:
            out[name] = type(e).__name__ + ": " + str(e)
    return out
"""


def _all_recursion_errors(outcomes):
    return all(o.startswith("RecursionError: ") and o.endswith(CALL_SUFFIX) for o in outcomes.values())


def test_nesting_deeper_than_the_native_stack_under_a_raised_limit(run_child):
    # A limit this high is far beyond what the main thread's stack holds;
    # the decoder must stop with RecursionError before the stack runs out.
    got = run_child(DEEP_CALLS + """
import sys
sys.setrecursionlimit(10 ** 6)
report(outcomes=outcomes(10 ** 6))
""")
    assert _all_recursion_errors(got["outcomes"]), got


def test_deep_nesting_on_a_thread_with_a_small_stack(run_child):
    got = run_child(DEEP_CALLS + """
import sys, threading
results = {}

def work(label, limit):
    sys.setrecursionlimit(limit)
    results[label] = outcomes(100000)
    # A Python reader between the levels uses more stack per level.
    real = vorlaken.decode_func[108]
    vorlaken.decode_func[108] = lambda x, f: real(x, f)
    try:
        results[label + "-python-reader"] = vorlaken.bdecode(b"l" * 100000 + b"e" * 100000)
    except RecursionError:
        results[label + "-python-reader"] = "RecursionError"
    finally:
        vorlaken.decode_func[108] = real

threading.stack_size(256 * 1024)
for label, limit in (("default", sys.getrecursionlimit()), ("raised", 10 ** 6)):
    t = threading.Thread(target=work, args=(label, limit))
    t.start()
    t.join()
report(**results)
""")
    assert _all_recursion_errors(got["default"]) and _all_recursion_errors(got["raised"]), got
    assert got["default-python-reader"] == got["raised-python-reader"] == "RecursionError"
