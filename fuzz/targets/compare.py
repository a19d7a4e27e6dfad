"""Runs the extension and the model on the same arguments and insists on the same outcome:
the same value, or the same exception with the same arguments and the same context."""

import contextlib
import sys
from collections import OrderedDict

import model
import vorlaken

LIMIT = sys.getrecursionlimit()
# The model spends Python frames where the module spends levels of the recursion limit, so it
# runs with room to spare; the comparison then decides whether a RecursionError was due.
MODEL_LIMIT = 200_000
# Levels of the limit already used by the caller's frames when the module starts.
SLACK = 50


class Mismatch(AssertionError):
    pass


def kind(exc):
    if isinstance(exc, (vorlaken.BTFailure, model.Failure)):
        return "Failure"
    return type(exc)


def outcome(fn, *args):
    try:
        return ("value", fn(*args))
    except RecursionError:
        return ("recursion",)
    except Exception as exc:
        context = exc.__context__
        return (
            "raised",
            kind(exc),
            exc.args,
            None if context is None else kind(context),
            None if context is None else context.args,
        )


def same(a, b):
    if type(a) is not type(b):
        return False
    if isinstance(a, (list, tuple)):
        if len(a) != len(b):
            return False
        for p, q in zip(a, b):
            if not same(p, q):
                return False
        return True
    if isinstance(a, (dict, OrderedDict)):
        return same(list(a.items()), list(b.items()))
    return a == b


@contextlib.contextmanager
def room():
    """Python-level checking of deep values, with the limit raised for its own frames."""
    old = sys.getrecursionlimit()
    sys.setrecursionlimit(MODEL_LIMIT)
    try:
        yield
    finally:
        sys.setrecursionlimit(old)


def run_model(fn, *args):
    with room():
        model.max_depth = 0
        return outcome(fn, *args)


def compare(module_fn, model_fn, args, levels_per_depth=1):
    """Returns the module's outcome once it agrees with the model's."""
    got = outcome(module_fn, *args)
    want = run_model(model_fn, *args)
    needed = model.max_depth * levels_per_depth
    if want[0] == "recursion":
        raise Mismatch("the model itself ran out of recursion")
    if got[0] == "recursion":
        if needed < LIMIT - SLACK:
            raise Mismatch(f"RecursionError at nesting depth {model.max_depth}; model gave {want!r}")
        return got
    with room():
        agree = same(got, want)
    if not agree:
        raise Mismatch(f"module gave {got!r}, model gave {want!r}")
    return got


def check_encodes_back(value):
    """A decoded value encodes to what the model writes, and that decodes to the same value."""
    got = compare(vorlaken.bencode, model.bencode, (value,), levels_per_depth=2)
    if got[0] != "value":
        if got[0] == "recursion":
            return
        raise Mismatch(f"a decoded value does not encode: {got!r}")
    again = outcome(vorlaken.bdecode, got[1])
    with room():
        agree = same(again, ("value", model.normal_form(value)))
    if not agree:
        raise Mismatch(f"decoding the encoding gave {again!r}")


# Stand-ins with the meaning of what they replace, written in Python or of another type, so
# that the module's general paths (calls to a caller's readers and writers, tables that are
# not dicts, an end marker that compares in Python) must agree with the model too. Each is
# (name, levels of the recursion limit per level of nesting, installer).


class Mapping:
    """A table that is no dict: only subscription, membership and items()."""

    def __init__(self, entries):
        self.entries = dict(entries)

    def __getitem__(self, key):
        return self.entries[key]

    def __contains__(self, key):
        return key in self.entries

    def items(self):
        return (pair for pair in list(self.entries.items()))


class EndMarker:
    def __ne__(self, other):
        return other != 101

    def __eq__(self, other):
        return other == 101

    __hash__ = None


def in_python(function):
    def call(a, b):
        return function(a, b)

    return call


def _python_readers():
    vorlaken.decode_func = {k: in_python(v) for k, v in vorlaken.decode_func.items()}
    vorlaken.decode_string = in_python(vorlaken.decode_string)


def _python_writers():
    vorlaken.encode_func = {k: in_python(v) for k, v in vorlaken.encode_func.items()}
    vorlaken.encode = in_python(vorlaken.encode)


DECODING_STAND_INS = [
    ("module's own", 1, None),
    ("readers in Python", 3, _python_readers),
    ("table that is no dict", 1, lambda: setattr(vorlaken, "decode_func", Mapping(vorlaken.decode_func))),
    ("end marker in Python", 1, lambda: setattr(vorlaken, "END_CHAR", EndMarker())),
]
ENCODING_STAND_INS = [
    ("module's own", 2, None),
    ("writers in Python", 5, _python_writers),
    ("table that is no dict", 2, lambda: setattr(vorlaken, "encode_func", Mapping(vorlaken.encode_func))),
]


@contextlib.contextmanager
def standing_in(install):
    namespace = dict(vars(vorlaken))
    if install is not None:
        install()
    try:
        yield
    finally:
        vars(vorlaken).clear()
        vars(vorlaken).update(namespace)


def pick(stand_ins, data):
    """The stand-in for an input, by its length, so that every input always gets the same."""
    return stand_ins[len(data) % len(stand_ins)]
