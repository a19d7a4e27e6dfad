# Wrong uses of the vorlaken module: the type checkers must report each line marked "wrong",
# and nothing else.
import vorlaken

vorlaken.bdecode("le")  # wrong: text, not bytes
vorlaken.bdecode(x=b"le")  # wrong: bdecode takes its argument by position only
vorlaken.decode_int(b"i1e")  # wrong: the offset is missing
vorlaken.decode_string(b"1:a", "0")  # wrong: the offset is not an integer
vorlaken.encode_int(1, ())  # wrong: the piece list must be a list
text: str = vorlaken.bencode(1)  # wrong: bencode returns bytes
vorlaken.encode_string(1, [])  # wrong: only text and bytes are byte strings
vorlaken.decode_func["i"] = vorlaken.decode_int  # wrong: the table's keys are byte values
vorlaken.no_such_function()  # wrong: the module has no such attribute
offset: str = vorlaken.decode_list(b"le", 0)[1]  # wrong: offsets are integers
