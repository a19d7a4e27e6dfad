"""Decoding and encoding on many threads while other threads rebind what the module reads.

The rebinding threads swap in stand-ins written in Python (readers, writers, the end marker's
comparison, the mapping class, the dispatcher), so the interpreter switches threads inside the
module's calls. Every stand-in keeps the meaning of what it replaces, so every call must still
give the right answer; the only clean exception allowed is the one for a writer table that
changed size during a walk, which a rebinding thread can cause by design.
"""

import random
import sys
import threading
import time
from collections import OrderedDict

import pytest
import vorlaken

WORKERS = 8
SECONDS = 3.0


class SlowOrderedDict(OrderedDict):
    def __init__(self):
        super().__init__()


class EndMarker:
    """Compares like the end byte, in Python."""

    def __ne__(self, other):
        return other != 101

    def __eq__(self, other):
        return other == 101

    __hash__ = None


class TaggedList(list):
    """Reaches its writer through the table walk."""


def python_reader(reader):
    def read(x, f):
        return reader(x, f)

    return read


def python_writer(writer):
    def write(x, r):
        writer(x, r)

    return write


def shapes(rng):
    """Torrent, tracker and DHT shaped values with their encodings."""
    values = []
    for n in range(12):
        files = [
            {b"length": rng.randrange(1, 2**40), b"path": [b"dir%d" % i, b"file%d.bin" % j]}
            for i in range(rng.randrange(1, 4))
            for j in range(rng.randrange(1, 4))
        ]
        info = {
            b"name": b"torrent-%d" % n,
            b"piece length": 2 ** rng.randrange(14, 24),
            b"pieces": rng.randbytes(20 * rng.randrange(1, 30)),
            b"files": files,
        }
        values.append(
            {
                b"announce": b"http://tracker.example/%d" % n,
                b"announce-list": [[b"udp://a.example:6969"], [b"http://b.example/ann"]],
                b"creation date": 1765368000 + n,
                b"info": info,
            }
        )
        values.append({b"interval": 1800, b"peers": rng.randbytes(6 * rng.randrange(50))})
        values.append(
            {b"t": b"aa", b"y": b"r", b"r": {b"id": rng.randbytes(20), b"values": [rng.randbytes(6)] * 4}}
        )
        values.append(TaggedList([n, -n, b"x" * n, (n, [b"y"])]))
    return [(value, vorlaken.bencode(value)) for value in values]


def normal(value):
    if isinstance(value, (list, tuple)):
        return [normal(v) for v in value]
    if isinstance(value, dict):
        return OrderedDict((k, normal(v)) for k, v in sorted(value.items()))
    return value


SWAP_LOCK = threading.Lock()


def rebinder(rng, stop):
    """Swaps one thing at a time for a Python stand-in, and back.

    The lock keeps two rebinding threads from saving each other's stand-ins as originals.
    """
    ns = vars(vorlaken)
    decode_func = vorlaken.decode_func
    encode_func = vorlaken.encode_func
    original_encode = vorlaken.encode

    def python_encode(v, r):
        return original_encode(v, r)

    swaps = [
        (ns, "END_CHAR", EndMarker()),
        (ns, "OrderedDict", SlowOrderedDict),
        (ns, "encode", python_encode),
        (ns, "decode_string", python_reader(vorlaken.decode_string)),
        (ns, "decode_func", dict(decode_func)),
        (ns, "encode_func", dict(encode_func)),
        (decode_func, ord("i"), python_reader(vorlaken.decode_int)),
        (decode_func, ord("l"), python_reader(vorlaken.decode_list)),
        (decode_func, ord("d"), python_reader(vorlaken.decode_dict)),
        (decode_func, ord("2"), python_reader(vorlaken.decode_string)),
        (encode_func, int, python_writer(vorlaken.encode_int)),
        (encode_func, bytes, python_writer(vorlaken.encode_string)),
        (encode_func, list, python_writer(vorlaken.encode_list)),
        (encode_func, dict, python_writer(vorlaken.encode_dict)),
        # A new key makes walks that are under way see the table change size.
        (encode_func, bytearray, python_writer(vorlaken.encode_string)),
    ]
    while not stop.is_set():
        table, key, stand_in = rng.choice(swaps)
        with SWAP_LOCK:
            had = key in table
            saved = table.get(key)
            table[key] = stand_in
            time.sleep(0)
            if had:
                table[key] = saved
            else:
                del table[key]


def worker(rng, cases, stop, outcome):
    right = allowed = 0
    while not stop.is_set():
        value, encoded = rng.choice(cases)
        try:
            got = vorlaken.bencode(value)
        except RuntimeError as e:
            if str(e) != "dictionary changed size during iteration":
                raise
            allowed += 1
        else:
            assert got == encoded
            right += 1
        decoded = vorlaken.bdecode(encoded)
        assert decoded == normal(value)
        assert isinstance(decoded, dict) == isinstance(value, dict)
        right += 1
    outcome.append((right, allowed))


def run_threads(threads, stop, seconds):
    """Runs the threads for a while, switching between them as often as the interpreter can."""
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        for t in threads:
            t.start()
        stop.wait(seconds)
        stop.set()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(interval)


def test_threads_agree_while_globals_and_tables_are_rebound():
    rng = random.Random(5)
    cases = shapes(rng)
    saved_ns = dict(vars(vorlaken))
    saved_decode = dict(vorlaken.decode_func)
    saved_encode = dict(vorlaken.encode_func)
    stop = threading.Event()
    outcomes, errors = [], []

    def guarded(target, *args):
        def run():
            try:
                target(*args)
            except BaseException as e:  # noqa: BLE001 - reported below
                errors.append(e)
                stop.set()

        return threading.Thread(target=run)

    threads = [guarded(worker, random.Random(i), cases, stop, outcomes) for i in range(WORKERS)]
    threads += [guarded(rebinder, random.Random(100 + i), stop) for i in range(2)]
    run_threads(threads, stop, SECONDS)

    assert not errors, errors
    assert vars(vorlaken) == saved_ns
    assert vorlaken.decode_func == saved_decode
    assert vorlaken.encode_func == saved_encode
    assert len(outcomes) == WORKERS
    assert all(right > 0 for right, _ in outcomes), outcomes


@pytest.mark.parametrize("stand_in", ["raising reader", "missing writer"])
def test_threads_see_clean_failures_from_broken_rebindings(stand_in):
    """A rebinding that breaks decoding or encoding gives exceptions, never wrong values."""
    cases = shapes(random.Random(6))
    stop = threading.Event()
    failures, errors = [], []
    decode_func = vorlaken.decode_func
    encode_func = vorlaken.encode_func

    def broken_reader(x, f):
        raise ValueError("no lists today")

    def breaker():
        while not stop.is_set():
            if stand_in == "raising reader":
                saved = decode_func[ord("l")]
                decode_func[ord("l")] = broken_reader
                time.sleep(0)
                decode_func[ord("l")] = saved
            else:
                saved = encode_func.pop(int)
                time.sleep(0)
                encode_func[int] = saved

    def work(rng):
        try:
            while not stop.is_set():
                value, encoded = rng.choice(cases)
                try:
                    result = vorlaken.bencode(value) if stand_in == "missing writer" else vorlaken.bdecode(encoded)
                except vorlaken.BTFailure as e:
                    failures.append(str(e))
                    continue
                except RuntimeError as e:
                    assert str(e) == "dictionary changed size during iteration"
                    continue
                assert result == (encoded if stand_in == "missing writer" else normal(value))
        except BaseException as e:  # noqa: BLE001 - reported below
            errors.append(e)

    threads = [threading.Thread(target=work, args=(random.Random(i),)) for i in range(WORKERS)]
    threads.append(threading.Thread(target=breaker))
    run_threads(threads, stop, 1.0)
    assert not errors, errors
    expected = {"not a valid bencoded string"} if stand_in == "raising reader" else {
        "Unknown Type: <class 'int'>"
    }
    assert set(failures) <= expected
