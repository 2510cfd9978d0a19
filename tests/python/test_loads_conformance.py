import json
import math

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import kestro
from conftest import JSON_TEST_SUITE, LIGHT, corpus_file


def suite_files(prefix):
    names = sorted(p.name for p in JSON_TEST_SUITE.glob(prefix + "*.json"))
    assert names, f"no {prefix}*.json in {JSON_TEST_SUITE}"
    return names


def same_value(ours, theirs):
    """Equality where integers beyond 64 bits come back as floats."""
    pending = [(ours, theirs)]
    while pending:
        a, b = pending.pop()
        if isinstance(b, bool) or b is None or isinstance(b, str):
            ok = type(a) is type(b) and a == b
        elif isinstance(b, int):
            ok = (type(a) is int and a == b) if -2**63 <= b < 2**64 else \
                (type(a) is float and a == float(b))
        elif isinstance(b, float):
            ok = type(a) is float and a == b
        elif isinstance(b, list):
            ok = type(a) is list and len(a) == len(b)
            pending.extend(zip(a, b) if ok else ())
        elif isinstance(b, dict):
            ok = type(a) is dict and list(a) == list(b)
            pending.extend((a[k], v) for k, v in b.items()) if ok else None
        else:
            ok = False
        if not ok:
            return False
    return True


@pytest.mark.parametrize("name", suite_files("y_"))
def test_accepted_documents_equal_the_standard_library(name):
    data = (JSON_TEST_SUITE / name).read_bytes()
    expected = json.loads(data.decode("utf-8"))
    assert same_value(kestro.loads(data), expected)
    assert same_value(kestro.loads(data.decode("utf-8")), expected)


@pytest.mark.parametrize("name", suite_files("n_"))
def test_rejected_documents_raise_decode_error(name):
    data = (JSON_TEST_SUITE / name).read_bytes()
    with pytest.raises(kestro.JSONDecodeError):
        kestro.loads(data)


@pytest.mark.parametrize("name", suite_files("i_"))
def test_implementation_defined_documents_parse_or_raise_decode_error(name):
    data = (JSON_TEST_SUITE / name).read_bytes()
    try:
        value = kestro.loads(data)
    except kestro.JSONDecodeError as err:
        assert 0 <= err.pos <= len(err.doc)
    else:
        assert same_value(value, json.loads(data.decode("utf-8")))


# Randomised round trips and robustness.

EXAMPLES = 20 if LIGHT else 100

scalars = (st.none() | st.booleans()
           | st.integers(min_value=-2**63, max_value=2**64 - 1)
           | st.floats(allow_nan=False, allow_infinity=False)
           | st.text(max_size=20))
documents = st.recursive(
    scalars,
    lambda children: st.lists(children, max_size=5) | st.dictionaries(st.text(max_size=70),
                                                                      children, max_size=6),
    max_leaves=15)
LARGE_DATA = [HealthCheck.too_slow, HealthCheck.data_too_large]


@settings(max_examples=EXAMPLES, deadline=None, suppress_health_check=LARGE_DATA)
@given(documents, st.booleans(), st.sampled_from([None, 1, 2]))
def test_round_trip_through_the_standard_library(doc, ensure_ascii, indent):
    text = json.dumps(doc, ensure_ascii=ensure_ascii, indent=indent)
    assert same_value(kestro.loads(text), doc)
    assert same_value(kestro.loads(text.encode()), doc)


@settings(max_examples=EXAMPLES, deadline=None)
@given(st.binary(max_size=200))
def test_arbitrary_bytes_parse_or_raise_decode_error(data):
    try:
        kestro.loads(data)
    except kestro.JSONDecodeError as err:
        assert 0 <= err.pos <= max(len(err.doc), 0)


@settings(max_examples=EXAMPLES, deadline=None, suppress_health_check=LARGE_DATA)
@given(documents, st.data())
def test_damaged_documents_parse_or_raise_decode_error(doc, data):
    text = json.dumps(doc, ensure_ascii=False)
    cut = data.draw(st.integers(min_value=0, max_value=len(text)))
    junk = data.draw(st.sampled_from(["", "[", "]", "{", "}", ",", ":", '"', "\\", "x", "\x00",
                                      "\ud800", "1e999", " "]))
    damaged = text[:cut] + junk + text[cut + 1:]
    try:
        value = kestro.loads(damaged)
    except kestro.JSONDecodeError as err:
        assert err.doc in (damaged, "")
        assert 0 <= err.pos <= len(err.doc)
    else:
        expected = json.loads(damaged)
        assert same_value(value, expected)


# The interpreter running out of memory in the middle of a conversion.

def test_allocation_failures_raise_memory_error_and_release_everything():
    testcapi = pytest.importorskip("_testcapi")
    if not hasattr(testcapi, "set_nomemory"):
        pytest.skip("this interpreter cannot simulate allocation failures")
    doc = json.dumps({"list": [1, 2.5, "x" * 10, 2**63, -5, "\u00e9\u20ac"],
                      "nested": {"k" * 70: [{"a": [None, True]}, {}]},
                      **{f"key{i}": i for i in range(12)}})
    expected = json.loads(doc)
    outcomes = set()
    for start in range(0, 120):
        testcapi.set_nomemory(start, 0)
        try:
            value = kestro.loads(doc)
        except MemoryError:
            outcomes.add("memory")
            continue
        except kestro.JSONDecodeError as err:
            outcomes.add("decode")
            value = err
        finally:
            testcapi.remove_mem_hooks()
        if isinstance(value, kestro.JSONDecodeError):
            assert value.msg == "Not enough memory to allocate buffer for parsing"
        else:
            assert value == expected
            outcomes.add("ok")
    assert "memory" in outcomes and "ok" in outcomes
    assert kestro.loads(doc) == expected


def test_corpus_documents_are_stable_across_calls():
    data = corpus_file("citm_catalog.json").read_bytes()
    first = kestro.loads(data)
    second = kestro.loads(bytearray(data))
    assert first == second
    # Keys of the same text are one object across calls.
    assert next(iter(first)) is next(iter(second))
