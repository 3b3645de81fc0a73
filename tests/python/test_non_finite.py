"""Vectors with a NaN or infinite element are refused by every writer and by search, before
anything changes, wherever the element sits, whatever the metric and the input form."""

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
