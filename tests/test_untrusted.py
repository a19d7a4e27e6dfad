"""Decoding input from the network: what it costs and what it raises.

Cost is measured by what cannot jitter: bytes allocated, traced by tracemalloc, and machine
instructions, counted by valgrind's callgrind in a child process.
"""

import os
import re
import shutil
import subprocess
import sys
import tracemalloc

import pytest
import vorlaken


def peak_allocation(action):
    tracemalloc.start()
    try:
        try:
            action()
        except Exception:
            pass
        return tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()


# Inputs that declare far more than they hold: each fails at once, whatever it claims, and
# allocates no more than a few small objects.
@pytest.mark.parametrize("data, raised", [
    (b"10000000000:abc", vorlaken.BTFailure),
    (b"l10000000000:abce", OverflowError),
    (b"d10000000000:abce", OverflowError),
    (b"d1:a10000000000:abce", OverflowError),
    (b"l2147483630:abce", vorlaken.BTFailure),
    (b"9223372036854775807:a", OverflowError),
    (b"9" * 30 + b":a", OverflowError),
    (b"i" + b"1" * 5000 + b"e", vorlaken.BTFailure),
])
def test_lying_input_fails_without_allocating(data, raised):
    with pytest.raises(raised):
        vorlaken.bdecode(data)
    assert peak_allocation(lambda: vorlaken.bdecode(data)) < 64 * 1024


# Nesting stops at the recursion limit, so what it costs is bounded by the limit, not by the
# length of the input.
@pytest.mark.parametrize("unit", [b"l", b"d1:a"])
def test_deep_input_costs_what_the_recursion_limit_allows(unit):
    peaks = []
    for n in (10_000, 1_000_000):
        data = unit * n
        with pytest.raises(RecursionError):
            vorlaken.bdecode(data)
        peaks.append(peak_allocation(lambda: vorlaken.bdecode(data)))
    assert peaks[1] < 1.1 * peaks[0]


# Token runs: an opening, a unit repeated, a closing.
SHAPES = {
    "small integers": (b"l", b"i7e", b"e"),
    "dictionaries": (b"l", b"d1:ai1e1:bl1:xee", b"e"),
    "unterminated": (b"l", b"2:ab", b""),
}


def build(shape, n):
    opening, unit, closing = SHAPES[shape]
    return opening + unit * n + closing


@pytest.mark.parametrize("shape", SHAPES)
def test_memory_grows_linearly_with_the_input(shape):
    small, large = build(shape, 20_000), build(shape, 80_000)
    ratio = peak_allocation(lambda: vorlaken.bdecode(large)) / peak_allocation(
        lambda: vorlaken.bdecode(small)
    )
    assert 3 < ratio < 5


def instructions(shape, n):
    """Instructions a child interpreter executes to build the input and decode it."""
    opening, unit, closing = SHAPES[shape]
    code = (
        "import vorlaken\n"
        f"x = {opening!r} + {unit!r} * {n} + {closing!r}\n"
        "try:\n"
        "    vorlaken.bdecode(x)\n"
        "except vorlaken.BTFailure:\n"
        "    pass\n"
    )
    proc = subprocess.run(
        ["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", sys.executable, "-c", code],
        capture_output=True,
        text=True,
        timeout=600,
        env=dict(os.environ, PYTHONHASHSEED="0"),
    )
    assert proc.returncode == 0, proc.stderr[-3000:]
    return int(re.search(r"Collected : (\d+)", proc.stderr).group(1))


@pytest.fixture(scope="module")
def instruction_counts():
    if shutil.which("valgrind") is None:
        pytest.skip("valgrind counts the instructions")
    if "asan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("valgrind cannot run a process under AddressSanitizer")
    if hasattr(sys, "gettotalrefcount"):
        pytest.skip("the release build's instructions are the ones that count")
    return instructions


@pytest.mark.parametrize("shape", SHAPES)
def test_time_grows_linearly_with_the_input(instruction_counts, shape):
    # A quarter of a megabyte and a megabyte of small tokens, less what the child spends on
    # anything but decoding. Quadratic work would make the ratio 16.
    n = (256 * 1024) // len(SHAPES[shape][1])
    base = instruction_counts(shape, 0)
    quarter = instruction_counts(shape, n) - base
    whole = instruction_counts(shape, 4 * n) - base
    assert 3 < whole / quarter < 5.5
