"""dumps: dict keys other than str under OPT_NON_STR_KEYS."""
import dataclasses
import datetime as dt
import enum
import json
import random
import sys
import tracemalloc
import uuid

import pytest

import kestro
from conftest import Odd

NSK, SORT, INDENT = kestro.OPT_NON_STR_KEYS, kestro.OPT_SORT_KEYS, kestro.OPT_INDENT_2
KEY_TYPE = "Dict key must a type serializable with OPT_NON_STR_KEYS"
RANGE = "Dict integer key must be within 64-bit range"
SURROGATES = "str is not valid UTF-8: surrogates not allowed"
TZ_LIBRARY = ("datetime's timezone library is not supported: "
              "use datetime.timezone.utc, pendulum, pytz, or dateutil")


Str = type("Str", (str,), {})
Color = enum.Enum("Color", {"RED": 3, "NAME": "red", "PAIR": (1, 2), "REAL": 2.5})
Level = enum.IntEnum("Level", {"HIGH": 7})
Tag = enum.Enum("Tag", {"A": "tag-a"}, type=str)
Nested = enum.Enum("Nested", {"INNER": Color.NAME})


class RaisingZone(dt.tzinfo):
    raising = False

    def utcoffset(self, _):
        if self.raising:
            raise ValueError("no offset")


def raising_stamp():
    stamp = dt.datetime(2020, 1, 1, tzinfo=RaisingZone())
    hash(stamp)  # kept: a dict key's hash asks for its offset once
    stamp.tzinfo.raising = True
    return stamp


def pairs(text):
    return json.loads(text, object_pairs_hook=list)


def float_text(f):  # the shortest round-trip text, as for a value
    assert float(kestro.dumps(f)) == f
    return kestro.dumps(f).decode()


# key, expected text (oracles: str() of ints, UUIDs and enums' values,
# isoformat(), float text); ints of every length are further below.
TIMES = [dt.date(2020, 1, 2), dt.time(3, 4, 5, 6), dt.datetime(2020, 1, 2, 3, 4, 5),
         dt.datetime(999, 12, 31, 23, 59, 59, 999999, dt.timezone(dt.timedelta(hours=-5)))]
KEY_TEXTS = [
    *[(k, k.isoformat()) for k in TIMES], *[(k, str(k)) for k in (uuid.uuid4(), -2, 2**64 - 1, -2**63)],
    *[(k, float_text(k)) for k in (1.0, -0.0, 1e16, 5e-324)], (float("nan"), "null"), (float("-inf"), "null"),
    (True, "true"), (False, "false"), (None, "null"), ('q"\\\x01é𝄞', 'q"\\\x01é𝄞'), ("", ""),
    (Str("sub"), "sub"), (Level.HIGH, "7"), (Tag.A, "tag-a"),
    (Color.RED, "3"), (Color.NAME, "red"), (Color.REAL, "2.5"), (Nested.INNER, "red"),
]


@pytest.mark.parametrize("key,expected", KEY_TEXTS, ids=repr)
@pytest.mark.parametrize("option", [0, INDENT])
def test_key_text(key, expected, option):
    before = sys.getrefcount(key)
    result = kestro.dumps({key: 0}, option=NSK | option)
    assert sys.getrefcount(key) == before
    assert result == json.dumps({expected: 0}, indent=2 if option else None, ensure_ascii=False,
                                separators=None if option else (",", ":")).encode()


FAILURES = [
    (2**64, RANGE, OverflowError), (-2**63 - 1, RANGE, OverflowError),
    ("\ud800", SURROGATES, UnicodeEncodeError), (Str("\udfff"), SURROGATES, UnicodeEncodeError),
    ((1,), KEY_TYPE, None), (object(), KEY_TYPE, None),
    (type("Pair", (list,), {"__hash__": object.__hash__})(), KEY_TYPE, None),
    (dataclasses.make_dataclass("Point", ["x"], frozen=True)(1), KEY_TYPE, None),
    (kestro.Fragment(b"1"), KEY_TYPE, None), (Color.PAIR, KEY_TYPE, None),
    (Odd.RAISES, KEY_TYPE, LookupError), (Odd.ITSELF, KEY_TYPE, None),
    (dt.time(1, 2, 3, tzinfo=dt.timezone.utc), "datetime.time must not have tzinfo set", None),
    (raising_stamp(), TZ_LIBRARY, ValueError),
]


@pytest.mark.parametrize("key,message,cause", FAILURES, ids=repr)
@pytest.mark.parametrize("option", [0, SORT, INDENT])
def test_key_failures(key, message, cause, option):
    calls, value = [], object()
    doc = {"a": [value], key: value}
    before = [sys.getrefcount(o) for o in (key, value)]
    with pytest.raises(TypeError) as info:
        # Keys come first: the value that needs default is never reached.
        kestro.dumps(doc, calls.append, NSK | option)
    assert (str(info.value), type(info.value.__cause__), calls) == (message, cause or type(None), [])
    del info
    assert [sys.getrefcount(o) for o in (key, value)] == before


@pytest.mark.parametrize("n", [13, 5000])
@pytest.mark.parametrize("option", [0, INDENT])
def test_sorted_by_text_with_duplicates_kept(n, option):
    assert kestro.dumps({2: "a", 10: "b", "x": "c"}, option=NSK | SORT) == b'{"10":"b","2":"a","x":"c"}'
    assert kestro.dumps({1: 10, "1": 20}, option=NSK) == b'{"1":10,"1":20}'
    rng = random.Random(n)
    make = [lambda: rng.randrange(-2**63, 2**64), lambda: rng.random() * 10 ** rng.randrange(-30, 30),
            lambda: str(rng.randrange(100)), lambda: Str(rng.randrange(100))]
    doc = {make[rng.randrange(4)](): i for i in range(n)}
    expected = [(float_text(k) if isinstance(k, float) else str(k), v) for k, v in doc.items()]
    result = pairs(kestro.dumps(doc, option=NSK | SORT | option))
    assert [k for k, _ in result] == sorted((k for k, _ in expected), key=str.encode)
    assert sorted(result) == sorted(expected)
    assert pairs(kestro.dumps(doc, option=NSK | option)) == expected


def test_key_options():
    # The pass-through options and strict integers act on values only; the
    # date and time options on keys too.
    doc = {Str("k"): Str("v"), Level.HIGH: 1}
    assert kestro.dumps(doc, str, NSK | kestro.OPT_PASSTHROUGH_SUBCLASS) == b'{"k":"v","7":1}'
    stamp = dt.datetime(2020, 1, 2, 3, 4, 5, 6)
    options = NSK | kestro.OPT_PASSTHROUGH_DATETIME | kestro.OPT_NAIVE_UTC | kestro.OPT_UTC_Z
    assert kestro.dumps({stamp: stamp}, str, options) == b'{"2020-01-02T03:04:05.000006Z":"%s"}' % \
        str(stamp).encode()
    assert kestro.dumps({stamp.time(): 1}, option=NSK | kestro.OPT_OMIT_MICROSECONDS) == b'{"03:04:05":1}'
    assert kestro.dumps({2**53: 1}, option=NSK | kestro.OPT_STRICT_INTEGER) == b'{"9007199254740992":1}'
    with pytest.raises(TypeError, match="^Integer exceeds 53-bit range$"):
        kestro.dumps({1: 2**53}, option=NSK | kestro.OPT_STRICT_INTEGER)


@pytest.mark.parametrize("option", [0, SORT])
def test_dict_cleared_while_its_keys_are_converted(option):
    doc = {}

    class Clearing(enum.Enum):
        X = 1

        @property
        def value(self):
            doc.clear()
            return 5

    # Keys and values owned by the dict alone.
    doc.update({"k" * 20 + str(i): [str(i) * 20] for i in range(20)})
    doc[Clearing.X] = "v"
    expected = [("k" * 20 + str(i), [str(i) * 20]) for i in range(20)] + [("5", "v")]
    result = pairs(kestro.dumps(doc, option=NSK | option))
    assert result == (sorted(expected) if option else expected)


def test_allocation_failures_raise_memory_error_and_release_everything():
    testcapi = pytest.importorskip("_testcapi")
    if not hasattr(testcapi, "set_nomemory"):
        pytest.skip("this interpreter cannot simulate allocation failures")
    doc = {10**18 + i: i for i in range(200)}
    keys, expected = list(doc), {str(k): v for k, v in doc.items()}
    before = [sys.getrefcount(k) for k in keys]
    outcomes = set()
    for start in range(40):
        testcapi.set_nomemory(start, 0)
        try:
            result = kestro.dumps(doc, option=NSK | SORT)
        except MemoryError:
            outcomes.add("memory")
            continue
        finally:
            testcapi.remove_mem_hooks()
        assert json.loads(result) == expected
        outcomes.add("ok")
    assert outcomes == {"memory", "ok"}
    assert [sys.getrefcount(k) for k in keys] == before


def test_key_texts_are_freed():
    doc = {10**18 + i: i for i in range(500)}  # texts in blocks beyond the first
    kestro.dumps(doc, option=NSK)
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(20):
            kestro.dumps(doc, option=NSK)
        assert tracemalloc.get_traced_memory()[0] - before < 4096
    finally:
        tracemalloc.stop()


@pytest.mark.parametrize("bits", range(68))
def test_ints_of_every_length_as_keys_and_values(bits):
    for v in {2**bits - 1, 2**bits, random.Random(bits).getrandbits(bits) if bits else 0}:
        for k in (v, -v):
            if -2**63 <= k < 2**64:
                assert kestro.dumps({k: k}, option=NSK) == f'{{"{k}":{k}}}'.encode()
                continue
            for obj, message in (({k: 0}, RANGE), (k, "Integer exceeds 64-bit range")):
                with pytest.raises(TypeError, match=f"^{message}$"):
                    kestro.dumps(obj, option=NSK)
