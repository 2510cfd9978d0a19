import enum
import os
import pathlib

import pytest

SHARED = pathlib.Path(__file__).resolve().parents[2].parent / "shared"
if "KESTRO_SHARED" in os.environ:
    SHARED = pathlib.Path(os.environ["KESTRO_SHARED"])
CORPUS = SHARED / "data" / "corpus"
JSON_TEST_SUITE = SHARED / "data" / "JSONTestSuite" / "test_parsing"

# Under the sanitizers the suite runs much slower; the heaviest randomised
# tests take fewer examples there.
SANITIZED = os.environ.get("KESTRO_SANITIZED") == "1"


def corpus_file(name):
    path = CORPUS / name
    if not path.exists():
        pytest.skip(f"corpus document {path} is not present")
    return path


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
