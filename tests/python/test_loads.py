import array
import gc
import json
import math
import random
import tracemalloc

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


@pytest.mark.parametrize("value, shared", [
    ("a", True), ("\u00e9\u20ac", True), ("x" * 16, True), ("\U0001F600" * 4, True),
    ("x" * 17, False), ("\u00e9" * 9, False),  # 18 bytes of UTF-8
])
def test_string_values_of_up_to_16_bytes_are_shared(value, shared):
    a, b = kestro.loads(json.dumps([value, {"k": value}], ensure_ascii=False)), kestro.loads(
        json.dumps([value], ensure_ascii=False))
    assert a[0] == a[1]["k"] == b[0] == value
    assert (a[0] is b[0] and a[1]["k"] is b[0]) is shared


def test_shared_values_are_never_another_text():
    """Short values that share their first and last bytes, their length or
    their set of slots, met by turns, each come back as itself."""
    rng = random.Random(7)
    alphabet = "ab\u00e9\u20ac\U0001F600\x00\""
    values = sorted({"".join(rng.choice(alphabet) for _ in range(rng.randint(1, 6)))
                     for _ in range(3000)})
    values += [v[:8] + "-" * n + v[-8:] for v in ("abcdefghijklmnop",) for n in range(0, 3)]
    for _ in range(2):
        rng.shuffle(values)
        text = json.dumps(values, ensure_ascii=rng.random() < 0.5)
        assert kestro.loads(text) == values


@pytest.mark.parametrize("enabled", [True, False])
@pytest.mark.parametrize("text", [b'[[1], {"a": [2]}]', b"[" * 1100 + b"]" * 1100, b'[{"a": [}]'])
def test_the_collector_is_left_as_the_program_had_it(enabled, text):
    (gc.enable if enabled else gc.disable)()
    try:
        try:
            kestro.loads(text)
        except kestro.JSONDecodeError:
            pass
        assert gc.isenabled() is enabled
    finally:
        gc.enable()


def test_loads_keeps_at_most_64_mib_of_scratch_blocks_between_calls():
    mib = 2**20
    # Texts whose scratch blocks (12 bytes a byte of text) are about 4, 40
    # and 80 MiB: the first two may be kept, the last is freed.
    texts = [json.dumps(["x" * 10_000] * n).encode() for n in (35, 350, 700)]
    tracemalloc.start()
    try:
        kept = []
        for text in texts * 2:
            kestro.loads(text)  # its objects go at once
            kept.append(tracemalloc.get_traced_memory()[0])
    finally:
        tracemalloc.stop()
    assert max(kept) < 65 * mib, kept
    assert abs(kept[-1] - kept[2]) < mib, kept  # once warm, no more is kept
