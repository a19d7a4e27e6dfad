"""A short tour of the token readers: each takes the input and the offset of a token and
returns the decoded value with the offset just after the token."""

import vorlaken

data = b"i42e4:spami-7e"
value, offset = vorlaken.decode_int(data, 0)
print(f"decode_int(data, 0)    -> {value!r}, next offset {offset}")
text, offset = vorlaken.decode_string(data, offset)
print(f"decode_string(data, 4) -> {text!r}, next offset {offset}")
value, offset = vorlaken.decode_int(data, offset)
print(f"decode_int(data, 10)   -> {value!r}, next offset {offset}")

for bad in (b"i03e", b"i-0e"):
    try:
        vorlaken.decode_int(bad, 0)
    except ValueError as e:
        print(f"decode_int({bad!r}, 0) refused: ValueError{e.args}")
