"""bdecode of arbitrary bytes, compared with the model; every value it returns must encode
and decode back to itself. Some inputs are decoded with Python stand-ins for the module's
readers, table or end marker."""

import model
import vorlaken
from compare import DECODING_STAND_INS, check_encodes_back, compare, pick, standing_in


def check(data):
    _, levels, install = pick(DECODING_STAND_INS, data)
    with standing_in(install):
        got = compare(vorlaken.bdecode, model.bdecode, (data,), levels_per_depth=levels)
    if got[0] == "value":
        check_encodes_back(got[1])
    elif got[0] == "raised" and got[1] not in ("Failure", OverflowError):
        raise AssertionError(f"bdecode let {got!r} through")
