"""dumps: dicts (order, sorting, key rule), lists and tuples, and containers
changed by Python code while they are written."""
import collections
import gc
import json

import pytest
from conftest import LIGHT

import kestro

SORT = kestro.OPT_SORT_KEYS
LAYOUTS = [0, kestro.OPT_INDENT_2]


def compact(doc, **kw):
    return json.dumps(doc, separators=(",", ":"), ensure_ascii=False, **kw).encode()


def test_insertion_order_and_sorted_order():
    assert kestro.dumps({"b": 1, "a": 2}) == b'{"b":1,"a":2}'
    assert kestro.dumps({"b": 1, "a": 2}, option=SORT) == b'{"a":2,"b":1}'


def test_sort_is_by_utf8_bytes():
    doc = {"a": 1, "B": 2, "aa": 3, "": 4}
    assert kestro.dumps(doc, option=SORT) == b'{"":4,"B":2,"a":1,"aa":3}'
    keys = ["é", "b", "a", "aa", "A", "\x7f", "𝄞", "\uffff", "日", "z" * 30, "", "ab", "a\x00"]
    result = kestro.dumps(dict.fromkeys(keys, 0), option=SORT)
    assert list(json.loads(result)) == sorted(keys, key=lambda k: k.encode())


@pytest.mark.parametrize("n", [2, 11, 12, 13, 20, 21, 22, 50, 257, 1000])
def test_many_keys_given_in_reverse_order(n):
    keys = [f"key{i:05d}" for i in range(n)]
    doc = {k: i for i, k in reversed(list(enumerate(keys)))}
    assert list(json.loads(kestro.dumps(doc, option=SORT))) == keys
    assert kestro.dumps(doc, option=SORT) == compact(doc, sort_keys=True)


@pytest.mark.parametrize("seed", range(5))
def test_sorting_random_keys_matches_python(seed):
    import random
    rng = random.Random(seed)
    alphabet = "aAbé\x01z日𝄞 "
    doc = {"".join(rng.choice(alphabet) for _ in range(rng.randrange(6))): i
           for i in range(rng.randrange(1, 400))}
    result = json.loads(kestro.dumps(doc, option=SORT))
    assert list(result) == sorted(doc, key=lambda k: k.encode())
    assert result == doc


def test_sorting_escapes_keys_like_values():
    doc = {'"q': 1, "\\b": 2, "\x01": 3, "a": 4}
    assert json.loads(kestro.dumps(doc, option=SORT)) == doc
    assert list(json.loads(kestro.dumps(doc, option=SORT))) == ["\x01", '"q', "\\b", "a"]


class Str(str):
    pass


@pytest.mark.parametrize("key", [1, 1.5, None, True, (1,), Str("a"), b"a"])
@pytest.mark.parametrize("option", [0, SORT, kestro.OPT_INDENT_2])
def test_key_must_be_exact_str(key, option):
    with pytest.raises(TypeError) as info:
        kestro.dumps({"other": 1, key: 2}, option=option)
    assert str(info.value) == "Dict key must be str"
    assert info.value.__cause__ is None


def test_value_comes_first_without_sorting_and_keys_first_with_it():
    doc = {"a": object(), 1: 2}
    with pytest.raises(TypeError, match="^Type is not JSON serializable: object$"):
        kestro.dumps(doc)
    with pytest.raises(TypeError, match="^Dict key must be str$"):
        kestro.dumps(doc, option=SORT)


def test_sorted_dict_walks_no_value_when_a_key_fails():
    seen = []
    with pytest.raises(TypeError, match="^Dict key must be str$"):
        kestro.dumps({"a": object(), 1: 2}, seen.append, SORT)
    assert seen == []


class ItemsOverridden(dict):
    def items(self):
        raise AssertionError("not called")

    def __iter__(self):
        raise AssertionError("not called")


@pytest.mark.parametrize("option", [0, SORT])
def test_dict_subclass_from_stored_entries(option):
    doc = ItemsOverridden(b=1, a=2)
    assert json.loads(kestro.dumps(doc, option=option)) == {"a": 2, "b": 1}


@pytest.mark.parametrize("obj, expected", [
    ((1, 2), b"[1,2]"),
    ([1, 2], b"[1,2]"),
    ([(1, [2, (3,)])], b"[[1,[2,[3]]]]"),
    ([[], ()], b"[[],[]]"),
    ((("a",),), b'[["a"]]'),
])
def test_sequences(obj, expected):
    assert kestro.dumps(obj) == expected


def test_list_subclass_from_stored_items():
    class L(list):
        def __iter__(self):
            raise AssertionError("not called")

        def __len__(self):
            raise AssertionError("not called")

    assert kestro.dumps(L([1, "a"])) == b'[1,"a"]'


def test_named_tuple_is_not_an_array():
    Point = collections.namedtuple("Point", "x y")
    with pytest.raises(TypeError, match="^Type is not JSON serializable: Point$"):
        kestro.dumps([Point(1, 2)])


def test_failure_in_third_member_stops_the_walk():
    seen = []

    def default(obj):
        seen.append(obj)
        raise ValueError

    class Marker:
        pass

    third, fifth = Marker(), Marker()
    with pytest.raises(TypeError) as info:
        kestro.dumps([1, 2, third, 4, fifth], default)
    assert seen == [third]
    assert isinstance(info.value.__cause__, ValueError)


# ---- Python code that changes containers while they are written ----------

class Trigger:
    """Unsupported object; the default runs an action when it meets it."""

    def __init__(self, action=None):
        self.action = action


def run_action(obj):
    if isinstance(obj, Trigger):
        if obj.action is not None:
            obj.action()
        return "t"
    raise TypeError


@pytest.mark.parametrize("option", LAYOUTS)
def test_list_cleared_while_written(option):
    doc = ["a", "b"]
    doc.insert(1, Trigger(doc.clear))
    doc += ["c" * 100, [1, 2]]
    result = kestro.dumps(doc, run_action, option)
    assert json.loads(result) == ["a", "t"]


@pytest.mark.parametrize("option", LAYOUTS)
def test_list_grown_while_written(option):
    doc = []
    doc += [Trigger(lambda: doc.extend(["x"] * 1000)), "end"]
    result = json.loads(kestro.dumps(doc, run_action, option))
    assert result == ["t", "end"] + ["x"] * 1000


@pytest.mark.parametrize("option", LAYOUTS)
def test_nested_list_dropped_by_its_parent_while_written(option):
    outer = []
    inner = [Trigger(lambda: outer.clear()), "inner" * 50, {"k": ["v" * 40]}]
    outer += [inner, "after"]
    del inner
    result = json.loads(kestro.dumps(outer, run_action, option))
    gc.collect()
    assert result == [["t", "inner" * 50, {"k": ["v" * 40]}]]


@pytest.mark.parametrize("option", LAYOUTS)
def test_nested_dict_dropped_by_its_parent_while_written(option):
    outer = {}
    outer["d"] = {"first": Trigger(outer.clear), "second": ["x" * 64], "third": 3}
    outer["later"] = 1
    result = json.loads(kestro.dumps(outer, run_action, option))
    assert result == {"d": {"first": "t", "second": ["x" * 64], "third": 3}}


@pytest.mark.parametrize("option", LAYOUTS + [SORT, SORT | kestro.OPT_INDENT_2])
def test_dict_cleared_while_written(option):
    doc = {}
    doc.update(a="1" * 70, b=Trigger(doc.clear), c=["2" * 70], d={"e": "3" * 70})
    result = json.loads(kestro.dumps(doc, run_action, option))
    if option & SORT:
        # every entry was collected and is held until the end
        assert result == {"a": "1" * 70, "b": "t", "c": ["2" * 70], "d": {"e": "3" * 70}}
    else:
        assert result == {"a": "1" * 70, "b": "t"}


@pytest.mark.parametrize("option", LAYOUTS + [SORT])
def test_dict_refilled_while_written(option):
    doc = {}

    def refill():
        doc.clear()
        for i in range(100):
            doc[f"new{i}" * 3] = ["v" * i]

    doc.update(a=1, b=Trigger(refill), c=2)
    result = kestro.dumps(doc, run_action, option)
    loaded = json.loads(result)  # well-formed, whatever it holds
    assert loaded["a"] == 1 and loaded["b"] == "t"
    assert len(loaded) <= 3


@pytest.mark.parametrize("option", LAYOUTS)
def test_default_result_dropped_elsewhere(option):
    holder = {}

    def default(obj):
        if obj.action is None:
            holder["r"] = [Trigger(holder.clear), "kept" * 30]
            return holder["r"]
        obj.action()
        return "t"

    assert json.loads(kestro.dumps([Trigger()], default, option)) == [["t", "kept" * 30]]
    assert holder == {}


# ---- dict tables of every shape -------------------------------------------

class Slots:
    """Instances share one key table: their dicts are split tables."""


def split_table(n, delete=()):
    first, second = Slots(), Slots()
    for obj in (first, second):
        for i in range(n):
            setattr(obj, f"attr{i}", i)
    for i in delete:
        delattr(second, f"attr{i}")
    return vars(second)


def with_deletions(n, delete):
    doc = {f"key{i}": [i] for i in range(n)}
    for i in delete:
        del doc[f"key{i}"]
    return doc


def general_table():
    # A non-str key turns the table general; it stays so after the key goes.
    doc = {1: "x", "a": 1, "b": "two"}
    del doc[1]
    doc["c"] = None
    return doc


def reinserted():
    doc = with_deletions(10, [0, 5])
    doc["key0"] = "back"
    doc.pop("key9")
    doc["key9"] = "back too"
    return doc


DICT_SHAPES = {
    "one entry": lambda: {"k": 1},
    "deleted first": lambda: with_deletions(6, [0]),
    "deleted middle": lambda: with_deletions(6, [2, 3]),
    "deleted last": lambda: with_deletions(6, [5]),
    "all but one deleted": lambda: with_deletions(6, [0, 1, 2, 4, 5]),
    "reinserted": reinserted,
    "general table": general_table,
    "one-byte index": lambda: with_deletions(100, range(0, 100, 7)),
    "two-byte index": lambda: with_deletions(5000, range(0, 5000, 3)),
    "four-byte index": lambda: with_deletions(60000, range(1, 60000, 5)),
    "split table": lambda: split_table(5),
    "split table with deletion": lambda: split_table(5, [1, 4]),
    "copied": lambda: dict(with_deletions(30, [3, 4])),
}


@pytest.mark.parametrize("shape", DICT_SHAPES)
@pytest.mark.parametrize("option", [0, SORT, kestro.OPT_INDENT_2])
def test_dict_tables_of_every_shape(shape, option):
    doc = DICT_SHAPES[shape]()
    indent = 2 if option & kestro.OPT_INDENT_2 else None
    expected = json.dumps(doc, ensure_ascii=False, indent=indent, sort_keys=bool(option & SORT),
                          separators=(",", ": ") if indent else (",", ":"))
    assert kestro.dumps(doc, option=option) == expected.encode()
    assert kestro.dumps({"in": [doc]}, option=option) == kestro.dumps(
        {"in": [dict(sorted(doc.items()) if option & SORT else doc.items())]}, option=option)


def test_dict_resized_while_written():
    doc = {}
    doc.update(a=1, b=Trigger(lambda: doc.update({f"n{i}": i for i in range(200)})), c=2)
    # the count of entries is taken when the dict is entered
    assert json.loads(kestro.dumps(doc, run_action)) == {"a": 1, "b": "t", "c": 2}


def test_dict_table_turned_general_while_written():
    doc = {}
    doc.update(a=1, b=Trigger(lambda: doc.update({3: 3})), c=2)
    assert json.loads(kestro.dumps(doc, run_action)) == {"a": 1, "b": "t", "c": 2}


# ---- sorted dicts: records of one kind, and keys held while written -------

def sorted_text(doc, option=SORT):
    indent = 2 if option & kestro.OPT_INDENT_2 else None
    return json.dumps(doc, ensure_ascii=False, sort_keys=True, indent=indent,
                      separators=(",", ": ") if indent else (",", ":")).encode()


def records(rng, pool, count):
    """Dicts drawing their keys from a shared pool of key objects, in random
    orders and sizes, some nested in others."""
    out = []
    for _ in range(count):
        n = rng.choice([2, 3, 5, 8, 31, 32, 33, 64, 65, 70])
        keys = rng.sample(pool, min(n, len(pool)))
        if rng.random() < 0.5 and out:
            keys = list(rng.choice(out))  # the same keys, the same order
        record = {k: rng.randrange(100) for k in keys}
        if rng.random() < 0.3:
            record[keys[0]] = rng.choice(out) if out else []
        out.append(record)
    return out


@pytest.mark.parametrize("seed", range(4))
@pytest.mark.parametrize("option", [SORT, SORT | kestro.OPT_INDENT_2])
def test_records_sharing_keys_sort_like_python(seed, option):
    import random
    rng = random.Random(seed)
    pool = [f"field{i:03d}"[::-1] + "x" * (i % 11) for i in range(90)]
    doc = records(rng, pool, 60 if LIGHT else 400)
    assert kestro.dumps(doc, option=option) == sorted_text(doc, option)


def test_same_keys_in_another_order_are_sorted_again():
    a, b, c = "".join(["al", "pha"]), "".join(["be", "ta"]), "".join(["gam", "ma"])
    doc = [{a: 1, b: 2, c: 3}, {c: 3, b: 2, a: 1}, {b: 2, a: 1, c: 3}, {a: 1, b: 2, c: 3}]
    assert kestro.dumps(doc, option=SORT) == sorted_text(doc)


def test_equal_keys_that_are_other_objects():
    doc = [{"".join(["k", str(i % 3)]): i, "".join(["j", str(i % 2)]): -i} for i in range(20)]
    assert kestro.dumps(doc, option=SORT) == sorted_text(doc)


def test_keys_are_released_after_the_call():
    import sys
    keys = ["".join(["key", str(i)]) for i in range(5)]
    before = [sys.getrefcount(k) for k in keys]
    doc = [dict.fromkeys(keys, 0) for _ in range(3)]
    kestro.dumps(doc, option=SORT)
    del doc
    assert [sys.getrefcount(k) for k in keys] == before


@pytest.mark.parametrize("n", [2, 5, 40, 80])
def test_sorted_dict_cleared_by_a_value_keeps_its_keys(n):
    def fresh_keys():
        # made at run time: freed as soon as nothing holds them
        return ["".join(["k", str(i)]) * 20 for i in range(n)]

    def make(keys):
        doc = {k: ["v"] if i % 2 else i for i, k in enumerate(keys)}
        doc[keys[0]] = Trigger(doc.clear)
        return doc

    expected = {k: ("t" if k == "k0" * 20 else v) for k, v in make(fresh_keys()).items()}
    result = kestro.dumps(make(fresh_keys()), run_action, SORT)
    assert json.loads(result) == expected
    assert list(json.loads(result)) == sorted(expected)
    # the same key objects: the later dicts take the remembered order
    many = [make(keys) for keys in [fresh_keys()] * 3]
    assert json.loads(kestro.dumps(many, run_action, SORT)) == [expected] * 3


def test_nested_call_from_default_keeps_its_own_orders():
    inner = [{"b": 1, "a": 2}, {"d": 1, "c": 2}]

    def default(obj):
        return json.loads(kestro.dumps(inner, option=SORT))

    doc = [{"b": 1, "a": Trigger()}, {"b": 3, "a": 4}, {"d": 5, "c": 6}]
    expected = [{"a": [{"a": 2, "b": 1}, {"c": 2, "d": 1}], "b": 1}, {"a": 4, "b": 3}, {"c": 6, "d": 5}]
    assert kestro.dumps(doc, default, SORT) == sorted_text(expected)


@pytest.mark.parametrize("width", [13, 40, 64, 65, 300])
def test_nested_sorted_dicts_of_many_keys(width):
    # Item arrays of nested dicts come from the call's scratch until it is
    # full, then from the heap; both kinds end in nested order.
    keys = [f"k{(i * 7919) % width:04d}" for i in range(width)]
    doc = {"leaf": 0}
    for depth in range(12):
        level = {k: depth for k in keys}
        level[keys[depth % width]] = [doc, {k: [k] for k in keys[:depth + 2]}]
        doc = level
    doc = [doc, doc, {k: None for k in reversed(keys)}]
    assert kestro.dumps(doc, option=SORT) == sorted_text(doc)
    assert kestro.dumps(doc, option=SORT | kestro.OPT_INDENT_2) == sorted_text(doc, SORT | kestro.OPT_INDENT_2)


@pytest.mark.parametrize("kinds", [2, 3, 4, 5, 9])
def test_kinds_of_records_met_by_turns(kinds):
    # Same length, same first and last key, different keys inside: the kinds
    # compete for the same remembered orders.
    inside = [f"m{i:02d}" for i in range(40)]
    shapes = [["zz_first"] + inside[k::kinds][:6] + ["aa_last"] for k in range(kinds)]
    doc = [{key: [i, key] for key in reversed(shapes[i % kinds])} if i % 7 == 0
           else {key: i for key in shapes[i % kinds]} for i in range(120)]
    assert kestro.dumps(doc, option=SORT) == sorted_text(doc)


@pytest.mark.parametrize("empty", [list, dict])
def test_sorted_records_with_empty_containers(empty):
    keys = ["".join(["key", str(i)]) for i in range(20)]
    doc = [{k: empty() if i % 2 else i for i, k in enumerate(reversed(keys[:n]))} for n in range(2, 20)]
    doc += [{"b": empty(), "a": [[]], "c": {"d": {}}}] * 3
    assert kestro.dumps(doc, option=SORT) == sorted_text(doc)
    assert kestro.dumps(doc, option=SORT | kestro.OPT_INDENT_2) == sorted_text(doc, SORT | kestro.OPT_INDENT_2)
