import enum
import os
import pathlib

import pytest

# Public test data, with its licenses, kept in the tree (tests/data).
DATA = pathlib.Path(__file__).resolve().parents[1] / "data"
CORPUS = DATA / "corpus"
JSON_TEST_SUITE = DATA / "JSONTestSuite" / "test_parsing"

# Under the sanitizers the suite runs much slower.  There, and where the test
# command runs the suite again (KESTRO_LIGHT=1: the other interpreters, the
# installed copies, emulation), the heaviest randomised tests take fewer
# examples.
SANITIZED = os.environ.get("KESTRO_SANITIZED") == "1"
LIGHT = SANITIZED or os.environ.get("KESTRO_LIGHT") == "1"


def corpus_file(name):
    return CORPUS / name


class Recorder:
    """A default that records what it is given and writes a marker."""

    def __init__(self):
        self.seen = []

    def __call__(self, obj):
        self.seen.append(obj)
        return "marker"


class Odd(enum.Enum):
    """Members whose value lookup fails, or gives the member itself again."""

    RAISES, ITSELF = 1, 2

    @property
    def value(self):
        if self._value_ == 1:
            raise LookupError("no value")
        return self
