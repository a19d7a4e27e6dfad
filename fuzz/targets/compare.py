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
