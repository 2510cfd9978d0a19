"""dumps on real documents and on random object graphs."""
import json

import pytest
from hypothesis import given, settings, strategies as st

import kestro
from conftest import LIGHT, corpus_file

@pytest.fixture(scope="module", params=["twitter.json", "citm_catalog.json", "canada.json"])
def corpus(request):
    with open(corpus_file(request.param), encoding="utf-8") as f:
        return request.param, json.load(f)


def test_corpus_round_trip(corpus):
    _, doc = corpus
    for option in (0, kestro.OPT_INDENT_2, kestro.OPT_SORT_KEYS,
                   kestro.OPT_INDENT_2 | kestro.OPT_SORT_KEYS | kestro.OPT_APPEND_NEWLINE):
        assert json.loads(kestro.dumps(doc, option=option)) == doc


def test_corpus_equals_json(corpus):
    _, doc = corpus
    assert kestro.dumps(doc) == json.dumps(doc, ensure_ascii=False, separators=(",", ":")).encode()
    assert kestro.dumps(doc, option=kestro.OPT_INDENT_2).decode() == \
        json.dumps(doc, ensure_ascii=False, indent=2)
    assert kestro.dumps(doc, option=kestro.OPT_SORT_KEYS) == \
        json.dumps(doc, ensure_ascii=False, separators=(",", ":"), sort_keys=True).encode()


scalars = (st.none() | st.booleans()
           | st.integers(min_value=-(2**63), max_value=2**64 - 1)
           | st.floats(allow_nan=False, allow_infinity=False)
           | st.text())
graphs = st.recursive(
    scalars,
    lambda children: (st.lists(children, max_size=6)
                      | st.lists(children, max_size=4).map(tuple)
                      | st.dictionaries(st.text(max_size=8), children, max_size=6)),
    max_leaves=30,
)


def as_loaded(obj):
    if isinstance(obj, (list, tuple)):
        return [as_loaded(x) for x in obj]
    if isinstance(obj, dict):
        return {k: as_loaded(v) for k, v in obj.items()}
    return obj


@settings(max_examples=25 if LIGHT else 100, deadline=None)
@given(graphs, st.sampled_from([0, kestro.OPT_SORT_KEYS]))
def test_random_graphs_round_trip(doc, option):
    compact = kestro.dumps(doc, option=option)
    indented = kestro.dumps(doc, option=option | kestro.OPT_INDENT_2)
    assert json.loads(compact) == as_loaded(doc)
    assert json.loads(indented) == as_loaded(doc)
    assert len(indented) >= len(compact)
    if option & kestro.OPT_SORT_KEYS:
        assert compact == kestro.dumps(as_sorted(doc))
        assert indented == kestro.dumps(as_sorted(doc), option=kestro.OPT_INDENT_2)


def as_sorted(obj):
    if isinstance(obj, (list, tuple)):
        return [as_sorted(x) for x in obj]
    if isinstance(obj, dict):
        return {k: as_sorted(obj[k]) for k in sorted(obj, key=lambda k: k.encode())}
    return obj
