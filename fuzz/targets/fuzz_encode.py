"""bencode of values built from the fuzz bytes, compared with the model; every encoding must
decode to the value's normal form and be canonical.

The bytes are a small stack program: each byte picks an operation (push a scalar, wrap items
into a container, swap in a subclass, nest deeply...) and the following bytes are its operands.
"""

import sys
from collections import OrderedDict

import model
import vorlaken
from compare import Mismatch, compare, outcome, room, same


class MyInt(int):
    def __str__(self):
        return "not digits"


class MyBytes(bytes):
    pass


class MyStr(str):
    pass


class MyList(list):
    pass


class MyTuple(tuple):
    pass


class MyDict(dict):
    pass


class MyOrderedDict(OrderedDict):
    pass


SUBCLASSES = {
    int: MyInt,
    bytes: MyBytes,
    str: MyStr,
    list: MyList,
    tuple: MyTuple,
    dict: MyDict,
    OrderedDict: MyOrderedDict,
}
STRANGERS = [None, 1.5, bytearray(b"ab"), frozenset(), 2j]


class Program:
    def __init__(self, data):
        self.data = data
        self.pos = 0

    def more(self):
        return self.pos < len(self.data)

    def byte(self):
        if self.pos >= len(self.data):
            return 0
        self.pos += 1
        return self.data[self.pos - 1]

    def take(self, n):
        chunk = self.data[self.pos : self.pos + n]
        self.pos += n
        return chunk


def hashable(value):
    try:
        hash(value)
    except TypeError:
        return b"key"
    return value


def pop(stack, n):
    n = min(n, len(stack))
    items = stack[len(stack) - n :]
    del stack[len(stack) - n :]
    return items


def build(data):
    program = Program(data)
    stack = []
    while program.more():
        op = program.byte() % 15
        if op == 0:
            stack.append(program.byte() - 128)
        elif op == 1:
            stack.append(int.from_bytes(program.take(8), "little", signed=True))
        elif op == 2:
            bits = int.from_bytes(program.take(2), "little") % 16000
            value = (1 << bits) - program.byte()
            stack.append(-value if bits & 1 else value)
        elif op == 3:
            stack.append(program.take(program.byte() % 40))
        elif op == 4:
            n = program.byte() % 12
            stack.append("".join(chr(int.from_bytes(program.take(2), "little")) for _ in range(n)))
        elif op == 5:
            stack.append(bool(program.byte() & 1))
        elif op in (6, 7):
            items = pop(stack, program.byte() % 8)
            stack.append(items if op == 6 else tuple(items))
        elif op in (8, 9):
            items = pop(stack, 2 * (program.byte() % 6))
            pairs = [(hashable(items[i]), items[i + 1]) for i in range(0, len(items) - 1, 2)]
            stack.append(dict(pairs) if op == 8 else OrderedDict(pairs))
        elif op == 10 and stack:
            value = stack[-1]
            subclass = SUBCLASSES.get(type(value))
            if subclass is not None:
                stack[-1] = subclass(value)
        elif op == 11:
            stack.append(STRANGERS[program.byte() % len(STRANGERS)])
        elif op == 12 and stack:
            stack.append(stack[-1])
        elif op == 13:
            stack.append(program.take(program.byte() % 16).decode("utf-8", "replace"))
        elif op == 14 and stack:
            # Mostly shallow, now and then deep enough to reach the recursion limit.
            depth = program.byte()
            for _ in range(depth if depth >= 240 else depth % 24):
                stack[-1] = [stack[-1]]
    if len(stack) == 1:
        return stack[0]
    return stack


def check(data):
    old = sys.get_int_max_str_digits()
    value = build(data)
    got = compare(vorlaken.bencode, model.bencode, (value,), levels_per_depth=2)
    if got[0] != "value":
        return
    encoded = got[1]
    with room():
        decoded = outcome(vorlaken.bdecode, encoded)
        if not same(decoded, ("value", model.normal_form(value))):
            raise Mismatch(f"decoding {encoded!r} gave {decoded!r}")
        if vorlaken.bencode(decoded[1]) != encoded:
            raise Mismatch(f"{encoded!r} is not canonical")
    assert sys.get_int_max_str_digits() == old
