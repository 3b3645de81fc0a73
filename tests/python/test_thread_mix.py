"""Searches beside writers, through the public module: four searchers beside an import of
existing ids in a loop (or the same ids added or upserted), and seven searchers beside 200
upserts into 50,000 records. Each mix runs in a child process that must finish each round of
writes within a generous time, so that a hang fails its test and not the suite. The writers
do a fixed amount of work and wait, before each round, until every searcher has searched
since the last one. The searchers look for records nobody writes and must find each first,
with its own vector and metadata. Once the child is done, every record is the one an oracle
kept by the test expects (id, vector in its slot, metadata), and every slot is named by one
record or stands once on the free list.
"""

import gc
import json
import queue
import threading

import numpy as np
import pytest

import tornquil
from helpers import child
from test_one_id import assert_no_leaks, audit, slot_rows

DIM = 64
TOPICS = 40


def rid(i):
    return f"mem-{i:06d}"  # zero-padded counters, as agents name their memories


def dataset(n):
    """(vectors, topics, centres) of n records shaped like an agent's memories: vectors around
    40 topics, every tenth one from the third on an exact copy of the one before it, and a few
    far outliers. Records whose index is a multiple of 10 are never written by the mixes."""
    rng = np.random.default_rng(n)
    centres = (4 * rng.standard_normal((TOPICS, DIM))).astype(np.float32)
    topics = rng.integers(0, TOPICS, n)
    rows = centres[topics] + rng.standard_normal((n, DIM)).astype(np.float32)
    copies = np.flatnonzero(np.arange(n) % 10 == 3)
    rows[copies] = rows[copies - 1]
    rows[np.arange(5, n, 997)] *= 50
    return rows, topics, centres


def plan(n, rounds, size):
    """Per round, the indices of `size` distinct written records and their new vectors, near
    their own topic."""
    _, topics, centres = dataset(n)
    rng = np.random.default_rng(rounds * 1000 + size)
    writable = np.flatnonzero(np.arange(n) % 10 != 0)
    out = []
    for _ in range(rounds):
        idx = rng.choice(writable, size, replace=False)
        vecs = centres[topics[idx]] + rng.standard_normal((size, DIM)).astype(np.float32)
        out.append((idx, vecs))
    return out


def metadata(topic, version):
    return {"topic": int(topic), "v": version}


def build(path, n):
    """The collection "mem" of dataset(n), added in four steps and synced; no handle left."""
    rows, topics, _ = dataset(n)
    c = tornquil.Tornquil(path).collection("mem", DIM, "l2")
    for part in np.array_split(np.arange(n), 4):
        c.add_batch(rows[part], [metadata(topics[i], 0) for i in part], ids=[rid(i) for i in part])
    c.sync()
    del c
    gc.collect()


def export_file(f, n, idx, vecs, version):
    """An export of the records `idx` with vectors `vecs` and the given version."""
    _, topics, _ = dataset(n)
    lines = [json.dumps({"version": 1, "collection": "mem", "dimensions": DIM, "metric": "l2",
                         "record_count": len(idx), "exported_at": 0})]
    for i, v in zip(idx, vecs):
        lines.append(json.dumps({"id": rid(i), "vector": v.tolist(),
                                 "metadata": metadata(topics[i], version)}))
    f.write_text("\n".join(lines) + "\n")


MIX = """
import json, sys
import numpy as np, tornquil
from helpers import run_turns
from test_thread_mix import dataset, metadata, plan, rid

path, kind, files = sys.argv[1], sys.argv[2], sys.argv[7:]
n, rounds, size, searchers = map(int, sys.argv[3:7])
rows, topics, _ = dataset(n)
writes = plan(n, rounds, size)
c = tornquil.Tornquil(path).get_collection("mem")

def write(r):
    idx, vecs = writes[r]
    if kind == "import":
        s = c.import_from_file(files[r])
        assert (s.imported, s.failed) == (size, 0), s
    for i, v in zip(idx, vecs):
        if kind == "upsert":
            c.upsert(rid(i), v, metadata(topics[i], r + 1))
        elif kind == "add":
            c.add(v, metadata(topics[i], r + 1), id=rid(i))
    print(f"round {r + 1} of {rounds} written", file=sys.stderr, flush=True)

def searcher(t):
    rng = np.random.default_rng(t)
    def search(turn):
        i = 10 * int(rng.integers(0, n // 10))  # a record nobody writes
        where = {"topic": int(topics[i])} if turn % 2 else None
        hits = c.search(rows[i], 5, where)
        assert len(hits) == 5, (i, where, len(hits))
        first = (hits[0].id, hits[0].score, hits[0].metadata)
        assert first == (rid(i), 0.0, metadata(topics[i], 0)), (i, where, first)
    return search

workers = {"writer": (rounds, write)}
workers.update({f"searcher{t}": (None, searcher(t)) for t in range(searchers)})
turns = run_turns(workers)
c.sync()
print(json.dumps(turns))
"""


def wait_for_rounds(proc, kind, guard=300):
    """(standard output, standard error) of the MIX child `proc` once it has ended. Fails,
    killing it, when `guard` seconds pass without a line on its standard error (one per round
    written): a hang, whatever the build or the load of the machine, since it bounds one round
    and never the whole run."""
    lines = queue.Queue()

    def pump():
        for line in proc.stderr:
            lines.put(line)
        lines.put(None)

    threading.Thread(target=pump, daemon=True).start()
    err = []
    while True:
        try:
            line = lines.get(timeout=guard)
        except queue.Empty:
            proc.kill()
            proc.wait()
            last = err[-1].strip() if err else "no round written"
            pytest.fail(f"the {kind} mix stopped: nothing for {guard} s after {last!r}")
        if line is None:
            break
        err.append(line)
    out = proc.stdout.read()
    proc.wait()
    return out, "".join(err)


def run_mix(path, tmp_path, kind, n, rounds, size, searchers):
    """Builds the collection, runs MIX in a child and checks every record afterwards."""
    build(path, n)
    writes = plan(n, rounds, size)
    files = []
    if kind == "import":
        for r, (idx, vecs) in enumerate(writes):
            files.append(tmp_path / f"round{r:03d}.ndjson")
            export_file(files[-1], n, idx, vecs, r + 1)
    proc = child(MIX, path, kind, n, rounds, size, searchers, *files)
    out, err = wait_for_rounds(proc, kind)
    assert proc.returncode == 0, err
    turns = json.loads(out)
    assert turns["writer"] == rounds
    # Between two rounds every searcher searched at least once.
    assert all(turns[f"searcher{t}"] >= rounds - 1 for t in range(searchers)), turns
    check_records(path, n, writes)


def check_records(path, n, writes):
    """Every record holds the vector and metadata of its last write, or of dataset(n)."""
    rows, topics, _ = dataset(n)
    version = np.zeros(n, np.int64)
    for r, (idx, vecs) in enumerate(writes):
        rows[idx] = vecs
        version[idx] = r + 1
    a = audit(path, "mem")
    assert_no_leaks(a)
    stored = {r[0]: r for r in a["records"]}
    assert sorted(stored) == [rid(i) for i in range(n)]
    slots = np.empty(n, np.int64)
    for i in range(n):
        _, slot, state, expires, meta = stored[rid(i)]
        assert (state, expires) == (0, None), rid(i)
        assert json.loads(meta) == metadata(topics[i], int(version[i])), rid(i)
        slots[i] = slot
    held = slot_rows(path, "mem", a["slot_count"], DIM)[slots]
    wrong = np.flatnonzero((held != rows).any(axis=1))
    assert wrong.size == 0, f"{wrong.size} records hold another vector, e.g. {rid(wrong[0])}"
    c = tornquil.Tornquil(path).get_collection("mem")
    assert len(c) == n
    idx, vecs = writes[-1]
    hit = c.search(vecs[0], 1)[0]
    assert (hit.id, hit.score) == (rid(idx[0]), 0.0)


@pytest.mark.parametrize("kind", ["import", "upsert", "add"])
def test_four_searchers_beside_a_writer_of_existing_ids_end_and_leave_every_record_right(
        path, tmp_path, kind):
    run_mix(path, tmp_path, kind, n=20_000, rounds=40, size=50, searchers=4)


def test_two_hundred_upserts_beside_seven_searchers_finish_and_leave_every_record_right(
        path, tmp_path):
    # Steady searches must not keep a writer out; the time allowed only guards against a hang.
    run_mix(path, tmp_path, "upsert", n=50_000, rounds=200, size=1, searchers=7)
