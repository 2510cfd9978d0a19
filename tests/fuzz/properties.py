"""Properties the fuzz harnesses check on every input.

check_loads(data): loads of the bytes, of text made from them (lone
surrogates included) and of the same bytes as bytearray and memoryview gives
a result or JSONDecodeError with a known message, nothing else; byte and str
input of the same text agree; an accepted document is one the standard
library accepts too, with the same value, and it goes through dumps and back
unchanged unless it is nested deeper than dumps writes.

check_dumps(data): an object graph, an option mask and a default are built
from the bytes; dumps gives bytes that the standard library reads (and reads
as the value a model of dumps predicts, where it can predict one) or
TypeError, nothing else.

Both raise AssertionError (or let any other exception through) on a finding;
the fuzz driver aborts on it.
"""

import dataclasses
import datetime
import enum
import json
import math
import struct
import sys
import typing
import uuid

try:
    import numpy
except ImportError:
    numpy = None

try:
    import kestro
except ImportError:  # the seed writer builds programs without the module
    kestro = None

sys.setrecursionlimit(20000)

# ---------------------------------------------------------------------------
# loads

LOADS_MESSAGES = {
    "Input must be bytes, bytearray, memoryview, or str",
    "str is not valid UTF-8: surrogates not allowed",
    "Input is a zero-length, empty document",
    "Not enough memory to allocate buffer for parsing",
    "input data is empty",
    "unexpected end of data",
    "unexpected character",
    "unexpected content after document",
    "invalid literal",
    "trailing comma is not allowed",
    "no digit after minus sign",
    "no digit after decimal point",
    "no digit after exponent sign",
    "number with leading zero is not allowed",
    "number is infinity when parsed as double",
    "unexpected control character in string",
    "invalid escaped character in string",
    "invalid escaped sequence in string",
    "invalid high surrogate in string",
    "invalid low surrogate in string",
    "no low surrogate in string",
    "memory allocation failed",
    "invalid UTF-8 encoding in string",
    "array and object recursion depth exceeded",
}

# dumps accepts 254 nested non-empty containers (an empty list costs no level).
DUMPS_DEPTH = 254


def canon(value):
    """The value with every type made visible: 1, 1.0 and True differ, and so
    do -0.0 and 0.0; dicts keep their order."""
    t = type(value)
    if t is float:
        return ("f", value.hex() if math.isfinite(value) else repr(value))
    if t is bool or value is None:
        return value
    if t is int:
        return ("i", value)
    if t is str:
        return ("s", value)
    if t is list or t is tuple:
        return [canon(v) for v in value]
    if t is dict:
        return ("d", [(canon(k), canon(v)) for k, v in value.items()])
    raise AssertionError(f"unexpected type in a result: {t!r}")


def depth(value):
    """Nesting as dumps counts it: an empty list costs no level, an empty dict one."""
    t = type(value)
    if t is list or t is tuple:
        return 1 + max(map(depth, value)) if value else 0
    if t is dict:
        return 1 + max(map(depth, value.values()), default=0)
    return 0


def loads_outcome(arg, text):
    """('ok', value) or ('err', msg, pos); anything else is a finding.  text
    is the document as str, or None when the argument has no UTF-8 form."""
    try:
        value = kestro.loads(arg)
    except kestro.JSONDecodeError as e:
        assert e.msg in LOADS_MESSAGES, f"unknown loads message {e.msg!r}"
        assert e.doc in ("", text), f"doc {e.doc!r} is neither empty nor the input"
        assert 0 <= e.pos <= len(e.doc), f"pos {e.pos} outside doc of {len(e.doc)} characters"
        assert e.__cause__ is None, "a decode error carries no cause"
        return ("err", e.msg, e.pos)
    return ("ok", value)


def stdlib_value(value):
    """What the standard library's reading maps to under loads: integers past
    the 64-bit range become floats."""
    t = type(value)
    if t is int and not -(2**63) <= value < 2**64:
        return float(value)
    if t is list:
        return [stdlib_value(v) for v in value]
    if t is dict:
        return {k: stdlib_value(v) for k, v in value.items()}
    return value


def reject_constant(name):
    raise ValueError(f"{name} is not JSON")


def check_accepted(value, text):
    """An accepted document: the standard library agrees on it, and dumps of
    the value loads back to it."""
    try:
        expected = json.loads(text, parse_constant=reject_constant)
    except RecursionError:
        expected = None  # deeper than the standard library reads
    except ValueError as e:
        raise AssertionError(f"loads accepted what json.loads rejects: {e}") from None
    if expected is not None:
        assert canon(value) == canon(stdlib_value(expected)), "loads and json.loads disagree"

    levels = depth(value)
    try:
        out = kestro.dumps(value)
    except TypeError as e:
        assert str(e) == "Recursion limit reached", f"dumps of a loads result failed: {e}"
        assert levels > DUMPS_DEPTH, f"recursion limit at depth {levels}"
        return
    assert levels <= DUMPS_DEPTH, f"dumps wrote depth {levels}"
    assert canon(kestro.loads(out)) == canon(value), "dumps of a loads result reads back different"


SURROGATES = ("err", "str is not valid UTF-8: surrogates not allowed", 0)


def check_loads(data):
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError:
        text = None
    outcome = loads_outcome(data, text)
    if text is None:
        assert outcome == SURROGATES, "bytes that are not UTF-8 must be refused whole"
    elif outcome[0] == "ok":
        check_accepted(outcome[1], text)

    # The same bytes through the other byte-like types.
    for other in (bytearray(data), memoryview(data)):
        assert canon_outcome(loads_outcome(other, text)) == canon_outcome(outcome), type(other)

    if text is not None:
        # The same text as str: the same value or the same error at the same
        # character position.
        as_str = loads_outcome(text, text)
        assert canon_outcome(as_str) == canon_outcome(outcome), "bytes and str input disagree"
    else:
        # Undecodable bytes become lone surrogates: always refused whole.
        escaped = data.decode("utf-8", "surrogateescape")
        assert loads_outcome(escaped, escaped) == SURROGATES
    # Each byte as one character: one-byte-per-character text, non-ASCII.
    latin = data.decode("latin-1")
    result = loads_outcome(latin, latin)
    if result[0] == "ok":
        check_accepted(result[1], latin)


def canon_outcome(outcome):
    return ("ok", canon(outcome[1])) if outcome[0] == "ok" else outcome


# ---------------------------------------------------------------------------
# dumps

class OPT:
    OPT_APPEND_NEWLINE = 1024
    OPT_INDENT_2 = 1
    OPT_NAIVE_UTC = 2
    OPT_NON_STR_KEYS = 4
    OPT_OMIT_MICROSECONDS = 8
    OPT_PASSTHROUGH_DATACLASS = 2048
    OPT_PASSTHROUGH_DATETIME = 512
    OPT_PASSTHROUGH_SUBCLASS = 256
    OPT_SERIALIZE_NUMPY = 16
    OPT_SORT_KEYS = 32
    OPT_STRICT_INTEGER = 64
    OPT_UTC_Z = 128


if kestro is not None:
    for _name, _value in vars(OPT).items():
        if _name.startswith("OPT_"):
            assert getattr(kestro, _name) == _value, _name
FAIL = "FAIL"  # the model says dumps must raise TypeError
UNKNOWN = "UNKNOWN"  # the model cannot tell: bytes json.loads reads, or TypeError


class Reader:
    def __init__(self, data):
        self.data = data
        self.pos = 0
        self.nodes = 0
        self.shares = 0  # objects placed twice; nested sharing grows exponentially
        self.raw = False  # a Fragment of text that is not JSON was placed
        self.default_calls = 0  # calls of default whose results hold what is built
        self.chars = 1 << 16  # characters of text left to build: outputs stay small

    def byte(self):
        if self.pos >= len(self.data):
            return 0
        b = self.data[self.pos]
        self.pos += 1
        return b

    def take(self, n):
        chunk = self.data[self.pos : self.pos + n]
        self.pos += n
        return chunk.ljust(n, b"\0")

    def done(self):
        return self.pos >= len(self.data) or self.nodes > 3000


class MyStr(str):
    pass


class MyInt(int):
    pass


class MyList(list):
    pass


class MyDict(dict):
    pass


class Odd:
    """Not written by dumps: handed to default."""

    def __init__(self, n):
        self.n = n


# What default does, chosen per input.
NO_DEFAULT, DEF_STR, DEF_LIST, DEF_RAISES, DEF_SELF, DEF_CHAIN, DEF_UNSUPPORTED = range(7)


def make_default(mode):
    if mode == NO_DEFAULT:
        return None

    def default(o):
        if mode == DEF_RAISES:
            raise ValueError("refused")
        if mode == DEF_SELF:
            return o
        if mode == DEF_UNSUPPORTED:
            return {1, 2}
        if isinstance(o, enum.Enum):
            return o.value
        if numpy is not None and isinstance(o, (numpy.ndarray, numpy.generic)):
            return o.tolist()
        if isinstance(o, (datetime.date, datetime.time)) or dataclasses.is_dataclass(o):
            return "passed"
        if isinstance(o, Odd):
            if mode == DEF_STR:
                return f"odd{o.n}"
            if mode == DEF_LIST:
                return [o.n, None]
            return Odd(o.n - 1) if o.n > 0 else o.n  # DEF_CHAIN
        for base in (str, int, list, dict):  # subclasses passed through
            if isinstance(o, base):
                return base(o)
        raise TypeError(f"no default for {type(o).__name__}")

    return default


def expected_default(mode, n, calls):
    """The model's value for default applied to Odd(n) inside the results
    of calls earlier calls of default."""
    if calls + 1 > 255:
        return FAIL
    if mode == DEF_STR:
        return ("s", f"odd{n}")
    if mode == DEF_LIST:
        return [("i", n), None]
    if mode == DEF_CHAIN:  # n + 1 calls; a chain of 255 is allowed, results included
        return ("i", 0) if calls + n + 1 <= 255 else FAIL
    return FAIL


def merge(parts, build):
    """FAIL wins over UNKNOWN, which wins over a value."""
    if any(p is FAIL for p in parts):
        return FAIL
    if any(p is UNKNOWN for p in parts):
        return UNKNOWN
    return build(parts)


SPECIAL_INTS = [
    0, 1, -1, 9, 10, 99, 100, 2**31 - 1, -(2**31), 2**32, 2**53 - 1, -(2**53 - 1), 2**53, -(2**53),
    2**63 - 1, -(2**63), 2**63, 2**64 - 1, 2**64, -(2**63) - 1, 10**19, 10**20 - 1, 10**20,
    12345678901234567, 123456789012345678, 1234567890123456789, 2**30, 2**60,
]
SPECIAL_FLOATS = [
    math.nan, math.inf, -math.inf, 0.0, -0.0, 5e-324, -5e-324, 2.2250738585072014e-308,
    1.7976931348623157e308, 0.1, 0.3, 1.0, 1e16, 1e17, 1e21, 1e22, 1e-5, 1e-7, 123456.789,
    9007199254740993.0, 2.0**63, 2.0**64, 1 / 3,
]


def model_int(value, mask):
    if mask & OPT.OPT_STRICT_INTEGER:
        return ("i", int(value)) if abs(value) <= 2**53 - 1 else FAIL
    return ("i", int(value)) if -(2**63) <= value < 2**64 else FAIL


def model_str(value):
    try:
        value.encode("utf-8")
    except UnicodeEncodeError:
        return FAIL
    return ("s", str(value))


def model_float(value):
    return ("f", value.hex()) if math.isfinite(value) else None


def read_count(r, small):
    """A container size or text length: one byte below 0xF0 (taken modulo
    small), or 0xF0 + high bits and a second byte, up to 4095."""
    b = r.byte()
    if b < 0xF0:
        return b % small
    return (b - 0xF0) << 8 | r.byte()


def build_str(r):
    """Narrow texts take one byte per character (U+0000 to U+00FF); wide ones
    one byte per ASCII character and three for any other code point, lone
    surrogates included."""
    wide = r.byte() & 1
    n = min(read_count(r, 64), r.chars)
    r.chars -= n
    if not wide:
        return r.take(n).decode("latin-1")
    chars = []
    for _ in range(n):
        b = r.byte()
        if wide and b >= 0x80:
            b = ((b & 0x7F) << 16 | r.byte() << 8 | r.byte()) % 0x110000
        chars.append(chr(b))
    return "".join(chars)


def build(r, mask, mode, level):
    """(object, model) from the reader."""
    r.nodes += 1
    op = r.byte() % 24 if not r.done() else r.byte() % 6
    if op == 0:
        return None, None
    if op == 1:
        return True, True
    if op == 2:
        return False, False
    if op == 3:
        v = struct.unpack("<b", r.take(1))[0]
        return v, model_int(v, mask)
    if op == 4:
        v = SPECIAL_INTS[r.byte() % len(SPECIAL_INTS)]
        v = -v if r.byte() & 1 else v
        return v, model_int(v, mask)
    if op == 5:
        s = build_str(r)
        return s, model_str(s)
    if op == 6:
        n = r.byte() % 40 + 1
        v = int.from_bytes(r.take(n), "little", signed=True)
        return v, model_int(v, mask)
    if op == 7:
        v = struct.unpack("<d", r.take(8))[0]
        return v, model_float(v)
    if op == 8:
        v = SPECIAL_FLOATS[r.byte() % len(SPECIAL_FLOATS)]
        v = -v if r.byte() & 1 else v
        return v, model_float(v)
    if op in (9, 10, 11):  # list, tuple, dict
        n = read_count(r, 16)
        if op == 11:
            return build_dict(r, mask, mode, level, n, dict)
        items = [build(r, mask, mode, level + 1) for _ in range(n)]
        obj = [o for o, _ in items] if op == 9 else tuple(o for o, _ in items)
        return obj, merge([m for _, m in items], list)
    if op == 12:
        s = build_str(r)
        return subclass(MyStr(s), model_str(s), mask, mode)
    if op == 13:
        v = int.from_bytes(r.take(r.byte() % 10 + 1), "little", signed=True)
        return subclass(MyInt(v), model_int(v, mask), mask, mode)
    if op in (14, 15):
        # Passed through, the container's copy from default is written: its
        # members are reached one call of default deeper.
        deeper = mask & OPT.OPT_PASSTHROUGH_SUBCLASS and mode in (DEF_STR, DEF_LIST, DEF_CHAIN)
        r.default_calls += bool(deeper)
        if op == 14:
            items = [build(r, mask, mode, level + 1) for _ in range(r.byte() % 4)]
            obj, model = MyList(o for o, _ in items), merge([m for _, m in items], list)
        else:
            obj, model = build_dict(r, mask, mode, level, r.byte() % 4, MyDict)
        r.default_calls -= bool(deeper)
        return subclass(obj, model, mask, mode)
    if op == 16:
        n = r.byte() % 300
        return Odd(n), expected_default(mode, n, r.default_calls)
    if op == 17:  # deep nesting of lists and dicts
        n = r.byte() + r.byte() // 4  # up to 318 levels
        kinds = r.byte()
        obj, model = build(r, mask, mode, level + n)
        for i in range(n):
            if (kinds >> (i % 8)) & 1:
                obj, model = {"k": obj}, merge([model], lambda p: ("d", [(("s", "k"), p[0])]))
            else:
                obj, model = [obj], merge([model], list)
        return obj, model
    if op == 18:  # a list that holds itself
        cycle = [1]
        cycle.append(cycle)
        return cycle, FAIL
    if op == 19 and r.shares < 2:  # one object in two places
        r.shares += 1
        obj, model = build(r, mask, mode, level + 1)
        return [obj, obj], merge([model], lambda p: [p[0], p[0]])
    if op == 20:
        v = struct.unpack("<f", r.take(4))[0]
        return v, model_float(v)
    return build_rich(r, mask, mode, level, op)


KEY_SCALARS = [None, True, False, 7, -(2**70), 1.5, math.nan, (1, 2), 2**64 - 1, -(2**63), MyInt(-5),
               1e16, -0.0, math.inf, 2**53 + 1]
PASSTHROUGH = OPT.OPT_PASSTHROUGH_SUBCLASS | OPT.OPT_PASSTHROUGH_DATETIME | OPT.OPT_PASSTHROUGH_DATACLASS


def key_text(model):
    """The key form of a value's model under OPT_NON_STR_KEYS: its text, or
    FAIL for kinds without one."""
    if model is FAIL or model is UNKNOWN:
        return model
    if model is None:
        return "null"  # None, and NaN and the infinities
    if model is True or model is False:
        return "true" if model else "false"
    if isinstance(model, tuple) and model[0] == "s":
        return model[1]
    if isinstance(model, tuple) and model[0] == "i":
        return str(model[1])
    if isinstance(model, tuple) and model[0] == "f":
        if kestro is None:
            return UNKNOWN
        return kestro.dumps(float.fromhex(model[1])).decode()  # the same text as a value
    return FAIL  # containers, dataclasses, Fragments


def build_key(r, mask, level):
    """A dict key and its key text (or FAIL/UNKNOWN)."""
    kb = r.byte()
    if kb < 200:
        key = build_str(r)
        return key, key_text(model_str(key))
    non_str = mask & OPT.OPT_NON_STR_KEYS
    if not non_str or not RICH["keys"]:
        unknown = UNKNOWN if non_str else FAIL
        key = MyStr(build_str(r)) if kb < 215 else KEY_SCALARS[kb % len(KEY_SCALARS)]
        return key, unknown
    # Keys ignore the pass-through options and the 53-bit limit.
    key_mask = mask & ~(PASSTHROUGH | OPT.OPT_STRICT_INTEGER)
    if kb < 215:
        key = MyStr(build_str(r))
        return key, key_text(model_str(key))
    if kb < 240:
        key = KEY_SCALARS[kb % len(KEY_SCALARS)]
        if isinstance(key, tuple):
            return key, FAIL
        if isinstance(key, bool) or key is None:
            return key, key_text(key)
        if isinstance(key, int):
            return key, key_text(model_int(key, key_mask))
        return key, key_text(model_float(key))
    key, model = build_rich(r, key_mask, NO_DEFAULT, level, 0)
    try:
        hash(key)
    except TypeError:  # dataclasses, arrays: a tuple has no key form either
        return (type(key).__name__,), FAIL
    if isinstance(key, (datetime.date, datetime.time, uuid.UUID)) and not RICH["rich_keys"]:
        return key, UNKNOWN
    return key, key_text(model)


def build_dict(r, mask, mode, level, n, cls):
    obj = cls()
    entries = {}
    for _ in range(n):
        key, km = build_key(r, mask, level)
        value, vm = build(r, mask, mode, level + 1)
        if key in entries:  # the dict keeps its first key object
            km = entries[key][0]
        obj[key] = value
        entries[key] = (km, vm)
    models = [m for pair in entries.values() for m in pair]
    if any(m is FAIL for m in models):
        return obj, FAIL
    if any(m is UNKNOWN for m in models):
        return obj, UNKNOWN
    texts = [km for km, _ in entries.values()]
    if len(set(texts)) != len(texts):
        # Keys that convert to one text are all written; the standard
        # library keeps the first place and the last value.  Sorted, their
        # order among themselves is open.
        if mask & OPT.OPT_SORT_KEYS:
            return obj, UNKNOWN
        merged = {}
        for km, vm in entries.values():
            merged[km] = vm
        items = list(merged.items())
    else:
        items = [(km, vm) for km, vm in entries.values()]
    if mask & OPT.OPT_SORT_KEYS:
        items.sort(key=lambda kv: kv[0].encode("utf-8"))
    return obj, ("d", [(("s", k), vm) for k, vm in items])


def subclass(obj, model, mask, mode):
    """A subclass instance is written as its base type, or handed to default."""
    if not mask & OPT.OPT_PASSTHROUGH_SUBCLASS:
        return obj, model
    if mode in (DEF_STR, DEF_LIST, DEF_CHAIN):
        return obj, model  # default returns the base type's copy
    return obj, FAIL


def writes(value, option=0):
    """Whether this build writes such values natively (writers that are
    still to come leave them to default until then)."""
    if kestro is None:
        return True
    try:
        kestro.dumps(value, option=option)
    except TypeError:
        return False
    return True


ZONES = ["UTC", "Europe/Berlin", "America/New_York", "Asia/Kolkata", "Pacific/Chatham",
         "America/St_Johns", "Australia/Lord_Howe", "Europe/Amsterdam", "Africa/Monrovia"]


def zone(name):
    try:
        import zoneinfo

        return zoneinfo.ZoneInfo(name)
    except Exception:  # no time-zone data on this machine
        return datetime.timezone.utc


class Color(enum.Enum):
    RED = 1
    TEXT = "é\u2028"
    LIST = [1, [2.5, None]]
    MAP = {"k": True}
    BIG = 2**64


class Level(enum.IntEnum):
    LOW = -1
    HIGH = 2**63 - 1


class Name(str, enum.Enum):
    A = "a\"b"


@dataclasses.dataclass
class Plain:
    a: int
    b: str
    _hidden: int = 0
    tags: list = dataclasses.field(default_factory=list)

    def __post_init__(self):
        self.extra = "post"


@dataclasses.dataclass(slots=True)
class Slotted:
    x: float
    y: object
    _z: int = 3
    counter: typing.ClassVar[int] = 0


class Marker:
    """The model of values written by default ('passed') or copied (Fragments)."""

    def __init__(self, kind, inner):
        self.kind = kind
        self.inner = inner


FRAGMENTS = [b'{"a":[1,2,{"b":null}]}', b"null", b'"x\\u00e9"', "[1, \"é\"]", b"  -0.5e3 ", b"{}",
             b"", b"\xff{]", "}", bytearray(b"[]"), "\ud800"]


def model_offset(offset, mask):
    seconds = int(offset.total_seconds())
    if offset.microseconds or seconds % 60:
        return None  # offsets with seconds are rounded to the minute
    if seconds == 0:
        return "Z" if mask & OPT.OPT_UTC_Z else "+00:00"
    sign = "-" if seconds < 0 else "+"
    minutes = abs(seconds) // 60
    return f"{sign}{minutes // 60:02d}:{minutes % 60:02d}"


def model_time_text(t, mask):
    text = f"{t.hour:02d}:{t.minute:02d}:{t.second:02d}"
    if t.microsecond and not mask & OPT.OPT_OMIT_MICROSECONDS:
        text += f".{t.microsecond:06d}"
    return text


def passed(mode):
    """A value sent to default by a pass-through option."""
    return ("s", "passed") if mode in (DEF_STR, DEF_LIST, DEF_CHAIN) else FAIL


def build_rich(r, mask, mode, level, op):
    kind = r.byte() % 10
    if kind == 9 and RICH["numpy"]:
        return build_numpy(r, mask, mode)
    if kind <= 3 and RICH["datetime"]:
        day = datetime.date.fromordinal(1 + int.from_bytes(r.take(3), "little") % 3652059)
        b = r.take(7)
        us = int.from_bytes(b[3:6], "little") % 1000000 if b[6] & 1 else 0
        clock = (b[0] % 24, b[1] % 60, b[2] % 60, us)
        through = mask & OPT.OPT_PASSTHROUGH_DATETIME
        if kind == 0:
            return day, passed(mode) if through else ("s", day.isoformat())
        if kind == 1:
            t = datetime.time(*clock)
            return t, passed(mode) if through else ("s", model_time_text(t, mask))
        if kind == 2:
            t = datetime.time(*clock, tzinfo=datetime.timezone.utc)
            return t, passed(mode) if through else FAIL
        tz_byte = r.byte()
        if tz_byte < 64:
            tz = None
        elif tz_byte < 160:
            tz = datetime.timezone(datetime.timedelta(minutes=int.from_bytes(r.take(2), "little") % 2879 - 1439))
        elif tz_byte < 176:
            tz = datetime.timezone(datetime.timedelta(seconds=int.from_bytes(r.take(3), "little") % 172799 - 86399))
        else:
            tz = zone(ZONES[tz_byte % len(ZONES)])
        dt = datetime.datetime.combine(day, datetime.time(*clock), tzinfo=tz)
        if through:
            return dt, passed(mode)
        text = f"{day.isoformat()}T{model_time_text(dt, mask)}"
        if tz is None:
            if mask & OPT.OPT_NAIVE_UTC:
                text += "Z" if mask & OPT.OPT_UTC_Z else "+00:00"
            return dt, ("s", text)
        try:
            offset = dt.utcoffset()
        except (OverflowError, ValueError):
            return dt, UNKNOWN
        suffix = model_offset(offset, mask)
        return dt, ("s", text + suffix) if suffix is not None else UNKNOWN
    if kind == 4 and RICH["uuid"]:
        u = uuid.UUID(bytes=r.take(16))
        return u, ("s", str(u))
    if kind == 5 and RICH["enum"]:
        members = list(Color) + list(Level) + list(Name)
        member = members[r.byte() % len(members)]
        # Members of int- and str-based enums are written as ints and texts,
        # or under OPT_PASSTHROUGH_SUBCLASS through their value: the same.
        return member, model_json(member.value, mask)
    if kind in (6, 7) and RICH["dataclass"]:
        inner, inner_model = build(r, mask, mode, level + 1)
        if kind == 6:
            obj = Plain(r.byte() - 128, build_str(r), 5, [inner])
            items = [(("s", "a"), model_int(obj.a, mask)), (("s", "b"), model_str(obj.b)),
                     (("s", "tags"), merge([inner_model], list)), (("s", "extra"), ("s", "post"))]
        else:
            obj = Slotted(struct.unpack("<e", r.take(2))[0], inner)
            items = [(("s", "x"), model_float(obj.x)), (("s", "y"), inner_model)]
        if mask & OPT.OPT_PASSTHROUGH_DATACLASS:
            return obj, passed(mode)
        return obj, merge([m for _, m in items], lambda _: ("c", items))
    if kind == 8 and RICH["fragment"]:
        content = FRAGMENTS[r.byte() % len(FRAGMENTS)]
        frag = kestro.Fragment(content) if kestro is not None else None
        if type(content) not in (bytes, str):
            return frag, FAIL
        if type(content) is str and model_str(content) is FAIL:
            return frag, FAIL
        try:
            value = json.loads(content)
        except ValueError:
            r.raw = True  # the output is not JSON: only its type is checked
            return frag, UNKNOWN
        return frag, Marker("fragment", canon(value))
    return None, None



NUMPY_KINDS = ["?", "i1", "i2", "i4", "i8", "u1", "u2", "u4", "u8", "f2", "f4", "f8",
               "M8[D]", "M8[s]", "M8[ms]", "M8[us]", "M8[ns]", "M8[ps]", "c8"]
# Bytes per datetime64 count: ranges the calendar of the standard library covers.
DATETIME64_BYTES = {"D": 2, "s": 4, "ms": 5, "us": 6, "ns": 8, "ps": 8}
DATETIME64_NS = {"D": 86400 * 10**9, "s": 10**9, "ms": 10**6, "us": 10**3, "ns": 1, "ps": None}


def numpy_element(value, kind, mask):
    """The model of one element (or scalar) of a numpy kind."""
    if kind == "?":
        return bool(value)
    if kind[0] in "iu":
        return ("i", int(value))  # the 53-bit limit is not applied to numpy integers
    if kind == "f8":
        return model_float(float(value))
    if kind in ("f4", "f2"):
        single = numpy.float32(value)
        if not numpy.isfinite(single):
            return None
        return ("f", float(str(single)).hex())  # the shortest text of the binary32 value
    unit = kind[3:-1]
    if DATETIME64_NS[unit] is None:
        return FAIL
    ns = int(value.astype("int64")) * DATETIME64_NS[unit]
    seconds, ns = divmod(ns, 10**9)
    when = datetime.datetime(1970, 1, 1) + datetime.timedelta(seconds=seconds)
    text = (f"{when.year:04d}-{when.month:02d}-{when.day:02d}T"
            f"{when.hour:02d}:{when.minute:02d}:{when.second:02d}")
    if ns >= 1000 and not mask & OPT.OPT_OMIT_MICROSECONDS:
        text += f".{ns // 1000:06d}"
    if mask & OPT.OPT_NAIVE_UTC:
        text += "Z" if mask & OPT.OPT_UTC_Z else "+00:00"
    return ("s", text)


def numpy_model(array, kind, mask):
    if array.ndim == 1:
        return merge([numpy_element(x, kind, mask) for x in array], list)
    return merge([numpy_model(sub, kind, mask) for sub in array], list)


def numpy_values(r, kind, count):
    if kind == "?":
        return numpy.frombuffer(bytes(b & 1 for b in r.take(count)), dtype="?")
    if kind[0] == "M":
        width = DATETIME64_BYTES[kind[3:-1]]
        counts = [int.from_bytes(r.take(width), "little", signed=True) for _ in range(count)]
        return numpy.array(counts, dtype="i8").astype(kind)
    if kind == "c8":
        return numpy.zeros(count, dtype="c8")
    dtype = numpy.dtype(kind)
    return numpy.frombuffer(r.take(count * dtype.itemsize), dtype=dtype)


def through_default(value, mask, mode):
    """What the model expects when a numpy value goes to default (tolist)."""
    if mode not in (DEF_STR, DEF_LIST, DEF_CHAIN):
        return FAIL
    try:
        return model_json(value.tolist(), mask)
    except TypeError:
        return UNKNOWN  # datetime64 values become datetimes or ints


def build_numpy(r, mask, mode):
    kind = NUMPY_KINDS[r.byte() % len(NUMPY_KINDS)]
    shape_byte = r.byte()
    serialize = mask & OPT.OPT_SERIALIZE_NUMPY
    if shape_byte & 0x80:  # a scalar
        value = numpy_values(r, kind, 1)[0]
        if not serialize:
            return value, UNKNOWN if kind == "f8" else through_default(value, mask, mode)  # float64 is a float
        if kind == "c8":
            return value, through_default(value, mask, mode)
        model = numpy_element(value, kind, mask)
        return value, model if model is FAIL else Marker("numpy", model)
    nd = shape_byte % 4
    shape = [r.byte() % 4 for _ in range(nd)]
    variant = (shape_byte >> 2) % 4
    grown = list(shape)
    if variant == 1 and nd:
        grown[0] *= 2  # every second row
    size = math.prod(grown)
    array = numpy_values(r, kind, size).reshape(grown).copy()
    if variant == 1 and nd:
        array = array[::2]
    elif variant == 2:
        array = array.T
    elif variant == 3:
        array = array.astype(array.dtype.newbyteorder())
    # Read in this order: contiguity (else default), byte order (no
    # default helps), then element kinds that are not written (default).
    if not serialize or not array.flags.c_contiguous:
        return array, through_default(array, mask, mode)
    if not array.dtype.isnative:
        return array, FAIL
    if array.ndim == 0 or kind == "c8":
        return array, through_default(array, mask, mode)
    model = numpy_model(array, kind, mask)
    if model is FAIL or model is UNKNOWN:
        return array, model
    return array, Marker("numpy", model)


def model_json(value, mask):
    """The model of a plain value (an enum's value)."""
    if isinstance(value, bool) or value is None:
        return value
    if isinstance(value, int):
        return model_int(value, mask)
    if isinstance(value, float):
        return model_float(value)
    if isinstance(value, str):
        return model_str(value)
    if isinstance(value, list):
        return merge([model_json(v, mask) for v in value], list)
    if isinstance(value, dict):
        items = [(("s", k), model_json(v, mask)) for k, v in value.items()]
        if mask & OPT.OPT_SORT_KEYS:
            items.sort(key=lambda kv: kv[0][1].encode())
        return merge([m for _, m in items], lambda _: ("d", items))
    raise TypeError(type(value))


def written(model, depth=0):
    """Whether a value of this model fits the nesting limit when met at
    depth: a non-empty list or any dict raises the depth and fails at 255; a
    dataclass fails only when met at 255 (its members are at one more)."""
    if isinstance(model, list):
        return not model or (depth + 1 < 255 and all(written(m, depth + 1) for m in model))
    if isinstance(model, tuple) and model and model[0] in ("d", "c"):
        if (depth + 1 if model[0] == "d" else depth) >= 255:
            return False
        return all(written(m, depth + 1) for _, m in model[1])
    return True


def finished(model):
    """The model as the standard library reads the output."""
    if isinstance(model, list):
        return [finished(m) for m in model]
    if isinstance(model, tuple) and model and model[0] in ("d", "c"):
        return ("d", [(k, finished(m)) for k, m in model[1]])
    if isinstance(model, Marker):
        return model.inner
    return model


def check_dumps(data):
    r = Reader(data)
    mask = (r.byte() | r.byte() << 8) & 4095
    mode = r.byte() % 7
    obj, model = build(r, mask, mode, 0)
    if model is not FAIL and model is not UNKNOWN:
        model = finished(model) if written(model) else FAIL
    default = make_default(mode)
    try:
        if default is None and r.byte() & 1:
            out = kestro.dumps(obj, option=mask)
        else:
            out = kestro.dumps(obj, default, mask)
    except TypeError as e:
        if model is not FAIL and model is not UNKNOWN:
            raise AssertionError(f"dumps failed where it must succeed: {e}") from None
        return
    assert type(out) is bytes
    assert model is not FAIL, "dumps succeeded where it must fail"
    if mask & OPT.OPT_APPEND_NEWLINE:
        assert out.endswith(b"\n"), "no newline appended"
    if not mask & OPT.OPT_INDENT_2:
        assert b"\n" not in out.rstrip(b"\n"), "new line in compact output"
    if r.raw:
        return  # a Fragment of text that is not JSON was copied in
    value = json.loads(out, parse_constant=reject_constant)
    if model is not UNKNOWN:
        assert canon(value) == model, "dumps wrote a different value"
    assert canon(kestro.loads(out)) == canon(value), "loads reads dumps output differently from json.loads"


RICH = {
    "datetime": writes(datetime.date(2000, 1, 1)),
    "uuid": writes(uuid.UUID(int=1)),
    "enum": writes(Color.RED),
    "dataclass": writes(Plain(1, "b")),
    "fragment": kestro is not None and writes(kestro.Fragment(b"1")),
    "keys": writes({1: 2}, OPT.OPT_NON_STR_KEYS),
    "rich_keys": writes({uuid.UUID(int=1): 2}, OPT.OPT_NON_STR_KEYS),
    "numpy": numpy is not None and writes(numpy.zeros(1), OPT.OPT_SERIALIZE_NUMPY),
}


# ---------------------------------------------------------------------------
# Seeds: JSON documents as dumps programs


def encode_count(n, small):
    if n < small:
        return bytes([n])
    assert n < 4096
    return bytes([0xF0 + (n >> 8), n & 0xFF])


def encode_str(text):
    out = bytearray([1]) + encode_count(len(text), 64)
    for ch in text:
        cp = ord(ch)
        out += bytes([cp]) if cp < 0x80 else bytes([0x80 | cp >> 16, (cp >> 8) & 0xFF, cp & 0xFF])
    return bytes(out)


def encode_value(value):
    """The program that build() turns back into value (a JSON value)."""
    t = type(value)
    if value is None:
        return b"\x00"
    if t is bool:
        return b"\x01" if value else b"\x02"
    if t is int:
        if -128 <= value < 128:
            return b"\x03" + struct.pack("<b", value)
        n = (value.bit_length() + 8) // 8
        return b"\x06" + bytes([n - 1]) + value.to_bytes(n, "little", signed=True)
    if t is float:
        return b"\x07" + struct.pack("<d", value)
    if t is str:
        return b"\x05" + encode_str(value)
    if t is list:
        return b"\x09" + encode_count(len(value), 16) + b"".join(map(encode_value, value))
    if t is dict:
        out = b"\x0b" + encode_count(len(value), 16)
        for k, v in value.items():
            out += b"\x00" + encode_str(k) + encode_value(v)
        return out
    raise TypeError(t)


def dumps_seed(value, mask=0, mode=NO_DEFAULT):
    """A dumps program for value; None when build() would not give it back."""
    try:
        program = bytes([mask & 0xFF, mask >> 8, mode]) + encode_value(value)
    except (TypeError, AssertionError, OverflowError):
        return None
    r = Reader(program)
    r.byte(), r.byte(), r.byte()
    obj, _ = build(r, mask, mode, 0)
    return program if canon(obj) == canon(value) else None
