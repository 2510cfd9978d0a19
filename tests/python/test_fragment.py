import ctypes
import gc
import sys
import weakref

import pytest

import kestro

MESSAGE = "kestro.Fragment() takes exactly 1 positional argument"


@pytest.mark.parametrize("content", [b'{"a":1}', '[1,2]', 1, None])
def test_constructs_with_any_single_argument(content):
    frag = kestro.Fragment(content)
    assert type(frag) is kestro.Fragment


@pytest.mark.parametrize("args,kwargs", [
    ((), {}),
    ((b"1", b"2"), {}),
    ((), {"contents": b"1"}),
    ((b"1",), {"x": 1}),
])
def test_wrong_arguments(args, kwargs):
    with pytest.raises(TypeError) as info:
        kestro.Fragment(*args, **kwargs)
    assert str(info.value) == MESSAGE


def test_empty_keyword_mapping_is_still_rejected():
    # An explicit empty dict reaches tp_new as a non-null mapping.
    with pytest.raises(TypeError, match="exactly 1 positional"):
        kestro.Fragment(b"1", **{})  # noqa: PIE804
    # Fragment.__new__ drops an empty **{} from 3.15 on; the C API still
    # hands the mapping over.
    call = ctypes.pythonapi.PyObject_Call
    call.argtypes = [ctypes.py_object] * 3
    call.restype = ctypes.py_object
    with pytest.raises(TypeError, match="exactly 1 positional"):
        call(kestro.Fragment, (b"1",), {})
    with pytest.raises(TypeError, match="exactly 1 positional"):
        kestro.Fragment.__call__(b"1", **{"a": 1})


def test_type_shape():
    assert kestro.Fragment.__name__ == "Fragment"
    assert kestro.Fragment.__module__ == "kestro"
    with pytest.raises(TypeError):
        class Sub(kestro.Fragment):
            pass
    with pytest.raises(TypeError):
        kestro.Fragment.extra = 1
    frag = kestro.Fragment(b"1")
    assert not hasattr(frag, "__dict__")
    with pytest.raises(AttributeError):
        frag.extra = 1


def test_content_is_kept_alive_and_released():
    class Content:
        pass

    content = Content()
    ref = weakref.ref(content)
    before = sys.getrefcount(content)
    frag = kestro.Fragment(content)
    assert sys.getrefcount(content) == before + 1
    del content
    gc.collect()
    assert ref() is not None
    del frag
    gc.collect()
    assert ref() is None


def test_type_reference_count_is_balanced():
    # The interpreter itself may cache a reference or two; a leak per instance
    # would show as a thousand.
    before = sys.getrefcount(kestro.Fragment)
    frags = [kestro.Fragment(b"1") for _ in range(1000)]
    assert sys.getrefcount(kestro.Fragment) >= before + 1000
    del frags
    assert sys.getrefcount(kestro.Fragment) - before < 5
