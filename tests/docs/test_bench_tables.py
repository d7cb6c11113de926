"""The performance page's tables show every figure of the results they are drawn from."""

import json
import sys

import pytest

from conftest import DOCS, ROOT

pytest.importorskip("sphinx")
sys.path.insert(0, str(DOCS / "_ext"))
import qerndoc  # noqa: E402

RESULTS = [ROOT / "bench" / "results" / f"{tag}.json" for tag in ("py311", "py314", "py314t")]


def target(name, ratio, limit=1.0):
    return {"target": name, "ratio": ratio, "limit": limit, "met": ratio <= limit}


def test_a_target_of_one_interpreter_only_keeps_its_place():
    gil = {"python": "3.11.2", "targets": [target("a", 0.5), target("c", 0.7)]}
    free = {"python": "3.14.0 free-threading build",
            "targets": [target("a", 0.4), target("b", 2.0, 1.8), target("c", 0.6)]}
    _, rows, _ = qerndoc._targets([gil, free], ["3.11", "3.14t"])
    assert rows == [["a", "≤ 1.0", "0.50, met", "0.40, met"],
                    ["b", "≤ 1.8", "", "2.00, not met"],
                    ["c", "≤ 1.0", "0.70, met", "0.60, met"]]


def test_a_limit_says_whether_it_is_at_most_or_at_least():
    floor = {"target": "f", "ratio": 2.0, "limit": 1.8, "at_least": True, "met": True}
    # Results written before targets carried their sense: told by a ratio off the limit.
    old_floor = {"target": "g", "ratio": 1.5, "limit": 1.8, "met": False}
    old_ceiling = {"target": "h", "ratio": 1.5, "limit": 1.8, "met": True}
    undecided = {"target": "h", "ratio": 1.8, "limit": 1.8, "met": True}
    gil = {"python": "3.11.2", "targets": [floor, old_floor, undecided]}
    free = {"python": "3.14.0 free-threading build", "targets": [old_ceiling]}
    _, rows, _ = qerndoc._targets([gil, free], ["3.11", "3.14t"])
    assert [row[:2] for row in rows] == [["f", "≥ 1.8"], ["g", "≥ 1.8"], ["h", "≤ 1.8"]]


def test_every_measured_target_has_its_figure_in_the_table():
    results = [json.loads(path.read_text(encoding="utf-8")) for path in RESULTS]
    versions = [qerndoc._version(r["python"]) for r in results]
    _, rows, _ = qerndoc._targets(results, versions)
    cells = {(row[0], version): cell for row in rows for version, cell in zip(versions, row[2:])}
    for result, version in zip(results, versions):
        for t in result["targets"]:
            assert cells[t["target"], version].startswith(f"{t['ratio']:.2f}"), (t, version)
