"""Argument binding, integer conversion and type testing of the readers.

Every positional-or-keyword function goes through the same layer: bind the
arguments to (x, f), convert f to a 32-bit signed integer, test that x is
exactly bytes (or None), and only then run the body.  The messages carry the
function's own name, so every table here runs against each reader.
"""

import decimal

import pytest

import vorlaken
from support import HasInt, IndexOnly, MyBytes, MyList, RaisesInInt

TAKES = "{name}() takes exactly 2 positional arguments ({n} given)"
MULTIPLE = "{name}() got multiple values for keyword argument '{kw}'"
UNEXPECTED = "{name}() got an unexpected keyword argument '{kw}'"
NOT_STR = "{name}() keywords must be strings"
NOT_INTEGER = "an integer is required"
WRONG_TYPE = "Argument 'x' has incorrect type (expected bytes, got {tname})"


class Key(str):
    """A str subclass: keyword names of this type still bind."""


class OddInt(int):
    """An int whose __int__ disagrees with its value: the value must win."""

    def __int__(self):
        return 99


class TruncOnly:
    def __trunc__(self):
        return 1


class Reader:
    """A reader with calls whose result depends on the exact value of f.

    ``x`` read at ``f`` (a positive offset) and ``neg_x`` read at ``neg_f``
    (a negative one) succeed; the neighbouring offsets fail, so a wrongly
    converted f shows up as a different outcome.
    """

    def __init__(self, name, x, f, result, neg_x, neg_f, neg_result):
        self.name = name
        self.fn = getattr(vorlaken, name)
        self.x, self.f, self.result = x, f, result
        self.neg_x, self.neg_f, self.neg_result = neg_x, neg_f, neg_result


READERS = {
    "decode_int": Reader("decode_int", b"xi12e", 1, (12, 5), b"7e", -3, (7, 2)),
    "decode_string": Reader("decode_string", b"x1:a", 1, (b"a", 4), b"1:", -2, (b"", 3)),
}


@pytest.fixture(params=sorted(READERS))
def reader(request):
    return READERS[request.param]


def call(fn, args, kwargs):
    # kwargs None means the call passes no keyword dictionary at all, which
    # is a different path through the binding than an empty one.
    if kwargs is None:
        return fn(*args)
    return fn(*args, **kwargs)


# --- binding ---------------------------------------------------------------

BINDING_ERRORS = [
    # No keyword dictionary: only the positional count matters.
    pytest.param((), None, TAKES, {"n": 0}, id="nothing"),
    pytest.param((b"",), None, TAKES, {"n": 1}, id="one-positional"),
    pytest.param((b"", 0, 0), None, TAKES, {"n": 3}, id="three-positional"),
    # An empty dictionary is present but changes nothing.
    pytest.param((), {}, TAKES, {"n": 0}, id="nothing-empty-dict"),
    pytest.param((b"",), {}, TAKES, {"n": 1}, id="one-positional-empty-dict"),
    pytest.param((b"", 0, 0), {}, TAKES, {"n": 3}, id="three-positional-empty-dict"),
    pytest.param((b"", 0, 0), {"f": 0}, TAKES, {"n": 3}, id="three-positional-and-f"),
    # A missing parameter is reported with the count of the step that missed
    # it: 0 when x is missing, 1 when f is, however x was given.
    pytest.param((), {"x": b""}, TAKES, {"n": 1}, id="only-x-keyword"),
    pytest.param((), {"f": 0}, TAKES, {"n": 0}, id="only-f-keyword"),
    pytest.param((), {"y": 1}, TAKES, {"n": 0}, id="only-unknown-keyword"),
    pytest.param((b"",), {"x": b""}, TAKES, {"n": 1}, id="x-twice-f-missing"),
    pytest.param((b"",), {"y": 1}, TAKES, {"n": 1}, id="x-and-unknown-f-missing"),
    pytest.param((), {1: 2}, TAKES, {"n": 0}, id="non-str-key-x-missing"),
    # Leftover keywords are walked in dictionary order; the first bad entry wins.
    pytest.param((b"", 0), {"x": b""}, MULTIPLE, {"kw": "x"}, id="x-twice"),
    pytest.param((b"", 0), {"f": 0}, MULTIPLE, {"kw": "f"}, id="f-twice"),
    pytest.param((b"",), {"f": 0, "x": b""}, MULTIPLE, {"kw": "x"}, id="x-twice-with-f-keyword"),
    pytest.param((b"", 0), {Key("x"): 1}, MULTIPLE, {"kw": "x"}, id="x-twice-str-subclass"),
    pytest.param((b"",), {"y": 1, "f": 0}, UNEXPECTED, {"kw": "y"}, id="unknown-before-f"),
    pytest.param((b"",), {"f": 0, "y": 1}, UNEXPECTED, {"kw": "y"}, id="unknown-after-f"),
    pytest.param((b"", 0), {"y": 1}, UNEXPECTED, {"kw": "y"}, id="unknown-after-both"),
    pytest.param((b"", 0), {"F": 1}, UNEXPECTED, {"kw": "F"}, id="names-are-case-sensitive"),
    pytest.param((b"", 0), {Key("y"): 1}, UNEXPECTED, {"kw": "y"}, id="unknown-str-subclass"),
    # Parameters filled by keyword pass the walk; only the stray one fails.
    pytest.param((), {"x": b"", "f": 0, "y": 1}, UNEXPECTED, {"kw": "y"}, id="all-keywords-plus-unknown"),
    pytest.param((b"", 0), {"x": b"", "y": 1}, MULTIPLE, {"kw": "x"}, id="multiple-before-unknown"),
    pytest.param((b"", 0), {"y": 1, "x": b""}, UNEXPECTED, {"kw": "y"}, id="unknown-before-multiple"),
    # Python hands non-str keys of a ** dictionary straight to the function.
    pytest.param((b"", 0), {1: 2}, NOT_STR, {}, id="non-str-key"),
    pytest.param((b"",), {"f": 0, 1: 2}, NOT_STR, {}, id="non-str-key-after-f"),
    pytest.param((), {"x": b"", "f": 0, 1: 2}, NOT_STR, {}, id="non-str-key-after-both"),
    pytest.param((b"", 0), {"y": 1, 1: 2}, UNEXPECTED, {"kw": "y"}, id="unknown-before-non-str"),
    pytest.param((b"", 0), {1: 2, "y": 1}, NOT_STR, {}, id="non-str-before-unknown"),
    pytest.param((b"", 0), {1: 2, "x": b""}, NOT_STR, {}, id="non-str-before-multiple"),
    pytest.param((b"", 0), {"x": b"", 1: 2}, MULTIPLE, {"kw": "x"}, id="multiple-before-non-str"),
    # Binding runs before the conversion of f and the type test of x.
    pytest.param((bytearray(), "bad", 0), None, TAKES, {"n": 3}, id="count-before-conversion"),
    pytest.param((bytearray(),), {"f": "bad", "y": 1}, UNEXPECTED, {"kw": "y"}, id="keywords-before-conversion"),
]


@pytest.mark.parametrize("args, kwargs, template, fill", BINDING_ERRORS)
def test_binding_errors(reader, entries, args, kwargs, template, fill):
    with pytest.raises(TypeError) as e:
        call(reader.fn, args, kwargs)
    assert type(e.value) is TypeError
    assert str(e.value) == template.format(name=reader.name, **fill)
    assert entries(e.value) == ["vorlaken." + reader.name]


X, F = object(), object()

BINDING_OK = [
    pytest.param((X, F), None, id="positional"),
    pytest.param((X, F), {}, id="positional-empty-dict"),
    pytest.param((X,), {"f": F}, id="f-keyword"),
    pytest.param((), {"x": X, "f": F}, id="both-keywords"),
    pytest.param((), {"f": F, "x": X}, id="both-keywords-reversed"),
    pytest.param((X,), {Key("f"): F}, id="f-str-subclass"),
    pytest.param((), {Key("x"): X, Key("f"): F}, id="both-str-subclass"),
]


@pytest.mark.parametrize("args, kwargs", BINDING_OK)
def test_binding_accepts(reader, args, kwargs):
    fill = {X: reader.x, F: reader.f}
    args = tuple(fill.get(a, a) for a in args)
    if kwargs is not None:
        kwargs = {k: fill.get(v, v) for k, v in kwargs.items()}
    result = call(reader.fn, args, kwargs)
    assert type(result) is tuple
    assert result == reader.result


# --- integer conversion of f -----------------------------------------------

@pytest.mark.parametrize("f", [
    pytest.param(1.9, id="float-truncated"),
    pytest.param(True, id="bool"),
    pytest.param(OddInt(1), id="int-subclass-value-not-its-__int__"),
    pytest.param(HasInt(1), id="__int__"),
    pytest.param(decimal.Decimal("1.9"), id="decimal"),
])
def test_f_converts_to_one(reader, f):
    assert reader.fn(reader.x, f) == reader.result


@pytest.mark.parametrize("make_f", [
    pytest.param(lambda n: n - 0.9, id="float-truncated-toward-zero"),
    pytest.param(lambda n: HasInt(n), id="__int__"),
    pytest.param(lambda n: n, id="int"),
])
def test_negative_f_converts(reader, make_f):
    assert reader.fn(reader.neg_x, make_f(reader.neg_f)) == reader.neg_result


@pytest.mark.parametrize("f", [
    2 ** 31, -2 ** 31 - 1, 2 ** 40, -2 ** 40, 2 ** 64,
    OddInt(2 ** 31),
    HasInt(2 ** 31),
], ids=["2**31", "-2**31-1", "2**40", "-2**40", "2**64", "int-subclass", "__int__"])
def test_f_outside_32_bits_overflows(reader, entries, f):
    with pytest.raises(OverflowError) as e:
        reader.fn(reader.x, f)
    assert entries(e.value) == ["vorlaken." + reader.name]


@pytest.mark.parametrize("f", [
    "x", "1", b"1", None, [1], object(), IndexOnly(), TruncOnly(),
], ids=["str", "digit-str", "bytes", "None", "list", "object", "__index__-only", "__trunc__-only"])
def test_f_without_int_conversion(reader, entries, f):
    with pytest.raises(TypeError) as e:
        reader.fn(reader.x, f)
    assert str(e.value) == NOT_INTEGER
    assert entries(e.value) == ["vorlaken." + reader.name]


@pytest.mark.parametrize("f", [
    float("nan"), float("inf"), float("-inf"),
    HasInt(1.5), HasInt("7"),
    RaisesInInt(),
], ids=["nan", "inf", "-inf", "__int__-float", "__int__-str", "__int__-raises"])
def test_f_conversion_errors_are_the_interpreters(reader, entries, f):
    with pytest.raises(Exception) as expected:
        int(f)
    with pytest.raises(Exception) as e:
        reader.fn(reader.x, f)
    assert type(e.value) is type(expected.value)
    assert e.value.args == expected.value.args
    assert entries(e.value) == ["vorlaken." + reader.name]


@pytest.mark.parametrize("x, f, error, message", [
    (bytearray(b"i1e"), "x", TypeError, NOT_INTEGER),
    (None, "x", TypeError, NOT_INTEGER),
    (MyBytes(b"i1e"), 2 ** 40, OverflowError, None),
    (5, RaisesInInt(), ZeroDivisionError, "from __int__"),
], ids=["bytearray", "None", "bytes-subclass", "int"])
def test_f_is_converted_before_x_is_tested(reader, x, f, error, message):
    with pytest.raises(error) as e:
        reader.fn(x, f)
    assert type(e.value) is error
    if message is not None:
        assert str(e.value) == message


# --- type test of x --------------------------------------------------------

@pytest.mark.parametrize("x, tname", [
    (bytearray(b"i1e"), "bytearray"),
    (MyBytes(b"i1e"), "MyBytes"),
    ("i1e", "str"),
    (memoryview(b"i1e"), "memoryview"),
    (5, "int"),
    ([b"i1e"], "list"),
], ids=["bytearray", "bytes-subclass", "str", "memoryview", "int", "list"])
@pytest.mark.parametrize("by_keyword", [False, True], ids=["positional", "keyword"])
def test_x_must_be_exactly_bytes(reader, entries, x, tname, by_keyword):
    with pytest.raises(TypeError) as e:
        if by_keyword:
            reader.fn(x=x, f=0)
        else:
            reader.fn(x, 0)
    assert str(e.value) == WRONG_TYPE.format(tname=tname)
    # A refused type adds no traceback entry of the module.
    assert entries(e.value) == []


@pytest.mark.parametrize("by_keyword", [False, True], ids=["positional", "keyword"])
def test_none_passes_the_type_test_and_fails_in_the_body(reader, entries, by_keyword):
    with pytest.raises(AttributeError) as expected:
        None.index
    with pytest.raises(AttributeError) as e:
        if by_keyword:
            reader.fn(x=None, f=0)
        else:
            reader.fn(None, 0)
    assert str(e.value) == str(expected.value)
    assert entries(e.value) == ["vorlaken." + reader.name]


class ReentrantInt:
    """An __int__ that calls back into the module and fails there."""

    def __int__(self):
        return vorlaken.decode_int(b"ie", 0)[0]


def test_each_module_call_on_the_way_out_adds_one_entry(reader, entries):
    with pytest.raises(ValueError) as e:
        reader.fn(reader.x, ReentrantInt())
    assert entries(e.value) == ["vorlaken." + reader.name, "vorlaken.decode_int"]


# --- the other functions ---------------------------------------------------

# Parameter names of every positional-or-keyword function besides the readers above.
PARAMETERS = {
    "decode_list": ("x", "f"),
    "decode_dict": ("x", "f"),
    "encode": ("v", "r"),
    "encode_int": ("x", "r"),
    "encode_bool": ("x", "r"),
    "encode_string": ("x", "r"),
    "encode_list": ("x", "r"),
    "encode_dict": ("x", "r"),
}


def renamed(name, kwargs, fill):
    """The reader cases of the binding table, with this function's parameter names."""
    first, second = PARAMETERS[name]
    names = {"x": first, "f": second}

    def rename(key):
        if isinstance(key, str) and key in names:
            return type(key)(names[key])
        return key

    if kwargs is not None:
        kwargs = {rename(k): v for k, v in kwargs.items()}
    return kwargs, {k: rename(v) for k, v in fill.items()}


@pytest.mark.parametrize("name", sorted(PARAMETERS))
@pytest.mark.parametrize("args, kwargs, template, fill", BINDING_ERRORS)
def test_binding_errors_of_every_function(entries, name, args, kwargs, template, fill):
    kwargs, fill = renamed(name, kwargs, fill)
    with pytest.raises(TypeError) as e:
        call(getattr(vorlaken, name), args, kwargs)
    assert str(e.value) == template.format(name=name, **fill)
    assert entries(e.value) == ["vorlaken." + name]


WRITERS = ["encode_int", "encode_bool", "encode_string", "encode_list", "encode_dict"]


@pytest.mark.parametrize("name", WRITERS)
@pytest.mark.parametrize("r, tname", [((), "tuple"), (MyList(), "MyList"), (b"", "bytes")])
@pytest.mark.parametrize("by_keyword", [False, True], ids=["positional", "keyword"])
def test_piece_list_must_be_exactly_a_list(entries, name, r, tname, by_keyword):
    fn = getattr(vorlaken, name)
    with pytest.raises(TypeError) as e:
        fn(x=1, r=r) if by_keyword else fn(1, r)
    assert str(e.value) == f"Argument 'r' has incorrect type (expected list, got {tname})"
    assert entries(e.value) == []
    assert r in ((), b"") or r == []


def test_encode_tests_nothing_itself(entries):
    # encode hands any r on; the writer it picks is the one that refuses it.
    with pytest.raises(TypeError) as e:
        vorlaken.encode(1, ())
    assert str(e.value) == "Argument 'r' has incorrect type (expected list, got tuple)"
    assert entries(e.value) == ["vorlaken.encode"]


@pytest.mark.parametrize("x, error", [
    ("5", TypeError), (IndexOnly(), TypeError), (RaisesInInt(), ZeroDivisionError),
], ids=["str", "__index__-only", "__int__-raises"])
def test_encode_int_converts_x_before_testing_r(entries, x, error):
    with pytest.raises(error) as e:
        vorlaken.encode_int(x, ())
    assert entries(e.value) == ["vorlaken.encode_int"]


@pytest.mark.parametrize("name", ["bdecode", "bencode"])
@pytest.mark.parametrize("args, kwargs", [
    ((), {}), ((b"le", b"le"), {}), ((), {"x": b"le"}), ((b"le",), {"x": b"le"}),
], ids=["none", "two", "keyword", "positional-and-keyword"])
def test_single_argument_functions_use_the_interpreters_binding(entries, name, args, kwargs):
    # len is bound the same way; only the name differs in the message, which the interpreter
    # qualifies with the module's name.
    with pytest.raises(TypeError) as expected:
        len(*args, **kwargs)
    with pytest.raises(TypeError) as e:
        getattr(vorlaken, name)(*args, **kwargs)
    assert str(e.value) == str(expected.value).replace("len", "vorlaken." + name)
    assert entries(e.value) == []


@pytest.mark.parametrize("x, tname", [
    (bytearray(b"le"), "bytearray"), (MyBytes(b"le"), "MyBytes"), ("le", "str"),
])
def test_bdecode_argument_must_be_exactly_bytes(entries, x, tname):
    with pytest.raises(TypeError) as e:
        vorlaken.bdecode(x)
    assert str(e.value) == WRONG_TYPE.format(tname=tname)
    assert entries(e.value) == []
