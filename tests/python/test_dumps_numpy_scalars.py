"""dumps of numpy scalars and datetime64 values (OPT_SERIALIZE_NUMPY), and
how numpy is found."""
import datetime
import gc
import json
import subprocess
import sys

import pytest

import kestro
from conftest import Recorder
from numpy_oracles import (INT64_MIN, UNIT_NAMES, WRITTEN_UNITS, check_float_text,
                           datetime64_counts, dumps, encode_error, float_samples,
                           integer_samples, numpy_text, python_datetime, written_counts)


@pytest.fixture(scope="module")
def np():
    return pytest.importorskip("numpy")


@pytest.mark.parametrize("dtype", ["int8", "int16", "int32", "int64", "uint8", "uint16",
                                   "uint32", "uint64", "bool_"])
def test_integer_and_bool_scalars(np, dtype):
    values = [False, True] if dtype == "bool_" else integer_samples(np, dtype)
    for value in values:
        scalar = getattr(np, dtype)(value)
        assert dumps(scalar) == dumps(scalar, kestro.OPT_INDENT_2) == json.dumps(value).encode()


@pytest.mark.parametrize("dtype", ["float16", "float32", "float64"])
def test_float_scalars(np, dtype):
    for value in float_samples(np, dtype):
        check_float_text(np, dumps(value).decode(), value)


@pytest.mark.parametrize("value, text", [  # binary32 texts
    (0.1, "0.1"), (1e-6, "0.000001"), (1e-7, "1e-7"), (1e12, "1000000000000.0"),
    (1e13, "1e+13"), (16777216.0, "16777216.0"), (3.4028234663852886e38, "3.4028235e+38"),
    (1.401298464324817e-45, "1e-45"), (-0.0, "-0.0"), (float("nan"), "null"),
    (float("-inf"), "null")])
def test_float32_layout(np, value, text):
    assert dumps(np.float32(value)) == text.encode()


@pytest.mark.parametrize("unit", WRITTEN_UNITS)
def test_datetime64_units(np, unit):
    first, last = written_counts(unit)
    for count in datetime64_counts(np, unit):
        scalar = np.datetime64(count, unit)
        if not first <= count <= last:
            encode_error([scalar], f"unrepresentable numpy.datetime64: {count} {UNIT_NAMES[unit]}")
            continue
        text = numpy_text(np, scalar)
        assert dumps(scalar) == f'"{text}"'.encode()
        if text[:4] != "0000":  # the datetime module starts at year 1
            assert text == python_datetime(count, unit).isoformat()


def test_nat_is_an_ordinary_count(np):
    nanoseconds = datetime.datetime(1970, 1, 1) + datetime.timedelta(microseconds=INT64_MIN // 1000)
    assert dumps(np.datetime64("NaT", "ns")) == f'"{nanoseconds.isoformat()}"'.encode()
    encode_error(np.datetime64("NaT", "D"), f"unrepresentable numpy.datetime64: {INT64_MIN} days")


@pytest.mark.parametrize("option, suffix", [
    (0, ".000120"), (kestro.OPT_OMIT_MICROSECONDS, ""), (kestro.OPT_NAIVE_UTC, ".000120+00:00"),
    (kestro.OPT_NAIVE_UTC | kestro.OPT_UTC_Z, ".000120Z"), (kestro.OPT_UTC_Z, ".000120"),
    (kestro.OPT_NAIVE_UTC | kestro.OPT_OMIT_MICROSECONDS | kestro.OPT_INDENT_2, "+00:00")])
def test_datetime64_options(np, option, suffix):
    scalar = np.datetime64("2024-03-09T08:05:03.000120")
    assert dumps(scalar, option) == f'"2024-03-09T08:05:03{suffix}"'.encode()


# numpy 2.5 deprecates datetime64 values without a unit, which are made here on purpose
@pytest.mark.filterwarnings("ignore:The 'generic' unit:DeprecationWarning")
@pytest.mark.parametrize("unit, name", [
    ("ps", "picoseconds"), ("fs", "femtoseconds"), ("as", "attoseconds"), ("10s", "NaT"),
    ("2D", "NaT"), ("25us", "NaT"), (None, "NaT")])
def test_datetime64_units_not_written(np, unit, name):
    scalar = np.datetime64("NaT") if unit is None else np.datetime64(1, unit)
    encode_error({"k": [scalar]}, f"unsupported numpy.datetime64 unit: {name}")


def test_scalars_in_containers_and_types_kestro_does_not_write(np):
    doc = {"f": np.float64(1.5), "i": [np.int8(-128), np.uint64(2 ** 64 - 1)],
           "b": (np.bool_(True),), "t": np.datetime64("2000-01-01T00:00:00", "s")}
    plain = {"f": 1.5, "i": [-128, 2 ** 64 - 1], "b": [True], "t": "2000-01-01T00:00:00"}
    assert dumps(doc) == json.dumps(plain, separators=(",", ":")).encode()
    assert dumps(doc, kestro.OPT_INDENT_2) == json.dumps(plain, indent=2).encode()
    assert dumps(np.str_("text")) == b'"text"'  # a str subclass
    # without the option, and for numpy types outside the record (longlong is
    # a type of its own beside int64), default is called
    for obj, option in [(np.float64(1), 0), (np.datetime64(1, "D"), 0), (np.complex128(1), 16),
                        (np.timedelta64(1, "s"), 16), (np.longdouble(1), 16), (np.longlong(1), 16)]:
        default = Recorder()
        assert kestro.dumps([obj], default, option) == b'["marker"]'
        assert default.seen == [obj]
        with pytest.raises(TypeError, match=f"^Type is not JSON serializable: numpy.{type(obj).__name__}$"):
            kestro.dumps(obj, option=option)


def test_reference_counts_are_unchanged(np):
    objects = [np.float64(1.5), np.datetime64(10 ** 7, "D"), np.datetime64(1, "ps"),
               np.float64, np.half, np.datetime64]
    before = [sys.getrefcount(o) for o in objects]
    for obj in objects[:3]:
        for _ in range(3):
            try:
                dumps([obj, obj], kestro.OPT_INDENT_2)
            except kestro.JSONEncodeError:
                pass
    del obj
    gc.collect()  # the frames a caught exception keeps
    assert [sys.getrefcount(o) for o in objects] == before


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
