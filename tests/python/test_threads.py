"""Eight threads calling loads and dumps at once, on inputs they share, on
inputs of their own, and on containers and bytearrays that other threads
change meanwhile.  On a free-threaded interpreter the test command runs this
with the GIL off (PYTHON_GIL=0).

Inputs nobody changes give what one thread gives, byte for byte.  A container
changed while dumps writes it gives the text of one of the states it went
through; a bytearray resized while loads reads it gives the value of one of
its states or the empty-document error.  The shared inputs keep their
reference counts and the interpreter's count of allocated blocks does not
grow."""

import dataclasses
import datetime
import enum
import functools
import gc
import json
import os
import random
import subprocess
import sys
import sysconfig
import threading
import uuid

import pytest

import kestro
from conftest import LIGHT, corpus_file

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
WORKERS, ROUNDS = 8, (2 if LIGHT else 4)
try:
    import numpy as np
except ImportError:  # no numpy for this interpreter
    np = None
SORT, INDENT, NSK, NUMPY = kestro.OPT_SORT_KEYS, kestro.OPT_INDENT_2, kestro.OPT_NON_STR_KEYS, kestro.OPT_SERIALIZE_NUMPY
EMPTY = ("JSONDecodeError", "Input is a zero-length, empty document")
EAST = datetime.timezone(datetime.timedelta(hours=5, minutes=30))
Shade = enum.Enum("Shade", {"DARK": "dark", "LIGHT": [1, {"k": 2.5}]})


@dataclasses.dataclass
class Record:
    name: str
    when: datetime.date


class Custom:
    def __init__(self, n):
        self.n = n


def default(obj):
    if isinstance(obj, Custom):
        return {"custom": [obj.n, str(obj.n)]}
    if isinstance(obj, (datetime.date, datetime.time)):  # passed through
        return obj.isoformat()
    if isinstance(obj, complex):
        return [obj.real, obj.imag]
    if dataclasses.is_dataclass(obj):
        return obj.__dict__
    return obj.tolist()  # numpy


def item(i, callbacks=True):
    """Every kind dumps writes; with `callbacks`, also those that run Python
    code in the middle of dumps (an enum's value, default), where a thread
    holding the GIL lets others run."""
    natives = [i, f"s{i}é😀", i / 7, None, i % 2 == 0, datetime.datetime(2024, 1, 1 + i % 28, i % 24, tzinfo=EAST),
               datetime.date(2000 + i % 50, 1, 1), datetime.time(i % 24, 30), uuid.UUID(int=i),
               Record(f"r{i}", datetime.date(2020, 2, 1 + i % 28)), kestro.Fragment(b'{"pre":%d}' % i), (i, -i)]
    return natives + [list(Shade)[i % 2], Custom(i)] if callbacks else natives


def documents():
    """{name: (object, option masks dumps writes it with)}."""
    rich = {f"key{i}": item(i) for i in range(60)}
    rich["more"] = ['quote " backslash \\ \n\x00', "é€😀" * 40, "x" * 3000, 2**64 - 1, -(2**63), -0.0, 5e-324]
    docs = {"rich": (rich, [0, SORT, INDENT | SORT, kestro.OPT_NAIVE_UTC | kestro.OPT_UTC_Z | kestro.OPT_OMIT_MICROSECONDS,
                            kestro.OPT_PASSTHROUGH_DATETIME | kestro.OPT_PASSTHROUGH_DATACLASS]),
            "non_str": ({1: "i", 2.5: [1], None: "n", True: "t", datetime.date(2020, 1, 2): "d", uuid.UUID(int=7): "u",
                         Shade.DARK: "e", **{f"k{i}": item(i) for i in range(20)}}, [NSK, NSK | SORT | INDENT])}
    if np is not None:
        docs["numpy"] = ({"f8": np.linspace(-1, 1, 500), "i4": np.arange(-600, 600, dtype=np.int32).reshape(30, 40),
                          "f2": np.arange(64, dtype=np.float16), "b": np.ones((7, 3), dtype=np.bool_),
                          "m8": np.arange(0, 50, dtype="datetime64[D]"), "c": np.zeros(3, dtype=np.complex64),
                          "scalars": [np.float32(1.5), np.int64(-3), np.uint8(7)]}, [NUMPY, NUMPY | INDENT])
    return docs


@functools.cache
def twitter():
    doc = json.loads(corpus_file("twitter.json").read_bytes())
    doc["statuses"] = doc["statuses"][: 5 if LIGHT else 20]
    return json.dumps(doc, ensure_ascii=False)


def texts(tag):
    """Part of twitter.json, and more distinct keys than the key cache has
    slots, named after `tag`: readers of different tags keep replacing each
    other's cache entries."""
    keys = {f"{tag}-{i}": [i, {"shared": i % 3}] if i % 10 else {"k" * 70: tag} for i in range(2500)}
    return {"twitter": twitter(), "keys": json.dumps(keys)}


def outcome(call):
    try:
        return call()
    except kestro.JSONDecodeError as e:
        return ("JSONDecodeError", e.msg)
    except TypeError as e:
        return ("TypeError", str(e))


def equal_to(expected):
    def check(result):
        assert result == expected, f"differs from one thread's result: {str(result)[:200]}"
    return check


def stable_calls(tag, watched):
    """(name, call, check) for dumps of every document with each of its masks
    and loads of every text from each kind of input, each checked against
    its result in this thread."""
    calls = []
    for name, (obj, options) in documents().items():
        calls += [(f"dumps {name} {o}", lambda obj=obj, o=o: kestro.dumps(obj, default, o)) for o in options]
        watched.append(obj)
    for name, text in texts(tag).items():
        for arg in (text, text.encode(), bytearray(text.encode()), memoryview(text.encode())):
            calls.append((f"loads {name} {type(arg).__name__}", lambda a=arg: kestro.loads(a)))
            watched.append(arg)
    calls.append(("loads error", lambda: kestro.loads('{"a": [1, 2')))
    return [(name, call, equal_to(outcome(call))) for name, call in calls]


# ---- the inputs that threads change ------------------------------------------

# Members of the changing containers call no Python code: a thread switch in
# the middle of a dict would let another thread delete a written key and
# insert it again, which dumps then writes twice where there is a GIL (a
# container changed while dumps runs Python code is not guarded against).
ITEMS = [item(i, callbacks=False) for i in range(40)]
DOCS = [json.dumps({"state": "a", "items": list(range(300))}).encode(), json.dumps({"text": "é" * 500}).encode()]
STEPS = {
    list: [lambda l, r: l.append(ITEMS[len(l)]) if len(l) < len(ITEMS) else l.pop(),
           lambda l, r: (l.clear(), l.extend(ITEMS[: r.randrange(len(ITEMS))])),
           lambda l, r: l.__delitem__(slice(r.randrange(len(l) + 1), None))],
    dict: [lambda d, r: d.pop(r.choice(list(d))) if d else None, lambda d, r: d.clear()],  # and a refill
    # Resizes only, which a reader's export refuses (BufferError); an overwrite
    # of the same length is allowed under an export and would be read mixed.
    bytearray: [lambda b, r: b.extend(b" " * r.randrange(1, 200)) if b else None,  # the same value
                lambda b, r: b.__delitem__(slice(len(b.rstrip(b" ")), None)),
                lambda b, r: (b.clear(), b.extend(r.choice(DOCS))),
                lambda b, r: b.clear()],
}


class Changer(threading.Thread):
    """The one thread that changes `target`, until stopped."""

    def __init__(self, target, refill):
        super().__init__(daemon=True)
        self.target, self.refill, self.stop = target, refill, threading.Event()
        self.done, self.error, self.start_state = 0, None, target.copy()

    def run(self):
        rng = random.Random(id(self))
        try:
            while not self.stop.is_set():
                try:
                    rng.choice(STEPS[type(self.target)] + [self.refill])(self.target, rng)
                    self.done += 1
                except BufferError:  # a resize while a reader holds an export
                    pass
                os.sched_yield()  # the readers get on too where cores are few
        except Exception as e:  # reported by the test
            self.error = e

    def restore(self):
        self.target.clear()
        (self.target.update if isinstance(self.target, dict) else self.target.extend)(self.start_state)


def unique_keys(pairs):
    keys = [k for k, _ in pairs]
    assert len(set(keys)) == len(keys), f"a key written twice: {keys}"
    return dict(pairs)


def changing_calls(vlist, vdict, vnsk, watched):
    """dumps of the changing list and dicts, checked to be the text of some
    state: a prefix of the list's items, a subset of each dict's entries
    (sorted where asked); the members calling Python code, between them."""
    calls = []
    for option in [0, SORT, INDENT | SORT, NSK]:
        members = [json.loads(kestro.dumps(x, default, option)) for x in ITEMS]
        fixed = json.loads(kestro.dumps([item(i) for i in range(3)], default, option))
        root = {"list": vlist, "fixed": [item(i) for i in range(3)], "dict": vdict, "both": (vlist, vdict)}
        if option & NSK:
            root["nsk"] = vnsk

        def check(text, option=option, members=members, fixed=fixed):
            doc = json.loads(text, object_pairs_hook=unique_keys)
            assert doc["fixed"] == fixed
            for seq in (doc["list"], doc["both"][0]):
                assert seq == members[: len(seq)], "not a prefix of the list's items"
            for mapping, key in ((doc["dict"], "m"), (doc["both"][1], "m"), (doc.get("nsk", {}), "")):
                assert all(v == members[int(k[len(key):])] for k, v in mapping.items()), "a wrong value"
                assert not option & SORT or list(mapping) == sorted(mapping), f"out of order: {list(mapping)}"

        calls.append((f"dumps changing {option}", lambda r=root, o=option: kestro.dumps(r, default, o), check))
        watched.append(root)
    return calls


def resized_calls(ba):
    def check(result):
        assert result == EMPTY or result in [json.loads(d) for d in DOCS], f"no state's value: {str(result)[:200]}"

    def through_view():
        with memoryview(ba) as view:  # the export holds the size while loads reads
            return kestro.loads(view)

    return [("loads resized bytearray", lambda: kestro.loads(ba), check),
            ("loads resized bytearray through a view", through_view, check)]


# ---- the cases ---------------------------------------------------------------

def shared_case(watched):
    calls = stable_calls("shared", watched)
    return lambda w: calls, []


def separate_case(watched):
    own = [stable_calls(f"w{w}", watched) for w in range(WORKERS)]
    return lambda w: own[w], []


def changing_case(watched):
    vlist, vdict, vnsk = ITEMS[:10], {f"m{i}": ITEMS[i] for i in range(10)}, dict(enumerate(ITEMS[:10]))
    refill = [lambda d, r: d.update({f"m{i}": ITEMS[i] for i in r.sample(range(len(ITEMS)), 20)}),
              lambda d, r: d.update({i: ITEMS[i] for i in r.sample(range(len(ITEMS)), 20)})]
    changers = [Changer(vlist, STEPS[list][0]), Changer(vdict, refill[0]), Changer(vnsk, refill[1])]
    watched += [vlist, vdict, vnsk]
    calls = changing_calls(vlist, vdict, vnsk, watched) + stable_calls("changing", watched)[:5]
    return lambda w: calls, changers


def resized_case(watched):
    if FREE_THREADED and sys.version_info < (3, 14):
        pytest.skip("CPython 3.13's free-threaded bytearray takes exports and resizes without a lock: "
                    "a resize racing a reader is the interpreter's own race")
    ba = bytearray(DOCS[0])
    watched.append(ba)
    return lambda w: resized_calls(ba), [Changer(ba, STEPS[bytearray][2])]


CASES = {"shared": shared_case, "separate": separate_case, "changing": changing_case, "resized": resized_case}


def hammer(calls_of_worker, rounds=ROUNDS):
    """Each worker runs each of its calls `rounds` times, in an order of its
    own, all workers released at once; returns what went wrong."""
    failures, start = [], threading.Barrier(WORKERS)

    def worker(w):
        calls = calls_of_worker(w)
        order = list(range(len(calls))) * rounds
        random.Random(w).shuffle(order)
        start.wait()
        for i in order:
            name, call, check = calls[i]
            try:
                check(outcome(call))
            except AssertionError as e:
                failures.append(f"worker {w}, {name}: {str(e)[:300]}")

    threads = [threading.Thread(target=worker, args=(w,)) for w in range(WORKERS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return failures


@pytest.fixture
def short_switch_interval():
    """Threads holding a GIL take turns more often (set while no other thread
    runs: the interpreter reads it unlocked)."""
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-4)
    yield
    sys.setswitchinterval(interval)


@pytest.mark.parametrize("case", CASES)
def test_threads_agree_and_nothing_leaks(case, short_switch_interval):
    watched = []
    calls_of_worker, changers = CASES[case](watched)
    assert hammer(calls_of_worker, rounds=1) == []  # settles caches, free lists, the numpy record
    gc.collect()
    counts, blocks = [sys.getrefcount(o) for o in watched], sys.getallocatedblocks()
    for c in changers:
        c.start()
    try:
        failures = hammer(calls_of_worker)
    finally:
        for c in changers:
            c.stop.set()
            c.join()
            c.restore()  # as they started, so that memory compares
    gc.collect()
    assert failures == []
    assert [(c.error, c.done > 0) for c in changers] == [(None, True)] * len(changers)
    assert [sys.getrefcount(o) for o in watched] == counts
    # Each call runs WORKERS * ROUNDS times and makes hundreds to thousands of
    # blocks; free lists and caches settling account for a few hundred.  On a
    # free-threaded build each thread reads through a key and value cache
    # pair of its own, taken from a pool when it starts: which documents a
    # pair has cached depends on which threads had it, so what the pairs hold
    # moves by up to their size (two caches of 2048 strs) each.
    caches = (WORKERS + 1) * 2 * 2048 if FREE_THREADED else 0
    assert sys.getallocatedblocks() - blocks < 1024 + caches


FIRST_USE = """
import json, sys, threading
texts = [json.dumps([{f"t{i}-{j}": [j, "v"] for j in range(50)}]) for i in range(8)]
try:
    import numpy
    arrays = [numpy.arange(i, i + 100.0).reshape(10, 10) for i in range(8)]
except ImportError:
    arrays = [None] * 8
start, results = threading.Barrier(8), [None] * 8

def first(i):
    start.wait()
    import kestro
    results[i] = (kestro.loads(texts[i]), kestro.dumps(arrays[i], option=kestro.OPT_SERIALIZE_NUMPY))

threads = [threading.Thread(target=first, args=(i,)) for i in range(8)]
for t in threads: t.start()
for t in threads: t.join()
import kestro
assert results == [(json.loads(t), kestro.dumps(a, option=16)) for t, a in zip(texts, arrays)], results
print("same")
"""


def test_first_calls_of_a_process_come_from_eight_threads():
    """The one-time set-up (import, key cache, numpy's record) raced by the
    eight threads of a fresh interpreter."""
    run = subprocess.run([sys.executable, "-c", FIRST_USE], capture_output=True, text=True, timeout=600)
    assert (run.returncode, run.stdout.strip()) == (0, "same"), run.stderr[-3000:]


@pytest.mark.skipif(not FREE_THREADED, reason="the interpreter has a GIL")
@pytest.mark.parametrize("where", ["this process", "a fresh process without PYTHON_GIL"])
def test_the_gil_stays_off(where):
    """The module declares that it runs without the GIL, so importing it
    leaves a free-threaded interpreter without one."""
    if where == "this process":
        assert not sys._is_gil_enabled()
        return
    env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
    run = subprocess.run([sys.executable, "-W", "error::RuntimeWarning", "-c",
                          "import sys, kestro; print(sys._is_gil_enabled())"],
                         env=env, capture_output=True, text=True, timeout=120)
    assert (run.returncode, run.stdout.strip()) == (0, "False"), run.stderr[-2000:]
