import array
import json
import math

import pytest

import kestro
from conftest import corpus_file


def as_bytes(text):
    return text.encode()


def as_bytearray(text):
    return bytearray(text.encode())


def as_memoryview(text):
    return memoryview(text.encode())


def as_str(text):
    return text


INPUT_KINDS = [as_bytes, as_bytearray, as_memoryview, as_str]


@pytest.mark.parametrize("kind", INPUT_KINDS)
@pytest.mark.parametrize("text", [
    '{"a": [1, 2.5, "x", null, true, false, {"b": "\u00e9\u20ac\U0001F600"}]}',
    '"caf\u00e9"',
    "[]",
    " {} ",
    "12",
    "  null\n",
])
def test_every_input_kind_gives_the_standard_result(kind, text):
    assert kestro.loads(kind(text)) == json.loads(text)


def test_non_ascii_str_input_without_cached_utf8():
    text = '["\u00e9t\u00e9", "\u4e2d", "\U0001F600"]'
    fresh = "".join(list(text))  # a str that has not been encoded before
    assert kestro.loads(fresh) == json.loads(text)


def test_contiguous_memoryview_of_integers_is_read_as_raw_bytes():
    raw = b"[1, 2]  "
    ints = array.array("i")
    ints.frombytes(raw)
    assert kestro.loads(memoryview(ints)) == [1, 2]


def test_input_is_not_modified():
    data = bytearray(b'{"k": "v\\n"}')
    before = bytes(data)
    kestro.loads(data)
    assert bytes(data) == before


def test_two_quotes_give_the_empty_string():
    assert kestro.loads('""') is ""  # noqa: F632 - the interpreter's empty string
    assert kestro.loads(b'""') is ""  # noqa: F632


@pytest.mark.parametrize("text,kind", [("{}", dict), ("[]", list), (" []", list),
                                       ("[] ", list), ("{ }", dict)])
def test_empty_containers_are_new_each_call(text, kind):
    a, b = kestro.loads(text), kestro.loads(text)
    assert type(a) is kind and a == kind()
    assert a is not b


@pytest.mark.parametrize("text,expected", [
    ("18446744073709551615", 18446744073709551615),
    ("-9223372036854775808", -9223372036854775808),
    ("0", 0),
    ("-0", 0),
    ("9223372036854775807", 9223372036854775807),
    ("9223372036854775808", 9223372036854775808),
])
def test_integers_in_64_bits_are_exact_ints(text, expected):
    value = kestro.loads(text)
    assert type(value) is int and value == expected


@pytest.mark.parametrize("text", ["18446744073709551616", "-9223372036854775809", "1.0",
                                  "1e2", "-0.0", "1e-400", "0.1", "2.5E-3",
                                  "123456789012345678901234567890"])
def test_other_numbers_are_correctly_rounded_floats(text):
    value = kestro.loads(text)
    assert type(value) is float
    assert value == float(text)
    assert math.copysign(1, value) == math.copysign(1, float(text))


@pytest.mark.parametrize("text,expected", [("true", True), ("false", False), ("null", None)])
def test_literals_are_the_singletons(text, expected):
    assert kestro.loads(text) is expected
    assert kestro.loads(f"[{text}]")[0] is expected


def test_repeated_key_keeps_first_position_and_last_value():
    assert list(kestro.loads('{"a": 1, "b": 2, "a": 3}').items()) == [("a", 3), ("b", 2)]


@pytest.mark.parametrize("n", [1, 8, 9, 100])
def test_members_come_back_in_document_order(n):
    keys = [f"k{i:03d}" for i in reversed(range(n))]
    text = "{" + ",".join(f'"{k}": {i}' for i, k in enumerate(keys)) + "}"
    result = kestro.loads(text)
    assert list(result) == keys
    assert list(result.values()) == list(range(n))


def test_nested_empty_containers_are_never_shared():
    result = kestro.loads('[[], [], {}, {}, {"a": [], "b": {}}]')
    assert result[0] is not result[1]
    assert result[2] is not result[3]
    assert result[4]["a"] is not result[0]


def test_keys_are_shared_across_calls_up_to_64_bytes():
    for length in (1, 2, 63, 64):
        key = "k" * length
        a = kestro.loads(json.dumps({key: 1}))
        b = kestro.loads(json.dumps({key: 2}))
        assert next(iter(a)) is next(iter(b))


def test_keys_of_65_bytes_are_new_each_call():
    key = "k" * 65
    a = kestro.loads(json.dumps({key: 1}))
    b = kestro.loads(json.dumps({key: 2}))
    assert next(iter(a)) == next(iter(b)) == key
    assert next(iter(a)) is not next(iter(b))


def test_non_ascii_keys_are_shared_and_compare_by_text():
    a = kestro.loads('{"\u00e9t\u00e9": 1, "\u20ac": 2, "\U0001F600": 3}')
    b = kestro.loads('{"\u00e9t\u00e9": 1, "\u20ac": 2, "\U0001F600": 3}')
    for x, y in zip(a, b):
        assert x is y
    assert list(a) == ["\u00e9t\u00e9", "\u20ac", "\U0001F600"]


def test_escaped_key_shares_the_plain_one():
    a = kestro.loads('{"\\u0061bc": 1}')
    b = kestro.loads('{"abc": 2}')
    assert next(iter(a)) is next(iter(b))


def test_empty_key_is_the_empty_string():
    assert next(iter(kestro.loads('{"": 1}'))) is ""  # noqa: F632


@pytest.mark.parametrize("key", ["a", "id", "\u00e9", "\u20ac" * 3, "\U0001F600x", "x" * 64,
                                 "y" * 65, "", "w\u00e9" * 40])
def test_keys_hash_like_interpreter_strings(key):
    result = kestro.loads(json.dumps({key: 1}, ensure_ascii=False))
    (k,) = result
    assert hash(k) == hash("".join(list(key)))
    assert result[key] == 1
    assert key in result


def test_many_distinct_keys_survive_slot_replacement():
    keys = [f"key-{i}" for i in range(5000)]
    doc = json.dumps(dict.fromkeys(keys, 0))
    for _ in range(2):
        result = kestro.loads(doc)
        assert list(result) == keys
        assert all(result[k] == 0 for k in keys)


@pytest.mark.parametrize("text", ["abc", "\u00e9", "\u00ff", "\u0100", "\u20ac", "\uffff",
                                  "\U0001F600", "ab\u00e9\U0001F600", "\u00e9" * 50])
def test_strings_equal_and_hash_like_interpreter_strings(text):
    value = kestro.loads(json.dumps(text, ensure_ascii=False))
    assert value == text
    assert hash(value) == hash("".join(list(text)))
    escaped = kestro.loads(json.dumps(text, ensure_ascii=True))
    assert escaped == text


@pytest.mark.parametrize("name", ["twitter.json", "citm_catalog.json", "canada.json"])
def test_corpus_equals_standard_library(name):
    data = corpus_file(name).read_bytes()
    assert kestro.loads(data) == json.loads(data)
    assert kestro.loads(data.decode()) == json.loads(data)


def test_deep_but_allowed_nesting_round_trips():
    text = '[{"a":' * 512 + "1" + "}]" * 512
    value = kestro.loads(text)
    for _ in range(512):
        assert type(value) is list and len(value) == 1
        assert type(value[0]) is dict and list(value[0]) == ["a"]
        value = value[0]["a"]
    assert value == 1


def _dense_documents(length):
    # Documents of about `length` bytes holding as many values as possible.
    zeros = "[" + ",".join(["0"] * ((length - 1) // 2)) + "]"
    nested = "[" * (length // 2) + "]" * (length // 2)
    empties = "[" + ",".join(["[]"] * ((length - 2) // 3)) + "]"
    escaped = '["' + "\\n" * ((length - 4) // 2) + '"]'
    return [zeros, nested, empties, escaped]


# Small documents are read in a block on the stack and larger ones in a heap
# block; both sides of the switch must hold the densest documents.
@pytest.mark.parametrize("length", [2, 3, 4, 64, 300, 318, 319, 320, 321, 322, 323, 324, 340, 400, 1000])
def test_dense_documents_near_the_scratch_switch(length):
    for text in _dense_documents(length):
        if text.count("[") > 1024:
            continue
        assert kestro.loads(text.encode()) == json.loads(text)


def test_document_with_a_huge_page_scratch_block():
    # Over 5.6 MB of text: the scratch block passes 64 MiB and is advised
    # huge pages.
    part = corpus_file("canada.json").read_text()
    text = "[" + ",".join([part] * 3) + "]"
    assert (len(text) // 2) * 24 >= 64 << 20
    assert kestro.loads(text.encode()) == json.loads(text)
