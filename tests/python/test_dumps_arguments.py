"""dumps: positional and keyword arguments, the option mask, the result type."""
import enum
import sys

import pytest

import kestro

MISSING = "dumps() missing 1 required positional argument: 'obj'"
UNEXPECTED = "dumps() got an unexpected keyword argument"
MULTIPLE_DEFAULT = "dumps() got multiple values for argument: 'default'"
MULTIPLE_OPTION = "dumps() got multiple values for argument: 'option'"


def raises_exactly(message, call):
    with pytest.raises(kestro.JSONEncodeError) as info:
        call()
    assert str(info.value) == message
    assert type(info.value) is TypeError
    assert info.value.__cause__ is None
    return info.value


def test_encode_error_is_type_error():
    assert kestro.JSONEncodeError is TypeError


@pytest.mark.parametrize("kwargs", [{}, {"default": str}, {"option": 0}, {"foo": 1}])
def test_missing_obj_whatever_the_keywords(kwargs):
    raises_exactly(MISSING, lambda: kestro.dumps(**kwargs))


@pytest.mark.parametrize("args, given", [((1, None, 0, 0), 4), ((1, None, 0, 0, 0, 0, 0), 7)])
def test_more_than_three_positional_arguments(args, given):
    raises_exactly(f"dumps() takes at most 3 positional arguments ({given} given)",
                   lambda: kestro.dumps(*args))


@pytest.mark.parametrize("call, message", [
    (lambda: kestro.dumps(1, foo=1), UNEXPECTED),
    (lambda: kestro.dumps(1, None, 0, option=0), MULTIPLE_OPTION),
    (lambda: kestro.dumps(1, None, 0, default=None), MULTIPLE_DEFAULT),
    (lambda: kestro.dumps(1, None, 0, foo=None), UNEXPECTED),
    (lambda: kestro.dumps(1, None, default=None), MULTIPLE_DEFAULT),
    (lambda: kestro.dumps(1, None, foo=None), UNEXPECTED),
    (lambda: kestro.dumps(1, None, option=0, default=None), MULTIPLE_DEFAULT),
    (lambda: kestro.dumps(1, option="x", foo=1), UNEXPECTED),
    (lambda: kestro.dumps(1, foo=1, option="x"), UNEXPECTED),
    (lambda: kestro.dumps(1, None, option="x", foo=1), UNEXPECTED),
])
def test_keyword_errors(call, message):
    raises_exactly(message, call)


@pytest.mark.parametrize("positional, names, expected", [
    ((), ("option",), b"[\n  1\n]"),
    ((), ("default", "option"), b"[\n  1\n]"),
    ((None,), ("option",), b"[\n  1\n]"),
    ((None,), ("default",), MULTIPLE_DEFAULT),
    ((None, 0), ("option",), MULTIPLE_OPTION),
    ((), ("options",), UNEXPECTED),
])
def test_keyword_names_built_at_run_time_are_the_keywords(positional, names, expected):
    values = {"option": kestro.OPT_INDENT_2, "default": None, "options": 0}
    # Names as a program reads them from a file: equal strings, not the interned ones.
    config = {"".join(list(name)): values[name] for name in names}
    assert all(k is not sys.intern(k) for k in config)
    call = lambda: kestro.dumps([1], *positional, **config)  # noqa: E731
    if isinstance(expected, bytes):
        assert call() == expected
    else:
        raises_exactly(expected, call)


@pytest.mark.parametrize("call", [
    lambda: kestro.dumps([1], None, kestro.OPT_INDENT_2),
    lambda: kestro.dumps([1], None, option=kestro.OPT_INDENT_2),
    lambda: kestro.dumps([1], option=kestro.OPT_INDENT_2),
    lambda: kestro.dumps([1], option=kestro.OPT_INDENT_2, default=None),
    lambda: kestro.dumps([1], default=None, option=kestro.OPT_INDENT_2),
])
def test_option_by_position_or_keyword(call):
    assert call() == b"[\n  1\n]"


@pytest.mark.parametrize("call", [
    lambda d: kestro.dumps(object(), d),
    lambda d: kestro.dumps(object(), d, None),
    lambda d: kestro.dumps(object(), default=d),
    lambda d: kestro.dumps(object(), option=None, default=d),
    lambda d: kestro.dumps(object(), d, option=0),
])
def test_default_by_position_or_keyword(call):
    assert call(lambda o: "seen") == b'"seen"'


def test_default_none_is_an_object_not_an_absence():
    with pytest.raises(TypeError) as info:
        kestro.dumps(object(), None)
    assert str(info.value) == "Type is not JSON serializable: object"
    assert isinstance(info.value.__cause__, TypeError)
    assert "not callable" in str(info.value.__cause__)


class Flags(enum.IntFlag):
    A = 1


@pytest.mark.parametrize("option", [
    4096, -1, True, False, Flags.A, 2**30, 2**64, -2**64, 1.0, "1", b"1", [], object()])
def test_invalid_option_values(option):
    raises_exactly("Invalid opts", lambda: kestro.dumps(1, option=option))
    raises_exactly("Invalid opts", lambda: kestro.dumps(1, None, option))


@pytest.mark.parametrize("option", [0, 4095, None, 1024 | 32, 2**12 - 2])
def test_valid_option_values(option):
    assert kestro.dumps([], option=option) in (b"[]", b"[]\n")


def test_none_is_the_same_as_zero():
    doc = {"b": [1, {"c": "d"}], "a": None}
    assert kestro.dumps(doc, option=None) == kestro.dumps(doc, option=0) == kestro.dumps(doc)


def test_keywords_are_checked_before_the_option():
    raises_exactly(UNEXPECTED, lambda: kestro.dumps(1, option=2**40, foo=1))


def test_empty_keyword_mapping():
    assert kestro.dumps([1], **{}) == b"[1]"


@pytest.mark.parametrize("option, expected", [
    (0, b"[]"),
    (kestro.OPT_APPEND_NEWLINE, b"[]\n"),
    (kestro.OPT_APPEND_NEWLINE | kestro.OPT_INDENT_2, b"[]\n"),
])
def test_empty_list_and_newline(option, expected):
    result = kestro.dumps([], option=option)
    assert type(result) is bytes
    assert result == expected


@pytest.mark.parametrize("obj", [1, "a", None, [1, [2]], {"a": {"b": 1}}])
def test_newline_follows_the_document_in_both_layouts(obj):
    for layout in (0, kestro.OPT_INDENT_2):
        plain = kestro.dumps(obj, option=layout)
        assert not plain.endswith(b"\n")
        assert kestro.dumps(obj, option=layout | kestro.OPT_APPEND_NEWLINE) == plain + b"\n"


def test_result_is_a_fresh_bytes_object_each_call():
    first = kestro.dumps([1, 2])
    second = kestro.dumps([1, 2])
    assert first == second and first is not second
    assert hash(first) == hash(b"[1,2]")


def test_argument_errors_carry_no_cause_even_inside_an_except_block():
    try:
        raise ValueError("outer")
    except ValueError:
        with pytest.raises(TypeError) as info:
            kestro.dumps()
    assert info.value.__cause__ is None
