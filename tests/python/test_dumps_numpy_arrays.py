"""dumps of numpy arrays (OPT_SERIALIZE_NUMPY): elements, shapes, layout and
the arrays that go to default or fail."""
import gc
import json
import sys

import pytest

import kestro
from conftest import SANITIZED, Recorder
from numpy_oracles import (UNIT_NAMES, WRITTEN_UNITS, check_float_text, datetime64_counts,
                           dumps, encode_error, float_samples, integer_samples, numpy_text,
                           written_counts)

INDENT = kestro.OPT_INDENT_2


@pytest.fixture(scope="module")
def np():
    return pytest.importorskip("numpy")


def items_of(text):
    """The element texts of a one-dimensional array's compact output."""
    return text[1:-1].decode().split(",")


@pytest.mark.parametrize("dtype", ["int8", "int16", "int32", "int64", "uint8", "uint16",
                                   "uint32", "uint64", "bool"])
def test_integer_and_bool_arrays(np, dtype):
    values = integer_samples(np, dtype) if dtype != "bool" else None
    if dtype == "bool":  # numpy reads any non-zero byte of a bool array as True
        array = np.array([0, 1, 2, 255], dtype=np.uint8).view(np.bool_)
        values = array.tolist()
        assert values == [False, True, True, True]
    array = np.array(values, dtype=dtype)
    assert dumps(array) == json.dumps(values, separators=(",", ":")).encode()


@pytest.mark.parametrize("dtype", ["float16", "float32", "float64"])
def test_float_arrays(np, dtype):
    array = float_samples(np, dtype)
    if dtype == "float16":  # every value there is
        array = np.arange(65536, dtype=np.uint32).astype(np.uint16).view(np.float16)
    texts = items_of(dumps(array))
    assert len(texts) == len(array)
    for text, value in zip(texts, array):
        check_float_text(np, text, value)
    unaligned = np.frombuffer(b"\0" + array.tobytes(), dtype=array.dtype, offset=1)
    assert dumps(unaligned) == dumps(array)


def test_large_array_across_output_blocks(np):
    values = np.random.default_rng(13).standard_normal(100_000 if SANITIZED else 500_000)
    assert json.loads(dumps(values)) == values.tolist()


@pytest.mark.parametrize("shape", [
    (0,), (5,), (2, 0), (0, 2), (2, 0, 3), (2, 3, 0), (3, 1), (1, 1, 1, 1), (2, 3, 4),
    (4, 1, 2, 1, 3), (1000, 2)])
@pytest.mark.parametrize("dtype", ["int64", "int8", "float64", "bool"])
def test_shapes_in_row_major_order_compact_and_indented(np, shape, dtype):
    array = (np.arange(np.prod(shape)) % 7 - 3).astype(dtype).reshape(shape)
    assert dumps(array) == json.dumps(array.tolist(), separators=(",", ":")).encode()
    assert dumps(array, INDENT) == json.dumps(array.tolist(), indent=2).encode()


def test_dimensions_indent_but_do_not_count_against_the_nesting_limit(np):
    doc = {"a": [np.arange(3).reshape(3, 1), {"b": np.zeros((2, 0))}], "c": np.arange(2)}
    plain = {"a": [[[0], [1], [2]], {"b": [[], []]}], "c": [0, 1]}
    assert dumps(doc, INDENT) == json.dumps(plain, indent=2).encode()
    deep, expected = np.arange(2, dtype=np.int16).reshape((1,) * 31 + (2,)), [[0, 1]]
    for _ in range(30):
        expected = [expected]
    for _ in range(254):
        deep, expected = [deep], [expected]
    assert json.loads(dumps(deep)) == json.loads(dumps(deep, INDENT)) == expected
    encode_error([deep], "Recursion limit reached")


@pytest.mark.parametrize("unit", WRITTEN_UNITS)
def test_datetime64_arrays(np, unit):
    first, last = written_counts(unit)
    counts = datetime64_counts(np, unit)
    written = np.array([c for c in counts if first <= c <= last], dtype=f"datetime64[{unit}]")
    expected = [numpy_text(np, v) for v in written]
    assert json.loads(dumps(written)) == expected
    assert json.loads(dumps(written.reshape(-1, 1), INDENT)) == [[t] for t in expected]
    for count in (counts[0], counts[-1]):
        if not first <= count <= last:  # the failing element ends the walk, at any depth
            encode_error(np.array([[0, 0], [0, count]], dtype=f"datetime64[{unit}]"),
                         f"unrepresentable numpy.datetime64: {count} {UNIT_NAMES[unit]}")


@pytest.mark.filterwarnings("ignore:The 'generic' unit:DeprecationWarning")  # numpy 2.5
@pytest.mark.parametrize("dtype, name", [("datetime64[ps]", "picoseconds"), ("datetime64[2D]", "NaT"),
                                         ("datetime64", "NaT")])
def test_datetime64_arrays_of_units_not_written(np, dtype, name):
    encode_error(np.array([["NaT"]], dtype=dtype), f"unsupported numpy.datetime64 unit: {name}")
    assert dumps(np.zeros((2, 0), dtype=dtype)) == b"[[],[]]"  # no element, no failure


def test_datetime64_array_options(np):
    option = kestro.OPT_NAIVE_UTC | kestro.OPT_UTC_Z | kestro.OPT_OMIT_MICROSECONDS
    assert dumps(np.array(["2024-03-09T08:05:03.000120"] * 2, dtype="M8[us]"), option) == \
        b'["2024-03-09T08:05:03Z","2024-03-09T08:05:03Z"]'


def not_written(np):
    """(array, message, whether default is called instead)"""
    swapped = "<" if sys.byteorder == "big" else ">"
    contiguous = "numpy array is not C contiguous; use ndarray.tolist() in default"
    unsupported = "unsupported datatype in numpy array"
    native = "numpy array is not native-endianness"
    return [(a, contiguous, True) for a in (
        np.arange(6).reshape(2, 3).T, np.arange(10)[::2], np.zeros((3, 3), order="F"))] + \
        [(a, unsupported, True) for a in (
            np.array([1j]), np.array(["text"]), np.array([b"bytes"]), np.array([None]),
            np.array([1], dtype="m8[s]"), np.zeros(2, dtype="i4,f8"), np.array(5),
            np.array([1], dtype=np.longdouble if np.finfo(np.longdouble).bits > 64 else "c8"))] + \
        [(np.array([1], dtype=swapped + t), native, False) for t in ("i4", "f8", "M8[ns]")]


def test_arrays_not_written_natively(np):
    for array, message, to_default in not_written(np):
        before = sys.getrefcount(array)
        assert encode_error(array, message).__cause__ is None
        encode_error([array], message, INDENT)
        default = Recorder()
        if to_default:
            assert dumps({"a": array}, default=default) == b'{"a":"marker"}'
            assert default.seen == [array] and default.seen[0] is array
        else:
            encode_error({"a": array}, message, default=default)
            assert default.seen == []
        del default
        gc.collect()  # the frames a caught exception keeps
        assert sys.getrefcount(array) == before


def test_default_raising_and_ndarray_subclasses(np):
    def fail(obj):
        raise ValueError("no")

    error = encode_error(np.arange(4)[::2], "Type is not JSON serializable: numpy.ndarray",
                         default=fail)
    assert isinstance(error.__cause__, ValueError)
    sub = type("Sub", (np.ndarray,), {})
    encode_error(np.arange(3).view(sub), "Type is not JSON serializable: Sub")
