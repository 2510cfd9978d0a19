"""dumps: classification of objects, pass-through options, default, limits."""
import collections
import dataclasses
import datetime
import enum
import uuid

import pytest

import kestro

from conftest import Recorder


class Str(str):
    pass


class Int(int):
    pass


class List(list):
    def __iter__(self):
        return iter(["overridden"])


class Dict(dict):
    def items(self):
        return [("overridden", 1)]

    def keys(self):
        return ["overridden"]

    def __iter__(self):
        return iter(["overridden"])

    def __getitem__(self, key):
        return "overridden"


class Float(float):
    pass


class Tuple(tuple):
    pass


class DateTime(datetime.datetime):
    pass


Point = collections.namedtuple("Point", "x y")


@dataclasses.dataclass
class Data:
    a: int = 1


class DataChild(Data):  # not decorated itself
    pass


class Color(str, enum.Enum):
    RED = "red"


class Number(int, enum.Enum):
    ONE = 1


def unsupported(obj, option=None, name=None):
    with pytest.raises(TypeError) as info:
        kestro.dumps(obj, option=option)
    name = name or type(obj).__name__
    assert str(info.value) == "Type is not JSON serializable: " + name
    assert info.value.__cause__ is None


@pytest.mark.parametrize("obj, expected", [
    (Str("text"), b'"text"'),
    (Int(7), b"7"),
    (Int(-2**63), b"-9223372036854775808"),
    (List([1, 2]), b"[1,2]"),
    (Dict(a=1, b=[2]), b'{"a":1,"b":[2]}'),
    (Color.RED, b'"red"'),
    (Number.ONE, b"1"),
    ([Str("a"), Int(2), List([3]), Dict(d=4)], b'["a",2,[3],{"d":4}]'),
])
def test_subclasses_are_written_natively(obj, expected):
    assert kestro.dumps(obj) == expected
    assert kestro.dumps(obj, option=kestro.OPT_INDENT_2).replace(b"\n", b"").replace(b" ", b"") \
        == expected.replace(b" ", b"")


def test_dict_subclass_sorted_from_its_entries():
    assert kestro.dumps(Dict(b=1, a=2), option=kestro.OPT_SORT_KEYS) == b'{"a":2,"b":1}'


@pytest.mark.parametrize("obj", [Str("a"), Int(1), List([1]), Dict(a=1)])
def test_passthrough_subclass_goes_to_default(obj):
    default = Recorder()
    assert kestro.dumps([obj], default, kestro.OPT_PASSTHROUGH_SUBCLASS) == b'["marker"]'
    assert default.seen == [obj] and default.seen[0] is obj
    unsupported(obj, kestro.OPT_PASSTHROUGH_SUBCLASS)


@pytest.mark.parametrize("obj", [
    Point(1, 2), Float(1.5), Tuple((1,)), DateTime(2020, 1, 1), b"x", bytearray(b"x"), {1},
    frozenset(), 1j, object(), DataChild(), range(2), memoryview(b"")])
def test_unsupported_objects(obj):
    unsupported(obj)
    default = Recorder()
    assert kestro.dumps({"k": obj}, default=default) == b'{"k":"marker"}'
    assert default.seen == [obj]


@pytest.mark.parametrize("obj, option", [
    (datetime.datetime(2020, 1, 1), kestro.OPT_PASSTHROUGH_DATETIME),
    (datetime.date(2020, 1, 1), kestro.OPT_PASSTHROUGH_DATETIME),
    (datetime.time(1, 2), kestro.OPT_PASSTHROUGH_DATETIME),
    (Data(), kestro.OPT_PASSTHROUGH_DATACLASS),
    (Color.RED, kestro.OPT_PASSTHROUGH_SUBCLASS | kestro.OPT_PASSTHROUGH_DATETIME),
])
def test_passthrough_options(obj, option):
    default = Recorder()
    if isinstance(obj, enum.Enum):
        # a str-based member passed through is an enum member, not unsupported
        try:
            kestro.dumps(obj, default, option)
        except TypeError:
            pass
        assert default.seen == []
        return
    assert kestro.dumps(obj, default, option) == b'"marker"'
    assert default.seen == [obj]


@pytest.mark.parametrize("obj", [
    datetime.datetime(2020, 1, 1), datetime.date(2020, 1, 1), datetime.time(1, 2), Data(),
    uuid.UUID(int=1), kestro.Fragment(b"1")])
def test_natively_known_kinds_never_reach_default(obj):
    default = Recorder()
    try:
        kestro.dumps([obj], default)
    except TypeError:
        pass
    assert default.seen == []


def test_numpy_array_needs_the_numpy_option():
    numpy = pytest.importorskip("numpy")
    array = numpy.zeros(2)
    default = Recorder()
    assert kestro.dumps(array, default) == b'"marker"'
    assert default.seen == [array]
    unsupported(array, name="numpy.ndarray")


def test_default_result_is_walked_and_can_need_default_again():
    calls = []

    class A:
        pass

    class B:
        pass

    def default(obj):
        calls.append(type(obj).__name__)
        if isinstance(obj, A):
            return [1, B()]
        return {"b": True}

    assert kestro.dumps([A(), A()], default) == b'[[1,{"b":true}],[1,{"b":true}]]'
    assert calls == ["A", "B", "A", "B"]


@pytest.mark.parametrize("exc", [ValueError("bad"), KeyError("k"), RuntimeError()])
def test_default_raising_is_the_cause(exc):
    def default(obj):
        raise exc

    with pytest.raises(TypeError) as info:
        kestro.dumps({"a": [1, object()]}, default)
    assert str(info.value) == "Type is not JSON serializable: object"
    assert info.value.__cause__ is exc
    assert info.value.__suppress_context__
    assert exc.__traceback__ is not None


def test_default_raises_for_its_own_result_type():
    class Inner:
        pass

    def default(obj):
        if isinstance(obj, Inner):
            raise ValueError("inner")
        return Inner()

    with pytest.raises(TypeError) as info:
        kestro.dumps(object(), default)
    assert str(info.value) == "Type is not JSON serializable: Inner"
    assert isinstance(info.value.__cause__, ValueError)


def test_default_chain_limit():
    calls = 0

    def identity(obj):
        nonlocal calls
        calls += 1
        return obj

    with pytest.raises(TypeError) as info:
        kestro.dumps(object(), identity)
    assert str(info.value) == "default serializer exceeds recursion limit"
    assert info.value.__cause__ is None
    assert calls == 255


class Wrapper:
    def __init__(self, n):
        self.n = n


def unwrap(obj):
    return Wrapper(obj.n - 1) if obj.n > 0 else "end"


@pytest.mark.parametrize("n, ok", [(254, True), (255, False)])
def test_default_chain_of_255_calls_is_allowed(n, ok):
    # Wrapper(n) needs n + 1 calls.
    if ok:
        assert kestro.dumps(Wrapper(n), unwrap) == b'"end"'
    else:
        with pytest.raises(TypeError, match="^default serializer exceeds recursion limit$"):
            kestro.dumps(Wrapper(n), unwrap)


def test_default_depth_does_not_add_up_over_siblings():
    assert kestro.dumps([Wrapper(254)] * 3, unwrap) == b'["end","end","end"]'


class Callable:
    def __call__(self, obj):
        return 5

    def method(self, obj):
        return [obj.__class__.__name__]


@pytest.mark.parametrize("default, expected", [
    (Callable(), b"5"),
    (Callable().method, b'["Opaque"]'),
    (repr, b'"opaque"'),
    (lambda o: None, b"null"),
    (type, None),  # returns the class, which needs default again
])
def test_default_can_be_any_callable(default, expected):
    class Opaque:
        def __repr__(self):
            return "opaque"

    if expected is None:
        with pytest.raises(TypeError, match="^default serializer exceeds recursion limit$"):
            kestro.dumps(Opaque(), default)
    else:
        assert kestro.dumps(Opaque(), default) == expected


def nested(depth, innermost):
    doc = innermost
    for _ in range(depth):
        doc = [doc]
    return doc


@pytest.mark.parametrize("option", [0, kestro.OPT_INDENT_2])
def test_nesting_limit(option):
    # 254 nested non-empty lists are written
    ok = kestro.dumps(nested(253, [1]), option=option)
    assert ok.count(b"[") == 254
    with pytest.raises(TypeError) as info:
        kestro.dumps(nested(254, [1]), option=option)
    assert str(info.value) == "Recursion limit reached"
    assert info.value.__cause__ is None


@pytest.mark.parametrize("innermost, ok", [
    ([], True), ((), True), ({}, False), ({"a": 1}, False), ([1], False), ((1,), False)])
def test_the_255th_level(innermost, ok):
    doc = nested(254, innermost)
    if ok:
        assert kestro.dumps(doc) == b"[" * 254 + b"[]" + b"]" * 254
    else:
        with pytest.raises(TypeError, match="^Recursion limit reached$"):
            kestro.dumps(doc)


def test_nesting_limit_through_dicts_and_tuples():
    doc = 1
    for i in range(254):
        doc = {"k": doc} if i % 3 == 0 else ((doc,) if i % 3 == 1 else [doc])
    assert kestro.dumps(doc).count(b"1") == 1
    with pytest.raises(TypeError, match="^Recursion limit reached$"):
        kestro.dumps({"k": doc})


def test_default_result_keeps_the_nesting_depth():
    class Deep:
        pass

    assert kestro.dumps(nested(253, Deep()), lambda o: [1]).count(b"[") == 254
    with pytest.raises(TypeError, match="^Recursion limit reached$"):
        kestro.dumps(nested(254, Deep()), lambda o: [1])
