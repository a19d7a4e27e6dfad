"""The four readers called directly, at fuzzed offsets, compared with the model.

The first byte picks the reader and how the offset is given: one byte for offsets near the
start of the input, or four for any 32-bit offset. The rest is the input.
"""

import model
import vorlaken
from compare import check_encodes_back, compare

READERS = [
    (vorlaken.decode_int, model.decode_int),
    (vorlaken.decode_string, model.decode_string),
    (vorlaken.decode_list, model.decode_list),
    (vorlaken.decode_dict, model.decode_dict),
]


def check(data):
    if len(data) < 2:
        return
    module_reader, model_reader = READERS[data[0] & 3]
    if data[0] & 4:
        f = int.from_bytes(data[1:5], "little", signed=True)
        x = data[5:]
    else:
        f = data[1] - 16
        x = data[2:]
    if data[0] & 0xF8 == 0xF8:
        x = None
    got = compare(module_reader, model_reader, (x, f))
    if got[0] == "value":
        value, end = got[1]
        if f >= 0 and not f < end:
            raise AssertionError(f"reader at {f} returned the offset {end}")
        check_encodes_back(value)
