"""decode_int and decode_string: the scalar token readers.

The readers lean on Python's own int() for digits and on bytes.index() for
finding the terminator, and add only a few refusals of their own (leading
zero, negative zero, negative string length).  Those refusals are ValueError
with no arguments; the tables below keep them apart from the int() and
bytes.index() ValueErrors, whose messages must come through untouched.
"""

import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st

import vorlaken
from support import raised

INT64_MAX = 2 ** 63 - 1
INT32_MIN, INT32_MAX = -2 ** 31, 2 ** 31 - 1


def ok(*result):
    return ("ok", result)


def refused():
    """The readers' own refusal: ValueError without a message."""
    return ("raises", ValueError, ())


def int_error(digits):
    """What int() says about the digits slice."""
    e = raised(lambda: int(digits))
    return ("raises", type(e), e.args)


def search_error():
    """What bytes.index says when the terminator is absent."""
    e = raised(lambda: b"".index(b"e"))
    return ("raises", type(e), e.args)


def index_error():
    """What bytes item access says for an offset outside the input."""
    e = raised(lambda: b""[0])
    return ("raises", type(e), e.args)


def overflow():
    # The wording is the interpreter's and not part of the contract.
    return ("raises", OverflowError, None)


def check(reader_name, x, f, expected, entries):
    fn = getattr(vorlaken, reader_name)
    if expected[0] == "ok":
        result = fn(x, f)
        assert type(result) is tuple
        assert result == expected[1]
        value_type = int if reader_name == "decode_int" else bytes
        assert type(result[0]) is value_type
        assert type(result[1]) is int
        return
    _, error, args = expected
    with pytest.raises(Exception) as e:
        fn(x, f)
    assert type(e.value) is error
    if args is not None:
        assert e.value.args == args
    assert entries(e.value) == ["vorlaken." + reader_name]


TWENTY_NINES = b"9" * 20

INT_CASES = [
    pytest.param(b"i42e", 0, ok(42, 4), id="positive"),
    pytest.param(b"i-42e", 0, ok(-42, 5), id="negative"),
    pytest.param(b"i0e", 0, ok(0, 3), id="zero"),
    pytest.param(b"li5ee", 1, ok(5, 4), id="inside-a-list"),
    pytest.param(b"x7e", 0, ok(7, 3), id="byte-at-f-not-examined"),
    pytest.param(b"i" + TWENTY_NINES + b"e", 0, ok(10 ** 20 - 1, 22), id="no-width-limit"),
    pytest.param(b"i-" + TWENTY_NINES + b"e", 0, ok(-(10 ** 20 - 1), 23), id="no-width-limit-negative"),
    # int() leniency passes through: sign, surrounding whitespace, underscores.
    pytest.param(b"i+3e", 0, ok(3, 4), id="plus-sign"),
    pytest.param(b"i+0e", 0, ok(0, 4), id="plus-zero"),
    pytest.param(b"i3 e", 0, ok(3, 4), id="trailing-space"),
    pytest.param(b"i 3 e", 0, ok(3, 5), id="spaces-around"),
    pytest.param(b"i\t7\n\x0b\x0c\re", 0, ok(7, 8), id="ascii-whitespace"),
    pytest.param(b"i1_000e", 0, ok(1000, 7), id="underscores"),
    # The zero rules look only at the first byte of the body.
    pytest.param(b"i 03e", 0, ok(3, 5), id="space-hides-leading-zero"),
    pytest.param(b"i+03e", 0, ok(3, 5), id="plus-hides-leading-zero"),
    # Negative f counts from the end.
    pytest.param(b"7e", -3, ok(7, 2), id="negative-f"),
    pytest.param(b"0e", -1, ok(0, 2), id="negative-f-zero"),

    pytest.param(b"i-0e", 0, refused(), id="negative-zero"),
    pytest.param(b"i-05e", 0, refused(), id="negative-leading-zero"),
    pytest.param(b"i-0 e", 0, refused(), id="negative-zero-space"),
    pytest.param(b"i03e", 0, refused(), id="leading-zero"),
    pytest.param(b"i00e", 0, refused(), id="double-zero"),
    pytest.param(b"i0 e", 0, refused(), id="zero-then-space"),
    # "Directly behind" compares the found offset with f + 2 as given, so
    # the same token read through a negative f is refused.
    pytest.param(b"0e", -3, refused(), id="zero-rule-uses-raw-offset"),

    # int() fails before the zero rules run, with its own message.
    pytest.param(b"ie", 0, int_error(b""), id="empty-body"),
    pytest.param(b"i-e", 0, int_error(b"-"), id="lone-minus"),
    pytest.param(b"i+e", 0, int_error(b"+"), id="lone-plus"),
    pytest.param(b"i- 3e", 0, int_error(b"- 3"), id="space-after-sign"),
    pytest.param(b"i--1e", 0, int_error(b"--1"), id="double-sign"),
    pytest.param(b"i1\x002e", 0, int_error(b"1\x002"), id="embedded-nul"),
    pytest.param(b"i3.0e", 0, int_error(b"3.0"), id="decimal-point"),
    pytest.param(b"ixe", 0, int_error(b"x"), id="letter"),
    # The search is not confined to the token: it runs on to the next "e".
    pytest.param(b"i1 2:abe", 0, int_error(b"1 2:ab"), id="search-runs-on"),
    # int()'s own digit limit applies too.
    pytest.param(b"i" + b"1" * 5000 + b"e", 0, int_error(b"1" * 5000), id="int-digit-limit"),

    pytest.param(b"i12", 0, search_error(), id="no-terminator"),
    pytest.param(b"i1e", 3, search_error(), id="start-at-end"),
    pytest.param(b"e", 0, search_error(), id="start-past-only-e"),
    pytest.param(b"", 0, search_error(), id="empty-input"),
    # f + 1 and f + 2 are formed without wrapping around.
    pytest.param(b"i1e", INT32_MAX, search_error(), id="f-at-int32-max"),
    pytest.param(b"i1e", INT32_MAX - 1, search_error(), id="f-below-int32-max"),

    # The search clamps a negative start to 0, int() succeeds on the
    # clamped slice, and only the item access notices.
    pytest.param(b"12e", -10, index_error(), id="f-before-start"),
    pytest.param(b"12e", INT32_MIN, index_error(), id="f-at-int32-min"),
]


@pytest.mark.parametrize("x, f, expected", INT_CASES)
def test_decode_int(entries, x, f, expected):
    check("decode_int", x, f, expected, entries)


STRING_CASES = [
    pytest.param(b"4:spam", 0, ok(b"spam", 6), id="plain"),
    pytest.param(b"0:", 0, ok(b"", 2), id="empty"),
    pytest.param(b"3:abcdef", 0, ok(b"abc", 5), id="takes-only-length"),
    pytest.param(b"2:a:b:", 0, ok(b"a:", 4), id="colon-in-value"),
    pytest.param(b"d3:fooe", 1, ok(b"foo", 6), id="inside-a-dict"),
    pytest.param(b"x2:ab", -4, ok(b"ab", 5), id="negative-f"),
    pytest.param(b"1:", -2, ok(b"", 3), id="negative-f-at-start"),
    # A declared length past the end gives the remainder and an offset past
    # the end; the callers notice, not the reader.
    pytest.param(b"10:abc", 0, ok(b"abc", 13), id="short-value"),
    pytest.param(b"3 :abc", 0, ok(b"abc", 6), id="space-before-colon"),
    pytest.param(b" 2:ab", 0, ok(b"ab", 5), id="space-before-length"),
    pytest.param(b" 03:abc", 0, ok(b"abc", 7), id="space-hides-leading-zero"),
    pytest.param(b"+2:ab", 0, ok(b"ab", 5), id="plus-sign"),
    pytest.param(b"-0:", 0, ok(b"", 3), id="minus-zero-is-zero"),
    # The largest end offset that still fits a 64-bit index.
    pytest.param(str(INT64_MAX - 20).encode() + b":a", 0, ok(b"a", INT64_MAX), id="end-at-int64-max"),

    pytest.param(b"03:abc", 0, refused(), id="leading-zero"),
    pytest.param(b"00:", 0, refused(), id="double-zero"),
    pytest.param(b"0:", -2, refused(), id="zero-rule-uses-raw-offset"),
    # A negative length would hand back an offset before the token, and a
    # dictionary read would loop for ever: in b'd1:ai0e-6:' the key at 7
    # would send the reader back to the value i0e at 4, and on to 7 again.
    pytest.param(b"-3:abc", 0, refused(), id="negative-length"),
    pytest.param(b" -3:abc", 0, refused(), id="negative-length-after-space"),
    pytest.param(b"-1:", 0, refused(), id="minus-one"),
    pytest.param(b"d1:ai0e-6:", 7, refused(), id="negative-length-key"),
    pytest.param(b"-" + TWENTY_NINES + b":a", 0, refused(), id="huge-negative-length"),

    pytest.param(b":abc", 0, int_error(b""), id="empty-length"),
    pytest.param(b"x:", 0, int_error(b"x"), id="letter"),
    pytest.param(b"-:", 0, int_error(b"-"), id="lone-minus"),
    pytest.param(b"- 1:a", 0, int_error(b"- 1"), id="space-after-sign"),
    pytest.param(b"1\x00:a", 0, int_error(b"1\x00"), id="embedded-nul"),

    pytest.param(b"3abc", 0, search_error(), id="no-colon"),
    # A lone digit at the very end: the short-length reading must not take what
    # lies past the input for a colon.
    pytest.param(b"0", 0, search_error(), id="lone-digit-at-end"),
    pytest.param(b"l9", 1, search_error(), id="lone-digit-at-end-inside"),
    pytest.param(b"1:a", 2, search_error(), id="start-past-colon"),
    pytest.param(b"", 0, search_error(), id="empty-input"),
    pytest.param(b"1:a", INT32_MAX, search_error(), id="f-at-int32-max"),

    pytest.param(b"12:", -10, index_error(), id="f-before-start"),
    pytest.param(b"12:", INT32_MIN, index_error(), id="f-at-int32-min"),

    pytest.param(TWENTY_NINES + b":a", 0, overflow(), id="twenty-nines"),
    pytest.param(str(INT64_MAX - 19).encode() + b":a", 0, overflow(), id="end-one-past-int64-max"),
]


@pytest.mark.parametrize("x, f, expected", STRING_CASES)
def test_decode_string(entries, x, f, expected):
    check("decode_string", x, f, expected, entries)


def test_decoded_string_is_a_new_bytes_slice():
    x = b"3:abc"
    value, end = vorlaken.decode_string(x, 0)
    assert type(value) is bytes and value == b"abc" and end == 5
    assert x == b"3:abc"


# --- reference model -------------------------------------------------------
# A straightforward Python rendering of how the readers are meant to work.

def model_decode_int(x, f):
    s = f + 1
    new_f = x.index(b"e", s)
    n = int(x[s:new_f])
    b0 = x[s]
    if b0 == ord("-"):
        if x[s + 1] == ord("0"):
            raise ValueError()
    elif b0 == ord("0") and new_f != s + 1:
        raise ValueError()
    return (n, new_f + 1)


def model_decode_string(x, f):
    colon = x.index(b":", f)
    n = int(x[f:colon])
    if x[f] == ord("0") and colon != f + 1:
        raise ValueError()
    if n < 0:
        raise ValueError()
    colon += 1
    end = colon + n
    if not (-INT64_MAX - 1 <= colon <= INT64_MAX and -INT64_MAX - 1 <= end <= INT64_MAX):
        raise OverflowError()
    return (x[colon:end], end)


MODELS = {"decode_int": model_decode_int, "decode_string": model_decode_string}


def outcome(fn, x, f):
    try:
        result = fn(x, f)
    except Exception as e:
        return ("raises", type(e), None if isinstance(e, OverflowError) else e.args)
    return ("ok", type(result), result, [type(v) for v in result])


def _bytes_of(alphabet, max_size):
    return st.lists(st.sampled_from(list(alphabet)), max_size=max_size).map(bytes)


# Random bytes rarely spell out the interesting tokens, so half of the inputs
# are built token-shaped: marker, whitespace, sign, digits, terminator.
_token_bytes = _bytes_of(b"0123456789+- \t:eix\x00", 12)
_tokenish = st.builds(
    lambda *parts: b"".join(parts),
    _bytes_of(b"0:ei-", 2),
    st.sampled_from([b"", b"i", b"d"]),
    st.sampled_from([b"", b" ", b"\t"]),
    st.sampled_from([b"", b"-", b"+", b"--"]),
    st.sampled_from([
        b"", b"0", b"00", b"05", b"7", b"12", b"1_0", b"9" * 19, TWENTY_NINES,
        str(INT64_MAX - 21).encode(), str(INT64_MAX - 20).encode(), str(INT64_MAX - 19).encode(),
    ]),
    st.sampled_from([b"", b" "]),
    st.sampled_from([b"", b"e", b":", b"e:", b":e"]),
    _bytes_of(b"0123456789-:eab", 4),
)
inputs = _token_bytes | _tokenish
offsets = st.integers(-16, 16) | st.sampled_from([INT32_MIN, INT32_MIN + 1, INT32_MAX - 1, INT32_MAX])


@pytest.mark.parametrize("name", sorted(MODELS))
@settings(max_examples=1500, deadline=None)
@given(x=inputs, f=offsets)
@example(x=b"0e", f=-3)
@example(x=b"0:", f=-2)
@example(x=b"d1:ai0e-6:", f=7)
@example(x=b"-0:", f=0)
def test_readers_match_reference_model(name, x, f):
    assert outcome(getattr(vorlaken, name), x, f) == outcome(MODELS[name], x, f)


def test_readers_ignore_rebound_module_globals(monkeypatch):
    # The terminators are fixed constants, not the END_CHAR global that a
    # caller may rebind.
    monkeypatch.setattr(vorlaken, "END_CHAR", ord(":"))
    monkeypatch.setattr(vorlaken, "IS_PY2", True)
    assert vorlaken.decode_int(b"i42e", 0) == (42, 4)
    assert vorlaken.decode_string(b"2:e:", 0) == (b"e:", 4)
