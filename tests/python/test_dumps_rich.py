"""dumps: uuid.UUID values, enum members, dataclass instances and Fragments."""
import dataclasses
import enum
import json
import sys
import types
import typing
import uuid

import pytest

import kestro

INDENT = kestro.OPT_INDENT_2


def unserializable(obj, name, cause, option=0):
    """dumps fails for obj with "Type is not JSON serializable: name", the
    cause of the given type, and leaves obj's reference count as it was."""
    before = sys.getrefcount(obj)
    for _ in range(3):
        with pytest.raises(TypeError) as info:
            kestro.dumps({"a": [obj]}, option=option)
        assert str(info.value) == "Type is not JSON serializable: " + name
        assert type(info.value.__cause__) is cause
        del info
    assert sys.getrefcount(obj) == before


@pytest.mark.parametrize("value", [
    uuid.UUID(int=0), uuid.UUID(int=2**128 - 1), uuid.UUID("ab" + "0" * 30),
    uuid.UUID("12345678-1234-5678-1234-567812345678"), uuid.uuid1(), uuid.uuid3(uuid.NAMESPACE_DNS, "x"),
    *[uuid.UUID(int=1 << b) for b in range(0, 128, 9)], *[uuid.uuid4() for _ in range(20)]])
def test_uuid_text_is_str(value):
    assert kestro.dumps(value) == f'"{value}"'.encode()
    assert kestro.dumps({"u": [value]}, option=INDENT) == f'{{\n  "u": [\n    "{value}"\n  ]\n}}'.encode()


def tampered(value):
    u = uuid.UUID(int=1)
    object.__setattr__(u, "int", value)
    return u


class Int(int):
    pass


def test_uuid_int_subclass_is_its_value():
    assert kestro.dumps(tampered(Int(2**127 + 10))) == f'"{uuid.UUID(int=2**127 + 10)}"'.encode()


@pytest.mark.parametrize("make, cause", [
    (lambda: uuid.UUID.__new__(uuid.UUID), AttributeError),  # the slot was never set
    (lambda: tampered(-1), OverflowError),
    (lambda: tampered(2**128), OverflowError),
    (lambda: tampered(2**200), OverflowError),
    (lambda: tampered("1"), type(None)),
    (lambda: tampered(1.0), type(None)),
])
@pytest.mark.parametrize("option", [0, INDENT])
def test_uuid_failures(make, cause, option):
    unserializable(make(), "UUID", cause, option)


def test_uuid_int_assigned_over_on_the_class(monkeypatch):
    value = uuid.UUID(int=1)
    monkeypatch.setattr(uuid.UUID, "int", property(lambda self: 5))
    assert kestro.dumps(value) == b'"00000000-0000-0000-0000-000000000005"'


def test_many_uuids_in_one_document():
    values = [uuid.uuid4() for _ in range(2000)]
    assert json.loads(kestro.dumps(values)) == [str(v) for v in values]


# ---- enum members -----------------------------------------------------------

class Plain(enum.Enum):
    ONE = 1
    TEXT = "tëxt"
    DICT = {"b": [1, None], "a": 2.5}
    LIST = [1]
    NONE = None


class Outer(enum.Enum):
    INNER = Plain.DICT
    DEEP = Plain.LIST


class Color(str, enum.Enum):
    RED = "red"


class Level(enum.IntEnum):
    HIGH = 3


class Perm(enum.Flag):
    R = 4
    W = 2


@dataclasses.dataclass
class Point:
    x: int
    y: int


class Shape(enum.Enum):
    ORIGIN = Point(0, 0)


@pytest.mark.parametrize("value, option", [
    (Plain.ONE, 0), (Plain.TEXT, 0), (Plain.DICT, 0), (Plain.DICT, kestro.OPT_SORT_KEYS),
    (Plain.DICT, INDENT), (Plain.NONE, 0), (Outer.INNER, INDENT), (Outer.DEEP, 0),
    (Color.RED, 0), (Color.RED, kestro.OPT_PASSTHROUGH_SUBCLASS), (Level.HIGH, 0),
    (Level.HIGH, kestro.OPT_PASSTHROUGH_SUBCLASS), (Perm.R | Perm.W, 0), (Shape.ORIGIN, 0),
    ({"k": [Plain.ONE, Outer.INNER]}, INDENT | kestro.OPT_SORT_KEYS),
])
def test_enum_members_are_their_values(value, option):
    def plain(v):
        while isinstance(v, enum.Enum) and not isinstance(v, (str, int)):
            v = v.value
        if dataclasses.is_dataclass(v):
            return dataclasses.asdict(v)
        if isinstance(v, dict):
            return {k: plain(x) for k, x in v.items()}
        return [plain(x) for x in v] if isinstance(v, list) else v

    indent = 2 if option & INDENT else None
    want = json.dumps(plain(value), ensure_ascii=False, indent=indent, sort_keys=bool(option & kestro.OPT_SORT_KEYS),
                      separators=(",", ": ") if indent else (",", ":"))
    assert kestro.dumps(value, option=option) == want.encode()


def nested(levels, inner):
    for _ in range(levels):
        inner = [inner]
    return inner


def test_enum_member_adds_no_nesting_level():
    # 254 nested lists are written; the member's list value is the 254th.
    assert kestro.dumps(nested(253, Plain.LIST)) == b"[" * 254 + b"1" + b"]" * 254
    with pytest.raises(TypeError, match="^Recursion limit reached$"):
        kestro.dumps(nested(254, Plain.LIST))


def test_enum_value_goes_to_default_when_unsupported():
    class Boxed(enum.Enum):
        A = object()

    assert kestro.dumps([Boxed.A], default=lambda o: "seen") == b'["seen"]'


# enum.property from 3.11 on
enum_property = getattr(enum, "property", types.DynamicClassAttribute)


class Broken(enum.Enum):
    A = 1

    @enum_property
    def value(self):
        raise LookupError("no value")


class Itself(enum.Enum):
    A = 1

    @enum_property
    def value(self):
        return self


class Lost(enum.Enum):
    A = 1


del Lost.A._value_


@pytest.mark.parametrize("option", [0, INDENT])
def test_enum_failures(option):
    unserializable(Broken.A, "Broken", LookupError, option)
    unserializable(Lost.A, "Lost", AttributeError, option)
    with pytest.raises(TypeError, match="^Recursion limit reached$"):
        kestro.dumps([Itself.A], option=option)


# ---- dataclasses ------------------------------------------------------------

@dataclasses.dataclass
class Record:
    a: int
    _b: int = 2
    c: object = None
    k: typing.ClassVar[int] = 7
    i: dataclasses.InitVar[int] = 0


@dataclasses.dataclass(slots=True)
class Slotted:
    a: int
    _b: int = 2
    c: object = None
    k: typing.ClassVar[int] = 7
    i: dataclasses.InitVar[int] = 0


@dataclasses.dataclass
class Hidden:
    _x: int = 1


@dataclasses.dataclass(slots=True)
class HiddenSlotted:
    _x: int = 1


@dataclasses.dataclass
class Empty:
    pass


@dataclasses.dataclass(slots=True)
class Base:
    a: int


@dataclasses.dataclass
class Child(Base):  # an instance dictionary that lacks the base's field
    b: int


T = typing.TypeVar("T")


@dataclasses.dataclass
class GenericRecord(typing.Generic[T]):  # an empty __slots__ on a base changes nothing
    a: T


@dataclasses.dataclass
class Lazy:
    a: int
    later: int = dataclasses.field(init=False)


@dataclasses.dataclass(slots=True)
class LazySlotted:
    a: int
    later: int = dataclasses.field(init=False)


def with_attribute(obj, **attrs):
    for k, v in attrs.items():
        setattr(obj, k, v)
    return obj


def layouts(obj, compact):
    """The compact text, and the indented one checked against json.dumps."""
    assert kestro.dumps(obj) == compact
    assert kestro.dumps(obj, option=INDENT | kestro.OPT_SORT_KEYS | kestro.OPT_NON_STR_KEYS) == \
        json.dumps(json.loads(compact), indent=2, ensure_ascii=False).encode()


@pytest.mark.parametrize("obj, compact", [
    (Record(1), b'{"a":1,"c":null}'),
    (Slotted(1), b'{"a":1,"c":null}'),
    (with_attribute(Record(1, c=[Record(2)]), z=3, _y=4, **{"": 5}),
     b'{"a":1,"c":[{"a":2,"c":null}],"z":3,"":5}'),
    (Slotted(Point(1, 2), c={"b": Slotted(3)}), b'{"a":{"x":1,"y":2},"c":{"b":{"a":3,"c":null}}}'),
    (Hidden(), b"{}"), (HiddenSlotted(), b"{}"), (Empty(), b"{}"),
    ([Hidden(), HiddenSlotted()], b"[{},{}]"),
    (Child(1, 2), b'{"a":1,"b":2}'),
    (with_attribute(GenericRecord("x"), extra=1), b'{"a":"x","extra":1}'),
    (Lazy(1), b'{"a":1}'),
    ([Point(y=1, x=2), Plain.ONE], b'[{"x":2,"y":1},1]'),
])
def test_dataclasses(obj, compact):
    layouts(obj, compact)


@pytest.mark.parametrize("cls", [Point, Slotted])
def test_dataclass_chain_reaches_the_nesting_limit(cls):
    def chain(n):
        obj = None
        for _ in range(n):
            obj = cls(obj, 0) if cls is Point else cls(obj)
        return obj

    assert kestro.dumps(chain(255)).count(b"{") == 255
    with pytest.raises(TypeError, match="^Recursion limit reached$"):
        kestro.dumps(chain(256), option=INDENT)


def tampered_fields():
    obj = Slotted(1)
    fields = dict(type(obj).__dataclass_fields__)
    fields["a"] = object()  # no _field_type
    return obj, fields


class Raising:
    __slots__ = ()

    def __getattribute__(self, name):
        if name == "a":
            raise RuntimeError("lookup failed")
        return super().__getattribute__(name)


@dataclasses.dataclass(slots=True)
class RaisingSlotted(Raising):
    a: int


@pytest.mark.parametrize("make, name, cause", [
    (lambda: LazySlotted(1), "LazySlotted", AttributeError),
    (lambda: Slotted.__new__(Slotted), "Slotted", AttributeError),
    (lambda: RaisingSlotted(1), "RaisingSlotted", RuntimeError),
])
@pytest.mark.parametrize("option", [0, INDENT])
def test_dataclass_member_lookup_failures(make, name, cause, option):
    unserializable(make(), name, cause, option)


def test_dataclass_field_table_without_field_type(monkeypatch):
    obj, fields = tampered_fields()
    monkeypatch.setattr(Slotted, "__dataclass_fields__", fields)
    unserializable(obj, "Slotted", AttributeError)


@pytest.mark.parametrize("option", [0, INDENT])
def test_dataclass_dictionary_keys(option):
    obj = Record(1)
    obj.__dict__[1] = 2
    with pytest.raises(TypeError, match="^Dict key must be str$"):
        kestro.dumps(obj, option=option)
    obj = Record(1)
    obj.__dict__["\ud800"] = 2
    with pytest.raises(TypeError, match="^str is not valid UTF-8: surrogates not allowed$") as info:
        kestro.dumps(obj, option=option)
    assert type(info.value.__cause__) is UnicodeEncodeError


def test_python_code_may_empty_the_members_being_written():
    # default, run for a member, drops the instance dictionary's other entries
    # and the field table's; the members already taken stay alive.
    holder = Record(1, c=object())
    holder.z = [2, 3]

    def clear_dict(o):
        holder.__dict__.clear()
        return "cleared"

    assert kestro.dumps(holder, default=clear_dict) == b'{"a":1,"c":"cleared"}'

    slotted = Slotted(object(), c=[4])
    fields = dict(Slotted.__dataclass_fields__)

    def clear_fields(o):
        fields.clear()
        slotted.c = None
        return "cleared"

    Slotted.__dataclass_fields__, saved = fields, Slotted.__dataclass_fields__
    try:
        assert kestro.dumps(slotted, default=clear_fields) == b'{"a":"cleared"}'
    finally:
        Slotted.__dataclass_fields__ = saved


# ---- Fragment ---------------------------------------------------------------

class Bytes(bytes):
    pass


class Str(str):
    pass


@pytest.mark.parametrize("content, compact, indented", [
    (b"[1,2]", b"[[1,2]]", b"[\n  [1,2]\n]"),
    ("{}", b"[{}]", b"[\n  {}\n]"),
    (b'{"a":\n 1}', b'[{"a":\n 1}]', b'[\n  {"a":\n 1}\n]'),
    (b"not json \x00\xff", b"[not json \x00\xff]", b"[\n  not json \x00\xff\n]"),
    ("tëxt ✓", "[tëxt ✓]".encode(), "[\n  tëxt ✓\n]".encode()),
    (b"", b"[]", b"[\n  \n]"),
])
def test_fragment_content_is_copied_unchanged(content, compact, indented):
    frag = kestro.Fragment(content)
    assert kestro.dumps([frag]) == compact
    assert kestro.dumps([frag], option=INDENT) == indented
    assert kestro.dumps(frag) == compact[1:-1]


def test_large_fragment():
    content = b"[" + b"1," * 500000 + b"2]"
    assert kestro.dumps({"a": kestro.Fragment(content)}) == b'{"a":' + content + b"}"


@pytest.mark.parametrize("content", [bytearray(b"1"), memoryview(b"1"), Bytes(b"1"), Str("1"), 1, None])
@pytest.mark.parametrize("option", [0, INDENT])
def test_fragment_content_of_other_types(content, option):
    with pytest.raises(TypeError) as info:
        kestro.dumps([kestro.Fragment(content)], option=option)
    assert str(info.value) == "kestro.Fragment's content is not of type bytes or str"
    assert info.value.__cause__ is None


def test_fragment_str_with_surrogate():
    with pytest.raises(TypeError, match="^str is not valid UTF-8: surrogates not allowed$") as info:
        kestro.dumps(kestro.Fragment("\udc00"))
    assert type(info.value.__cause__) is UnicodeEncodeError
