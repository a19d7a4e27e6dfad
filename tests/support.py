"""Small helpers shared by the test modules."""


def raised(action):
    """The exception that action() raises; the interpreter's own messages come from here."""
    try:
        action()
    except Exception as e:
        return e
    raise AssertionError("expected the action to raise")


def bencoded(v):
    """A model encoder: mappings in their own order, so that tests control key order."""
    if isinstance(v, int):
        return b"i%de" % v
    if isinstance(v, bytes):
        return b"%d:%s" % (len(v), v)
    if isinstance(v, list):
        return b"l" + b"".join(map(bencoded, v)) + b"e"
    return b"d" + b"".join(bencoded(k) + bencoded(x) for k, x in v.items()) + b"e"


class HasInt:
    def __init__(self, value):
        self.value = value

    def __int__(self):
        return self.value


class IndexOnly:
    def __index__(self):
        return 1


class RaisesInInt:
    def __int__(self):
        raise ZeroDivisionError("from __int__")


class MyBytes(bytes):
    pass


class MyList(list):
    pass
