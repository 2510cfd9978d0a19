"""dumps: uuid.UUID values, enum members, dataclass instances and Fragments."""
import dataclasses
import enum
import json
import sys
import typing
import uuid

import pytest

import kestro
from conftest import Odd

INDENT, SORT = kestro.OPT_INDENT_2, kestro.OPT_SORT_KEYS
LAYOUTS = pytest.mark.parametrize("option", [0, INDENT])


def json_text(obj, option):
    """The standard library's text of obj in kestro's layout for option."""
    indent = 2 if option & INDENT else None
    return json.dumps(obj, ensure_ascii=False, indent=indent, sort_keys=bool(option & SORT),
                      separators=(",", ": ") if indent else (",", ":")).encode()


# ---- UUID -------------------------------------------------------------------

UUIDS = [uuid.UUID(int=0), uuid.UUID(int=2**128 - 1), uuid.UUID("0123456789abcdef0fedcba987654321"),
         uuid.uuid1(), *[uuid.UUID(int=1 << b) for b in range(0, 128, 9)],
         *[uuid.uuid4() for _ in range(2000)]]


@LAYOUTS
def test_uuid_text_is_str(option):
    assert kestro.dumps(UUIDS, option=option) == json_text([str(u) for u in UUIDS], option)


Int = type("Int", (int,), {})


def tampered(value):
    u = uuid.UUID(int=1)
    object.__setattr__(u, "int", value)
    return u


def test_uuid_int_from_its_slot_or_the_class_attribute(monkeypatch):
    assert kestro.dumps(tampered(Int(2**127 + 10))) == f'"{uuid.UUID(int=2**127 + 10)}"'.encode()
    value, five = uuid.UUID(int=1), f'"{uuid.UUID(int=5)}"'.encode()
    monkeypatch.setattr(uuid.UUID, "int", property(lambda self: 5))
    assert kestro.dumps(value) == five


# ---- enum members -----------------------------------------------------------

Plain = enum.Enum("Plain", {"ONE": 1, "TEXT": "tëxt", "DICT": {"b": [1, None], "a": 2.5}, "LIST": [1]})
Outer = enum.Enum("Outer", {"INNER": Plain.DICT})
Color = enum.Enum("Color", {"RED": "red"}, type=str)
Level = enum.IntEnum("Level", {"HIGH": 3})
Perm = enum.Flag("Perm", {"R": 4, "W": 2})
Boxed = enum.Enum("Boxed", {"A": object()})
Point = dataclasses.make_dataclass("Point", ["x", "y"])
Shape = enum.Enum("Shape", {"ORIGIN": Point(0, 0)})


@pytest.mark.parametrize("member, option, value", [
    (Plain.ONE, 0, 1), (Plain.TEXT, 0, "tëxt"), (Plain.DICT, SORT, Plain.DICT.value),
    (Plain.DICT, INDENT, Plain.DICT.value), (Outer.INNER, INDENT, Plain.DICT.value),
    (Color.RED, kestro.OPT_PASSTHROUGH_SUBCLASS, "red"), (Level.HIGH, kestro.OPT_PASSTHROUGH_SUBCLASS, 3),
    (Perm.R | Perm.W, 0, 6), (Shape.ORIGIN, 0, {"x": 0, "y": 0}),
    ({"k": [Plain.ONE, Outer.INNER]}, INDENT | SORT, {"k": [1, Plain.DICT.value]}),
])
def test_enum_members_are_their_values(member, option, value):
    assert kestro.dumps(member, option=option) == json_text(value, option)


def nested(levels, inner):
    for _ in range(levels):
        inner = [inner]
    return inner


@LAYOUTS
def test_enum_member_walked_with_its_own_state(option):
    value = Plain.LIST.value
    before = sys.getrefcount(value)
    # No nesting level of its own: the member's list value is the 254th list.
    assert json.loads(kestro.dumps(nested(253, Plain.LIST), option=option)) == nested(253, [1])
    # A member whose value is a member is one level deeper: a chain ends.
    for doc in (nested(254, Plain.LIST), [Odd.ITSELF]):
        with pytest.raises(TypeError, match="^Recursion limit reached$"):
            kestro.dumps(doc, option=option)
    assert kestro.dumps([Boxed.A], default=lambda o: "seen", option=option) == json_text(["seen"], option)
    assert sys.getrefcount(value) == before


# ---- dataclasses ------------------------------------------------------------

RECORD_FIELDS = ["a", ("_b", int, 2), ("c", object, None), ("k", typing.ClassVar[int], 7),
                 ("i", dataclasses.InitVar[int], 0)]
Record = dataclasses.make_dataclass("Record", RECORD_FIELDS)
Slotted = dataclasses.make_dataclass("Slotted", RECORD_FIELDS, slots=True)
Hidden = dataclasses.make_dataclass("Hidden", [("_x", int, 1)])
HiddenSlotted = dataclasses.make_dataclass("HiddenSlotted", [("_x", int, 1)], slots=True)
Empty = dataclasses.make_dataclass("Empty", [])
# A plain dataclass over a slotted one: its dictionary lacks the base's field.
Child = dataclasses.make_dataclass("Child", ["b"],
                                   bases=(dataclasses.make_dataclass("Base", ["a"], slots=True),))
# typing's mixins declare an empty __slots__, which changes nothing.
GenericRecord = dataclasses.make_dataclass("GenericRecord", ["a"],
                                           bases=(typing.Generic[typing.TypeVar("T")],))
LATER = ("later", int, dataclasses.field(init=False))
Lazy = dataclasses.make_dataclass("Lazy", ["a", LATER])
LazySlotted = dataclasses.make_dataclass("LazySlotted", ["a", LATER], slots=True)


def with_attributes(obj, **attrs):
    for k, v in attrs.items():
        setattr(obj, k, v)
    return obj


@pytest.mark.parametrize("obj, members", [
    (Record(1), {"a": 1, "c": None}),
    (Slotted(1), {"a": 1, "c": None}),
    (with_attributes(Record(1, c=[Record(2)]), z=3, _y=4, **{"": 5}),
     {"a": 1, "c": [{"a": 2, "c": None}], "z": 3, "": 5}),
    (Slotted(Point(1, 2), c={"b": Slotted(3)}), {"a": {"x": 1, "y": 2}, "c": {"b": {"a": 3, "c": None}}}),
    (Hidden(), {}), (HiddenSlotted(), {}), (Empty(), {}), (Lazy(1), {"a": 1}),
    (Child(1, 2), {"a": 1, "b": 2}),
    (with_attributes(GenericRecord("x"), extra=1), {"a": "x", "extra": 1}),
])
@pytest.mark.parametrize("option", [0, INDENT | SORT | kestro.OPT_NON_STR_KEYS])
def test_dataclass_members(obj, members, option):
    # Members in their own order whatever the options.
    assert kestro.dumps(obj, option=option) == json_text(members, option & INDENT)


@pytest.mark.parametrize("make", [lambda inner: Point(inner, 0), Slotted])
def test_dataclass_chain_reaches_the_nesting_limit(make):
    def chain(n):
        obj = None
        for _ in range(n):
            obj = make(obj)
        return obj

    assert kestro.dumps(chain(255)).count(b"{") == 255
    with pytest.raises(TypeError, match="^Recursion limit reached$"):
        kestro.dumps(chain(256), option=INDENT)


def test_python_code_may_empty_the_members_being_written(monkeypatch):
    # default, run for a member, empties the instance dictionary or the field
    # table; the members already taken stay alive.
    holder = with_attributes(Record(1, c=object()), z=[2, 3])
    assert kestro.dumps(holder, default=lambda o: holder.__dict__.clear() or "cleared") == \
        b'{"a":1,"c":"cleared"}'
    slotted, fields = Slotted(object(), c=[4]), dict(Slotted.__dataclass_fields__)
    monkeypatch.setattr(Slotted, "__dataclass_fields__", fields)

    def clear_fields(o):
        fields.clear()
        slotted.c = None
        return "cleared"

    assert kestro.dumps(slotted, default=clear_fields) == b'{"a":"cleared"}'


# ---- Fragment ---------------------------------------------------------------

@pytest.mark.parametrize("content", [
    b"[1,2]", "{}", b'{"a":\n 1}', b"not json \x00\xff", "tëxt ✓", b"", b"[" + b"1," * 500000 + b"2]",
], ids=["bytes", "str", "newline", "not json", "non-ascii", "empty", "large"])
def test_fragment_content_is_copied_unchanged(content):
    raw = content.encode() if isinstance(content, str) else content
    frag = kestro.Fragment(content)
    assert kestro.dumps(frag) == raw
    assert kestro.dumps({"a": frag}) == b'{"a":' + raw + b"}"
    assert kestro.dumps([frag], option=INDENT) == b"[\n  " + raw + b"\n]"


# ---- failures ---------------------------------------------------------------

Lost = enum.Enum("Lost", {"A": 1})
del Lost.A._value_


def refuse_a(self, name):
    if name == "a":
        raise RuntimeError("lookup failed")
    return object.__getattribute__(self, name)


RaisingSlotted = dataclasses.make_dataclass("RaisingSlotted", ["a"], slots=True,
                                            namespace={"__getattribute__": refuse_a})


def tampered_fields():
    cls = dataclasses.make_dataclass("Tampered", ["a"], slots=True)
    cls.__dataclass_fields__["a"] = object()  # no _field_type
    return cls(1)


def with_dict_key(key):
    obj = Record(1)
    obj.__dict__[key] = 2
    return obj


Bytes, Str = type("Bytes", (bytes,), {}), type("Str", (str,), {})
UNSUPPORTED = "Type is not JSON serializable: "
SURROGATES = "str is not valid UTF-8: surrogates not allowed"
FRAGMENT = "kestro.Fragment's content is not of type bytes or str"


# A member or value whose lookup fails fails the call as not serializable,
# the lookup's exception as the cause.
@pytest.mark.parametrize("make, message, cause", [
    (lambda: uuid.UUID.__new__(uuid.UUID), UNSUPPORTED + "UUID", AttributeError),  # slot never set
    (lambda: tampered(-1), UNSUPPORTED + "UUID", OverflowError),
    (lambda: tampered(2**128), UNSUPPORTED + "UUID", OverflowError),
    (lambda: tampered("1"), UNSUPPORTED + "UUID", None),
    (lambda: Odd.RAISES, UNSUPPORTED + "Odd", LookupError),
    (lambda: Lost.A, UNSUPPORTED + "Lost", AttributeError),
    (lambda: LazySlotted(1), UNSUPPORTED + "LazySlotted", AttributeError),  # after a member
    (lambda: RaisingSlotted(1), UNSUPPORTED + "RaisingSlotted", RuntimeError),
    (tampered_fields, UNSUPPORTED + "Tampered", AttributeError),
    (lambda: with_dict_key(1), "Dict key must be str", None),
    (lambda: with_dict_key("\ud800"), SURROGATES, UnicodeEncodeError),
    *[(lambda c=c: kestro.Fragment(c), FRAGMENT, None)
      for c in (bytearray(b"1"), Bytes(b"1"), Str("1"), None)],
    (lambda: kestro.Fragment("\udc00"), SURROGATES, UnicodeEncodeError),
])
@LAYOUTS
def test_failures(make, message, cause, option):
    obj = make()
    before = sys.getrefcount(obj)
    for _ in range(3):
        with pytest.raises(TypeError) as info:
            kestro.dumps({"a": [obj]}, option=option)
        assert (str(info.value), type(info.value.__cause__)) == (message, cause or type(None))
        del info
    assert sys.getrefcount(obj) == before
