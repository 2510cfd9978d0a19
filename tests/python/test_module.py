import inspect
import json
import os
import pydoc
import subprocess
import sys

import pytest

import kestro

OPTIONS = {
    "OPT_APPEND_NEWLINE": 1024,
    "OPT_INDENT_2": 1,
    "OPT_NAIVE_UTC": 2,
    "OPT_NON_STR_KEYS": 4,
    "OPT_OMIT_MICROSECONDS": 8,
    "OPT_PASSTHROUGH_DATACLASS": 2048,
    "OPT_PASSTHROUGH_DATETIME": 512,
    "OPT_PASSTHROUGH_SUBCLASS": 256,
    "OPT_SERIALIZE_DATACLASS": 0,
    "OPT_SERIALIZE_NUMPY": 16,
    "OPT_SERIALIZE_UUID": 0,
    "OPT_SORT_KEYS": 32,
    "OPT_STRICT_INTEGER": 64,
    "OPT_UTC_Z": 128,
}


def test_public_attributes_in_the_order_they_are_added():
    own = [name for name in vars(kestro) if name not in {
        "__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__"}]
    assert own == ["__version__", "dumps", "loads", "Fragment", *OPTIONS,
                   "JSONDecodeError", "JSONEncodeError"]
    assert kestro.__doc__ is None


@pytest.mark.parametrize("name,value", OPTIONS.items())
def test_option_values(name, value):
    assert getattr(kestro, name) == value
    assert type(getattr(kestro, name)) is int


def test_options_union_is_4095():
    union = 0
    for name in OPTIONS:
        union |= getattr(kestro, name)
    assert union == 4095


def test_version_is_three_numbers():
    parts = kestro.__version__.split(".")
    assert len(parts) == 3 and all(p.isdigit() for p in parts)


@pytest.mark.parametrize("fn,signature,doc", [
    (kestro.dumps, "(obj, /, default=None, option=None)", "Serialize Python objects to JSON."),
    (kestro.loads, "(obj, /)", "Deserialize JSON to Python objects."),
])
def test_function_records(fn, signature, doc):
    assert fn.__text_signature__ == signature
    assert fn.__doc__ == doc
    assert fn.__module__ == "kestro"
    assert fn.__self__ is None


def test_help_shows_signature_and_description():
    for obj, first_line in ((kestro.dumps, "dumps(obj, /, default=None, option=None)"),
                            (kestro.loads, "loads(obj, /)"),
                            (kestro.Fragment, "class Fragment(builtins.object)")):
        lines = pydoc.plain(pydoc.render_doc(obj, renderer=pydoc.plaintext)).splitlines()
        assert first_line in lines[2]
        assert obj.__doc__.splitlines()[0] in "\n".join(lines[3:])


def test_fragment_text_signature():
    assert kestro.Fragment.__text_signature__ == "(content, /)"
    assert str(inspect.signature(kestro.Fragment)) == "(content, /)"
    assert kestro.Fragment.__doc__.startswith("Already-serialized JSON")


def test_exception_classes():
    assert kestro.JSONEncodeError is TypeError
    err = kestro.JSONDecodeError
    assert issubclass(err, json.JSONDecodeError) and issubclass(err, ValueError)
    assert err.__module__ == "kestro" and err.__name__ == "JSONDecodeError"
    assert err.__bases__ == (json.JSONDecodeError,)


def test_second_import_shares_the_cached_objects():
    first = sys.modules.pop("kestro")
    try:
        import kestro as second
        assert second is not first
        assert second.Fragment is first.Fragment
        assert second.JSONDecodeError is first.JSONDecodeError
        assert second.JSONEncodeError is first.JSONEncodeError
        assert second.dumps is not first.dumps
    finally:
        sys.modules["kestro"] = first


def _run_isolated(code):
    env = dict(os.environ, PYTHONPATH=":".join(p for p in sys.path if p))
    return subprocess.run([sys.executable, "-S", "-c", code], capture_output=True, text=True,
                          env=env, timeout=120)


def test_failed_standard_library_lookup_fails_the_import_cleanly():
    # With uuid.UUID missing the import raises the interpreter's KeyError
    # instead of crashing, and a later import after repair works.
    code = (
        "import uuid\n"
        "saved = uuid.UUID\n"
        "del uuid.UUID\n"
        "try:\n"
        "    import kestro\n"
        "except KeyError as e:\n"
        "    print('failed', e)\n"
        "uuid.UUID = saved\n"
        "import sys; sys.modules.pop('kestro', None)\n"
        "import kestro\n"
        "print('ok', kestro.Fragment.__name__)\n"
    )
    result = _run_isolated(code)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["failed 'UUID'", "ok Fragment"]
