"""dumps: dict keys other than str under OPT_NON_STR_KEYS."""
import dataclasses
import enum
import json
import random
import sys

import pytest

import kestro

NSK = kestro.OPT_NON_STR_KEYS
SORT = kestro.OPT_SORT_KEYS
LAYOUTS = [0, kestro.OPT_INDENT_2]
KEY_TYPE = "Dict key must a type serializable with OPT_NON_STR_KEYS"


class Str(str):
    pass


class Color(enum.Enum):
    RED = 3
    NAME = "red"
    PAIR = (1, 2)
    REAL = 2.5


class Level(enum.IntEnum):
    HIGH = 7


class Tag(str, enum.Enum):
    A = "tag-a"


class Nested(enum.Enum):
    INNER = Color.NAME


class Broken(enum.Enum):
    X = 1

    @property
    def value(self):
        raise ValueError("no value")


class Cyclic(enum.Enum):
    X = 1

    @property
    def value(self):
        return self


class Pair(list):
    __hash__ = object.__hash__


@dataclasses.dataclass(frozen=True)
class Point:
    x: int


def pairs(text):
    return json.loads(text, object_pairs_hook=list)


# key, expected text (stdlib oracles: str() of ints, repr of floats).
KEY_TEXTS = [
    *[(k, str(k)) for k in (0, 1, -2, 2**31, 2**53, 2**63 - 1, 2**63, 2**64 - 1, -2**63)],
    *[(k, None) for k in (1.0, 1.5, -0.0, 1e16, 0.1, 5e-324, 1.7976931348623157e308, 123456.789e-20)],
    (float("nan"), "null"), (float("inf"), "null"), (float("-inf"), "null"),
    (True, "true"), (False, "false"), (None, "null"),
    ("plain", "plain"), ('q"\\\x01é𝄞', 'q"\\\x01é𝄞'), ("", ""),
    (Str("sub"), "sub"), (Level.HIGH, "7"), (Tag.A, "tag-a"),
    (Color.RED, "3"), (Color.NAME, "red"), (Color.REAL, "2.5"), (Nested.INNER, "red"),
]


@pytest.mark.parametrize("key,expected", KEY_TEXTS, ids=repr)
@pytest.mark.parametrize("option", LAYOUTS)
def test_key_text(key, expected, option):
    if expected is None:  # a float: its shortest round-trip text, as for a value
        expected = kestro.dumps(key).decode()
        assert float(expected) == key
    before = sys.getrefcount(key)
    result = kestro.dumps({key: 0}, option=NSK | option)
    assert sys.getrefcount(key) == before
    assert result == json.dumps({expected: 0}, indent=2 if option else None, ensure_ascii=False,
                                separators=None if option else (",", ":")).encode()


FAILURES = [
    (2**64, "Dict integer key must be within 64-bit range", OverflowError),
    (-2**63 - 1, "Dict integer key must be within 64-bit range", OverflowError),
    ("\ud800", "str is not valid UTF-8: surrogates not allowed", UnicodeEncodeError),
    (Str("\udfff"), "str is not valid UTF-8: surrogates not allowed", UnicodeEncodeError),
    ((1,), KEY_TYPE, None), (frozenset(), KEY_TYPE, None), (object(), KEY_TYPE, None),
    (b"a", KEY_TYPE, None), (Pair(), KEY_TYPE, None), (Point(1), KEY_TYPE, None),
    (kestro.Fragment(b"1"), KEY_TYPE, None), (Color.PAIR, KEY_TYPE, None),
    (Broken.X, KEY_TYPE, ValueError), (Cyclic.X, KEY_TYPE, None),
]


@pytest.mark.parametrize("key,message,cause", FAILURES, ids=repr)
@pytest.mark.parametrize("option", [0, SORT, kestro.OPT_INDENT_2])
def test_key_failures(key, message, cause, option):
    calls = []
    value = object()
    doc = {"a": [value], key: value}
    before = [sys.getrefcount(o) for o in (key, value)]
    with pytest.raises(TypeError) as info:
        # Keys come first: the value default would reject is never reached.
        kestro.dumps(doc, calls.append, NSK | option)
    assert str(info.value) == message
    assert type(info.value.__cause__) is cause if cause else info.value.__cause__ is None
    assert calls == []
    del info
    assert [sys.getrefcount(o) for o in (key, value)] == before


def test_sorted_by_text_with_duplicates_kept():
    assert kestro.dumps({2: "a", 10: "b", "x": "c"}, option=NSK | SORT) == b'{"10":"b","2":"a","x":"c"}'
    assert kestro.dumps({1: 10, "1": 20}, option=NSK) == b'{"1":10,"1":20}'
    assert kestro.dumps({1: 10, "1": 20}, option=NSK | kestro.OPT_INDENT_2) == b'{\n  "1": 10,\n  "1": 20\n}'


@pytest.mark.parametrize("n", [3, 13, 300, 5000])
@pytest.mark.parametrize("option", [SORT, SORT | kestro.OPT_INDENT_2])
def test_many_mixed_keys_sorted(n, option):
    rng = random.Random(n)
    make = [lambda: rng.randrange(-2**63, 2**64), lambda: rng.random() * 10 ** rng.randrange(-30, 30),
            lambda: str(rng.randrange(100)), lambda: Str(rng.randrange(100))]
    doc = {make[rng.randrange(4)](): i for i in range(n)}
    expected = [(str(k) if not isinstance(k, float) else kestro.dumps(k).decode(), v) for k, v in doc.items()]
    result = pairs(kestro.dumps(doc, option=NSK | option))
    assert [k for k, _ in result] == sorted((k for k, _ in expected), key=str.encode)
    assert sorted(result) == sorted(expected)
    assert pairs(kestro.dumps(doc, option=NSK)) == expected


def test_key_options():
    subclass, datetimes = kestro.OPT_PASSTHROUGH_SUBCLASS, kestro.OPT_PASSTHROUGH_DATETIME
    # Pass-through options act on values only; strict integers likewise.
    doc = {Str("k"): Str("v"), Level.HIGH: 1}
    assert kestro.dumps(doc, str, NSK | subclass | datetimes) == b'{"k":"v","7":1}'
    assert kestro.dumps({2**53: 1}, option=NSK | kestro.OPT_STRICT_INTEGER) == b'{"9007199254740992":1}'
    with pytest.raises(TypeError, match="^Integer exceeds 53-bit range$"):
        kestro.dumps({1: 2**53}, option=NSK | kestro.OPT_STRICT_INTEGER)


@pytest.mark.parametrize("option", [0, SORT])
def test_dict_cleared_while_keys_are_converted(option):
    doc = {}

    class Clearing(enum.Enum):
        X = 1

        @property
        def value(self):
            doc.clear()
            return 5

    doc.update({"k" + str(i): [str(i)] for i in range(20)})
    doc[Clearing.X] = "v" * 3
    expected = [("k" + str(i), [str(i)]) for i in range(20)] + [("5", "vvv")]
    assert pairs(kestro.dumps(doc, option=NSK | option)) == (sorted(expected) if option else expected)


@pytest.mark.parametrize("option", [0, SORT])
def test_dict_cleared_by_default_while_values_are_written(option):
    doc = {}

    def default(obj):
        doc.clear()
        return "d"

    doc.update({"k" * 20 + str(i): str(i) * 30 for i in range(20)})
    doc[1.5] = object()
    expected = [(k, v) for k, v in doc.items()][:-1] + [("1.5", "d")]
    result = pairs(kestro.dumps(doc, default, NSK | option))
    assert result == (sorted(expected) if option else expected)


def test_allocation_failures_raise_memory_error_and_release_everything():
    testcapi = pytest.importorskip("_testcapi")
    if not hasattr(testcapi, "set_nomemory"):
        pytest.skip("this interpreter cannot simulate allocation failures")
    keys = [10**18 + i for i in range(200)]
    doc = {k: k for k in keys}
    expected = {str(k): k for k in keys}
    before = [sys.getrefcount(k) for k in keys]
    outcomes = set()
    for start in range(0, 40):
        testcapi.set_nomemory(start, 0)
        try:
            result = kestro.dumps(doc, option=NSK | SORT)
            outcomes.add("ok")
        except MemoryError:
            outcomes.add("memory")
            continue
        finally:
            testcapi.remove_mem_hooks()
        assert json.loads(result) == expected
    assert outcomes == {"memory", "ok"}
    assert [sys.getrefcount(k) for k in keys] == before


@pytest.mark.parametrize("bits", range(0, 68))
def test_ints_of_every_length_as_keys_and_values(bits):
    rng = random.Random(bits)
    for v in {2**bits - 1, 2**bits, rng.getrandbits(bits) if bits else 0}:
        for k in (v, -v):
            if -2**63 <= k < 2**64:
                assert kestro.dumps({k: k}, option=NSK) == f'{{"{k}":{k}}}'.encode()
                continue
            with pytest.raises(TypeError, match="^Dict integer key must be within 64-bit range$"):
                kestro.dumps({k: 0}, option=NSK)
            with pytest.raises(TypeError, match="^Integer exceeds 64-bit range$"):
                kestro.dumps(k)
