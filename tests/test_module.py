"""The module object, its namespace after start-up and its function objects."""

import builtins
import collections
import sys
import types

import pytest

import vorlaken

FUNCTIONS = [
    "decode_int", "decode_string", "decode_list", "decode_dict", "bdecode",
    "encode", "encode_int", "encode_bool", "encode_string", "encode_list", "encode_dict",
    "bencode",
]


def test_namespace_is_bound_in_start_up_order(interpreter_attrs, own_names):
    names = list(vars(vorlaken))
    head = len(interpreter_attrs)
    assert names[:head] == interpreter_attrs
    assert names[head:head + len(own_names)] == own_names
    # Whatever the import system adds comes after the module's own globals.
    rest = names[head + len(own_names):]
    assert "__file__" in rest
    assert not set(rest) & set(own_names)


def test_module_constants():
    ns = vars(vorlaken)
    assert ns["__name__"] == "vorlaken"
    assert ns["__doc__"] is None
    assert ns["__builtins__"] is builtins
    assert type(ns["__version__"]) is str and ns["__version__"] == "1.0.0"
    assert ns["sys"] is sys
    assert ns["IS_PY2"] is False
    # The code of "e", not a str or bytes.
    assert type(ns["END_CHAR"]) is int and ns["END_CHAR"] == 101
    assert ns["OrderedDict"] is collections.OrderedDict
    assert type(ns["__test__"]) is dict and ns["__test__"] == {}


def test_btfailure_is_a_plain_exception_subclass():
    cls = vorlaken.BTFailure
    assert type(cls) is type
    assert cls.__bases__ == (Exception,)
    assert cls.__name__ == "BTFailure"
    assert cls.__qualname__ == "BTFailure"
    assert cls.__module__ == "vorlaken"
    # No docstring of its own, and nothing else in its body: its class dict
    # must look like the one of an empty class statement.
    assert cls.__doc__ is None
    empty = type("BTFailure", (Exception,), {"__module__": "vorlaken", "__qualname__": "BTFailure"})
    assert sorted(vars(cls)) == sorted(vars(empty))

    with pytest.raises(cls) as e:
        raise cls("not a valid bencoded string")
    assert e.value.args == ("not a valid bencoded string",)
    assert str(e.value) == "not a valid bencoded string"


@pytest.mark.parametrize("name", FUNCTIONS)
def test_function_objects(name):
    fn = getattr(vorlaken, name)
    assert type(fn) is types.BuiltinFunctionType
    assert fn.__name__ == name
    assert fn.__module__ == "vorlaken"
    assert fn.__doc__ is None
    # Created without a bound self: not a method of the module object.
    assert fn.__self__ is None


@pytest.mark.parametrize("call", [
    lambda: vorlaken.decode_int(b"i03e", 0),
    lambda: vorlaken.decode_int(b"i-0e", 0),
    lambda: vorlaken.decode_string(b"03:abc", 0),
    lambda: vorlaken.decode_string(b"-1:", 0),
], ids=["leading-zero-int", "negative-zero", "leading-zero-length", "negative-length"])
def test_reader_refusals_ignore_rebound_builtin_value_error(monkeypatch, call):
    # ValueError is captured at start-up; rebinding the builtin name later
    # must not change the class the readers raise.
    real = ValueError

    class Impostor(Exception):
        pass

    monkeypatch.setattr(builtins, "ValueError", Impostor)
    try:
        call()
    except BaseException as exc:
        caught = exc
    else:
        caught = None
    monkeypatch.undo()
    assert type(caught) is real
    assert caught.args == ()


def test_reader_table_and_its_loop_leftovers():
    table = vorlaken.decode_func
    assert type(table) is dict
    assert list(table) == [108, 100, 105] + list(range(48, 58))
    assert table[108] is vorlaken.decode_list
    assert table[100] is vorlaken.decode_dict
    assert table[105] is vorlaken.decode_int
    assert all(table[k] is vorlaken.decode_string for k in range(48, 58))
    assert vorlaken.func is vorlaken.decode_string
    assert vorlaken.keys == [str(i) for i in range(10)]
    assert vorlaken.key == "9"


def test_writer_table():
    table = vorlaken.encode_func
    assert type(table) is dict
    assert list(table.items()) == [
        (int, vorlaken.encode_int),
        (bytes, vorlaken.encode_string),
        (str, vorlaken.encode_string),
        (list, vorlaken.encode_list),
        (tuple, vorlaken.encode_list),
        (dict, vorlaken.encode_dict),
        (collections.OrderedDict, vorlaken.encode_dict),
        (bool, vorlaken.encode_bool),
    ]
    # The values are the function objects themselves, not their names.
    assert all(type(w) is types.BuiltinFunctionType for w in table.values())


def test_tables_keep_the_functions_bound_at_start_up(monkeypatch):
    originals = dict(vorlaken.decode_func), dict(vorlaken.encode_func)
    for name in FUNCTIONS:
        monkeypatch.setattr(vorlaken, name, lambda *a: None)
    assert (vorlaken.decode_func, vorlaken.encode_func) == originals
