"""dumps: integers, floats, literals and strings."""
import json
import math

import pytest

import kestro


@pytest.mark.parametrize("value", [
    0, 1, -1, 9, 10, 99, 100, 2**30 - 1, 2**30, -(2**30 - 1), -(2**30), 2**31, 2**32,
    2**53 - 1, 2**53, 2**63 - 1, 2**63, 2**64 - 1, -(2**63), -(2**53), 10**18, 10**19,
    -(10**18), 1234567890123])
def test_integers(value):
    assert kestro.dumps(value) == str(value).encode()
    assert kestro.dumps([value, -value if value < 2**63 else 0]) == \
        json.dumps([value, -value if value < 2**63 else 0], separators=(",", ":")).encode()


@pytest.mark.parametrize("value", [2**64, -(2**63) - 1, 10**30, -(10**30), 2**1000])
def test_integers_outside_64_bits(value):
    with pytest.raises(TypeError) as info:
        kestro.dumps({"a": [value]})
    assert str(info.value) == "Integer exceeds 64-bit range"
    assert info.value.__cause__ is None


STRICT = kestro.OPT_STRICT_INTEGER


@pytest.mark.parametrize("value", [2**53 - 1, -(2**53 - 1), 0, 2**30, -(2**30), 2**40])
def test_strict_integers_inside(value):
    assert kestro.dumps(value, option=STRICT) == str(value).encode()


@pytest.mark.parametrize("value", [2**53, -(2**53), 2**63, 2**64 - 1, -(2**63)])
def test_strict_integers_outside(value):
    with pytest.raises(TypeError) as info:
        kestro.dumps([value], option=STRICT)
    assert str(info.value) == "Integer exceeds 53-bit range"
    assert info.value.__cause__ is None


def test_strict_overflow_is_still_64_bit_error():
    with pytest.raises(TypeError, match="^Integer exceeds 64-bit range$"):
        kestro.dumps(2**64, option=STRICT)


class Int(int):
    pass


@pytest.mark.parametrize("value", [0, 5, -5, 2**40, -(2**63), 2**64 - 1])
def test_int_subclass_is_written_as_its_value(value):
    assert kestro.dumps(Int(value)) == str(value).encode()


def test_int_subclass_range():
    with pytest.raises(TypeError, match="^Integer exceeds 64-bit range$"):
        kestro.dumps(Int(2**64))


@pytest.mark.parametrize("obj, expected", [
    (True, b"true"), (False, b"false"), (None, b"null"),
    ([True, False, None], b"[true,false,null]"),
    ({"t": True, "f": False, "n": None}, b'{"t":true,"f":false,"n":null}'),
])
def test_literals(obj, expected):
    assert kestro.dumps(obj) == expected


@pytest.mark.parametrize("value", [math.nan, math.inf, -math.inf, -math.nan])
def test_non_finite_floats_are_null(value):
    assert kestro.dumps(value) == b"null"
    assert kestro.dumps([value, 1]) == b"[null,1]"


@pytest.mark.parametrize("value", [0.1, 2.5, -2.5, 100.5, 1.25e-7, 5e-324, 1.7976931348623157e308,
                                   3.141592653589793, -0.000123])
def test_floats_reach_the_number_text(value):
    text = kestro.dumps([value])
    assert float(json.loads(text)[0]) == value
    assert kestro.dumps(value).decode() in (repr(value), repr(value).replace("e-0", "e-"))


@pytest.mark.parametrize("option", [0, kestro.OPT_INDENT_2])
def test_float_arrays_beside_other_items(option):
    doc = [[1.5, -0.0, 2.0], [0.1, 3, "x", 1e300, None, True], [], [[-65.613617, 43.2]] * 3,
           (2.5, [0.5], {"k": 0.001})]
    expected = json.dumps(doc, indent=2) if option else json.dumps(doc, separators=(",", ":"))
    assert kestro.dumps(doc, option=option) == expected.encode()


def test_float_subclass_in_a_float_array_is_not_written():
    class Real(float):
        pass
    with pytest.raises(TypeError) as info:
        kestro.dumps([1.0, Real(2.0), 3.0])
    assert str(info.value) == "Type is not JSON serializable: Real"


@pytest.mark.parametrize("text", [
    "", "a", "/", "\x7f", "\x00", "\x0b", "\x1f", "\x08", "\t\n\r\f", '"', "\\", "é", "𝄞", "日本語",
    "mixed \x00 é \" \\ 𝄞 end", "x" * 15 + '"', '"' + "y" * 16, "a" * 63 + "\\"])
def test_strings(text):
    expected = json.dumps(text, ensure_ascii=False).encode()
    assert kestro.dumps(text) == expected
    assert kestro.dumps([text]) == b"[" + expected + b"]"
    assert kestro.dumps({text: text}) == b"{" + expected + b":" + expected + b"}"


def test_string_of_control_characters_grows_six_fold():
    assert len(kestro.dumps("\x01" * 1000)) == 6 * 1000 + 2


class Str(str):
    pass


@pytest.mark.parametrize("text", ["", "abc", "é", "\x00\"", "𝄞" * 40])
def test_str_subclass_written_as_str(text):
    assert kestro.dumps(Str(text)) == kestro.dumps(text)


def test_non_ascii_str_with_and_without_cached_utf8():
    fresh = "".join(["é", "x" * 20])
    assert kestro.dumps(fresh) == json.dumps(fresh, ensure_ascii=False).encode()
    # the first call cached the UTF-8 form; the second takes it from the object
    assert kestro.dumps(fresh) == json.dumps(fresh, ensure_ascii=False).encode()


SURROGATE = "\ud800"


@pytest.mark.parametrize("doc", [
    SURROGATE, "a" + SURROGATE + "b", [1, "x\udfff"], {"k": SURROGATE}, {SURROGATE: 1},
    Str("\udc80"), b"\xed\xa0\x80".decode("utf-8", "surrogatepass")])
@pytest.mark.parametrize("option", [0, kestro.OPT_SORT_KEYS, kestro.OPT_INDENT_2])
def test_lone_surrogates(doc, option):
    with pytest.raises(TypeError) as info:
        kestro.dumps(doc, option=option)
    assert str(info.value) == "str is not valid UTF-8: surrogates not allowed"
    assert isinstance(info.value.__cause__, UnicodeEncodeError)


def test_surrogate_pair_characters_are_fine():
    assert kestro.dumps("\U0001f600") == "\"\U0001f600\"".encode()
