"""What every part of the tool shares: its one kind of refusal, and room to recurse."""

import contextlib
import sys


class Failure(Exception):
    """A problem with the input or the arguments: reported as one line, exit status 2."""


@contextlib.contextmanager
def deeper():
    """Room for the steps after decoding, which need more of the recursion limit than it did.

    Decoding costs one level of the limit per level of nesting, encoding two, and the JSON
    conversions one or two more. Whatever was read under the usual limit is at most that deep,
    so a few times the limit is enough for the rest and keeps the native stack small.
    """
    old = sys.getrecursionlimit()
    sys.setrecursionlimit(old * 4)
    try:
        yield
    finally:
        sys.setrecursionlimit(old)
