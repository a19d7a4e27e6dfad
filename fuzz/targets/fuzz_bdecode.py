"""bdecode of arbitrary bytes, compared with the model; every value it returns must encode
and decode back to itself."""

import model
import vorlaken
from compare import check_encodes_back, compare


def check(data):
    got = compare(vorlaken.bdecode, model.bdecode, (data,))
    if got[0] == "value":
        check_encodes_back(got[1])
    elif got[0] == "raised" and got[1] not in ("Failure", OverflowError):
        raise AssertionError(f"bdecode let {got!r} through")
