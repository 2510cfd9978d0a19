"""dumps: uuid.UUID values, enum members, dataclass instances and Fragments."""
import json
import sys
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
    (lambda: tampered("1"), type(None)),
    (lambda: tampered(1.0), type(None)),
])
@pytest.mark.parametrize("option", [0, INDENT])
def test_uuid_failures(make, cause, option):
    unserializable(make(), "UUID", cause, option)


def test_many_uuids_in_one_document():
    values = [uuid.uuid4() for _ in range(2000)]
    assert json.loads(kestro.dumps(values)) == [str(v) for v in values]
