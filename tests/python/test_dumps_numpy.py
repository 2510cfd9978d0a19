"""dumps of numpy arrays, scalars and datetime64 values (OPT_SERIALIZE_NUMPY):
elements, shapes, layout, the arrays and scalars that go to default or fail,
and how numpy is found.  The oracles are numpy's own conversions and the
standard library's."""
import datetime
import decimal
import gc
import json
import re
import subprocess
import sys

import pytest

import kestro
from conftest import LIGHT, Recorder

INDENT = kestro.OPT_INDENT_2
UNIT_NAMES = {"Y": "years", "M": "months", "W": "weeks", "D": "days", "h": "hours",
              "m": "minutes", "s": "seconds", "ms": "milliseconds", "us": "microseconds",
              "ns": "nanoseconds", "ps": "picoseconds", "fs": "femtoseconds",
              "as": "attoseconds"}
WRITTEN_UNITS = list(UNIT_NAMES)[:10]
FIXED_RANGE = {"float16": (-6, 12), "float32": (-6, 12), "float64": (-5, 15)}
INT64_MIN, INT64_MAX = -2 ** 63, 2 ** 63 - 1
FIRST_SECOND = -62167219200  # 0000-01-01T00:00:00
LAST_SECOND = 253402207200  # 9999-12-30T22:00:00, the last instant written
SECONDS_EACH = {"W": 604800, "D": 86400, "h": 3600, "m": 60, "s": 1}
PER_SECOND = {"ms": 10 ** 3, "us": 10 ** 6, "ns": 10 ** 9}


def dumps(obj, option=0, **kwargs):
    return kestro.dumps(obj, option=kestro.OPT_SERIALIZE_NUMPY | option, **kwargs)


def encode_error(obj, message, option=0, **kwargs):
    with pytest.raises(kestro.JSONEncodeError) as info:
        dumps(obj, option, **kwargs)
    assert str(info.value) == message
    return info.value


def integer_samples(np, dtype):
    info = np.iinfo(dtype)
    values = {info.min, info.min + 1, info.max - 1, info.max, 0, 1, -1}
    for k in range(20):
        values.update(s * v for s in (1, -1) for v in (10 ** k - 1, 10 ** k, 8 ** k))
    rng = np.random.default_rng(11)
    values.update(rng.integers(info.min, info.max, 300, dtype=dtype, endpoint=True).tolist())
    return sorted(v for v in values if info.min <= v <= info.max)


def float_samples(np, dtype):
    finfo = np.finfo(dtype)
    values = [0.0, -0.0, 0.1, 1.5, 100.5, 1e-5, 1e-6, 1e-7, 1e12, 1e13, 1e15, 1e16, 16777216.0,
              float(finfo.max), -float(finfo.max), float(finfo.tiny), 2.0 ** -24,
              float(finfo.smallest_subnormal), 9999999999999998.0, 0.0000099, float("nan"),
              float("inf"), float("-inf")]
    bits = np.dtype(f"u{np.dtype(dtype).itemsize}")
    random = np.random.default_rng(12).integers(0, np.iinfo(bits).max, 2000, dtype=bits)
    with np.errstate(over="ignore"):
        return np.concatenate([np.array(values, dtype=dtype), random.view(dtype)])


def check_float_text(np, text, value):
    """text is the shortest round-trip decimal of value (of its binary32 value
    for float16 and float32), in fixed notation inside the exponent range of
    its precision and in scientific notation outside it."""
    if not np.isfinite(value):
        assert text == "null"
        return
    shortest = repr(float(value)) if value.dtype == np.float64 else \
        np.format_float_scientific(np.float32(value), unique=True)
    assert decimal.Decimal(text) == decimal.Decimal(shortest), (text, value)
    assert text.startswith("-") == bool(np.signbit(value))
    low, high = FIXED_RANGE[value.dtype.name]
    exponent = decimal.Decimal(text).adjusted() if value != 0 else 0
    assert ("e" in text) == (not low <= exponent <= high), text
    assert re.fullmatch(r"-?(\d+\.\d+|\d(\.\d+)?e[+-][1-9]\d*)", text), text  # 1e-7, 1e+13, 0.5


def written_counts(unit):
    """The first and last counts of the unit that are written."""
    if unit == "Y":
        return -1970, 9999 - 1970
    if unit == "M":
        return -1970 * 12, (9999 - 1970) * 12 + 11
    if unit in SECONDS_EACH:
        return -(-FIRST_SECOND // SECONDS_EACH[unit]), LAST_SECOND // SECONDS_EACH[unit]
    if unit == "ns":
        return INT64_MIN, INT64_MAX
    return FIRST_SECOND * PER_SECOND[unit], LAST_SECOND * PER_SECOND[unit]


def datetime64_counts(np, unit):
    """Counts around both ends of the written range, and a spread between."""
    first, last = written_counts(unit)
    counts = {0, 1, -1, 1709971503, -1709971503, INT64_MAX, INT64_MIN + 1}
    counts.update(edge + d for edge in (first, last) for d in range(-2, 3))
    rng = np.random.default_rng(14)
    counts.update(rng.integers(max(first, INT64_MIN + 1), last, 200).tolist())
    return sorted(c for c in counts if INT64_MIN < c <= INT64_MAX)


def numpy_text(np, value):
    """numpy's own calendar: the seconds, then the microseconds if any."""
    full = np.datetime_as_string(value)  # the fraction in the value's unit
    micro = int(full[20:26].ljust(6, "0")) if len(full) > 20 else 0
    return np.datetime_as_string(value, unit="s") + (f".{micro:06d}" if micro else "")


@pytest.fixture(scope="module")
def np():
    return pytest.importorskip("numpy")


@pytest.mark.parametrize("dtype", ["int8", "int16", "int32", "int64", "uint8", "uint16",
                                   "uint32", "uint64", "bool"])
def test_integers_and_bools(np, dtype):
    if dtype == "bool":  # numpy reads any non-zero byte of a bool array as True
        array = np.array([0, 1, 2, 255], dtype=np.uint8).view(np.bool_)
        assert array.tolist() == [False, True, True, True]
    else:
        array = np.array(integer_samples(np, dtype), dtype=dtype)
    assert dumps(array) == json.dumps(array.tolist(), separators=(",", ":")).encode()
    for scalar in array:
        assert dumps(scalar) == dumps(scalar, INDENT) == json.dumps(scalar.item()).encode()


@pytest.mark.parametrize("dtype", ["float16", "float32", "float64"])
def test_floats(np, dtype):
    array = float_samples(np, dtype)
    for scalar in array:
        check_float_text(np, dumps(scalar).decode(), scalar)
    if dtype == "float16":  # every value there is
        array = np.arange(65536, dtype=np.uint32).astype(np.uint16).view(np.float16)
    texts = dumps(array)[1:-1].decode().split(",")
    assert len(texts) == len(array)
    for text, value in zip(texts, array):
        check_float_text(np, text, value)
    unaligned = np.frombuffer(b"\0" + array.tobytes(), dtype=array.dtype, offset=1)
    assert dumps(unaligned) == dumps(array)


def test_large_array_across_output_blocks(np):
    values = np.random.default_rng(13).standard_normal(100_000 if LIGHT else 500_000)
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
def test_datetime64_units(np, unit):
    first, last = written_counts(unit)
    counts = datetime64_counts(np, unit)
    written = [c for c in counts if first <= c <= last]
    array = np.array(written, dtype=f"datetime64[{unit}]")
    expected = [numpy_text(np, v) for v in array]
    assert json.loads(dumps(array)) == expected
    assert json.loads(dumps(array.reshape(-1, 1), INDENT)) == [[t] for t in expected]
    for scalar, text in zip(array, expected):
        assert dumps(scalar) == f'"{text}"'.encode()
    for count in set(counts) - set(written):  # the scalar, and an element at any depth
        message = f"unrepresentable numpy.datetime64: {count} {UNIT_NAMES[unit]}"
        encode_error([np.datetime64(count, unit)], message)
        encode_error(np.array([[0, 0], [0, count]], dtype=f"datetime64[{unit}]"), message)


def test_nat_is_an_ordinary_count(np):
    nanoseconds = datetime.datetime(1970, 1, 1) + datetime.timedelta(microseconds=INT64_MIN // 1000)
    assert dumps(np.datetime64("NaT", "ns")) == f'"{nanoseconds.isoformat()}"'.encode()
    encode_error(np.datetime64("NaT", "D"), f"unrepresentable numpy.datetime64: {INT64_MIN} days")


@pytest.mark.parametrize("option, suffix", [
    (0, ".000120"), (kestro.OPT_OMIT_MICROSECONDS, ""), (kestro.OPT_NAIVE_UTC, ".000120+00:00"),
    (kestro.OPT_NAIVE_UTC | kestro.OPT_UTC_Z, ".000120Z"), (kestro.OPT_UTC_Z, ".000120"),
    (kestro.OPT_NAIVE_UTC | kestro.OPT_OMIT_MICROSECONDS | INDENT, "+00:00")])
def test_datetime64_options(np, option, suffix):
    scalar, text = np.datetime64("2024-03-09T08:05:03.000120"), f"2024-03-09T08:05:03{suffix}"
    assert dumps(scalar, option) == f'"{text}"'.encode()
    assert json.loads(dumps(np.array([scalar] * 2), option)) == [text] * 2


# numpy 2.5 deprecates datetime64 values without a unit, which are made here on purpose
@pytest.mark.filterwarnings("ignore:The 'generic' unit:DeprecationWarning")
@pytest.mark.parametrize("unit, name", [
    ("[ps]", "picoseconds"), ("[fs]", "femtoseconds"), ("[as]", "attoseconds"), ("[10s]", "NaT"),
    ("[2D]", "NaT"), ("[25us]", "NaT"), ("", "NaT")])
def test_datetime64_units_not_written(np, unit, name):
    array = np.array([["NaT"]], dtype=f"datetime64{unit}")
    message = f"unsupported numpy.datetime64 unit: {name}"
    encode_error({"k": [array[0, 0]]}, message)
    encode_error(array, message)
    assert dumps(np.zeros((2, 0), dtype=array.dtype)) == b"[[],[]]"  # no element, no failure


def test_scalars_in_containers(np):
    doc = {"f": np.float64(1.5), "i": [np.int8(-128), np.uint64(2 ** 64 - 1)], "h": np.half(0.5),
           "b": (np.bool_(True),), "t": np.datetime64("2000-01-01T00:00:00", "s")}
    plain = {"f": 1.5, "i": [-128, 2 ** 64 - 1], "h": 0.5, "b": [True], "t": "2000-01-01T00:00:00"}
    watched = [doc["f"], doc["t"], np.float64, np.half, np.datetime64]
    before = [sys.getrefcount(o) for o in watched]
    assert dumps(doc) == json.dumps(plain, separators=(",", ":")).encode()
    assert dumps(doc, INDENT) == json.dumps(plain, indent=2).encode()
    assert [sys.getrefcount(o) for o in watched] == before
    assert dumps(np.str_("text")) == b'"text"'  # a str subclass
    # Without the option numpy values are types like any other.
    assert kestro.dumps([np.float64(1), np.datetime64(1, "D")], Recorder(), 0) == b'["marker","marker"]'


def not_written(np):
    """(array or scalar, message, whether default is called instead)"""
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
        [(np.array([1], dtype=swapped + t), native, False) for t in ("i4", "f8", "M8[ns]")] + \
        [(np.datetime64(1, "ps"), "unsupported numpy.datetime64 unit: picoseconds", False),
         (np.datetime64(10 ** 7, "D"), "unrepresentable numpy.datetime64: 10000000 days", False)] + \
        [(s, f"Type is not JSON serializable: numpy.{type(s).__name__}", True) for s in (
            # longlong is a type of its own beside int64
            np.complex128(1), np.timedelta64(1, "s"), np.longdouble(1), np.longlong(1))]


def test_not_written_natively(np):
    for obj, message, to_default in not_written(np):
        before = sys.getrefcount(obj), sys.getrefcount(type(obj))
        assert encode_error(obj, message).__cause__ is None
        encode_error([obj, obj], message, INDENT)
        default = Recorder()
        if to_default:
            assert dumps({"a": obj}, default=default) == b'{"a":"marker"}'
            assert default.seen == [obj] and default.seen[0] is obj
        else:
            encode_error({"a": obj}, message, default=default)
            assert default.seen == []
        del default
        gc.collect()  # the frames a caught exception keeps
        assert (sys.getrefcount(obj), sys.getrefcount(type(obj))) == before


def test_default_raising_and_ndarray_subclasses(np):
    def fail(obj):
        raise ValueError("no")

    error = encode_error(np.arange(4)[::2], "Type is not JSON serializable: numpy.ndarray",
                         default=fail)
    assert isinstance(error.__cause__, ValueError)
    sub = type("Sub", (np.ndarray,), {})
    encode_error(np.arange(3).view(sub), "Type is not JSON serializable: Sub")


def run_python(code):
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                            timeout=120)
    assert result.returncode == 0, result.stderr


def test_numpy_is_imported_at_first_need_only(np):
    run_python("import sys, kestro\n"
               "O = kestro.OPT_SERIALIZE_NUMPY\n"
               "kestro.dumps([1, 'a', {'b': 2.5}], option=O)\n"
               "assert 'numpy' not in sys.modules\n"
               "assert kestro.dumps(object(), default=lambda o: 1, option=O) == b'1'\n"
               "import numpy\n"
               "assert kestro.dumps(numpy.int16(-2), option=O) == b'-2'\n")


def test_without_numpy_nothing_changes_and_nothing_is_raised():
    run_python("import sys\n"
               "sys.modules['numpy'] = None  # import numpy raises ImportError\n"
               "import kestro\n"
               "class ArrayLike:\n"
               "    __array_struct__ = property(lambda self: 1 / 0)\n"
               "O = kestro.OPT_SERIALIZE_NUMPY\n"
               "assert kestro.dumps([ArrayLike()], lambda o: 2, O) == b'[2]'\n"
               "try:\n"
               "    kestro.dumps(ArrayLike(), option=O)\n"
               "except TypeError as e:\n"
               "    assert str(e) == 'Type is not JSON serializable: ArrayLike' and not e.__cause__\n"
               "del sys.modules['numpy']  # found absent once, never looked for again\n"
               "assert kestro.dumps(ArrayLike(), lambda o: 3, O) == b'3'\n")
