"""The README's examples are run, and their outputs compared with what it
shows, so the manual cannot drift from the module."""

import doctest
import pathlib

import pytest

import kestro

README = pathlib.Path(__file__).resolve().parents[2] / "README.md"


def examples():
    """(first line, text) of each ```python block of the README that holds an
    interactive session."""
    lines = README.read_text(encoding="utf-8").splitlines(keepends=True)
    blocks, current, start = [], None, 0
    for number, line in enumerate(lines, 1):
        if current is None and line.strip() == "```python":
            current, start = [], number
        elif current is not None and line.strip() == "```":
            blocks.append((start, "".join(current)))
            current = None
        elif current is not None:
            current.append(line)
    return [(start, text) for start, text in blocks if ">>>" in text]


def test_every_option_has_an_example():
    text = "".join(block for _, block in examples())
    for name in dir(kestro):
        if name.startswith("OPT_"):
            assert f"kestro.{name}" in text, name


def test_examples_print_what_the_readme_shows():
    pytest.importorskip("numpy")
    parser = doctest.DocTestParser()
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    # The blocks are one session, as a reader follows them.
    session, report = {}, []
    for start, text in examples():
        test = parser.get_doctest(text, session, "README.md", str(README), start)
        test.globs = session
        runner.run(test, out=report.append, clear_globs=False)
    assert runner.tries > 40
    assert runner.failures == 0, "".join(report)
