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
