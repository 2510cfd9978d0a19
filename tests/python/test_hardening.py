"""The module as a whole under stress: every message of both catalogues and
every kind of success repeated without memory growth or reference leaks,
threads sharing inputs, and hostile inputs."""

import dataclasses
import datetime
import enum
import gc
import json
import math
import os
import random
import sys
import threading
import tracemalloc
import uuid

import pytest

import kestro
from conftest import LIGHT, SANITIZED

SORT = kestro.OPT_SORT_KEYS
INDENT = kestro.OPT_INDENT_2
NON_STR = kestro.OPT_NON_STR_KEYS


def nested(levels, leaf=None):
    obj = [] if leaf is None else leaf
    for _ in range(levels):
        obj = [obj]
    return obj


class Odd:
    """Not written by dumps: handed to default."""


ODD = Odd()
DEFAULT_RESULT = {"from": ["default", 1.5]}  # returned by default; must not gain references


def default_result(obj):
    return DEFAULT_RESULT


def default_raises(obj):
    raise ValueError("refused")


def default_self(obj):
    return obj


class MyStr(str):
    pass


class MyInt(int):
    pass


class MyList(list):
    pass


class MyDict(dict):
    pass


class NoOffset(datetime.tzinfo):
    def utcoffset(self, dt):
        raise ValueError("no offset")

    def dst(self, dt):
        return None


class Shade(enum.Enum):
    DARK = [1, {"k": "v"}]


class Size(enum.Enum):
    BIG = 7


@dataclasses.dataclass
class Record:
    name: str
    when: datetime.date
    _private: int = 0


@dataclasses.dataclass(slots=True)
class Point:
    x: float
    y: object


try:
    import zoneinfo

    BERLIN = zoneinfo.ZoneInfo("Europe/Berlin")
except Exception:  # no time-zone data
    BERLIN = datetime.timezone(datetime.timedelta(hours=1))

RICH = [
    datetime.datetime(2024, 3, 9, 8, 5, 3, 120, tzinfo=BERLIN),
    datetime.datetime(1, 1, 1, tzinfo=datetime.timezone(datetime.timedelta(hours=-5, minutes=-30))),
    datetime.datetime(9999, 12, 31, 23, 59, 59, 999999),
    datetime.date(999, 12, 31), datetime.time(12, 0, 0, 12345), uuid.UUID(int=2**128 - 1),
    Shade.DARK, Record("r", datetime.date(2020, 1, 2)), Point(1.5, [Shade.DARK]),
    kestro.Fragment(b'{"pre":"made"}'), kestro.Fragment("[1]"),
]
RICH_KEYS = [RICH[0], RICH[2], RICH[3], RICH[4], RICH[5], Size.BIG]

cycle = [1]
cycle.append(cycle)

MIXED = {
    "ascii": "plain text",
    "escapes": 'quote " backslash \\ controls \x00\x1f\n\t',
    "wide": "é€😀" * 20,
    "numbers": [0, -1, 2**63 - 1, -(2**63), 2**64 - 1, 1.5, -0.0, 1e300, 5e-324, math.nan, math.inf],
    "literals": [None, True, False],
    "nested": {"a": [{"b": [[], {}]}], "long key " * 10: (1, 2)},
    "subclasses": [MyStr("s"), MyInt(7), MyList([1]), MyDict(k=1)],
}
MIXED_TEXT = json.dumps(
    {"records": [{"id": i, "name": f"n{i}", "tags": ["a", "é", "😀"], "score": i / 7,
                  "key of more than sixty-four bytes, which the key cache does not keep": i}
                 for i in range(20)],
     "big": 12345678901234567890, "neg": -9223372036854775808, "exp": 1.5e-300,
     "escaped": "\\u00e9\\ud83d\\ude00\\n\\\""}, ensure_ascii=False)

# Each entry: an id, the call, and what it must give (bytes or a value for a
# success, the exception type and message for a failure).  Every message of
# both catalogues appears (the scratch-buffer memory failure of loads aside,
# which needs an input too large to allocate).
E = kestro.JSONEncodeError
D = kestro.JSONDecodeError
CATALOGUE = [
    # dumps: successes
    ("dumps-mixed", lambda: kestro.dumps(MIXED), None),
    ("dumps-mixed-sorted-indented", lambda: kestro.dumps(MIXED, option=SORT | INDENT | kestro.OPT_APPEND_NEWLINE), None),
    ("dumps-default-result", lambda: kestro.dumps([ODD, {"k": ODD}], default_result, SORT), None),
    ("dumps-passthrough", lambda: kestro.dumps(MIXED["subclasses"], default=lambda o: type(o).__mro__[1](o),
                                                option=kestro.OPT_PASSTHROUGH_SUBCLASS), None),
    ("dumps-large-output", lambda: kestro.dumps(["x" * 1000] * 3000), None),  # past 2 MiB: spilled blocks
    # dumps: argument errors
    ("dumps-no-argument", lambda: kestro.dumps(default=default_result),
     (E, "dumps() missing 1 required positional argument: 'obj'")),
    ("dumps-bad-keyword", lambda: kestro.dumps(1, foo=1), (E, "dumps() got an unexpected keyword argument")),
    ("dumps-default-twice", lambda: kestro.dumps(1, None, default=None),
     (E, "dumps() got multiple values for argument: 'default'")),
    ("dumps-option-twice", lambda: kestro.dumps(1, None, 0, option=0),
     (E, "dumps() got multiple values for argument: 'option'")),
    ("dumps-invalid-opts", lambda: kestro.dumps(1, option=4096), (E, "Invalid opts")),
    ("dumps-too-many", lambda: kestro.dumps(1, None, 0, 0),
     (E, "dumps() takes at most 3 positional arguments (4 given)")),
    # dumps: walk failures, after some output and with a cause where there is one
    ("dumps-unsupported", lambda: kestro.dumps(["x" * 100, ODD]), (E, "Type is not JSON serializable: Odd")),
    ("dumps-default-raises", lambda: kestro.dumps({"a": [1, ODD]}, default_raises),
     (E, "Type is not JSON serializable: Odd")),
    ("dumps-default-self", lambda: kestro.dumps([ODD], default_self),
     (E, "default serializer exceeds recursion limit")),
    ("dumps-too-deep", lambda: kestro.dumps(nested(255, [1])), (E, "Recursion limit reached")),
    ("dumps-cycle", lambda: kestro.dumps({"c": cycle}, option=SORT), (E, "Recursion limit reached")),
    ("dumps-int-64", lambda: kestro.dumps([1, 2**64]), (E, "Integer exceeds 64-bit range")),
    ("dumps-int-53", lambda: kestro.dumps([2**53], option=kestro.OPT_STRICT_INTEGER),
     (E, "Integer exceeds 53-bit range")),
    ("dumps-surrogate", lambda: kestro.dumps(["ok", "\ud800"]), (E, "str is not valid UTF-8: surrogates not allowed")),
    ("dumps-surrogate-key", lambda: kestro.dumps({"a": 1, "\udc00": 2}, option=SORT),
     (E, "str is not valid UTF-8: surrogates not allowed")),
    ("dumps-key-not-str", lambda: kestro.dumps({"a": 1, 2: 3}), (E, "Dict key must be str")),
    ("dumps-key-not-str-sorted", lambda: kestro.dumps({"a": [1], MyStr("b"): 3}, option=SORT),
     (E, "Dict key must be str")),
    ("dumps-non-str-keys", lambda: kestro.dumps({1: ODD, None: [MyStr("k")], 2.5: {True: 1}, MyStr("s"): 0},
                                                 default_result, NON_STR | SORT), None),
    ("dumps-key-out-of-range", lambda: kestro.dumps({1: 2, 2**64: 3}, option=NON_STR),
     (E, "Dict integer key must be within 64-bit range")),
    ("dumps-key-without-form", lambda: kestro.dumps({"a": ODD, (1, 2): 3}, default_result, NON_STR | SORT),
     (E, "Dict key must a type serializable with OPT_NON_STR_KEYS")),
    ("dumps-rich", lambda: kestro.dumps(RICH, option=kestro.OPT_UTC_Z | INDENT), None),
    ("dumps-rich-passed", lambda: kestro.dumps(RICH, default=repr, option=kestro.OPT_PASSTHROUGH_DATETIME
                                              | kestro.OPT_PASSTHROUGH_DATACLASS), None),
    ("dumps-rich-keys", lambda: kestro.dumps({k: 1 for k in RICH_KEYS}, option=NON_STR | SORT), None),
    ("dumps-tz-library", lambda: kestro.dumps([datetime.datetime(2020, 1, 1, tzinfo=NoOffset())]),
     (E, "datetime's timezone library is not supported: use datetime.timezone.utc, pendulum, pytz, or dateutil")),
    ("dumps-time-tzinfo", lambda: kestro.dumps({"t": datetime.time(1, 2, tzinfo=datetime.timezone.utc)}),
     (E, "datetime.time must not have tzinfo set")),
    ("dumps-fragment-content", lambda: kestro.dumps([kestro.Fragment(bytearray(b"[]"))]),
     (E, "kestro.Fragment's content is not of type bytes or str")),
    # loads: successes, from every input type
    ("loads-bytes", lambda: kestro.loads(MIXED_TEXT.encode()), json.loads(MIXED_TEXT)),
    ("loads-str", lambda: kestro.loads(MIXED_TEXT), json.loads(MIXED_TEXT)),
    ("loads-bytearray", lambda: kestro.loads(bytearray(b'{"a":[1,2,{"b":null}]}')), {"a": [1, 2, {"b": None}]}),
    ("loads-memoryview", lambda: kestro.loads(memoryview(b'["x",1.5]')), ["x", 1.5]),
    ("loads-trivial", lambda: kestro.loads(b"[]"), []),
    # loads: the module's own messages
    ("loads-wrong-type", lambda: kestro.loads(1), (D, "Input must be bytes, bytearray, memoryview, or str")),
    ("loads-surrogate", lambda: kestro.loads('["\ud800"]'), (D, "str is not valid UTF-8: surrogates not allowed")),
    ("loads-not-utf8", lambda: kestro.loads(b'["\xff"]'), (D, "str is not valid UTF-8: surrogates not allowed")),
    ("loads-empty", lambda: kestro.loads(b""), (D, "Input is a zero-length, empty document")),
    ("loads-too-deep", lambda: kestro.loads("[" * 1025 + "]" * 1025), (D, "array and object recursion depth exceeded")),
] + [
    # loads: the reader's messages
    (f"loads-{msg.replace(' ', '-')}", (lambda text: lambda: kestro.loads(text))(text), (D, msg))
    for text, msg in [
        (" ", "input data is empty"),
        ('{"a": [1, "x"', "unexpected end of data"),
        ('{"a" 1}', "unexpected character"),
        ("[1] x", "unexpected content after document"),
        ("[trux]", "invalid literal"),
        ('{"a": [1,]}', "trailing comma is not allowed"),
        ("[-a]", "no digit after minus sign"),
        ("[1.]", "no digit after decimal point"),
        ("[1e+]", "no digit after exponent sign"),
        ("[01]", "number with leading zero is not allowed"),
        ("[1e400]", "number is infinity when parsed as double"),
        ('["\x01"]', "unexpected control character in string"),
        ('["\\x"]', "invalid escaped character in string"),
        ('["\\u12g4"]', "invalid escaped sequence in string"),
        ('["\\udc00"]', "invalid high surrogate in string"),
        ('["\\ud800\\u0041"]', "invalid low surrogate in string"),
        ('["\\ud800"]', "no low surrogate in string"),
        ("[" * 600, "memory allocation failed"),
    ]
]


def outcome(call):
    try:
        return call()
    except (kestro.JSONEncodeError, kestro.JSONDecodeError) as e:
        return (type(e), e.msg if isinstance(e, kestro.JSONDecodeError) else str(e))


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.parametrize("name,call,expected", CATALOGUE, ids=[c[0] for c in CATALOGUE])
def test_no_leak_on_any_path(name, call, expected):
    first = outcome(call)
    if isinstance(expected, tuple):
        assert first == expected
    elif expected is not None:
        assert first == expected
    else:
        assert isinstance(first, bytes)
        json.loads(first, parse_constant=lambda c: 0)

    # Inputs, default results and cached objects (a key from the key cache,
    # the singletons the module hands out) keep their reference counts.
    cached_key = next(iter(kestro.loads(b'{"cached key":1}')))
    watched = [MIXED, MIXED["subclasses"][0], ODD, DEFAULT_RESULT, DEFAULT_RESULT["from"], cycle,
               default_result, default_raises, cached_key, MIXED_TEXT]
    # The singletons the module hands out are shared with the interpreter,
    # whose own use moves their counts a little; a reference lost per call
    # would move them by thousands.
    singletons = [None, True, False, kestro.loads(b'""')]
    rounds = 400 if LIGHT else 4000
    if name == "dumps-large-output":
        rounds = max(rounds // 20, 100)
    for _ in range(rounds // 4):  # caches and free lists settle
        outcome(call)
    gc.collect()
    counts = [sys.getrefcount(o) for o in watched]
    shared_counts = [sys.getrefcount(o) for o in singletons]
    rss = resident_bytes()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(rounds):
            outcome(call)
        gc.collect()
        growth = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert growth < 16 * 1024, f"{growth} bytes kept after {rounds} calls"
    # A leak of a few bytes a call shows above, of untraced memory here.
    # (AddressSanitizer holds freed blocks in quarantine: its resident size
    # tells nothing.)
    if not SANITIZED:
        assert resident_bytes() - rss < 8 * 1024 * 1024
    assert [sys.getrefcount(o) for o in watched] == counts
    for obj, count in zip(singletons, shared_counts):
        assert abs(sys.getrefcount(obj) - count) < rounds // 4, repr(obj)


def test_threads_share_inputs_and_the_key_cache():
    """Threads running both functions on the same objects, with default
    switching threads mid-walk, give what one thread gives."""
    shared_doc = json.dumps([{f"key{i % 300}": [i, f"v{i}", {"k": None}]} for i in range(600)])
    shared_obj = kestro.loads(shared_doc)

    def switching_default(obj):
        os.sched_yield()
        return [len(shared_obj)]

    calls = [
        lambda: kestro.dumps(shared_obj),
        lambda: kestro.dumps(shared_obj, option=SORT | INDENT),
        lambda: kestro.dumps([shared_obj[:50], ODD, shared_obj[50:100]], switching_default, SORT),
        lambda: kestro.dumps(MIXED, option=SORT),
        lambda: kestro.loads(shared_doc),
        lambda: kestro.loads(shared_doc.encode()),
        lambda: kestro.loads(MIXED_TEXT),
        lambda: outcome(lambda: kestro.dumps({"a": ODD}, default_raises)),
        lambda: outcome(lambda: kestro.loads(shared_doc[:-7])),
    ]
    expected = [call() for call in calls]
    mismatches = []
    rounds = 5 if LIGHT else 30

    def worker(seed):
        order = list(range(len(calls))) * rounds
        random.Random(seed).shuffle(order)
        for i in order:
            if calls[i]() != expected[i]:
                mismatches.append(i)

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        threads = [threading.Thread(target=worker, args=(seed,)) for seed in range(6)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(interval)
    assert mismatches == []


# ---------------------------------------------------------------------------
# Hostile inputs: one row each, under the sanitizers too.


def brackets_megabyte():
    for data in (b"[" * 2**20, "[" * 2**20, b"{\"a\":" * 2**18):
        with pytest.raises(kestro.JSONDecodeError) as info:
            kestro.loads(data)
        assert info.value.msg == "array and object recursion depth exceeded"
        assert info.value.pos == (1025 if data[0:1] in (b"[", "[") else 5 * 1024 + 1)  # after the bracket


def string_100mb():
    text = "a" * (100 * 2**20) + 'é"\n😀'
    out = kestro.dumps(text)
    assert out == b'"' + b"a" * (100 * 2**20) + 'é\\"\\n😀"'.encode()
    back = kestro.loads(out)
    assert back == text
    del out, back
    assert kestro.loads(b'["' + b"\xe2\x82\xac" * (35 * 2**20) + b'"]') == ["€" * (35 * 2**20)]


def million_keys_sorted():
    keys = [f"{(i * 7919) % 10**6:06d}k" for i in range(10**6)]
    d = dict.fromkeys(keys, 1)
    out = kestro.dumps(d, option=SORT)
    back = json.loads(out)
    assert list(back) == sorted(keys)
    assert kestro.dumps(d, option=SORT | INDENT).count(b"\n") == 10**6 + 1


def integers_of_thousands_of_digits():
    for digits in (400, 4301, 10000):
        big = 7 * (10**digits - 1) // 9  # the digit 7, repeated
        for v in (big, -big, MyInt(big)):
            with pytest.raises(TypeError, match="^Integer exceeds 64-bit range$"):
                kestro.dumps([v])
        with pytest.raises(kestro.JSONDecodeError) as info:
            kestro.loads("[" + "7" * digits + "]")
        assert info.value.msg == "number is infinity when parsed as double"
    assert kestro.loads("7" * 300) == float("7" * 300)
    assert kestro.loads("0." + "7" * 5000 + "e-10") == float("0." + "7" * 5000 + "e-10")
    with pytest.raises(kestro.JSONDecodeError, match="leading zero"):
        kestro.loads("0" * 5000 + "1")


def colliding_keys():
    # Far more keys than the cache has slots: every slot is contested, and
    # keys differ only at the end, in length (64 and 65 bytes) or in width.
    keys = [f"{i:064d}" for i in range(5000)] + [f"{i:065d}" for i in range(500)]
    keys += ["é" * 31 + f"{i:02d}" for i in range(100)] + ["😀" * 16 + f"{i}" for i in range(10)]
    doc = json.dumps({k: i for i, k in enumerate(keys)}, ensure_ascii=False)
    for _ in range(3):
        assert list(kestro.loads(doc).items()) == [(k, i) for i, k in enumerate(keys)]
    swapped = json.dumps({k: i for i, k in enumerate(reversed(keys))}, ensure_ascii=False)
    assert list(kestro.loads(swapped)) == keys[::-1]


def default_returns_argument():
    calls = []

    def same(obj):
        calls.append(1)
        return obj

    with pytest.raises(TypeError, match="^default serializer exceeds recursion limit$"):
        kestro.dumps({"a": [ODD]}, default=same)
    assert len(calls) == 255


def fragment_of_non_json():
    if not hasattr(kestro, "Fragment"):
        pytest.skip("no Fragment")
    try:
        kestro.dumps(kestro.Fragment(b"1"))
    except TypeError:
        pytest.skip("Fragments are not written yet")
    for content, text in [(b"\xff\x00{", b"\xff\x00{"), ("}{\ud7ff", "}{\ud7ff".encode()), (b"", b"")]:
        assert kestro.dumps([kestro.Fragment(content), 1]) == b"[" + text + b",1]"
    with pytest.raises(TypeError, match="surrogates"):
        kestro.dumps(kestro.Fragment("\ud800"))


def released_memoryview():
    for exporter in (b"[1, 2]", bytearray(b"[1, 2]")):
        view = memoryview(exporter)
        view.release()
        with pytest.raises(kestro.JSONDecodeError) as info:
            kestro.loads(view)
        assert info.value.msg == "Input must be bytes, bytearray, memoryview, or str"
    # A bytearray can change size again once its views are released.
    data = bytearray(b'{"a": [1, 2]}')
    view = memoryview(data)
    assert kestro.loads(view) == {"a": [1, 2]}
    view.release()
    data[:] = b"[" * 5000
    with pytest.raises(kestro.JSONDecodeError):
        kestro.loads(data)


def numpy_views():
    """Views that are not contiguous, byte-swapped, offset, reversed or empty
    in some dimension."""
    np = pytest.importorskip("numpy")
    numpy_opt = kestro.OPT_SERIALIZE_NUMPY
    try:
        kestro.dumps(np.zeros(1), option=numpy_opt)
    except TypeError:
        pytest.skip("numpy arrays are not written yet")
    base = np.arange(-12, 12, dtype="i4").reshape(4, 6)
    for view in (base[:, ::2], base.T, base[::2], base[:, 1:3], base[::-1], np.zeros((3, 3))[:, 0]):
        with pytest.raises(TypeError, match=r"^numpy array is not C contiguous; use ndarray.tolist\(\) in default$"):
            kestro.dumps({"a": [view]}, option=numpy_opt)
        out = kestro.dumps([view], default=lambda a: a.tolist(), option=numpy_opt)
        assert json.loads(out) == [view.tolist()]
    for view in (base[1:3], base[2], base[3, 1:4], base[:0]):  # contiguous, away from the start
        assert json.loads(kestro.dumps(view, option=numpy_opt)) == view.tolist()
    for swapped in (base.astype(">i4"), np.linspace(-1, 1, 5).astype(">f8"), base.astype(">u2")[1:]):
        for default in (None, lambda a: a.tolist()):
            with pytest.raises(TypeError, match="^numpy array is not native-endianness$"):
                kestro.dumps([1, swapped], default=default, option=numpy_opt)
    assert kestro.dumps(base.astype(">i1"), option=numpy_opt) == kestro.dumps(base.astype("i1"), option=numpy_opt)
    for shape in ((0,), (2, 0), (0, 3), (2, 0, 3), (3, 2, 0), (1, 1, 0)):
        for dtype in ("f8", "f2", "?", "u8", "M8[ps]", "M8[D]"):
            array = np.zeros(shape, dtype=dtype)
            expected = json.dumps(array.tolist(), separators=(",", ":")).encode()
            assert kestro.dumps(array, option=numpy_opt) == expected, (shape, dtype)
            assert json.loads(kestro.dumps(array, option=numpy_opt | INDENT)) == array.tolist()


ADVERSARIAL = [
    brackets_megabyte,
    string_100mb,
    million_keys_sorted,
    integers_of_thousands_of_digits,
    colliding_keys,
    default_returns_argument,
    fragment_of_non_json,
    released_memoryview,
    numpy_views,
]


@pytest.mark.parametrize("case", ADVERSARIAL, ids=[c.__name__ for c in ADVERSARIAL])
def test_adversarial_input(case):
    case()
