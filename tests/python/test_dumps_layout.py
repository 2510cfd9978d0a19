"""dumps: compact and indented layouts, output buffer growth."""
import json

import pytest

import kestro

INDENT = kestro.OPT_INDENT_2


def lines(doc):
    return kestro.dumps(doc, option=INDENT).decode().split("\n")


def test_compact_and_indented_example():
    doc = {"a": [1, {}], "b": {"c": []}}
    assert kestro.dumps(doc) == b'{"a":[1,{}],"b":{"c":[]}}'
    assert lines(doc) == [
        "{",
        '  "a": [',
        "    1,",
        "    {}",
        "  ],",
        '  "b": {',
        '    "c": []',
        "  }",
        "}",
    ]


def test_indented_list_example():
    assert lines([1, [2, 3]]) == ["[", "  1,", "  [", "    2,", "    3", "  ]", "]"]


@pytest.mark.parametrize("doc, compact, indented", [
    ([], b"[]", b"[]"),
    ({}, b"{}", b"{}"),
    ((), b"[]", b"[]"),
    ([[]], b"[[]]", b"[\n  []\n]"),
    ({"a": 1}, b'{"a":1}', b'{\n  "a": 1\n}'),
    ([{}, {}], b"[{},{}]", b"[\n  {},\n  {}\n]"),
    ([[], ()], b"[[],[]]", b"[\n  [],\n  []\n]"),
    ({"a": {"b": 1}}, b'{"a":{"b":1}}', b'{\n  "a": {\n    "b": 1\n  }\n}'),
    (1, b"1", b"1"),
    ("a", b'"a"', b'"a"'),
])
def test_layouts(doc, compact, indented):
    assert kestro.dumps(doc) == compact
    assert kestro.dumps(doc, option=INDENT) == indented


def test_compact_has_no_whitespace_outside_strings():
    doc = {"k": [1, 2.5, None, True, {"x y": "a b"}], "z": [[], {}]}
    text = kestro.dumps(doc)
    assert text == b'{"k":[1,2.5,null,true,{"x y":"a b"}],"z":[[],{}]}'


def test_dict_in_dict_takes_five_lines():
    assert lines({"a": {"b": 1}}) == ["{", '  "a": {', '    "b": 1', "  }", "}"]


def nested_structures():
    return [
        {"a": [1, {"b": [[], {}, [None, "x"]]}], "c": {"d": {"e": {"f": []}}}},
        [[[[1]]], [[2, 3]], []],
        {"list": list(range(30)), "dict": {str(i): [i] * (i % 3) for i in range(20)}},
    ]


@pytest.mark.parametrize("doc", nested_structures())
def test_layouts_match_json(doc):
    assert kestro.dumps(doc) == json.dumps(doc, separators=(",", ":")).encode()
    # json writes an empty container opened over two lines; kestro as "[]"/"{}"
    expected = json.dumps(doc, indent=2)
    assert kestro.dumps(doc, option=INDENT).decode() == expected


def test_sorted_indented():
    doc = {"b": {"y": 1, "x": [2]}, "a": 0}
    assert kestro.dumps(doc, option=INDENT | kestro.OPT_SORT_KEYS).decode() == \
        json.dumps(doc, indent=2, sort_keys=True)


@pytest.mark.parametrize("size", [1, 900, 1023, 1024, 1025, 2048, 5000, 100_000, 3_000_000, 9_000_000])
def test_strings_across_buffer_growth(size):
    text = "x" * size
    assert kestro.dumps(text) == b'"' + text.encode() + b'"'
    assert kestro.dumps([text, text]) == b'["' + text.encode() + b'","' + text.encode() + b'"]'


def test_long_string_after_900_bytes():
    doc = ["a" * 896, "b" * 200]
    assert kestro.dumps(doc) == json.dumps(doc, separators=(",", ":")).encode()


@pytest.mark.parametrize("option", [0, INDENT])
def test_many_small_members_cross_growth(option):
    doc = [{"id": i, "name": f"n{i}", "tags": ["t"] * (i % 4), "ok": i % 2 == 0}
           for i in range(20_000)]
    indent = 2 if option else None
    separators = None if option else (",", ":")
    assert kestro.dumps(doc, option=option) == \
        json.dumps(doc, indent=indent, separators=separators).encode()


@pytest.mark.parametrize("option", [0, INDENT, INDENT | kestro.OPT_APPEND_NEWLINE])
@pytest.mark.parametrize("fill", [0, 500, 1000, 1010, 1020, 4000])
def test_deep_closing_brackets_at_the_end_of_the_room(option, fill):
    doc = "s" * fill
    for _ in range(200):
        doc = [doc]
    result = kestro.dumps(doc, option=option)
    assert json.loads(result) == doc
    assert result.endswith(b"]\n" if option & kestro.OPT_APPEND_NEWLINE else b"]")


def test_escaped_strings_near_the_end_of_the_room():
    # every control character grows six-fold
    for n in range(150, 180):
        doc = ["\x01" * n, "\x1f" * (n + 7), "a"]
        assert kestro.dumps(doc) == json.dumps(doc, separators=(",", ":")).encode()


@pytest.mark.parametrize("depth", [1, 15, 16, 17, 40, 100])
@pytest.mark.parametrize("option", [kestro.OPT_INDENT_2, kestro.OPT_INDENT_2 | kestro.OPT_SORT_KEYS])
def test_deep_dicts_indented_like_json(depth, option):
    # indentation past one 32-byte run of spaces, keys plain, escaped and long
    doc = "leaf"
    for i in range(depth):
        doc = {f"k{i}": doc, 'q"' * (i % 5): [i, {"x": None}], "long key " * (i % 7): {}}
    expected = json.dumps(doc, indent=2, ensure_ascii=False, sort_keys=bool(option & kestro.OPT_SORT_KEYS))
    assert kestro.dumps(doc, option=option) == expected.encode()
