"""The benchmark suite keeps working: one workload at a minimal repetition
count, the scaling children, the targets and the chart."""

import pathlib
import sys
import xml.etree.ElementTree as ET

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2]))

from bench import libraries, report, scaling, suite, targets  # noqa: E402
from bench.results import Cell, Run, ScalingPoint  # noqa: E402
from bench.workloads import Document, Workload, workloads  # noqa: E402

LIBS = ["kestro", "marshal", "json"]


@pytest.fixture(scope="module")
def libs():
    found, _ = libraries.available(LIBS)
    return found


@pytest.mark.parametrize("direction", ["dumps", "loads"])
def test_one_workload_gives_a_time_or_a_reason_for_every_library(libs, direction):
    (workload,) = workloads(["tiny"], f"tiny/{{a:1}}/{direction}/")
    row = suite.measure_workload(workload, libs, reps=1, min_seconds=1e-4)
    assert set(row) == {lib.name for lib in libs}
    for name, cell in row.items():
        assert cell.ok != bool(cell.reason), name
        assert not cell.warning, name
        if cell.ok:
            assert cell.seconds > 0
    assert row["json"].ok and row["marshal"].ok


def test_a_library_writing_wrong_output_is_flagged(libs):
    class Broken(libraries.StdlibJson):
        name = "broken"

        def dumps(self, style):
            return lambda obj: "[1,2]"

    import json
    workload = Workload("test", Document.of("small", {"a": [1, 2]}), "dumps")
    row = suite.measure_workload(workload, [Broken(json)], reps=1, min_seconds=1e-4)
    assert row["broken"].ok and row["broken"].warning


def test_numpy_workloads_compare_results_in_the_arrays_precision(libs):
    pytest.importorskip("numpy")
    names = [w.document.name for w in workloads(["numpy"])]
    assert names == ["float64 1000000", "int64 1000x1000", "float32 100000x3", "bool 1000000"]
    # kestro writes float32 elements with their binary32 shortest text, the
    # peers (through tolist) with the binary64 text of the same value
    (workload,) = workloads(["numpy"], "float32")
    row = suite.measure_workload(workload, libs, reps=1, min_seconds=1e-4)
    for name in ("kestro", "json"):
        assert row[name].ok and not row[name].warning, name
    assert not row["marshal"].ok and row["marshal"].reason


@pytest.mark.parametrize("target", [1 << 10, 1 << 16])
def test_scaling_document_has_about_the_requested_size(target):
    text = scaling.json_text(scaling.scaling_document(target))
    assert abs(len(text) - target) < max(300, target // 20)


def test_scaling_children_time_and_measure_one_size(tmp_path, libs):
    points = suite.measure_scaling([1 << 10], libs, reps=1, min_seconds=1e-4,
                                   peers_max=1 << 10, directory=tmp_path, memory=True,
                                   memory_from=0)
    point = points[1 << 10]
    assert point.length > 900
    for name in ("json", "marshal"):
        for direction in ("dumps", "loads"):
            assert point.time[name][direction].ok
            mem = point.memory[name][direction]
            if name in suite.TRACED:
                assert mem["traced_peak"] >= mem["traced_retained"] >= 0
            else:
                assert "traced_peak" not in mem


def _run(kestro, peer, floor):
    row = {"kestro": Cell(kestro), "json": Cell(peer), "ujson": Cell(None, "absent"),
           "marshal": Cell(floor)}
    return Run(cells={"corpus/twitter/dumps/compact": row})


ROLES = {"kestro": libraries.SUBJECT, "json": libraries.PEER, "ujson": libraries.PEER,
         "marshal": libraries.FLOOR}


def _goal(label_start):
    return next(t for t in targets.targets(ROLES) if t.label.startswith(label_start))


@pytest.mark.parametrize("times, status", [
    ([(1.0, 10.0, 1.0)], "PASS"),                                       # ratio 1.0 <= 1.1
    ([(1.2, 10.0, 1.0)], "FAIL"),                                       # 1.2
    ([(1.2, 10.0, 1.0), (1.0, 10.0, 1.0), (1.05, 10.0, 1.0)], "PASS"),  # median 1.05
    ([(None, 10.0, 1.0)], "n/a"),                                       # kestro did not run
])
def test_target_verdict_is_taken_on_the_median_run(times, status):
    runs = [_run(*t) for t in times]
    assert _goal("dumps twitter: kestro / marshal").verdict(runs)[0] == status


def test_peer_target_ignores_absent_peers_and_the_floor():
    goal = _goal("dumps twitter: at least 4x")
    assert goal.verdict([_run(2.0, 10.0, 0.1)]) == ("PASS", pytest.approx(0.2))
    assert goal.verdict([_run(3.0, 10.0, 0.1)])[0] == "FAIL"


@pytest.mark.parametrize("kestro_256, marshal_256, status, figure", [
    (384.0, 512.0, "PASS", 0.75),   # kestro grows 1.5x, marshal 2x
    (384.0, 256.0 * 1.2, "FAIL", 1.25),  # 1.5x against 1.2x
    (384.0, None, "n/a", None),     # no floor to compare with
])
def test_scaling_target_compares_growth_of_time_per_byte_with_the_floor(
        kestro_256, marshal_256, status, figure):
    def point(size, length, kestro, marshal):
        p = ScalingPoint(size, length=length)
        p.time["kestro"] = {"dumps": Cell(kestro)}
        if marshal is not None:
            p.time["marshal"] = {"dumps": Cell(marshal)}
        return p
    mb = scaling.MB
    run = Run(scaling={mb: point(mb, 1000, 1.0, 1.0),
                       256 * mb: point(256 * mb, 256000, kestro_256, marshal_256)})
    got = _goal("scaling dumps").verdict([run])
    assert got == (status, None if figure is None else pytest.approx(figure))


@pytest.mark.parametrize("json_seconds, status", [(20.0, "PASS"), (16.0, "PASS"), (15.0, "FAIL")])
def test_speedup_target_must_reach_its_bound(json_seconds, status):
    row = {"kestro": Cell(1.0), "json": Cell(json_seconds), "msgspec": Cell(0.5)}
    run = Run(cells={"rich/rich records/dumps/compact": row})
    goal = _goal("rich records dumps: faster than json")
    assert goal.verdict([run]) == (status, pytest.approx(json_seconds))
    assert _goal("rich records dumps: 10% ahead of msgspec").verdict([run])[0] == "FAIL"


def test_first_round_peer_targets_leave_out_the_newer_peers():
    row = {"kestro": Cell(1.0), "json": Cell(10.0), "msgspec": Cell(2.0), "jiter": Cell(None, "reads only"),
           "marshal": Cell(0.5)}
    run = Run(cells={"corpus/twitter/dumps/compact": row})
    roles = dict(ROLES, msgspec=libraries.PEER, jiter=libraries.PEER)
    goals = {t.label: t for t in targets.targets(roles)}
    first = next(g for label, g in goals.items() if label.startswith("dumps twitter: at least 4x"))
    assert first.verdict([run]) == ("PASS", pytest.approx(0.1))  # json alone
    newer = goals["dumps twitter compact: 10% ahead of every peer (kestro / fastest peer)"]
    assert newer.verdict([run]) == ("PASS", pytest.approx(0.5))  # msgspec is the fastest


def test_chart_and_report_cover_every_cell(libs):
    chosen = workloads(["tiny"], "{a:1}")
    run = Run(cells=suite.measure_workloads(chosen, libs, reps=1, min_seconds=1e-4))
    roles = {lib.name: lib.role for lib in libs}
    svg = ET.fromstring(report.svg_chart([run], chosen, libs, roles))
    bars = [e for e in svg.iter("{http://www.w3.org/2000/svg}rect") if e.get("height") != "100%"]
    assert len(bars) == sum(c.ok for row in run.cells.values() for c in row.values())
    settings = report.Settings(reps=1, min_seconds=1e-4, runs=1, peers_max=1 << 20)
    text = report.render([run], chosen, libs, [], roles, settings, targets.targets(roles))
    for w in chosen:
        assert report._row_label(w) in text


def test_rich_records_are_the_same_text_for_kestro_and_the_peers():
    import kestro
    (workload,) = workloads(["rich"])
    doc = workload.document
    assert len(doc.obj) == 5000
    assert kestro.dumps(doc.obj) == doc.raw  # the standard library's text through the default
    msgspec_json = pytest.importorskip("msgspec.json")
    assert msgspec_json.encode(doc.obj) == doc.raw


# ---- real documents -----------------------------------------------------------

import gc  # noqa: E402
import gzip  # noqa: E402
import json  # noqa: E402
import os  # noqa: E402

from hypothesis import given, strategies as st  # noqa: E402

from bench import realdocs  # noqa: E402
from bench import workloads as workloads_module  # noqa: E402


def _schema(type_name, n):
    """A pretty-printed schema of about n enumerated values, most repeated."""
    return json.dumps({"typeName": type_name, "description": "Résumé " * (n // 8),
                       "enum": [f"m{i % 7}.large" for i in range(n)],
                       "nested": [{"k": "x" * 20}, {"k": "x" * 20, "n": n}]}, indent=2).encode()


# distribution -> {path: text}; a .gz path is stored gzipped.
FAKE = {
    "botocore": {
        "botocore/data/iot/2015-05-28/service-2.json.gz": _schema("iot", 400),
        "botocore/data/iot/2014-01-01/service-2.json.gz": _schema("iot-old", 900),  # not newest
        "botocore/data/ec2/2016-11-15/service-2.json.gz": _schema("ec2", 2000),
        "botocore/data/tiny/2020-01-01/service-2.json.gz": b'{"a": "b"}',  # under 1 KB
    },
    "cfn-lint": {
        "cfnlint/data/schemas/resources/00aa.json": _schema("AWS::EC2::Instance", 300),
        "cfnlint/data/schemas/extensions/aws_rds/enum.json": _schema("enum", 3000),
        "cfnlint/data/schemas/__init__.py": b"",
    },
    "pycountry": {"pycountry/databases/iso3166-1.json": _schema("countries", 150)},
}


@pytest.fixture
def fake_packages(tmp_path, monkeypatch):
    """Stand-ins for the packages of the real documents, laid out as their
    wheels are, found first on sys.path (and by child interpreters)."""
    for dist, files in FAKE.items():
        info = tmp_path / f"{dist.replace('-', '_')}-0.dist-info"
        info.mkdir()
        (info / "METADATA").write_text(f"Metadata-Version: 2.1\nName: {dist}\nVersion: 0\n")
        (info / "RECORD").write_text("".join(f"{p},,\n" for p in files))
        for path, text in files.items():
            target = tmp_path / path
            target.parent.mkdir(parents=True, exist_ok=True)
            target.write_bytes(gzip.compress(text) if path.endswith(".gz") else text)
    monkeypatch.syspath_prepend(str(tmp_path))
    monkeypatch.setenv("PYTHONPATH", os.pathsep.join(filter(None, [str(tmp_path),
                                                                   os.environ.get("PYTHONPATH")])))
    workloads_module.forget()
    yield tmp_path
    workloads_module.forget()


def _candidates(sizes):
    family = realdocs.FAMILIES[2]
    return [realdocs.Candidate(family, f"d{i}", f"p{i}", f"f{i}", size) for i, size in enumerate(sizes)]


@given(st.lists(st.integers(1, 10 ** 7), min_size=1, max_size=60), st.integers(2, 20),
       st.randoms())
def test_pick_spreads_over_the_range_whatever_the_order(sizes, count, rnd):
    candidates = _candidates(sizes)
    picked = realdocs.pick(candidates, count)
    shuffled = candidates[:]
    rnd.shuffle(shuffled)
    assert realdocs.pick(shuffled, count) == picked
    assert len(picked) == min(count, len(sizes)) == len(set(picked))
    assert picked == sorted(picked, key=lambda c: (c.size, c.path))
    assert picked[0].size == min(sizes) and picked[-1].size == max(sizes)
    quick = realdocs.quick_subset(picked)
    assert set(quick) <= set(picked) and quick[-1] == picked[-1]
    assert len(quick) <= len(picked) // 3 + 2


def test_families_take_documents_from_the_packages_files(fake_packages):
    docs, missing = realdocs.selection()
    assert missing == []
    got = {c.label(c.read()): c for c in docs}
    assert set(got) == {"botocore iot", "botocore ec2", "cfn-lint AWS::EC2::Instance",
                        "cfn-lint extensions.aws_rds.enum", "pycountry iso3166-1"}
    for label, c in got.items():
        assert c.size == len(c.read()) and c.read() == FAKE[c.family.distribution][c.path]
    assert realdocs.scaling_source().path == got["botocore ec2"].path  # the largest up to 1 MiB


@pytest.mark.parametrize("obj, expected", [
    ({"k": "v", "v": ["v", "w" * 17, "x" * 65]}, (4, 2, 1, 3, 2)),  # keys are not counted
    (["é" * 8, "é" * 8, "é" * 9, 1, None, {"a": ["é" * 32]}], (4, 2, 1, 4, 3)),  # UTF-8 bytes
    ({"a": {"b": {}}, "c": []}, (0, 0, 0, 0, 0)),
])
def test_string_stats_count_values_by_their_utf8_length(obj, expected):
    stats = realdocs.string_stats(obj)
    assert (stats.total, stats.short, stats.short_distinct, stats.medium,
            stats.medium_distinct) == expected


@pytest.mark.parametrize("enabled", [True, False])
def test_real_workloads_match_the_reference_and_leave_the_collector_as_it_was(
        fake_packages, libs, enabled):
    chosen = workloads(["real", "keep"])
    assert len(chosen) == 2 * 5 + 1
    threshold, frozen = gc.get_threshold(), gc.get_freeze_count()  # some builds start with some
    (gc.enable if enabled else gc.disable)()
    try:
        run = Run(cells=suite.measure_workloads(chosen, libs, reps=1, min_seconds=1e-4))
        assert (gc.isenabled(), gc.get_threshold(), gc.get_freeze_count()) == (enabled, threshold, frozen)
    finally:
        gc.enable()
    for key, row in run.cells.items():
        for name, cell in row.items():
            assert cell.ok and not cell.warning, (key, name)
    roles = {lib.name: lib.role for lib in libs}
    settings = report.Settings(reps=1, min_seconds=1e-4, runs=1, peers_max=1 << 20)
    text = report.render([run], chosen, libs, [], roles, settings, targets.targets(roles))
    assert text.count("total (5 documents)") == 3  # loads, dumps, string values
    assert [t for t, _ in report.panels([run], chosen, libs)] == [
        "real documents loads (kept, collector on)", "5 real documents loads (total)",
        "5 real documents dumps (total)"]


def test_model_scaling_repeats_one_real_document(fake_packages, libs):
    size = 4 * len(FAKE["botocore"]["botocore/data/ec2/2016-11-15/service-2.json.gz"])
    points = suite.measure_scaling([size], [lib for lib in libs if lib.name in suite.MODEL_LIBS],
                                   reps=1, min_seconds=1e-4, peers_max=0,
                                   directory=fake_packages / "scaling", memory=True,
                                   memory_from=0, shape="model", directions=("loads",))
    point = points[size]
    source = realdocs.scaling_source()
    assert point.info["source"] == "botocore ec2" and point.info["count"] > 1
    text = (fake_packages / "scaling" / f"model-{size}.json").read_bytes()
    assert len(text) == point.length and abs(len(text) - size) < source.size
    assert list(json.loads(text).values()) == [json.loads(source.read())] * point.info["count"]
    assert point.time["kestro"]["loads"].ok and "dumps" not in point.time["kestro"]
    assert point.memory["kestro"]["loads"]["traced_peak"] > 0


def _real_run(kestro, json_, ujson=None, keep=None, growth=None):
    """Per document: seconds of kestro, json and ujson (None: did not run)."""
    cells = {}
    for i, times in enumerate(zip(kestro, json_, ujson or [None] * len(kestro))):
        cells[f"real/doc{i}/loads/-"] = {n: Cell(t, "" if t else "failed")
                                         for n, t in zip(("kestro", "json", "ujson"), times)}
    if keep:
        cells["keep/real documents/loads/-"] = {"kestro": Cell(keep[0]), "json": Cell(keep[1])}
    run = Run(cells=cells)
    for size, (k, m) in (growth or {}).items():
        run.model_scaling[size] = p = ScalingPoint(size, length=size)
        p.time = {"kestro": {"loads": Cell(k)}, "marshal": {"loads": Cell(m)}}
    return run


@pytest.mark.parametrize("goal, runs, expected", [
    ("real documents loads: every", [_real_run([1, 8], [2, 10])], ("PASS", 0.8, "worst doc1; 0 of 2 over")),
    ("real documents loads: every", [_real_run([1, 9.5], [2, 10]), _real_run([1, 8], [2, 10]),
                                     _real_run([1, 9.5], [2, 10])], ("FAIL", 0.95, "worst doc1; 1 of 2 over")),
    ("real documents loads: the total", [_real_run([1, 7], [2, 10], [1.5, None])], ("PASS", 8 / 12, "")),
    ("real documents loads: the total", [_real_run([1, 8], [2, 10], [1.5, 8.5])], ("FAIL", 0.9, "")),
    ("real documents loaded and kept", [_real_run([1], [1], keep=(7, 10))], ("PASS", 0.7, "")),
    ("real scaling loads", [_real_run([1], [1], growth={1 << 20: (1, 1), 64 << 20: (80, 128)})],
     ("PASS", 1.25, "marshal 2.000x")),
    ("real scaling loads", [_real_run([1], [1], growth={1 << 20: (1, 1), 64 << 20: (81, 64)})],
     ("FAIL", 81 / 64, "marshal 1.000x")),
])
def test_real_document_targets(goal, runs, expected):
    roles = dict(ROLES, json=libraries.PEER, ujson=libraries.PEER)
    target = next(t for t in targets.targets(roles) if t.label.startswith(goal))
    status, value = target.verdict(runs)
    assert (status, value, target.remark(runs)) == (expected[0], pytest.approx(expected[1]), expected[2])


def test_thread_benchmark_gives_each_library_rates_or_the_reason():
    import importlib.util

    from bench import threads
    rows = threads.measure(["twitter"], ["kestro", "msgspec"], seconds=0.02, reps=1)
    assert set(rows) == {("twitter", "loads"), ("twitter", "dumps")}
    has_msgspec = importlib.util.find_spec("msgspec") is not None
    for row in rows.values():
        one, two, ratio = row["kestro"]
        assert one > 0 and two > 0 and ratio == pytest.approx(two / one)
        assert isinstance(row["msgspec"], tuple if has_msgspec else str)
    text = threads.render(rows, 0.02, 1)
    assert "ratio, median over the workloads: kestro" in text and threads.interpreter() in text
