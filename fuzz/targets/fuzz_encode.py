"""bencode of values built from the fuzz bytes, compared with the model; every encoding must
decode to the value's normal form and be canonical. Some values are encoded with Python
stand-ins for the module's writers, dispatcher or table.

The bytes are a small stack program: each byte picks an operation (push a scalar, wrap items
into a container, swap in a subclass, nest deeply...) and the following bytes are its operands.
"""

import sys
from collections import OrderedDict

import model
import vorlaken
from compare import ENCODING_STAND_INS, Mismatch, compare, outcome, pick, room, same, standing_in


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


# Duplicated references let a short program describe an exponentially large value; the
# program stops growing its values past this many units of output in all.
MAX_SIZE = 20_000


def size_of(value):
    if isinstance(value, int):
        return 2 + value.bit_length() // 3
    if isinstance(value, (bytes, str)):
        return 2 + len(value)
    return 1


def build(data):
    program = Program(data)
    stack, sizes = [], []

    def push(value, size):
        if sum(sizes) + size <= MAX_SIZE:
            stack.append(value)
            sizes.append(size)

    def pop(n):
        n = min(n, len(stack))
        items, total = stack[len(stack) - n :], sum(sizes[len(sizes) - n :])
        del stack[len(stack) - n :], sizes[len(sizes) - n :]
        return items, total

    while program.more():
        op = program.byte() % 15
        if op == 0:
            value = program.byte() - 128
        elif op == 1:
            value = int.from_bytes(program.take(8), "little", signed=True)
        elif op == 2:
            bits = int.from_bytes(program.take(2), "little") % 16000
            value = (1 << bits) - program.byte()
            value = -value if bits & 1 else value
        elif op == 3:
            value = program.take(program.byte() % 40)
        elif op == 4:
            n = program.byte() % 12
            value = "".join(chr(int.from_bytes(program.take(2), "little")) for _ in range(n))
        elif op == 5:
            value = bool(program.byte() & 1)
        elif op in (6, 7):
            items, total = pop(program.byte() % 8)
            push(items if op == 6 else tuple(items), total + 2)
            continue
        elif op in (8, 9):
            items, total = pop(2 * (program.byte() % 6))
            pairs = [(hashable(items[i]), items[i + 1]) for i in range(0, len(items) - 1, 2)]
            push(dict(pairs) if op == 8 else OrderedDict(pairs), total + 2)
            continue
        elif op == 10 and stack:
            subclass = SUBCLASSES.get(type(stack[-1]))
            if subclass is not None:
                stack[-1] = subclass(stack[-1])
            continue
        elif op == 11:
            value = STRANGERS[program.byte() % len(STRANGERS)]
        elif op == 12 and stack:
            push(stack[-1], sizes[-1])
            continue
        elif op == 13:
            value = program.take(program.byte() % 16).decode("utf-8", "replace")
        elif op == 14 and stack:
            # Mostly shallow, now and then deep enough to reach the recursion limit.
            depth = program.byte()
            depth = depth if depth >= 240 else depth % 24
            if sum(sizes) + 2 * depth <= MAX_SIZE:
                for _ in range(depth):
                    stack[-1] = [stack[-1]]
                sizes[-1] += 2 * depth
            continue
        else:
            continue
        push(value, size_of(value))
    if len(stack) == 1:
        return stack[0]
    return stack


def check(data):
    old = sys.get_int_max_str_digits()
    value = build(data)
    _, levels, install = pick(ENCODING_STAND_INS, data)
    with standing_in(install):
        got = compare(vorlaken.bencode, model.bencode, (value,), levels_per_depth=levels)
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
