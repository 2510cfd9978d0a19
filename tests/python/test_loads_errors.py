import json

import pytest

import kestro

WRONG_TYPE = "Input must be bytes, bytearray, memoryview, or str"
NOT_UTF8 = "str is not valid UTF-8: surrogates not allowed"
DEPTH = "array and object recursion depth exceeded"
EOD = "unexpected end of data"


def decode_error(obj):
    with pytest.raises(kestro.JSONDecodeError) as info:
        kestro.loads(obj)
    return info.value


def check(obj, msg, pos, doc=None):
    err = decode_error(obj)
    assert err.msg == msg
    assert err.pos == pos
    if doc is not None:
        assert err.doc == doc
    return err


class BytesSub(bytes):
    pass


class StrSub(str):
    pass


@pytest.mark.parametrize("obj", [1, None, 1.5, [], {}, BytesSub(b"[]"), StrSub("[]"),
                                 memoryview(b"[1, 2, 3]")[::2], (b"[]",)])
def test_other_types_are_refused(obj):
    err = check(obj, WRONG_TYPE, 0, "")
    assert (err.lineno, err.colno) == (1, 1)


def test_released_memoryview_is_refused():
    view = memoryview(b"[1]")
    view.release()
    check(view, WRONG_TYPE, 0, "")


@pytest.mark.parametrize("obj", [b"\xff", b"\xed\xa0\x80", b'"\xc3"', b"[\xc0\x80]",
                                 b'"\xf4\x90\x80\x80"', bytearray(b"\xff"),
                                 memoryview(b'["\xe2\x82"]'), "\ud800", '["\udc00"]'])
def test_invalid_utf8_and_surrogates(obj):
    check(obj, NOT_UTF8, 0, "")


def test_surrogate_error_is_not_chained():
    err = decode_error("[\"\ud800\"]")
    assert err.__cause__ is None
    assert err.__context__ is None


@pytest.mark.parametrize("obj", [b"", "", bytearray(), memoryview(b"")])
def test_empty_input(obj):
    check(obj, "Input is a zero-length, empty document", 0, "")


@pytest.mark.parametrize("text,msg,pos", [
    (" ", "input data is empty", 0),
    ("\n\t ", "input data is empty", 0),
    ("[1,2", EOD, 4),
    ("[1] x", "unexpected content after document", 4),
    ('{"a" 1}', "unexpected character", 5),
    ("{1: 2}", "unexpected character", 1),
    ("[1 2]", "unexpected character", 3),
    ("NaN", "unexpected character", 0),
    ("Infinity", "unexpected character", 0),
    ("\ufeff{}", "unexpected character", 0),
    ("[\ufeff]", "unexpected character", 1),
    ("trux", "invalid literal", 0),
    ("[nul ]", "invalid literal", 1),
    ("tru", EOD, 3),
    ("[1,]", "trailing comma is not allowed", 2),
    ('{"a": 1,}', "trailing comma is not allowed", 7),
    ("-", EOD, 1),
    ("[-a]", "no digit after minus sign", 2),
    ("[1.]", "no digit after decimal point", 3),
    ("[1e]", "no digit after exponent sign", 3),
    ("[1e+]", "no digit after exponent sign", 4),
    ("01", "number with leading zero is not allowed", 0),
    ("1e400", "number is infinity when parsed as double", 0),
    ('"\x01"', "unexpected control character in string", 1),
    ('"\\x"', "invalid escaped character in string", 2),
    ('"\\u12g4"', "invalid escaped sequence in string", 1),
    ('"\\udc00"', "invalid high surrogate in string", 1),
    ('"\\ud800\\u0041"', "invalid low surrogate in string", 7),
    ('"\\ud800"', "no low surrogate in string", 7),
    ('"abc', EOD, 4),
    ('"\\u00', EOD, 5),
    ('{"a":', EOD, 5),
    ("[" * 600, "memory allocation failed", None),
], ids=lambda v: v[:12] + "..." if isinstance(v, str) and len(v) > 30 else None)
def test_reader_messages_and_positions(text, msg, pos):
    err = decode_error(text)
    assert err.msg == msg
    assert err.doc == text
    if pos is not None:
        assert err.pos == pos
    assert 0 <= err.pos <= len(text)


def test_exception_classes():
    err = decode_error("[")
    assert isinstance(err, kestro.JSONDecodeError)
    assert isinstance(err, json.JSONDecodeError)
    assert isinstance(err, ValueError)
    assert type(err).__name__ == "JSONDecodeError"


def test_line_and_column_from_the_base_class():
    err = check("[1,2", EOD, 4, "[1,2")
    assert (err.lineno, err.colno) == (1, 5)
    err = decode_error('[\n1,\n  x]')
    assert (err.msg, err.pos, err.lineno, err.colno) == ("unexpected character", 7, 3, 3)


@pytest.mark.parametrize("kind", [bytes, str])
def test_positions_count_characters(kind):
    text = '["\u00e9", x'
    data = text.encode() if kind is bytes else text
    err = check(data, "unexpected character", 6, text)
    assert text[err.pos] == "x"
    text = '{"\U0001F600\u20ac": tru'
    err = check(text.encode() if kind is bytes else text, EOD, len(text), text)


def test_position_counts_characters_over_long_text():
    text = '["' + "\u00e9\u20ac\U0001F600" * 40 + '", "' + "a" * 50 + '" x]'
    err = decode_error(text.encode())
    assert err.msg == "unexpected character"
    assert text[err.pos] == "x"


# The nesting limit: containers may nest 1024 deep.

def test_1024_arrays_are_accepted():
    value = kestro.loads("[" * 1024 + "]" * 1024)
    depth = 0
    while value:
        value = value[0]
        depth += 1
    assert depth == 1023 and value == []


def test_1024_objects_are_accepted():
    value = kestro.loads('{"a":' * 1024 + "1" + "}" * 1024)
    for _ in range(1024):
        value = value["a"]
    assert value == 1


@pytest.mark.parametrize("text,msg,pos", [
    ("[" * 1025 + "]" * 1025, DEPTH, 1025),
    ("\n" + "[" * 1025 + "]" * 1025, DEPTH, 1026),
    ('{"a":' * 1025 + "1" + "}" * 1025, DEPTH, 5 * 1024 + 1),
    ('[{"a":' * 513 + "1" + "}]" * 513, DEPTH, 6 * 512 + 1),
    ('{"a":[' * 513 + "1" + "]}" * 513, DEPTH, 6 * 512 + 1),
    ("[ " * 1024 + "[", EOD, 2049),
    ("[ " * 1024 + "[ ", DEPTH, 2049),
    ("[" * 2000, DEPTH, 1025),
    # Brackets inside strings do not nest.
    ("[" * 1024 + '"[\\"[[\\\\"]' + "]" * 1023, None, None),
    # A syntax error before the offending bracket wins; one after it does not.
    ("[" * 500 + "x" + "[" * 1000, "unexpected character", 500),
    ("[" * 1000 + "x" + "[" * 100 + "]" * 1000, "unexpected character", 1000),
    ("[" * 1025 + "x" + "]" * 1025, DEPTH, 1025),
    ("[" * 1025 + "1,]" + "]" * 1024, DEPTH, 1025),
], ids=lambda v: v[:12] + "..." + v[-12:] if isinstance(v, str) and len(v) > 30 else None)
def test_nesting_limit(text, msg, pos):
    if msg is None:
        assert kestro.loads(text) is not None
        return
    err = check(text, msg, pos, text)
    check(text.encode(), msg, pos, text)
    assert err.lineno >= 1


def test_nesting_limit_in_a_later_sibling():
    text = "[" + "[]," * 10 + "[" * 1024 + "]" * 1024 + "]"
    err = check(text, DEPTH, 1 + 30 + 1024)
    assert text[err.pos - 1] == "["
