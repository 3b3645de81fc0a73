"""Vectors with a NaN or infinite element are refused by every writer and by search, before
anything changes, wherever the element sits, whatever the metric and the input form."""

import json
import math
import os
import struct

import numpy as np
import pytest

from helpers import raises

D = 5
POSITIONS = {"first": 0, "middle": 2, "last": D - 1}
VALUES = {"NaN": math.nan, "inf": math.inf, "-inf": -math.inf}
FORMS = {
    "list": lambda v: v,
    "float32": lambda v: np.array(v, np.float32),
    "float64": lambda v: np.array(v, np.float64),
}


def bad_vectors():
    """(what, index, name, vector in each form): every value at every position."""
    for name, value in VALUES.items():
        for where, at in POSITIONS.items():
            v = [0.5, -1.0, 2.0, 0.25, 1.5]
            v[at] = value
            for form, make in FORMS.items():
                yield f"{name} {where} {form}", at, name, make(v)


def slot_count(path, name):
    with open(os.path.join(path, "collections", name, "vectors.bin"), "rb") as f:
        return struct.unpack_from("<Q", f.read(64), 10)[0]


@pytest.fixture(params=["cosine", "dot", "l2"])
def c(request, db):
    c = db.collection("c", D, request.param)
    c.add([1.0, 2.0, 3.0, 4.0, 5.0], {"v": "old"}, id="old")
    c.sync()
    c.add([1.0, 1.0, 1.0, 1.0, 1.0], {"v": "buffered"}, id="buffered")
    return c


def unchanged(c, path, slots):
    assert len(c) == 2
    assert c.get("old").metadata == {"v": "old"}
    assert c.get("buffered").metadata == {"v": "buffered"}
    assert slot_count(path, "c") == slots
    hits = c.search([1.0, 2.0, 3.0, 4.0, 5.0], 5)
    assert sorted(h.id for h in hits) == ["buffered", "old"]


@pytest.mark.parametrize("op", ["add", "upsert", "add_batch", "search"])
def test_a_non_finite_element_is_refused_before_anything_changes(path, c, op):
    slots = slot_count(path, "c")
    good = [0.1, 0.2, 0.3, 0.4, 0.5]
    for what, at, name, v in bad_vectors():
        element = f"element {at} is not finite ({name})"
        if op == "add":
            got = raises(ValueError, c.add, v, {}, id="new")
            want = f"Invalid input: vector {element}"
        elif op == "upsert":
            # Onto a committed record and onto a buffered one: both stay as they were.
            got = raises(ValueError, c.upsert, "old", v, {})
            assert raises(ValueError, c.upsert, "buffered", v, {}) == got, what
            want = f"Invalid input: vector {element}"
        elif op == "add_batch":
            if isinstance(v, np.ndarray):
                rows = np.stack([np.array(good, v.dtype), v, np.array(good, v.dtype)])
            else:
                rows = [good, v, good]
            got = raises(ValueError, c.add_batch, rows, [{}, {}, {}], ids=["n0", "old", "n2"])
            want = f"Invalid input: vector 1 {element}"
        else:
            got = raises(ValueError, c.search, v, 3)
            assert raises(ValueError, c.search, v, 3, where_={"v": "old"}) == got, what
            want = f"Invalid input: query vector {element}"
        assert got == (want,), what
    unchanged(c, path, slots)


def test_an_import_counts_lines_with_non_finite_elements_as_failed(path, c, tmp_path):
    # JSON has no NaN; numbers beyond float32's range read as infinities.
    slots = slot_count(path, "c")
    lines = ['{"version":1,"collection":"x","dimensions":5,"metric":"l2","record_count":0,'
             '"exported_at":0}']
    for number in ("1e39", "-1e39", "3.41e38", "-123456789e300"):
        for at in POSITIONS.values():
            v = ["0.5"] * D
            v[at] = number
            for rid in ("old", "buffered", "new"):
                lines.append(f'{{"id":"{rid}","vector":[{",".join(v)}],"metadata":{{"v":1}}}}')
    p = tmp_path / "in.ndjson"
    p.write_text("\n".join(lines) + "\n")
    body = lines[1:]
    s = c.import_from_file(str(p))
    assert (s.imported, s.failed) == (0, len(body))
    unchanged(c, path, slots)


def test_finite_extremes_are_stored_and_found(path, db):
    extremes = [3.4028235e38, -3.4028235e38, 1e-45, -1e-45, 1.1754944e-38]
    for metric in ("dot", "l2"):
        c = db.collection(metric, D, metric)
        c.add(extremes, {}, id="x")
        c.add_batch(np.array([extremes], np.float32), [{}], ids=["y"])
        c.upsert("z", np.array(extremes, np.float64), {})
        assert len(c) == 3
        if metric == "l2":
            hits = c.search(extremes, 3)
            assert [h.score for h in hits] == [0.0, 0.0, 0.0]


# Finite vectors whose float32 sum of squares overflows: under cosine each must keep its
# direction, stored and as a query, instead of becoming a zero vector that scores 0.
LARGE = {
    "1e20": [1e20, 0.0, 0.0, 0.0],
    "3.4e38": [3.4e38, -3.4e38, 0.0, 0.0],
    "mixed": [2e19, 3e19, -1e19, 4e19],
}


def cosine(a, b):
    a, b = np.asarray(a, np.float64), np.asarray(b, np.float64)
    return float(a @ b / (np.linalg.norm(a) * np.linalg.norm(b)))


@pytest.mark.parametrize("committed", [False, True], ids=["buffered", "committed"])
def test_cosine_keeps_the_direction_of_large_finite_vectors(db, tmp_path, committed):
    c = db.collection("c", 4, "cosine")
    # Ordinary neighbours in clusters around the large vectors' directions, so that a zero
    # vector (score 0) could not come first and the order of the hits shows the angles.
    rng = np.random.default_rng(7)
    others = []
    for v in LARGE.values():
        u = np.array(v, np.float64) / np.linalg.norm(v)
        for k in range(3):
            others.append((u + 0.3 * rng.standard_normal(4)).astype(np.float32))
    c.add_batch(np.array(others), [{} for _ in others], ids=[f"n{i}" for i in range(len(others))])
    names = list(LARGE)
    c.add(LARGE[names[0]], {}, id=names[0])  # each writer prepares the vector
    c.add_batch(np.array([LARGE[names[1]]], np.float32), [{}], ids=[names[1]])
    c.upsert(names[2], np.array(LARGE[names[2]], np.float64), {})
    if committed:
        c.sync()
    everything = {**{f"n{i}": v for i, v in enumerate(others)}, **LARGE}
    for name, v in LARGE.items():
        hits = c.search(v, len(everything))
        assert hits[0].id == name, (name, [(h.id, h.score) for h in hits])
        assert abs(hits[0].score - 1.0) <= 1e-5, name
        for h in hits:  # as a query too: each score is NumPy's cosine
            assert abs(h.score - cosine(v, everything[h.id])) <= 1e-5, (name, h.id)
        # A large query against ordinary stored vectors, and the other way round.
        assert abs(c.search(np.array(v) * 1e-19, 1)[0].score - 1.0) <= 1e-5
    out = str(tmp_path / "out.ndjson")
    assert c.export_to_file(out) == len(everything)
    with open(out) as f:
        stored = {r["id"]: r["vector"] for r in map(json.loads, f.readlines()[1:])}
    assert stored["3.4e38"] == [0.70710677, -0.70710677, 0.0, 0.0]
    for name in LARGE:
        assert abs(np.linalg.norm(stored[name]) - 1.0) <= 1e-6, name


def test_cosine_stores_the_finite_extremes_as_a_unit_vector(db, tmp_path):
    c = db.collection("c", 3, "cosine")
    c.add([3.4e38, -3.4e38, 1e-45], {}, id="x")
    out = str(tmp_path / "out.ndjson")
    c.export_to_file(out)
    with open(out) as f:
        assert json.loads(f.readlines()[1])["vector"] == [0.70710677, -0.70710677, 0.0]
