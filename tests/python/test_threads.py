"""Eight threads calling loads and dumps at once: on inputs they share, on
inputs of their own, and on containers and bytearrays that other threads
change meanwhile.  On a free-threaded interpreter the test command runs this
with the GIL off (PYTHON_GIL=0); on the others it runs as it is, with a short
switch interval.

Inputs nobody changes give what one thread gives, byte for byte.  A container
being changed while dumps writes it gives the text of one of the states it
went through (a list is always a prefix of its items, a dict a subset of its
entries with their values, each key once, sorted where asked), and a
bytearray resized while loads reads it gives the value of one of its states
or the empty-document error.  Nothing leaks: the shared inputs keep their
reference counts and the interpreter's count of allocated blocks does not
grow."""

import copy
import dataclasses
import datetime
import enum
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
from conftest import SANITIZED, corpus_file

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
WORKERS = 8
ROUNDS = 2 if SANITIZED else 4
try:
    import numpy as np
except ImportError:  # the environment has no numpy for this interpreter
    np = None

SORT, INDENT, NSK = kestro.OPT_SORT_KEYS, kestro.OPT_INDENT_2, kestro.OPT_NON_STR_KEYS
NUMPY = kestro.OPT_SERIALIZE_NUMPY
EMPTY = "Input is a zero-length, empty document"


class Shade(enum.Enum):
    DARK = "dark"
    LIGHT = [1, {"k": 2.5}]


@dataclasses.dataclass
class Record:
    name: str
    when: datetime.date
    tags: list


class Custom:
    """Written through default."""

    def __init__(self, n):
        self.n = n


def default(obj):
    if isinstance(obj, Custom):
        return {"custom": [obj.n, str(obj.n)]}
    if isinstance(obj, (datetime.date, datetime.time)):  # passed through
        return obj.isoformat()
    if dataclasses.is_dataclass(obj):
        return obj.__dict__
    raise TypeError


UTC, EAST = datetime.timezone.utc, datetime.timezone(datetime.timedelta(hours=5, minutes=30))


def item(i, callbacks=True):
    """A list of every kind dumps writes.  With `callbacks`, also those that
    run Python code in the middle of dumps (an enum's value, default): where
    there is a GIL, other threads run then."""
    natives = [i, f"s{i}é😀", i / 7, None, i % 2 == 0, datetime.datetime(2024, 1, 1 + i % 28, i % 24, tzinfo=EAST),
               datetime.date(2000 + i % 50, 1, 1), datetime.time(i % 24, 30), uuid.UUID(int=i),
               Record(f"r{i}", datetime.date(2020, 2, 1 + i % 28), [i]), kestro.Fragment(b'{"pre":%d}' % i), (i, -i)]
    return natives + [list(Shade)[i % 2], Custom(i)] if callbacks else natives


def rich_document():
    doc = {f"key{i}": item(i) for i in range(60)}
    doc["text"] = ["plain", 'quote " backslash \\ \n\t\x00', "é€😀" * 40, "x" * 3000]
    doc["numbers"] = [0, -1, 2**63 - 1, -(2**63), 2**64 - 1, 1.5, -0.0, 1e300, 5e-324]
    doc["nested"] = [[{"a": [{"b": []}, {}]}] * 3]
    return doc


# The option masks dumps runs with; each with default.
OPTIONS = [0, SORT, INDENT, SORT | INDENT, kestro.OPT_NAIVE_UTC | kestro.OPT_UTC_Z | kestro.OPT_OMIT_MICROSECONDS,
           kestro.OPT_PASSTHROUGH_DATETIME | kestro.OPT_PASSTHROUGH_DATACLASS | SORT]


def non_str_document():
    return {1: "int", -2**63: "min", 2.5: [1], None: "none", True: "t", datetime.date(2020, 1, 2): "date",
            datetime.datetime(2020, 1, 2, 3, 4, 5, tzinfo=UTC): "dt", uuid.UUID(int=7): "uuid",
            Shade.DARK: "enum", **{f"k{i}": item(i) for i in range(20)}}


def numpy_document():
    return {"f8": np.linspace(-1, 1, 500), "i4": np.arange(-600, 600, dtype=np.int32).reshape(30, 40),
            "f2": np.arange(64, dtype=np.float16), "b": np.ones((7, 3), dtype=np.bool_),
            "m8": np.arange(0, 50, dtype="datetime64[D]"), "scalars": [np.float32(1.5), np.int64(-3), np.uint8(7)],
            "other": np.zeros(3, dtype=np.complex64)}  # complex: to default


def numpy_default(obj):
    if isinstance(obj, complex):
        return [obj.real, obj.imag]
    return obj.tolist() if hasattr(obj, "tolist") else default(obj)


def dumps_calls(sources, watched):
    """(name, call) for every dumps of the objects in sources {name: object}."""
    calls = []
    watched += sources.values()
    for name, obj in sources.items():
        if name == "non_str":
            options = [NSK, NSK | SORT, NSK | INDENT]
        elif name == "numpy":
            options = [NUMPY, NUMPY | INDENT]
        else:
            options = OPTIONS
        for option in options:
            fn = numpy_default if name == "numpy" else default
            calls.append((f"dumps {name} {option}", lambda o=obj, d=fn, op=option: kestro.dumps(o, d, op)))
    return calls


def many_keys_text(tag, count=2500):
    """More distinct keys than the key cache has slots, each under a tag: the
    threads that read them replace each other's cache entries all the time."""
    return json.dumps({f"{tag}-{i}": [i, {"shared": i % 3}] if i % 10 else {"k" * 70: tag} for i in range(count)})


def loads_calls(texts, watched):
    """(name, call) for every loads of texts {name: text}, from each kind of input."""
    calls = []
    for name, text in texts.items():
        data = text.encode()
        for kind, arg in [("str", text), ("bytes", data), ("bytearray", bytearray(data)),
                          ("memoryview", memoryview(data))]:
            calls.append((f"loads {name} {kind}", lambda a=arg: kestro.loads(a)))
            watched.append(arg)
    calls.append(("loads error", lambda t=texts["twitter"][:-3]: kestro.loads(t)))
    return calls


def outcome(call):
    try:
        return call()
    except kestro.JSONDecodeError as e:
        return ("JSONDecodeError", e.msg)
    except TypeError as e:
        return ("TypeError", str(e))


# ---- the inputs that threads change ------------------------------------------

# The members of the changing list and dicts.  They call no Python code: a
# thread switch in the middle of a dict would let another thread delete and
# insert again a key already written, which dumps then writes twice on
# interpreters with a GIL (a container changed while dumps runs Python code
# is not guarded against there).
ITEMS = [item(i, callbacks=False) for i in range(40)]


class Changer(threading.Thread):
    """One thread per changed object, the only one that changes it: the states
    the readers may see are those listed in `check_*` below."""

    def __init__(self, target, steps):
        super().__init__(daemon=True)
        self.target, self.steps, self.stop = target, steps, threading.Event()
        self.start_state = copy.copy(target)
        self.done = self.refused = 0
        self.error = None

    def restore(self):
        if isinstance(self.target, dict):
            self.target.clear()
            self.target.update(self.start_state)
        else:
            self.target[:] = self.start_state

    def run(self):
        rng = random.Random(id(self))
        try:
            while not self.stop.is_set():
                try:
                    rng.choice(self.steps)(self.target, rng)
                    self.done += 1
                except BufferError:  # a resize while a reader holds an export
                    self.refused += 1
                os.sched_yield()  # the readers get on too where cores are few
        except Exception as e:  # reported by the test
            self.error = e


LIST_STEPS = [lambda l, r: l.append(ITEMS[len(l)]) if len(l) < len(ITEMS) else l.pop(),
              lambda l, r: l.pop() if l else None,
              lambda l, r: (l.clear(), l.extend(ITEMS[: r.randrange(len(ITEMS))])),
              lambda l, r: l.__delitem__(slice(r.randrange(len(l) + 1), None))]
DICT_STEPS = [lambda d, r: d.pop(f"m{r.randrange(len(ITEMS))}", None),
              lambda d, r: d.__setitem__(*((lambda i: (f"m{i}", ITEMS[i]))(r.randrange(len(ITEMS))))),
              lambda d, r: (d.clear(), d.update((f"m{i}", ITEMS[i]) for i in r.sample(range(len(ITEMS)), 20)))]
NSK_STEPS = [lambda d, r: d.pop(r.randrange(len(ITEMS)), None),
             lambda d, r: d.__setitem__(*((lambda i: (i, ITEMS[i]))(r.randrange(len(ITEMS))))),
             lambda d, r: d.clear()]
DOC_A = json.dumps({"state": "a", "items": list(range(300))}).encode()
DOC_B = json.dumps({"state": "b", "text": "é" * 500}).encode()
# Only resizes, which an export held by a reader refuses (BufferError): an
# overwrite in place of the same length is allowed under an export and makes
# a reader see a mixture, so none is made.
BYTES_STEPS = [lambda b, r: b.extend(b" " * r.randrange(1, 200)) if b else None,  # the same value
               lambda b, r: b.__delitem__(slice(len(b.rstrip(b" ")), None)),
               lambda b, r: (b.clear(), b.extend(r.choice([DOC_A, DOC_B]))),
               lambda b, r: b.clear()]
STATES = {DOC_A: json.loads(DOC_A), DOC_B: json.loads(DOC_B)}


def unique_keys(pairs):
    keys = [k for k, _ in pairs]
    assert len(set(keys)) == len(keys), f"a key written twice: {keys}"
    return dict(pairs)


def written(obj, option, fn=default):
    return json.loads(kestro.dumps(obj, fn, option))


def changed_dumps_calls(changing, watched):
    """Calls writing the changing list and dicts, each with a check that the
    text is that of some state of them."""
    vlist, vdict, vnsk = changing["list"], changing["dict"], changing["nsk"]
    calls = []
    for option in [0, SORT, INDENT | SORT, NSK]:
        members = [written(x, option) for x in ITEMS]
        fixed = [written(item(i), option) for i in range(3)]
        # Python code (default, an enum) runs between the changing containers.
        root = {"list": vlist, "fixed": [item(i) for i in range(3)], "dict": vdict, "tuple": (vlist, vdict)}
        if option & NSK:
            root["nsk"] = vnsk

        def check(text, option=option, members=members, fixed=fixed):
            doc = json.loads(text, object_pairs_hook=unique_keys)
            assert doc["fixed"] == fixed
            for seq in (doc["list"], doc["tuple"][0]):
                assert seq == members[: len(seq)], "not a prefix of the list's items"
            for mapping in (doc["dict"], doc["tuple"][1]):
                for k, v in mapping.items():
                    assert v == members[int(k[1:])], f"wrong value under {k}"
                if option & SORT:
                    assert list(mapping) == sorted(mapping), f"keys out of order: {list(mapping)}"
            for k, v in doc.get("nsk", {}).items():
                assert v == members[int(k)], f"wrong value under {k}"

        calls.append((f"dumps changing {option}", lambda r=root, o=option: kestro.dumps(r, default, o), check))
        watched.append(root)
    return calls


def changed_loads_calls(ba):
    def check(result):
        if result != ("JSONDecodeError", EMPTY):  # the state in which it is empty
            assert result in STATES.values(), f"not the value of any state: {str(result)[:200]}"

    def through_view():
        with memoryview(ba) as view:  # the export holds the size while loads reads
            return kestro.loads(view)

    return [("loads changing bytearray", lambda: kestro.loads(ba), check),
            ("loads changing bytearray through a view", through_view, check)]


# ---- running them ------------------------------------------------------------

def hammer(calls_of_worker, rounds=ROUNDS):
    """Runs every call of each worker `rounds` times in a shuffled order, all
    workers released together; returns what went wrong."""
    failures = []
    start = threading.Barrier(WORKERS)

    def worker(w):
        calls = calls_of_worker(w)
        order = list(range(len(calls))) * rounds
        random.Random(w).shuffle(order)
        start.wait()
        for i in order:
            name, call, check = calls[i]
            result = outcome(call)
            try:
                check(result)
            except AssertionError as e:
                failures.append(f"worker {w}, {name}: {str(e)[:300]}")

    threads = [threading.Thread(target=worker, args=(w,)) for w in range(WORKERS)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return failures


def equal_to(expected):
    def check(result):
        assert result == expected, f"differs from one thread's result: {str(result)[:200]}"
    return check


def with_expected(calls):
    """Each call with a check against its result in this thread, now."""
    return [(name, call, equal_to(outcome(call))) for name, call in calls]


def stable_sources():
    sources = {"rich": rich_document(), "non_str": non_str_document()}
    if np is not None:
        sources["numpy"] = numpy_document()
    return sources


def stable_texts():
    twitter = json.loads(corpus_file("twitter.json").read_bytes())
    twitter["statuses"] = twitter["statuses"][: 5 if SANITIZED else 20]
    return {"twitter": json.dumps(twitter, ensure_ascii=False), "keys": many_keys_text("shared")}


def shared_case(watched):
    """Every worker on the same objects and texts."""
    calls = with_expected(dumps_calls(stable_sources(), watched) + loads_calls(stable_texts(), watched))
    return lambda w: calls, []


def separate_case(watched):
    """Every worker on objects and texts of its own, made alike; the key texts
    differ from worker to worker."""
    texts = stable_texts()
    own = [with_expected(dumps_calls(stable_sources(), watched) +
                         loads_calls({**texts, "keys": many_keys_text(f"w{w}")}, watched))
           for w in range(WORKERS)]
    return lambda w: own[w], []


def changing_case(watched):
    """Workers writing a list and dicts that other threads change all along;
    inputs nobody changes go on beside them."""
    changing = {"list": list(ITEMS[:10]), "dict": {f"m{i}": ITEMS[i] for i in range(10)},
                "nsk": {i: ITEMS[i] for i in range(10)}}
    changers = [Changer(changing[name], steps) for name, steps in
                [("list", LIST_STEPS), ("dict", DICT_STEPS), ("nsk", NSK_STEPS)]]
    calls = changed_dumps_calls(changing, watched)
    calls += with_expected(dumps_calls({"rich": rich_document()}, watched))
    watched += changing.values()
    return lambda w: calls, changers


def resized_case(watched):
    """Workers reading a bytearray, directly and through views, that another
    thread resizes all along; texts nobody changes go on beside them."""
    if FREE_THREADED and sys.version_info < (3, 14):
        pytest.skip("CPython 3.13's free-threaded bytearray takes exports and resizes without a lock: "
                    "a resize racing a reader is the interpreter's own race")
    resized = bytearray(DOC_A)
    calls = changed_loads_calls(resized) + with_expected(loads_calls(stable_texts(), watched))
    watched.append(resized)
    return lambda w: calls, [Changer(resized, BYTES_STEPS)]


CASES = {"shared": shared_case, "separate": separate_case, "changing": changing_case, "resized": resized_case}


@pytest.fixture
def short_switch_interval():
    """Threads that hold a GIL take turns more often (set while no other
    thread runs: the interpreter reads it unlocked)."""
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-4)
    yield
    sys.setswitchinterval(interval)


@pytest.mark.parametrize("case", CASES)
def test_threads_agree_and_nothing_leaks(case, short_switch_interval):
    watched = []
    calls_of_worker, changers = CASES[case](watched)
    # A first run (threads too) settles the key cache, free lists and the
    # numpy record; the second is measured.
    assert hammer(calls_of_worker, rounds=1) == []
    gc.collect()
    counts = [sys.getrefcount(o) for o in watched]
    # Memory is counted in blocks, which costs nothing while the threads run
    # (tracemalloc would take a lock at every allocation and keep them apart).
    blocks = sys.getallocatedblocks()
    for c in changers:
        c.start()
    try:
        failures = hammer(calls_of_worker)
    finally:
        for c in changers:
            c.stop.set()
        for c in changers:
            c.join()
    for c in changers:  # back to where they started, so that memory compares
        c.restore()
    gc.collect()
    assert failures == []
    for c in changers:
        assert c.error is None, f"changing {type(c.target).__name__}: {c.error!r}"
        assert c.done > 0, f"nothing changed {type(c.target).__name__}"
    assert [sys.getrefcount(o) for o in watched] == counts
    # Each call runs WORKERS * ROUNDS times and makes hundreds to thousands of
    # blocks; free lists and caches settling account for a few hundred.
    assert sys.getallocatedblocks() - blocks < 1024


FIRST_USE = """
import json, sys, threading
texts = [json.dumps([{f"t{i}-{j}": [j, "v"] for j in range(50)}, {"shared": i}]) for i in range(8)]
try:
    import numpy as np
    arrays = [np.arange(i, i + 100, dtype="f8").reshape(10, 10) for i in range(8)]
except ImportError:
    arrays = [None] * 8
start = threading.Barrier(8)
results = [None] * 8

def first(i):
    start.wait()
    import kestro
    results[i] = (kestro.loads(texts[i]), kestro.dumps(arrays[i], option=kestro.OPT_SERIALIZE_NUMPY))

threads = [threading.Thread(target=first, args=(i,)) for i in range(8)]
for t in threads:
    t.start()
for t in threads:
    t.join()
import kestro
again = [(kestro.loads(t), kestro.dumps(a, option=kestro.OPT_SERIALIZE_NUMPY)) for t, a in zip(texts, arrays)]
assert results == again, "first calls in threads differ from later calls"
assert [r[0] for r in results] == [json.loads(t) for t in texts]
print("same")
"""


def test_first_calls_of_a_process_come_from_eight_threads():
    """The module's one-time set-up (import, key cache, numpy record) raced
    by eight threads of a fresh interpreter."""
    run = subprocess.run([sys.executable, "-c", FIRST_USE], capture_output=True, text=True,
                         timeout=600)
    assert run.returncode == 0 and run.stdout.strip() == "same", run.stderr[-3000:]


@pytest.mark.skipif(not FREE_THREADED, reason="the interpreter has a GIL")
@pytest.mark.parametrize("where", ["this process", "a fresh process without PYTHON_GIL"])
def test_the_gil_stays_off(where):
    """Importing kestro leaves a free-threaded interpreter without its GIL: the
    module declares that it runs without it."""
    if where == "this process":
        assert not sys._is_gil_enabled()
        return
    env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
    run = subprocess.run([sys.executable, "-W", "error::RuntimeWarning", "-c",
                          "import sys, kestro; print(sys._is_gil_enabled())"],
                         env=env, capture_output=True, text=True, timeout=120)
    assert (run.returncode, run.stdout.strip()) == (0, "False"), run.stderr[-2000:]
