"""Collection.export_to_file and import_from_file: the exact lines written, the strict
reader with its error texts, round trips, and a fuzz run over damaged files."""

import json
import math
import os
import pathlib
import random
import re
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import tornquil

HEADER = ('{"version":1,"collection":"x","dimensions":3,"metric":"l2","record_count":0,'
          '"exported_at":0}')


def lines_of(file):
    with open(file, "rb") as f:
        data = f.read()
    assert data.endswith(b"\n") and b"\r" not in data
    return data.decode("utf-8").split("\n")[:-1]


def write(tmp_path, text, name="in.ndjson"):
    p = tmp_path / name
    p.write_bytes(text.encode("utf-8") if isinstance(text, str) else text)
    return str(p)


def raises_os(call, *args):
    with pytest.raises(OSError) as err:
        call(*args)
    assert type(err.value) is OSError and len(err.value.args) == 1
    return err.value.args[0]


def test_signatures_and_path_types(db, tmp_path):
    c = db.collection("c", 3)
    assert tornquil.Collection.export_to_file.__text_signature__ == "($self, path)"
    assert tornquil.Collection.import_from_file.__text_signature__ == "($self, path)"
    assert tornquil.Collection.export_to_file.__doc__.startswith(
        "Export the collection to a file.\n\nCreates an NDJSON file")
    assert tornquil.Collection.import_from_file.__doc__.endswith(
        "Returns:\n    ImportStats with details about the import.")

    class Text(str):
        pass

    assert c.export_to_file(Text(tmp_path / "a.ndjson")) == 0
    for call in (c.export_to_file, c.import_from_file):
        with pytest.raises(TypeError) as err:
            call(tmp_path / "a.ndjson")
        assert str(err.value) == "argument 'path': 'PosixPath' object cannot be converted to 'PyString'"
    assert c.import_from_file(path=str(tmp_path / "a.ndjson")).imported == 0


def test_an_empty_collection(db, tmp_path):
    c = db.collection("notes", 3, "dot")
    out = str(tmp_path / "out.ndjson")
    assert c.export_to_file(out) == 0
    [header] = lines_of(out)
    stamp = json.loads(header)["exported_at"]
    assert header == ('{"version":1,"collection":"notes","dimensions":3,"metric":"dot",'
                      f'"record_count":0,"exported_at":{stamp}}}')


def test_the_exact_line_layout(db, tmp_path):
    c = db.collection("c", 7, "l2")
    rid = 'q"b\\s/\n\t\x01\x7fé'
    c.add([-0.0, 1e-7, 1.5e20, 3.4028235e38, 12.5, 0.000001, 1.0], {"z": [1, 2.5, None], "a": "x"},
          id=rid)
    c.add([0.05, -2.0, 250.0, 1e12, 1e13, 0.0, 123456.789], {}, id="t", ttl=3600)
    out = str(tmp_path / "out.ndjson")
    assert c.export_to_file(out) == 2
    header, first, second = lines_of(out)
    assert json.loads(header)["record_count"] == 2
    created = json.loads(first)["created_at"]
    assert first == (
        '{"id":"q\\"b\\\\s/\\n\\t\\u0001\x7fé","vector":[-0.0,1e-7,1.5e+20,3.4028235e+38,12.5,'
        '0.000001,1.0],"metadata":{"a":"x","z":[1,2.5,null]},'
        f'"created_at":{created}}}')
    ttl = json.loads(second)["ttl"]
    assert ttl in (3599, 3600)
    assert second == ('{"id":"t","vector":[0.05,-2.0,250.0,1000000000000.0,1e+13,0.0,123456.79],'
                      f'"metadata":{{}},"created_at":{created},"ttl":{ttl}}}')


def test_only_live_records_in_id_order(db, tmp_path):
    c = db.collection("c", 3, "l2")
    for rid in ["b", "é", "a", "B", "gone", "dead"]:
        c.add([1.0, 2.0, 3.0], {}, id=rid, ttl=0 if rid == "dead" else None)
    c.sync()
    c.delete("gone")
    c.add([1.0, 2.0, 3.0], {}, id="buffered")  # the export flushes it
    out = str(tmp_path / "out.ndjson")
    assert c.export_to_file(out) == 5
    assert [json.loads(line)["id"] for line in lines_of(out)[1:]] == ["B", "a", "b", "buffered", "é"]


def random_metadata(rng, i):
    kinds = [None, True, False, i, -i - 1, 2**64 - 1, i / 7, "t\u00e9xt\n", [1, "a", None],
             {"n": {"m": [i]}}]
    return {"v": kinds[i % len(kinds)], "k": i}


def exported_records(c, tmp_path, name):
    out = str(tmp_path / name)
    c.export_to_file(out)
    lines = lines_of(out)
    return {r["id"]: r for r in map(json.loads, lines[1:])}


def test_a_round_trip_of_ten_thousand_records(db, tmp_path):
    rng = np.random.default_rng(5)
    src = db.collection("src", 16, "l2")
    vectors = rng.standard_normal((10_000, 16)).astype(np.float32)
    src.add_batch(vectors, [random_metadata(rng, i) for i in range(10_000)],
                  ids=[f"記録-{i}-\U0001f600" for i in range(10_000)],
                  ttls=[None if i % 3 else 10_000 + i for i in range(10_000)])
    before = exported_records(src, tmp_path, "a.ndjson")
    assert len(before) == 10_000

    dst = db.collection("dst", 16, "cosine")  # the metric need not match: vectors are re-prepared
    dst_l2 = db.collection("dst_l2", 16, "l2")
    s = dst_l2.import_from_file(str(tmp_path / "a.ndjson"))
    assert (s.imported, s.skipped, s.failed) == (10_000, 0, 0)
    assert dst.import_from_file(str(tmp_path / "a.ndjson")).imported == 10_000
    after = exported_records(dst_l2, tmp_path, "b.ndjson")
    assert after.keys() == before.keys()
    for rid, r in before.items():
        a = after[rid]
        assert a["vector"] == r["vector"] and a["metadata"] == r["metadata"]
        assert ("ttl" in a) == ("ttl" in r)
        if "ttl" in r:
            assert 0 <= r["ttl"] - a["ttl"] <= 5  # restarted at import, not shortened
    i = 4
    got = dst_l2.get(f"記録-{i}-\U0001f600")
    assert got.metadata == random_metadata(None, i)
    assert np.array_equal(np.array(before[got.id]["vector"], dtype=np.float32), vectors[i])
    assert len(dst) == 10_000


RECORD = '{"id":"a","vector":[1,2,3],"metadata":null}'


@pytest.mark.parametrize("text, message", [
    ("", "Deserialization error: Invalid export header: EOF while parsing a value at line 1 "
         "column 0"),
    (" \n" + RECORD, "Deserialization error: Invalid export header: EOF while parsing a value "
                     "at line 2 column 0"),
    ('{"version":1}\n', "Deserialization error: Invalid export header: missing field "
                        "`collection` at line 1 column 13"),
    (HEADER.replace('"version":1', '"version":2') + "\n" + RECORD,
     "Invalid format: Export version 2 is newer than supported version 1"),
    (HEADER.replace('"dimensions":3', '"dimensions":4'), "Invalid dimensions: expected 3, got 4"),
    (HEADER + "\n\n  \n" + '{"vector":[1,2,3],"metadata":null}',
     "Deserialization error: Invalid record at line 4: missing field `id` at line 1 column 34"),
    (HEADER + "\n" + '{"id":"a","id":"b","vector":[1,2,3],"metadata":null}',
     "Deserialization error: Invalid record at line 2: duplicate field `id` at line 1 column 14"),
    (HEADER + "\n\n" + '["a",[1,2,3],null,null]',
     "Deserialization error: Invalid record at line 3: invalid length 4, expected struct "
     "ExportRecord with 5 elements at line 1 column 23"),
    (HEADER + "\n" + '"a"', "Deserialization error: Invalid record at line 2: invalid type: "
                            'string "a", expected struct ExportRecord at line 1 column 3'),
    (HEADER + "\n" + RECORD + " x", "Deserialization error: Invalid record at line 2: trailing "
                                    "characters at line 1 column 45"),
    (HEADER + "\n" + '{"id":"a","vector":[1,2,3],"metadata":' + "[" * 127 + "]" * 127 + "}",
     "Deserialization error: Invalid record at line 2: recursion limit exceeded at line 1 "
     "column 165"),
    (HEADER + "\n" + RECORD + "\n" + '{"id":"b","vector":[1,null,3],"metadata":null}',
     "Deserialization error: Invalid record at line 3: invalid type: null, expected f32 at line "
     "1 column 26"),
    (HEADER.encode() + b"\n" + RECORD.encode()[:-2] + b"\xff}", "I/O error: stream did not "
                                                                 "contain valid UTF-8"),
])
def test_header_checks_and_reader_errors(db, tmp_path, text, message):
    c = db.collection("c", 3, "l2")
    assert raises_os(c.import_from_file, write(tmp_path, text)) == message


def test_a_missing_file_and_a_directory_path(db, tmp_path):
    c = db.collection("c", 3)
    assert raises_os(c.import_from_file, str(tmp_path / "absent")).startswith("I/O error: ")
    assert raises_os(c.export_to_file, str(tmp_path)).startswith("I/O error: ")


def test_optional_members_array_form_and_repeated_ids(db, tmp_path):
    c = db.collection("c", 3, "l2")
    text = "\n".join([
        HEADER.replace('"version":1', '"version":0'),
        '{"id":"a","vector":[1,2,3],"metadata":{"n":1}}',
        '\u3000{"id":"b","vector":[1,2,3],"metadata":null,"created_at":null,"ttl":null}\u00a0',
        '["c",[1,2,3],{"n":3},5,3600]',
        '["d",[1,2,3],null,null,null]',
        '{"id":"a","vector":[4,5,6],"metadata":{"n":2},"extra":[{"deep":1}],"created_at":7}',
        '{"id":"short","vector":[1,2],"metadata":null}',
        '{"id":"zero","vector":[1,2,3],"metadata":null,"ttl":0}',
        '{"id":"huge","vector":[1,2,3],"metadata":null,"ttl":18446744073709551615}',
        "",
    ])
    s = c.import_from_file(write(tmp_path, text))
    assert (s.imported, s.skipped, s.failed) == (7, 0, 1)
    assert repr(s) == f"ImportStats(imported=7, skipped=0, failed=1, duration_ms={s.duration_ms})"
    assert c.get("a").metadata == {"n": 2}  # the later line wins
    assert [h.id for h in c.search([4.0, 5.0, 6.0], 1)] == ["a"]
    assert c.get("b") is not None and c.get("d") is not None
    assert c.get("zero") is None  # ttl 0 is expired at once
    assert c.get("huge") is not None  # a huge ttl never wraps into the past
    assert len(c) == 5
    out = exported_records(c, tmp_path, "out.ndjson")
    assert out["c"]["ttl"] in (3599, 3600) and out["c"]["created_at"] != 5


def test_finite_extremes_round_trip_and_a_null_element_stops_the_import(db, tmp_path):
    c = db.collection("c", 5, "l2")
    # ±FLT_MAX, the smallest subnormal, the largest subnormal and the smallest normal.
    extremes = np.array([3.4028235e38, -3.4028235e38, 1e-45, -1.1754942e-38, 1.1754944e-38],
                        np.float32)
    c.add(extremes, {}, id="x")
    a = str(tmp_path / "a.ndjson")
    assert c.export_to_file(a) == 1
    assert '"vector":[3.4028235e+38,-3.4028235e+38,1e-45,-1.1754942e-38,1.1754944e-38]' in (
        lines_of(a)[1])
    d = db.collection("d", 5, "l2")
    assert d.import_from_file(a).imported == 1
    b = str(tmp_path / "b.ndjson")
    d.export_to_file(b)
    # The import stamps its own creation time, which a second boundary may separate from
    # the add's; everything else of the line comes back as it was.
    def without_time(file):
        return [{k: v for k, v in json.loads(line).items() if k != "created_at"}
                for line in lines_of(file)[1:]]

    assert without_time(b) == without_time(a)
    assert lines_of(b)[1].split('"metadata"')[0] == lines_of(a)[1].split('"metadata"')[0]
    assert d.search(extremes, 1)[0].score == 0.0

    # A line with a null element (what an older export wrote for a non-finite one) ends
    # the import there; the lines before it stay.
    text = "\n".join([HEADER.replace('"dimensions":3', '"dimensions":5'),
                      '{"id":"a","vector":[1,2,3,4,5],"metadata":null}',
                      '{"id":"b","vector":[1,null,3,4,5],"metadata":null}',
                      '{"id":"c","vector":[1,2,3,4,5],"metadata":null}'])
    e = db.collection("e", 5, "l2")
    assert raises_os(e.import_from_file, write(tmp_path, text)) == (
        "Deserialization error: Invalid record at line 3: invalid type: null, expected f32 at "
        "line 1 column 26")
    e.sync()
    assert e.get("a") is not None and e.get("c") is None and len(e) == 1


def test_vectors_the_collection_cannot_store_count_as_failed(db, tmp_path):
    c = db.collection("c", 3, "cosine")
    text = "\n".join([HEADER, '{"id":"big","vector":[1e39,0,0],"metadata":null}',
                      '{"id":"ok","vector":[1,0,0],"metadata":null}',
                      '{"id":"' + "x" * 511 + '","vector":[1,0,0],"metadata":null}'])
    s = c.import_from_file(write(tmp_path, text))
    assert (s.imported, s.failed) == (1, 2)
    assert c.get("big") is None and c.get("ok") is not None


FUZZ = """
import json, os, random, re, sys, tempfile
import tornquil

seed, count, base_path, work = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3], sys.argv[4]
base = open(base_path, "rb").read()
lines = base.split(b"\\n")
rng = random.Random(seed)
allowed = re.compile(
    r"(Deserialization error: Invalid export header: .+ at line \\d+ column \\d+"
    r"|Deserialization error: Invalid record at line \\d+: .+ at line 1 column \\d+"
    r"|Invalid format: Export version \\d+ is newer than supported version 1"
    r"|Invalid dimensions: expected 3, got \\d+"
    r"|I/O error: stream did not contain valid UTF-8)$", re.S)

def mutate(data):
    kind = rng.randrange(4)
    if kind == 0:
        b = bytearray(data)
        for _ in range(rng.randint(1, 4)):
            b[rng.randrange(len(b))] = rng.randrange(256)
        return bytes(b)
    if kind == 1:
        return data[:rng.randrange(len(data))]
    ls = list(lines)
    if kind == 2:
        i = rng.randrange(len(ls))
        ls.insert(rng.randrange(len(ls) + 1), ls[i])
    else:
        a, b = rng.randrange(len(ls)), rng.randrange(len(ls))
        ls[a] = ls[a][: rng.randrange(len(ls[a]) + 1)] + ls[b][rng.randrange(len(ls[b]) + 1):]
    return b"\\n".join(ls)

def expected_live(text):
    ids = {}
    for line in text.split("\\n")[1:]:
        line = line.strip()
        if not line:
            continue
        r = json.loads(line)
        if isinstance(r, list):
            r = dict(zip(["id", "vector", "metadata", "created_at", "ttl"], r))
        if len(r["vector"]) != 3:
            continue
        ttl = r.get("ttl")
        ids[r["id"]] = ttl is None or ttl >= 60
    return [rid for rid, live in ids.items() if live]

db = tornquil.Tornquil(os.path.join(work, "fuzzdb"))
ok = errors = 0
for i in range(count):
    data = mutate(base)
    path = os.path.join(work, "in.ndjson")
    with open(path, "wb") as f:
        f.write(data)
    c = db.collection(f"c{i}", 3, "l2")
    try:
        s = c.import_from_file(path)
    except OSError as e:
        assert type(e) is OSError and allowed.match(e.args[0]), e.args
        errors += 1
    else:
        ok += 1
        assert s.skipped == 0
        for rid in expected_live(data.decode("utf-8")):
            assert c.get(rid) is not None, (rid, data)
    del c
    db.drop_collection(f"c{i}")  # each holds a store mapping: keep the address space free
print(ok, errors)
"""


def test_fuzzed_files_never_crash_and_fail_cleanly(db, tmp_path):
    c = db.collection("c", 3, "l2")
    meta = [{"z": None}, {"a": [1, {"b": "ü"}]}, {"q": 'x"\\y'}, {}, {"n": -5}]
    for i in range(12):
        c.add([i * 0.5, -1.0 / (i + 1), 3e-7 * i], meta[i % len(meta)], id=f"id{i}\u00e9",
              ttl=None if i % 4 else 100_000)
    base = str(tmp_path / "base.ndjson")
    assert c.export_to_file(base) == 12
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    # Four children of 1,250 files each: most of the time is the stores' durable commits.
    procs = []
    for seed in range(4):
        work = tmp_path / f"w{seed}"
        work.mkdir()
        procs.append(subprocess.Popen(
            [sys.executable, "-c", FUZZ, str(seed), "1250", base, str(work)], env=env,
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True))
    ok = errors = 0
    for proc in procs:
        out, err = proc.communicate(timeout=300)
        assert proc.returncode == 0, err[-3000:]  # a crash shows as a signal here
        a, b = map(int, out.split())
        ok, errors = ok + a, errors + b
    assert ok + errors == 5000 and ok > 200 and errors > 200


# ---- Bounded lines: what export can write, and nothing longer ----

# The longest line accepted for 3 dimensions: the longest record line export writes (a
# 510-byte id of escaped characters, three elements of the longest form) with 16 MiB of
# metadata.
BOUND_3 = 256 + 510 * 6 + 2 + 3 * 19 + (16 << 20)


def test_a_line_up_to_the_bound_imports_and_a_longer_one_stops_the_import(db, tmp_path):
    c = db.collection("c", 3, "l2")
    # What export writes at its longest imports: an id of 510 escaped bytes, the longest
    # element form, and metadata close to the allowance.
    rid = "\x01" * 510
    c.add([-1.2345678e-6, -1.2345678e-6, -1.2345678e-6], {"m": "y" * ((16 << 20) - 64)}, id=rid)
    out = str(tmp_path / "out.ndjson")
    assert c.export_to_file(out) == 1
    d = db.collection("d", 3, "l2")
    assert d.import_from_file(out).imported == 1
    assert d.get(rid).metadata == c.get(rid).metadata

    def line_of(n):
        head = '{"id":"a","vector":[1,2,3],"metadata":"'
        return head + "x" * (n - len(head) - 2) + '"}'

    for n, imported in ((BOUND_3, True), (BOUND_3 + 1, False)):
        e = db.collection(f"e{n}", 3, "l2")
        text = HEADER + "\n" + RECORD + "\n\n" + line_of(n) + "\n" + RECORD.replace('"a"', '"b"')
        p = write(tmp_path, text)
        if imported:
            assert e.import_from_file(p).imported == 3
        else:
            assert raises_os(e.import_from_file, p) == (
                f"Deserialization error: Invalid record at line 4: line too long (more than "
                f"{BOUND_3} bytes)")
            e.sync()
            assert e.get("a") is not None and e.get("b") is None  # the lines before it stay
    # The header line has the same bound.
    p = write(tmp_path, "{" + " " * BOUND_3 + "}\n" + RECORD)
    assert raises_os(db.collection("h", 3, "l2").import_from_file, p) == (
        f"Deserialization error: Invalid export header: line too long (more than {BOUND_3} "
        "bytes) at line 1")


# Runs one import under a 4 GiB heap limit and prints what it raised.
BOUNDED_IMPORT = """
import resource, sys, tornquil
resource.setrlimit(resource.RLIMIT_DATA, (4 << 30, 4 << 30))
c = tornquil.Tornquil(sys.argv[1]).collection("c", 3, "l2")
try:
    c.import_from_file(sys.argv[2])
except OSError as e:
    assert type(e) is OSError
    print(e.args[0])
print(len(c))
"""

FEED_FOREVER = """
import sys
with open(sys.argv[1], "wb") as f:
    f.write(sys.argv[2].encode() + b"\\n")
    try:
        while True:
            f.write(b"\\x00\\xff" * 65536)
    except BrokenPipeError:
        pass
"""


@pytest.mark.skipif(any(s in os.environ.get("LD_PRELOAD", "") for s in ("libasan", "libtsan")),
                    reason="a sanitizer's shadow memory cannot live under a data limit")
@pytest.mark.parametrize("source", ["/dev/zero", "fifo", "sparse"])
def test_a_file_without_line_breaks_stops_the_import_with_bounded_memory(tmp_path, source):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    line = 1
    feeder = None
    if source == "/dev/zero":
        target = source
    elif source == "fifo":
        # A pipe that never ends: a header, one record, then binary bytes without an LF.
        target = str(tmp_path / "pipe")
        os.mkfifo(target)
        feeder = subprocess.Popen([sys.executable, "-c", FEED_FOREVER, target,
                                   HEADER + "\n" + RECORD], env=env, stderr=subprocess.PIPE)
        line = 3
    else:
        # 6 GiB of zero bytes after a header line, without a single LF.
        target = str(tmp_path / "sparse.ndjson")
        with open(target, "wb") as f:
            f.write((HEADER + "\n").encode())
            f.truncate(6 << 30)
        line = 2
    try:
        r = subprocess.run([sys.executable, "-c", BOUNDED_IMPORT, str(tmp_path / "db"), target],
                           env=env, capture_output=True, text=True, timeout=120)
    finally:
        if feeder is not None:
            feeder.kill()
            feeder.wait()
    assert r.returncode == 0, r.stderr  # a signal or an abort shows here
    what = "Invalid export header" if line == 1 else f"Invalid record at line {line}"
    suffix = " at line 1" if line == 1 else ""
    assert r.stdout.split("\n")[:2] == [
        f"Deserialization error: {what}: line too long (more than {BOUND_3} bytes){suffix}",
        "1" if source == "fifo" else "0"]


def test_groups_of_lines_keep_line_numbers_counts_and_the_later_line(db, tmp_path):
    c = db.collection("c", 3, "l2")
    c.add([9.0, 9.0, 9.0], {"v": "old"}, id="r0000005")
    c.sync()
    c.add([8.0, 8.0, 8.0], {"v": "buffered"}, id="r0000007")  # buffered: the import wins
    lines = [HEADER]
    for i in range(2600):
        if i % 400 == 0:
            lines.append("")  # blank lines count
        if i % 250 == 3:
            lines.append(f'{{"id":"r{i:07d}","vector":[1,2],"metadata":null}}')  # failed
            continue
        lines.append(f'{{"id":"r{i % 2200:07d}","vector":[{i},1,2],"metadata":{{"v":{i}}}}}')
    bad = len(lines) + 1
    lines.append('{"id":"x","vector":[1,2,3],"metadata":nul}')
    lines.append('{"id":"after","vector":[1,2,3],"metadata":null}')
    assert raises_os(c.import_from_file, write(tmp_path, "\n".join(lines))) == (
        f"Deserialization error: Invalid record at line {bad}: expected ident at line 1 "
        "column 42")
    c.sync()
    assert c.get("after") is None
    # A later line of an id, in the same group or a later one, replaced the earlier.
    assert c.get("r0000005").metadata == {"v": 2205}
    assert c.get("r0000007").metadata == {"v": 2207}
    assert c.get("r0002199").metadata == {"v": 2199}
    assert c.search([2203.0, 1.0, 2.0], 1)[0].id == "r0000003"
    assert len(c) == 2200 - len([i for i in range(2200) if i % 250 == 3 and i + 2200 >= 2600])
