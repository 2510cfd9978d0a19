"""The type stubs against the module (the build on PYTHONPATH): stubtest finds
them in agreement, mypy --strict accepts an example of the whole API and
rejects wrong uses, and the stubs' docstrings are the module's own."""

import ast
import pathlib
import re
import sys

import kestro

from helpers import ROOT, clean_env, run

HERE = pathlib.Path(__file__).parent
STUB = ROOT / "src" / "kestro.pyi"


def with_build(*cmd, cwd):
    """Runs `cmd` with the build under test, and its stubs, on the path."""
    return run(cmd, cwd=cwd, env=clean_env(PYTHONPATH=str(pathlib.Path(kestro.__file__).parent)),
               check=False)


def mypy(*args, cwd):
    return with_build(sys.executable, "-m", "mypy", "--strict", "--no-incremental", *args, cwd=cwd)


def test_stubtest_finds_stub_and_module_in_agreement(tmp_path):
    result = with_build(sys.executable, "-m", "mypy.stubtest", "kestro", cwd=tmp_path)
    assert result.returncode == 0 and "Success" in result.stdout, result.stdout


def test_mypy_strict_accepts_the_example_and_it_runs(tmp_path):
    result = mypy(HERE / "typing_example.py", cwd=tmp_path)
    assert result.returncode == 0, result.stdout
    ran = with_build(sys.executable, HERE / "typing_example.py", cwd=tmp_path)
    assert ran.stdout.strip() == "typing example ran", ran.stdout


def test_mypy_rejects_each_wrong_use_with_the_expected_error(tmp_path):
    source = HERE / "typing_misuse.py"
    expected = {(n, m.group(1)) for n, line in enumerate(source.read_text().splitlines(), 1)
                if (m := re.search(r"# error: ([\w-]+)$", line))}
    result = mypy(source, cwd=tmp_path)
    got = {(int(m.group(1)), m.group(2)) for m in
           re.finditer(r"typing_misuse\.py:(\d+): error: .*\[([\w-]+)\]$", result.stdout, re.M)}
    assert expected and got == expected, result.stdout


def test_stub_docstrings_are_the_modules():
    tree = ast.parse(STUB.read_text())
    documented = {node.name: ast.get_docstring(node, clean=True) for node in tree.body
                  if isinstance(node, (ast.FunctionDef, ast.ClassDef))}
    assert {name for name, doc in documented.items() if doc} == {"dumps", "loads", "Fragment"}
    # The module's docstrings are one line; the stubs carry the fuller help
    # beneath that same line (the Fragment's is the module's whole text).
    assert documented["Fragment"] == kestro.Fragment.__doc__
    for name in ("dumps", "loads"):
        assert documented[name].split("\n\n")[0] == getattr(kestro, name).__doc__, name
